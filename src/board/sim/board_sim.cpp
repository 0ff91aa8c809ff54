// Simulated backend: every board path lives below the board root, OS actions
// are emulated there and recorded in sim/events.log, and the command runner
// refuses anything that could change the host.
#include "board/sim/board_sim.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <arpa/inet.h>

#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

extern "C" {
#include <libavutil/md5.h>
}

#include "board/board.h"
#include "board/firewall_rules.h"
#include "board/shell.h"

namespace {

std::mutex g_mutex;  // guards the root and the runner
std::string g_root;
bool g_rootLoaded = false;
BoardCommandRunner g_runner;
std::atomic<int64_t> g_clockOffsetUs{0};

constexpr std::array kRefusedPrograms = {
    "reboot", "shutdown", "halt", "poweroff", "iptables", "ip",      "ifconfig",
    "mount",  "umount",   "mdev", "killall",  "date",     "hwclock", "updateEngine",
};
constexpr std::array kRefusedProgramPrefixes = {"mkfs", "hostapd"};
constexpr std::array kToolPathPrefixes = {"/bin/", "/usr/bin/"};
constexpr std::array kToolPaths = {"/dev/null"};

bool starts_with(std::string_view s, std::string_view prefix) {
    return s.substr(0, prefix.size()) == prefix;
}

// Splits a command line into words; shell operators end a word and are words of
// their own, so that the first word after one is a program name.
std::vector<std::string> split_words(const std::string& command) {
    std::vector<std::string> words;
    std::string word;
    auto flush = [&] {
        if (!word.empty()) words.push_back(word);
        word.clear();
    };
    for (char c : command) {
        if (c == ' ' || c == '\t' || c == '\n') {
            flush();
        } else if (c == ';' || c == '|' || c == '&' || c == '(' || c == ')' || c == '<' ||
                   c == '>') {
            flush();
            words.emplace_back(1, c);
        } else if (c == '\'' || c == '"') {
            continue;  // quoting does not change what a word names
        } else {
            word.push_back(c);
        }
    }
    flush();
    return words;
}

bool is_operator(const std::string& w) {
    return w.size() == 1 && std::string_view(";|&()<>").find(w[0]) != std::string_view::npos;
}

bool path_allowed(std::string_view path, const std::string& root) {
    if (path.find("/..") != std::string_view::npos) return false;
    for (const char* tool : kToolPaths) {
        if (path == tool) return true;
    }
    for (const char* prefix : kToolPathPrefixes) {
        if (starts_with(path, prefix)) return true;
    }
    return !root.empty() && (path == root || starts_with(path, root + "/"));
}

std::string iso_time_now() {
    struct timespec ts {};
    clock_gettime(CLOCK_REALTIME, &ts);
    struct tm tmv {};
    gmtime_r(&ts.tv_sec, &tmv);
    std::array<char, 64> buf{};
    const size_t n = strftime(buf.data(), buf.size(), "%Y-%m-%dT%H:%M:%S", &tmv);
    snprintf(buf.data() + n, buf.size() - n, ".%03ldZ", ts.tv_nsec / 1000000L);
    return buf.data();
}

}  // namespace

const std::string& board_sim_root() {
    std::lock_guard lock(g_mutex);
    if (!g_rootLoaded) {
        const char* env = getenv("VBOARD_ROOT");
        g_root = env != nullptr ? env : "";
        while (g_root.size() > 1 && g_root.back() == '/') g_root.pop_back();
        g_rootLoaded = true;
    }
    return g_root;
}

void board_sim_set_root(std::string root) {
    std::lock_guard lock(g_mutex);
    while (root.size() > 1 && root.back() == '/') root.pop_back();
    g_root = std::move(root);
    g_rootLoaded = true;
}

void board_sim_event(std::string_view action, std::string_view details) {
    const std::string path = board_path("/sim/events.log");
    std::string line = iso_time_now();
    line.append(" ").append(action);
    if (!details.empty()) line.append(" ").append(details);
    line.append("\n");
    // One write with O_APPEND keeps lines whole when the launcher writes too.
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) return;
    const ssize_t written = write(fd, line.data(), line.size());
    (void)written;
    close(fd);
}

bool board_sim_command_refused(const std::string& command, std::string* reason) {
    auto refuse = [&](std::string why) {
        if (reason != nullptr) *reason = std::move(why);
        return true;
    };
    if (command.find('`') != std::string::npos || command.find("$(") != std::string::npos) {
        return refuse("command substitution");
    }
    const std::string& root = board_sim_root();
    const std::vector<std::string> words = split_words(command);
    bool programExpected = true;
    for (const std::string& w : words) {
        if (is_operator(w)) {
            programExpected = (w != "<" && w != ">");
            continue;
        }
        if (programExpected) {
            programExpected = false;
            const std::string name = std::filesystem::path(w).filename().string();
            for (const char* p : kRefusedPrograms) {
                if (name == p) return refuse("program " + name);
            }
            for (const char* p : kRefusedProgramPrefixes) {
                if (starts_with(name, p)) return refuse("program " + name);
            }
        }
        // A path may stand alone or after an option's '=' (of=/dev/x).
        std::string_view candidate = w;
        const size_t eq = candidate.find('=');
        if (candidate.front() != '/' && eq != std::string_view::npos)
            candidate = candidate.substr(eq + 1);
        if (!candidate.empty() && candidate.front() == '/' && !path_allowed(candidate, root)) {
            return refuse("path " + std::string(candidate) + " outside the board root");
        }
    }
    return false;
}

std::string board_path(std::string_view path) {
    if (path.empty() || path.front() != '/') return std::string(path);
    return board_sim_root() + std::string(path);
}

bool board_file_exists(std::string_view path) {
    return access(board_path(path).c_str(), F_OK) == 0;
}

int board_run_command(const std::string& command, std::string* output) {
    BoardCommandRunner runner;
    {
        std::lock_guard lock(g_mutex);
        runner = g_runner;
    }
    if (runner) return runner(command, output);
    std::string reason;
    if (board_sim_command_refused(command, &reason)) {
        fprintf(stderr, "simulated board refused command (%s): %s\n", reason.c_str(),
                command.c_str());
        return -1;
    }
    return board_shell_run(command, output);
}

void board_set_command_runner(BoardCommandRunner runner) {
    std::lock_guard lock(g_mutex);
    g_runner = std::move(runner);
}

void board_clock_gettimeofday(struct timeval* tv) {
    struct timeval host {};
    gettimeofday(&host, nullptr);
    const int64_t us =
        static_cast<int64_t>(host.tv_sec) * 1000000 + host.tv_usec + g_clockOffsetUs.load();
    tv->tv_sec = static_cast<time_t>(us / 1000000);
    tv->tv_usec = static_cast<suseconds_t>(us % 1000000);
}

int board_set_clock(const struct timeval& tv) {
    struct timeval host {};
    gettimeofday(&host, nullptr);
    const int64_t want = static_cast<int64_t>(tv.tv_sec) * 1000000 + tv.tv_usec;
    const int64_t have = static_cast<int64_t>(host.tv_sec) * 1000000 + host.tv_usec;
    g_clockOffsetUs.store(want - have);
    char details[64];
    snprintf(details, sizeof details, "%lld.%06ld", static_cast<long long>(tv.tv_sec),
             static_cast<long>(tv.tv_usec));
    board_sim_event("clock-set", details);
    return 0;
}

void board_reboot() {
    board_sim_event("reboot", "");
    // The launcher restarts vboard when it finds this marker after the exit.
    std::ofstream(board_path("/sim/reboot-requested")).put('\n');
    kill(getpid(), SIGTERM);
}

// The update engine: the image's size and MD5 are recorded and the image is
// kept as sim/installed.img. sim/update-engine-fail makes the engine missing,
// as on a board without it.
int board_update_engine() {
    const std::string image = board_path(BOARD_UPDATE_IMAGE);
    if (board_file_exists("/sim/update-engine-fail")) {
        board_sim_event("update-engine", "failed: no update engine");
        return -1;
    }
    std::ifstream in(image, std::ios::binary);
    const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                     std::istreambuf_iterator<char>());
    if (!in.is_open()) {
        board_sim_event("update-engine", std::string("failed: no image ") + BOARD_UPDATE_IMAGE);
        return -1;
    }
    std::array<uint8_t, 16> digest{};
    av_md5_sum(digest.data(), bytes.data(), bytes.size());
    std::string md5;
    for (uint8_t b : digest) {
        static constexpr char kHex[] = "0123456789abcdef";
        md5.push_back(kHex[b >> 4]);
        md5.push_back(kHex[b & 15]);
    }
    std::ofstream(board_path("/sim/installed.img"), std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    board_sim_event("update-engine", std::string("--image_url=") + BOARD_UPDATE_IMAGE +
                                         " --misc=update size=" +
                                         std::to_string(bytes.size()) + " md5=" + md5);
    return 0;
}

const char* board_fw_pubkey_path() {
    return "/sim/fw-pubkey.pem";
}

int board_mdev_scan() {
    board_sim_event("mdev", "-s");
    if (!board_file_exists("/dev/mmcblk2p1")) return 0;
    std::ifstream pidFile(board_path("/tmp/pelora.pid"));
    long pid = 0;
    if (pidFile >> pid && pid > 0) kill(static_cast<pid_t>(pid), SIGUSR1);
    return 0;
}

void board_sync() {}

// ---- the card's file I/O ----
//
// A card is known by its device node (inode and change time): `vboard-sim
// card insert` makes a new node, so a descriptor opened before an eject stays
// dead after the next insert, as on a real card.
namespace {

std::mutex g_cardLock;
std::map<int, uint64_t> g_cardFiles;  // descriptor -> the card it was opened on
// Write-speed pacing: the moment the card is busy until.
std::chrono::steady_clock::time_point g_cardBusyUntil{};

uint64_t card_identity() {
    struct stat st {};
    if (stat(board_path("/dev/mmcblk2p1").c_str(), &st) != 0) return 0;
    const uint64_t identity = static_cast<uint64_t>(st.st_ino) * 1000003u ^
                              static_cast<uint64_t>(st.st_ctim.tv_sec) * 1000000000u ^
                              static_cast<uint64_t>(st.st_ctim.tv_nsec);
    return identity != 0 ? identity : 1;
}

bool card_file_alive(int fd) {
    uint64_t opened = 0;
    {
        std::lock_guard lock(g_cardLock);
        const auto it = g_cardFiles.find(fd);
        if (it == g_cardFiles.end()) return true;  // not opened on the card
        opened = it->second;
    }
    if (opened != 0 && card_identity() == opened) return true;
    errno = EIO;
    return false;
}

// How the card writes, from the board root's sim/ files, re-read once a
// second so that a test can change it while a recording runs.
struct CardWriteSettings {
    std::atomic<int64_t> checked{0};   // steady-clock second of the last read
    std::atomic<double> speed{0};      // bytes per second; 0 = as fast as the host
    std::atomic<bool> failing{false};  // sim/card-write-fail: every write fails with EIO
};
CardWriteSettings g_cardWrite;

void refresh_card_write_settings() {
    const int64_t now = std::chrono::duration_cast<std::chrono::seconds>(
                            std::chrono::steady_clock::now().time_since_epoch())
                            .count();
    if (g_cardWrite.checked.exchange(now) == now) return;
    double mbps = 0;
    std::ifstream(board_path("/sim/card-speed")) >> mbps;
    g_cardWrite.speed.store(mbps > 0 ? mbps * 1e6 : 0);
    g_cardWrite.failing.store(board_file_exists("/sim/card-write-fail"));
}

void pace_card_write(size_t size) {
    const double speed = g_cardWrite.speed.load();
    if (speed <= 0) return;
    std::chrono::steady_clock::time_point until;
    {
        std::lock_guard lock(g_cardLock);
        const auto start = std::max(g_cardBusyUntil, std::chrono::steady_clock::now());
        g_cardBusyUntil =
            start + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                        std::chrono::duration<double>(static_cast<double>(size) / speed));
        until = g_cardBusyUntil;
    }
    std::this_thread::sleep_until(until);
}

}  // namespace

int board_card_open(const char* path, int flags, mode_t mode) {
    const uint64_t card = card_identity();
    const int fd = open(path, flags, mode);
    if (fd >= 0 && card != 0) {
        std::lock_guard lock(g_cardLock);
        g_cardFiles[fd] = card;
    }
    return fd;
}

int board_card_close(int fd) {
    {
        std::lock_guard lock(g_cardLock);
        g_cardFiles.erase(fd);
    }
    return close(fd);
}

ssize_t board_card_write(int fd, const void* bytes, size_t size) {
    if (!card_file_alive(fd)) return -1;
    refresh_card_write_settings();
    if (g_cardWrite.failing.load()) {
        bool onCard = false;
        {
            std::lock_guard lock(g_cardLock);
            onCard = g_cardFiles.count(fd) != 0;
        }
        if (onCard) {
            errno = EIO;
            return -1;
        }
    }
    pace_card_write(size);
    return write(fd, bytes, size);
}

ssize_t board_card_pread(int fd, void* out, size_t size, int64_t offset) {
    if (!card_file_alive(fd)) return -1;
    return pread(fd, out, size, static_cast<off_t>(offset));
}

int board_card_datasync(int fd) {
    if (!card_file_alive(fd)) return -1;
    return fdatasync(fd);
}

uint64_t board_record_split_bytes() {
    uint64_t mib = 0;
    std::ifstream(board_path("/sim/split-mb")) >> mib;
    return mib <= (UINT64_MAX >> 20) ? mib << 20 : 0;
}

void board_note_led_mode(uint32_t mode) {
    board_sim_event("led", "mode=" + std::to_string(mode));
}

int board_init() {
    const std::string& root = board_sim_root();
    std::error_code ec;
    if (root.empty() || root.front() != '/' || !std::filesystem::is_directory(root, ec)) {
        fprintf(stderr,
                "VBOARD_ROOT must be the absolute path of a board root directory "
                "(vboard-sim --root DIR prepares one and starts vboard in it)\n");
        return -1;
    }
    return 0;
}

// The mount point is an empty directory while the card is not mounted and a
// link to sim/card while it is. A card marked sim/card-fail mounts as a link to
// that file, so nothing can be created on it, as with a broken card.
namespace {

constexpr uint64_t kSimCardBlockSize = 4096;  // fine enough to report free space to 4 MiB
constexpr uint32_t kVfatMagic = 0x4d44;

bool sd_mounted() {
    std::error_code ec;
    return std::filesystem::is_symlink(board_path("/tmp/SD0"), ec);
}

void sd_show_empty_mount_point() {
    std::error_code ec;
    const std::string mountPoint = board_path("/tmp/SD0");
    if (std::filesystem::is_symlink(mountPoint, ec)) std::filesystem::remove(mountPoint, ec);
    std::filesystem::create_directories(mountPoint, ec);
}

}  // namespace

int board_sd_mount() {
    if (!board_file_exists("/dev/mmcblk2p1")) {
        board_sim_event("mount", "failed: no card");
        return 32;  // mount's status for a failed mount
    }
    sd_show_empty_mount_point();
    const bool broken = board_file_exists("/sim/card-fail");
    const std::string mountPoint = board_path("/tmp/SD0");
    std::error_code ec;
    std::filesystem::create_directories(board_path("/sim/card"), ec);
    std::filesystem::remove(mountPoint, ec);  // the empty directory
    std::filesystem::create_directory_symlink(broken ? "../sim/card-fail" : "../sim/card",
                                              mountPoint, ec);
    if (ec) {
        sd_show_empty_mount_point();
        return 32;
    }
    board_sim_event("mount",
                    broken ? "/dev/mmcblk2p1 /tmp/SD0 (card-fail)" : "/dev/mmcblk2p1 /tmp/SD0");
    return 0;
}

int board_sd_umount() {
    const bool mounted = sd_mounted();
    sd_show_empty_mount_point();
    if (!mounted) return 32;  // "not mounted"
    board_sim_event("umount", "/tmp/SD0");
    return 0;
}

int board_sd_format() {
    // No card, or a broken one: mkfs fails.
    if (!board_file_exists("/dev/mmcblk2p1") || board_file_exists("/sim/card-fail")) return 1;
    std::error_code ec;
    const std::filesystem::path card = board_path("/sim/card");
    for (const auto& entry : std::filesystem::directory_iterator(card, ec))
        std::filesystem::remove_all(entry.path(), ec);
    board_sim_event("mkfs", "vfat /dev/mmcblk2p1");
    return 0;
}

int board_sd_space(BoardFsSpace* space) {
    if (space == nullptr || !sd_mounted() || board_file_exists("/sim/card-fail")) return -1;
    uint64_t mib = kDefaultSimCardMib;
    std::ifstream(board_path("/sim/card.mib")) >> mib;
    // Every file takes whole clusters, as on the card.
    uint64_t usedBlocks = 0;
    std::error_code ec;
    for (auto it = std::filesystem::recursive_directory_iterator(board_path("/sim/card"), ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
        std::error_code sizeEc;
        if (!it->is_regular_file(sizeEc)) continue;
        const uint64_t size = it->file_size(sizeEc);
        if (!sizeEc) usedBlocks += (size + kSimCardBlockSize - 1) / kSimCardBlockSize;
    }
    space->blockSize = kSimCardBlockSize;
    space->blocks = mib * 1024 * 1024 / kSimCardBlockSize;
    space->availableBlocks = usedBlocks < space->blocks ? space->blocks - usedBlocks : 0;
    space->type = kVfatMagic;
    return 0;
}

// The phone network is loopback: 127.0.0.N stands for 192.168.31.N, and the
// firewall is only recorded.
const char* board_phone_net_prefix() {
    return "127.0.0.";
}

const char* board_ground_station_address() {
    return "127.0.0.1";
}

const char* board_listen_address() {
    return "127.0.0.1";
}

int board_arp_lookup(const struct in_addr& peer, std::array<uint8_t, 6>* mac) {
    if (mac == nullptr) return -1;
    const uint32_t host = ntohl(peer.s_addr);
    if ((host >> 8) != 0x7f0000) {
        fprintf(stderr, "ioctl SIOCGARP: no ARP entry for a peer outside 127.0.0.x\n");
        return -1;
    }
    *mac = {0x02, 0x00, 0x7f, 0x00, 0x00, static_cast<uint8_t>(host & 0xff)};
    return 0;
}

namespace {

int record_firewall(const std::vector<std::string>& lines, std::vector<std::string>* commands) {
    for (const std::string& line : lines) {
        if (commands != nullptr) commands->push_back(line);
        board_sim_event("iptables", line);
    }
    return 0;
}

}  // namespace

int board_firewall_bind_macs(const std::vector<std::string>& macs,
                             std::vector<std::string>* commands) {
    return record_firewall(board_firewall_bind_rules(macs), commands);
}

int board_firewall_unbind(std::vector<std::string>* commands) {
    return record_firewall(board_firewall_unbind_rules(), commands);
}
