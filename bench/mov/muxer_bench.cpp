// MP4 muxer throughput: 4K-sized H.264 frames pushed through a recorder
// queue and written by a muxer thread into an MP4 file, against a consumer of
// the same queue that writes the same bytes sequentially to a plain file in
// the same directory, with the same flushes to the disk: both flush their
// file at the same interval while they write it and once more when they close
// it (the muxer's journal beside the file comes on top, as when recording).
//
// The interval is scaled to the benchmark's write rate: recording at 100
// Mbit/s flushes once a second, every 12.5 MB; the benchmark writes some 40
// times as fast, so both writers flush every 25 ms.
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "bench_ratio.h"
#include "board/sim/board_sim.h"
#include "core/trace_log.h"
#include "mov/frame_queue.h"
#include "mov/mm_pool.h"
#include "mov/mov_muxer.h"
#include "mp4/mp4_writer.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr int kFrames = 100;
constexpr int kGop = 30;
constexpr size_t kIdrBytes = 500000;  // about 100 Mbit/s at 30 frames/s
constexpr size_t kPBytes = 400000;
constexpr uint64_t kBlock = 524288;
constexpr auto kSyncInterval = std::chrono::milliseconds(25);

// Annex B frames: SPS and PPS before every IDR slice; random payloads with
// emulation prevention (00 00 0x, x <= 3, becomes 00 00 03), so zero bytes are
// as frequent as in coded slices and no start code appears inside a unit.
const std::vector<Bytes>& frames() {
    static const std::vector<Bytes> all = [] {
        std::vector<Bytes> out;
        std::mt19937 rng(7);
        std::uniform_int_distribution<int> byte(0, 255);
        const Bytes sps = {0, 0, 0, 1, 0x67, 0x64, 0x00, 0x33, 0xac, 0xb4, 0x03, 0xc0, 0x11, 0x3f};
        const Bytes pps = {0, 0, 0, 1, 0x68, 0xee, 0x3c, 0xb0};
        for (int i = 0; i < kFrames; ++i) {
            Bytes f;
            const bool idr = i % kGop == 0;
            if (idr) {
                f.insert(f.end(), sps.begin(), sps.end());
                f.insert(f.end(), pps.begin(), pps.end());
            }
            f.insert(f.end(), {0, 0, 0, 1, static_cast<uint8_t>(idr ? 0x65 : 0x41)});
            const size_t payload = idr ? kIdrBytes : kPBytes;
            for (size_t b = 0; b < payload; ++b) {
                auto v = static_cast<uint8_t>(byte(rng));
                const size_t n = f.size();
                if (v <= 3 && f[n - 1] == 0 && f[n - 2] == 0) v = 3;
                f.push_back(v);
            }
            if (f.back() == 0) f.back() = 0x80;  // rbsp trailing bits
            out.push_back(std::move(f));
        }
        return out;
    }();
    return all;
}

// The board root both writers use.
const std::string& directory() {
    static const std::string dir = [] {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "vboard-muxer-bench-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) abort();
        board_sim_set_root(pattern);
        return pattern;
    }();
    return dir;
}

// The pool, and the frames made before any case is timed (making them takes
// seconds, which would otherwise land in the first iteration of the first case).
void ensure_pool() {
    frames();
    static const bool ready = [] {
        MM_POOL_CFG_S cfg{};
        cfg.classCnt = 1;
        cfg.classes[0] = {kBlock, kFrames + 4};
        return MM_POOL_Init(&cfg) == 0;
    }();
    if (!ready) abort();
}

uint32_t free_blocks() {
    MM_CLASS_S info{};
    MM_POOL_GetClassInfo(0, &info);
    return info.freeCnt;
}

uint64_t total_bytes() {
    uint64_t n = 0;
    for (const Bytes& f : frames()) n += f.size();
    return n;
}

// The encoder's stream thread: frames are copied into the queue as they
// come and the consumer is kept busy with a short backlog (recent, so still
// in the cache, as when recording). Throughput is what is measured, not how
// quickly an idle consumer notices a frame: the backlog is there before the
// consumer starts.
constexpr int32_t kLead = 16;

void push(MovCtx* ctx, const Bytes& f) {
    if (PLR_MOV_FrameQueuePush(&ctx->queue, f.data(), static_cast<int32_t>(f.size())) != 0) abort();
}

void prefill(MovCtx* ctx) {
    for (int i = 0; i < kLead; ++i) push(ctx, frames()[static_cast<size_t>(i)]);
}

void produce(MovCtx* ctx) {
    for (size_t i = kLead; i < frames().size(); ++i) {
        while (ctx->queue.count.load() >= kLead)
            std::this_thread::sleep_for(std::chrono::microseconds(20));
        push(ctx, frames()[i]);
    }
}

void wait_drained(uint32_t allFree) {
    while (free_blocks() != allFree) std::this_thread::sleep_for(std::chrono::microseconds(20));
}

// The muxer thread: its file and journal, flushed at the interval and at the close.
void BM_MuxerWrite(benchmark::State& state) {
    ensure_pool();
    TRACE_LOG_DISABLE();
    PLR_MOV_SetSyncIntervalMs(static_cast<uint32_t>(kSyncInterval.count()));
    const std::string& dir = directory();
    static MovCtx ctx;
    PLR_MOV_ContexInit(&ctx);
    const uint32_t allFree = free_blocks();
    for (auto _ : state) {
        snprintf(ctx.path, sizeof ctx.path, "/bench_AA.MP4");
        ctx.fps = 30;
        ctx.width = 3840;
        ctx.height = 2160;
        ctx.profile = 100;
        ctx.sdFreeMb = 1u << 20;
        prefill(&ctx);
        if (PLR_MOV_RecStart(&ctx) != 0) abort();
        produce(&ctx);
        wait_drained(allFree);
        PLR_MOV_RecStop(&ctx);
        PLR_MOV_RecJoin(&ctx);

        state.PauseTiming();
        std::filesystem::remove(dir + "/bench_AA.MP4");
        state.ResumeTiming();
    }
    PLR_MOV_ContexDeinit(&ctx);
    PLR_MOV_SetSyncIntervalMs(MOV_SYNC_INTERVAL_MS_DEFAULT);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * total_bytes()));
}

// Flushes the file behind `fd` to the disk at the interval until stopped, as
// the muxer does for its files while it records.
class IntervalSync {
public:
    explicit IntervalSync(int fd)
        : thread_([this, fd] {
              std::unique_lock lock(lock_);
              while (!wake_.wait_for(lock, kSyncInterval, [this] { return stop_; })) fdatasync(fd);
          }) {}
    ~IntervalSync() {
        {
            std::lock_guard lock(lock_);
            stop_ = true;
        }
        wake_.notify_all();
        thread_.join();
    }

private:
    std::mutex lock_;
    std::condition_variable wake_;
    bool stop_ = false;
    std::thread thread_;
};

// The same queue and producer with a consumer that writes each frame's bytes
// as they are to a plain file, flushed at the interval while it is written
// and once more before it is closed.
void BM_RawWrite(benchmark::State& state) {
    ensure_pool();
    const std::string path = directory() + "/bench_raw.bin";
    static MovCtx ctx;
    PLR_MOV_ContexInit(&ctx);
    const uint32_t allFree = free_blocks();
    for (auto _ : state) {
        std::atomic<bool> stop{false};
        prefill(&ctx);
        std::thread writer([&] {
            const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
            if (fd < 0) abort();
            auto sync = std::make_unique<IntervalSync>(fd);
            for (;;) {
                MM_BUFFER_S* f = PLR_MOV_FrameQueuePop(&ctx.queue);
                if (f == nullptr) {
                    if (stop.load()) break;
                    std::this_thread::sleep_for(std::chrono::microseconds(20));
                    continue;
                }
                if (MP4W_WriteAll(fd, f->data, f->length) != 0) abort();
                PLR_MOV_FrameFree(f);
            }
            sync.reset();
            if (fdatasync(fd) != 0) abort();
            close(fd);
        });
        produce(&ctx);
        wait_drained(allFree);
        stop = true;
        writer.join();

        state.PauseTiming();
        std::filesystem::remove(path);
        state.ResumeTiming();
    }
    PLR_MOV_ContexDeinit(&ctx);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * total_bytes()));
}

BENCHMARK(BM_MuxerWrite)->UseRealTime()->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_RawWrite)->UseRealTime()->Unit(benchmark::kMillisecond)->MinTime(2.0);

}  // namespace

int main(int argc, char** argv) {
    const int rc = bench_ratio_main(
        argc, argv,
        {{"BM_RawWrite/min_time:2.000/real_time", "BM_MuxerWrite/min_time:2.000/real_time",
          "muxer throughput over a raw write of the same bytes with the same flushes (goal 0.9 "
          "or more)"}});
    std::error_code ec;
    std::filesystem::remove_all(directory(), ec);
    return rc;
}
