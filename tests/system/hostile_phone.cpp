// A hostile phone against the simulated board's MAVLink link (TCP 8866):
// truncated frames, wrong checksums, every message id at maximal length,
// floods, many connections, a silent client, out-of-range and NaN parameters,
// garbage time syncs, log-forging text. After every case a normal client must
// be answered at once, the board's descriptors and memory must not grow, the
// clock must be untouched and the card intact.
//
// usage: hostile_phone BOARD_ROOT   (the board runs; its PID is in tmp/pelora.pid)
// Prints one line per case and check; exit status 0 when all passed.
#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <limits>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "mav/mavlink_frame.h"
#include "mav/mavlink_msgs.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

constexpr uint8_t kPhone = 0x42;  // phone (4) to video board (2)
constexpr uint16_t kPort = 8866;
constexpr int kAnswerMs = 5000;  // a normal client's answer
constexpr long kRssSlackKb = 48 * 1024;
constexpr int kFdSlack = 2;

std::string g_root;
int g_pid = 0;

long now_ms(Clock::time_point since) {
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count());
}

void sleep_ms(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

Bytes wire(const mavlink_message_t& msg) {
    Bytes out(MAVLINK_MAX_PACKET_LEN);
    out.resize(static_cast<size_t>(mavlink_msg_to_send_buffer(out, &msg)));
    return out;
}

// A frame of any id with a raw payload, checksummed as the board checks it.
Bytes raw_frame(uint8_t msgid, uint8_t sysid, const Bytes& payload) {
    mavlink_message_t msg{};
    if (!payload.empty()) memcpy(msg.payload.data(), payload.data(), payload.size());
    mavlink_finalize_message(&msg, sysid, 0, 0, msgid, static_cast<uint8_t>(payload.size()));
    return wire(msg);
}

Bytes heartbeat() {
    mavlink_heartbeat_t hb{};
    hb.type = 6;
    hb.autopilot = 8;
    mavlink_message_t msg;
    mavlink_msg_heartbeat_pack(kPhone, 0, 0, &hb, &msg);
    return wire(msg);
}

Bytes command_long(uint16_t command, uint8_t component, float p1, float p2 = 0, float p3 = 0) {
    mavlink_command_long_t cmd{};
    cmd.command = command;
    cmd.target_component = component;
    cmd.param1 = p1;
    cmd.param2 = p2;
    cmd.param3 = p3;
    mavlink_message_t msg;
    mavlink_msg_command_long_pack(kPhone, 0, 0, &cmd, &msg);
    return wire(msg);
}

Bytes timesync(int64_t tc1, int64_t ts1) {
    const mavlink_timesync_t ts{tc1, ts1};
    mavlink_message_t msg;
    mavlink_msg_timesync_pack(kPhone, 0, 0, &ts, &msg);
    return wire(msg);
}

Bytes sd_request() {
    return raw_frame(MAVLINK_MSG_ID_PELORA_SD_REQUEST, kPhone, {});
}

// ---- the socket ----

class Link {
public:
    // Connects once: the board listens all the time, so a refusal is a fault.
    bool open() {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(kPort);
        inet_pton(AF_INET, "127.0.0.1", &to.sin_addr);
        if (connect(fd_, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0) {
            mavlink_parser_reset(&parser_);
            return true;
        }
        printf("    connection refused: %s\n", strerror(errno));
        ::close(fd_);
        fd_ = -1;
        return false;
    }
    void close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }
    ~Link() { close(); }
    int fd() const { return fd_; }

    bool send(const Bytes& bytes) {
        size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
            if (n <= 0) return false;
            done += static_cast<size_t>(n);
        }
        return true;
    }
    // Reads frames until `want` is satisfied or `ms` pass. True when satisfied.
    bool until(int ms, const std::function<bool(const mavlink_message_t&)>& want) {
        const auto start = Clock::now();
        while (true) {
            const long left = ms - now_ms(start);
            if (left <= 0) return false;
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, static_cast<int>(left)) <= 0) return false;
            uint8_t buf[4096];
            const ssize_t n = read(fd_, buf, sizeof buf);
            if (n <= 0) return false;
            for (ssize_t i = 0; i < n; ++i) {
                mavlink_message_t m;
                if (mavlink_parse_char(&parser_, buf[i], &m) == 1 && want(m)) return true;
            }
        }
    }
    // True when the board closes the connection within `ms`.
    bool closed_within(int ms) {
        const auto start = Clock::now();
        while (now_ms(start) < ms) {
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, 100) <= 0) continue;
            uint8_t buf[4096];
            if (read(fd_, buf, sizeof buf) <= 0) return true;
        }
        return false;
    }

private:
    int fd_ = -1;
    mavlink_status_t parser_{};
};

// Counts answers of one kind.
bool count_answers(Link& link, int wanted, int ms,
                   const std::function<bool(const mavlink_message_t&)>& is_answer) {
    int got = 0;
    return link.until(ms,
                      [&](const mavlink_message_t& m) { return is_answer(m) && ++got >= wanted; });
}

bool is_pelora_ack(const mavlink_message_t& m, uint8_t b2, uint8_t b3, uint8_t result) {
    mavlink_pelora_ack_t a{};
    if (m.msgid != MAVLINK_MSG_ID_PELORA_ACK || mavlink_msg_pelora_ack_decode(&m, &a) != 0)
        return false;
    return a.data[2] == b2 && a.data[3] == b3 && (b2 == 111 || a.data[4] == result);
}

bool is_command_ack(const mavlink_message_t& m, uint16_t command, uint8_t result) {
    mavlink_command_ack_t a{};
    if (m.msgid != MAVLINK_MSG_ID_COMMAND_ACK || mavlink_msg_command_ack_decode(&m, &a) != 0)
        return false;
    return a.command == command && a.result == result;
}

// ---- the board from outside ----

// Descriptors of the board, without the media buffer pool's blocks: the pool
// grows to its working size on demand (the live view) and keeps them.
int count_fds() {
    int n = 0;
    const std::string dirName = "/proc/" + std::to_string(g_pid) + "/fd";
    DIR* dir = opendir(dirName.c_str());
    if (dir == nullptr) return -1;
    while (const dirent* e = readdir(dir)) {
        if (e->d_name[0] == '.') continue;
        char target[512] = {};
        if (readlink((dirName + "/" + e->d_name).c_str(), target, sizeof target - 1) > 0 &&
            strncmp(target, "/memfd:vboard-mb", 16) == 0)
            continue;
        ++n;
    }
    closedir(dir);
    return n;
}

// What the descriptors are, for the report of a failure.
std::string fd_targets() {
    std::string out;
    const std::string dirName = "/proc/" + std::to_string(g_pid) + "/fd";
    DIR* dir = opendir(dirName.c_str());
    if (dir == nullptr) return out;
    while (const dirent* e = readdir(dir)) {
        if (e->d_name[0] == '.') continue;
        char target[512] = {};
        const ssize_t n = readlink((dirName + "/" + e->d_name).c_str(), target, sizeof target - 1);
        out += std::string(e->d_name) + "=" + (n > 0 ? target : "?") + " ";
    }
    closedir(dir);
    return out;
}

long rss_kb() {
    std::ifstream in("/proc/" + std::to_string(g_pid) + "/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
    }
    return -1;
}

int clock_sets() {
    std::ifstream in(g_root + "/sim/events.log");
    std::string line;
    int n = 0;
    while (std::getline(in, line)) {
        if (line.find(" clock-set ") != std::string::npos) ++n;
    }
    return n;
}

const char kMarker[] = "/sim/card/PLRMEDIA/hostile-phone-marker";

bool card_intact() {
    std::ifstream in(g_root + kMarker);
    std::string text;
    return std::getline(in, text) && text == "still here";
}

// A normal phone: heartbeat and SD request, answered with the SD report on
// its first connection, even when the board is still busy with the link the
// case left behind (the phone waits in the backlog meanwhile). Milliseconds
// from the connection to the answer, or -1.
long normal_client() {
    const auto start = Clock::now();
    Link link;
    if (!link.open() || !link.send(heartbeat()) || !link.send(sd_request())) return -1;
    const bool answered = link.until(kAnswerMs, [](const mavlink_message_t& m) {
        return m.msgid == MAVLINK_MSG_ID_PELORA_SD_STATUS;
    });
    return answered ? now_ms(start) : -1;
}

// ---- the cases ----

bool cut_header() {
    Link link;
    if (!link.open()) return false;
    return link.send({0xFE, 0xFF, 0x00, 0x42, 0x00, 0x4C});
}

bool cut_payload() {
    Link link;
    if (!link.open()) return false;
    Bytes frame = command_long(2, 0, 3);
    frame.resize(frame.size() / 2);
    return link.send(frame);
}

bool wrong_checksums() {
    Link link;
    if (!link.open()) return false;
    Bytes burst;
    for (int i = 0; i < 200; ++i) {
        Bytes f = i % 2 == 0 ? heartbeat() : command_long(2, 0, 3);
        f[f.size() - 1 - static_cast<size_t>(i % 2)] ^= 0x5A;
        burst.insert(burst.end(), f.begin(), f.end());
    }
    // The good frame right after the bad ones is taken.
    Bytes good = sd_request();
    burst.insert(burst.end(), good.begin(), good.end());
    return link.send(burst) && link.until(kAnswerMs, [](const mavlink_message_t& m) {
        return m.msgid == MAVLINK_MSG_ID_PELORA_SD_STATUS;
    });
}

bool every_message_id() {
    Link link;
    if (!link.open()) return false;
    for (const uint8_t fill : {uint8_t{0xFF}, uint8_t{0x00}, uint8_t{0x7F}}) {
        for (const uint8_t sysid : {kPhone, uint8_t{0x45}}) {
            Bytes burst;
            for (int id = 0; id < 256; ++id) {
                const Bytes f = raw_frame(static_cast<uint8_t>(id), sysid, Bytes(255, fill));
                burst.insert(burst.end(), f.begin(), f.end());
            }
            if (!link.send(burst)) return false;
        }
    }
    // DATA_STREAM with on_off 0 switched the live view off: back on.
    return link.send(raw_frame(MAVLINK_MSG_ID_DATA_STREAM, kPhone, {0, 0, 0, 1}));
}

bool heartbeat_flood() {
    Link link;
    if (!link.open()) return false;
    Bytes burst;
    const Bytes hb = heartbeat();
    for (int i = 0; i < 20000; ++i) burst.insert(burst.end(), hb.begin(), hb.end());
    return link.send(burst);
}

bool param_request_flood() {
    Link link;
    if (!link.open()) return false;
    mavlink_param_request_list_t req{};
    mavlink_message_t msg;
    mavlink_msg_param_request_list_pack(kPhone, 0, 0, &req, &msg);
    const Bytes one = wire(msg);
    Bytes burst;
    for (int i = 0; i < 300; ++i) burst.insert(burst.end(), one.begin(), one.end());
    // Sent without reading a byte of the answers.
    return link.send(burst);
}

bool many_connections() {
    for (int i = 0; i < 100; ++i) {
        Link link;
        if (!link.open()) return false;
    }
    // Thirty at once: behind the first, the others wait in the backlog or for it.
    std::vector<int> held;
    for (int i = 0; i < 30; ++i) {
        const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(kPort);
        inet_pton(AF_INET, "127.0.0.1", &to.sin_addr);
        connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to);
        held.push_back(fd);
    }
    sleep_ms(500);
    for (const int fd : held) close(fd);
    return true;
}

bool silent_client() {
    Link link;
    if (!link.open()) return false;
    const auto start = Clock::now();
    const bool closed = link.closed_within(10000);
    const long held = now_ms(start);
    printf("    silent client held %ld ms\n", held);
    return closed && held >= 3000 && held <= 8000;
}

bool bad_parameters() {
    Link link;
    if (!link.open() || !link.send(heartbeat())) return false;
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    const uint8_t items[] = {2, 3, 4, 5, 6, 7, 8, 9, 11, 12, 13, 14, 15, 16, 22, 23, 26, 29, 30};
    Bytes burst;
    int sent = 0;
    for (const uint8_t item : items) {
        for (const float bad : {nan, inf, -inf, 1e30F, -1.0F, 2147483648.0F}) {
            // Every parameter the item reads is bad at once.
            const Bytes f = command_long(180, item, bad, bad, bad);
            burst.insert(burst.end(), f.begin(), f.end());
            ++sent;
        }
    }
    if (!link.send(burst)) return false;
    if (!count_answers(link, sent, 20000,
                       [](const mavlink_message_t& m) { return is_pelora_ack(m, 76, 180, 4); })) {
        printf("    not every refused parameter was answered\n");
        return false;
    }
    Bytes media;
    for (const float bad : {nan, inf, 1e30F}) {
        const Bytes f = command_long(2, 0, bad);
        media.insert(media.end(), f.begin(), f.end());
    }
    return link.send(media) && count_answers(link, 3, kAnswerMs, [](const mavlink_message_t& m) {
               return is_command_ack(m, 2, 4);
           });
}

bool garbage_timesync() {
    Link link;
    if (!link.open() || !link.send(heartbeat())) return false;
    Bytes burst;
    for (const int64_t tc1 :
         {std::numeric_limits<int64_t>::max(), std::numeric_limits<int64_t>::min(), int64_t{0},
          int64_t{-1}, int64_t{4102444800000LL}}) {
        const Bytes f = timesync(tc1, 0);
        burst.insert(burst.end(), f.begin(), f.end());
    }
    const Bytes offset = timesync(1700000000000LL, 0x7FFFFFFF);
    burst.insert(burst.end(), offset.begin(), offset.end());
    return link.send(burst) && count_answers(link, 6, kAnswerMs, [](const mavlink_message_t& m) {
               mavlink_pelora_ack_t a{};
               return m.msgid == MAVLINK_MSG_ID_PELORA_ACK &&
                      mavlink_msg_pelora_ack_decode(&m, &a) == 0 && a.data[2] == 111 &&
                      a.data[3] == 4;
           });
}

bool log_forging() {
    Link link;
    if (!link.open()) return false;
    mavlink_log_data_t ld{};
    const char text[] = "x\n[00:00:00.000][E] FORGED-BY-PHONE\x1b[2J\x1b]0;title\x07";
    memcpy(ld.data, text, sizeof text - 1);
    mavlink_message_t msg;
    mavlink_msg_log_data_pack(kPhone, 0, 0, &ld, &msg);
    return link.send(wire(msg));
}

bool valid_timesync() {
    Link link;
    if (!link.open() || !link.send(heartbeat())) return false;
    const int64_t now = std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::system_clock::now().time_since_epoch())
                            .count();
    if (!link.send(timesync(now, 0))) return false;
    const auto start = Clock::now();
    while (now_ms(start) < kAnswerMs && clock_sets() == 0) sleep_ms(50);
    return clock_sets() == 1;
}

struct Case {
    const char* name;
    bool (*run)();
    int clockSetsAfter;  // clock settings the board has made by the end of the case
};

const Case kCases[] = {
    {"frame cut after its header, link dropped", cut_header, 0},
    {"frame cut in its payload, link dropped", cut_payload, 0},
    {"wrong checksums, then a good frame", wrong_checksums, 0},
    {"every message id at maximal length", every_message_id, 0},
    {"heartbeat flood", heartbeat_flood, 0},
    {"parameter request flood, never read", param_request_flood, 0},
    {"many connections", many_connections, 0},
    {"silent client", silent_client, 0},
    {"out-of-range and NaN parameters", bad_parameters, 0},
    {"garbage time syncs", garbage_timesync, 0},
    {"log-forging text", log_forging, 0},
    {"a valid time sync after the garbage", valid_timesync, 1},
};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: hostile_phone BOARD_ROOT\n");
        return 2;
    }
    g_root = argv[1];
    std::ifstream pidFile(g_root + "/tmp/pelora.pid");
    if (!(pidFile >> g_pid) || g_pid <= 0) {
        fprintf(stderr, "hostile_phone: no board PID in %s/tmp/pelora.pid\n", g_root.c_str());
        return 2;
    }
    setvbuf(stdout, nullptr, _IOLBF, 0);

    // Warm up: the link, the camera and the sanitizer's first allocations.
    for (int i = 0; i < 3; ++i) {
        if (normal_client() < 0) {
            printf("FAILED: a normal client is answered before any hostile case\n");
            return 1;
        }
    }
    std::ofstream(g_root + kMarker) << "still here\n";
    if (!card_intact()) {
        printf("FAILED: cannot put a marker on the card\n");
        return 1;
    }
    sleep_ms(1000);
    const int baseFds = count_fds();
    const long baseRss = rss_kb();
    printf("baseline: %d descriptors, %ld kB resident\n", baseFds, baseRss);
    const std::string baseTargets = fd_targets();

    int failed = 0;
    for (const Case& c : kCases) {
        const bool ran = c.run();
        const long answered = normal_client();
        sleep_ms(300);  // the board closes the normal client's socket
        const int fds = count_fds();
        const long rss = rss_kb();
        const int sets = clock_sets();
        const bool card = card_intact();
        const bool ok = ran && answered >= 0 && answered < kAnswerMs && fds <= baseFds + kFdSlack &&
                        rss <= baseRss + kRssSlackKb && sets == c.clockSetsAfter && card;
        printf(
            "%s: %s (case %s; normal client answered in %ld ms; %d descriptors; %ld kB; "
            "%d clock settings; card %s)\n",
            ok ? "ok" : "FAILED", c.name, ran ? "behaved" : "misbehaved", answered, fds, rss, sets,
            card ? "intact" : "damaged");
        if (!ok) ++failed;
    }
    // Descriptors come back to the baseline once every hostile socket is gone.
    const auto start = Clock::now();
    while (now_ms(start) < 10000 && count_fds() > baseFds) sleep_ms(100);
    const int endFds = count_fds();
    printf("%s: descriptors back to the baseline (%d, baseline %d)\n",
           endFds <= baseFds ? "ok" : "FAILED", endFds, baseFds);
    if (endFds > baseFds) {
        printf("    before: %s\n    after:  %s\n", baseTargets.c_str(), fd_targets().c_str());
        ++failed;
    }
    printf("%d cases failed\n", failed);
    return failed == 0 ? 0 : 1;
}
