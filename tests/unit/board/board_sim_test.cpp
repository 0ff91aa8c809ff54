#include "board/sim/board_sim.h"

#include <gtest/gtest.h>

#include <fcntl.h>

#include <cerrno>
#include <csignal>
#include <filesystem>
#include <string>

#include "../../support/board_root_fixture.h"
#include "board/board.h"

namespace {

TEST(SimBoardTest, PathsLiveBelowTheRoot) {
    TempBoardRoot board;
    EXPECT_EQ(board_path("/tmp/SD0"), board.root() + "/tmp/SD0");
    EXPECT_EQ(board_path("relative/name"), "relative/name");
    EXPECT_EQ(board_init(), 0);
    board_sim_set_root("relative/root");
    EXPECT_EQ(board_init(), -1);
}

TEST(SimBoardTest, GuardRefusesWhatCouldChangeTheHost) {
    TempBoardRoot board;
    const std::string root = board.root();
    struct Case {
        std::string command;
        bool refused;
    };
    const Case cases[] = {
        {"echo 1 > " + root + "/sys/class/gpio/gpio18/value", false},
        {"/bin/cat " + root + "/tmp/hostapd.conf | /bin/grep ssid", false},
        {"/bin/sed -i 's/a/b/g' " + root + "/etc/pelora.conf", false},
        {"md5sum " + root + "/userdata/x > /dev/null", false},
        {"reboot", true},
        {"/sbin/reboot", true},
        {"sync; reboot", true},
        {"true && poweroff", true},
        {"iptables --flush", true},
        {"ip link set lo up", true},
        {"mount /dev/mmcblk2p1 /tmp/SD0", true},
        {"umount " + root + "/tmp/SD0", true},
        {"mkfs.vfat " + root + "/dev/mmcblk2p1", true},
        {"killall hostapd", true},
        {"hostapd " + root + "/tmp/hostapd.conf&", true},
        {"hostapd_cli -iwlan0 status", true},
        {"updateEngine --image_url=x", true},
        {"date -s 2020", true},
        {"hwclock -w", true},
        {"rm -rf /tmp/SD0/PLRMEDIA", true},
        {"cp " + root + "/a /etc/passwd", true},
        {"cat " + root + "/../../etc/shadow", true},
        {"dd if=/dev/zero of=/dev/sda", true},
        {"echo `reboot`", true},
        {"echo $(id)", true},
    };
    for (const Case& c : cases) {
        std::string reason;
        EXPECT_EQ(board_sim_command_refused(c.command, &reason), c.refused)
            << c.command << " " << reason;
    }
    EXPECT_EQ(board_run_command("reboot"), -1);
}

TEST(SimBoardTest, CommandsRunInsideTheRoot) {
    TempBoardRoot board;
    std::string out;
    EXPECT_EQ(
        board_run_command(
            "echo hello > " + board_path("/x.txt") + " && /bin/cat " + board_path("/x.txt"), &out),
        0);
    EXPECT_EQ(out, "hello\n");
    EXPECT_EQ(board_run_command("exit 3"), 3);
}

TEST(SimBoardTest, ClockSettingIsAnOffsetAndIsRecorded) {
    TempBoardRoot board{"/sim"};
    const struct timeval past = {1000000000, 0};  // 2001
    ASSERT_EQ(board_set_clock(past), 0);
    struct timeval now {};
    board_clock_gettimeofday(&now);
    EXPECT_NEAR(static_cast<double>(now.tv_sec), 1000000000.0, 5.0);
    struct timeval host {};
    gettimeofday(&host, nullptr);
    EXPECT_GT(host.tv_sec, 1600000000) << "the host clock is untouched";
    EXPECT_NE(board.read("/sim/events.log").find(" clock-set 1000000000.000000\n"),
              std::string::npos);
    gettimeofday(&host, nullptr);
    board_set_clock(host);
}

TEST(SimBoardTest, MdevScanTellsTheBoardProcessAboutAPresentCard) {
    TempBoardRoot board{"/sim", "/dev", "/tmp"};
    static volatile sig_atomic_t usr1 = 0;
    struct sigaction action {
    }, old{};
    action.sa_handler = [](int) { usr1 = usr1 + 1; };
    sigaction(SIGUSR1, &action, &old);
    board.write("/tmp/pelora.pid", std::to_string(getpid()));

    board_mdev_scan();
    EXPECT_EQ(usr1, 0) << "no card, no hot-plug signal";
    board.write("/dev/mmcblk2p1", "");
    board_mdev_scan();
    EXPECT_EQ(usr1, 1);
    sigaction(SIGUSR1, &old, nullptr);
    EXPECT_NE(board.read("/sim/events.log").find(" mdev -s\n"), std::string::npos);
}

// The engine installs and returns; the caller records the success and reboots.
TEST(SimBoardTest, UpdateEngineRecordsTheImageAndReturns) {
    TempBoardRoot board{"/sim", "/userdata/videofw"};
    static volatile sig_atomic_t term = 0;
    struct sigaction action {
    }, old{};
    action.sa_handler = [](int) { term = term + 1; };
    sigaction(SIGTERM, &action, &old);

    EXPECT_EQ(board_update_engine(), -1) << "no image";
    board.write(BOARD_UPDATE_IMAGE, "abc");
    board.write("/sim/update-engine-fail", "");
    EXPECT_EQ(board_update_engine(), -1) << "no engine";
    std::filesystem::remove(board.path("/sim/update-engine-fail"));
    EXPECT_EQ(term, 0);
    EXPECT_EQ(board_update_engine(), 0);
    EXPECT_EQ(term, 0) << "no reboot by the engine";
    sigaction(SIGTERM, &old, nullptr);
    EXPECT_EQ(board.read("/sim/installed.img"), "abc");
    EXPECT_FALSE(board.exists("/sim/reboot-requested"));
    const std::string events = board.read("/sim/events.log");
    EXPECT_NE(events.find(" update-engine --image_url=/userdata/videofw/update.img --misc=update "
                          "size=3 md5=900150983cd24fb0d6963f7d28e17f72\n"),
              std::string::npos)
        << events;
    EXPECT_EQ(events.find(" reboot\n"), std::string::npos);
}

TEST(SimBoardTest, CardMountShowsTheCardAndUmountHidesIt) {
    TempBoardRoot board{"/sim", "/dev", "/tmp/SD0"};
    board.write("/sim/card/old.txt", "kept across mounts");
    board.write("/sim/card.mib", "64\n");
    BoardFsSpace space{};
    EXPECT_NE(board_sd_mount(), 0) << "no card inserted";

    board.write("/dev/mmcblk2p1", "");
    ASSERT_EQ(board_sd_mount(), 0);
    EXPECT_EQ(board.read("/tmp/SD0/old.txt"), "kept across mounts");
    board.write("/tmp/SD0/new.bin", std::string(100000, 'x'));  // 25 blocks of 4 KiB
    ASSERT_EQ(board_sd_space(&space), 0);
    EXPECT_EQ(space.blockSize * space.blocks, 64u * 1024 * 1024);
    EXPECT_EQ(space.blocks - space.availableBlocks, 25u + 1u);

    EXPECT_EQ(board_sd_umount(), 0);
    EXPECT_FALSE(board.exists("/tmp/SD0/old.txt"));
    EXPECT_TRUE(std::filesystem::is_directory(board.path("/tmp/SD0")));
    EXPECT_EQ(board_sd_space(&space), -1);
    EXPECT_TRUE(board.exists("/sim/card/new.bin"));

    ASSERT_EQ(board_sd_format(), 0);
    EXPECT_TRUE(std::filesystem::is_empty(board.path("/sim/card")));
    const std::string events = board.read("/sim/events.log");
    for (const char* action : {" mount ", " umount ", " mkfs "}) {
        EXPECT_NE(events.find(action), std::string::npos) << action;
    }
}

TEST(SimBoardTest, FailingCardCannotBeWritten) {
    TempBoardRoot board{"/sim", "/dev", "/tmp/SD0"};
    board.write("/dev/mmcblk2p1", "");
    board.write("/sim/card-fail", "");
    board_sd_mount();
    FILE* probe = fopen(board.path("/tmp/SD0/_mount").c_str(), "w");
    EXPECT_EQ(probe, nullptr);
    if (probe != nullptr) fclose(probe);
    board_sd_umount();
}

// A file opened on the card fails every later read, write and flush with EIO
// once the card has been pulled, also after a card is inserted again (a new
// card, as far as the descriptor knows). Files off the card are not affected.
TEST(SimBoardTest, EjectedCardFailsItsOpenFilesWithEio) {
    TempBoardRoot board{"/sim/card", "/dev", "/tmp"};
    board.write("/dev/mmcblk2p1", "");
    const std::string path = board.path("/sim/card/rec.MP4");
    const int fd = board_card_open(path.c_str(), O_RDWR | O_CREAT | O_EXCL, 0644);
    ASSERT_GE(fd, 0);
    const char bytes[] = "samples";
    EXPECT_EQ(board_card_write(fd, bytes, sizeof bytes), static_cast<ssize_t>(sizeof bytes));
    EXPECT_EQ(board_card_datasync(fd), 0);

    std::filesystem::remove(board.path("/dev/mmcblk2p1"));  // eject
    char back[8];
    errno = 0;
    EXPECT_EQ(board_card_write(fd, bytes, sizeof bytes), -1);
    EXPECT_EQ(errno, EIO);
    EXPECT_EQ(board_card_pread(fd, back, sizeof back, 0), -1);
    EXPECT_EQ(board_card_datasync(fd), -1);
    board.write("/dev/mmcblk2p1.new", "");  // insert: a new device node
    std::filesystem::rename(board.path("/dev/mmcblk2p1.new"), board.path("/dev/mmcblk2p1"));
    errno = 0;
    EXPECT_EQ(board_card_write(fd, bytes, sizeof bytes), -1);
    EXPECT_EQ(errno, EIO);
    EXPECT_EQ(board_card_close(fd), 0);

    // Opened on the new card: fine.
    const int again = board_card_open(path.c_str(), O_RDONLY, 0);
    ASSERT_GE(again, 0);
    EXPECT_EQ(board_card_pread(again, back, sizeof back, 0), static_cast<ssize_t>(sizeof back));
    EXPECT_EQ(board_card_close(again), 0);
}

}  // namespace
