// repeater-sim: the radio repeater of the simulated board. Like the real one
// it is the board's network client at 127.0.0.111: it connects to the board's
// TCP port from that address, keeps the link alive with its heartbeat (system
// id 0x52) and relays a phone that connects to it at 127.0.0.111 (TCP 8866,
// and the file service's UDP 8857 and 8866) to the board and back. Messages
// the board addresses to the repeater (low nibble 5) stay here: it answers the
// repeater's side of the firmware step protocol, asks again for packages it
// is missing, and keeps the firmware as DIR/sim/repeater-firmware.bin once the
// restart step is acknowledged. Loopback only; it reconnects after the board
// rebooted.
//
//   repeater-sim --root DIR [--board-port N] [--file-port N] [--ack-port N]
//                [--no-phone] [--lose-package N]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "fw_target.h"
#include "mav/mavlink_frame.h"
#include "mav/mavlink_msgs.h"
#include "sim_process.h"

namespace fs = std::filesystem;

namespace {

constexpr char kUsage[] =
    "usage: repeater-sim --root DIR [--board-port N] [--file-port N] [--ack-port N]\n"
    "                    [--no-phone] [--lose-package N]\n"
    "\n"
    "  --root DIR        board root: the firmware is kept as DIR/sim/repeater-firmware.bin\n"
    "  --board-port N    the board's TCP port (default 8866)\n"
    "  --file-port N     the board's file-service port (default 8857)\n"
    "  --ack-port N      the board's acknowledgement port (default 8866)\n"
    "  --no-phone        no phone relay on 127.0.0.111 (only the repeater itself)\n"
    "  --lose-package N  firmware upgrade: package N counts as lost when it first arrives\n";

constexpr char kRepeaterAddr[] = "127.0.0.111";
constexpr char kBoardAddr[] = "127.0.0.1";
constexpr uint8_t kRepeater = 5;
constexpr uint8_t kVideo = 2;
constexpr uint8_t kClientReady = 2;  // heartbeat: a phone is connected through the repeater
constexpr int64_t kHeartbeatMs = 1000;
constexpr int64_t kReconnectMs = 1000;

sockaddr_in address(const char* ip, uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    inet_pton(AF_INET, ip, &a.sin_addr);
    return a;
}

const sockaddr* sa(const sockaddr_in& a) {
    return reinterpret_cast<const sockaddr*>(&a);
}

// A socket bound to ip:port (port 0: any); -1 on failure.
int bound_socket(int type, const char* ip, uint16_t port) {
    const int fd = socket(AF_INET, type | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    const int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    const sockaddr_in a = address(ip, port);
    if (bind(fd, sa(a), sizeof a) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

bool write_all(int fd, const uint8_t* bytes, size_t length) {
    while (length > 0) {
        const ssize_t n = send(fd, bytes, length, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        bytes += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}

bool parse_port(const char* text, uint16_t* port) {
    char* end = nullptr;
    const long v = strtol(text, &end, 10);
    if (end == text || *end != '\0' || v < 1 || v > 65535) return false;
    *port = static_cast<uint16_t>(v);
    return true;
}

struct Options {
    std::string root;
    uint16_t boardPort = 8866;
    uint16_t filePort = 8857;
    uint16_t ackPort = 8866;
    bool phone = true;
    int64_t losePackage = -1;
};

int parse_options(int argc, char** argv, Options* o) {
    for (int i = 1; i < argc; ++i) {
        const std::string_view a = argv[i];
        if (a == "--help" || a == "-h") {
            fputs(kUsage, stdout);
            exit(0);
        }
        if (a == "--no-phone") {
            o->phone = false;
            continue;
        }
        if (i + 1 >= argc) {
            fprintf(stderr, "repeater-sim: %s needs a value\n%s", argv[i], kUsage);
            return 2;
        }
        const char* value = argv[++i];
        bool ok = true;
        if (a == "--root") {
            o->root = value;
        } else if (a == "--board-port") {
            ok = parse_port(value, &o->boardPort);
        } else if (a == "--file-port") {
            ok = parse_port(value, &o->filePort);
        } else if (a == "--ack-port") {
            ok = parse_port(value, &o->ackPort);
        } else if (a == "--lose-package") {
            char* end = nullptr;
            const long long v = strtoll(value, &end, 10);
            ok = end != value && *end == '\0' && v >= 0 && v <= 0xFFFFFFFFLL;
            o->losePackage = v;
        } else {
            fprintf(stderr, "repeater-sim: unknown option %s\n%s", argv[i - 1], kUsage);
            return 2;
        }
        if (!ok) {
            fprintf(stderr, "repeater-sim: bad value for %s\n", argv[i - 1]);
            return 2;
        }
    }
    if (o->root.empty()) {
        fputs(kUsage, stderr);
        return 2;
    }
    return 0;
}

struct Relay {
    Options opt;
    fs::path firmwarePath;
    int board = -1;     // TCP link to the board, from 127.0.0.111
    int listener = -1;  // the phone's side
    int phone = -1;
    int fileDown = -1;  // UDP 127.0.0.111:file port, the phone's requests
    int ackDown = -1;   // UDP 127.0.0.111:ack port, the phone's acknowledgements
    int fileUp = -1;    // UDP towards the board's file port (answers come back here)
    int ackUp = -1;     // UDP towards the board's acknowledgement port
    sockaddr_in phoneFile{};
    bool havePhoneFile = false;
    mavlink_status_t parser{};
    FwTarget fw;
    uint8_t seq = 0;
    int64_t nextHeartbeat = 0;
    int64_t nextConnect = 0;
};

void send_board(Relay& r, const mavlink_message_t& msg) {
    std::array<uint8_t, MAVLINK_MAX_PACKET_LEN> buf{};
    const int n = mavlink_msg_to_send_buffer(buf, &msg);
    if (r.board >= 0 && n > 0 && !write_all(r.board, buf.data(), static_cast<size_t>(n))) {
        close(r.board);
        r.board = -1;
    }
}

void send_heartbeat(Relay& r) {
    mavlink_heartbeat_t hb{};
    hb.system_status = r.phone >= 0 ? kClientReady : 0;
    hb.mavlink_version = 3;
    mavlink_message_t msg;
    mavlink_msg_heartbeat_pack(mavlink_sysid(kRepeater, kVideo), 0, r.seq++, &hb, &msg);
    send_board(r, msg);
}

void connect_board(Relay& r) {
    const int fd = bound_socket(SOCK_STREAM, kRepeaterAddr, 0);
    const sockaddr_in to = address(kBoardAddr, r.opt.boardPort);
    if (fd < 0 || connect(fd, sa(to), sizeof to) != 0) {
        if (fd >= 0) close(fd);
        return;
    }
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    r.board = fd;
    mavlink_parser_reset(&r.parser);
    fprintf(stderr, "repeater-sim: connected to the board\n");
    send_heartbeat(r);
    r.nextHeartbeat = sim_now_ms() + kHeartbeatMs;
}

// A message from the board: the repeater's own ones are answered here, the
// rest goes on to the phone.
void board_message(Relay& r, const mavlink_message_t& m) {
    if (mavlink_sysid_target(m.sysid) != kRepeater) {
        std::array<uint8_t, MAVLINK_MAX_PACKET_LEN> buf{};
        const int n = mavlink_msg_to_send_buffer(buf, &m);
        if (r.phone >= 0 && n > 0 && !write_all(r.phone, buf.data(), static_cast<size_t>(n))) {
            close(r.phone);
            r.phone = -1;
        }
        return;
    }
    const bool wasRestarted = r.fw.restarted;
    std::vector<mavlink_message_t> answers;
    if (!fw_target_handle(r.fw, m, &answers)) return;
    for (const mavlink_message_t& a : answers) send_board(r, a);
    if (r.fw.restarted && !wasRestarted) {
        const int rc = fw_target_save(r.fw, r.firmwarePath.string());
        fprintf(stderr, "repeater-sim: firmware %zu bytes, md5 %s%s\n", r.fw.firmware.size(),
                fw_target_md5(r.fw.firmware).c_str(), rc == 0 ? "" : " (not saved)");
    }
}

void read_board(Relay& r) {
    std::array<uint8_t, 16384> buf{};
    const ssize_t n = recv(r.board, buf.data(), buf.size(), 0);
    if (n <= 0) {
        fprintf(stderr, "repeater-sim: the board closed the link\n");
        close(r.board);
        r.board = -1;
        r.nextConnect = sim_now_ms() + kReconnectMs;
        return;
    }
    for (ssize_t i = 0; i < n; ++i) {
        mavlink_message_t m;
        if (mavlink_parse_char(&r.parser, buf[static_cast<size_t>(i)], &m) == 1)
            board_message(r, m);
    }
}

void read_phone(Relay& r) {
    std::array<uint8_t, 16384> buf{};
    const ssize_t n = recv(r.phone, buf.data(), buf.size(), 0);
    if (n <= 0) {
        close(r.phone);
        r.phone = -1;
        return;
    }
    if (r.board >= 0 && !write_all(r.board, buf.data(), static_cast<size_t>(n))) {
        close(r.board);
        r.board = -1;
    }
}

void accept_phone(Relay& r) {
    const int fd = accept4(r.listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) return;
    if (r.phone >= 0) {
        close(fd);  // one phone at a time, as the board serves one client
        return;
    }
    r.phone = fd;
}

// Datagrams: the phone's requests and acknowledgements to the board, the
// board's answers to the phone.
void relay_datagram(Relay& r, int from) {
    std::array<uint8_t, 65536> buf{};
    sockaddr_in peer{};
    socklen_t len = sizeof peer;
    const ssize_t n =
        recvfrom(from, buf.data(), buf.size(), 0, reinterpret_cast<sockaddr*>(&peer), &len);
    if (n < 0) return;
    const auto size = static_cast<size_t>(n);
    if (from == r.fileDown) {
        r.phoneFile = peer;
        r.havePhoneFile = true;
        const sockaddr_in to = address(kBoardAddr, r.opt.filePort);
        sendto(r.fileUp, buf.data(), size, 0, sa(to), sizeof to);
    } else if (from == r.ackDown) {
        const sockaddr_in to = address(kBoardAddr, r.opt.ackPort);
        sendto(r.ackUp, buf.data(), size, 0, sa(to), sizeof to);
    } else if (from == r.fileUp && r.havePhoneFile) {
        sendto(r.fileDown, buf.data(), size, 0, sa(r.phoneFile), sizeof r.phoneFile);
    }
}

int open_phone_side(Relay& r) {
    r.listener = bound_socket(SOCK_STREAM, kRepeaterAddr, r.opt.boardPort);
    r.fileDown = bound_socket(SOCK_DGRAM, kRepeaterAddr, r.opt.filePort);
    r.ackDown = bound_socket(SOCK_DGRAM, kRepeaterAddr, r.opt.ackPort);
    r.fileUp = bound_socket(SOCK_DGRAM, kRepeaterAddr, 0);
    r.ackUp = bound_socket(SOCK_DGRAM, kRepeaterAddr, 0);
    if (r.listener < 0 || listen(r.listener, 1) != 0 || r.fileDown < 0 || r.ackDown < 0 ||
        r.fileUp < 0 || r.ackUp < 0) {
        fprintf(stderr, "repeater-sim: cannot open the phone's side on %s: %s\n", kRepeaterAddr,
                strerror(errno));
        return -1;
    }
    return 0;
}

void close_all(Relay& r) {
    for (int* fd :
         {&r.board, &r.listener, &r.phone, &r.fileDown, &r.ackDown, &r.fileUp, &r.ackUp}) {
        if (*fd >= 0) close(*fd);
        *fd = -1;
    }
}

void run(Relay& r) {
    while (sim_stop_signal() == 0) {
        const int64_t now = sim_now_ms();
        if (r.board < 0 && now >= r.nextConnect) {
            connect_board(r);
            if (r.board < 0) r.nextConnect = now + kReconnectMs;
        }
        if (r.board >= 0 && now >= r.nextHeartbeat) {
            send_heartbeat(r);
            r.nextHeartbeat = now + kHeartbeatMs;
        }
        std::array<pollfd, 6> fds{{{r.board, POLLIN, 0},
                                   {r.phone, POLLIN, 0},
                                   {r.listener, POLLIN, 0},
                                   {r.fileDown, POLLIN, 0},
                                   {r.ackDown, POLLIN, 0},
                                   {r.fileUp, POLLIN, 0}}};
        if (poll(fds.data(), fds.size(), 100) <= 0) continue;
        const auto ready = [&](size_t i) {
            return fds[i].fd >= 0 && (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) != 0;
        };
        if (ready(0)) read_board(r);
        if (ready(1) && r.phone >= 0) read_phone(r);
        if (ready(2)) accept_phone(r);
        for (size_t i = 3; i < fds.size(); ++i)
            if (ready(i)) relay_datagram(r, fds[i].fd);
    }
}

}  // namespace

int main(int argc, char** argv) {
    Relay r;
    if (const int rc = parse_options(argc, argv, &r.opt); rc != 0) return rc;
    std::error_code ec;
    const fs::path root = fs::absolute(r.opt.root, ec).lexically_normal();
    fs::create_directories(root / "sim", ec);
    r.firmwarePath = root / "sim/repeater-firmware.bin";
    r.fw.board = kRepeater;
    if (r.opt.losePackage >= 0) r.fw.drop_once.insert(static_cast<uint32_t>(r.opt.losePackage));

    sim_process_setup();  // started by the launcher: go when it goes

    if (r.opt.phone && open_phone_side(r) != 0) {
        close_all(r);
        return 1;
    }
    fprintf(stderr, "repeater-sim: repeater at %s, board at %s:%u\n", kRepeaterAddr, kBoardAddr,
            r.opt.boardPort);
    run(r);
    close_all(r);
    fprintf(stderr, "repeater-sim: stopped\n");
    return 0;
}
