// Routing, command handling, configuration list, clock setting, link status
// and the event bridge's translations, with the phone on one end of a socket
// pair and the flight controller's link recorded.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <sys/time.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include "../../support/board_root_fixture.h"
#include "app/mav_dispatch.h"
#include "board/board.h"
#include "core/ccl.h"
#include "core/trace_log.h"
#include "fpv/fpv_stream.h"
#include "fw/fw_ctx.h"
#include "mav/mav_bridge.h"
#include "mav/mav_gps.h"
#include "mav/mav_input.h"
#include "mav/mav_link.h"
#include "mav/mavlink_msgs.h"
#include "mav_test_util.h"
#include "state/drone_position.h"
#include "state/fs_stream.h"
#include "vps/vcs.h"
#include "vps/vps_ctx.h"
#include "vps/vps_event.h"

namespace {

constexpr uint8_t kPhoneToVideo = 0x42;
constexpr int kWaitMs = 1000;

mavlink_message_t command_long(uint8_t sysid, uint16_t command, float p1, float p2 = 0,
                               float p3 = 0, uint8_t targetComponent = 0, float p7 = 0) {
    mavlink_command_long_t cmd{};
    cmd.param1 = p1;
    cmd.param2 = p2;
    cmd.param3 = p3;
    cmd.param7 = p7;
    cmd.command = command;
    cmd.target_component = targetComponent;
    mavlink_message_t msg;
    mavlink_msg_command_long_pack(sysid, 0, 7, &cmd, &msg);
    return msg;
}

std::vector<uint8_t> wire(const mavlink_message_t& msg) {
    std::array<uint8_t, MAVLINK_MAX_PACKET_LEN> buf{};
    const int n = mavlink_msg_to_send_buffer(buf, &msg);
    return {buf.begin(), buf.begin() + n};
}

class PhoneLinkTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds_), 0);
        PLR_MAV_AttachClient(fds_[0], 10, PLR_MAV_NowMs());
        reader_ = std::make_unique<FrameReader>(fds_[1]);
        UartRecorder::install();
        EventRecorder::install();
        g_vpsCtx.vpsStatus = VPS_STATUS_IDLE;
        PLR_VCS_Reset();
        MavlinkDispatchReset();
        MavlinkResetGPSInfo();
    }
    void TearDown() override {
        PLR_MAV_CloseClient();
        close(fds_[1]);
        MavlinkSetEvtPoster(nullptr);
        uart_link_reset();
        PLR_VCS_Reset();
    }
    std::vector<PostedEvt> events() const { return EventRecorder::events(); }

    int fds_[2] = {-1, -1};
    std::unique_ptr<FrameReader> reader_;
};

// ---- routing ----

TEST_F(PhoneLinkTest, PhoneMessagesForOtherBoardsGoToTheFlightControllerUnchanged) {
    struct Case {
        mavlink_message_t msg;
        bool relayed;
    };
    mavlink_message_t unknownForVideo;
    mavlink_msg_clear(&unknownForVideo);
    mavlink_finalize_message(&unknownForVideo, kPhoneToVideo, 0, 3, 45, 0);
    const Case cases[] = {
        {command_long(0x43, 2, 3), true},            // addressed to the flight controller
        {command_long(0x47, 2, 3), true},            // gimbal
        {unknownForVideo, true},                     // no local handler
        {command_long(kPhoneToVideo, 2, 4), false},  // handled: record stop
        {command_long(0x45, 2, 4), false},           // the repeater's address counts as ours
    };
    for (const Case& c : cases) {
        UartRecorder::clear();
        EventRecorder::events().clear();
        EXPECT_EQ(MavlinkMessageDispatch(&c.msg), 0);
        if (c.relayed) {
            EXPECT_EQ(UartRecorder::raw(), wire(c.msg)) << int(c.msg.sysid);
            EXPECT_TRUE(events().empty());
        } else {
            EXPECT_TRUE(UartRecorder::raw().empty()) << int(c.msg.sysid);
            EXPECT_EQ(events(), (std::vector<PostedEvt>{{VPS_EVT_REC_STOP, -1, -1, ""}}));
        }
    }
    EXPECT_EQ(MavlinkMessageDispatch(nullptr), -1);
}

TEST_F(PhoneLinkTest, FlightControllerMessagesForThePhoneAreRelayedAndGpsIsKept) {
    mavlink_gps_raw_int_t gps{};
    gps.lat = 399000000;
    gps.lon = 1164000000;
    mavlink_message_t msg;
    mavlink_msg_gps_raw_int_pack(0x34, 0, 9, &gps, &msg);
    EXPECT_EQ(uart_message_dispatch(&msg), 0);
    const auto relayed = reader_->next(kWaitMs);
    ASSERT_TRUE(relayed);
    EXPECT_EQ(wire(*relayed), wire(msg));
    EXPECT_EQ(MavlinkGetGPSLatitude(), 399000000);
    EXPECT_EQ(MavlinkGetGPSLongtitude(), 1164000000);
    EXPECT_TRUE(UartRecorder::raw().empty());
}

// ---- camera commands ----

TEST_F(PhoneLinkTest, MediaCommandsPostTheirEvents) {
    constexpr uint32_t kPhoto = 0, kRecord = 1;
    struct Case {
        uint32_t mode;
        bool busy;
        float command;
        std::vector<PostedEvt> posted;
    };
    const PostedEvt gps{VPS_EVT_GPS_SYNC, 0, 0, "0"};
    const std::vector<Case> cases = {
        {kPhoto, false, 3, {{VPS_EVT_MODE_SWITCH, 1, -1, ""}, {VPS_EVT_REC_START, -1, -1, ""}}},
        {kRecord, false, 3, {{VPS_EVT_REC_START, -1, -1, ""}}},
        {kPhoto, true, 3, {}},
        {kRecord, true, 4, {{VPS_EVT_REC_STOP, -1, -1, ""}}},
        {kRecord,
         false,
         1,
         {gps, {VPS_EVT_MODE_SWITCH, 0, -1, ""}, {VPS_EVT_SNAP_START, -1, -1, ""}}},
        {kPhoto, false, 2000, {gps, {VPS_EVT_SNAP_START, -1, -1, ""}}},
        {kPhoto, true, 2000, {}},
        {kPhoto, true, 2001, {{VPS_EVT_SNAP_STOP, -1, -1, ""}}},
        {kPhoto, false, 0, {{VPS_EVT_MODE_SWITCH, 0, -1, ""}}},
        {kPhoto, false, 2, {{VPS_EVT_MODE_SWITCH, 1, -1, ""}}},
        {kPhoto, true, 2, {}},
        {kPhoto, false, 77, {}},
    };
    for (const Case& c : cases) {
        EventRecorder::events().clear();
        PLR_VCS_SetVpsMode(c.mode);
        g_vpsCtx.vpsStatus = c.busy ? VPS_STATUS_TO_RECORD : VPS_STATUS_IDLE;
        const mavlink_message_t msg = command_long(kPhoneToVideo, 2, c.command, 0.7F);
        MavlinkMessageDispatch(&msg);
        EXPECT_EQ(events(), c.posted)
            << "mode " << c.mode << " busy " << c.busy << " command " << c.command;
    }
}

TEST_F(PhoneLinkTest, ParameterItemsPostTheirEvents) {
    struct Case {
        uint8_t item;
        float p1, p2, p3;
        std::vector<PostedEvt> posted;
    };
    const std::vector<Case> cases = {
        {2, 4, 0, 0, {{VPS_EVT_RES_SET, 14, 30, ""}}},
        {2, 14, 0, 0, {}},  // unknown resolution code
        {3, 5, 0, 0, {{VPS_EVT_AE_ATTR_SET, 0, 5, ""}}},
        {4, 1, 0, 0, {{VPS_EVT_AE_ATTR_SET, 2, 1, ""}}},
        {5, 1, 0, 0, {{VPS_EVT_AE_MODE_SET, 1, -1, ""}}},
        {6, 30, 0, 0, {{VPS_EVT_AE_ATTR_SET, 1, 30, ""}}},
        {7, 3, 0, 0, {{VPS_EVT_ATTR_SET, 0, 3, ""}}},
        {15, 2, 0, 0, {{VPS_EVT_ATTR_SET, 8, 2, ""}}},
        {16, 5, 640, 360, {{VPS_EVT_AE_ROI_SET, 5, 640 * 65536 + 360, ""}}},
        {22, 0, 5, 30, {{VPS_EVT_TIMELAPSE, 0, (5 << 16) | 30, ""}}},
        {23, 1, 0, 0, {{VPS_EVT_ZOOM_IN, -1, -1, ""}}},
        {23, 0, 0, 0, {{VPS_EVT_ZOOM_OUT, -1, -1, ""}}},
        {23, 0, 25, 0, {{VPS_EVT_ZOOM_SET, 25, -1, ""}}},
        {24, 0, 0, 0, {{VPS_EVT_RESET, -1, -1, ""}}},
        {25, 0, 0, 0, {{VPS_EVT_SD_FORMAT, -1, -1, ""}}},
        {26, 2, 0, 0, {{VPS_EVT_ATTR_SET, 9, 2, ""}}},
        {29, 1, 5600, 0, {{VPS_EVT_CCT_SET, 1, 5600, ""}}},
        {30, 1, 0, 0, {{VPS_EVT_DN_MODE_SET, 1, -1, ""}}},
        {17, 1, 0, 0, {}},
    };
    for (const Case& c : cases) {
        EventRecorder::events().clear();
        const mavlink_message_t msg = command_long(kPhoneToVideo, 180, c.p1, c.p2, c.p3, c.item);
        MavlinkMessageDispatch(&msg);
        EXPECT_EQ(events(), c.posted) << "item " << int(c.item);
    }
}

TEST_F(PhoneLinkTest, FlightControllerCameraControl) {
    PLR_VCS_SetVpsMode(0);
    mavlink_message_t msg = command_long(0x32, 203, 0, 0, 0, 0, 3);
    uart_message_dispatch(&msg);
    EXPECT_EQ(events(), (std::vector<PostedEvt>{{VPS_EVT_MODE_SWITCH, 1, -1, ""},
                                                {VPS_EVT_REC_START, -1, -1, ""}}));

    // A panoramic photo is refused in raw format.
    EventRecorder::events().clear();
    PLR_VCS_AttrSetHandle(1, 1);
    mavlink_command_long_t cmd{};
    cmd.command = 203;
    cmd.param5 = 3;
    cmd.param7 = 1;
    EXPECT_EQ(mavlink_do_digctrl_handler(&cmd), -1);
    EXPECT_TRUE(events().empty());
    cmd.command = 76;
    EXPECT_EQ(mavlink_do_digctrl_handler(&cmd), -1);
}

TEST_F(PhoneLinkTest, BitrateAdvisory) {
    mavlink_command_long_t cmd{};
    cmd.command = 203;
    cmd.target_component = 14;
    cmd.param1 = 50;
    cmd.param7 = 50;  // ratio 100: a good link
    for (int i = 1; i <= 5; ++i) mavlink_do_digctrl_handler(&cmd);
    EXPECT_TRUE(events().empty()) << "nothing for the first five good reports";
    mavlink_do_digctrl_handler(&cmd);
    EXPECT_EQ(events(), (std::vector<PostedEvt>{{VPS_EVT_FPV_BITRATE, 0, 512000, ""}}));

    // A poor link with a middling score asks at once; a merely imperfect one
    // only after six reports.
    EventRecorder::events().clear();
    cmd.param7 = 40;
    cmd.param2 = 30;  // score 24: factor 0.6
    mavlink_do_digctrl_handler(&cmd);
    EXPECT_EQ(events().size(), 1U);
    cmd.param2 = 5;  // score 4: factor 0.8
    for (int i = 0; i < 5; ++i) mavlink_do_digctrl_handler(&cmd);
    EXPECT_EQ(events().size(), 1U);
    mavlink_do_digctrl_handler(&cmd);
    EXPECT_EQ(events().size(), 2U);
    EXPECT_EQ(mavlink_do_set_fpv_bitrate(5000000), 0);
    EXPECT_EQ(events().back(), (PostedEvt{VPS_EVT_FPV_BITRATE, 0, 1024000, ""}));
}

// ---- clock, configuration, link status ----

TEST_F(PhoneLinkTest, TimeSyncSetsTheBoardClockOnce) {
    TempBoardRoot board({"/sim", "/tmp"});
    mavlink_timesync_t ts{1700000000000LL, 8};
    mavlink_message_t msg;
    mavlink_msg_timesync_pack(kPhoneToVideo, 0, 1, &ts, &msg);
    MavlinkMessageDispatch(&msg);
    EXPECT_NE(board.read("/sim/events.log").find(" clock-set 1700028800.000000\n"),
              std::string::npos);
    EXPECT_EQ(PLR_VCS_GetTimeSync(), 1U);
    EXPECT_FALSE(reader_->next(100)) << "no answer to the first time sync";

    MavlinkMessageDispatch(&msg);
    const auto ack = reader_->next_id(kWaitMs, MAVLINK_MSG_ID_PELORA_ACK);
    ASSERT_TRUE(ack);
    mavlink_pelora_ack_t a{};
    mavlink_msg_pelora_ack_decode(&*ack, &a);
    EXPECT_EQ(a, (mavlink_pelora_ack_t{{0, 0, 111, 0, 0, 0, 0}}));
    EXPECT_EQ(ack->sysid, 36);

    timeval host{};
    gettimeofday(&host, nullptr);
    board_set_clock(host);
}

TEST_F(PhoneLinkTest, ParameterListInKeyOrderWithCuts) {
    TempBoardRoot board({"/tmp", "/etc"});
    board.write("/etc/pelora.conf",
                "zeta=last\nModelName=P1\nAVeryLongKeyNameOf20=v\n"
                "alpha=0123456789012345678901234567890123456789\n");
    CclInit();
    mavlink_param_request_list_t req{};
    mavlink_message_t msg;
    mavlink_msg_param_request_list_pack(kPhoneToVideo, 0, 1, &req, &msg);
    MavlinkMessageDispatch(&msg);
    std::vector<std::pair<std::string, std::string>> got;
    while (auto m = reader_->next_id(300, MAVLINK_MSG_ID_PELORA_PARAM_VALUE)) {
        mavlink_pelora_param_value_t pv{};
        mavlink_msg_pelora_param_value_decode(&*m, &pv);
        EXPECT_EQ(pv.count, 4);
        EXPECT_EQ(pv.type, MAVLINK_PARAM_TYPE_TEXT);
        got.emplace_back(pv.name, pv.text);
    }
    const std::vector<std::pair<std::string, std::string>> expected = {
        {"AVeryLongKeyNam", "v"},
        {"ModelName", "P1"},
        {"alpha", "01234567890123456789012345678"},
        {"zeta", "last"},
    };
    EXPECT_EQ(got, expected);
    CclExit();
}

TEST_F(PhoneLinkTest, RepeatedBindStatusAppliesTheBindingOnce) {
    TempBoardRoot board({"/sim", "/tmp"});
    ASSERT_EQ(save_macaddr("02:00:7f:00:00:0a"), 0);
    mavlink_pelora_quad_status_t qs{4};
    mavlink_message_t msg;
    mavlink_msg_pelora_quad_status_pack(0x32, 0, 1, &qs, &msg);
    EXPECT_EQ(MavlinkQuadStatusHandle(&msg), 0);
    EXPECT_EQ(MavlinkQuadStatusHandle(&msg), -1);
    qs.status = 3;
    mavlink_msg_pelora_quad_status_pack(0x32, 0, 1, &qs, &msg);
    EXPECT_EQ(MavlinkQuadStatusHandle(&msg), 0);
    qs.status = 9;
    mavlink_msg_pelora_quad_status_pack(0x32, 0, 1, &qs, &msg);
    EXPECT_EQ(MavlinkQuadStatusHandle(&msg), -1);

    std::vector<std::string> lines;
    std::istringstream log(board.read("/sim/events.log"));
    for (std::string line; std::getline(log, line);)
        lines.push_back(line.substr(line.find(' ') + 1));
    EXPECT_EQ(lines,
              (std::vector<std::string>{
                  "iptables iptables --flush",
                  "iptables iptables -A INPUT -m mac --mac-source 02:00:7f:00:00:0a -j ACCEPT",
                  "iptables iptables -P INPUT DROP",
                  "iptables iptables --flush",
                  "iptables iptables -P INPUT ACCEPT",
              }));
}

TEST_F(PhoneLinkTest, RepeaterHeartbeatCarriesItsStateAndTheLiveViewClient) {
    MavlinkContext.PhoneDirect = 0;
    mavlink_heartbeat_t hb{};
    hb.system_status = 0x32;
    mavlink_message_t msg;
    mavlink_msg_heartbeat_pack(0x52, 0, 1, &hb, &msg);
    MavlinkMessageDispatch(&msg);
    EXPECT_EQ(MavlinkContext.ConnState.load(), MAV_CONN_HEARTBEAT);
    EXPECT_EQ(MavlinkContext.RepeaterState.load(), 3);
    EXPECT_EQ(PLR_FPV_GetClientConn(), 1);

    hb = {0xF503, 0, 0, 0, '_', 0};  // recovery mode changes nothing
    mavlink_msg_heartbeat_pack(0x52, 0, 1, &hb, &msg);
    MavlinkMessageDispatch(&msg);
    EXPECT_EQ(MavlinkContext.RepeaterState.load(), 3);
}

// ---- sending and the heartbeat watchdog ----

TEST_F(PhoneLinkTest, SendsNeedAClientAndOnlyHeartbeatsGoBeforeItIsReady) {
    MavlinkContext.SendReady = 0;
    EXPECT_EQ(mavlink_pelora_command_ack_send(2500, 0), -1);
    EXPECT_GT(MavlinkHeartBeatSend(), 0);
    const auto hb = reader_->next(kWaitMs);
    ASSERT_TRUE(hb);
    EXPECT_EQ(hb->msgid, MAVLINK_MSG_ID_HEARTBEAT);
    EXPECT_EQ(hb->sysid, 33);

    PLR_MAV_CloseClient();
    EXPECT_EQ(MavlinkHeartBeatSend(), -1);
    EXPECT_EQ(mavlink_pelora_command_ack_send(2500, 0), -1);
    const uint8_t bytes[] = {1, 2, 3};
    EXPECT_EQ(PLR_MAV_Sendbuffer(bytes, sizeof bytes), -1);
}

TEST_F(PhoneLinkTest, HeartbeatLossDropsTheClientFourSecondsAfterTheLastHeartbeat) {
    PLR_MAV_CloseClient();
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    PLR_MAV_AttachClient(pair[0], 10, 1000);
    EXPECT_EQ(MavlinkTimeoutDisconn(4999), 0) << "a silent new client has 4 s too";
    MavlinkHeartbeatSeen(3000);
    EXPECT_EQ(MavlinkContext.ConnState.load(), MAV_CONN_HEARTBEAT);
    EXPECT_EQ(MavlinkTimeoutDisconn(6999), 0);
    EXPECT_EQ(MavlinkTimeoutDisconn(7000), 1);
    EXPECT_EQ(MavlinkContext.ConnState.load(), MAV_CONN_NONE);
    EXPECT_EQ(MavlinkContext.SendReady.load(), 0);
    FrameReader peer(pair[1]);
    EXPECT_TRUE(peer.closed(kWaitMs)) << "the socket is shut down";
    EXPECT_EQ(MavlinkTimeoutDisconn(9000), 0) << "the watchdog fires once";
    PLR_MAV_CloseClient();
    close(pair[1]);
}

// ---- the event bridge's translations ----

mavlink_pelora_ack_t ack_of(const std::optional<mavlink_message_t>& m) {
    mavlink_pelora_ack_t a{};
    if (m) mavlink_msg_pelora_ack_decode(&*m, &a);
    return a;
}

mavlink_command_ack_t cmd_ack_of(const std::optional<mavlink_message_t>& m) {
    mavlink_command_ack_t a{};
    if (m) mavlink_msg_command_ack_decode(&*m, &a);
    return a;
}

VpsEvt notification(uint32_t eventno, int32_t retCode, int32_t ival1 = -1, int32_t ival2 = -1,
                    const char* text = "") {
    VpsEvt evt{eventno, retCode, ival1, ival2, {}};
    snprintf(evt.cval, sizeof evt.cval, "%s", text);
    return evt;
}

TEST_F(PhoneLinkTest, BridgeAcknowledgesModeSwitchesAndKeepsTheMode) {
    VpsEvt evt = notification(VPS_EVT_MODE_SWITCH, -1, 1);
    PLR_MAV_VPS_EvtHandle(&evt);
    EXPECT_EQ(ack_of(reader_->next(kWaitMs)), (mavlink_pelora_ack_t{{0, 1, 76, 180, 4, 1, 0}}));
    EXPECT_EQ(PLR_VCS_GetVpsMode(), 0U);
    evt = notification(VPS_EVT_MODE_SWITCH, 0, 1);
    PLR_MAV_VPS_EvtHandle(&evt);
    EXPECT_EQ(ack_of(reader_->next(kWaitMs)), (mavlink_pelora_ack_t{{0, 1, 76, 180, 0, 1, 0}}));
    EXPECT_EQ(PLR_VCS_GetVpsMode(), 1U);
}

TEST_F(PhoneLinkTest, BridgeRecordingStartAndStop) {
    VpsEvt evt = notification(VPS_EVT_REC_START, 0, -1, -1, "/tmp/SD0/PLRMEDIA/VIDEO/VID_0007.MP4");
    PLR_MAV_VPS_EvtHandle(&evt);
    auto m = reader_->next(kWaitMs);
    ASSERT_TRUE(m);
    EXPECT_EQ(m->msgid, MAVLINK_MSG_ID_COMMAND_ACK);
    EXPECT_EQ(cmd_ack_of(m), (mavlink_command_ack_t{2500, 0}));
    EXPECT_STREQ(MavlinkContext.RecFileName, "VID_0007.MP4");
    EXPECT_EQ(MavlinkContext.Recording.load(), 1);

    evt = notification(VPS_EVT_REC_STOP, 0);
    PLR_MAV_VPS_EvtHandle(&evt);
    EXPECT_EQ(cmd_ack_of(reader_->next(kWaitMs)), (mavlink_command_ack_t{2501, 0}));
    EXPECT_EQ(MavlinkContext.Recording.load(), 0);
    EXPECT_STREQ(MavlinkContext.RecFileName, "");
    const auto fc = UartRecorder::frames();
    ASSERT_EQ(fc.size(), 1U);
    mavlink_command_long_t state{};
    mavlink_msg_command_long_decode(&fc[0], &state);
    EXPECT_EQ(fc[0].sysid, 35);
    EXPECT_EQ(state.command, 2);
    EXPECT_EQ(state.target_system, 100);
    EXPECT_EQ(state.param1, 4.0F);

    // A refused start (card full) is acknowledged as failed and starts nothing.
    evt = notification(VPS_EVT_REC_START, 3);
    PLR_MAV_VPS_EvtHandle(&evt);
    EXPECT_EQ(cmd_ack_of(reader_->next(kWaitMs)), (mavlink_command_ack_t{2500, 4}));
    EXPECT_EQ(MavlinkContext.Recording.load(), 0);
}

TEST_F(PhoneLinkTest, BridgePhotosInQuietPictureModeAreNotAcknowledged) {
    PLR_VCS_AttrSetHandle(0, 5);
    VpsEvt evt = notification(VPS_EVT_SNAP_START, 0);
    PLR_MAV_VPS_EvtHandle(&evt);
    evt = notification(VPS_EVT_SNAP_STOP, 0);
    PLR_MAV_VPS_EvtHandle(&evt);
    EXPECT_FALSE(reader_->next(100));
    EXPECT_EQ(UartRecorder::frames().size(), 1U)
        << "only the camera state to the flight controller";

    PLR_VCS_AttrSetHandle(0, 0);
    evt = notification(VPS_EVT_SNAP_START, 0);
    PLR_MAV_VPS_EvtHandle(&evt);
    EXPECT_EQ(cmd_ack_of(reader_->next(kWaitMs)), (mavlink_command_ack_t{2000, 0}));
}

TEST_F(PhoneLinkTest, BridgeCardReportsAndOtherNotifications) {
    VpsEvt evt = notification(VPS_EVT_SD_QUERY, 3, 30000, 1200);
    PLR_MAV_VPS_EvtHandle(&evt);
    auto m = reader_->next(kWaitMs);
    ASSERT_TRUE(m);
    mavlink_pelora_sd_status_t sd{};
    ASSERT_EQ(mavlink_msg_pelora_sd_status_decode(&*m, &sd), 0);
    EXPECT_EQ(sd, (mavlink_pelora_sd_status_t{30000.0F, 1200.0F, 2}));
    EXPECT_EQ(PLR_VCS_GetSDStatus().status, 3U);

    evt = notification(VPS_EVT_RES_QUERY, 0, 6, 30);
    PLR_MAV_VPS_EvtHandle(&evt);
    EXPECT_FALSE(reader_->next(100)) << "notification 12 is only logged";

    evt = notification(VPS_EVT_AE_ROI_SET, 0, 0x105, 0x203);
    PLR_MAV_VPS_EvtHandle(&evt);
    EXPECT_EQ(ack_of(reader_->next(kWaitMs)), (mavlink_pelora_ack_t{{0, 16, 76, 180, 0, 5, 3}}));

    evt = notification(VPS_EVT_TLAPSE_PROGRESS, 0, 12, 240);
    PLR_MAV_VPS_EvtHandle(&evt);
    m = reader_->next(kWaitMs);
    mavlink_command_long_t cmd{};
    ASSERT_TRUE(m);
    mavlink_msg_command_long_decode(&*m, &cmd);
    EXPECT_EQ(cmd.command, 2003);
    EXPECT_EQ(cmd.target_component, 22);
    EXPECT_EQ(cmd.param1, 12.0F);
    EXPECT_EQ(cmd.param2, 240.0F);
}

// ---- hostile input: checked ranges, refusals that answer ----

TEST_F(PhoneLinkTest, HeartbeatLiveViewBitsFollowTheSwitchAndAReadyClient) {
    // The switch starts on; the heartbeat says so before any DATA_STREAM.
    fs_set_stream_on(1);
    ASSERT_GT(MavlinkHeartBeatSend(), 0);
    mavlink_heartbeat_t hb{};
    auto m = reader_->next_id(kWaitMs, MAVLINK_MSG_ID_HEARTBEAT);
    ASSERT_TRUE(m);
    mavlink_msg_heartbeat_decode(&*m, &hb);
    EXPECT_EQ(hb.system_status & 2, 2) << "live-view bit of the direct heartbeat";

    // Through the repeater, bit 0 says the live view is sent: client state 2
    // (ready) and the switch on, nothing else.
    struct Case {
        int32_t client;
        uint32_t stream;
        uint8_t bit0;
    };
    for (const Case c : {Case{0, 1, 0}, Case{1, 1, 0}, Case{2, 1, 1}, Case{3, 1, 0}, Case{2, 0, 0},
                         Case{1, 0, 0}}) {
        PLR_FPV_SetClientConn(c.client);
        fs_set_stream_on(c.stream);
        ASSERT_GT(MavlinkVideoSendHB2Repeater(), 0);
        m = reader_->next_id(kWaitMs, MAVLINK_MSG_ID_HEARTBEAT);
        ASSERT_TRUE(m);
        EXPECT_EQ(m->sysid, 37);
        mavlink_msg_heartbeat_decode(&*m, &hb);
        EXPECT_EQ(hb.system_status & 1, c.bit0) << "client " << c.client << " stream " << c.stream;
    }
    fs_set_stream_on(1);
    PLR_FPV_SetClientConn(0);
}

TEST_F(PhoneLinkTest, GarbageTimeSyncIsRefusedAndAGoodOneStillSetsTheClock) {
    TempBoardRoot board({"/sim", "/tmp"});
    auto timesync = [](int64_t tc1, int64_t ts1) {
        mavlink_timesync_t ts{tc1, ts1};
        mavlink_message_t msg;
        mavlink_msg_timesync_pack(kPhoneToVideo, 0, 1, &ts, &msg);
        return msg;
    };
    const struct {
        int64_t tc1, ts1;
    } garbage[] = {
        {INT64_MAX, 0},
        {INT64_MIN, 0},
        {0, 0},
        {1577836799999LL, 0},  // 2019-12-31 23:59:59
        {4102444800000LL, 0},  // 2100-01-01
        {1700000000000LL, 0x7FFFFFFF},
        {1700000000000LL, -0x80000000LL},
    };
    for (const auto& g : garbage) {
        const mavlink_message_t msg = timesync(g.tc1, g.ts1);
        MavlinkMessageDispatch(&msg);
        EXPECT_EQ(ack_of(reader_->next_id(kWaitMs, MAVLINK_MSG_ID_PELORA_ACK)),
                  (mavlink_pelora_ack_t{{0, 0, 111, 4, 0, 0, 0}}))
            << g.tc1 << " " << g.ts1;
        EXPECT_EQ(PLR_VCS_GetTimeSync(), 0U);
    }
    EXPECT_EQ(board.read("/sim/events.log").find("clock-set"), std::string::npos);

    const mavlink_message_t good = timesync(1700000000000LL, 8);
    MavlinkMessageDispatch(&good);
    EXPECT_NE(board.read("/sim/events.log").find(" clock-set 1700028800.000000\n"),
              std::string::npos);
    EXPECT_EQ(PLR_VCS_GetTimeSync(), 1U);
    timeval host{};
    gettimeofday(&host, nullptr);
    board_set_clock(host);
}

TEST_F(PhoneLinkTest, OutOfRangeAndNanParametersAreRefusedWithAnAnswer) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    struct Case {
        uint8_t item;
        float p1, p2, p3;
    };
    const Case refused[] = {
        {3, -1, 0, 0},
        {3, 13, 0, 0},
        {3, nan, 0, 0},
        {6, 53, 0, 0},
        {6, inf, 0, 0},
        {7, 6, 0, 0},
        {15, 2147483648.0F, 0, 0},
        {15, 1e30F, 0, 0},
        {16, 1, -inf, 0},
        {16, 1, 0, 65536},
        {22, 0, 256, 30},
        {22, -inf, 5, 30},
        {23, 0, 301, 0},
        {23, nan, 0, 0},
        {26, 3, 0, 0},
        {2, nan, 0, 0},
        {29, 0, nan, 0},
        {30, 2, 0, 0},
        {5, 2, 0, 0},
    };
    for (const Case& c : refused) {
        EventRecorder::events().clear();
        const mavlink_message_t msg = command_long(kPhoneToVideo, 180, c.p1, c.p2, c.p3, c.item);
        MavlinkMessageDispatch(&msg);
        EXPECT_TRUE(events().empty())
            << "item " << int(c.item) << " p " << c.p1 << " " << c.p2 << " " << c.p3;
        EXPECT_EQ(ack_of(reader_->next_id(kWaitMs, MAVLINK_MSG_ID_PELORA_ACK)),
                  (mavlink_pelora_ack_t{{0, c.item, 76, 180, 4, 0, 0}}))
            << "item " << int(c.item);
    }
    // Unused parameters are not read: NaN there changes nothing.
    EventRecorder::events().clear();
    const mavlink_message_t iso = command_long(kPhoneToVideo, 180, 4, nan, inf, 3);
    MavlinkMessageDispatch(&iso);
    EXPECT_EQ(events(), (std::vector<PostedEvt>{{VPS_EVT_AE_ATTR_SET, 0, 4, ""}}));

    // A media command that is no number: refused with COMMAND_ACK 2, result 4.
    for (const float p1 : {nan, inf, -inf, 1e30F, 2147483648.0F}) {
        EventRecorder::events().clear();
        const mavlink_message_t msg = command_long(kPhoneToVideo, 2, p1);
        MavlinkMessageDispatch(&msg);
        EXPECT_TRUE(events().empty()) << p1;
        EXPECT_EQ(cmd_ack_of(reader_->next_id(kWaitMs, MAVLINK_MSG_ID_COMMAND_ACK)),
                  (mavlink_command_ack_t{2, 4}))
            << p1;
    }

    // The flight controller's panoramic photo: an impossible mode takes no photo.
    PLR_VCS_AttrSetHandle(1, 0);
    for (const float mode : {2147483648.0F, nan, 16.0F, -2.0F}) {
        EventRecorder::events().clear();
        UartRecorder::clear();
        const mavlink_message_t msg = command_long(0x32, 203, 0, 0, 0, 0, 1);
        mavlink_command_long_t cmd{};
        mavlink_msg_command_long_decode(&msg, &cmd);
        cmd.param5 = mode;
        EXPECT_EQ(mavlink_do_digctrl_handler(&cmd), -1) << mode;
        EXPECT_TRUE(events().empty()) << mode;
        const auto fc = UartRecorder::frames();
        ASSERT_EQ(fc.size(), 1U);
        EXPECT_EQ(cmd_ack_of(fc[0]), (mavlink_command_ack_t{203, 4}));
    }

    // Link figures that are no counts ask for no bitrate.
    EventRecorder::events().clear();
    mavlink_command_long_t advisory{};
    advisory.command = 203;
    advisory.target_component = 14;
    advisory.param1 = 50;
    advisory.param2 = -1e30F;
    advisory.param7 = nan;
    for (int i = 0; i < 8; ++i) EXPECT_EQ(mavlink_do_digctrl_handler(&advisory), -1);
    EXPECT_TRUE(events().empty());

    // GPS altitude and distance keep their last value.
    mavlink_pelora_gps_info_t info{};
    info.altitude = 123.45F;
    mavlink_message_t gps;
    mavlink_msg_pelora_gps_info_pack(0x32, 0, 1, &info, &gps);
    uart_message_dispatch(&gps);
    for (const float alt : {nan, inf, 1e30F, -1e30F}) {
        info.altitude = alt;
        mavlink_msg_pelora_gps_info_pack(0x32, 0, 1, &info, &gps);
        uart_message_dispatch(&gps);
        EXPECT_EQ(MavlinkGetGPSAltitude(), 1234) << alt;
    }
    mavlink_local_position_ned_t pos{};
    pos.x = 12.7F;
    mavlink_message_t ned;
    mavlink_msg_local_position_ned_pack(0x32, 0, 1, &pos, &ned);
    uart_mavlink_local_position_ned_process(&ned);
    pos.x = nan;
    mavlink_msg_local_position_ned_pack(0x32, 0, 1, &pos, &ned);
    EXPECT_EQ(uart_mavlink_local_position_ned_process(&ned), -1);
    EXPECT_EQ(uart_get_cur_distance(), 12);
}

TEST_F(PhoneLinkTest, RefusedCameraCommandsAreAnsweredNotIgnored) {
    struct Case {
        float command;
        uint8_t msgid;
        mavlink_pelora_ack_t pelora;
        mavlink_command_ack_t ack;
    };
    // While the camera switches modes (mode stays photo).
    const Case busy[] = {
        {0, MAVLINK_MSG_ID_PELORA_ACK, {{0, 1, 76, 180, 4, 0, 0}}, {}},
        {2, MAVLINK_MSG_ID_PELORA_ACK, {{0, 1, 76, 180, 4, 0, 0}}, {}},
        {3, MAVLINK_MSG_ID_COMMAND_ACK, {}, {2500, 4}},
        {1, MAVLINK_MSG_ID_COMMAND_ACK, {}, {2000, 4}},
        {2000, MAVLINK_MSG_ID_COMMAND_ACK, {}, {2000, 4}},
        {77, MAVLINK_MSG_ID_COMMAND_ACK, {}, {2, 4}},
    };
    PLR_VCS_SetVpsMode(0);
    g_vpsCtx.vpsStatus = VPS_STATUS_TO_RECORD;
    for (const Case& c : busy) {
        EventRecorder::events().clear();
        const mavlink_message_t msg = command_long(kPhoneToVideo, 2, c.command);
        MavlinkMessageDispatch(&msg);
        EXPECT_TRUE(events().empty());
        const auto m = reader_->next_id(kWaitMs, c.msgid);
        ASSERT_TRUE(m) << c.command;
        if (c.msgid == MAVLINK_MSG_ID_PELORA_ACK) {
            EXPECT_EQ(ack_of(m), c.pelora) << c.command;
        } else {
            EXPECT_EQ(cmd_ack_of(m), c.ack) << c.command;
        }
    }
    g_vpsCtx.vpsStatus = VPS_STATUS_IDLE;
}

TEST_F(PhoneLinkTest, FirmwareMessagesAreRoutedByTheUpgradeState) {
    TempBoardRoot root({"/userdata", "/tmp/SD0", "/etc", "/tmp"});
    auto upgrade = [](uint8_t sysid, uint8_t sub) {
        mavlink_command_long_t cmd{};
        cmd.command = 4;
        cmd.target_system = sub;
        mavlink_message_t msg;
        mavlink_msg_command_long_pack(sysid, 0, 1, &cmd, &msg);
        return msg;
    };
    mavlink_message_t badVersion;
    mavlink_file_transfer_protocol_t ftp{};
    ftp.target_network = 6;
    ftp.target_system = 3;
    memcpy(ftp.payload, "a\nb", 3);
    mavlink_msg_file_transfer_protocol_pack(kPhoneToVideo, 0, 1, &ftp, &badVersion);

    struct Case {
        const char* what;
        mavlink_message_t msg;
        uint32_t upgrading;
        int answerSub;  // sub-command of the answer, -1: none
        uint8_t confirmation;
        bool uart = false;  // came on the flight controller's serial line
    };
    const Case cases[] = {
        {"phone command, nothing upgrading", upgrade(kPhoneToVideo, 14), FW_SYS_NONE, 14, 0},
        {"phone command during an upgrade", upgrade(kPhoneToVideo, 14), FW_SYS_FLYC, -1, 0},
        {"status query during an upgrade", upgrade(kPhoneToVideo, 15), FW_SYS_FLYC, 15, 0},
        {"flight controller's answer on the phone link", upgrade(0x32, 1), FW_SYS_FLYC, -1, 0},
        {"transfer message, nothing upgrading", badVersion, FW_SYS_NONE, 6, 4},
        {"transfer message during an upgrade", badVersion, FW_SYS_GIMBAL, -1, 0},
        {"transfer message with the phone's id on the serial line", badVersion, FW_SYS_NONE, -1, 0,
         true},
    };
    for (const Case& c : cases) {
        g_UpgradeCtx.upgrading_sys.store(c.upgrading);
        if (c.uart) {
            uart_message_dispatch(&c.msg);
        } else {
            MavlinkMessageDispatch(&c.msg);
        }
        const auto m =
            reader_->next_id(c.answerSub < 0 ? 300 : kWaitMs, MAVLINK_MSG_ID_COMMAND_LONG);
        if (c.answerSub < 0) {
            EXPECT_FALSE(m) << c.what;
            continue;
        }
        ASSERT_TRUE(m) << c.what;
        mavlink_command_long_t back{};
        mavlink_msg_command_long_decode(&*m, &back);
        EXPECT_EQ(back.target_system, c.answerSub) << c.what;
        EXPECT_EQ(back.confirmation, c.confirmation) << c.what;
        if (c.answerSub == 15) {
            EXPECT_EQ(back.target_component, c.upgrading) << c.what;
        }
    }
    g_UpgradeCtx.upgrading_sys.store(FW_SYS_NONE);
    EXPECT_TRUE(UartRecorder::frames().empty()) << "nothing is relayed";
}

TEST_F(PhoneLinkTest, LogTextIsOnePrintableLine) {
    struct Case {
        std::string in;
        std::string out;
    };
    const Case cases[] = {
        {"motor 3 ok", "motor 3 ok"},
        {"a\nb\r\n[00:00:00.000][E] forged", "a\\x0ab\\x0d\\x0a[00:00:00.000][E] forged"},
        {"\x1b[2J\x1b]0;pwned\x07", "\\x1b[2J\\x1b]0;pwned\\x07"},
        {"back\\slash \x7f\xff", "back\\\\slash \\x7f\\xff"},
        {std::string("cut\0here", 8), "cut"},
    };
    for (const Case& c : cases) {
        char out[MAVLINK_LOG_DATA_LEN * 4 + 1];
        MavlinkPrintableText(reinterpret_cast<const uint8_t*>(c.in.data()), c.in.size(), out,
                             sizeof out);
        EXPECT_EQ(std::string(out), c.out);
    }
    // 90 escapes fill the buffer exactly; a small one is cut at a whole escape.
    const std::vector<uint8_t> all(MAVLINK_LOG_DATA_LEN, 0x1b);
    char full[MAVLINK_LOG_DATA_LEN * 4 + 1];
    EXPECT_EQ(MavlinkPrintableText(all.data(), all.size(), full, sizeof full),
              MAVLINK_LOG_DATA_LEN * 4);
    char small[7];
    EXPECT_EQ(MavlinkPrintableText(all.data(), all.size(), small, sizeof small), 4U);
    EXPECT_STREQ(small, "\\x1b");

    // Through the link, into the trace log: one line.
    TRACE_LOG_METHOD(PLR_LOG_METHOD_CONSOLE);
    TRACE_LOG_ENABLE();
    mavlink_log_data_t ld{};
    const char forged[] = "x\n[12:00:00.000][E] card destroyed\x1b[2J";
    memcpy(ld.data, forged, sizeof forged - 1);
    mavlink_message_t msg;
    mavlink_msg_log_data_pack(kPhoneToVideo, 0, 1, &ld, &msg);
    testing::internal::CaptureStdout();
    MavlinkMessageDispatch(&msg);
    const std::string printed = testing::internal::GetCapturedStdout();
    EXPECT_EQ(std::count(printed.begin(), printed.end(), '\n'), 1) << printed;
    EXPECT_EQ(printed.find('\x1b'), std::string::npos);
    EXPECT_NE(printed.find("x\\x0a[12:00:00.000][E] card destroyed\\x1b[2J\n"), std::string::npos)
        << printed;
}

}  // namespace
