// Live-view delay: from handing a frame to the server (the camera core's
// callback) until its last datagram has arrived at a loopback receiver, p50
// and p99, against a bare non-blocking UDP send of the same bytes in the same
// datagrams to the same receiver, measured in the same run. Two frame sizes:
// a typical live-view P frame and a key frame that takes two datagrams.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

#include "fpv/fpv_stream.h"
#include "mav/mav_link.h"
#include "mov/mm_pool.h"
#include "state/fs_stream.h"

namespace {

using Clock = std::chrono::steady_clock;

int64_t now_ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
        .count();
}

struct Stats {
    double p50;
    double p99;
};

Stats percentiles(std::vector<int64_t> samples) {
    std::sort(samples.begin(), samples.end());
    auto at = [&](double q) {
        const size_t i = std::min(samples.size() - 1,
                                  static_cast<size_t>(q * static_cast<double>(samples.size())));
        return static_cast<double>(samples[i]) / 1000.0;  // microseconds
    };
    return {at(0.50), at(0.99)};
}

// Receives datagrams until `bytes` have arrived; false on a 1 s silence.
bool receive(int fd, size_t bytes) {
    static std::vector<uint8_t> buf(65536);
    size_t got = 0;
    while (got < bytes) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 1000) <= 0) return false;
        const ssize_t n = recv(fd, buf.data(), buf.size(), 0);
        if (n <= 0) return false;
        got += static_cast<size_t>(n);
    }
    return true;
}

// The baseline: the frame's datagrams sent straight from the caller.
void bare_send(int fd, const sockaddr_in& dest, const std::vector<uint8_t>& frame) {
    for (size_t at = 0; at < frame.size(); at += FPV_DATAGRAM_MAX) {
        const size_t n = std::min<size_t>(FPV_DATAGRAM_MAX, frame.size() - at);
        sendto(fd, frame.data() + at, n, 0, reinterpret_cast<const sockaddr*>(&dest), sizeof dest);
    }
}

}  // namespace

int main() {
    constexpr int kSamples = 5000;
    constexpr int kWarmup = 200;
    const size_t kSizes[] = {4096, 100000};

    MM_POOL_CFG_S cfg{};
    cfg.classCnt = 1;
    cfg.classes[0] = {819200, 8};
    if (MM_POOL_Init(&cfg) != 0) {
        fprintf(stderr, "buffer pool could not be set up\n");
        return 1;
    }

    const int rx = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const int rcvbuf = 4 * 1024 * 1024;
    setsockopt(rx, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
    sockaddr_in dest{};
    dest.sin_family = AF_INET;
    dest.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof dest;
    if (bind(rx, reinterpret_cast<sockaddr*>(&dest), sizeof dest) != 0 ||
        getsockname(rx, reinterpret_cast<sockaddr*>(&dest), &len) != 0) {
        fprintf(stderr, "receiver could not be bound\n");
        return 1;
    }

    // The phone at 127.0.0.1 (on the receiver's port), ready, stream on.
    PLR_FPV_SetClient(1);
    PLR_FPV_SetClientConn(FPV_CLIENT_READY);
    fs_set_stream_on(1);
    if (PLR_FPV_StreamInit(ntohs(dest.sin_port)) != 0) {
        fprintf(stderr, "live-view server could not be started\n");
        return 1;
    }
    const int bare = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    const int sndbuf = FPV_SNDBUF_SIZE;
    setsockopt(bare, SOL_SOCKET, SO_SNDBUF, &sndbuf, sizeof sndbuf);

    printf("frame hand-over to last datagram received, %d samples each\n", kSamples);
    for (size_t size : kSizes) {
        std::vector<uint8_t> frame(size);
        for (size_t i = 0; i < size; ++i) frame[i] = static_cast<uint8_t>(i * 13);
        std::vector<int64_t> fpvSamples;
        std::vector<int64_t> bareSamples;
        auto fpv_once = [&] {
            const int64_t t0 = now_ns();
            PLR_FPV_AddFrame(frame.data(), static_cast<uint32_t>(size));
            const bool ok = receive(rx, size);
            return ok ? now_ns() - t0 : -1;
        };
        auto bare_once = [&] {
            const int64_t t0 = now_ns();
            bare_send(bare, dest, frame);
            const bool ok = receive(rx, size);
            return ok ? now_ns() - t0 : -1;
        };
        for (int i = 0; i < kWarmup; ++i) {
            fpv_once();
            bare_once();
        }
        // Alternating samples, so that load from elsewhere falls on both alike.
        for (int i = 0; i < kSamples; ++i) {
            const int64_t f = fpv_once();
            const int64_t b = bare_once();
            if (f < 0 || b < 0) {
                fprintf(stderr, "a frame was lost on loopback\n");
                return 1;
            }
            fpvSamples.push_back(f);
            bareSamples.push_back(b);
        }
        const Stats fpv = percentiles(fpvSamples);
        const Stats base = percentiles(bareSamples);
        printf("  %6zu bytes  %-26s p50 %8.2f us   p99 %8.2f us\n", size, "live-view server",
               fpv.p50, fpv.p99);
        printf("  %6zu bytes  %-26s p50 %8.2f us   p99 %8.2f us\n", size, "bare UDP send", base.p50,
               base.p99);
        char name[64];
        snprintf(name, sizeof name, "fpv_delay_%zu_p50", size);
        printf("RATIO %-40s %8.3f  (server / bare send) live-view delay at the median\n", name,
               fpv.p50 / base.p50);
        snprintf(name, sizeof name, "fpv_delay_%zu_p99", size);
        printf("RATIO %-40s %8.3f  (server / bare send) live-view delay at the 99th percentile\n",
               name, fpv.p99 / base.p99);
    }

    PLR_FPV_StreamDeinit();
    close(bare);
    close(rx);
    return 0;
}
