// The live view for browsers: the live-view encoder's H.264 access units,
// taken from the live view's frame observer, muxed by libavformat into
// fragmented MP4 (one fragment per frame, so a fragment waits only for the
// next frame). Media Source Extensions in the page play it.
//
// The observer only copies a frame into a short queue (a full queue drops
// the frame and the ones up to the next key frame); a thread of this module
// muxes. Fragments go into a ring that every browser reads at its own pace:
// a reader that falls behind the ring skips to the newest key frame, so a
// browser that stops reading holds back nobody.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

struct WebLiveFragment {
    uint64_t seq;        // 1, 2, ... in the order muxed
    uint32_t initGen;    // the init segment this fragment follows
    bool key;            // starts with a key frame: a reader may begin here
    std::string bytes;   // moof + mdat
};

struct WebLiveInit {
    uint32_t gen;        // 0 until the first key frame with its parameter sets
    std::string codec;   // MSE codec string, e.g. avc1.64001f
    int64_t t0WallMs;    // board wall time of presentation time 0, in ms
    std::string bytes;   // ftyp + moov
};

// Starts the muxer thread and adds the frame observer; `wake` is called
// after each fragment (from the muxer thread). 0 or -1.
int web_live_start(void (*wake)());
// Removes the observer, stops the thread, drops the ring.
void web_live_stop();

// The current init segment (gen 0: none yet).
WebLiveInit web_live_init();

// The next fragment for a reader at `*cursor` (0 for a new reader: it waits
// for a key frame). Null when there is none yet; a reader fallen out of the
// ring is moved to the newest key frame. Advances *cursor.
std::shared_ptr<const WebLiveFragment> web_live_next(uint64_t* cursor);

// Counters for tests and diagnostics.
struct WebLiveStats {
    uint64_t framesIn;
    uint64_t framesDropped;
    uint64_t fragments;
};
WebLiveStats web_live_stats();
