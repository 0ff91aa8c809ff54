#include "mov/frame_queue.h"

#include <sys/time.h>

#include <chrono>
#include <cstring>

#include "board/board.h"
#include "core/trace_log.h"

int PLR_MOV_FrameQueueInit(MovFrameQueue* queue) {
    if (queue == nullptr) return -1;
    std::lock_guard lock(queue->lock);
    queue->head = nullptr;
    queue->tail = nullptr;
    queue->count.store(0);
    queue->bytes.store(0);
    return 0;
}

int PLR_MOV_FrameQueuePush(MovFrameQueue* queue, const void* data, int32_t length) {
    if (queue == nullptr || data == nullptr || length <= 0) return -1;
    if (queue->count.load() >= MOV_FRAME_QUEUE_MAX) {
        plr_trace_logf(PLR_LOG_E, "%s(%d):MOV frame queue full!!", __func__, __LINE__);
        return -1;
    }
    MM_BUFFER_S* frame = PLR_MOV_FrameAlloc(static_cast<uint32_t>(length));
    if (frame == nullptr) {
        plr_trace_logf(PLR_LOG_E, "%s(%d):Alloc buffer failed for size %d!!", __func__, __LINE__,
                       length);
        return -1;
    }
    // The copy happens outside the lock so the muxer is never held up by it.
    memcpy(frame->data, data, static_cast<size_t>(length));
    frame->length = static_cast<uint64_t>(length);
    frame->next = nullptr;

    bool full = false;
    {
        std::lock_guard lock(queue->lock);
        // Checked again under the lock: the bound holds even with several producers.
        if (queue->count.load() >= MOV_FRAME_QUEUE_MAX) {
            full = true;
        } else {
            if (queue->tail == nullptr) {
                queue->head = frame;
            } else {
                queue->tail->next = frame;
            }
            queue->tail = frame;
            queue->bytes.fetch_add(static_cast<uint32_t>(length));
            queue->count.fetch_add(1);
        }
    }
    if (full) {
        PLR_MOV_FrameFree(frame);
        plr_trace_logf(PLR_LOG_E, "%s(%d):MOV frame queue full!!", __func__, __LINE__);
        return -1;
    }
    queue->ready.notify_one();
    return 0;
}

void PLR_MOV_FrameQueueWait(MovFrameQueue* queue, uint32_t timeoutMs,
                            const std::atomic<uint32_t>* stop) {
    if (queue == nullptr) return;
    std::unique_lock lock(queue->lock);
    queue->ready.wait_for(lock, std::chrono::milliseconds(timeoutMs), [queue, stop] {
        return queue->count.load() > 0 || (stop != nullptr && stop->load() != 0);
    });
}

void PLR_MOV_FrameQueueWake(MovFrameQueue* queue) {
    if (queue == nullptr) return;
    { std::lock_guard lock(queue->lock); }
    queue->ready.notify_all();
}

MM_BUFFER_S* PLR_MOV_FrameQueuePop(MovFrameQueue* queue) {
    if (queue == nullptr || queue->count.load() < 1) return nullptr;
    std::lock_guard lock(queue->lock);
    MM_BUFFER_S* frame = queue->head;
    if (frame == nullptr) return nullptr;
    queue->head = frame->next;
    if (queue->head == nullptr) queue->tail = nullptr;
    frame->next = nullptr;
    queue->count.fetch_sub(1);
    queue->bytes.fetch_sub(static_cast<uint32_t>(frame->length));
    return frame;
}

int PLR_MOV_FrameQueuePushFront(MovFrameQueue* queue, MM_BUFFER_S* frame) {
    if (queue == nullptr || frame == nullptr) return -1;
    std::lock_guard lock(queue->lock);
    frame->next = queue->head;
    queue->head = frame;
    if (queue->tail == nullptr) queue->tail = frame;
    queue->count.fetch_add(1);
    queue->bytes.fetch_add(static_cast<uint32_t>(frame->length));
    return 0;
}

int PLR_MOV_FrameQueueClear(MovFrameQueue* queue) {
    if (queue == nullptr) return -1;
    MM_BUFFER_S* frame = nullptr;
    {
        std::lock_guard lock(queue->lock);
        frame = queue->head;
        queue->head = nullptr;
        queue->tail = nullptr;
        queue->count.store(0);
        queue->bytes.store(0);
    }
    // Released after the queue lock is dropped: the pool lock is never taken
    // while a queue lock is held.
    while (frame != nullptr) {
        MM_BUFFER_S* next = frame->next;
        PLR_MOV_FrameFree(frame);
        frame = next;
    }
    return 0;
}

int PLR_MOV_FrameQueueDestroy(MovFrameQueue* queue) {
    return PLR_MOV_FrameQueueClear(queue);
}

MM_BUFFER_S* PLR_MOV_FrameAlloc(uint32_t size) {
    return MM_BUFFER_Request(static_cast<uint64_t>(size));
}

int PLR_MOV_FrameFree(MM_BUFFER_S* frame) {
    return MM_BUFFER_Release(frame);
}

int PLR_MOV_ContexInit(MovCtx* ctx) {
    if (ctx == nullptr) return -1;
    return PLR_MOV_FrameQueueInit(&ctx->queue);
}

int PLR_MOV_ContexDeinit(MovCtx* ctx) {
    if (ctx == nullptr) return -1;
    return PLR_MOV_FrameQueueDestroy(&ctx->queue);
}

const uint8_t* avc_find_startcode(const uint8_t* start, const uint8_t* end) {
    if (start == nullptr || end == nullptr || end <= start) return end;
    const uint8_t* p = start;
    // Looks at the third byte of a window first: a value above 1 rules out a
    // code starting at any of the window's three bytes.
    while (end - p >= 3) {
        if (p[2] > 1) {
            p += 3;
        } else if (p[1] != 0) {
            p += 2;
        } else if (p[0] != 0 || p[2] != 1) {
            p += 1;
        } else {
            return (p > start && p[-1] == 0) ? p - 1 : p;
        }
    }
    return end;
}

int32_t PLR_MOV_GetTime() {
    struct timeval tv {};
    board_clock_gettimeofday(&tv);
    return static_cast<int32_t>(tv.tv_sec);
}
