#include "core/main_loop.h"

#include <array>
#include <atomic>
#include <cstdio>

#include "core/led.h"
#include "core/signals.h"
#include "core/trace_log.h"

namespace {

constexpr size_t kMaxPolls = 4;
std::array<std::atomic<PlrMainPoll>, kMaxPolls> g_polls{};

}  // namespace

void PLR_MAIN_LogInit() {
    TRACE_LOG_SET_SD_STATUS(1);
    TRACE_LOG_LEVEL(PLR_LOG_D);
    TRACE_LOG_METHOD(PLR_LOG_METHOD_CONSOLE);
    TRACE_LOG_ENABLE();
    TRACE_FLYC_LOG_ENABLE();
}

void PLR_MAIN_LogSystick() {
    char text[50] = {};
    const int length = snprintf(text, sizeof text, "system tick..\n");
    plr_flylog_mutex_lock();
    PLR_LOG_Write(PLR_LOG_TYPE_FLYCTL, text, static_cast<uint32_t>(length));
    plr_flylog_mutex_unlock();
}

void PLR_MAIN_AddPoll(PlrMainPoll poll) {
    for (auto& slot : g_polls) {
        PlrMainPoll empty = nullptr;
        if (slot.compare_exchange_strong(empty, poll)) return;
    }
}

void PLR_MAIN_Loop() {
    bool phase = false;
    while (!PLR_MAIN_StopRequested()) {
        for (auto& slot : g_polls) {
            if (PlrMainPoll poll = slot.load(); poll != nullptr) poll();
        }
        const PlrLedStep step = PLR_SYS_LED_Step(&phase);
        if (PLR_MAIN_WaitStop(step.sleepMs)) break;
        if (step.secondTick) PLR_MAIN_LogSystick();
    }
}
