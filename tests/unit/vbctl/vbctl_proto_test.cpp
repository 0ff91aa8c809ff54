// vbctl's protocol logic: the messages it sends, the decoding of the board's
// status report from hand-packed words, the matching of answers to commands,
// and the parameter items by name.
#include "vbctl/vbctl_proto.h"

#include <gtest/gtest.h>

#include <bit>
#include <cstring>
#include <string>
#include <vector>

namespace {

float bits(uint32_t word) {
    return std::bit_cast<float>(word);
}

// A status report as the board sends it, from system id 36.
mavlink_message_t status_report(uint32_t p1, uint32_t p2, float total, float free_mib, uint32_t p5,
                                uint32_t p6, uint32_t p7) {
    mavlink_command_long_t cmd{};
    cmd.param1 = bits(p1);
    cmd.param2 = bits(p2);
    cmd.param3 = total;
    cmd.param4 = free_mib;
    cmd.param5 = bits(p5);
    cmd.param6 = bits(p6);
    cmd.param7 = bits(p7);
    cmd.command = 2;
    mavlink_message_t msg;
    mavlink_msg_command_long_pack(36, 0, 0, &cmd, &msg);
    return msg;
}

mavlink_message_t pelora_ack(std::initializer_list<uint8_t> bytes) {
    mavlink_pelora_ack_t ack{};
    size_t i = 0;
    for (uint8_t b : bytes) ack.data[i++] = b;
    mavlink_message_t msg;
    mavlink_msg_pelora_ack_pack(36, 0, 0, &ack, &msg);
    return msg;
}

mavlink_message_t command_ack(uint16_t command, uint8_t result) {
    const mavlink_command_ack_t ack{command, result};
    mavlink_message_t msg;
    mavlink_msg_command_ack_pack(36, 0, 0, &ack, &msg);
    return msg;
}

TEST(VbctlBuild, MessagesComeFromThePhoneToTheVideoBoard) {
    mavlink_message_t msg;
    mavlink_command_long_t cmd{};

    ASSERT_EQ(vbctl_build_heartbeat(5, &msg), 9 + 8);
    EXPECT_EQ(msg.sysid, 0x42);  // board 4 (phone) to board 2 (video board)
    EXPECT_EQ(msg.seq, 5);
    EXPECT_EQ(msg.msgid, MAVLINK_MSG_ID_HEARTBEAT);

    ASSERT_EQ(vbctl_build_media_command(6, VBCTL_MEDIA_REC_START, &msg), 33 + 8);
    EXPECT_EQ(msg.sysid, 0x42);
    ASSERT_EQ(mavlink_msg_command_long_decode(&msg, &cmd), 0);
    EXPECT_EQ(cmd.command, 2);
    EXPECT_EQ(cmd.param1, 3.0f);
    EXPECT_EQ(vbctl_is_status_report(&cmd), 0);  // addressed to system 2, not a report

    const float params[3] = {5, 640, 360};
    ASSERT_GT(vbctl_build_set_parameter(7, 16, params, &msg), 0);
    ASSERT_EQ(mavlink_msg_command_long_decode(&msg, &cmd), 0);
    EXPECT_EQ(cmd.command, 180);
    EXPECT_EQ(cmd.target_component, 16);  // the item
    EXPECT_EQ(cmd.param1, 5.0f);
    EXPECT_EQ(cmd.param2, 640.0f);
    EXPECT_EQ(cmd.param3, 360.0f);

    // Component id 192 would ask for the Wi-Fi report instead of the list.
    ASSERT_GT(vbctl_build_param_request_list(8, &msg), 0);
    EXPECT_EQ(msg.msgid, MAVLINK_MSG_ID_PARAM_REQUEST_LIST);
    EXPECT_EQ(msg.compid, 0);

    ASSERT_GT(vbctl_build_timesync(9, 1700000000123LL, -5, &msg), 0);
    mavlink_timesync_t ts{};
    ASSERT_EQ(mavlink_msg_timesync_decode(&msg, &ts), 0);
    EXPECT_EQ(ts.tc1, 1700000000123LL);
    EXPECT_EQ(ts.ts1, -5);

    ASSERT_EQ(vbctl_build_sd_request(10, &msg), 8);
    EXPECT_EQ(msg.msgid, MAVLINK_MSG_ID_PELORA_SD_REQUEST);
    EXPECT_EQ(msg.sysid, 0x42);
}

TEST(VbctlStatus, DecodesHandPackedWords) {
    // p1: resolution 7, exposure 1 (bit 12), record (16), SD 2 (20-23), picture mode 4 (24-27)
    // p2: ISO 5, shutter 24 (4-9), EV positive (10) with 3 (11-14), format 1 (15), attr2 2 (18),
    //     burst 9 (20), attr6 3 (24), panorama 6 (28)
    // p5: interval 17, attr4 5 (5), time-lapse 2 (10), still 1 (14), synced (16), zoom 25 (17),
    //     video mode 2 (24)
    // p6: 52.3 C; p7: 5000 K (50), white balance bit 7, day/night bit 8
    const mavlink_message_t msg = status_report(0x04211007u, 0x63989D85u, 30000.0f, 12345.5f,
                                                0x023348B1u, 0x0000020Bu, 0x000001B2u);
    mavlink_command_long_t cmd{};
    ASSERT_EQ(mavlink_msg_command_long_decode(&msg, &cmd), 0);
    VbctlStatus s{};
    ASSERT_EQ(vbctl_status_decode(&cmd, &s), 0);
    EXPECT_EQ(s.res_code, 7u);
    EXPECT_EQ(s.ae_mode, 1u);
    EXPECT_EQ(s.vps_mode, 1u);
    EXPECT_EQ(s.sd_status, 2u);
    EXPECT_EQ(s.snap_mode, 4u);
    EXPECT_EQ(s.iso, 5u);
    EXPECT_EQ(s.shutter, 24u);
    EXPECT_EQ(s.ev, 3);
    EXPECT_EQ(s.pic_fmt, 1u);
    EXPECT_EQ(s.attr2, 2u);
    EXPECT_EQ(s.cti_shot, 9u);
    EXPECT_EQ(s.attr6, 3u);
    EXPECT_EQ(s.pano_mode, 6u);
    EXPECT_EQ(s.sd_total_mib, 30000.0f);
    EXPECT_EQ(s.sd_free_mib, 12345.5f);
    EXPECT_EQ(s.snap_tlapse, 17u);
    EXPECT_EQ(s.attr4, 5u);
    EXPECT_EQ(s.tlapse_state, 2u);
    EXPECT_EQ(s.snap_state, 1u);
    EXPECT_EQ(s.time_synced, 1u);
    EXPECT_EQ(s.zoom, 25u);
    EXPECT_EQ(s.video_mode, 2u);
    EXPECT_EQ(s.temperature, 523u);
    EXPECT_EQ(s.cct, 50u);
    EXPECT_EQ(s.wb_mode, 1u);
    EXPECT_EQ(s.dn_mode, 1u);

    char text[2048];
    vbctl_status_format(&s, text, sizeof text);
    EXPECT_NE(strstr(text, "mode: record\n"), nullptr) << text;
    EXPECT_NE(strstr(text, "resolution: 7 (1920x1080 30 fps)"), nullptr) << text;
    EXPECT_NE(strstr(text, "EV +3"), nullptr) << text;
    EXPECT_NE(strstr(text, "zoom: 2.5x"), nullptr) << text;
    EXPECT_NE(strstr(text, "temperature: 52.3 C"), nullptr) << text;
}

TEST(VbctlStatus, EvSignAndOtherCommandLongs) {
    struct Case {
        uint32_t p2;
        int32_t ev;
    } cases[] = {{0x1800u, -3}, {0x1C00u, 3}, {0x0000u, 0}, {0x4C00u, 9}, {0x4800u, -9}};
    for (const Case& c : cases) {
        const mavlink_message_t msg = status_report(0, c.p2, 0, 0, 0, 0, 0);
        mavlink_command_long_t cmd{};
        mavlink_msg_command_long_decode(&msg, &cmd);
        VbctlStatus s{};
        ASSERT_EQ(vbctl_status_decode(&cmd, &s), 0);
        EXPECT_EQ(s.ev, c.ev) << std::hex << c.p2;
    }
    // Time-lapse progress (command 2003, component 22) and the countdown
    // (command 2000, component 22) are not status reports.
    mavlink_command_long_t progress{};
    progress.command = 2003;
    progress.target_component = 22;
    VbctlStatus s{};
    EXPECT_EQ(vbctl_status_decode(&progress, &s), -1);
    progress.command = 2;
    EXPECT_EQ(vbctl_status_decode(&progress, &s), -1);
    EXPECT_EQ(vbctl_status_decode(nullptr, &s), -1);
}

TEST(VbctlMatch, AnswersToEachKindOfCommand) {
    VbctlExpect rec_start{};
    rec_start.kind = VBCTL_ANSWER_COMMAND_ACK;
    rec_start.command = 2500;
    VbctlExpect mode_record{};
    mode_record.kind = VBCTL_ANSWER_PELORA_ACK;
    mode_record.item = 1;
    mode_record.value1 = 1;
    VbctlExpect format{};
    format.kind = VBCTL_ANSWER_PELORA_ACK;
    format.item = 25;
    format.value1 = 1;
    VbctlExpect zoom{};
    zoom.kind = VBCTL_ANSWER_STATUS;
    zoom.field = VBCTL_FIELD_ZOOM;
    zoom.value = 25;
    zoom.item = 23;
    VbctlExpect timesync{};
    timesync.kind = VBCTL_ANSWER_TIMESYNC;

    mavlink_message_t heartbeat;
    const mavlink_heartbeat_t hb{0, 0, 0, 0, 1, 3};
    mavlink_msg_heartbeat_pack(33, 0, 0, &hb, &heartbeat);

    struct Case {
        const char* what;
        const VbctlExpect* expect;
        mavlink_message_t msg;
        VbctlVerdict verdict;
        uint8_t result;
    } cases[] = {
        {"start acked", &rec_start, command_ack(2500, 0), VBCTL_ACCEPTED, 0},
        {"start refused", &rec_start, command_ack(2500, 4), VBCTL_REFUSED, 4},
        {"stop ack is not the start's", &rec_start, command_ack(2501, 0), VBCTL_WAIT, 0},
        {"heartbeat", &rec_start, heartbeat, VBCTL_WAIT, 0},
        {"mode switched", &mode_record, pelora_ack({0, 1, 76, 180, 0, 1, 0}), VBCTL_ACCEPTED, 0},
        {"mode refused", &mode_record, pelora_ack({0, 1, 76, 180, 4, 0, 0}), VBCTL_REFUSED, 4},
        {"other item", &mode_record, pelora_ack({0, 16, 76, 180, 0, 1, 0}), VBCTL_WAIT, 0},
        {"time-sync ack", &mode_record, pelora_ack({0, 0, 111, 0, 0, 0, 0}), VBCTL_WAIT, 0},
        {"format started", &format, pelora_ack({0, 25, 76, 180, 0, 0, 0}), VBCTL_WAIT, 0},
        {"format done", &format, pelora_ack({0, 25, 76, 180, 0, 1, 0}), VBCTL_ACCEPTED, 0},
        {"format failed", &format, pelora_ack({0, 25, 76, 180, 4, 0, 0}), VBCTL_REFUSED, 4},
        {"zoom shown", &zoom, status_report(0, 0, 0, 0, 25u << 17, 0, 0), VBCTL_ACCEPTED, 0},
        {"zoom not yet", &zoom, status_report(0, 0, 0, 0, 10u << 17, 0, 0), VBCTL_WAIT, 0},
        {"zoom refused", &zoom, pelora_ack({0, 23, 76, 180, 4, 0, 0}), VBCTL_REFUSED, 4},
        {"other item refused", &zoom, pelora_ack({0, 16, 76, 180, 4, 0, 0}), VBCTL_WAIT, 0},
        {"clock already set", &timesync, pelora_ack({0, 0, 111, 0, 0, 0, 0}), VBCTL_ACCEPTED, 0},
        {"clock refused", &timesync, pelora_ack({0, 0, 111, 4, 0, 0, 0}), VBCTL_REFUSED, 4},
        {"clock set", &timesync, status_report(0, 0, 0, 0, 1u << 16, 0, 0), VBCTL_ACCEPTED, 0},
        {"clock not set", &timesync, status_report(0, 0, 0, 0, 0, 0, 0), VBCTL_WAIT, 0},
    };
    for (const Case& c : cases) {
        uint8_t result = 99;
        EXPECT_EQ(vbctl_match(c.expect, &c.msg, &result), c.verdict) << c.what;
        if (c.verdict != VBCTL_WAIT) {
            EXPECT_EQ(result, c.result) << c.what;
        }
    }
}

TEST(VbctlMatch, EvStepsFollowTheCameraLimits) {
    struct Case {
        int32_t before, step, after;
    } cases[] = {{0, 0, 1}, {8, 0, 9}, {9, 0, 9}, {-8, 1, -9}, {-9, 1, -9}, {5, 2, 0}};
    for (const Case& c : cases) {
        EXPECT_EQ(vbctl_ev_after(c.before, c.step), c.after) << c.before << " step " << c.step;
    }
}

TEST(VbctlItems, ParseNamesIntoItemsParametersAndAnswers) {
    struct Case {
        std::vector<const char*> words;  // name and values
        uint8_t item;
        float p1, p2, p3;
        VbctlAnswerKind kind;
        VbctlStatusField field;
        int32_t value;  // status value, or PELORA_ACK value 1
    } cases[] = {
        {{"resolution", "1080p30"}, 2, 7, 0, 0, VBCTL_ANSWER_STATUS, VBCTL_FIELD_RES_CODE, 7},
        {{"resolution", "13"}, 2, 13, 0, 0, VBCTL_ANSWER_STATUS, VBCTL_FIELD_RES_CODE, 13},
        {{"iso", "12"}, 3, 12, 0, 0, VBCTL_ANSWER_STATUS, VBCTL_FIELD_ISO, 12},
        {{"exposure", "manual"}, 5, 1, 0, 0, VBCTL_ANSWER_STATUS, VBCTL_FIELD_AE_MODE, 1},
        {{"ev", "down"}, 4, 1, 0, 0, VBCTL_ANSWER_STATUS, VBCTL_FIELD_EV, 1},
        {{"shutter", "24"}, 6, 24, 0, 0, VBCTL_ANSWER_STATUS, VBCTL_FIELD_SHUTTER, 24},
        {{"picture-mode", "hdr"}, 7, 1, 0, 0, VBCTL_ANSWER_STATUS, VBCTL_FIELD_SNAP_MODE, 1},
        {{"capture-attr-4", "31"}, 11, 31, 0, 0, VBCTL_ANSWER_STATUS, VBCTL_FIELD_ATTR4, 31},
        {{"panorama", "wide"}, 15, 6, 0, 0, VBCTL_ANSWER_STATUS, VBCTL_FIELD_PANO_MODE, 6},
        {{"metering", "point", "640", "360"},
         16,
         1,
         640,
         360,
         VBCTL_ANSWER_PELORA_ACK,
         VBCTL_FIELD_NONE,
         -1},
        {{"metering", "lock", "on"}, 16, 2, 1, 0, VBCTL_ANSWER_PELORA_ACK, VBCTL_FIELD_NONE, -1},
        {{"timelapse", "start", "5", "30"},
         22,
         0,
         5,
         30,
         VBCTL_ANSWER_PELORA_ACK,
         VBCTL_FIELD_NONE,
         -1},
        {{"zoom", "250"}, 23, 1, 250, 0, VBCTL_ANSWER_STATUS, VBCTL_FIELD_ZOOM, 25},
        {{"zoom", "100"}, 23, 1, 100, 0, VBCTL_ANSWER_STATUS, VBCTL_FIELD_ZOOM, 10},
        {{"sd-format"}, 25, 0, 0, 0, VBCTL_ANSWER_PELORA_ACK, VBCTL_FIELD_NONE, 1},
        {{"video-mode", "zoom"}, 26, 2, 0, 0, VBCTL_ANSWER_STATUS, VBCTL_FIELD_VIDEO_MODE, 2},
        {{"white-balance", "5600"}, 29, 0, 56, 0, VBCTL_ANSWER_STATUS, VBCTL_FIELD_WB_MODE, 0},
        {{"white-balance", "auto"}, 29, 1, 0, 0, VBCTL_ANSWER_STATUS, VBCTL_FIELD_WB_MODE, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.words[0]) +
                     (c.words.size() > 1 ? std::string(" ") + c.words[1] : ""));
        VbctlSetRequest req{};
        char error[256] = "";
        ASSERT_EQ(vbctl_parse_set(c.words[0], static_cast<int>(c.words.size() - 1),
                                  c.words.data() + 1, &req, error, sizeof error),
                  0)
            << error;
        EXPECT_EQ(req.item, c.item);
        EXPECT_EQ(req.params[0], c.p1);
        EXPECT_EQ(req.params[1], c.p2);
        EXPECT_EQ(req.params[2], c.p3);
        EXPECT_EQ(req.expect.kind, c.kind);
        if (c.kind == VBCTL_ANSWER_STATUS) {
            EXPECT_EQ(req.expect.field, c.field);
            EXPECT_EQ(req.expect.value, c.value);
        } else {
            EXPECT_EQ(req.expect.item, c.item);
            EXPECT_EQ(req.expect.value1, c.value);
        }
    }

    const std::vector<std::vector<const char*>> bad = {
        {"resolution", "14"}, {"resolution", "1080p"}, {"iso", "13"},    {"iso"},
        {"burst-count", "1"}, {"zoom", "99"},          {"zoom", "in"},   {"sd-format", "now"},
        {"metering", "lock"}, {"timelapse", "start"},  {"no-such-item"}, {"exposure", "1.5"},
    };
    for (const auto& words : bad) {
        VbctlSetRequest req{};
        char error[256] = "";
        EXPECT_EQ(vbctl_parse_set(words[0], static_cast<int>(words.size() - 1), words.data() + 1,
                                  &req, error, sizeof error),
                  -1)
            << words[0];
        EXPECT_NE(error[0], '\0') << words[0];
    }
}

TEST(VbctlItems, TheListCoversTheCameraParameterItems) {
    size_t count = 0;
    const VbctlItemInfo* items = vbctl_items(&count);
    std::vector<int> numbers;
    for (size_t i = 0; i < count; ++i) {
        numbers.push_back(items[i].item);
        for (size_t j = 0; j < i; ++j) EXPECT_STRNE(items[i].name, items[j].name);
    }
    // Item 10 (capture attribute 3) is refused by the camera and not offered.
    EXPECT_EQ(numbers, (std::vector<int>{2,  3,  4,  5,  6,  7,  8,  9,  11, 12, 13,
                                         14, 15, 16, 22, 23, 24, 25, 26, 29, 30}));
}

TEST(VbctlFormat, OneLinePerMessage) {
    mavlink_message_t msg;
    const mavlink_heartbeat_t hb{0, 0, 0, 0, 1, 3};
    mavlink_msg_heartbeat_pack(33, 0, 12, &hb, &msg);
    char line[512];
    vbctl_format_message(&msg, line, sizeof line);
    EXPECT_STREQ(line,
                 "HEARTBEAT sys=33(2>1) comp=0 seq=12 type=0 autopilot=0 base_mode=0 "
                 "custom_mode=0 system_status=1 mavlink_version=3");

    msg = status_report(0x04211007u, 0, 100, 50, 0, 0, 0);
    vbctl_format_message(&msg, line, sizeof line);
    EXPECT_NE(strstr(line, "COMMAND_LONG sys=36(2>4)"), nullptr) << line;
    EXPECT_NE(strstr(line, "status p1=0x04211007"), nullptr) << line;

    msg = pelora_ack({0, 1, 76, 180, 0, 1, 0});
    vbctl_format_message(&msg, line, sizeof line);
    EXPECT_STREQ(line, "PELORA_ACK sys=36(2>4) comp=0 seq=0 data=0,1,76,180,0,1,0");

    // An id outside the dialect: its payload in hex. A short buffer stays terminated.
    mavlink_msg_clear(&msg);
    msg.payload[0] = 0xAB;
    mavlink_finalize_message(&msg, 0x32, 1, 2, 45, 1);
    vbctl_format_message(&msg, line, sizeof line);
    EXPECT_STREQ(line, "MSG_45 sys=50(3>2) comp=1 seq=2 len=1 payload=ab");
    char tiny[8];
    EXPECT_GT(vbctl_format_message(&msg, tiny, sizeof tiny), 8);
    EXPECT_STREQ(tiny, "MSG_45 ");
}

}  // namespace
