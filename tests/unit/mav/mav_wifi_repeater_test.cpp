// The access point's channel change and survey, and the repeater settings
// forwarded from the card, with the phone on one end of a socket pair, the
// flight controller's link recorded and the simulated board's access point
// emulated in a temporary board root.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <string>
#include <vector>

#include "../../support/board_root_fixture.h"
#include "app/mav_dispatch.h"
#include "mav/mav_link.h"
#include "mav/mav_repeater.h"
#include "mav/mav_wifi.h"
#include "mav/mavlink_msgs.h"
#include "mav_test_util.h"

namespace {

constexpr uint8_t kPhoneToVideo = 0x42;
constexpr const char* kConf = "interface=wlan0\nssid=PLR\nchannel=6\nhw_mode=g\n";

class WifiRepeaterTest : public ::testing::Test {
protected:
    void SetUp() override {
        board.write("/tmp/hostapd.conf", kConf);
        board.write("/sim/wifi/ap-channel", "6\n");
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds_), 0);
        PLR_MAV_AttachClient(fds_[0], 10, PLR_MAV_NowMs());
        reader_ = std::make_unique<FrameReader>(fds_[1]);
        UartRecorder::install();
        mavlink_wifi_set_restart_pause_ms(0);
        PLR_RP_Reset();
    }
    void TearDown() override {
        PLR_MAV_CloseClient();
        close(fds_[1]);
        uart_link_reset();
        mavlink_wifi_set_restart_pause_ms(2000);
        PLR_RP_Reset();
    }
    static mavlink_message_t channel_request(const char* text) {
        mavlink_pelora_custom_config_t config{};
        snprintf(config.text, sizeof config.text, "%s", text);
        mavlink_message_t msg;
        mavlink_msg_pelora_custom_config_pack(kPhoneToVideo, 0, 1, &config, &msg);
        return msg;
    }
    // The hostapd starts recorded in sim/events.log, "channel=N ok|failed" each.
    std::vector<std::string> restarts() const {
        std::vector<std::string> out;
        std::istringstream log(board.read("/sim/events.log"));
        for (std::string line; std::getline(log, line);) {
            const size_t at = line.find(" hostapd-restart ");
            if (at != std::string::npos) out.push_back(line.substr(at + 17));
        }
        return out;
    }

    TempBoardRoot board{"/tmp", "/sim/wifi", "/proc/net/csw2201/wlan0"};
    int fds_[2] = {-1, -1};
    std::unique_ptr<FrameReader> reader_;
};

TEST_F(WifiRepeaterTest, ChannelChangeRewritesTheConfigurationAndRestartsTheAccessPoint) {
    const mavlink_message_t msg = channel_request("11");
    MavlinkMessageDispatch(&msg);
    EXPECT_EQ(board.read("/tmp/hostapd.conf"),
              "interface=wlan0\nssid=PLR\nchannel=11\nhw_mode=g\n");
    EXPECT_EQ(board.read("/tmp/hostapd.bak"), kConf);
    EXPECT_EQ(restarts(), std::vector<std::string>{"channel=11 ok"});
    EXPECT_EQ(board.read("/sim/wifi/ap-channel"), "11\n");
    EXPECT_EQ(mavlink_pelora_get_drone_channel(), 11);
    EXPECT_TRUE(reader_->closed(1000)) << "the phone's link goes with the access point";
}

TEST_F(WifiRepeaterTest, UnsupportedChannelsAreRefusedWithFailed) {
    for (const char* text : {"36", "0", "15", "-1", "x6", ""}) {
        const mavlink_message_t msg = channel_request(text);
        MavlinkMessageDispatch(&msg);
        const auto ack = reader_->next_id(1000, MAVLINK_MSG_ID_COMMAND_ACK);
        ASSERT_TRUE(ack) << text;
        mavlink_command_ack_t a{};
        mavlink_msg_command_ack_decode(&*ack, &a);
        EXPECT_EQ(a.command, MAV_WIFI_CHANNEL_ACK) << text;
        EXPECT_EQ(a.result, MAV_WIFI_RESULT_FAILED) << text;
    }
    EXPECT_EQ(board.read("/tmp/hostapd.conf"), kConf);
    EXPECT_TRUE(restarts().empty());
    EXPECT_EQ(mavlink_pelora_change_wifi_channel(36), -1) << "nothing outside the table is written";
    EXPECT_EQ(board.read("/tmp/hostapd.conf"), kConf);
}

TEST_F(WifiRepeaterTest, FailingRestartFallsBackToTheSavedChannel) {
    board.write("/sim/wifi/hostapd-fail", "11\n");
    EXPECT_EQ(mavlink_pelora_set_wifi_channel(11), -1);
    EXPECT_EQ(board.read("/tmp/hostapd.conf"), kConf);
    const std::vector<std::string> expected = {"channel=11 failed", "channel=11 failed",
                                               "channel=11 failed", "channel=6 ok"};
    EXPECT_EQ(restarts(), expected);
    EXPECT_EQ(mavlink_pelora_get_drone_channel(), 6) << "the access point is up again";
}

TEST_F(WifiRepeaterTest, SurveyInKeyOrderWithLevelsAndTheChannelInUse) {
    board.write("/sim/wifi/survey", "1 -5\n6 -3\n11 -6\n");
    mavlink_param_request_list_t req{};
    mavlink_message_t msg;
    mavlink_msg_param_request_list_pack(kPhoneToVideo, 192, 1, &req, &msg);
    is_wifi_scanning.store(1);
    MavlinkMessageDispatch(&msg);
    EXPECT_FALSE(reader_->next(200)) << "one survey at a time";
    is_wifi_scanning.store(0);

    MavlinkMessageDispatch(&msg);
    struct Row {
        std::string name;
        std::string text;
        float value;
        uint16_t index;
        bool operator==(const Row&) const = default;
    };
    std::vector<Row> rows;
    while (auto m = reader_->next_id(300, MAVLINK_MSG_ID_PELORA_PARAM_VALUE)) {
        mavlink_pelora_param_value_t pv{};
        mavlink_msg_pelora_param_value_decode(&*m, &pv);
        EXPECT_EQ(m->sysid, 36);
        EXPECT_EQ(m->compid, 192);
        EXPECT_EQ(pv.count, 3);
        EXPECT_EQ(pv.type, MAVLINK_PARAM_TYPE_TEXT);
        rows.push_back({pv.name, pv.text, pv.value, pv.index});
    }
    const std::vector<Row> expected = {
        {"1", "-150", 0.0f, 1}, {"11", "-160", 0.0f, 2}, {"6", "-130", 1.0f, 3}};
    EXPECT_TRUE(rows == expected) << rows.size();
    EXPECT_EQ(board.read("/tmp/signal"), "1 -5\n6 -3\n11 -6\n");
    EXPECT_EQ(board.read("/proc/net/csw2201/wlan0/survey_info"), "acs\n");
}

TEST_F(WifiRepeaterTest, FrequencyToChannel) {
    const std::pair<const char*, int> cases[] = {
        {"5745", 149}, {"2400", -1}, {"2412", 1}, {"2484", 14}, {"5170", 34}, {"", -1}, {"0", -1}};
    for (const auto& [text, channel] : cases)
        EXPECT_EQ(mavlink_pelora_freq_2_channel(text), channel) << text;
    EXPECT_EQ(mavlink_pelora_freq_2_channel(nullptr), -1);
}

std::vector<mavlink_pelora_custom_config_t> configs(const std::vector<mavlink_message_t>& frames,
                                                    uint8_t sysid) {
    std::vector<mavlink_pelora_custom_config_t> out;
    for (const mavlink_message_t& m : frames) {
        mavlink_pelora_custom_config_t c{};
        if (m.sysid == sysid && mavlink_msg_pelora_custom_config_decode(&m, &c) == 0)
            out.push_back(c);
    }
    return out;
}

TEST_F(WifiRepeaterTest, RepeaterSettingsForwardedOnceEach) {
    board.write("/tmp/SD0/destmac.conf", "02:00:7f:00:00:6f\n");
    board.write("/tmp/SD0/channel.conf", "");  // not written yet
    board.write("/tmp/SD0/bw.conf", "20\n");
    board.write("/tmp/SD0/usb.conf", std::string(40, 'u') + "\nsecond line\n");

    EXPECT_EQ(PLR_RP_CustomTrigger(), -1) << "the empty file is tried again";
    auto phone = configs(reader_->drain(300), 37);
    ASSERT_EQ(phone.size(), 2u);
    EXPECT_EQ(phone[0].setting_type, 2);
    EXPECT_STREQ(phone[0].text, "02:00:7f:00:00:6f");
    EXPECT_EQ(phone[1].setting_type, 1);
    EXPECT_STREQ(phone[1].text, "20");
    auto fc = configs(UartRecorder::frames(), 35);
    ASSERT_EQ(fc.size(), 1u);
    EXPECT_EQ(fc[0].setting_type, 0);
    EXPECT_EQ(std::string(fc[0].text), std::string(29, 'u')) << "cut to 29 characters";

    board.write("/tmp/SD0/channel.conf", "149\n");
    EXPECT_EQ(PLR_RP_CustomTrigger(), 0);
    phone = configs(reader_->drain(300), 37);
    ASSERT_EQ(phone.size(), 1u) << "only what was not forwarded yet";
    EXPECT_EQ(phone[0].setting_type, 0);
    EXPECT_STREQ(phone[0].text, "149");
    EXPECT_EQ(configs(UartRecorder::frames(), 35).size(), 1u);

    board.write("/tmp/SD0/bw.conf", "40\n");
    EXPECT_EQ(PLR_RP_CustomTrigger(), 0);
    EXPECT_TRUE(reader_->drain(300).empty()) << "done for the rest of the run";
}

TEST_F(WifiRepeaterTest, RepeaterSettingWaitsForItsLink) {
    PLR_MAV_CloseClient();
    board.write("/tmp/SD0/bw.conf", "20\n");
    EXPECT_EQ(PLR_RP_CustomTrigger(), -1) << "no repeater connected yet";
    EXPECT_EQ(PLR_RP_CustomTrigger(), -1);
    int fds[2] = {-1, -1};
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    PLR_MAV_AttachClient(fds[0], 111, PLR_MAV_NowMs());
    FrameReader repeater(fds[1]);
    EXPECT_EQ(PLR_RP_CustomTrigger(), 0);
    const auto sent = configs(repeater.drain(300), 37);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_STREQ(sent[0].text, "20");
    close(fds[1]);
}

}  // namespace
