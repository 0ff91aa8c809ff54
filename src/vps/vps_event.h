// Camera events and notifications. Every camera operation is posted as an
// event; one event thread takes them out in order and runs the handler of the
// dispatcher table, so camera operations never overlap. Results and periodic
// status go back as notifications to the one callback the control links
// register. The queue type is shared with the event bridge, which carries the
// notifications on its own thread.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>

enum VpsEvtNo : uint32_t {
    VPS_EVT_INIT = 0,
    VPS_EVT_MODE_SWITCH = 1,
    VPS_EVT_SD_INSERT = 2,
    VPS_EVT_SD_EJECT = 3,
    VPS_EVT_SD_QUERY = 4,
    VPS_EVT_SD_FORMAT = 5,
    VPS_EVT_SNAP_START = 6,
    VPS_EVT_SNAP_STOP = 7,
    VPS_EVT_REC_START = 8,
    VPS_EVT_REC_SPLIT = 9,
    VPS_EVT_REC_STOP = 10,
    VPS_EVT_RES_SET = 11,
    VPS_EVT_RES_QUERY = 12,
    VPS_EVT_AE_MODE_SET = 13,
    VPS_EVT_AE_ATTR_SET = 14,
    VPS_EVT_AE_ROI_SET = 15,
    VPS_EVT_ATTR_SET = 16,
    VPS_EVT_STATUS = 18,
    VPS_EVT_FPV_BITRATE = 21,
    VPS_EVT_GPS_SYNC = 22,
    VPS_EVT_CFG_QUERY = 23,
    VPS_EVT_TIMELAPSE = 24,
    VPS_EVT_TLAPSE_PROGRESS = 25,
    VPS_EVT_SNAP_TLAPSE = 26,
    VPS_EVT_RESET = 27,
    VPS_EVT_ZOOM_OUT = 28,
    VPS_EVT_ZOOM_IN = 29,
    VPS_EVT_ZOOM_SET = 30,
    VPS_EVT_CCT_SET = 31,
    VPS_EVT_DN_MODE_SET = 32,
};
inline constexpr uint32_t VPS_EVT_COUNT = 33;  // event numbers 0 .. 32

// Status item codes, carried in retCode of notifications 18 and 23.
enum VpsStaItem : int32_t {
    VPS_STA_AE_MODE = 0,
    VPS_STA_ISO = 1,
    VPS_STA_SHUTTER = 2,
    VPS_STA_EV = 3,
    VPS_STA_VPS_MODE = 4,
    VPS_STA_RESOLUTION = 5,
    VPS_STA_SNAP_MODE = 6,
    VPS_STA_PIC_FMT = 8,
    VPS_STA_CTI_SHOT = 10,
    VPS_STA_SNAP_TLAPSE = 12,
    VPS_STA_PANO_MODE = 13,
    VPS_STA_SNAP_STATE = 14,
    VPS_STA_ZOOM = 15,
    VPS_STA_TEMPERATURE = 16,
    VPS_STA_CCT = 17,
    VPS_STA_CCT_MODE = 18,
    VPS_STA_DN_MODE = 19,
};

inline constexpr size_t VPS_EVT_TEXT_SIZE = 256;  // cval: at most 255 characters and the NUL
// Ordinary events waiting in a queue beyond which a post is refused; SD
// insert and eject are always accepted.
inline constexpr int32_t VPS_EVT_QUEUE_MAX = 11;

// A camera event (request) or notification.
struct VpsEvt {
    uint32_t eventno;
    int32_t retCode;  // request: 0; notification: result or item code
    int32_t ival1;    // -1 when not used
    int32_t ival2;    // -1 when not used
    char cval[VPS_EVT_TEXT_SIZE];
};
static_assert(offsetof(VpsEvt, eventno) == 0);
static_assert(offsetof(VpsEvt, retCode) == 4);
static_assert(offsetof(VpsEvt, ival1) == 8);
static_assert(offsetof(VpsEvt, ival2) == 12);
static_assert(offsetof(VpsEvt, cval) == 16);
static_assert(sizeof(VpsEvt) == 272);

// One queued copy of an event and the link to the next one.
struct VpsEvtElem {
    VpsEvt evt;
    VpsEvtElem* next;
};

// Bounded FIFO of event copies. listLock guards the list; waitLock and
// waitCond serve the consumer's sleep: producers signal under waitLock, so a
// push between the consumer's empty pop and its wait still wakes it.
struct VpsEvtQueue {
    VpsEvtElem* head = nullptr;  // oldest; guarded by listLock
    VpsEvtElem* tail = nullptr;  // newest; guarded by listLock
    std::atomic<int32_t> count{0};
    bool open = false;  // accepts pushes between Init and Destroy; guarded by listLock
    std::mutex listLock;
    std::mutex waitLock;
    std::condition_variable waitCond;
};

// Notification callback: gets a record valid only during the call.
using VpsEvtCallback = int (*)(const VpsEvt* evt);
// Handler of one event number in the dispatcher table; result ignored.
using VpsEvtHandler = int (*)(const VpsEvt* evt);

// Posting: 0, or -1 (queue full, out of memory, event thread not running).
int PLR_VPS_SendEvent3(uint32_t eventno, int32_t ival1, int32_t ival2, const char* text);
int PLR_VPS_SendEvent2(uint32_t eventno, int32_t ival1, int32_t ival2);
int PLR_VPS_SendEvent1(uint32_t eventno, int32_t ival1);
int PLR_VPS_SendEvent(uint32_t eventno);

// Registers the one notification callback: 0; -1 for null or when one is registered.
int PLR_VPS_RegEvtCallback(VpsEvtCallback callback);
// Observers: front ends beside the phone link (ground stations) that must
// see every notification too. Each gets it after the callback, on the same
// thread, so it must only copy what it needs and return. At most
// VPS_EVT_OBSERVER_MAX; 0, or -1 for null, a full list or one already added.
inline constexpr size_t VPS_EVT_OBSERVER_MAX = 4;
int PLR_VPS_AddEvtObserver(VpsEvtCallback observer);
// Removes an observer; once it returns, the observer is not running and is
// not called again. 0, or -1 when it was not added.
int PLR_VPS_RemoveEvtObserver(VpsEvtCallback observer);
// Delivers a notification on the calling thread: the callback's result, or -1
// when none is registered (the notification is dropped); then to every
// observer.
int PLR_VPS_EvtNotify(uint32_t eventno, int32_t retCode, int32_t ival1, int32_t ival2,
                      const char* text);

// Start and stop the event thread. Stopping lets the handler in progress
// finish, discards queued events unhandled, and returns once the thread has
// ended. Both return 0 (start: -1 when the thread could not be created).
// Events posted while the thread is not running are refused.
int PLR_VPS_EvtThreadsInit();
int PLR_VPS_EvtThreadsDeinit();
// True between a successful start and the end of the event thread.
bool PLR_VPS_EvtThreadRunning();
// True once a stop of the event thread was requested: a long handler may cut
// its work short.
bool PLR_VPS_EvtExitRequested();
// The event thread's body; `context` is unused.
void* PLR_VPS_EvtHandleThread(void* context);

// The dispatcher: 0; -1 for null.
int PLR_VPS_EvtHandle(const VpsEvt* evt);
// Installs the handler of a dispatched event number; null gives the slot back
// to this module's own handler (events 0 and 27) or leaves it empty, and an
// empty slot logs "<name> not yet handled" and drops the event. 0; -1 for a
// number the table does not dispatch to a handler.
int PLR_VPS_SetEvtHandler(uint32_t eventno, VpsEvtHandler handler);
// The table's name of an event number ("VPS_EVT_REC_START"), or null.
const char* PLR_VPS_EvtName(uint32_t eventno);

// Handlers of events 0 (rescans devices) and 27 (removes the camera
// configuration, notifies, reboots the board).
void PLR_VPS_EvtInitHandle();
void PLR_VPS_ResetHandle();

// Queue operations (also used by the event bridge).
VpsEvtElem* PLR_VPS_EvtAlloc();
int PLR_VPS_EvtFree(VpsEvtElem* elem);
// Empties the queue and opens it for pushes: 0; -1 for null.
int PLR_VPS_EvtQueueInit(VpsEvtQueue* queue);
// Closes the queue: later pushes fail. Queued elements stay (clear them). 0.
int PLR_VPS_EvtQueueDestroy(VpsEvtQueue* queue);
// Copies the record in at the tail: 0; -1 for null, a closed queue, a full
// queue (VPS_EVT_QUEUE_MAX waiting, SD insert and eject excepted), no memory.
int PLR_VPS_EvtQueuePush(VpsEvtQueue* queue, const VpsEvt* evt);
// The oldest element (the caller frees it), or null; never waits.
VpsEvtElem* PLR_VPS_EvtQueuePop(VpsEvtQueue* queue);
// Pops and frees every element: 0; -1 for null.
int PLR_VPS_EvtQueueClear(VpsEvtQueue* queue);
// Wakes the consumer (signals waitCond under waitLock).
void PLR_VPS_EvtSchedule(VpsEvtQueue* queue);
// The consumer's wait: the oldest element, or null once `exitFlag` is
// non-zero (checked under waitLock before every sleep; whoever sets it must
// call PLR_VPS_EvtSchedule afterwards).
VpsEvtElem* PLR_VPS_EvtQueueWaitPop(VpsEvtQueue* queue, const std::atomic<uint32_t>& exitFlag);

// Returns the module to its state at program load: stops the thread, forgets
// the callback, empties the handler slots. For tests.
void PLR_VPS_EvtReset();
