#include "vps/vps_event.h"

#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

#include "board/board.h"
#include "core/memory.h"
#include "core/trace_log.h"

namespace {

// The observers of the notifications; the lock is held while they run, so
// that a removed observer is never called after its removal returns.
std::mutex g_observerLock;
std::array<VpsEvtCallback, VPS_EVT_OBSERVER_MAX> g_observers{};

// How the dispatcher treats an event number.
enum class EvtKind : uint8_t {
    Unknown,  // not a request: logged as unknown and dropped
    Handler,  // runs the handler of its slot
    Silent,   // accepted without action or notification
};

struct EvtEntry {
    const char* name;
    EvtKind kind;
    VpsEvtHandler builtin;  // handler used while no module installed one; may be null
};

int init_event(const VpsEvt* /*evt*/) {
    PLR_VPS_EvtInitHandle();
    return 0;
}

int reset_event(const VpsEvt* /*evt*/) {
    PLR_VPS_ResetHandle();
    return 0;
}

constexpr EvtEntry kUnknown{nullptr, EvtKind::Unknown, nullptr};

// Event number -> name and handler. The camera modules install the handlers
// of their events with PLR_VPS_SetEvtHandler.
constexpr std::array<EvtEntry, VPS_EVT_COUNT> kEvtTable = {{
    {"VPS_EVT_INIT", EvtKind::Handler, init_event},
    {"VPS_EVT_MODE_SWITCH", EvtKind::Handler, nullptr},
    {"VPS_EVT_SD_INSERT", EvtKind::Handler, nullptr},
    {"VPS_EVT_SD_EJECT", EvtKind::Handler, nullptr},
    {"VPS_EVT_SD_QUERY", EvtKind::Handler, nullptr},
    {"VPS_EVT_SD_FORMAT", EvtKind::Handler, nullptr},
    {"VPS_EVT_SNAP_START", EvtKind::Handler, nullptr},
    {"VPS_EVT_SNAP_STOP", EvtKind::Handler, nullptr},
    {"VPS_EVT_REC_START", EvtKind::Handler, nullptr},
    {"VPS_EVT_REC_SPLIT", EvtKind::Handler, nullptr},
    {"VPS_EVT_REC_STOP", EvtKind::Handler, nullptr},
    {"VPS_EVT_RES_SET", EvtKind::Handler, nullptr},
    {"VPS_EVT_RES_QUERY", EvtKind::Handler, nullptr},
    {"VPS_EVT_AE_MODE_SET", EvtKind::Handler, nullptr},
    {"VPS_EVT_AE_ATTR_SET", EvtKind::Handler, nullptr},
    {"VPS_EVT_AE_ROI_SET", EvtKind::Handler, nullptr},
    {"VPS_EVT_ATTR_SET", EvtKind::Handler, nullptr},
    kUnknown,                                       // 17
    {"VPS_EVT_STATUS", EvtKind::Unknown, nullptr},  // notification only
    kUnknown,                                       // 19
    kUnknown,                                       // 20
    {"VPS_EVT_FPV_BITRATE", EvtKind::Silent, nullptr},
    {"VPS_EVT_GPS_SYNC", EvtKind::Silent, nullptr},
    {"VPS_EVT_CFG_QUERY", EvtKind::Handler, nullptr},
    {"VPS_EVT_TIMELAPSE", EvtKind::Handler, nullptr},
    {"VPS_EVT_TLAPSE_PROGRESS", EvtKind::Unknown, nullptr},  // notification only
    {"VPS_EVT_SNAP_TLAPSE", EvtKind::Unknown, nullptr},      // notification only
    {"VPS_EVT_RESET", EvtKind::Handler, reset_event},
    {"VPS_EVT_ZOOM_OUT", EvtKind::Handler, nullptr},
    {"VPS_EVT_ZOOM_IN", EvtKind::Handler, nullptr},
    {"VPS_EVT_ZOOM_SET", EvtKind::Handler, nullptr},
    {"VPS_EVT_CCT_SET", EvtKind::Handler, nullptr},
    {"VPS_EVT_DN_MODE_SET", EvtKind::Handler, nullptr},
}};

// The event module's state. evtThread is touched only by start, stop and
// reset, which `lifecycle` serialises; the other words are read by other
// threads and are atomic.
struct VpsEvtCtx {
    VpsEvtQueue evtQueue;
    std::atomic<VpsEvtCallback> evtCb{nullptr};
    std::thread evtThread;
    std::atomic<uint32_t> evtRunning{0};  // cleared by the thread when it ends
    std::atomic<uint32_t> evtExit{0};     // 1 = stop
    std::array<std::atomic<VpsEvtHandler>, VPS_EVT_COUNT> handlers{};  // null: the table's builtin
    std::mutex lifecycle;
};

VpsEvtCtx g_vpsEvtCtx;

// Real-time round-robin priority of the event thread.
constexpr int kEvtThreadPriority = 2;

// Fills a zeroed record; the text is cut to 255 characters.
void fill_evt(VpsEvt* evt, uint32_t eventno, int32_t retCode, int32_t ival1, int32_t ival2,
              const char* text) {
    memset(evt, 0, sizeof *evt);
    evt->eventno = eventno;
    evt->retCode = retCode;
    evt->ival1 = ival1;
    evt->ival2 = ival2;
    if (text != nullptr) memcpy(evt->cval, text, strnlen(text, VPS_EVT_TEXT_SIZE - 1));
}

bool always_accepted(uint32_t eventno) {
    return eventno == VPS_EVT_SD_INSERT || eventno == VPS_EVT_SD_EJECT;
}

void set_realtime(std::thread& thread, int priority) {
    sched_param param{};
    param.sched_priority = priority;
    const int rc = pthread_setschedparam(thread.native_handle(), SCHED_RR, &param);
    if (rc != 0) {
        PLR_TRACE(PLR_LOG_W,
                  "event thread keeps the default policy: SCHED_RR priority %d refused (%s)",
                  priority, strerror(rc));
    }
}

}  // namespace

// ---- queue ----

VpsEvtElem* PLR_VPS_EvtAlloc() {
    return new (std::nothrow) VpsEvtElem{};
}

int PLR_VPS_EvtFree(VpsEvtElem* elem) {
    if (elem == nullptr) return -1;
    delete elem;
    return 0;
}

int PLR_VPS_EvtQueueInit(VpsEvtQueue* queue) {
    if (queue == nullptr) return -1;
    std::lock_guard lock(queue->listLock);
    queue->head = nullptr;
    queue->tail = nullptr;
    queue->count.store(0);
    queue->open = true;
    return 0;
}

int PLR_VPS_EvtQueueDestroy(VpsEvtQueue* queue) {
    if (queue == nullptr) return 0;
    std::lock_guard lock(queue->listLock);
    queue->open = false;
    return 0;
}

int PLR_VPS_EvtQueuePush(VpsEvtQueue* queue, const VpsEvt* evt) {
    if (queue == nullptr || evt == nullptr) return -1;
    int32_t waiting = queue->count.load();
    if (waiting >= VPS_EVT_QUEUE_MAX && !always_accepted(evt->eventno)) {
        plr_trace_logf(PLR_LOG_E, "%s(%d):event queue(%d) full!!", __func__, __LINE__, waiting);
        return -1;
    }
    VpsEvtElem* elem = PLR_VPS_EvtAlloc();
    if (elem == nullptr) return -1;
    elem->evt = *evt;

    bool closed = false;
    bool full = false;
    {
        std::lock_guard lock(queue->listLock);
        waiting = queue->count.load();
        if (!queue->open) {
            closed = true;
        } else if (waiting >= VPS_EVT_QUEUE_MAX && !always_accepted(evt->eventno)) {
            full = true;  // another producer filled it since the first look
        } else {
            if (queue->tail == nullptr) {
                queue->head = elem;
            } else {
                queue->tail->next = elem;
            }
            queue->tail = elem;
            queue->count.fetch_add(1);
        }
    }
    if (closed || full) {
        PLR_VPS_EvtFree(elem);
        if (full)
            plr_trace_logf(PLR_LOG_E, "%s(%d):event queue(%d) full!!", __func__, __LINE__, waiting);
        return -1;
    }
    return 0;
}

VpsEvtElem* PLR_VPS_EvtQueuePop(VpsEvtQueue* queue) {
    if (queue == nullptr || queue->count.load() < 1) return nullptr;
    std::lock_guard lock(queue->listLock);
    VpsEvtElem* elem = queue->head;
    if (elem == nullptr) return nullptr;
    queue->head = elem->next;
    if (queue->head == nullptr) queue->tail = nullptr;
    elem->next = nullptr;
    queue->count.fetch_sub(1);
    return elem;
}

int PLR_VPS_EvtQueueClear(VpsEvtQueue* queue) {
    if (queue == nullptr) return -1;
    while (VpsEvtElem* elem = PLR_VPS_EvtQueuePop(queue)) PLR_VPS_EvtFree(elem);
    return 0;
}

void PLR_VPS_EvtSchedule(VpsEvtQueue* queue) {
    if (queue == nullptr) return;
    // Under waitLock: the consumer is either before its empty-queue check
    // (and will see the element) or already waiting (and gets the signal).
    std::lock_guard lock(queue->waitLock);
    queue->waitCond.notify_one();
}

VpsEvtElem* PLR_VPS_EvtQueueWaitPop(VpsEvtQueue* queue, const std::atomic<uint32_t>& exitFlag) {
    if (queue == nullptr) return nullptr;
    std::unique_lock lock(queue->waitLock);
    for (;;) {
        if (exitFlag.load() != 0) return nullptr;
        if (VpsEvtElem* elem = PLR_VPS_EvtQueuePop(queue)) return elem;
        queue->waitCond.wait(lock);
    }
}

// ---- posting and notifications ----

int PLR_VPS_SendEvent3(uint32_t eventno, int32_t ival1, int32_t ival2, const char* text) {
    VpsEvt evt;
    fill_evt(&evt, eventno, 0, ival1, ival2, text);
    if (PLR_VPS_EvtQueuePush(&g_vpsEvtCtx.evtQueue, &evt) != 0) {
        PLR_TRACE(PLR_LOG_E, "VPS Add event %d failed!!", static_cast<int>(eventno));
        return -1;
    }
    PLR_VPS_EvtSchedule(&g_vpsEvtCtx.evtQueue);
    return 0;
}

int PLR_VPS_SendEvent2(uint32_t eventno, int32_t ival1, int32_t ival2) {
    return PLR_VPS_SendEvent3(eventno, ival1, ival2, nullptr);
}

int PLR_VPS_SendEvent1(uint32_t eventno, int32_t ival1) {
    return PLR_VPS_SendEvent3(eventno, ival1, -1, nullptr);
}

int PLR_VPS_SendEvent(uint32_t eventno) {
    return PLR_VPS_SendEvent3(eventno, -1, -1, nullptr);
}

int PLR_VPS_RegEvtCallback(VpsEvtCallback callback) {
    if (callback == nullptr) return -1;
    VpsEvtCallback none = nullptr;
    if (!g_vpsEvtCtx.evtCb.compare_exchange_strong(none, callback)) {
        plr_trace_logf(PLR_LOG_D, "%s(%d):Event call back exist already!!", __func__, __LINE__);
        return -1;
    }
    return 0;
}

int PLR_VPS_EvtNotify(uint32_t eventno, int32_t retCode, int32_t ival1, int32_t ival2,
                      const char* text) {
    // A photo, a recording or a mode switch has ended: the encoders', muxers'
    // and channels' working buffers go back to the system once their threads
    // have let go of them.
    if (eventno == VPS_EVT_SNAP_STOP || eventno == VPS_EVT_REC_STOP ||
        eventno == VPS_EVT_MODE_SWITCH)
        PLR_MAIN_MemoryTrimRequest();
    const VpsEvtCallback callback = g_vpsEvtCtx.evtCb.load();
    VpsEvt evt;
    fill_evt(&evt, eventno, retCode, ival1, ival2, text);
    const int rc = callback == nullptr ? -1 : callback(&evt);
    {
        std::lock_guard lock(g_observerLock);
        for (const VpsEvtCallback observer : g_observers)
            if (observer != nullptr) observer(&evt);
    }
    return rc;
}

int PLR_VPS_AddEvtObserver(VpsEvtCallback observer) {
    if (observer == nullptr) return -1;
    std::lock_guard lock(g_observerLock);
    if (std::find(g_observers.begin(), g_observers.end(), observer) != g_observers.end()) return -1;
    const auto free = std::find(g_observers.begin(), g_observers.end(), nullptr);
    if (free == g_observers.end()) return -1;
    *free = observer;
    return 0;
}

int PLR_VPS_RemoveEvtObserver(VpsEvtCallback observer) {
    if (observer == nullptr) return -1;
    std::lock_guard lock(g_observerLock);
    const auto at = std::find(g_observers.begin(), g_observers.end(), observer);
    if (at == g_observers.end()) return -1;
    *at = nullptr;
    return 0;
}

// ---- dispatcher ----

const char* PLR_VPS_EvtName(uint32_t eventno) {
    return eventno < VPS_EVT_COUNT ? kEvtTable[eventno].name : nullptr;
}

int PLR_VPS_SetEvtHandler(uint32_t eventno, VpsEvtHandler handler) {
    if (eventno >= VPS_EVT_COUNT || kEvtTable[eventno].kind != EvtKind::Handler) return -1;
    g_vpsEvtCtx.handlers[eventno].store(handler);
    return 0;
}

int PLR_VPS_EvtHandle(const VpsEvt* evt) {
    if (evt == nullptr) return -1;
    const uint32_t eventno = evt->eventno;
    const EvtEntry& entry = eventno < VPS_EVT_COUNT ? kEvtTable[eventno] : kUnknown;
    switch (entry.kind) {
        case EvtKind::Silent:
            return 0;
        case EvtKind::Unknown:
            PLR_TRACE(PLR_LOG_D, "unkown VPS event %d", static_cast<int>(eventno));
            return 0;
        case EvtKind::Handler:
            break;
    }
    VpsEvtHandler handler = g_vpsEvtCtx.handlers[eventno].load();
    if (handler == nullptr) handler = entry.builtin;
    if (handler == nullptr) {
        PLR_TRACE(PLR_LOG_D, "%s not yet handled", entry.name);
        return 0;
    }
    handler(evt);
    return 0;
}

// ---- event thread ----

void* PLR_VPS_EvtHandleThread(void* /*context*/) {
    VpsEvtCtx& ctx = g_vpsEvtCtx;
    for (;;) {
        VpsEvtElem* elem = PLR_VPS_EvtQueueWaitPop(&ctx.evtQueue, ctx.evtExit);
        if (elem == nullptr) break;
        if (ctx.evtExit.load() != 0) {
            PLR_VPS_EvtFree(elem);
            break;
        }
        PLR_VPS_EvtHandle(&elem->evt);
        PLR_VPS_EvtFree(elem);
    }
    // Events still waiting are discarded without running their handlers.
    PLR_VPS_EvtQueueClear(&ctx.evtQueue);
    ctx.evtRunning.store(0);
    PLR_TRACE(PLR_LOG_D, "VPS event handle thread exited!!");
    return nullptr;
}

int PLR_VPS_EvtThreadsInit() {
    VpsEvtCtx& ctx = g_vpsEvtCtx;
    std::lock_guard lifecycle(ctx.lifecycle);
    if (ctx.evtThread.joinable()) return 0;
    if (ctx.evtRunning.load() != 0) {
        PLR_TRACE(PLR_LOG_E, "event thread still ending, not restarted");
        return -1;
    }
    PLR_VPS_EvtQueueInit(&ctx.evtQueue);
    ctx.evtExit.store(0);
    ctx.evtRunning.store(1);
    try {
        ctx.evtThread = std::thread(PLR_VPS_EvtHandleThread, &ctx);
    } catch (const std::system_error& e) {
        ctx.evtRunning.store(0);
        PLR_VPS_EvtQueueDestroy(&ctx.evtQueue);
        PLR_VPS_EvtQueueClear(&ctx.evtQueue);
        PLR_TRACE(PLR_LOG_E, "create event thread failed: %s", e.what());
        return -1;
    }
    set_realtime(ctx.evtThread, kEvtThreadPriority);
    return 0;
}

int PLR_VPS_EvtThreadsDeinit() {
    VpsEvtCtx& ctx = g_vpsEvtCtx;
    std::lock_guard lifecycle(ctx.lifecycle);
    if (ctx.evtThread.joinable()) {
        ctx.evtExit.store(1);
        PLR_VPS_EvtSchedule(&ctx.evtQueue);
        if (ctx.evtThread.get_id() == std::this_thread::get_id()) {
            // Asked by a handler: the thread ends by itself once the handler returns.
            ctx.evtThread.detach();
        } else {
            ctx.evtThread.join();
        }
    }
    // Closed first, so that an event posted while the thread was ending is
    // refused or, if it got in, freed here.
    PLR_VPS_EvtQueueDestroy(&ctx.evtQueue);
    PLR_VPS_EvtQueueClear(&ctx.evtQueue);
    return 0;
}

bool PLR_VPS_EvtThreadRunning() {
    return g_vpsEvtCtx.evtRunning.load() != 0;
}

bool PLR_VPS_EvtExitRequested() {
    return g_vpsEvtCtx.evtExit.load() != 0;
}

void PLR_VPS_EvtReset() {
    PLR_VPS_EvtThreadsDeinit();
    VpsEvtCtx& ctx = g_vpsEvtCtx;
    ctx.evtCb.store(nullptr);
    for (auto& handler : ctx.handlers) handler.store(nullptr);
    ctx.evtExit.store(0);
}

// ---- small handlers ----

void PLR_VPS_EvtInitHandle() {
    // Device nodes are rescanned once the camera core is up: a card present at
    // power-on is reported then.
    board_mdev_scan();
}

void PLR_VPS_ResetHandle() {
    std::error_code ec;
    std::filesystem::remove(board_path("/usr/data/config.xml"), ec);
    PLR_VPS_EvtNotify(VPS_EVT_RESET, 0, -1, -1, nullptr);
    std::this_thread::sleep_for(std::chrono::seconds(1));
    PLR_TRACE(PLR_LOG_D, "Cam Config reset..");
    board_reboot();
}
