// The live-stream switch: the phone switches the live view on and off with
// DATA_STREAM on its MAVLink link; the live view and the file service exclude
// each other through it. It starts on.
//
// The switch belongs to the file service, which will hold it in its own
// record; until then it is this one word. It is header-only because both the
// phone link (which sets it) and the live view (which reads it) use it, and the
// live view's library already depends on the phone link's.
#pragma once

#include <atomic>
#include <cstdint>

inline std::atomic<uint32_t> g_fsStreamOn{1};

// 1 while the live stream is switched on, else 0.
inline uint32_t fs_is_stream_on() {
    return g_fsStreamOn.load();
}

// Switches the live stream on (non-zero flag) or off. Returns 0.
inline int fs_set_stream_on(uint32_t flag) {
    g_fsStreamOn.store(flag != 0 ? 1u : 0u);
    return 0;
}
