// vboard: start-up in a fixed order, the main loop, and the ordered shutdown
// when SIGINT or SIGTERM arrives.
#include <chrono>
#include <cstdio>

#include "board/board.h"
#include "core/ccl.h"
#include "core/led.h"
#include "core/main_loop.h"
#include "core/memory.h"
#include "core/pid_lock.h"
#include "core/signals.h"
#include "core/trace_log.h"
#include "fpv/fpv_stream.h"
#include "fs/fs_service.h"
#include "fs/udp_rtt.h"
#include "fw/fw_upgrade.h"
#include "mav/mav_link.h"
#include "mav/mav_repeater.h"
#include "mav/uart_link.h"
#include "vps/vcs.h"
#include "vps/vps_pipeline.h"
#include "vps/vps_testmode.h"

namespace {

struct StopStep {
    const char* name;
    void (*stop)();
};

// Stop order of the subsystems; each entry runs once, in this order.
constexpr StopStep kStopSteps[] = {
    {"PLR_MAIN_PidDeinit", [] { PLR_MAIN_PidDeinit(); }},
    {"PLR_FW_UpgradeDeinit", [] { PLR_FW_UpgradeDeinit(); }},
    {"PLR_FPV_StreamDeinit", [] { PLR_FPV_StreamDeinit(); }},
    {"PLR_MAV_Deinit", [] { PLR_MAV_Deinit(); }},
    {"PLR_VPS_Deinit", PLR_VPS_Deinit},
    {"PLR_VCS_Deinit", [] { PLR_VCS_Deinit(); }},
    {"PLR_UDP_Deinit", [] { PLR_UDP_Deinit(); }},
    {"PLR_FS_Deinit", [] { PLR_FS_Deinit(); }},
    {"UartExit", [] { UartExit(); }},
};

// The upgrader's trigger, once a second also while the LED blinks fast (the
// loop then passes every 40 ms).
void upgrade_poll() {
    static int64_t s_lastMs = INT64_MIN / 2;
    const int64_t now = std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::steady_clock::now().time_since_epoch())
                            .count();
    if (now - s_lastMs < 1000) return;
    s_lastMs = now;
    PLR_FW_UpgradeTrigger();
}

}  // namespace

int main() {
    PLR_MAIN_MemoryInit();
    if (board_init() != 0) return 1;

    PLR_MAIN_LogInit();
    PLR_MAIN_SigCbInit();
    PLR_MAIN_PidInit();
    UartInit();
    PLR_SYS_LED_Init();
    CclInit();
    PLR_VPS_Init();
    PLR_FPV_StreamInit();
    PLR_VCS_Init();
    PLR_UDP_Init();
    PLR_FS_Init();

    // Subsystems settle before the late services start; the phone link comes
    // last, with the notification callback of the camera.
    if (!PLR_MAIN_WaitStop(5000)) {
        PLR_TM_Init();
        PLR_FW_UpgradeInit();
        PLR_MAV_Init();
        PLR_MAIN_AddPoll(upgrade_poll);
        PLR_MAIN_AddPoll([] { PLR_RP_CustomTrigger(); });
        PLR_MAIN_AddPoll([] { PLR_MAIN_MemoryTrimPoll(PLR_MAIN_MemoryNowMs()); });
        PLR_MAIN_Loop();
    }

    plr_trace_log(PLR_LOG_I, "Program terminated!!!");
    for (const StopStep& step : kStopSteps) {
        plr_trace_logf(PLR_LOG_D, "shutdown: %s", step.name);
        step.stop();
    }
    PLR_MAIN_SigCbDeinit();
    return 0;
}
