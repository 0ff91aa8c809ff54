// Download throughput of the file service on loopback, against baselines
// measured in the same run:
// - the stop-and-wait bound S/(S/B + RTT): one full-size datagram out and a
//   6-byte reply back per frame, nothing else (goal: download time <= 1/0.85
//   of it);
// - a plain TCP transfer of the same file (what a user compares with);
// - at 5 % loss in both directions (through the udp-relay tool), the
//   stop-and-wait bound with the same loss and the transport's shortest
//   timeout (goal: within 1.3x).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "../../tests/unit/fs/fs_test_phone.h"
#include "bench_board_root.h"
#include "bench_ratio.h"
#include "fs/fs_service.h"
#include "fs/udp_rtt.h"
#include "state/fs_stream.h"

extern char** environ;

namespace {

namespace fsys = std::filesystem;

constexpr size_t kFileSize = 24u << 20;
constexpr size_t kFrameBytes = FS_BUFFER_SIZE + UDP_FRAME_OVERHEAD;
constexpr size_t kFrames = (kFileSize + FS_DATA_BLOCK - 1) / FS_DATA_BLOCK;
constexpr uint16_t kRelayFilePort = 9857;
constexpr uint16_t kRelayAckPort = 9866;

std::string g_root;
std::string g_file;

// Starts the udp-relay tool between `file_listen`/`ack_listen` and the given
// ports with 5 % loss; its process id, or 0.
pid_t start_relay(uint16_t file_listen, uint16_t ack_listen, uint16_t file_port) {
    const std::string relay = UDP_RELAY_PATH;
    std::vector<std::string> args = {relay,
                                     "--file-listen",
                                     std::to_string(file_listen),
                                     "--ack-listen",
                                     std::to_string(ack_listen),
                                     "--file-port",
                                     std::to_string(file_port),
                                     "--loss",
                                     "0.05",
                                     "--seed",
                                     "7"};
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = 0;
    if (posix_spawn(&pid, relay.c_str(), nullptr, nullptr, argv.data(), environ) != 0) return 0;
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    return pid;
}

void stop_relay(pid_t pid) {
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
}

mavlink_message_t resource(uint8_t transfer, const char* name) {
    mavlink_resource_request_t req{};
    req.uri_type = FS_URI_PIC;
    snprintf(reinterpret_cast<char*>(req.uri), sizeof req.uri, "%s", name);
    req.transfer_type = transfer;
    req.storage[0] = '0';
    mavlink_message_t msg;
    mavlink_msg_resource_request_pack(0x42, 0, 0, &req, &msg);
    return msg;
}

// One whole download as the phone does it; the data bytes received.
size_t download(TestPhone& phone) {
    phone.request(resource(FS_TRANS_DOWNLOAD, "BENCH.JPG"));
    size_t bytes = 0;
    TestFrame f{};
    while (phone.receive(&f, 10000)) {
        if (f.payload[0] == FS_TAG_DATA) {
            bytes += f.payload.size() - 1;
        } else if (TestPhone::answer(f.payload).rfind("TRANSCOMPLETE:", 0) == 0) {
            break;
        }
    }
    return bytes;
}

void stream_off(TestPhone& phone) {
    mavlink_data_stream_t ds{};
    mavlink_message_t msg;
    mavlink_msg_data_stream_pack(0x42, 0, 0, &ds, &msg);
    for (int i = 0; i < 100 && fs_is_stream_on() != 0; ++i) {
        phone.request(msg);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

void BM_Download(benchmark::State& state) {
    TestPhone phone;
    stream_off(phone);
    for (auto _ : state) {
        if (download(phone) != kFileSize) state.SkipWithError("short download");
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kFileSize));
}

// Stop and wait with nothing but the datagrams: a full-size frame out, a
// 6-byte acknowledgement back. With `lossy`, both go through udp-relay with
// 5 % loss in each direction, as the download does, and the sender resends
// after the transport's shortest timeout.
void stop_and_wait(benchmark::State& state, bool lossy) {
    const int tx = socket(AF_INET, SOCK_DGRAM, 0);
    const int rx = socket(AF_INET, SOCK_DGRAM, 0);
    const int size = 8 << 20;
    for (int fd : {tx, rx}) {
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
        setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
        sockaddr_in a = TestPhone::addr(0);
        bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    }
    sockaddr_in rxAddr{};
    socklen_t len = sizeof rxAddr;
    getsockname(rx, reinterpret_cast<sockaddr*>(&rxAddr), &len);
    pid_t relay = 0;
    sockaddr_in to = rxAddr;
    if (lossy) {
        relay = start_relay(kRelayFilePort + 100, kRelayAckPort + 100, ntohs(rxAddr.sin_port));
        if (relay == 0) {
            state.SkipWithError("udp-relay did not start");
            return;
        }
        to = TestPhone::addr(kRelayFilePort + 100);
    }
    std::atomic<bool> stop{false};
    std::thread echo([&] {
        std::vector<uint8_t> buf(65536);
        while (!stop) {
            pollfd p{rx, POLLIN, 0};
            if (poll(&p, 1, 50) <= 0) continue;
            sockaddr_in from{};
            socklen_t fromLen = sizeof from;
            if (recvfrom(rx, buf.data(), buf.size(), 0, reinterpret_cast<sockaddr*>(&from),
                         &fromLen) <= 0) {
                continue;
            }
            sendto(rx, buf.data(), RTT_ACK_RECORD_LEN, 0, reinterpret_cast<sockaddr*>(&from),
                   sizeof from);
        }
    });
    std::vector<uint8_t> frame(kFrameBytes, 0x5A);
    uint8_t ack[64];
    for (auto _ : state) {
        for (size_t i = 0; i < kFrames; ++i) {
            for (;;) {
                sendto(tx, frame.data(), frame.size(), 0, reinterpret_cast<sockaddr*>(&to),
                       sizeof to);
                pollfd p{tx, POLLIN, 0};
                if (poll(&p, 1, RTT_RTO_MIN / 1000) > 0 && recv(tx, ack, sizeof ack, 0) > 0) break;
            }
        }
    }
    stop = true;
    echo.join();
    if (relay != 0) stop_relay(relay);
    close(tx);
    close(rx);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kFileSize));
}

void BM_StopAndWaitBound(benchmark::State& state) {
    stop_and_wait(state, false);
}

void BM_StopAndWaitBoundLoss5(benchmark::State& state) {
    stop_and_wait(state, true);
}

// The same file over a loopback TCP connection, read from the card and sent
// in 64 KiB pieces.
void BM_TcpTransfer(benchmark::State& state) {
    const int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = TestPhone::addr(0);
    bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a);
    listen(listener, 1);
    socklen_t len = sizeof a;
    getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len);
    for (auto _ : state) {
        std::thread sender([&] {
            const int c = accept(listener, nullptr, nullptr);
            FILE* f = fopen(g_file.c_str(), "rb");
            std::vector<char> buf(65536);
            size_t n = 0;
            while ((n = fread(buf.data(), 1, buf.size(), f)) > 0) {
                for (size_t off = 0; off < n;) {
                    const ssize_t w = send(c, buf.data() + off, n - off, MSG_NOSIGNAL);
                    if (w <= 0) break;
                    off += static_cast<size_t>(w);
                }
            }
            fclose(f);
            close(c);
        });
        const int s = socket(AF_INET, SOCK_STREAM, 0);
        connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
        std::vector<char> buf(65536);
        size_t total = 0;
        ssize_t r = 0;
        while ((r = recv(s, buf.data(), buf.size(), 0)) > 0) total += static_cast<size_t>(r);
        close(s);
        sender.join();
        if (total != kFileSize) state.SkipWithError("short TCP transfer");
    }
    close(listener);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kFileSize));
}

void BM_DownloadLoss5(benchmark::State& state) {
    const pid_t pid = start_relay(kRelayFilePort, kRelayAckPort, FS_FILE_PORT);
    if (pid == 0) {
        state.SkipWithError("udp-relay did not start");
        return;
    }
    TestPhone phone;
    phone.use_ports(kRelayFilePort, kRelayAckPort);
    stream_off(phone);
    for (auto _ : state) {
        // A lost request datagram is sent again, as vbctl does.
        size_t got = 0;
        for (int attempt = 0; attempt < 5 && got == 0; ++attempt) got = download(phone);
        if (got != kFileSize) state.SkipWithError("short download through the relay");
    }
    stop_relay(pid);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kFileSize));
}

BENCHMARK(BM_StopAndWaitBound)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Download)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_TcpTransfer)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_StopAndWaitBoundLoss5)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_DownloadLoss5)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    g_root = bench_make_board_root("fs-bench", 32768);
    if (g_root.empty()) return 1;
    const std::string media = g_root + "/tmp/SD0/PLRMEDIA";
    fsys::create_directories(media + "/VIDEO");
    fsys::create_directories(media + "/THUMB");
    fsys::create_directories(media + "/PIC");
    // A photo: its download announces itself without reading a media
    // header (random bytes as a video would send FFmpeg probing the file).
    g_file = media + "/PIC/BENCH.JPG";
    {
        std::vector<char> data(kFileSize);
        std::mt19937 rng(1);
        for (char& c : data) c = static_cast<char>(rng());
        std::ofstream(g_file, std::ios::binary)
            .write(data.data(), static_cast<std::streamsize>(data.size()));
    }
    PLR_UDP_Init();
    PLR_FS_Init();
    const int rc = bench_ratio_main(
        argc, argv,
        {{"BM_Download/iterations:3/real_time", "BM_StopAndWaitBound/iterations:3/real_time",
          "download time / stop-and-wait bound S/(S/B+RTT) time (goal <= 1.18: throughput >= "
          "0.85 of the bound)"},
         {"BM_Download/iterations:3/real_time", "BM_TcpTransfer/iterations:3/real_time",
          "download time / plain TCP transfer of the same file"},
         {"BM_DownloadLoss5/iterations:3/real_time",
          "BM_StopAndWaitBoundLoss5/iterations:3/real_time",
          "download time at 5 % loss / stop-and-wait bound with the same loss (goal <= 1.3)"}});
    PLR_FS_Deinit();
    PLR_UDP_Deinit();
    fsys::remove_all(g_root);
    return rc;
}
