// How vboard's heap gives memory back to the system: the C library
// allocator's settings, and a trim of the heap's free memory once an
// operation that churned it (a recording, a mode switch, a download, a
// playback) has ended.
#pragma once

#include <cstdint>

// A trim runs this long after the last request, so that the threads of the
// operation that asked have finished their own teardown.
inline constexpr int64_t PLR_MEM_TRIM_DELAY_MS = 1000;

// Sets the allocator up; first thing in main, before any thread starts.
void PLR_MAIN_MemoryInit();

// An operation with large working buffers has ended: the free memory of every
// heap goes back to the system PLR_MEM_TRIM_DELAY_MS later (a later request
// moves the trim on). Cheap; any thread.
void PLR_MAIN_MemoryTrimRequest();
// The same, made at `nowMs` (steady clock, milliseconds).
void PLR_MAIN_MemoryTrimRequestAt(int64_t nowMs);

// The main loop's poll: trims when a request is due at `nowMs` (steady clock,
// milliseconds). Returns true when it trimmed.
bool PLR_MAIN_MemoryTrimPoll(int64_t nowMs);

// Milliseconds of the steady clock, the time base of the two calls above.
int64_t PLR_MAIN_MemoryNowMs();
