#include "track/track.h"

#include <pthread.h>
#include <sched.h>
#include <sys/time.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

#include "board/board.h"
#include "core/trace_log.h"
#include "platform/media.h"

// Vision log lines: "<function> [line] text".
#define TRACK_LOG(level, format, ...) \
    plr_trace_logf((level), "<%s> [%d] " format, __func__, __LINE__ __VA_OPT__(, ) __VA_ARGS__)

namespace {

constexpr int32_t kVisionPipe = 0;
constexpr int32_t kVisionChn = 3;
constexpr int32_t kDropWaitMs = 40;
constexpr int kWorkerPriority = 2;
constexpr auto kPace = std::chrono::milliseconds(10);
constexpr auto kRetryPace = std::chrono::milliseconds(30);
constexpr uint8_t kToPhone = mavlink_sysid(MAV_BOARD_VIDEO, MAV_BOARD_PHONE);  // 36
constexpr uint8_t kToFc = mavlink_sysid(MAV_BOARD_VIDEO, MAV_BOARD_FLYCTRL);   // 35
constexpr uint8_t kStateLocked = 2;
// Per-frame lines are notable events, below the default trace level.
constexpr uint32_t kFrameLog = PLR_LOG_I;

struct TrackCtx {
    std::thread thread;
    std::atomic<uint32_t> trackThreadStop{0};
    std::atomic<uint32_t> trackWork{0};
    std::atomic<uint32_t> trackGo{0};
    std::mutex boxMutex;  // targetBox
    std::array<uint32_t, PLR_DETRACK_TARGET_WORDS> targetBox{};
    PlrDeTrackResult trackResult{};  // worker only
    PlrDeTrackCtrl trackCtrl{};      // worker only
    std::mutex mutex;
    std::condition_variable cond;
    std::atomic<bool> working{false};
};

struct ApronCtx {
    std::thread thread;
    std::atomic<uint32_t> stop{0};
    std::atomic<uint32_t> work{0};
    std::mutex mutex;
    std::condition_variable cond;
    std::atomic<bool> working{false};
    PlrDeTrackResult result{};  // worker only
};

TrackCtx track_ctx;
ApronCtx stApronCtx;

std::mutex g_switchMutex;  // makes "the other worker is off" and switching on one step
std::atomic<TrackSendFn> g_sendPhone{nullptr};
std::atomic<TrackSendFn> g_sendFc{nullptr};
std::atomic<uint8_t> g_seq{0};

uint64_t wall_ms() {
    timeval tv{};
    board_clock_gettimeofday(&tv);
    return static_cast<uint64_t>(tv.tv_sec) * 1000u + static_cast<uint64_t>(tv.tv_usec) / 1000u;
}

void send_report(const TrackReport& report, uint8_t compid, bool toPhone, bool toFc) {
    mavlink_vision_position_estimate_t vp{};
    PLR_TRACK_PackReport(report, &vp);
    mavlink_message_t msg{};
    if (toPhone) {
        mavlink_msg_vision_position_estimate_pack(kToPhone, compid, g_seq.fetch_add(1), &vp, &msg);
        if (const TrackSendFn send = g_sendPhone.load()) send(&msg);
    }
    if (toFc) {
        mavlink_msg_vision_position_estimate_pack(kToFc, compid, g_seq.fetch_add(1), &vp, &msg);
        if (const TrackSendFn send = g_sendFc.load()) send(&msg);
    }
}

// Box i of a result record, as a report (count, kind and time filled in by the caller).
TrackReport box_report(const PlrDeTrackResult& result, uint32_t i) {
    const uint32_t* w = result.words + i * PLR_DETRACK_BOX_WORDS;
    TrackReport r{};
    r.x = w[0];
    r.y = w[1];
    r.w = w[2];
    r.h = w[3];
    r.word4 = w[4];
    r.word5 = w[5];
    r.index = i;
    return r;
}

uint32_t box_count(const PlrDeTrackResult& result) {
    // A record holds 16 boxes at most, whatever the library wrote.
    return std::min<uint32_t>(result.words[PLR_DETRACK_COUNT_WORD], PLR_DETRACK_MAX_BOXES);
}

void set_realtime(std::thread& thread, const char* name) {
    pthread_setname_np(thread.native_handle(), name);
    sched_param param{};
    param.sched_priority = kWorkerPriority;
    const int rc = pthread_setschedparam(thread.native_handle(), SCHED_RR, &param);
    if (rc != 0) {
        TRACK_LOG(PLR_LOG_W, "%s keeps the default policy: SCHED_RR priority %d refused (%s)", name,
                  kWorkerPriority, strerror(rc));
    }
}

// Takes one picture of the stream away so that the first one processed is current.
void drop_stale_image() {
    MEDIA_BUFFER mb = RK_MPI_SYS_GetMediaBuffer(RK_MOD_VI, kVisionChn, kDropWaitMs);
    if (mb != nullptr) {
        TRACK_LOG(kFrameLog, "Drop");
        RK_MPI_MB_ReleaseBuffer(mb);
    }
}

void clear_target() {
    std::lock_guard lock(track_ctx.boxMutex);
    track_ctx.targetBox.fill(0);
}

std::array<uint32_t, PLR_DETRACK_TARGET_WORDS> target_box() {
    std::lock_guard lock(track_ctx.boxMutex);
    return track_ctx.targetBox;
}

// Waits for the worker's switch (or a stop). True when the worker should
// look at its switch, false when it must end.
bool wait_switch(const char* worker, std::mutex& mutex, std::condition_variable& cond,
                 const std::atomic<uint32_t>& work, const std::atomic<uint32_t>& stop) {
    plr_trace_logf(PLR_LOG_D, "<%s> [%d] start", worker, __LINE__);
    std::unique_lock lock(mutex);
    plr_trace_logf(PLR_LOG_D, "<%s> [%d] lock", worker, __LINE__);
    // A switch made before the wait began is not lost: the wait looks at it first.
    cond.wait(lock, [&] { return stop.load() == 1 || work.load() == 1; });
    plr_trace_logf(PLR_LOG_D, "<%s> [%d] cond", worker, __LINE__);
    return stop.load() != 1;
}

// A failed tracking step: the target box stays after codes 5 and 7.
void tracking_failed(int32_t code) {
    TRACK_LOG(PLR_LOG_E, "Drop out track :%d", code);
    if (code != PLR_DETRACK_ERR_NO_IMAGE && code != PLR_DETRACK_ERR_NO_TARGET) {
        clear_target();
        track_ctx.trackCtrl = PlrDeTrackCtrl{};
    }
    PLR_TRACK_Lost_Notify(code);
}

void tracking_round() {
    TrackCtx& t = track_ctx;
    PlrDeTrackCtrl& ctrl = t.trackCtrl;
    std::array<uint32_t, PLR_DETRACK_TARGET_WORDS> box = target_box();
    const uint32_t d = box[PLR_DETRACK_BOX_CMD];
    TRACK_LOG(kFrameLog, "go %u draw %u clear %u state %u", t.trackGo.load(), d, ctrl.continuous,
              ctrl.state);
    if (t.trackGo.exchange(0) == 1) {
        ctrl.continuous = 0;
        ctrl.cmd = static_cast<uint8_t>(d);
        ctrl.firstFrame = d == 0 ? 1 : 0;
        if (d > 2) {
            TRACK_LOG(PLR_LOG_E, "Code[%u]:err", d);
            clear_target();
            ctrl = PlrDeTrackCtrl{};
            return;
        }
        TRACK_LOG(PLR_LOG_D, "X:%u Y:%u W:%u H:%u", box[0], box[1], box[2], box[3]);
        const int32_t ret = PLR_DeTrack_Crtl(box.data(), &t.trackResult, &ctrl);
        if (ret != 0) {
            tracking_failed(ret);
            return;
        }
        PLR_TRACK_Detect_Notify_Handle(&t.trackResult, &ctrl, TRACK_ORIGIN_TARGET);
    } else if (ctrl.state != kStateLocked) {
        ctrl.continuous = 1;
        const int32_t ret = PLR_DeTrack_Crtl(box.data(), &t.trackResult, &ctrl);
        if (ret != 0) {
            std::this_thread::sleep_for(kRetryPace);
            return;
        }
        PLR_TRACK_Detect_Notify_Handle(&t.trackResult, &ctrl, TRACK_ORIGIN_CONTINUOUS);
    } else {
        ctrl.continuous = 0;
        ctrl.cmd = d == 2 ? 2 : 0;
        ctrl.firstFrame = 0;
        const int32_t ret = PLR_DeTrack_Crtl(box.data(), &t.trackResult, &ctrl);
        if (ret != 0) {
            tracking_failed(ret);
            return;
        }
        PLR_TRACK_Detect_Notify_Handle(&t.trackResult, &ctrl, TRACK_ORIGIN_TARGET);
    }
    std::this_thread::sleep_for(kPace);
}

void PLR_TRACK_Thread() {
    TrackCtx& t = track_ctx;
    while (t.trackThreadStop.load() != 1) {
        if (!wait_switch(__func__, t.mutex, t.cond, t.trackWork, t.trackThreadStop)) break;
        // The other worker may still be finishing its last round after its switch went off.
        if (t.trackWork.load() != 1 || stApronCtx.work.load() == 1 || stApronCtx.working.load()) {
            TRACK_LOG(PLR_LOG_D, "track_ctx.trackWork:%u", t.trackWork.load());
            std::this_thread::sleep_for(kPace);
            continue;
        }
        t.working.store(true);
        drop_stale_image();
        TRACK_LOG(PLR_LOG_D, "unlock trackWork:%u trackThreadStop:%u", t.trackWork.load(),
                  t.trackThreadStop.load());
        t.trackCtrl = PlrDeTrackCtrl{0, 0, 1, 0};
        while (t.trackWork.load() == 1 && t.trackThreadStop.load() != 1) tracking_round();
        t.working.store(false);
    }
}

void PLR_APRON_Thread() {
    ApronCtx& a = stApronCtx;
    while (a.stop.load() != 1) {
        if (!wait_switch(__func__, a.mutex, a.cond, a.work, a.stop)) break;
        if (a.work.load() != 1 || track_ctx.trackWork.load() == 1 || track_ctx.working.load()) {
            TRACK_LOG(PLR_LOG_D, "stApronCtx.work:%u", a.work.load());
            std::this_thread::sleep_for(kPace);
            continue;
        }
        a.working.store(true);
        drop_stale_image();
        uint8_t stopByte = 0;
        while (a.work.load() == 1 && a.stop.load() != 1) {
            std::this_thread::sleep_for(kPace);
            const int32_t ret = PLR_LandPad_Detrack(&a.result, &stopByte);
            if (ret != 0) {
                TRACK_LOG(PLR_LOG_E, "Apron check err %d", ret);
                PLR_APRON_Lost_Notify(ret);
            } else {
                PLR_APRON_Detect_Notify_Handle(&a.result);
            }
        }
        stopByte = 1;
        PLR_LandPad_Detrack(&a.result, &stopByte);
        a.working.store(false);
    }
}

// Stores a worker's switch unless the other one is on; wakes the worker.
int set_work(const char* caller, uint32_t on, std::atomic<uint32_t>& work,
             const std::atomic<uint32_t>& other, const char* otherName, std::mutex& mutex,
             std::condition_variable& cond) {
    on = on != 0 ? 1 : 0;
    {
        std::lock_guard lock(g_switchMutex);
        if (on == work.load()) return 0;
        if (on == 1 && other.load() == 1) {
            plr_trace_logf(PLR_LOG_W, "<%s> refused: %s is on", caller, otherName);
            return -1;
        }
        work.store(on);
    }
    { std::lock_guard lock(mutex); }
    cond.notify_all();
    plr_trace_logf(PLR_LOG_D, "<%s> work status:%u", caller, on);
    return 0;
}

void stop_worker(std::thread& thread, std::atomic<uint32_t>& stop, std::mutex& mutex,
                 std::condition_variable& cond) {
    {
        std::lock_guard lock(mutex);
        stop.store(1);
    }
    cond.notify_all();
    if (thread.joinable()) thread.join();
}

}  // namespace

int PLR_TRACK_VI_Init() {
    int32_t ret = RK_MPI_VI_StartStream(kVisionPipe, kVisionChn);
    if (ret != RK_SUCCESS) {
        plr_trace_logf(PLR_LOG_E, "Start Vi 0 Chn 3 failed! ret=%d", ret);
        return -1;
    }
    ret = RK_MPI_SYS_StartGetMediaBuffer(RK_MOD_VI, kVisionChn);
    if (ret != RK_SUCCESS) {
        plr_trace_logf(PLR_LOG_E, "StartGetMediaBuffer Chn 3 failed! ret=%d", ret);
        return -1;
    }
    plr_trace_logf(PLR_LOG_D, "PLR_DeTrack_VI_Init Success");
    return 0;
}

int PLR_TRACK_Init() {
    if (track_ctx.thread.joinable() || stApronCtx.thread.joinable()) return 0;
    PLR_TRACK_VI_Init();
    PLR_DeTrack_Init();
    track_ctx.trackThreadStop.store(0);
    track_ctx.trackWork.store(0);
    track_ctx.trackGo.store(0);
    clear_target();
    track_ctx.trackResult = PlrDeTrackResult{};
    track_ctx.trackCtrl = PlrDeTrackCtrl{};
    stApronCtx.stop.store(0);
    stApronCtx.work.store(0);
    stApronCtx.result = PlrDeTrackResult{};
    track_ctx.thread = std::thread(PLR_TRACK_Thread);
    set_realtime(track_ctx.thread, "track");
    stApronCtx.thread = std::thread(PLR_APRON_Thread);
    set_realtime(stApronCtx.thread, "apron");
    plr_trace_logf(PLR_LOG_D, "<%s> [%d] start", "PLR_TRACK_Init", 440);
    return 0;
}

int PLR_TRACK_Deinit() {
    stop_worker(track_ctx.thread, track_ctx.trackThreadStop, track_ctx.mutex, track_ctx.cond);
    stop_worker(stApronCtx.thread, stApronCtx.stop, stApronCtx.mutex, stApronCtx.cond);
    track_ctx.trackWork.store(0);
    stApronCtx.work.store(0);
    PLR_DeTrack_DeInit();
    return 0;
}

int PLR_TRACK_SetWork(uint32_t on) {
    return set_work(__func__, on, track_ctx.trackWork, stApronCtx.work, "landing-pad detection",
                    track_ctx.mutex, track_ctx.cond);
}

int PLR_APRON_SetWork(uint32_t on) {
    return set_work(__func__, on, stApronCtx.work, track_ctx.trackWork, "target tracking",
                    stApronCtx.mutex, stApronCtx.cond);
}

uint32_t PLR_TRACK_GetWork() {
    return track_ctx.trackWork.load();
}
uint32_t PLR_APRON_GetWork() {
    return stApronCtx.work.load();
}
bool PLR_TRACK_Working() {
    return track_ctx.working.load();
}
bool PLR_APRON_Working() {
    return stApronCtx.working.load();
}

int PLR_TRACK_SetPosition(uint32_t X, uint32_t Y, uint32_t W, uint32_t H, uint32_t mode,
                          uint32_t D) {
    std::array<uint32_t, PLR_DETRACK_TARGET_WORDS> box = {X, Y, W, H, mode, D};
    if (D <= 2 || D == 4) {
        // The library reads the picture under this box: keep it inside the picture.
        const int32_t x0 = static_cast<int16_t>(X & 0xFFFFu),
                      y0 = static_cast<int16_t>(Y & 0xFFFFu);
        const int32_t x1 = x0 + static_cast<int32_t>(W & 0xFFFFu);
        const int32_t y1 = y0 + static_cast<int32_t>(H & 0xFFFFu);
        const int32_t cx0 = std::max(x0, 0), cy0 = std::max(y0, 0);
        const int32_t cx1 = std::min<int32_t>(x1, PLR_DETRACK_IMG_WIDTH);
        const int32_t cy1 = std::min<int32_t>(y1, PLR_DETRACK_IMG_HEIGHT);
        if (cx1 <= cx0 || cy1 <= cy0) {
            TRACK_LOG(PLR_LOG_E, "box X:%d Y:%d W:%u H:%u is off the %dx%d image, refused", x0, y0,
                      W, H, PLR_DETRACK_IMG_WIDTH, PLR_DETRACK_IMG_HEIGHT);
            return -1;
        }
        box[0] = static_cast<uint32_t>(cx0);
        box[1] = static_cast<uint32_t>(cy0);
        box[2] = static_cast<uint32_t>(cx1 - cx0);
        box[3] = static_cast<uint32_t>(cy1 - cy0);
        if (box[0] != X || box[1] != Y || box[2] != W || box[3] != H) {
            TRACK_LOG(PLR_LOG_W, "box X:%d Y:%d W:%u H:%u clamped to X:%u Y:%u W:%u H:%u", x0, y0,
                      W, H, box[0], box[1], box[2], box[3]);
        }
    }
    {
        std::lock_guard lock(track_ctx.boxMutex);
        track_ctx.targetBox = box;
    }
    if (D != 2 && D != 4) track_ctx.trackGo.store(1);
    return 0;
}

void PLR_TRACK_GetTargetBox(uint32_t box[PLR_DETRACK_TARGET_WORDS]) {
    const auto stored = target_box();
    std::copy(stored.begin(), stored.end(), box);
}

void PLR_TRACK_Detect_Notify_Handle(const PlrDeTrackResult* result, const PlrDeTrackCtrl* control,
                                    uint32_t origin) {
    if (result == nullptr || control == nullptr) return;
    const uint32_t count = box_count(*result);
    TRACK_LOG(kFrameLog, "boxnum %u ctrl %u state %u", count, control->state, origin);
    const uint64_t now = wall_ms();
    if (count == 0) {
        TrackReport r = box_report(*result, 0);
        r.x = r.y = r.w = r.h = 0;
        r.word4 = 0;
        r.timeMs = now;
        r.kind = control->state;
        send_report(r, TRACK_REPORT_COMPID, true, false);
        return;
    }
    const bool toFc = origin != TRACK_ORIGIN_CONTINUOUS && control->state != 1;
    for (uint32_t i = 0; i < count; ++i) {
        TrackReport r = box_report(*result, i);
        r.timeMs = now;
        r.count = count;
        r.kind = control->state;
        TRACK_LOG(kFrameLog, "track box x,y(%u,%u) w,h(%u,%u)", r.x, r.y, r.w, r.h);
        send_report(r, TRACK_REPORT_COMPID, true, toFc);
    }
}

void PLR_TRACK_Lost_Notify(int32_t code) {
    TRACK_LOG(PLR_LOG_D, "Lost Target:%d", code);
    TrackReport r{};
    r.code = static_cast<uint32_t>(code);
    r.kind = TRACK_KIND_LOST;
    send_report(r, TRACK_REPORT_COMPID, true, true);
    TRACK_LOG(PLR_LOG_D, "date to sys:%u, compid:%u", kToFc, TRACK_REPORT_COMPID);
}

void PLR_APRON_Detect_Notify_Handle(const PlrDeTrackResult* result) {
    if (result == nullptr) return;
    const uint32_t frame = (APRON_FC_HEIGHT << 16) | APRON_FC_WIDTH;
    const uint64_t now = wall_ms();
    if (box_count(*result) == 0) {
        TrackReport r{};
        r.timeMs = now;
        r.kind = TRACK_KIND_APRON;
        r.frame = frame;
        send_report(r, APRON_REPORT_COMPID, true, true);
        return;
    }
    TrackReport r = box_report(*result, 0);
    r.timeMs = now;
    r.count = box_count(*result);
    r.kind = TRACK_KIND_APRON;
    r.frame = frame;
    TrackReport scaled = r;
    scaled.x = r.x * APRON_FC_WIDTH / PLR_DETRACK_IMG_WIDTH;
    scaled.w = r.w * APRON_FC_WIDTH / PLR_DETRACK_IMG_WIDTH;
    scaled.y = r.y * APRON_FC_HEIGHT / PLR_DETRACK_IMG_HEIGHT;
    scaled.h = r.h * APRON_FC_HEIGHT / PLR_DETRACK_IMG_HEIGHT;
    TRACK_LOG(kFrameLog, "APRON box x,y(%u,%u) w,h(%u,%u) org (%u,%u) w:h(%u,%u)", scaled.x,
              scaled.y, scaled.w, scaled.h, r.x, r.y, r.w, r.h);
    send_report(scaled, APRON_REPORT_COMPID, false, true);
    send_report(r, APRON_REPORT_COMPID, true, false);
    TRACK_LOG(kFrameLog, "date to sys:%u, compid:%u", kToPhone, APRON_REPORT_COMPID);
}

void PLR_APRON_Lost_Notify(int32_t code) {
    TRACK_LOG(PLR_LOG_D, "Lost Target %d", code);
    TrackReport r{};
    r.code = static_cast<uint32_t>(code);
    r.kind = TRACK_KIND_APRON;
    send_report(r, APRON_REPORT_COMPID, true, true);
    TRACK_LOG(PLR_LOG_D, "date to sys:%u, compid:%u", kToFc, APRON_REPORT_COMPID);
}

void PLR_TRACK_SetSenders(TrackSendFn phone, TrackSendFn fc) {
    g_sendPhone.store(phone);
    g_sendFc.store(fc);
}
