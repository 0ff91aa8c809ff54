#include "fpv/fpv_stream.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <system_error>
#include <thread>

#include "board/board.h"
#include "core/trace_log.h"
#include "state/fs_stream.h"
#include "vps/vps_stream.h"

// The server's record. The socket and the thread handle change only under
// g_lifeLock (Init and Deinit); every word another thread reads is atomic.
struct PlrFpvStreamCtx {
    std::atomic<int> udpSock{-1};
    std::atomic<uint16_t> servPort{FPV_STREAM_PORT};
    std::thread sendThread;
    std::atomic<uint32_t> exitFlag{0};  // 1 asks the send thread to end
    std::atomic<uint32_t> running{0};
    std::atomic<uint64_t> framesQueued{0};
    std::atomic<uint64_t> framesDropped{0};
    std::atomic<uint64_t> framesSent{0};
    std::atomic<uint64_t> framesDiscarded{0};
    std::atomic<uint64_t> datagramsSent{0};
    // The phone's client as the phone link reports it: its connection state
    // and the last byte of its address (0 before any client).
    std::atomic<int32_t> clientConn{0};
    std::atomic<int32_t> clientHost{0};
};

PlrFpvStreamCtx g_fpvStreamCtx;
PlrFpvFrameQueue g_fpvFrameQueue;

namespace {

// How long the idle send thread sleeps between looks at its stop flag; an
// appended frame or Deinit wakes it at once.
constexpr auto kIdleWait = std::chrono::milliseconds(100);

std::mutex g_lifeLock;  // Init and Deinit

// The live view's observers; the lock is held while they run, so that a
// removed observer is never called after its removal returns.
std::mutex g_observerLock;
std::array<FpvFrameObserver, FPV_FRAME_OBSERVER_MAX> g_observers{};

PlrFpvStreamCtx& ctx() {
    return g_fpvStreamCtx;
}

bool client_ready() {
    return ctx().clientConn.load() == FPV_CLIENT_READY;
}

void set_realtime(std::thread& thread) {
    sched_param param{};
    param.sched_priority = FPV_SEND_PRIORITY;
    const int rc = pthread_setschedparam(thread.native_handle(), SCHED_RR, &param);
    if (rc != 0) {
        PLR_TRACE(PLR_LOG_W,
                  "fpv send thread keeps the default policy: SCHED_RR priority %d refused (%s)",
                  FPV_SEND_PRIORITY, strerror(rc));
    }
}

// The UDP socket of the stream: a large send buffer, non-blocking, so that a
// congested link loses the rest of a frame instead of delaying the next one.
void PLR_FPV_UdpSocketInit() {
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        PLR_TRACE(PLR_LOG_D, "Error can not create socket");
        return;
    }
    const int size = FPV_SNDBUF_SIZE;
    if (setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size) != 0) {
        PLR_TRACE(PLR_LOG_D, "Udp:Enalarge socket sending buffer error!");
    } else {
        PLR_TRACE(PLR_LOG_D, "Enalarge socket sending buffer OK!");
    }
    const int flags = fcntl(fd, F_GETFL, 0);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) {
        PLR_TRACE(PLR_LOG_E, "fpv socket cannot be made non-blocking: %s", strerror(errno));
    }
    ctx().udpSock.store(fd);
    PLR_TRACE(PLR_LOG_D, "fpv stream network init complete!");
}

void PLR_FPV_StreamSendThread() {
    PlrFpvFrameQueue& queue = g_fpvFrameQueue;
    while (ctx().exitFlag.load() == 0) {
        {
            std::unique_lock lock(queue.lock);
            queue.ready.wait_for(lock, kIdleWait,
                                 [&] { return queue.count > 0 || ctx().exitFlag.load() != 0; });
        }
        MM_BUFFER_S* frame = PLR_FPV_FrameQueuePop(&queue);
        if (frame == nullptr) continue;
        if (frame->data != nullptr && frame->length > 0) {
            if (client_ready() && fs_is_stream_on() != 0) {
                PLR_FPV_BufferSend(frame->data, static_cast<uint32_t>(frame->length));
                ctx().framesSent.fetch_add(1);
            } else {
                ctx().framesDiscarded.fetch_add(1);
            }
        }
        PLR_FPV_FrameFree(frame);
    }
}

// Socket and send thread. 0, or -1 when the thread could not be started.
int PLR_FPV_StreamServerInit() {
    ctx().exitFlag.store(0);
    PLR_FPV_UdpSocketInit();
    try {
        ctx().sendThread = std::thread(PLR_FPV_StreamSendThread);
    } catch (const std::system_error& e) {
        PLR_TRACE(PLR_LOG_E, "fpv send thread could not be started: %s", e.what());
        return -1;
    }
    set_realtime(ctx().sendThread);
    plr_trace_logf(PLR_LOG_D, "PLR_FPV_StreamSendThread(%lu) Init!",
                   static_cast<unsigned long>(ctx().sendThread.native_handle()));
    return 0;
}

void close_socket() {
    const int fd = ctx().udpSock.exchange(-1);
    if (fd >= 0) close(fd);
}

}  // namespace

// ---- queue ----

MM_BUFFER_S* PLR_FPV_FrameAlloc(uint32_t size) {
    return MM_BUFFER_Request(static_cast<uint64_t>(size));
}

int PLR_FPV_FrameFree(MM_BUFFER_S* frame) {
    return MM_BUFFER_Release(frame);
}

int PLR_FPV_FrameQueueInit(PlrFpvFrameQueue* queue) {
    if (queue == nullptr) return -1;
    std::lock_guard lock(queue->lock);
    queue->head = nullptr;
    queue->tail = nullptr;
    queue->count = 0;
    queue->open = true;
    return 0;
}

int PLR_FPV_FrameQueueAppend(PlrFpvFrameQueue* queue, const void* data, uint32_t size) {
    if (queue == nullptr || data == nullptr || size < 1) return -1;
    bool full = false;
    {
        std::lock_guard lock(queue->lock);
        if (!queue->open) return -1;
        full = queue->count >= FPV_QUEUE_MAX;
    }
    if (full) {
        PLR_TRACE(PLR_LOG_E, "FPV frame queue full!!");
        return -1;
    }
    // The copy is made before the lock is taken: the consumer is never held
    // up by a frame-sized memcpy.
    MM_BUFFER_S* frame = PLR_FPV_FrameAlloc(size);
    if (frame == nullptr) return -1;
    memcpy(frame->data, data, size);
    frame->length = size;
    frame->next = nullptr;
    {
        std::lock_guard lock(queue->lock);
        // Checked again: the queue may have been closed or filled meanwhile.
        if (queue->open && queue->count < FPV_QUEUE_MAX) {
            if (queue->tail != nullptr) {
                queue->tail->next = frame;
            } else {
                queue->head = frame;
            }
            queue->tail = frame;
            ++queue->count;
            frame = nullptr;
        }
    }
    if (frame != nullptr) {
        PLR_FPV_FrameFree(frame);
        return -1;
    }
    queue->ready.notify_one();
    return 0;
}

MM_BUFFER_S* PLR_FPV_FrameQueuePop(PlrFpvFrameQueue* queue) {
    if (queue == nullptr) return nullptr;
    std::lock_guard lock(queue->lock);
    MM_BUFFER_S* frame = queue->head;
    if (frame == nullptr) return nullptr;
    queue->head = frame->next;
    if (queue->head == nullptr) queue->tail = nullptr;
    --queue->count;
    frame->next = nullptr;
    return frame;
}

int PLR_FPV_FrameQueueClean(PlrFpvFrameQueue* queue) {
    if (queue == nullptr) return -1;
    MM_BUFFER_S* frame = nullptr;
    {
        std::lock_guard lock(queue->lock);
        frame = queue->head;
        queue->head = nullptr;
        queue->tail = nullptr;
        queue->count = 0;
    }
    // Released outside the queue lock: the pool has its own.
    while (frame != nullptr) {
        MM_BUFFER_S* next = frame->next;
        frame->next = nullptr;
        PLR_FPV_FrameFree(frame);
        frame = next;
    }
    return 0;
}

int PLR_FPV_FrameQueueDestroy(PlrFpvFrameQueue* queue) {
    if (queue == nullptr) return -1;
    {
        std::lock_guard lock(queue->lock);
        queue->open = false;
    }
    return PLR_FPV_FrameQueueClean(queue);
}

int32_t PLR_FPV_FrameQueueCount(PlrFpvFrameQueue* queue) {
    if (queue == nullptr) return 0;
    std::lock_guard lock(queue->lock);
    return queue->count;
}

// ---- server ----

int PLR_FPV_StreamInit(uint16_t port) {
    std::lock_guard life(g_lifeLock);
    if (ctx().running.load() != 0) {
        PLR_TRACE(PLR_LOG_E, "fpv stream server already running");
        return -1;
    }
    ctx().servPort.store(port);
    ctx().framesQueued.store(0);
    ctx().framesDropped.store(0);
    ctx().framesSent.store(0);
    ctx().framesDiscarded.store(0);
    ctx().datagramsSent.store(0);
    PLR_FPV_FrameQueueInit(&g_fpvFrameQueue);
    if (PLR_FPV_StreamServerInit() != 0) {
        close_socket();
        PLR_FPV_FrameQueueDestroy(&g_fpvFrameQueue);
        return -1;
    }
    ctx().running.store(1);
    return PLR_VPS_RegFpvStreamCallback(PLR_FPV_AddFrame);
}

int PLR_FPV_StreamDeinit() {
    std::lock_guard life(g_lifeLock);
    if (ctx().running.load() == 0) return 0;
    // The queue is closed first, so that the camera's stream thread, which
    // keeps calling the consumer, cannot leave frames behind in it.
    PLR_FPV_FrameQueueDestroy(&g_fpvFrameQueue);
    ctx().exitFlag.store(1);
    {
        // Taking the lock orders the flag before the send thread's next wait.
        std::lock_guard lock(g_fpvFrameQueue.lock);
    }
    g_fpvFrameQueue.ready.notify_all();
    if (ctx().sendThread.joinable()) ctx().sendThread.join();
    close_socket();
    ctx().running.store(0);
    plr_trace_log(PLR_LOG_D, "fpv sending thread stopped!");
    return 0;
}

int PLR_FPV_AddFrame(const void* data, uint32_t size) {
    if (data == nullptr || size < 1) return -1;
    {
        std::lock_guard lock(g_observerLock);
        for (const FpvFrameObserver observer : g_observers)
            if (observer != nullptr) observer(static_cast<const uint8_t*>(data), size);
    }
    if (PLR_FPV_FrameQueueAppend(&g_fpvFrameQueue, data, size) != 0) {
        ctx().framesDropped.fetch_add(1);
        return -1;
    }
    ctx().framesQueued.fetch_add(1);
    return 0;
}

int PLR_FPV_AddFrameObserver(FpvFrameObserver observer) {
    if (observer == nullptr) return -1;
    std::lock_guard lock(g_observerLock);
    if (std::find(g_observers.begin(), g_observers.end(), observer) != g_observers.end()) return -1;
    const auto free = std::find(g_observers.begin(), g_observers.end(), nullptr);
    if (free == g_observers.end()) return -1;
    *free = observer;
    return 0;
}

int PLR_FPV_RemoveFrameObserver(FpvFrameObserver observer) {
    if (observer == nullptr) return -1;
    std::lock_guard lock(g_observerLock);
    const auto at = std::find(g_observers.begin(), g_observers.end(), observer);
    if (at == g_observers.end()) return -1;
    *at = nullptr;
    return 0;
}

void PLR_FPV_SetClient(int32_t host) {
    if (host < 1 || host > 254 || host == ctx().clientHost.load()) return;
    ctx().clientHost.store(host);
}

int PLR_FPV_SetClientConn(uint32_t state) {
    ctx().clientConn.store(static_cast<int32_t>(state));
    return 0;
}

void PLR_FPV_ClientReset() {
    ctx().clientConn.store(0);
    ctx().clientHost.store(0);
}

int PLR_FPV_GetClientConn() {
    return client_ready() ? 1 : 0;
}

int PLR_FPV_GetServAddr(sockaddr_in* addr) {
    if (addr == nullptr) return -1;
    int32_t host = ctx().clientHost.load();
    if (host < 1 || host > 254) host = FPV_DEFAULT_HOST;
    char text[INET_ADDRSTRLEN + 8] = {};
    snprintf(text, sizeof text, "%s%d", board_phone_net_prefix(), host);
    *addr = sockaddr_in{};
    addr->sin_family = AF_INET;
    addr->sin_port = htons(ctx().servPort.load());
    return inet_pton(AF_INET, text, &addr->sin_addr) == 1 ? 0 : -1;
}

int PLR_FPV_BufferSend(const uint8_t* data, uint32_t size) {
    if (data == nullptr || size < 1) return -1;
    sockaddr_in dest{};
    if (PLR_FPV_GetServAddr(&dest) != 0) return -1;
    const int fd = ctx().udpSock.load();
    uint32_t offset = 0;
    ssize_t sent = -1;
    while (offset < size) {
        const uint32_t left = size - offset;
        const size_t chunk = std::min(left, FPV_DATAGRAM_MAX);
        sent = sendto(fd, data + offset, chunk, 0, reinterpret_cast<const sockaddr*>(&dest),
                      sizeof dest);
        if (sent <= 0) break;  // the rest of the frame is lost
        ctx().datagramsSent.fetch_add(1);
        if (static_cast<size_t>(sent) >= left) break;
        offset += static_cast<uint32_t>(sent);
    }
    return static_cast<int>(sent);
}

void PLR_FPV_GetStats(PlrFpvStats* stats) {
    if (stats == nullptr) return;
    stats->framesQueued = ctx().framesQueued.load();
    stats->framesDropped = ctx().framesDropped.load();
    stats->framesSent = ctx().framesSent.load();
    stats->framesDiscarded = ctx().framesDiscarded.load();
    stats->datagramsSent = ctx().datagramsSent.load();
}
