// vbctl end to end against a small fake board: a loopback TCP server on a
// port the test picks, which sends the board's heartbeat and status report,
// records what the client sends and answers commands as scripted.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <bit>
#include <chrono>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "../../support/run_program.h"
#include "mav/mavlink_msgs.h"

extern char** environ;

namespace {

int64_t now_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

int listen_loopback(uint16_t* port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;  // the kernel picks a free port
    socklen_t len = sizeof addr;
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        listen(fd, 1) != 0 || getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        if (fd >= 0) close(fd);
        return -1;
    }
    *port = ntohs(addr.sin_port);
    return fd;
}

// What the fake board does.
struct Script {
    int start_ack_command = 2500;  // answer to media command 3; -1 none
    uint8_t start_ack_result = 0;
    bool drop_first_connection = false;  // close the first client before any byte
    std::vector<std::pair<std::string, std::string>> config;
};

class FakeBoard {
public:
    explicit FakeBoard(Script script) : script_(std::move(script)) {
        listen_fd_ = listen_loopback(&port_);
        thread_ = std::thread([this] { run(); });
    }
    ~FakeBoard() {
        stop_ = true;
        thread_.join();
        if (listen_fd_ >= 0) close(listen_fd_);
    }
    uint16_t port() const { return port_; }

    std::vector<mavlink_message_t> received() {
        std::lock_guard<std::mutex> lock(mutex_);
        return received_;
    }

private:
    void send_msg(int fd, mavlink_message_t* msg) {
        uint8_t buf[MAVLINK_MAX_PACKET_LEN];
        const int n = mavlink_msg_to_send_buffer(buf, msg);
        if (n > 0) (void)!send(fd, buf, static_cast<size_t>(n), MSG_NOSIGNAL);
    }

    void send_status(int fd) {
        // Record mode, 1080p30, SD ready, 32 GiB card; zoom and the
        // time-synced bit follow the client's commands.
        mavlink_command_long_t cmd{};
        cmd.param1 = std::bit_cast<float>(0x00010007u);
        cmd.param3 = 32768.0f;
        cmd.param4 = 30000.0f;
        cmd.param5 = std::bit_cast<float>((zoom_ << 17) | (synced_ ? 1u << 16 : 0u));
        cmd.command = 2;
        mavlink_message_t msg;
        mavlink_msg_command_long_pack(36, 0, seq_++, &cmd, &msg);
        send_msg(fd, &msg);
    }

    void answer(int fd, const mavlink_message_t& in) {
        mavlink_message_t out;
        mavlink_command_long_t cmd{};
        if (mavlink_msg_command_long_decode(&in, &cmd) == 0) {
            if (cmd.command == 2 && cmd.param1 == 3.0f && script_.start_ack_command >= 0) {
                const mavlink_command_ack_t ack{static_cast<uint16_t>(script_.start_ack_command),
                                                script_.start_ack_result};
                mavlink_msg_command_ack_pack(36, 0, seq_++, &ack, &out);
                send_msg(fd, &out);
            } else if (cmd.command == 2 && cmd.param1 == 1.0f) {
                const mavlink_command_ack_t ack{2000, 0};
                mavlink_msg_command_ack_pack(36, 0, seq_++, &ack, &out);
                send_msg(fd, &out);
            } else if (cmd.command == 2 && cmd.param1 == 4.0f) {
                const mavlink_command_ack_t ack{2501, 0};
                mavlink_msg_command_ack_pack(36, 0, seq_++, &ack, &out);
                send_msg(fd, &out);
            } else if (cmd.command == 180 && cmd.target_component == 23) {
                zoom_ = static_cast<uint32_t>(cmd.param2) / 10;
            }
        } else if (in.msgid == MAVLINK_MSG_ID_PARAM_REQUEST_LIST) {
            for (const auto& [key, value] : script_.config) {
                mavlink_pelora_param_value_t pv{};
                pv.count = static_cast<uint16_t>(script_.config.size());
                snprintf(pv.name, sizeof pv.name, "%s", key.c_str());
                snprintf(pv.text, sizeof pv.text, "%s", value.c_str());
                pv.type = 11;
                mavlink_msg_pelora_param_value_pack(36, 0, seq_++, &pv, &out);
                send_msg(fd, &out);
            }
        } else if (in.msgid == MAVLINK_MSG_ID_PELORA_SD_REQUEST) {
            const mavlink_pelora_sd_status_t sd{32768.0f, 30000.0f, 0};
            mavlink_msg_pelora_sd_status_pack(36, 0, seq_++, &sd, &out);
            send_msg(fd, &out);
        } else if (in.msgid == MAVLINK_MSG_ID_TIMESYNC) {
            synced_ = true;
        }
    }

    void serve(int fd) {
        mavlink_status_t parser{};
        int64_t next_hb = 0;
        int64_t next_status = now_ms() + 100;
        while (!stop_) {
            const int64_t now = now_ms();
            if (now >= next_hb) {
                const mavlink_heartbeat_t hb{0, 0, 0, 0, 0, 3};
                mavlink_message_t msg;
                mavlink_msg_heartbeat_pack(33, 0, seq_++, &hb, &msg);
                send_msg(fd, &msg);
                next_hb = now + 300;
            }
            if (now >= next_status) {
                send_status(fd);
                next_status = now + 200;
            }
            pollfd pfd{fd, POLLIN, 0};
            if (poll(&pfd, 1, 20) <= 0) continue;
            uint8_t buf[4096];
            const ssize_t n = recv(fd, buf, sizeof buf, 0);
            if (n <= 0) return;
            for (ssize_t i = 0; i < n; ++i) {
                mavlink_message_t msg;
                if (mavlink_parse_char(&parser, buf[i], &msg) != 1) continue;
                {
                    std::lock_guard<std::mutex> lock(mutex_);
                    received_.push_back(msg);
                }
                answer(fd, msg);
            }
        }
    }

    void run() {
        bool first = true;
        while (!stop_) {
            pollfd pfd{listen_fd_, POLLIN, 0};
            if (poll(&pfd, 1, 20) <= 0) continue;
            const int fd = accept(listen_fd_, nullptr, nullptr);
            if (fd < 0) continue;
            if (first && script_.drop_first_connection) {
                first = false;
                close(fd);
                continue;
            }
            first = false;
            serve(fd);
            close(fd);
        }
    }

    Script script_;
    int listen_fd_ = -1;
    uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    std::mutex mutex_;
    std::vector<mavlink_message_t> received_;
    // Touched only by the board thread.
    uint8_t seq_ = 0;
    uint32_t zoom_ = 10;
    bool synced_ = false;
};

using VbctlRun = ProgramRun;

VbctlRun run_vbctl(const std::vector<std::string>& args) {
    return run_program(VBCTL_PATH, args);
}

std::vector<std::string> with_port(uint16_t port, std::vector<std::string> args) {
    args.insert(args.begin(), {"--port", std::to_string(port), "--timeout", "3"});
    return args;
}

TEST(VbctlEndToEnd, UsageErrorsExitTwoWithoutTouchingTheNetwork) {
    const std::vector<std::vector<std::string>> cases = {
        {},
        {"bogus"},
        {"mode", "video"},
        {"record"},
        {"record", "stop", "--seconds", "2"},
        {"set", "no-such-item", "1"},
        {"set", "zoom", "9000"},
        {"--port", "x", "status"},
        {"--frobnicate", "status"},
        {"status", "extra"},
    };
    for (const auto& args : cases) {
        const VbctlRun run = run_vbctl(args);
        EXPECT_EQ(run.status, 2) << (args.empty() ? "(none)" : args[0]) << ": " << run.err;
        EXPECT_NE(run.err.find("vbctl: "), std::string::npos);
    }
    const VbctlRun list = run_vbctl({"set", "--list"});
    EXPECT_EQ(list.status, 0);
    EXPECT_NE(list.out.find("white-balance"), std::string::npos);
}

TEST(VbctlEndToEnd, MissingBoardIsReportedClearly) {
    uint16_t port = 0;
    const int fd = listen_loopback(&port);
    ASSERT_GE(fd, 0);
    close(fd);  // nothing listens there now
    const VbctlRun run = run_vbctl(with_port(port, {"status"}));
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "vbctl: cannot connect to 127.0.0.1:" + std::to_string(port) +
                           ": Connection refused\n");
}

TEST(VbctlEndToEnd, RecordStartWaitsForItsOwnAcknowledgement) {
    struct Case {
        const char* what;
        int ack_command;
        uint8_t ack_result;
        int status;
        const char* text;  // in stdout for 0, stderr otherwise
    } cases[] = {
        {"accepted", 2500, 0, 0, "recording started"},
        {"refused", 2500, 4, 1, "vbctl: the board refused record start (result 4)"},
        {"another command's ack", 2501, 0, 1, "vbctl: no answer to record start within 1 s"},
        {"no answer", -1, 0, 1, "vbctl: no answer to record start within 1 s"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Script script;
        script.start_ack_command = c.ack_command;
        script.start_ack_result = c.ack_result;
        FakeBoard board(script);
        const VbctlRun run = run_vbctl(
            {"--port", std::to_string(board.port()), "--timeout", "1", "record", "start"});
        EXPECT_EQ(run.status, c.status) << run.err;
        EXPECT_NE((c.status == 0 ? run.out : run.err).find(c.text), std::string::npos)
            << run.out << run.err;
    }
}

TEST(VbctlEndToEnd, TimedRecordingSendsHeartbeatsAsThePhoneAndStops) {
    Script script;
    script.drop_first_connection = true;  // as when the board re-creates its listener
    FakeBoard board(script);
    const VbctlRun run =
        run_vbctl(with_port(board.port(), {"record", "start", "--seconds", "2.2"}));
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("recording started\n"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("recording stopped\n"), std::string::npos) << run.out;

    int heartbeats = 0;
    std::vector<float> media;
    for (const mavlink_message_t& msg : board.received()) {
        EXPECT_EQ(msg.sysid, 0x42);  // phone (4) to video board (2)
        mavlink_command_long_t cmd{};
        if (msg.msgid == MAVLINK_MSG_ID_HEARTBEAT) ++heartbeats;
        if (mavlink_msg_command_long_decode(&msg, &cmd) == 0 && cmd.command == 2) {
            media.push_back(cmd.param1);
        }
    }
    // One heartbeat a second keeps the board's 4 s watchdog fed.
    EXPECT_GE(heartbeats, 3);
    EXPECT_EQ(media, (std::vector<float>{3.0f, 4.0f}));
}

// "photo" is the verb; "snap" stays as its alias. Both send media command 1
// and exit 0 on COMMAND_ACK 2000.
TEST(VbctlEndToEnd, PhotoAndItsAliasSnapTakeAPhoto) {
    FakeBoard board(Script{});
    for (const char* verb : {"photo", "snap"}) {
        const VbctlRun run = run_vbctl(with_port(board.port(), {verb}));
        EXPECT_EQ(run.status, 0) << verb << ": " << run.err;
        EXPECT_EQ(run.out, "photo started\n") << verb;
    }
    int photos = 0;
    for (const mavlink_message_t& msg : board.received()) {
        mavlink_command_long_t cmd{};
        if (mavlink_msg_command_long_decode(&msg, &cmd) == 0 && cmd.command == 2 &&
            cmd.param1 == 1.0f)
            ++photos;
    }
    EXPECT_EQ(photos, 2);
    EXPECT_EQ(run_vbctl({"photo", "extra"}).status, 2);
    EXPECT_NE(run_vbctl({"--help"}).out.find("  photo "), std::string::npos);
}

TEST(VbctlEndToEnd, StatusParamsSetAndTimesync) {
    Script script;
    script.config = {{"alpha", "1"}, {"beta", "two words"}, {"gamma", "3"}};
    FakeBoard board(script);
    const uint16_t port = board.port();

    VbctlRun run = run_vbctl(with_port(port, {"status"}));
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("mode: record\n"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("resolution: 7 (1920x1080 30 fps)"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("sd report: ready (state 0), capacity 32768, free 30000"),
              std::string::npos)
        << run.out;

    run = run_vbctl(with_port(port, {"params"}));
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "alpha = 1\nbeta = two words\ngamma = 3\n");

    run = run_vbctl(with_port(port, {"set", "zoom", "250"}));
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "zoom = 25 (shown in the status report)\n");

    const int64_t before = std::chrono::duration_cast<std::chrono::milliseconds>(
                               std::chrono::system_clock::now().time_since_epoch())
                               .count();
    run = run_vbctl(with_port(port, {"timesync", "--tz-hours", "2"}));
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "board clock set to local time (UTC+2)\n");
    bool seen = false;
    for (const mavlink_message_t& msg : board.received()) {
        mavlink_timesync_t ts{};
        if (mavlink_msg_timesync_decode(&msg, &ts) != 0) continue;
        seen = true;
        EXPECT_GE(ts.tc1, before);
        EXPECT_LT(ts.tc1, before + 60000);
        EXPECT_EQ(ts.ts1, 2);
    }
    EXPECT_TRUE(seen);

    run = run_vbctl(with_port(port, {"watch", "--seconds", "0.7"}));
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find(" HEARTBEAT sys=33(2>1) comp=0"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find(" COMMAND_LONG sys=36(2>4) comp=0"), std::string::npos) << run.out;
}

}  // namespace
