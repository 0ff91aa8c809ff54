#include "core/timer.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>
#include <thread>

#include "core/trace_log.h"

// A scheduler thread per timer waits for the next expiry on the monotonic
// clock (a clock set by the phone does not disturb the period) and starts each
// handler on a thread of its own; deletion waits for those threads to end, so
// no handler outlives its timer.
struct PlrTimer {
    PlrTimerHandler handler = nullptr;
    void* arg = nullptr;
    std::mutex mutex;
    std::condition_variable changed;
    std::chrono::milliseconds period{0};
    std::chrono::steady_clock::time_point next;
    uint64_t generation = 0;  // bumped by every SetIntval, restarts the wait
    bool stopping = false;
    int running = 0;  // handler threads not yet finished
    std::thread scheduler;
};

namespace {

void run_handler(PlrTimer* timer) {
    timer->handler(timer->arg);
    std::lock_guard lock(timer->mutex);
    --timer->running;
    timer->changed.notify_all();
}

void schedule(PlrTimer* timer) {
    std::unique_lock lock(timer->mutex);
    while (!timer->stopping) {
        if (timer->period.count() == 0) {
            timer->changed.wait(lock);
            continue;
        }
        const uint64_t generation = timer->generation;
        if (timer->changed.wait_until(lock, timer->next, [&] {
                return timer->stopping || timer->generation != generation;
            })) {
            continue;
        }
        timer->next += timer->period;
        ++timer->running;
        try {
            std::thread(run_handler, timer).detach();
        } catch (const std::system_error&) {
            --timer->running;
            plr_trace_log(PLR_LOG_E, "timer handler thread could not be started");
        }
    }
}

}  // namespace

void PLR_Timer_Create(PlrTimer** timer, PlrTimerHandler handler, void* arg) {
    if (timer == nullptr || handler == nullptr) return;
    auto* created = new (std::nothrow) PlrTimer;
    if (created == nullptr) {
        plr_trace_log(PLR_LOG_D, "timer_create error!");
        *timer = nullptr;
        return;
    }
    created->handler = handler;
    created->arg = arg;
    try {
        created->scheduler = std::thread(schedule, created);
    } catch (const std::system_error&) {
        delete created;
        plr_trace_log(PLR_LOG_D, "timer_create error!");
        *timer = nullptr;
        return;
    }
    *timer = created;
    plr_trace_log(PLR_LOG_D, "PLR init timer ok!");
}

void PLR_Timer_SetIntval(PlrTimer* timer, int32_t milliseconds) {
    if (timer == nullptr || milliseconds < 0) return;
    std::lock_guard lock(timer->mutex);
    timer->period = std::chrono::milliseconds(milliseconds);
    timer->next = std::chrono::steady_clock::now() + timer->period;
    ++timer->generation;
    timer->changed.notify_all();
}

void PLR_Timer_Init(PlrTimer** timer, PlrTimerHandler handler) {
    PLR_Timer_Create(timer, handler, nullptr);
    if (timer != nullptr && *timer != nullptr) PLR_Timer_SetIntval(*timer, 0);
}

void PLR_Timer_Deinit(PlrTimer** timer) {
    if (timer == nullptr || *timer == nullptr) return;
    PlrTimer* t = *timer;
    {
        std::lock_guard lock(t->mutex);
        t->stopping = true;
        t->changed.notify_all();
    }
    t->scheduler.join();
    {
        std::unique_lock lock(t->mutex);
        t->changed.wait(lock, [&] { return t->running == 0; });
    }
    delete t;
    *timer = nullptr;
}
