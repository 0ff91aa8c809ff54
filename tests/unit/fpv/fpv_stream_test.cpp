// The live-view server: its queue of three, and the running server sending
// real datagrams to a loopback receiver on a port the test picks.
#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "fpv/fpv_stream.h"
#include "mav/mav_link.h"
#include "mov/mm_pool.h"
#include "state/fs_stream.h"
#include "vps/vps_stream.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes pattern(size_t size, uint8_t seed) {
    Bytes b(size);
    for (size_t i = 0; i < size; ++i) b[i] = static_cast<uint8_t>(seed + i * 7 + i / 251);
    return b;
}

// Every block of the pool is free again.
bool pool_all_free() {
    for (uint32_t c = 0;; ++c) {
        MM_CLASS_S info{};
        if (MM_POOL_GetClassInfo(c, &info) != 0) return true;
        if (info.usedCnt != 0) return false;
    }
}

int open_fd_count() {
    int n = 0;
    if (DIR* dir = opendir("/proc/self/fd")) {
        while (readdir(dir) != nullptr) ++n;
        closedir(dir);
    }
    return n;
}

// A loopback UDP receiver on a port the kernel picks.
class Receiver {
public:
    Receiver() {
        fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        const int size = 4 * 1024 * 1024;
        setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len);
        port_ = ntohs(addr.sin_port);
    }
    ~Receiver() { close(fd_); }
    uint16_t port() const { return port_; }

    // The next datagram within `ms`, or nothing.
    bool next(Bytes* out, int ms = 5000) {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, ms) <= 0) return false;
        out->resize(65536);
        const ssize_t n = recv(fd_, out->data(), out->size(), 0);
        if (n < 0) return false;
        out->resize(static_cast<size_t>(n));
        return true;
    }
    bool quiet() {
        Bytes ignored;
        return !next(&ignored, 0);
    }

private:
    int fd_ = -1;
    uint16_t port_ = 0;
};

class FpvServer : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        MM_POOL_Reset();
        MM_POOL_CFG_S cfg{};
        cfg.classCnt = 2;
        cfg.classes[0] = {65536, 8};
        cfg.classes[1] = {262144, 8};
        ASSERT_EQ(MM_POOL_Init(&cfg), 0);
    }
    static void TearDownTestSuite() { MM_POOL_Reset(); }

    void SetUp() override {
        PLR_FPV_ClientReset();
        fs_set_stream_on(1);
        PLR_VPS_StreamReset();
        ASSERT_EQ(PLR_FPV_StreamInit(rx_.port()), 0);
    }
    void TearDown() override {
        PLR_FPV_StreamDeinit();
        PLR_VPS_StreamReset();
        EXPECT_TRUE(pool_all_free());
    }

    // The phone at 127.0.0.1, connected and ready.
    static void phone_ready() {
        PLR_FPV_SetClient(1);
        PLR_FPV_SetClientConn(FPV_CLIENT_READY);
    }

    // Waits until the send thread has taken `frames` frames in all.
    static bool processed(uint64_t frames) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (std::chrono::steady_clock::now() < end) {
            PlrFpvStats st{};
            PLR_FPV_GetStats(&st);
            if (st.framesSent + st.framesDiscarded >= frames) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return false;
    }

    Receiver rx_;
};

}  // namespace

TEST(FpvFrameQueue, HoldsThreeInOrderDropsTheNewestAndReleasesOnDestroy) {
    MM_POOL_Reset();
    MM_POOL_CFG_S cfg{};
    cfg.classCnt = 1;
    cfg.classes[0] = {4096, 8};
    ASSERT_EQ(MM_POOL_Init(&cfg), 0);

    PlrFpvFrameQueue queue;
    ASSERT_EQ(PLR_FPV_FrameQueueInit(&queue), 0);
    const uint8_t byte = 1;
    EXPECT_EQ(PLR_FPV_FrameQueueAppend(&queue, nullptr, 10), -1);
    EXPECT_EQ(PLR_FPV_FrameQueueAppend(&queue, &byte, 0), -1);
    EXPECT_EQ(PLR_FPV_FrameQueueAppend(&queue, &byte, 8192), -1) << "no block that large";

    const Bytes frames[] = {pattern(100, 1), pattern(2000, 2), pattern(4096, 3), pattern(50, 4)};
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(PLR_FPV_FrameQueueAppend(&queue, frames[i].data(),
                                           static_cast<uint32_t>(frames[i].size())),
                  0);
    }
    EXPECT_EQ(PLR_FPV_FrameQueueAppend(&queue, frames[3].data(), 50), -1);
    EXPECT_EQ(PLR_FPV_FrameQueueCount(&queue), 3);

    for (int i = 0; i < 3; ++i) {
        MM_BUFFER_S* f = PLR_FPV_FrameQueuePop(&queue);
        ASSERT_NE(f, nullptr);
        EXPECT_EQ(Bytes(f->data, f->data + f->length), frames[i]) << "frame " << i;
        EXPECT_EQ(f->next, nullptr);
        PLR_FPV_FrameFree(f);
    }
    EXPECT_EQ(PLR_FPV_FrameQueuePop(&queue), nullptr);

    // Waiting frames go back to the pool; a destroyed queue takes nothing.
    ASSERT_EQ(PLR_FPV_FrameQueueAppend(&queue, frames[0].data(), 100), 0);
    ASSERT_EQ(PLR_FPV_FrameQueueAppend(&queue, frames[1].data(), 2000), 0);
    EXPECT_EQ(PLR_FPV_FrameQueueDestroy(&queue), 0);
    EXPECT_EQ(PLR_FPV_FrameQueueCount(&queue), 0);
    EXPECT_EQ(PLR_FPV_FrameQueueAppend(&queue, frames[0].data(), 100), -1);
    EXPECT_TRUE(pool_all_free());
    MM_POOL_Reset();
}

TEST_F(FpvServer, SendsEachFrameInDatagramsOfAtMost64512Bytes) {
    phone_ready();
    struct Case {
        size_t size;
        std::vector<size_t> datagrams;
    };
    const Case cases[] = {
        {1, {1}},
        {64512, {64512}},
        {64513, {64512, 1}},
        {2 * 64512 + 100, {64512, 64512, 100}},
    };
    uint64_t frames = 0;
    uint8_t seed = 0;
    for (const Case& c : cases) {
        const Bytes frame = pattern(c.size, ++seed);
        ASSERT_EQ(PLR_FPV_AddFrame(frame.data(), static_cast<uint32_t>(frame.size())), 0);
        ASSERT_TRUE(processed(++frames));
        Bytes stream;
        for (size_t expected : c.datagrams) {
            Bytes d;
            ASSERT_TRUE(rx_.next(&d)) << "frame of " << c.size;
            EXPECT_EQ(d.size(), expected) << "frame of " << c.size;
            stream.insert(stream.end(), d.begin(), d.end());
        }
        EXPECT_EQ(stream, frame) << "the datagrams carry the frame's bytes in order, nothing else";
        EXPECT_TRUE(rx_.quiet()) << "frame of " << c.size;
    }
    PlrFpvStats st{};
    PLR_FPV_GetStats(&st);
    EXPECT_EQ(st.framesSent, 4u);
    EXPECT_EQ(st.datagramsSent, 7u);

    const uint8_t byte = 0;
    EXPECT_EQ(PLR_FPV_AddFrame(nullptr, 10), -1);
    EXPECT_EQ(PLR_FPV_AddFrame(&byte, 0), -1);
    EXPECT_EQ(PLR_FPV_BufferSend(nullptr, 10), -1);
    EXPECT_EQ(PLR_FPV_BufferSend(&byte, 0), -1);
}

TEST_F(FpvServer, SendsOnlyWhileTheClientIsReadyAndTheStreamIsOn) {
    struct Case {
        int32_t conn;
        uint32_t streamOn;
        bool sent;
    };
    const Case cases[] = {
        {0, 1, false},  // no client
        {1, 1, false},  // accepted, no heartbeat yet
        {3, 1, false},  // another state reported by the repeater
        {2, 0, false},  // ready, stream switched off
        {2, 1, true},
    };
    PLR_FPV_SetClient(1);
    uint64_t frames = 0;
    for (const Case& c : cases) {
        PLR_FPV_SetClientConn(c.conn);
        fs_set_stream_on(c.streamOn);
        const Bytes frame = pattern(3000, static_cast<uint8_t>(c.conn));
        for (int i = 0; i < 3; ++i) {
            ASSERT_EQ(PLR_FPV_AddFrame(frame.data(), 3000), 0);
            ASSERT_TRUE(processed(++frames)) << "frames are taken off the queue in every state";
        }
        if (c.sent) {
            Bytes d;
            for (int i = 0; i < 3; ++i) {
                ASSERT_TRUE(rx_.next(&d));
                EXPECT_EQ(d, frame);
            }
        }
        EXPECT_TRUE(rx_.quiet()) << "conn " << c.conn << " stream " << c.streamOn;
    }
    PlrFpvStats st{};
    PLR_FPV_GetStats(&st);
    EXPECT_EQ(st.framesSent, 3u);
    EXPECT_EQ(st.framesDiscarded, 12u);
    EXPECT_TRUE(pool_all_free()) << "unsent frames are released too";
}

// Observers get every frame, whatever the phone's state, and nothing after
// their removal.
TEST_F(FpvServer, ObserversGetEveryFrameWhateverThePhonesState) {
    static std::vector<Bytes> observed;
    observed.clear();
    const FpvFrameObserver observer = [](const uint8_t* data, uint32_t size) {
        observed.emplace_back(data, data + size);
    };
    EXPECT_EQ(PLR_FPV_AddFrameObserver(nullptr), -1);
    ASSERT_EQ(PLR_FPV_AddFrameObserver(observer), 0);
    EXPECT_EQ(PLR_FPV_AddFrameObserver(observer), -1) << "added once";
    PLR_FPV_SetClientConn(0);
    const Bytes frame = pattern(5000, 9);
    ASSERT_EQ(PLR_FPV_AddFrame(frame.data(), 5000), 0);
    ASSERT_TRUE(processed(1));
    EXPECT_TRUE(rx_.quiet()) << "no phone, nothing sent";
    ASSERT_EQ(observed.size(), 1u);
    EXPECT_EQ(observed[0], frame);
    EXPECT_EQ(PLR_FPV_RemoveFrameObserver(observer), 0);
    EXPECT_EQ(PLR_FPV_RemoveFrameObserver(observer), -1);
    ASSERT_EQ(PLR_FPV_AddFrame(frame.data(), 5000), 0);
    EXPECT_EQ(observed.size(), 1u);
}

TEST_F(FpvServer, DestinationIsTheClientInThePhoneNetwork) {
    sockaddr_in addr{};
    auto destination = [&] {
        EXPECT_EQ(PLR_FPV_GetServAddr(&addr), 0);
        char text[INET_ADDRSTRLEN] = {};
        inet_ntop(AF_INET, &addr.sin_addr, text, sizeof text);
        return std::string(text) + ":" + std::to_string(ntohs(addr.sin_port));
    };
    const std::string port = std::to_string(rx_.port());
    EXPECT_EQ(destination(), "127.0.0.111:" + port) << "before any phone connected";

    struct Case {
        int32_t host;
        const char* after;
    };
    const Case cases[] = {
        {23, "127.0.0.23"},  {0, "127.0.0.23"},  {-5, "127.0.0.23"},
        {255, "127.0.0.23"}, {23, "127.0.0.23"}, {1, "127.0.0.1"},
    };
    for (const Case& c : cases) {
        PLR_FPV_SetClient(c.host);
        EXPECT_EQ(destination(), std::string(c.after) + ":" + port) << "host " << c.host;
    }

    EXPECT_EQ(PLR_FPV_SetClientConn(2), 0);
    EXPECT_EQ(PLR_FPV_GetClientConn(), 1);
    PLR_FPV_SetClientConn(1);
    EXPECT_EQ(PLR_FPV_GetClientConn(), 0);

    // The frames really go there.
    PLR_FPV_SetClientConn(2);
    const Bytes frame = pattern(500, 9);
    ASSERT_EQ(PLR_FPV_AddFrame(frame.data(), 500), 0);
    Bytes d;
    ASSERT_TRUE(rx_.next(&d));
    EXPECT_EQ(d, frame);
}

TEST_F(FpvServer, RegistersWithTheCameraAndStopsCleanly) {
    EXPECT_EQ(PLR_VPS_RegFpvStreamCallback(PLR_FPV_AddFrame), -1) << "the consumer is registered";
    EXPECT_EQ(PLR_FPV_StreamInit(rx_.port()), -1) << "already running";

    PLR_FPV_StreamDeinit();
    const uint8_t byte = 7;
    EXPECT_EQ(PLR_FPV_AddFrame(&byte, 1), -1) << "frames after the stop are refused";
    EXPECT_EQ(PLR_FPV_StreamDeinit(), 0);

    // A restart opens one socket, and the stop closes it again.
    const int fds = open_fd_count();
    PLR_VPS_StreamReset();
    ASSERT_EQ(PLR_FPV_StreamInit(rx_.port()), 0);
    EXPECT_EQ(open_fd_count(), fds + 1);
    phone_ready();
    ASSERT_EQ(PLR_FPV_AddFrame(&byte, 1), 0);
    Bytes d;
    EXPECT_TRUE(rx_.next(&d));
    PLR_FPV_StreamDeinit();
    EXPECT_EQ(open_fd_count(), fds);
}
