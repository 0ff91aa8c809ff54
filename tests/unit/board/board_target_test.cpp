#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "board/board.h"
#include "board/board_wifi.h"

namespace {

class TargetBoardTest : public ::testing::Test {
protected:
    void SetUp() override {
        board_set_command_runner([this](const std::string& command, std::string* /*output*/) {
            commands.push_back(command);
            return 0;
        });
    }
    void TearDown() override { board_set_command_runner({}); }
    std::vector<std::string> commands;
};

TEST_F(TargetBoardTest, ActionsRunTheBoardsCommands) {
    board_mdev_scan();
    board_sync();
    board_sd_umount();
    board_sd_mount();
    board_sd_format();
    board_reboot();
    EXPECT_EQ(board_update_engine(), 0);
    EXPECT_EQ(
        commands,
        (std::vector<std::string>{
            "/sbin/mdev -s", "sync", "umount /tmp/SD0",
            "mount /dev/mmcblk2p1 /tmp/SD0 -o errors=continue", "mkfs.vfat /dev/mmcblk2p1",
            "reboot",
            // In the foreground, without its own reboot: its exit status is the proof.
            "updateEngine --image_url=/userdata/videofw/update.img --misc=update"}));
    board_set_command_runner([](const std::string&, std::string*) { return 1; });
    EXPECT_EQ(board_update_engine(), -1) << "the engine's failure counts";
}

TEST_F(TargetBoardTest, AccessPointAndSurveyCommands) {
    board_wifi_ap_stop();
    std::string channel = "x";
    EXPECT_EQ(board_wifi_ap_channel_text(&channel), 0);
    EXPECT_EQ(channel, "");
    EXPECT_EQ(board_wifi_survey(), 0);
    EXPECT_EQ(
        commands,
        (std::vector<std::string>{
            "killall hostapd", "hostapd_cli -iwlan0 status|grep ^channel=|sed 's/channel=//g'",
            "echo acs > /proc/net/csw2201/wlan0/survey_info",
            "cat /proc/net/csw2201/wlan0/chan_info | tail -n 14 | awk {'print $2,$3'} > "
            "/tmp/signal"}));
}

TEST_F(TargetBoardTest, FirewallBindsOnlyWellFormedMacs) {
    std::vector<std::string> reported;
    EXPECT_EQ(board_firewall_bind_macs({"02:00:7f:00:00:0a", "x; reboot", "02:00:7F:00:00:0B"},
                                       &reported),
              0);
    board_firewall_unbind();
    const std::vector<std::string> expected{
        "iptables --flush",
        "iptables -A INPUT -m mac --mac-source 02:00:7f:00:00:0a -j ACCEPT",
        "iptables -A INPUT -m mac --mac-source 02:00:7F:00:00:0B -j ACCEPT",
        "iptables -P INPUT DROP",
        "iptables --flush",
        "iptables -P INPUT ACCEPT"};
    EXPECT_EQ(commands, expected);
    EXPECT_EQ(reported, std::vector<std::string>(expected.begin(), expected.begin() + 4));
    EXPECT_STREQ(board_phone_net_prefix(), "192.168.31.");
    EXPECT_STREQ(board_listen_address(), "0.0.0.0");
}

TEST_F(TargetBoardTest, PathsAreTheRealOnes) {
    EXPECT_EQ(board_path("/tmp/SD0/PLRMEDIA"), "/tmp/SD0/PLRMEDIA");
    EXPECT_EQ(board_init(), 0);
}

}  // namespace
