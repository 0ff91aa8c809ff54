// Frame queues between an encoder stream thread (producer) and a muxer thread
// (consumer), and the recorder context that carries one recording: its queue
// and everything its muxer thread needs. Frames are pooled buffers; whoever
// pops a frame owns it and gives it back with PLR_MOV_FrameFree.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <thread>

#include "mov/mm_pool.h"

// Frames that may wait in one queue; a push beyond this is refused.
inline constexpr int32_t MOV_FRAME_QUEUE_MAX = 151;
inline constexpr size_t MOV_PATH_SIZE = 256;

struct MovFrameQueue {
    MM_BUFFER_S* head = nullptr;  // oldest frame; guarded by lock
    MM_BUFFER_S* tail = nullptr;  // newest frame; guarded by lock
    // Changed under lock; read without it by pop's empty test and by the
    // producer, which watches how far the muxer lags.
    std::atomic<uint32_t> bytes{0};
    std::atomic<int32_t> count{0};
    std::mutex lock;
    // Signalled when a frame arrives, so that a consumer waiting for one
    // starts at once instead of at its next poll.
    std::condition_variable ready;
};

enum MovState : uint32_t {
    MOV_ST_IDLE = 0,       // the muxer thread has finished
    MOV_ST_STARTING = 1,   // start requested, thread not yet running
    MOV_ST_RUNNING = 2,    // thread running, file not yet created
    MOV_ST_RECORDING = 3,  // file created, frames being written
    MOV_ST_SPLIT = 4,      // size limit reached, file closing so the next can follow
    MOV_ST_CLOSED = 5,     // file closed
    MOV_ST_FAILED = 6,     // thread not started, or file not created or written
    MOV_ST_SD_FULL = 7,    // card down to its reserve; file finished
};

// Called with every new recorder state.
using MovStateCb = void (*)(uint32_t state);

// Time-lapse recording: keep every interval-th key frame until the file holds
// duration seconds of video.
struct MovTimeLapse {
    std::atomic<uint8_t> interval{0};
    std::atomic<uint8_t> duration{0};  // seconds of finished video
    std::atomic<uint32_t> frames{0};   // frames written so far
    std::atomic<uint32_t> paused{0};   // non-zero drops every frame
    std::atomic<uint32_t> active{0};   // non-zero: a time-lapse recording
};

// One recording in progress. Fields that the event thread, the producer and
// the muxer thread use while the others run are atomic; fps, picture size,
// profile, path, stateCb and sdFreeMb are filled before the muxer thread starts
// and only read afterwards.
struct MovCtx {
    MovFrameQueue queue;
    std::atomic<uint32_t> gop{0};  // key-frame interval of the source encoder
    uint32_t fps = 0;              // frame rate of the file: the muxer's time base
    MovTimeLapse tlapse;
    uint32_t width = 0;
    uint32_t height = 0;
    uint32_t profile = 0;  // 66, 77 or 100
    char path[MOV_PATH_SIZE] = {};
    std::atomic<uint32_t> split{0};    // the file ended at its size limit; the next must follow
    uint32_t sdFreeMb = 0;             // free card space at the start, MiB
    std::atomic<uint32_t> bitrate{0};  // nominal at start, then measured, bit/s
    std::thread thread;                // the muxer thread
    std::atomic<uint32_t> stop{0};     // 1 = stop requested
    std::atomic<uint32_t> state{MOV_ST_IDLE};
    MovStateCb stateCb = nullptr;
    // Pictures written to the current file; its recorded seconds are pictures / fps.
    std::atomic<uint32_t> pictures{0};
};

// 0; -1 for null. Empties the queue's bookkeeping (frames still linked are not released).
int PLR_MOV_FrameQueueInit(MovFrameQueue* queue);
// Copies `length` bytes into a pooled buffer and appends it: 0; -1 for null
// data, a length <= 0, a full queue or an exhausted pool.
int PLR_MOV_FrameQueuePush(MovFrameQueue* queue, const void* data, int32_t length);
// The oldest frame, or null when the queue is empty; never waits.
MM_BUFFER_S* PLR_MOV_FrameQueuePop(MovFrameQueue* queue);
// Puts a frame just popped back at the head of the queue, where the next pop
// finds it (the queue owns it again): 0; -1 for null.
int PLR_MOV_FrameQueuePushFront(MovFrameQueue* queue, MM_BUFFER_S* frame);
// Waits at most `timeoutMs` until a frame is queued or `*stop` is non-zero.
void PLR_MOV_FrameQueueWait(MovFrameQueue* queue, uint32_t timeoutMs,
                            const std::atomic<uint32_t>* stop);
// Wakes a consumer waiting in PLR_MOV_FrameQueueWait (after its stop flag was set).
void PLR_MOV_FrameQueueWake(MovFrameQueue* queue);
// Returns every queued frame to the pool: 0; -1 for null.
int PLR_MOV_FrameQueueClear(MovFrameQueue* queue);
// Clears the queue: 0; -1 for null.
int PLR_MOV_FrameQueueDestroy(MovFrameQueue* queue);

MM_BUFFER_S* PLR_MOV_FrameAlloc(uint32_t size);
int PLR_MOV_FrameFree(MM_BUFFER_S* frame);

// Initialise / destroy the context's frame queue (destroy returns queued
// frames to the pool): 0; -1 for null.
int PLR_MOV_ContexInit(MovCtx* ctx);
int PLR_MOV_ContexDeinit(MovCtx* ctx);

// The first H.264 Annex B start code in [start, end): the address of its
// 00 00 01, or of the 00 just before it when that byte is inside the range (a
// four-byte code 00 00 00 01 is returned at its first byte); end when there is none.
const uint8_t* avc_find_startcode(const uint8_t* start, const uint8_t* end);

// Wall-clock time of the board in whole seconds.
int32_t PLR_MOV_GetTime();
