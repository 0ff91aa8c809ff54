// What the scene really shows, for tests: the landing pad's switch and the
// log of the true boxes of every frame of camera 0, kept while its file
// exists. Both are files in the board root's sim/ directory; nothing happens
// when the process has no board root.
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <string>

#include "board/board.h"
#include "board/sim/board_sim.h"
#include "internal.h"
#include "vcam.h"

namespace vsim {
namespace {

constexpr uint64_t kPadCheckUs = 500000;  // the switch file is looked at twice a second
constexpr uint64_t kTruthCheckUs = 500000;
constexpr uint32_t kTruthLines = 18000;  // lines per log file (10 min at 30 frames/s)
constexpr uint32_t kTruthWidth = 640;    // boxes are given in pixels of the vision stream
constexpr uint32_t kTruthHeight = 360;

std::atomic<uint64_t> g_padCheckedUs{0};
std::atomic<bool> g_padShown{true};

std::mutex g_truthMutex;  // the log file below
FILE* g_truth = nullptr;
std::string g_truthPath;
uint32_t g_truthCount = 0;
uint64_t g_truthCheckedUs = 0;

}  // namespace

bool scene_pad_in_view() {
    const uint64_t now = now_us();
    const uint64_t last = g_padCheckedUs.load();
    if (last != 0 && now - last < kPadCheckUs) return g_padShown.load();
    g_padCheckedUs.store(now);
    const bool shown = board_sim_root().empty() || !board_file_exists(kVcamNoPadFile);
    g_padShown.store(shown);
    return shown;
}

void truth_note(uint32_t frameNo, bool padShown) {
    if (board_sim_root().empty()) return;
    std::lock_guard lock(g_truthMutex);
    const uint64_t now = now_us();
    if (g_truthCheckedUs == 0 || now - g_truthCheckedUs >= kTruthCheckUs) {
        // The log is kept only while its file exists: whoever wants it creates it.
        g_truthCheckedUs = now;
        const std::string path = board_path(kVcamTruthLog);
        const bool wanted = access(path.c_str(), F_OK) == 0;
        if (g_truth != nullptr && (!wanted || path != g_truthPath)) {
            fclose(g_truth);
            g_truth = nullptr;
        }
        if (wanted && g_truth == nullptr) {
            g_truth = fopen(path.c_str(), "ae");
            g_truthPath = path;
            g_truthCount = 0;
        }
    }
    if (g_truth == nullptr) return;
    timeval tv{};
    board_clock_gettimeofday(&tv);
    const auto ms = static_cast<unsigned long long>(tv.tv_sec) * 1000ull +
                    static_cast<unsigned long long>(tv.tv_usec) / 1000ull;
    uint32_t target[4];
    uint32_t pad[4] = {0, 0, 0, 0};
    vcam_target_box(frameNo, kTruthWidth, kTruthHeight, target);
    if (padShown) vcam_pad_box(frameNo, kTruthWidth, kTruthHeight, pad);
    fprintf(g_truth, "%llu %u target %u %u %u %u pad %u %u %u %u\n", ms, frameNo, target[0],
            target[1], target[2], target[3], pad[0], pad[1], pad[2], pad[3]);
    fflush(g_truth);
    if (++g_truthCount >= kTruthLines) {
        // Bounded: the older lines move to a second file and a new one begins.
        fclose(g_truth);
        std::error_code ec;
        std::filesystem::rename(g_truthPath, g_truthPath + ".1", ec);
        g_truth = fopen(g_truthPath.c_str(), "ae");
        g_truthCount = 0;
    }
}

void truth_close() {
    std::lock_guard lock(g_truthMutex);
    if (g_truth != nullptr) fclose(g_truth);
    g_truth = nullptr;
    g_truthPath.clear();
    g_truthCount = 0;
    g_truthCheckedUs = 0;
    g_padCheckedUs.store(0);  // the next picture looks at the switch files again
}

}  // namespace vsim
