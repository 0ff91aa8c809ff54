#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "board/board.h"

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
    EXPECT_EQ(commands,
              (std::vector<std::string>{"/sbin/mdev -s", "sync", "umount /tmp/SD0",
                                        "mount /dev/mmcblk2p1 /tmp/SD0 -o errors=continue",
                                        "mkfs.vfat /dev/mmcblk2p1", "reboot"}));
}

TEST_F(TargetBoardTest, PathsAreTheRealOnes) {
    EXPECT_EQ(board_path("/tmp/SD0/PLRMEDIA"), "/tmp/SD0/PLRMEDIA");
    EXPECT_EQ(board_init(), 0);
}

}  // namespace
