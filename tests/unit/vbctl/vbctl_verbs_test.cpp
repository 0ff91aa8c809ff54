// vbctl's time-lapse, zoom and Wi-Fi verbs: the requests they build.
#include <gtest/gtest.h>

#include <string>

#include "vbctl/vbctl_verbs.h"

namespace {

TEST(VbctlVerbs, TimelapseAndZoomWordsBecomeParameterRequests) {
    struct Case {
        const char* verb;  // "timelapse" or "zoom"
        const char* what;
        long interval, duration;  // timelapse options, -1 when not given
        const char* tenths;       // zoom set value
        bool ok;
        float p1, p2, p3;
        VbctlAnswerKind answer;
    };
    const Case cases[] = {
        {"timelapse", "start", 2, 10, nullptr, true, 0, 2, 10, VBCTL_ANSWER_PELORA_ACK},
        {"timelapse", "pause", -1, -1, nullptr, true, 1, 0, 0, VBCTL_ANSWER_PELORA_ACK},
        {"timelapse", "resume", -1, -1, nullptr, true, 0, 0, 0, VBCTL_ANSWER_PELORA_ACK},
        {"timelapse", "stop", -1, -1, nullptr, true, 2, 0, 0, VBCTL_ANSWER_PELORA_ACK},
        {"timelapse", "start", 2, -1, nullptr, false, 0, 0, 0, VBCTL_ANSWER_PELORA_ACK},
        {"timelapse", "start", 0, 5, nullptr, false, 0, 0, 0, VBCTL_ANSWER_PELORA_ACK},
        {"timelapse", "stop", 2, -1, nullptr, false, 0, 0, 0, VBCTL_ANSWER_PELORA_ACK},
        {"timelapse", "rewind", -1, -1, nullptr, false, 0, 0, 0, VBCTL_ANSWER_PELORA_ACK},
        {"zoom", "in", -1, -1, nullptr, true, 1, 0, 0, VBCTL_ANSWER_STATUS},
        {"zoom", "out", -1, -1, nullptr, true, 0, 0, 0, VBCTL_ANSWER_STATUS},
        {"zoom", "set", -1, -1, "20", true, 1, 200, 0, VBCTL_ANSWER_STATUS},
        {"zoom", "set", -1, -1, "10", true, 1, 100, 0, VBCTL_ANSWER_STATUS},
        {"zoom", "set", -1, -1, "30", true, 1, 300, 0, VBCTL_ANSWER_STATUS},
        {"zoom", "set", -1, -1, "9", false, 0, 0, 0, VBCTL_ANSWER_STATUS},
        {"zoom", "set", -1, -1, "31", false, 0, 0, 0, VBCTL_ANSWER_STATUS},
        {"zoom", "set", -1, -1, "2.0", false, 0, 0, 0, VBCTL_ANSWER_STATUS},
        {"zoom", "in", -1, -1, "3", false, 0, 0, 0, VBCTL_ANSWER_STATUS},
    };
    for (const Case& c : cases) {
        VbctlSetRequest req{};
        char error[256] = "";
        int rc = 0;
        uint8_t item = 0;
        if (std::string(c.verb) == "timelapse") {
            rc = vbctl_parse_timelapse_verb(c.what, c.interval, c.duration, &req, error,
                                            sizeof error);
            item = 22;
        } else {
            VbctlZoomVerb verb{};
            rc = vbctl_parse_zoom_verb(c.what, c.tenths, &verb, &req, error, sizeof error);
            item = 23;
        }
        const std::string label =
            std::string(c.verb) + " " + c.what + " " + (c.tenths != nullptr ? c.tenths : "");
        if (!c.ok) {
            EXPECT_EQ(rc, -1) << label;
            EXPECT_NE(error[0], '\0') << label;
            continue;
        }
        ASSERT_EQ(rc, 0) << label << ": " << error;
        EXPECT_EQ(req.item, item) << label;
        EXPECT_EQ(req.params[0], c.p1) << label;
        EXPECT_EQ(req.params[1], c.p2) << label;
        EXPECT_EQ(req.params[2], c.p3) << label;
        EXPECT_EQ(req.expect.kind, c.answer) << label;
    }
}

TEST(VbctlVerbs, WifiMessages) {
    mavlink_message_t msg;
    ASSERT_GT(vbctl_build_wifi_channel(5, 11, &msg), 0);
    EXPECT_EQ(msg.msgid, MAVLINK_MSG_ID_PELORA_CUSTOM_CONFIG);
    EXPECT_EQ(msg.sysid, VBCTL_SYSID);
    mavlink_pelora_custom_config_t config{};
    ASSERT_EQ(mavlink_msg_pelora_custom_config_decode(&msg, &config), 0);
    EXPECT_STREQ(config.text, "11");

    ASSERT_GT(vbctl_build_wifi_survey(6, &msg), 0);
    EXPECT_EQ(msg.msgid, MAVLINK_MSG_ID_PARAM_REQUEST_LIST);
    EXPECT_EQ(msg.compid, 192);

    mavlink_pelora_param_value_t pv{};
    pv.value = 1.0f;
    pv.count = 3;
    pv.index = 3;
    snprintf(pv.name, sizeof pv.name, "6");
    snprintf(pv.text, sizeof pv.text, "-130");
    pv.type = 11;
    VbctlSurveyRow row;
    mavlink_msg_pelora_param_value_pack(0x24, 192, 1, &pv, &msg);
    ASSERT_EQ(vbctl_survey_row(&msg, &row), 0);
    EXPECT_EQ(row.channel, "6");
    EXPECT_EQ(row.level, "-130");
    EXPECT_TRUE(row.inUse);
    EXPECT_EQ(row.count, 3);
    mavlink_msg_pelora_param_value_pack(0x24, 0, 1, &pv, &msg);
    EXPECT_EQ(vbctl_survey_row(&msg, &row), -1) << "a configuration entry is no survey row";
}

}  // namespace
