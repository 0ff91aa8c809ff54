// vboard: start-up in a fixed order, the main loop, and the ordered shutdown
// when SIGINT or SIGTERM arrives.
#include <chrono>
#include <cstdio>

#include "app/app_hooks.h"
#include "app/mav_dispatch.h"
#include "board/board.h"
#include "cam2/cam2_endpoint.h"
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
#include "web/web_camera.h"
#include "web/web_server.h"

namespace {

// The web page's commands go through the phone's command dispatch.
int web_media_command(int32_t command) { return MavlinkMediaCommandHandle(command, 0); }
int web_set_parameter(uint8_t item, float p1, float p2, float p3) {
    mavlink_command_long_t cmd{};
    cmd.command = 180;
    cmd.target_component = item;
    cmd.param1 = p1;
    cmd.param2 = p2;
    cmd.param3 = p3;
    return MavlinkSetParameterHandle(&cmd);
}
void web_start() {
    PLR_WEB_SetCommandHooks(web_media_command, web_set_parameter);
    PLR_WEB_Init();
}
void web_stop() {
    PLR_WEB_Deinit();
    PLR_WEB_ClearCommandHooks();
}

// One step of the start-up or of the shutdown. No step's result stops either:
// a subsystem that fails to start logs and the others go on.
struct Step {
    const char* name;
    void (*run)();
};

// The settle pause between the subsystems and the late services: they settle
// for 5 seconds before the test mode, the upgrader and, last, the phone link
// (with the camera's notification callback) start. A stop request during the
// pause ends the start-up there.
constexpr Step kSettle = {"settle", nullptr};
constexpr uint32_t kSettleMs = 5000;

// Start order of the subsystems. The hooks come first, so that the links'
// threads and the camera find the layers above them wired.
constexpr Step kStartSteps[] = {
    {"PLR_MAIN_LogInit", PLR_MAIN_LogInit},
    {"PLR_MAIN_SigCbInit", [] { PLR_MAIN_SigCbInit(); }},
    {"PLR_MAIN_PidInit", [] { PLR_MAIN_PidInit(); }},
    {"PLR_APP_HooksInit", [] { PLR_APP_HooksInit(); }},
    {"UartInit", [] { UartInit(); }},
    {"PLR_SYS_LED_Init", [] { PLR_SYS_LED_Init(); }},
    {"CclInit", [] { CclInit(); }},
    {"PLR_VPS_Init", [] { PLR_VPS_Init(); }},
    {"PLR_FPV_StreamInit", [] { PLR_FPV_StreamInit(); }},
    {"PLR_VCS_Init", [] { PLR_VCS_Init(); }},
    {"PLR_UDP_Init", [] { PLR_UDP_Init(); }},
    {"PLR_FS_Init", [] { PLR_FS_Init(); }},
    {"PLR_WEB_Init", web_start},
    kSettle,
    {"PLR_TM_Init", [] { PLR_TM_Init(); }},
    {"PLR_FW_UpgradeInit", [] { PLR_FW_UpgradeInit(); }},
    {"PLR_MAV_Init", [] { PLR_MAV_Init(); }},
    {"PLR_CAM2_Init", [] { PLR_CAM2_Init(); }},
};

// Stop order of the subsystems; each entry runs once, in this order. The
// hooks go last, once nothing runs that could call them.
constexpr Step kStopSteps[] = {
    {"PLR_MAIN_PidDeinit", [] { PLR_MAIN_PidDeinit(); }},
    {"PLR_FW_UpgradeDeinit", [] { PLR_FW_UpgradeDeinit(); }},
    {"PLR_WEB_Deinit", web_stop},
    {"PLR_CAM2_Deinit", [] { PLR_CAM2_Deinit(); }},
    {"PLR_FPV_StreamDeinit", [] { PLR_FPV_StreamDeinit(); }},
    {"PLR_MAV_Deinit", [] { PLR_MAV_Deinit(); }},
    {"PLR_VPS_Deinit", PLR_VPS_Deinit},
    {"PLR_VCS_Deinit", [] { PLR_VCS_Deinit(); }},
    {"PLR_UDP_Deinit", [] { PLR_UDP_Deinit(); }},
    {"PLR_FS_Deinit", [] { PLR_FS_Deinit(); }},
    {"UartExit", [] { UartExit(); }},
    {"PLR_APP_HooksDeinit", [] { PLR_APP_HooksDeinit(); }},
};

// Runs the start steps in order. False when a stop was requested during the
// settle pause (the steps after it are skipped).
bool start_subsystems() {
    for (const Step& step : kStartSteps) {
        if (step.run == nullptr) {
            if (PLR_MAIN_WaitStop(kSettleMs)) return false;
            continue;
        }
        step.run();
    }
    return true;
}

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

    if (start_subsystems()) {
        PLR_MAIN_AddPoll(upgrade_poll);
        PLR_MAIN_AddPoll([] { PLR_RP_CustomTrigger(); });
        PLR_MAIN_AddPoll([] { PLR_MAIN_MemoryTrimPoll(PLR_MAIN_MemoryNowMs()); });
        PLR_MAIN_Loop();
    }

    plr_trace_log(PLR_LOG_I, "Program terminated!!!");
    for (const Step& step : kStopSteps) {
        plr_trace_logf(PLR_LOG_D, "shutdown: %s", step.name);
        step.run();
    }
    PLR_MAIN_SigCbDeinit();
    return 0;
}
