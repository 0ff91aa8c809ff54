#include "mav/mav_bridge.h"

#include <pthread.h>
#include <sched.h>

#include <atomic>
#include <cstring>
#include <system_error>
#include <thread>

#include "core/timer.h"
#include "core/trace_log.h"
#include "mav/mav_link.h"
#include "mav/uart_link.h"
#include "vps/vcs.h"

namespace {

constexpr uint8_t kAckMsgId = MAVLINK_MSG_ID_COMMAND_LONG;  // 76
constexpr uint8_t kAckCommand = 180;                        // the parameter command
constexpr uint16_t kCmdSnapDone = 2000;
constexpr uint16_t kCmdSnapStop = 2001;
constexpr uint16_t kCmdRecStart = 2500;
constexpr uint16_t kCmdRecStop = 2501;
constexpr uint16_t kCmdTlapseProgress = 2003;
constexpr uint32_t kSnapModeQuiet = 5;  // picture mode whose photos are not acknowledged
constexpr uint32_t kCamStateSnapDone = 1;
constexpr uint32_t kCamStateRecStopped = 4;

MavlinkCtx& ctx() {
    return MavlinkContext;
}

uint8_t result_of(int32_t retCode) {
    return retCode == 0 ? 0 : 4;
}

uint8_t low(int32_t v) {
    return static_cast<uint8_t>(v & 0xFF);
}

void param_ack(uint8_t item, uint8_t result, uint8_t v1, uint8_t v2) {
    const mavlink_pelora_ack_t ack{{0, item, kAckMsgId, kAckCommand, result, v1, v2}};
    MavlinkPeloraAckSend(&ack);
}

void command_long_to_phone(uint16_t command, int32_t p1, int32_t p2) {
    mavlink_command_long_t cmd{};
    cmd.command = command;
    cmd.target_component = 22;
    cmd.param1 = static_cast<float>(p1);
    cmd.param2 = static_cast<float>(p2);
    mavlink_pelora_command_long_send(&cmd);
}

void PLR_MAV_VPS_EvtHandleThread() {
    sched_param param{};
    param.sched_priority = 2;
    const int rc = pthread_setschedparam(pthread_self(), SCHED_RR, &param);
    if (rc != 0) {
        plr_trace_logf(PLR_LOG_D, "event bridge keeps the default policy: SCHED_RR refused (%s)",
                       strerror(rc));
    }
    ctx().BridgeRunning.store(1);
    while (true) {
        VpsEvtElem* elem = PLR_VPS_EvtQueueWaitPop(&ctx().BridgeQueue, ctx().BridgeExit);
        if (elem == nullptr) break;
        PLR_MAV_VPS_EvtHandle(&elem->evt);
        PLR_VPS_EvtFree(elem);
    }
    ctx().BridgeRunning.store(0);
    plr_trace_logf(PLR_LOG_D, "%s Thread Exited!!", "PLR_MAV_VPS_EvtHandleThread");
}

std::atomic<MavEvtPoster> g_poster{nullptr};

}  // namespace

void MavlinkSetEvtPoster(MavEvtPoster poster) {
    g_poster.store(poster);
}

int MavlinkPostEvent(uint32_t eventno, int32_t ival1, int32_t ival2, const char* text) {
    const MavEvtPoster poster = g_poster.load();
    if (poster != nullptr) return poster(eventno, ival1, ival2, text);
    return PLR_VPS_SendEvent3(eventno, ival1, ival2, text);
}

int PLR_MAV_VPS_EvtInit() {
    PLR_VPS_RegEvtCallback(PLR_MAV_VPS_EvtCallback);  // already registered by an earlier start
    PLR_VPS_EvtQueueInit(&ctx().BridgeQueue);
    const int ret = PLR_MAV_VPS_EvtThreadsInit();
    // The camera answered its start-up configuration and card queries before
    // anyone listened; ask again so the phone's picture starts out right.
    PLR_VPS_SendEvent(VPS_EVT_CFG_QUERY);
    PLR_VPS_SendEvent(VPS_EVT_SD_QUERY);
    return ret;
}

int PLR_MAV_VPS_EvtDeinit() {
    PLR_MAV_VPS_EvtThreadsDeinit();
    PLR_VPS_EvtQueueDestroy(&ctx().BridgeQueue);
    PLR_VPS_EvtQueueClear(&ctx().BridgeQueue);
    return 0;
}

int PLR_MAV_VPS_EvtThreadsInit() {
    if (ctx().BridgeThread.joinable()) return 0;
    ctx().BridgeExit.store(0);
    try {
        ctx().BridgeThread = std::thread(PLR_MAV_VPS_EvtHandleThread);
    } catch (const std::system_error&) {
        PLR_TRACE(PLR_LOG_E, "event bridge thread could not be started");
        return -1;
    }
    return 0;
}

int PLR_MAV_VPS_EvtThreadsDeinit() {
    if (!ctx().BridgeThread.joinable()) return 0;
    ctx().BridgeExit.store(1);
    PLR_VPS_EvtSchedule(&ctx().BridgeQueue);
    ctx().BridgeThread.join();
    return 0;
}

int PLR_MAV_VPS_EvtCallback(const VpsEvt* evt) {
    return PLR_MAV_EvtHandle(evt);
}

int PLR_MAV_EvtHandle(const VpsEvt* evt) {
    if (evt == nullptr) return -1;
    if (PLR_VPS_EvtQueuePush(&ctx().BridgeQueue, evt) != 0) {
        // A closed queue (the link is stopped) drops quietly; a full one says so.
        if (ctx().BridgeRunning.load() != 0)
            PLR_TRACE(PLR_LOG_E, "VPS Add event %d failed!!", static_cast<int>(evt->eventno));
        return -1;
    }
    PLR_VPS_EvtSchedule(&ctx().BridgeQueue);
    return 0;
}

int PLR_MAV_VPS_EvtHandle(const VpsEvt* evt) {
    if (evt == nullptr) return -1;
    const bool ok = evt->retCode == 0;
    const uint8_t result = result_of(evt->retCode);
    switch (evt->eventno) {
        case VPS_EVT_MODE_SWITCH:
            if (ok) {
                plr_trace_logf(PLR_LOG_D, "%s mode switch to %s", __func__,
                               evt->ival1 != 0 ? "RECORD" : "PHOTO");
                PLR_VCS_SetVpsMode(static_cast<uint32_t>(evt->ival1));
            }
            param_ack(1, result, low(evt->ival1), 0);
            break;
        case VPS_EVT_SD_INSERT:
        case VPS_EVT_SD_EJECT:
        case VPS_EVT_SD_QUERY:
            plr_trace_logf(PLR_LOG_D, "%s VPS_EVT_SD_STATUS:%d", __func__,
                           static_cast<int>(evt->eventno));
            PLR_VCS_SetSDStatus(static_cast<uint32_t>(evt->retCode),
                                static_cast<uint32_t>(evt->ival1),
                                static_cast<uint32_t>(evt->ival2));
            MavlinkSdCardStatusNotify();
            break;
        case VPS_EVT_SD_FORMAT:
            param_ack(25, result, low(evt->ival1), 0);
            break;
        case VPS_EVT_SNAP_START:
            if (ok && PLR_VCS_GetSnapMode() != kSnapModeQuiet)
                mavlink_pelora_command_ack_send(kCmdSnapDone, 0);
            break;
        case VPS_EVT_SNAP_STOP:
            if (PLR_VCS_GetSnapMode() != kSnapModeQuiet) {
                mavlink_pelora_command_ack_send(kCmdSnapStop, result);
                uart_mavlink_camera_state_send(kCamStateSnapDone);
            } else if (ok) {
                uart_mavlink_camera_state_send(kCamStateSnapDone);
            }
            break;
        case VPS_EVT_REC_START:
            if (ok) {
                ctx().RecSeconds.store(0);
                ctx().Recording.store(1);
                MavlinkSetTimer(ctx().RecTimer, 1000);
                const char* slash = strrchr(evt->cval, '/');
                if (slash != nullptr) {
                    std::lock_guard lock(ctx().RecLock);
                    snprintf(ctx().RecFileName, sizeof ctx().RecFileName, "%s", slash + 1);
                    plr_trace_logf(PLR_LOG_D, "%s:%d recfile %s", __func__, __LINE__,
                                   ctx().RecFileName);
                }
            }
            plr_trace_logf(PLR_LOG_D, "%s VPS_EVT_REC_START OK", __func__);
            mavlink_pelora_command_ack_send(kCmdRecStart, result);
            break;
        case VPS_EVT_REC_STOP:
            // A stop notification always means the recording has ended; a
            // non-zero result says the card ended it.
            {
                ctx().RecSeconds.store(0);
                ctx().Recording.store(0);
                MavlinkSetTimer(ctx().RecTimer, 0);
                std::lock_guard lock(ctx().RecLock);
                ctx().RecFileName[0] = '\0';
            }
            mavlink_pelora_command_ack_send(kCmdRecStop, result);
            uart_mavlink_camera_state_send(kCamStateRecStopped);
            break;
        case VPS_EVT_RES_SET:
            if (ok) PLR_VCS_SetRes(evt->ival1, evt->ival2);
            break;
        case VPS_EVT_AE_MODE_SET:
            if (ok) PLR_VCS_SetAEMode(static_cast<uint32_t>(evt->ival1));
            break;
        case VPS_EVT_AE_ATTR_SET:
        case 19:
        case 20:
        case VPS_EVT_FPV_BITRATE:
            break;
        case VPS_EVT_AE_ROI_SET:
            param_ack(16, result, low(evt->ival1), low(evt->ival2));
            break;
        case VPS_EVT_ATTR_SET:
            if (ok) PLR_VCS_AttrSetHandle(evt->ival1, evt->ival2);
            break;
        case VPS_EVT_STATUS:
        case VPS_EVT_CFG_QUERY:
            PLR_VCS_VPSNotiHandle(evt->retCode, evt->ival1, evt->ival2, evt->cval);
            break;
        case VPS_EVT_TIMELAPSE:
            PLR_VCS_VPSTlapseHandle(evt->ival1, evt->retCode, evt->ival2);
            param_ack(22, result, low(evt->ival1), low(evt->ival2));
            uart_mavlink_camera_tlapse_send(static_cast<float>(evt->ival1), 0, 0, 0, 0, 0);
            break;
        case VPS_EVT_TLAPSE_PROGRESS:
            command_long_to_phone(kCmdTlapseProgress, evt->ival1, evt->ival2);
            break;
        case VPS_EVT_SNAP_TLAPSE:
            command_long_to_phone(kCmdSnapDone, evt->ival1, evt->ival2);
            break;
        case VPS_EVT_RESET:
            param_ack(24, result, 0, 0);
            break;
        case VPS_EVT_ZOOM_OUT:
        case VPS_EVT_ZOOM_IN:
        case VPS_EVT_ZOOM_SET:
            if (ok) PLR_VCS_VPSZoomHandle(low(evt->ival1));
            break;
        case VPS_EVT_CCT_SET:
            if (ok) PLR_VCS_CCTSetHandle(evt->ival1, evt->ival2);
            break;
        case VPS_EVT_DN_MODE_SET:
            if (ok) PLR_VCS_DNModeSetHandle(evt->ival1);
            break;
        default:
            plr_trace_logf(PLR_LOG_D, "%s eventno %d retCode: %d ival1:%d ival2:%d cval:%s",
                           __func__, static_cast<int>(evt->eventno), evt->retCode, evt->ival1,
                           evt->ival2, evt->cval);
            break;
    }
    return 0;
}

int MavlinkSdCardStatusNotify() {
    const VcsSdStatus sd = PLR_VCS_GetSDStatus();
    return MavlinkPeloraSdStatusSend(static_cast<float>(sd.total), static_cast<float>(sd.free),
                                     MavlinkConvertSDStatus(sd.status));
}

uint8_t MavlinkConvertSDStatus(uint32_t state) {
    return state == 0 ? 0 : state == 1 ? 1 : 2;
}
