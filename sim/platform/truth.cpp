// What the scene really shows, for tests: the landing pad's switch (a file
// in the board root) and the log of the true boxes of the pictures the vision
// stream delivers. Both live in the board root's sim/ directory and do
// nothing when the process has no board root.
#include <sys/time.h>

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
constexpr uint32_t kTruthLines = 18000;   // lines per log file (10 min at 30 frames/s)
constexpr uint32_t kTruthWidth = 640;     // boxes are given in pixels of the vision stream
constexpr uint32_t kTruthHeight = 360;

std::atomic<uint64_t> g_padCheckedUs{0};
std::atomic<bool> g_padShown{true};

std::mutex g_truthMutex;  // the log file below
FILE* g_truth = nullptr;
std::string g_truthPath;
uint32_t g_truthCount = 0;

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
    const std::string path = board_path(kVcamTruthLog);
    if (g_truth != nullptr && (path != g_truthPath || g_truthCount >= kTruthLines)) {
        fclose(g_truth);
        g_truth = nullptr;
        if (path == g_truthPath) {
            std::error_code ec;
            std::filesystem::rename(path, path + ".1", ec);
        }
    }
    if (g_truth == nullptr) {
        std::error_code ec;
        std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ec);
        g_truth = fopen(path.c_str(), "ae");
        if (g_truth == nullptr) return;
        g_truthPath = path;
        g_truthCount = 0;
    }
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
    ++g_truthCount;
}

void truth_close() {
    std::lock_guard lock(g_truthMutex);
    if (g_truth != nullptr) fclose(g_truth);
    g_truth = nullptr;
    g_truthPath.clear();
    g_truthCount = 0;
    g_padCheckedUs.store(0);  // the next picture looks at the switch file again
}

}  // namespace vsim
