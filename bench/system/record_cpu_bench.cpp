// What 4K recording costs the system in CPU, the simulated camera and
// encoders left out. The whole camera core runs in this process on a
// temporary board root with its card mounted, in record mode. The CPU the
// process spends is measured over windows of the same length, idle (sensor,
// live-view encoder and stream threads running, no recording) and recording;
// the threads of the simulated platform (sensor, RGA and encoder workers, with
// the encoder's own threads, which inherit their names) are subtracted in
// both. The difference per second of recording is the recording's own cost:
// record stream callbacks, frame queues, the two muxers and their file
// writes. It is given per byte written, since the simulated camera's rate
// follows how busy the machine is.
//
// Two ratios, each against a baseline measured in the same run:
// - the recording with its power-cut protection (journal, flushes once a
//   second) against the same recording without it, in alternating windows:
//   what the protection adds to the cost of a byte;
// - the recording against the CPU of the calling thread writing the same
//   number of bytes, in 64 KiB writes (the muxer's I/O buffer), to a new file
//   in the same directory and closing it (the median of a few such writes per
//   window: the figure is small next to the clock's grain).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bench_board_root.h"
#include "board/board.h"
#include "board/sim/board_sim.h"
#include "core/trace_log.h"
#include "mov/mov_muxer.h"
#include "vcam.h"
#include "vps/vps_ctx.h"
#include "vps/vps_event.h"
#include "vps/vps_pipeline.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr int kRounds = 4;
constexpr auto kWindow = 3s;
constexpr auto kSettle = 1s;
constexpr size_t kWriteChunk = 64 * 1024;
constexpr int kRawWrites = 7;

std::mutex g_mutex;
std::condition_variable g_changed;
std::map<uint32_t, uint32_t> g_noteCount;  // guarded by g_mutex
std::map<uint32_t, int32_t> g_lastRet;     // guarded by g_mutex

int on_note(const VpsEvt* evt) {
    {
        std::lock_guard lock(g_mutex);
        ++g_noteCount[evt->eventno];
        g_lastRet[evt->eventno] = evt->retCode;
    }
    g_changed.notify_all();
    return 0;
}

uint32_t notes(uint32_t eventno) {
    std::lock_guard lock(g_mutex);
    return g_noteCount[eventno];
}

// Waits for the `target`-th notification of `eventno`; its result code, or -999.
int32_t wait_note(uint32_t eventno, uint32_t target) {
    std::unique_lock lock(g_mutex);
    if (!g_changed.wait_for(lock, 60s, [&] { return g_noteCount[eventno] >= target; })) return -999;
    return g_lastRet[eventno];
}

bool wait_until(bool (*done)(), std::chrono::seconds bound = 60s) {
    const auto until = Clock::now() + bound;
    while (!done()) {
        if (Clock::now() > until) return false;
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

int64_t clock_ns(clockid_t id) {
    timespec ts{};
    clock_gettime(id, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

std::string read_line(const std::string& path) {
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    return line;
}

// CPU time of one thread of this process in ns: the scheduler's run time when
// the kernel reports it, else user and system ticks.
int64_t thread_cpu_ns(const std::string& taskDir) {
    const std::string sched = read_line(taskDir + "/schedstat");
    if (!sched.empty()) return std::strtoll(sched.c_str(), nullptr, 10);
    const std::string stat = read_line(taskDir + "/stat");
    const size_t close = stat.rfind(')');
    if (close == std::string::npos) return 0;
    // Fields after the name: state is field 3; utime and stime are 14 and 15.
    std::vector<std::string> fields;
    size_t at = close + 2;
    while (at < stat.size() && fields.size() < 13) {
        const size_t end = stat.find(' ', at);
        fields.push_back(stat.substr(at, end - at));
        if (end == std::string::npos) break;
        at = end + 1;
    }
    if (fields.size() < 13) return 0;
    const int64_t ticks = std::strtoll(fields[11].c_str(), nullptr, 10) +
                          std::strtoll(fields[12].c_str(), nullptr, 10);
    return ticks * 1'000'000'000 / sysconf(_SC_CLK_TCK);
}

// Threads of the simulated platform: the virtual sensor, RGA and encoder
// workers; threads an encoder library starts from its worker carry the
// worker's name.
bool platform_thread(const std::string& name) {
    for (const char* prefix : {"vsensor", "rga", "venc"}) {
        if (name.rfind(prefix, 0) == 0) return true;
    }
    return false;
}

struct CpuSnapshot {
    int64_t processNs = 0;
    std::map<std::string, std::pair<std::string, int64_t>> threads;  // tid -> name, CPU ns
    Clock::time_point at;
};

CpuSnapshot snapshot() {
    CpuSnapshot s;
    s.at = Clock::now();
    s.processNs = clock_ns(CLOCK_PROCESS_CPUTIME_ID);
    std::error_code ec;
    for (const auto& task : fs::directory_iterator("/proc/self/task", ec)) {
        const std::string dir = task.path().string();
        s.threads[task.path().filename().string()] = {read_line(dir + "/comm"), thread_cpu_ns(dir)};
    }
    return s;
}

struct CpuSpan {
    double wallS = 0;
    double systemS = 0;    // process CPU outside the platform's threads
    double platformS = 0;  // CPU of the platform's threads
};

// What the process spent between two snapshots. A platform thread that ended
// in between would count as the system's; the windows hold none.
CpuSpan span(const CpuSnapshot& a, const CpuSnapshot& b) {
    int64_t platformNs = 0;
    for (const auto& [tid, thread] : b.threads) {
        if (!platform_thread(thread.first)) continue;
        const auto before = a.threads.find(tid);
        platformNs += thread.second - (before == a.threads.end() ? 0 : before->second.second);
    }
    CpuSpan out;
    out.wallS = std::chrono::duration<double>(b.at - a.at).count();
    out.platformS = static_cast<double>(platformNs) / 1e9;
    out.systemS = static_cast<double>(b.processNs - a.processNs - platformNs) / 1e9;
    return out;
}

void add(CpuSpan& sum, const CpuSpan& s) {
    sum.wallS += s.wallS;
    sum.systemS += s.systemS;
    sum.platformS += s.platformS;
}

uint64_t video_bytes(const std::string& dir) {
    uint64_t total = 0;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(dir, ec)) {
        struct stat st {};
        if (stat(entry.path().c_str(), &st) == 0 && S_ISREG(st.st_mode))
            total += static_cast<uint64_t>(st.st_size);
    }
    return total;
}

// The baseline: `bytes` written to a new file in `dir` and the file closed;
// the calling thread's CPU in seconds.
double raw_write_cpu(const std::string& dir, uint64_t bytes) {
    static std::vector<uint8_t> chunk = [] {
        std::vector<uint8_t> c(kWriteChunk);
        for (size_t i = 0; i < c.size(); ++i) c[i] = static_cast<uint8_t>(i * 131 + 7);
        return c;
    }();
    const std::string path = dir + "/raw-write.bin";
    const int64_t t0 = clock_ns(CLOCK_THREAD_CPUTIME_ID);
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return 0.0;
    uint64_t left = bytes;
    while (left > 0) {
        const size_t n = static_cast<size_t>(std::min<uint64_t>(left, chunk.size()));
        const ssize_t w = write(fd, chunk.data(), n);
        if (w <= 0) break;
        left -= static_cast<uint64_t>(w);
    }
    close(fd);
    const int64_t t1 = clock_ns(CLOCK_THREAD_CPUTIME_ID);
    unlink(path.c_str());
    return static_cast<double>(t1 - t0) / 1e9;
}

// The recording windows of one kind and what they cost.
struct Recording {
    CpuSpan cpu;
    uint64_t bytes = 0;
    uint64_t sensorFrames = 0;  // frames the sensor showed during the windows
    uint64_t encoderDrops = 0;  // of these, frames the record encoder could not take
    double rawCpuS = 0;         // the baseline: raw writes of the same bytes

    double mib() const { return static_cast<double>(bytes) / (1 << 20); }
    double raw_ms_per_mib() const { return bytes > 0 ? rawCpuS * 1e3 / mib() : 0.0; }

    // Prints the windows' figures; the recording's own CPU-ms per MiB written.
    double report(const char* kind, double idleSysPerS) const {
        const double sysPerS = cpu.systemS / cpu.wallS;
        const double costMsPerS = (sysPerS - idleSysPerS) * 1e3;
        const double msPerMiB = bytes > 0 ? costMsPerS * cpu.wallS / mib() : 0.0;
        printf("  recording %s:\n", kind);
        printf("    %-46s %8.2f MiB/s\n", "written to the card", mib() / cpu.wallS);
        printf("    %-46s %8.1f frames/s (%.1f/s lost by the record encoder)\n", "sensor",
               static_cast<double>(sensorFrames) / cpu.wallS,
               static_cast<double>(encoderDrops) / cpu.wallS);
        printf("    %-46s %8.2f ms/s  (platform %7.1f ms/s)\n", "system CPU", sysPerS * 1e3,
               cpu.platformS / cpu.wallS * 1e3);
        printf("    %-46s %8.2f CPU-ms per second, %.3f per MiB\n", "recording's own cost",
               costMsPerS, msPerMiB);
        return msPerMiB;
    }
};

// One recording: started, measured over a window once it has settled, stopped;
// then the baseline writes of the bytes it added. False when it failed.
bool record_window(const std::string& videoDir, bool listThreads, Recording* r) {
    const uint32_t starts = notes(VPS_EVT_REC_START);
    const uint32_t stops = notes(VPS_EVT_REC_STOP);
    PLR_VPS_SendEvent(VPS_EVT_REC_START);
    if (wait_note(VPS_EVT_REC_START, starts + 1) != 0) return false;
    std::this_thread::sleep_for(kSettle);  // past the first key frame and bitrate set-up
    const auto recChn = static_cast<int32_t>(g_vpsCtx.recVenc.vencChn);
    const uint64_t bytes0 = video_bytes(videoDir);
    const uint32_t frame0 = vcam_sensor_frame_number(0);
    const uint64_t drops0 = vcam_dropped_frames(RK_MOD_VENC, 0, recChn);
    const CpuSnapshot r0 = snapshot();
    std::this_thread::sleep_for(kWindow);
    const CpuSnapshot r1 = snapshot();
    r->sensorFrames += vcam_sensor_frame_number(0) - frame0;
    r->encoderDrops += vcam_dropped_frames(RK_MOD_VENC, 0, recChn) - drops0;
    const uint64_t bytes = video_bytes(videoDir) - bytes0;
    add(r->cpu, span(r0, r1));
    r->bytes += bytes;
    if (listThreads) {
        printf("threads over a recording window:\n");
        for (const auto& [tid, thread] : r1.threads) {
            const auto before = r0.threads.find(tid);
            const int64_t ns =
                thread.second - (before == r0.threads.end() ? 0 : before->second.second);
            printf("  %-8s %-16s %-9s %8.1f ms\n", tid.c_str(), thread.first.c_str(),
                   platform_thread(thread.first) ? "platform" : "system",
                   static_cast<double>(ns) / 1e6);
        }
    }
    PLR_VPS_SendEvent(VPS_EVT_REC_STOP);
    // A stop is told when the file is closed and again when the recorder is idle.
    if (wait_note(VPS_EVT_REC_STOP, stops + 2) == -999 ||
        !wait_until([] { return PLR_VPS_RecState() == MOV_ST_IDLE; }))
        return false;
    std::this_thread::sleep_for(kSettle);
    std::vector<double> raw;
    for (int i = 0; i < kRawWrites; ++i) raw.push_back(raw_write_cpu(videoDir, bytes));
    std::sort(raw.begin(), raw.end());
    r->rawCpuS += raw[raw.size() / 2];
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    const bool listThreads = argc > 1 && strcmp(argv[1], "--threads") == 0;
    const std::string root = bench_make_board_root("vboard-rec-cpu-bench", 8192);
    if (root.empty()) return 1;
    TRACE_LOG_DISABLE();
    const std::string videoDir = root + "/sim/card/PLRMEDIA/VIDEO";

    auto fail = [&](const char* what) {
        fprintf(stderr, "%s\n", what);
        PLR_VPS_Deinit();
        std::error_code ec;
        fs::remove_all(root, ec);
        return 1;
    };

    PLR_VPS_RegEvtCallback(on_note);
    PLR_VPS_Init();
    PLR_VPS_SendEvent(VPS_EVT_SD_INSERT);
    if (wait_note(VPS_EVT_SD_INSERT, 1) == -999 || g_vpsCtx.sdStatus.load() != VPS_SD_OK)
        return fail("the simulated card did not mount");
    PLR_VPS_SendEvent1(VPS_EVT_MODE_SWITCH, VPS_MODE_RECORD);
    if (wait_note(VPS_EVT_MODE_SWITCH, 1) != 0 || g_vpsCtx.vpsMode.load() != VPS_MODE_RECORD)
        return fail("the camera did not switch to record mode");
    std::this_thread::sleep_for(kSettle);

    CpuSpan idle;
    Recording withProtection;
    Recording withoutProtection;
    for (int round = 0; round < kRounds; ++round) {
        const CpuSnapshot i0 = snapshot();
        std::this_thread::sleep_for(kWindow);
        add(idle, span(i0, snapshot()));
        // Alternate which comes first, so that a drift of the machine's load
        // weighs on both alike.
        for (const bool protect : {round % 2 == 0, round % 2 != 0}) {
            PLR_MOV_SetSyncIntervalMs(protect ? MOV_SYNC_INTERVAL_MS_DEFAULT : 0);
            Recording& r = protect ? withProtection : withoutProtection;
            if (!record_window(videoDir, listThreads, &r)) return fail("the recording failed");
        }
    }
    PLR_MOV_SetSyncIntervalMs(MOV_SYNC_INTERVAL_MS_DEFAULT);
    PLR_VPS_Deinit();

    const double idleSysPerS = idle.systemS / idle.wallS;
    printf(
        "record mode, %d x %.0f s idle and %d x %.0f s recording each with and without the "
        "power-cut protection (4K main file and live-view copy)\n",
        kRounds, std::chrono::duration<double>(kWindow).count(), kRounds,
        std::chrono::duration<double>(kWindow).count());
    printf("  %-48s %8.2f ms/s  (platform %7.1f ms/s)\n", "system CPU idle in record mode",
           idleSysPerS * 1e3, idle.platformS / idle.wallS * 1e3);
    const double withMsPerMiB = withProtection.report("with journal and flushes", idleSysPerS);
    const double withoutMsPerMiB =
        withoutProtection.report("without journal and flushes", idleSysPerS);
    const double rawMsPerMiB = withProtection.raw_ms_per_mib();
    printf("  %-48s %8.3f CPU-ms per MiB\n", "baseline: raw write of the same bytes", rawMsPerMiB);
    printf("\n");
    printf("RATIO %-40s %8.3f  (recording cost / raw write) CPU per byte of 4K recording\n",
           "record_cpu_per_byte", rawMsPerMiB > 0 ? withMsPerMiB / rawMsPerMiB : 0.0);
    printf(
        "RATIO %-40s %8.3f  (with / without journal and flushes) CPU per byte of 4K recording, "
        "goal 1.05 or less\n",
        "record_cpu_power_cut_protection",
        withoutMsPerMiB > 0 ? withMsPerMiB / withoutMsPerMiB : 0.0);
    std::error_code ec;
    fs::remove_all(root, ec);
    return 0;
}
