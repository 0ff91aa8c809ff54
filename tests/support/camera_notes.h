// The camera core's notifications as a test sees them: a callback that keeps
// every notification, and waits for the ones a test expects. For tests that
// run the whole camera core in their process.
#pragma once

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "board_root_fixture.h"
#include "core/trace_log.h"
#include "vps/vps_ctx.h"
#include "vps/vps_event.h"
#include "vps/vps_pipeline.h"

class CameraNotes {
public:
    // The notification callback to register with PLR_VPS_RegEvtCallback.
    static int record(const VpsEvt* evt) {
        {
            std::lock_guard lock(mutex_);
            notes_.push_back(*evt);
        }
        changed_.notify_all();
        return 0;
    }
    static void clear() {
        std::lock_guard lock(mutex_);
        notes_.clear();
    }
    static std::vector<VpsEvt> all() {
        std::lock_guard lock(mutex_);
        return notes_;
    }
    static std::vector<VpsEvt> of(uint32_t eventno) {
        std::vector<VpsEvt> out;
        for (const VpsEvt& e : all()) {
            if (e.eventno == eventno) out.push_back(e);
        }
        return out;
    }
    static size_t count(uint32_t eventno) { return of(eventno).size(); }
    // Waits until `count` notifications of `eventno` have arrived; *last gets the newest.
    static bool wait(uint32_t eventno, size_t count, VpsEvt* last = nullptr,
                     std::chrono::seconds bound = std::chrono::seconds(60)) {
        std::unique_lock lock(mutex_);
        auto enough = [&] {
            return static_cast<size_t>(std::count_if(
                       notes_.begin(), notes_.end(),
                       [&](const VpsEvt& e) { return e.eventno == eventno; })) >= count;
        };
        const bool ok = changed_.wait_for(lock, bound, enough);
        if (ok && last != nullptr) {
            for (const VpsEvt& e : notes_) {
                if (e.eventno == eventno) *last = e;
            }
        }
        return ok;
    }
    // Posts an event and waits for the first notification of that number after it.
    static bool ask(uint32_t eventno, int32_t ival1, int32_t ival2, VpsEvt* answer,
                    std::chrono::seconds bound = std::chrono::seconds(60)) {
        const size_t before = count(eventno);
        if (PLR_VPS_SendEvent2(eventno, ival1, ival2) != 0) return false;
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, bound, [&] {
            size_t seen = 0;
            for (const VpsEvt& e : notes_) {
                if (e.eventno == eventno && seen++ == before) {
                    *answer = e;
                    return true;
                }
            }
            return false;
        });
    }

private:
    static inline std::mutex mutex_;
    static inline std::condition_variable changed_;
    static inline std::vector<VpsEvt> notes_;
};

// Polls until `done` holds or the bound passes.
inline bool wait_until(const std::function<bool()>& done,
                       std::chrono::seconds bound = std::chrono::seconds(60)) {
    const auto until = std::chrono::steady_clock::now() + bound;
    while (!done()) {
        if (std::chrono::steady_clock::now() > until) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return true;
}

// Starts the whole camera core on a board root with a mounted 4 GiB card, its
// notifications recorded by CameraNotes. Call with ASSERT_NO_FATAL_FAILURE.
inline void camera_core_start_with_card(const TempBoardRoot& board) {
    board.write("/dev/mmcblk2p1", "");
    board.write("/sim/card.mib", "4096\n");
    board.write("/sys/class/thermal/thermal_zone0/temp", "45000\n");
    board.write("/sys/class/gpio/gpio18/value", "0\n");
    TRACE_LOG_LEVEL(PLR_LOG_D);
    TRACE_LOG_ENABLE();
    CameraNotes::clear();
    PLR_VPS_EvtReset();
    ASSERT_EQ(PLR_VPS_RegEvtCallback(CameraNotes::record), 0);
    PLR_VPS_Init();
    PLR_VPS_SendEvent(VPS_EVT_SD_INSERT);
    ASSERT_TRUE(CameraNotes::wait(VPS_EVT_SD_INSERT, 1));
    ASSERT_EQ(g_vpsCtx.sdStatus.load(), static_cast<uint32_t>(VPS_SD_OK));
}
