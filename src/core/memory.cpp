#include "core/memory.h"

#include <malloc.h>

#include <atomic>
#include <chrono>

namespace {

// Buffers of picture size (frames, photos, their encoder and muxer copies) are
// taken from and given back to the system directly. With the C library's
// adaptive threshold a freed big buffer raises the threshold, later ones come
// from the heap arenas of whichever thread asked, and the memory stays with
// the process: in five minutes of photos and recordings RSS climbed to about
// 290 MiB and was still rising, against about 160 MiB with a fixed threshold.
constexpr int kMmapThresholdBytes = 256 * 1024;

// The allocator gives threads that allocate at the same moment heaps (arenas)
// of their own, up to eight per core. Free memory inside an arena stays with
// it; with twenty-odd threads the board had 15 arenas, each holding a few MiB
// more or less from one operation to the next. Two arenas keep that in one
// place (threads allocate from their own per-thread caches first).
constexpr int kArenaMax = 2;

constexpr int64_t kNoTrim = INT64_MAX;
std::atomic<int64_t> g_trimDueMs{kNoTrim};

}  // namespace

void PLR_MAIN_MemoryInit() {
#ifdef M_MMAP_THRESHOLD
    mallopt(M_MMAP_THRESHOLD, kMmapThresholdBytes);
#endif
#ifdef M_ARENA_MAX
    mallopt(M_ARENA_MAX, kArenaMax);
#endif
}

int64_t PLR_MAIN_MemoryNowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void PLR_MAIN_MemoryTrimRequest() {
    PLR_MAIN_MemoryTrimRequestAt(PLR_MAIN_MemoryNowMs());
}

void PLR_MAIN_MemoryTrimRequestAt(int64_t nowMs) {
    g_trimDueMs.store(nowMs + PLR_MEM_TRIM_DELAY_MS);
}

bool PLR_MAIN_MemoryTrimPoll(int64_t nowMs) {
    int64_t due = g_trimDueMs.load();
    if (due == kNoTrim || nowMs < due) return false;
    // A request that came meanwhile moved the trim on: it waits for that one.
    if (!g_trimDueMs.compare_exchange_strong(due, kNoTrim)) return false;
    // Returns the free pages inside every arena too, not only the tops of the
    // heaps that the allocator trims by itself.
    malloc_trim(0);
    return true;
}
