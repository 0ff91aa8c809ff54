// Helpers for the phone-link tests: a reader that parses MAVLink frames from
// a socket, a recorder of what goes to the flight controller, and a recorder
// of posted camera events.
#pragma once

#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "app/mav_dispatch.h"
#include "mav/mavlink_frame.h"
#include "mav/uart_link.h"

// Parses frames arriving on a socket.
class FrameReader {
public:
    explicit FrameReader(int fd) : fd_(fd) { mavlink_parser_reset(&status_); }

    // The next frame that satisfies `want` (earlier ones are skipped), within `ms`.
    std::optional<mavlink_message_t> next(
        int ms, const std::function<bool(const mavlink_message_t&)>& want =
                    [](const mavlink_message_t&) { return true; }) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (true) {
            while (!queue_.empty()) {
                const mavlink_message_t m = queue_.front();
                queue_.pop_front();
                if (want(m)) return m;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                                  end - std::chrono::steady_clock::now())
                                  .count();
            if (left <= 0 || !fill(static_cast<int>(left))) return std::nullopt;
        }
    }
    std::optional<mavlink_message_t> next_id(int ms, uint8_t msgid) {
        return next(ms, [msgid](const mavlink_message_t& m) { return m.msgid == msgid; });
    }
    // Every frame that arrives within `ms`.
    std::vector<mavlink_message_t> drain(int ms) {
        std::vector<mavlink_message_t> all;
        while (auto m = next(ms)) all.push_back(*m);
        return all;
    }
    // True once the peer closed the connection (within `ms`).
    bool closed(int ms) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (!eof_) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                                  end - std::chrono::steady_clock::now())
                                  .count();
            if (left <= 0) return false;
            fill(static_cast<int>(left));
        }
        return true;
    }

private:
    bool fill(int ms) {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, ms) <= 0) return false;
        uint8_t buf[4096];
        const ssize_t n = read(fd_, buf, sizeof buf);
        if (n <= 0) {
            eof_ = true;
            return false;
        }
        for (ssize_t i = 0; i < n; ++i) {
            mavlink_message_t m;
            if (mavlink_parse_char(&status_, buf[i], &m) == 1) queue_.push_back(m);
        }
        return true;
    }

    int fd_;
    bool eof_ = false;
    mavlink_status_t status_{};
    std::deque<mavlink_message_t> queue_;
};

// What the flight-controller link was asked to write.
struct UartRecorder {
    static std::mutex& lock() {
        static std::mutex m;
        return m;
    }
    static std::vector<uint8_t>& bytes() {
        static std::vector<uint8_t> b;
        return b;
    }
    static int write(const uint8_t* data, size_t length) {
        std::lock_guard l(lock());
        bytes().insert(bytes().end(), data, data + length);
        return static_cast<int>(length);
    }
    static void install() {
        clear();
        uart_set_writer(write);
    }
    static void clear() {
        std::lock_guard l(lock());
        bytes().clear();
    }
    static std::vector<uint8_t> raw() {
        std::lock_guard l(lock());
        return bytes();
    }
    static std::vector<mavlink_message_t> frames() {
        mavlink_status_t st{};
        std::vector<mavlink_message_t> out;
        for (uint8_t c : raw()) {
            mavlink_message_t m;
            if (mavlink_parse_char(&st, c, &m) == 1) out.push_back(m);
        }
        return out;
    }
};

// Posted camera events, in order.
struct PostedEvt {
    uint32_t eventno;
    int32_t ival1;
    int32_t ival2;
    std::string text;
    bool operator==(const PostedEvt&) const = default;
};

inline void PrintTo(const PostedEvt& e, std::ostream* os) {
    *os << "{" << e.eventno << ", " << e.ival1 << ", " << e.ival2 << ", \"" << e.text << "\"}";
}

struct EventRecorder {
    static std::vector<PostedEvt>& events() {
        static std::vector<PostedEvt> e;
        return e;
    }
    static int post(uint32_t eventno, int32_t ival1, int32_t ival2, const char* text) {
        events().push_back({eventno, ival1, ival2, text != nullptr ? text : ""});
        return 0;
    }
    static void install() {
        events().clear();
        MavlinkSetEvtPoster(post);
    }
};
