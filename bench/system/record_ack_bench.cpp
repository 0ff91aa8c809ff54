// Delay from the phone's record-start command to the board's COMMAND_ACK
// 2500, p50, on the simulated board run in this process: the camera core on
// a temporary board root with its card mounted, the settings context and the
// phone link on a free loopback port, and a plain TCP client acting as the
// phone (it keeps the link alive with a heartbeat a second). Two series:
//   record mode: start/stop cycles with the camera already in record mode;
//   from photo:  a start sent in photo mode, which switches modes first.
// Baseline, interleaved with the cycles in the same run: the round trip of a
// record stop while nothing records, which the board answers (COMMAND_ACK
// 2501) without any camera work, through the same link, dispatcher, event
// thread and bridge.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "app/app_hooks.h"
#include "bench_board_root.h"
#include "board/board.h"
#include "board/sim/board_sim.h"
#include "core/trace_log.h"
#include "mav/mav_link.h"
#include "mav/mavlink_frame.h"
#include "mav/mavlink_msgs.h"
#include "mov/mov_muxer.h"
#include "vbctl/vbctl_proto.h"
#include "vps/vcs.h"
#include "vps/vps_ctx.h"
#include "vps/vps_event.h"
#include "vps/vps_pipeline.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr int kWarmupCycles = 1;
constexpr int kCycles = 10;
constexpr int kFromPhoto = 3;
constexpr int kBaselinePerCycle = 5;
constexpr auto kRecordFor = 500ms;
constexpr int kAnswerMs = 30000;

double micros(Clock::duration d) {
    return std::chrono::duration<double, std::micro>(d).count();
}

double p50(std::vector<double> samples) {
    std::sort(samples.begin(), samples.end());
    return samples.empty() ? 0.0 : samples[samples.size() / 2];
}

bool wait_until(const std::function<bool()>& done, std::chrono::seconds bound = 60s) {
    const auto until = Clock::now() + bound;
    while (!done()) {
        if (Clock::now() > until) return false;
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

// The phone: a TCP client of the board's link. Frames are parsed as they
// arrive and stamped with the time of the read that completed them.
class Phone {
public:
    ~Phone() { disconnect(); }

    // Connects and waits for the board's first heartbeat; the board may close
    // a connection that lands while it re-creates its listening socket, so a
    // silent connection is tried again.
    bool connect_to(uint16_t port) {
        const auto until = Clock::now() + 20s;
        while (Clock::now() < until) {
            fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_in addr{};
            addr.sin_family = AF_INET;
            addr.sin_port = htons(port);
            addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            if (fd_ >= 0 && connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
                const int one = 1;
                setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
                if (next(2000, [](const mavlink_message_t& m) {
                        return m.msgid == MAVLINK_MSG_ID_HEARTBEAT;
                    })) {
                    stop_.store(false);
                    heartbeats_ = std::thread([this] { heartbeat_loop(); });
                    return true;
                }
            }
            if (fd_ >= 0) close(fd_);
            fd_ = -1;
            eof_ = false;
            queue_.clear();
            std::this_thread::sleep_for(200ms);
        }
        return false;
    }

    void disconnect() {
        stop_.store(true);
        if (heartbeats_.joinable()) heartbeats_.join();
        if (fd_ >= 0) close(fd_);
        fd_ = -1;
    }

    bool send_media(VbctlMedia command) {
        mavlink_message_t msg;
        vbctl_build_media_command(seq_.fetch_add(1), command, &msg);
        return send(msg);
    }

    // The next frame satisfying `want` within `ms` (others are dropped); the
    // time it arrived goes to `at`.
    std::optional<mavlink_message_t> next(int ms,
                                          const std::function<bool(const mavlink_message_t&)>& want,
                                          Clock::time_point* at = nullptr) {
        const auto end = Clock::now() + std::chrono::milliseconds(ms);
        while (true) {
            while (!queue_.empty()) {
                const auto [m, when] = queue_.front();
                queue_.pop_front();
                if (want(m)) {
                    if (at != nullptr) *at = when;
                    return m;
                }
            }
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
            if (left <= 0 || !fill(static_cast<int>(left))) return std::nullopt;
        }
    }

    // Drops everything that arrives within `ms`.
    void drain(int ms) {
        while (next(ms, [](const mavlink_message_t&) { return false; })) {
        }
    }

    bool closed() const { return eof_; }

private:
    bool send(const mavlink_message_t& msg) {
        std::array<uint8_t, MAVLINK_MAX_PACKET_LEN> frame{};
        const int n = mavlink_msg_to_send_buffer(frame, &msg);
        if (n <= 0) return false;
        std::lock_guard lock(writeLock_);
        return ::send(fd_, frame.data(), static_cast<size_t>(n), MSG_NOSIGNAL) == n;
    }

    void heartbeat_loop() {
        while (!stop_.load()) {
            mavlink_message_t msg;
            vbctl_build_heartbeat(seq_.fetch_add(1), &msg);
            send(msg);
            for (int i = 0; i < 10 && !stop_.load(); ++i) std::this_thread::sleep_for(100ms);
        }
    }

    bool fill(int ms) {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, ms) <= 0) return false;
        uint8_t buf[4096];
        const ssize_t n = read(fd_, buf, sizeof buf);
        const Clock::time_point when = Clock::now();
        if (n <= 0) {
            eof_ = true;
            return false;
        }
        for (ssize_t i = 0; i < n; ++i) {
            mavlink_message_t m;
            if (mavlink_parse_char(&parser_, buf[i], &m) == 1) queue_.emplace_back(m, when);
        }
        return true;
    }

    int fd_ = -1;
    bool eof_ = false;
    std::mutex writeLock_;  // heartbeats and commands come from two threads
    std::atomic<uint8_t> seq_{0};
    std::atomic<bool> stop_{true};
    std::thread heartbeats_;
    mavlink_status_t parser_{};
    std::deque<std::pair<mavlink_message_t, Clock::time_point>> queue_;
};

std::function<bool(const mavlink_message_t&)> command_ack(uint16_t command) {
    return [command](const mavlink_message_t& m) {
        if (m.msgid != MAVLINK_MSG_ID_COMMAND_ACK) return false;
        mavlink_command_ack_t ack{};
        mavlink_msg_command_ack_decode(&m, &ack);
        return ack.command == command;
    };
}

uint8_t ack_result(const mavlink_message_t& m) {
    mavlink_command_ack_t ack{};
    mavlink_msg_command_ack_decode(&m, &ack);
    return ack.result;
}

// The camera is idle: no mode switch under way, the recorder stopped.
bool camera_idle() {
    return PLR_VPS_GetVpsStatus() == VPS_STATUS_IDLE && PLR_VPS_RecState() == MOV_ST_IDLE &&
           g_vpsCtx.recRunning.load() == 0;
}

// Switches the camera to `mode` through the link and waits until both the
// camera and the settings context the dispatcher reads have it.
bool switch_mode(Phone& phone, uint32_t mode) {
    if (!phone.send_media(mode == VPS_MODE_RECORD ? VBCTL_MEDIA_RECORD_MODE
                                                  : VBCTL_MEDIA_PHOTO_MODE))
        return false;
    const auto ack = phone.next(kAnswerMs, [](const mavlink_message_t& m) {
        if (m.msgid != MAVLINK_MSG_ID_PELORA_ACK) return false;
        mavlink_pelora_ack_t a{};
        mavlink_msg_pelora_ack_decode(&m, &a);
        return a.data[VBCTL_ACK_ITEM] == 1;
    });
    if (!ack) return false;
    return wait_until([mode] {
        return camera_idle() && g_vpsCtx.vpsMode.load() == mode && PLR_VCS_GetVpsMode() == mode;
    });
}

// One record start timed to its COMMAND_ACK 2500, a short recording, and the
// stop waited for until the camera is idle again. The delay in us, or -1.
double record_cycle(Phone& phone) {
    phone.drain(0);
    Clock::time_point acked;
    const Clock::time_point sent = Clock::now();
    if (!phone.send_media(VBCTL_MEDIA_REC_START)) return -1;
    const auto ack = phone.next(kAnswerMs, command_ack(2500), &acked);
    if (!ack || ack_result(*ack) != 0) {
        fprintf(stderr, "record start: %s\n", ack ? "refused" : "no COMMAND_ACK 2500");
        return -1;
    }
    std::this_thread::sleep_for(kRecordFor);
    if (!phone.send_media(VBCTL_MEDIA_REC_STOP) || !phone.next(kAnswerMs, command_ack(2501)) ||
        !wait_until(camera_idle)) {
        fprintf(stderr, "record stop: the recording did not end\n");
        return -1;
    }
    phone.drain(300);  // the second 2501 (recorder idle) and the reports it caused
    return micros(acked - sent);
}

// The baseline: a record stop while nothing records, answered at once.
double idle_stop(Phone& phone) {
    phone.drain(0);
    Clock::time_point acked;
    const Clock::time_point sent = Clock::now();
    if (!phone.send_media(VBCTL_MEDIA_REC_STOP)) return -1;
    if (!phone.next(kAnswerMs, command_ack(2501), &acked)) {
        fprintf(stderr, "record stop while idle: no COMMAND_ACK 2501\n");
        return -1;
    }
    return micros(acked - sent);
}

}  // namespace

int main() {
    const std::string root = bench_make_board_root("vboard-rec-ack-bench", 8192);
    if (root.empty()) return 1;
    TRACE_LOG_DISABLE();

    PLR_VPS_Init();
    PLR_VCS_Init();
    PLR_VPS_SendEvent(VPS_EVT_SD_INSERT);
    Phone phone;
    std::vector<double> fromPhoto;
    std::vector<double> inRecord;
    std::vector<double> baseline;
    auto run = [&]() -> const char* {
        if (!wait_until([] { return g_vpsCtx.sdStatus.load() == VPS_SD_OK; }))
            return "the simulated card did not mount";
        PLR_APP_HooksInit();
        if (PLR_MAV_Init(0, 0) != 0) return "the phone link did not start";
        if (!phone.connect_to(PLR_MAV_GetTcpPort())) return "the board sent no heartbeat";
        for (int i = 0; i < kFromPhoto; ++i) {
            if (!switch_mode(phone, VPS_MODE_PHOTO)) return "no switch to photo mode";
            std::this_thread::sleep_for(300ms);
            const double us = record_cycle(phone);
            if (us < 0) return "a record cycle from photo mode failed";
            fromPhoto.push_back(us);
        }
        if (!switch_mode(phone, VPS_MODE_RECORD)) return "no switch to record mode";
        for (int i = 0; i < kWarmupCycles + kCycles; ++i) {
            // Alternating with the baseline, so that load from elsewhere falls on both alike.
            for (int b = 0; b < kBaselinePerCycle; ++b) {
                const double us = idle_stop(phone);
                if (us < 0) return "the idle stop was not answered";
                if (i >= kWarmupCycles) baseline.push_back(us);
            }
            const double us = record_cycle(phone);
            if (us < 0) return "a record cycle in record mode failed";
            if (i >= kWarmupCycles) inRecord.push_back(us);
            if (phone.closed()) return "the board closed the link";
        }
        return nullptr;
    };
    const char* error = run();
    phone.disconnect();
    PLR_MAV_Deinit();
    PLR_APP_HooksDeinit();
    PLR_VCS_Deinit();
    PLR_VPS_Deinit();
    std::error_code ec;
    fs::remove_all(root, ec);
    if (error != nullptr) {
        fprintf(stderr, "%s\n", error);
        return 1;
    }

    const double rec = p50(inRecord);
    const double photo = p50(fromPhoto);
    const double base = p50(baseline);
    printf("record start to COMMAND_ACK 2500 over the phone link (loopback TCP)\n");
    printf("  %-52s p50 %10.1f us  (%zu runs)\n", "record start, already in record mode", rec,
           inRecord.size());
    printf("  %-52s p50 %10.1f us  (%zu runs)\n", "record start from photo mode (mode switch)",
           photo, fromPhoto.size());
    printf("  %-52s p50 %10.1f us  (%zu runs)\n", "baseline: record stop while idle (ACK 2501)",
           base, baseline.size());
    printf("\n");
    printf("RATIO %-40s %8.3f  (record start / idle stop) delay to the start's acknowledgement\n",
           "record_start_ack_p50", base > 0 ? rec / base : 0.0);
    printf("RATIO %-40s %8.3f  (start from photo / idle stop) the same with the mode switch\n",
           "record_start_from_photo_ack_p50", base > 0 ? photo / base : 0.0);
    return 0;
}
