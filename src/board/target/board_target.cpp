// Target backend: the real board's paths, commands and OS actions.
#include <sys/statfs.h>
#include <unistd.h>

#include <mutex>

#include "board/board.h"
#include "board/shell.h"

namespace {

std::mutex g_runnerMutex;
BoardCommandRunner g_runner;  // empty: /bin/sh

}  // namespace

std::string board_path(std::string_view path) {
    return std::string(path);
}

bool board_file_exists(std::string_view path) {
    return access(std::string(path).c_str(), F_OK) == 0;
}

int board_run_command(const std::string& command, std::string* output) {
    BoardCommandRunner runner;
    {
        std::lock_guard lock(g_runnerMutex);
        runner = g_runner;
    }
    if (runner) return runner(command, output);
    return board_shell_run(command, output);
}

void board_set_command_runner(BoardCommandRunner runner) {
    std::lock_guard lock(g_runnerMutex);
    g_runner = std::move(runner);
}

void board_clock_gettimeofday(struct timeval* tv) {
    gettimeofday(tv, nullptr);
}

int board_set_clock(const struct timeval& tv) {
    return settimeofday(&tv, nullptr) == 0 ? 0 : -1;
}

void board_reboot() {
    board_run_command("reboot");
}

int board_mdev_scan() {
    return board_run_command("/sbin/mdev -s");
}

void board_sync() {
    board_run_command("sync");
}

void board_note_led_mode(uint32_t /*mode*/) {}

int board_init() {
    return 0;
}

int board_sd_mount() {
    return board_run_command("mount /dev/mmcblk2p1 /tmp/SD0 -o errors=continue");
}

int board_sd_umount() {
    return board_run_command("umount /tmp/SD0");
}

int board_sd_format() {
    return board_run_command("mkfs.vfat /dev/mmcblk2p1");
}

int board_sd_space(BoardFsSpace* space) {
    struct statfs fs {};
    if (space == nullptr || statfs("/tmp/SD0", &fs) != 0) return -1;
    space->blockSize = static_cast<uint64_t>(fs.f_bsize);
    space->blocks = static_cast<uint64_t>(fs.f_blocks);
    space->availableBlocks = static_cast<uint64_t>(fs.f_bavail);
    space->type = static_cast<uint32_t>(fs.f_type);
    return 0;
}
