// `vbctl live` end to end against a small fake board: a loopback TCP server
// that sends the board's heartbeat and, once the client has switched the
// stream on, sends an H.264 stream as the board does (frames cut into
// datagrams of 64512 bytes) to port 8856 of the address the link came from.
// Also the picture counter that vbctl's summary rests on.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "../../support/run_program.h"
#include "mav/mavlink_msgs.h"
#include "vbctl/vbctl_proto.h"

extern char** environ;

namespace {

using Bytes = std::vector<uint8_t>;

constexpr size_t kDatagramMax = 64512;

void append(Bytes* out, std::initializer_list<uint8_t> bytes) {
    out->insert(out->end(), bytes);
}
// Payload bytes that never form a start code.
void append_payload(Bytes* out, size_t size, uint8_t seed) {
    for (size_t i = 0; i < size; ++i) out->push_back(static_cast<uint8_t>((seed + i) % 255 + 1));
}

// A key frame (SPS, PPS, IDR slice) of about `size` bytes, or a P frame.
Bytes h264_frame(bool key, size_t size, uint8_t seed) {
    Bytes f;
    if (key) {
        append(&f, {0, 0, 0, 1, 0x67, 0x42, 0xc0, 0x1f, 0xda});
        append(&f, {0, 0, 0, 1, 0x68, 0xce, 0x3c, 0x80});
        append(&f, {0, 0, 0, 1, 0x65, 0x88});
    } else {
        append(&f, {0, 0, 0, 1, 0x41, 0x9a});
    }
    append_payload(&f, size, seed);
    return f;
}

int64_t now_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

class FakeBoard {
public:
    explicit FakeBoard(std::vector<Bytes> frames) : frames_(std::move(frames)) {
        listen_fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        bind(listen_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        listen(listen_fd_, 1);
        getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&addr), &len);
        port_ = ntohs(addr.sin_port);
        udp_fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        thread_ = std::thread([this] { run(); });
    }
    ~FakeBoard() {
        stop_ = true;
        thread_.join();
        close(listen_fd_);
        close(udp_fd_);
    }
    uint16_t port() const { return port_; }
    std::string peer() {
        std::lock_guard lock(mutex_);
        return peer_;
    }
    bool stream_switched_on() const { return stream_on_; }

private:
    void send_msg(int fd, mavlink_message_t* msg) {
        uint8_t buf[MAVLINK_MAX_PACKET_LEN];
        const int n = mavlink_msg_to_send_buffer(buf, msg);
        if (n > 0) (void)!send(fd, buf, static_cast<size_t>(n), MSG_NOSIGNAL);
    }

    // The frames, each cut into datagrams, to the client's port 8856.
    void send_stream(const sockaddr_in& client) {
        sockaddr_in dest = client;
        dest.sin_port = htons(8856);
        for (const Bytes& frame : frames_) {
            for (size_t at = 0; at < frame.size(); at += kDatagramMax) {
                const size_t n = std::min(kDatagramMax, frame.size() - at);
                sendto(udp_fd_, frame.data() + at, n, 0, reinterpret_cast<sockaddr*>(&dest),
                       sizeof dest);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }

    void serve(int fd, const sockaddr_in& client) {
        mavlink_status_t parser{};
        int64_t next_hb = 0;
        bool sent = false;
        uint8_t seq = 0;
        while (!stop_) {
            if (now_ms() >= next_hb) {
                const mavlink_heartbeat_t hb{0, 0, 0, 0, 0, 3};
                mavlink_message_t msg;
                mavlink_msg_heartbeat_pack(33, 0, seq++, &hb, &msg);
                send_msg(fd, &msg);
                next_hb = now_ms() + 300;
            }
            if (stream_on_ && !sent) {
                send_stream(client);
                sent = true;
            }
            pollfd pfd{fd, POLLIN, 0};
            if (poll(&pfd, 1, 20) <= 0) continue;
            uint8_t buf[4096];
            const ssize_t n = recv(fd, buf, sizeof buf, 0);
            if (n <= 0) return;
            for (ssize_t i = 0; i < n; ++i) {
                mavlink_message_t msg;
                if (mavlink_parse_char(&parser, buf[i], &msg) != 1) continue;
                mavlink_data_stream_t ds{};
                if (mavlink_msg_data_stream_decode(&msg, &ds) == 0 && ds.on_off == 1) {
                    stream_on_ = true;
                }
            }
        }
    }

    void run() {
        while (!stop_) {
            pollfd pfd{listen_fd_, POLLIN, 0};
            if (poll(&pfd, 1, 20) <= 0) continue;
            sockaddr_in client{};
            socklen_t len = sizeof client;
            const int fd = accept(listen_fd_, reinterpret_cast<sockaddr*>(&client), &len);
            if (fd < 0) continue;
            char text[INET_ADDRSTRLEN] = {};
            inet_ntop(AF_INET, &client.sin_addr, text, sizeof text);
            {
                std::lock_guard lock(mutex_);
                peer_ = text;
            }
            serve(fd, client);
            close(fd);
        }
    }

    std::vector<Bytes> frames_;
    int listen_fd_ = -1;
    int udp_fd_ = -1;
    uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<bool> stream_on_{false};
    std::mutex mutex_;
    std::string peer_;
    std::thread thread_;
};

using VbctlRun = ProgramRun;

VbctlRun run_vbctl(const std::vector<std::string>& args) {
    return run_program(VBCTL_PATH, args);
}

// A loopback address of this test's own, so that a board or another test
// receiving on 127.0.0.1:8856 meanwhile is not disturbed.
std::string own_loopback_address() {
    return "127.0.0." + std::to_string(2 + getpid() % 100);
}

}  // namespace

TEST(VbctlH264Scan, CountsPicturesAcrossAnyCut) {
    Bytes stream = h264_frame(true, 300, 1);
    for (int i = 0; i < 4; ++i) {
        const Bytes p = h264_frame(false, 50 + i, static_cast<uint8_t>(i));
        stream.insert(stream.end(), p.begin(), p.end());
    }
    // A second slice of the last picture (first_mb_in_slice 1), with a
    // three-byte start code: a NAL unit, not a picture.
    append(&stream, {0, 0, 1, 0x41, 0x40, 0x11});

    for (size_t cut : {stream.size(), size_t{1}, size_t{2}, size_t{3}, size_t{7}}) {
        VbctlH264Scan scan;
        for (size_t at = 0; at < stream.size(); at += cut) {
            vbctl_h264_scan(&scan, stream.data() + at, std::min(cut, stream.size() - at));
        }
        EXPECT_EQ(scan.pictures, 5u) << "pieces of " << cut;
        EXPECT_EQ(scan.nal_units, 3u + 4u + 1u) << "pieces of " << cut;
    }
}

TEST(VbctlH264Scan, KeyFramesStartWithAnSpsOrIdrUnit) {
    EXPECT_EQ(vbctl_h264_starts_key(h264_frame(true, 10, 0).data(), 20), 1);
    EXPECT_EQ(vbctl_h264_starts_key(h264_frame(false, 10, 0).data(), 16), 0);
    const uint8_t idr3[] = {0, 0, 1, 0x65, 0x88};
    const uint8_t cut[] = {0, 0, 0, 1};
    const uint8_t middle[] = {0x12, 0, 0, 0, 1, 0x67};
    EXPECT_EQ(vbctl_h264_starts_key(idr3, sizeof idr3), 1);
    EXPECT_EQ(vbctl_h264_starts_key(cut, sizeof cut), 0);
    EXPECT_EQ(vbctl_h264_starts_key(middle, sizeof middle), 0);
}

TEST(VbctlLive, WritesTheLiveViewFromTheFirstKeyFrame) {
    std::vector<Bytes> frames;
    frames.push_back(h264_frame(false, 800, 1));    // joined mid-way: left out
    frames.push_back(h264_frame(true, 100000, 3));  // two datagrams
    for (int i = 0; i < 9; ++i) frames.push_back(h264_frame(false, 1500 + i * 10, 5));
    FakeBoard board(frames);
    const std::string address = own_loopback_address();
    const std::string file =
        testing::TempDir() + "vbctl_live_" + std::to_string(getpid()) + ".h264";

    const VbctlRun run = run_vbctl({"--port", std::to_string(board.port()), "--timeout", "3",
                                    "--bind", address, "live", "-o", file, "--seconds", "1.5"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(board.stream_switched_on()) << "DATA_STREAM on_off 1 was sent";
    EXPECT_EQ(board.peer(), address) << "the link comes from the receiving address";
    EXPECT_NE(run.out.find("live view: 10 frames, 11 datagrams"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("left out 1 datagram"), std::string::npos) << run.out;

    std::string expected;
    for (size_t i = 1; i < frames.size(); ++i) expected.append(frames[i].begin(), frames[i].end());
    EXPECT_TRUE(slurp(file) == expected) << "the file is the stream, byte for byte";
    unlink(file.c_str());
}

TEST(VbctlLive, FailsWhenNoFrameArrivesAndNeedsAnOutputFile) {
    FakeBoard board({});
    const std::string file = testing::TempDir() + "vbctl_live_none_" + std::to_string(getpid());
    const VbctlRun run =
        run_vbctl({"--port", std::to_string(board.port()), "--timeout", "3", "--bind",
                   own_loopback_address(), "live", "-o", file, "--seconds", "0.5"});
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("no live-view frame arrived"), std::string::npos) << run.err;
    unlink(file.c_str());

    EXPECT_EQ(run_vbctl({"live", "--seconds", "1"}).status, 2);
    EXPECT_EQ(run_vbctl({"live", "-o", file, "--bind", "nowhere"}).status, 2);
}
