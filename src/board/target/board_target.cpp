// Target backend: the real board's paths, commands and OS actions.
#include <arpa/inet.h>
#include <net/if_arp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <mutex>

#include <fcntl.h>
#include <unistd.h>

#include "board/board.h"
#include "board/firewall_rules.h"
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

int board_update_engine() {
    // In the foreground: its exit status is the proof of the install.
    return board_run_command("updateEngine --image_url=/userdata/videofw/update.img --misc=update") ==
                   0
               ? 0
               : -1;
}

const char* board_fw_pubkey_path() {
    return "/usr/share/vboard/fw-pubkey.pem";
}

int board_mdev_scan() {
    return board_run_command("/sbin/mdev -s");
}

void board_sync() {
    board_run_command("sync");
}

int board_card_open(const char* path, int flags, mode_t mode) {
    return open(path, flags, mode);
}

int board_card_close(int fd) {
    return close(fd);
}

ssize_t board_card_write(int fd, const void* bytes, size_t size) {
    return write(fd, bytes, size);
}

ssize_t board_card_pread(int fd, void* out, size_t size, int64_t offset) {
    return pread(fd, out, size, static_cast<off_t>(offset));
}

int board_card_datasync(int fd) {
    return fdatasync(fd);
}

uint64_t board_record_split_bytes() {
    return 0;
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

const char* board_phone_net_prefix() {
    return "192.168.31.";
}

const char* board_ground_station_address() {
    return "192.168.31.255";
}

const char* board_listen_address() {
    return "0.0.0.0";
}

int board_arp_lookup(const struct in_addr& peer, std::array<uint8_t, 6>* mac) {
    if (mac == nullptr) return -1;
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0) {
        perror("socket");
        return -1;
    }
    struct arpreq req {};
    auto* pa = reinterpret_cast<struct sockaddr_in*>(&req.arp_pa);
    pa->sin_family = AF_INET;
    pa->sin_addr = peer;
    strncpy(req.arp_dev, "wlan0", sizeof req.arp_dev - 1);
    const int ret = ioctl(fd, SIOCGARP, &req);
    close(fd);
    if (ret < 0) {
        perror("ioctl SIOCGARP");
        return -1;
    }
    for (size_t i = 0; i < mac->size(); ++i)
        (*mac)[i] = static_cast<uint8_t>(req.arp_ha.sa_data[i]);
    return 0;
}

namespace {

int run_all(const std::vector<std::string>& lines, std::vector<std::string>* commands) {
    int ret = 0;
    for (const std::string& line : lines) {
        if (commands != nullptr) commands->push_back(line);
        if (board_run_command(line) != 0) ret = -1;
    }
    return ret;
}

}  // namespace

int board_firewall_bind_macs(const std::vector<std::string>& macs,
                             std::vector<std::string>* commands) {
    return run_all(board_firewall_bind_rules(macs), commands);
}

int board_firewall_unbind(std::vector<std::string>* commands) {
    return run_all(board_firewall_unbind_rules(), commands);
}
