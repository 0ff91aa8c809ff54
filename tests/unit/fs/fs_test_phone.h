// A phone for the file-service tests: one UDP socket on loopback that sends
// requests, receives transport frames and acknowledges them (or not, as the
// test says) to the transport's acknowledgement port.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "fs/fs_wire.h"

struct TestFrame {
    uint32_t stamp;
    std::vector<uint8_t> payload;
};

class TestPhone {
public:
    // Bound to a free port of `ip` (another loopback address plays a
    // stranger on another machine).
    explicit TestPhone(const char* ip = "127.0.0.1") {
        fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in a = addr(0);
        inet_pton(AF_INET, ip, &a.sin_addr);
        bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        socklen_t len = sizeof self_;
        getsockname(fd_, reinterpret_cast<sockaddr*>(&self_), &len);
    }
    ~TestPhone() { close(fd_); }
    TestPhone(const TestPhone&) = delete;
    TestPhone& operator=(const TestPhone&) = delete;

    static sockaddr_in addr(uint16_t port) {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        return a;
    }
    const sockaddr_in& self() const { return self_; }
    // Sends requests and acknowledgements to these ports (a relay's).
    void use_ports(uint16_t file_port, uint16_t ack_port) {
        file_port_ = file_port;
        ack_port_ = ack_port;
    }
    // Hands repeated frames over too (for tests of the retransmissions).
    void keep_repeats() { drop_repeats_ = false; }

    void send_to(uint16_t port, const void* data, size_t len) const {
        const sockaddr_in a = addr(port);
        sendto(fd_, data, len, 0, reinterpret_cast<const sockaddr*>(&a), sizeof a);
    }
    // Sends a message as the request datagram to the file port.
    void request(const mavlink_message_t& msg) const {
        uint8_t buf[MAVLINK_MAX_PACKET_LEN];
        const int len = mavlink_msg_to_send_buffer(buf, &msg);
        send_to(file_port_, buf, static_cast<size_t>(len));
    }
    void ack(uint32_t stamp) const {
        uint8_t rec[RTT_ACK_RECORD_LEN];
        rtt_build_ack(stamp, rec);
        send_to(ack_port_, rec, sizeof rec);
    }

    // Waits up to `ms` for a valid frame; acknowledges it when `ack_it`.
    bool receive(TestFrame* out, int ms, bool ack_it = true) const {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        std::vector<uint8_t>& buf = buf_;
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                                  end - std::chrono::steady_clock::now())
                                  .count();
            if (left <= 0) return false;
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, static_cast<int>(left)) <= 0) continue;
            const ssize_t n = recv(fd_, buf.data(), buf.size(), 0);
            if (n <= 0) continue;
            UdpFrame f{};
            if (udp_parse_frame(std::span(buf.data(), static_cast<size_t>(n)), &f) != 0) continue;
            if (ack_it) ack(f.stamp);
            // A repeat (its acknowledgement came late or was lost) is
            // acknowledged again and dropped, as the phone does.
            if (drop_repeats_ && f.stamp == last_stamp_) continue;
            last_stamp_ = f.stamp;
            out->stamp = f.stamp;
            out->payload.assign(f.payload.begin(), f.payload.end());
            return true;
        }
    }

    // The answer texts and list entries of a tag-0/1 payload.
    static std::vector<mavlink_message_t> messages(const std::vector<uint8_t>& payload) {
        std::vector<mavlink_message_t> out;
        if (payload.empty()) return out;
        mavlink_status_t parser{};
        mavlink_parse_bytes(
            &parser, std::span(payload).subspan(1),
            [](const mavlink_message_t* m, void* ctx) {
                static_cast<std::vector<mavlink_message_t>*>(ctx)->push_back(*m);
            },
            &out);
        return out;
    }
    static std::string answer(const std::vector<uint8_t>& payload) {
        for (const mavlink_message_t& m : messages(payload)) {
            char text[300];
            if (fs_answer_text(&m, text, sizeof text) == 0) return text;
        }
        return {};
    }

private:
    int fd_ = -1;
    sockaddr_in self_{};
    mutable uint32_t last_stamp_ = 0;
    bool drop_repeats_ = true;
    mutable std::vector<uint8_t> buf_ = std::vector<uint8_t>(65536);
    uint16_t file_port_ = FS_FILE_PORT;
    uint16_t ack_port_ = RTT_ACK_PORT;
};
