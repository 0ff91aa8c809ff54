#include "app/mav_dispatch.h"

#include <sys/time.h>

#include <atomic>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "board/board.h"
#include "core/ccl.h"
#include "core/trace_log.h"
#include "fpv/fpv_stream.h"
#include "fw/fw_transfer.h"
#include "fw/fw_upgrade.h"
#include "fw/fw_upload.h"
#include "mav/mav_gps.h"
#include "mav/mav_input.h"
#include "mav/mav_link.h"
#include "mav/mav_wifi.h"
#include "mav/uart_link.h"
#include "state/fs_stream.h"
#include "track/track.h"
#include "vps/vcs.h"
#include "vps/vps_ctx.h"
#include "vps/vps_event.h"
#include "vps/vps_snap.h"

namespace {

constexpr uint8_t kWifiReportComponent = 192;
constexpr uint16_t kCmdMedia = 2;
constexpr uint16_t kCmdFirmwareUpdate = 4;
constexpr uint16_t kCmdSetParameter = 180;
constexpr uint16_t kCmdDigicamControl = 203;
constexpr uint16_t kCmdSnapStarted = 2000;  // answer: a photo started
constexpr uint16_t kCmdRecStarted = 2500;   // answer: a recording started
constexpr int32_t kPanoModeMax = 15;        // the status report's four bits
constexpr uint32_t kTimeSyncAckId = 111;
constexpr uint32_t kBaseBitrate = 2048;
constexpr uint32_t kFpvBitrateMin = 512000;
constexpr uint32_t kFpvBitrateMax = 1024000;

std::atomic<uint8_t> g_lastQuadStatus{0};

std::mutex g_advisoryLock;  // the two counters; nothing else is called under it
uint32_t g_goodLink = 0;
uint32_t g_badLink = 0;

bool addressed_here(const mavlink_message_t* msg) {
    const uint8_t to = mavlink_sysid_target(msg->sysid);
    return to == MAV_BOARD_VIDEO || to == MAV_BOARD_REPEATER;
}

// The parameter as an integer; 0 when it has none (NaN, infinite, beyond
// int32). Used where the range was checked first or any value is harmless.
int32_t trunc_param(float p) {
    int32_t v = 0;
    MavlinkParamToInt(p, INT32_MIN, INT32_MAX, &v);
    return v;
}

void pelora_ack(uint8_t item, uint8_t msgid, uint8_t b3) {
    mavlink_pelora_ack_t ack{};
    ack.data[1] = item;
    ack.data[2] = msgid;
    ack.data[3] = b3;
    MavlinkPeloraAckSend(&ack);
}

// The answer to a camera parameter: 0, item, 76, 180, result, value 1, value 2.
void pelora_ack_param(uint8_t item, uint8_t result, uint8_t v1, uint8_t v2) {
    const mavlink_pelora_ack_t ack{
        {0, item, MAVLINK_MSG_ID_COMMAND_LONG, kCmdSetParameter, result, v1, v2}};
    MavlinkPeloraAckSend(&ack);
}

// The answers a camera command gets when it is refused before reaching the
// camera: what the camera itself would have answered, with result 4.
void refuse_media_command(int32_t command) {
    switch (command) {
        case 0:
        case 2:
            // Mode unchanged: value 1 is the mode the camera stays in.
            pelora_ack_param(1, MAV_RESULT_FAILED, static_cast<uint8_t>(PLR_VCS_GetVpsMode()), 0);
            break;
        case 1:
        case 2000:
            mavlink_pelora_command_ack_send(kCmdSnapStarted, MAV_RESULT_FAILED);
            break;
        case 3:
            mavlink_pelora_command_ack_send(kCmdRecStarted, MAV_RESULT_FAILED);
            break;
        default:
            mavlink_pelora_command_ack_send(kCmdMedia, MAV_RESULT_FAILED);
            break;
    }
}

}  // namespace

// ---- routing ----

int MavlinkMessageDispatch(const mavlink_message_t* msg) {
    if (msg == nullptr) return -1;
    if (addressed_here(msg)) {
        MavlinkMessageProcess(msg);
    } else {
        uart_mavlink_send(msg);
    }
    return 0;
}

int uart_message_dispatch(const mavlink_message_t* msg) {
    if (msg == nullptr) return -1;
    // The flight controller's and the gimbal's answers during their upgrade.
    if (msg->msgid == MAVLINK_MSG_ID_COMMAND_LONG && addressed_here(msg)) {
        mavlink_command_long_t cmd{};
        if (mavlink_msg_command_long_decode(msg, &cmd) == 0 && cmd.command == kCmdFirmwareUpdate) {
            return MavlinkFirmwareCommandRoute(msg, MAV_FROM_UART);
        }
    }
    // Uploads come only on the phone's link, whatever their sender id says.
    if (msg->msgid == MAVLINK_MSG_ID_FILE_TRANSFER_PROTOCOL && addressed_here(msg)) return -1;
    if (msg->msgid == MAVLINK_MSG_ID_PELORA_QUAD_STATUS) {
        MavlinkQuadStatusHandle(msg);
    } else if (msg->msgid == MAVLINK_MSG_ID_GPS_RAW_INT ||
               msg->msgid == MAVLINK_MSG_ID_PELORA_GPS_INFO) {
        MavlinkUpdateGPSInfo(msg);
    }
    if (addressed_here(msg)) {
        MavlinkMessageProcess(msg);
    } else {
        PLR_MAV_SendMessage(msg);
    }
    return 0;
}

int MavlinkMessageProcess(const mavlink_message_t* msg) {
    if (msg == nullptr) return -1;
    switch (msg->msgid) {
        case MAVLINK_MSG_ID_HEARTBEAT:
            MavlinkRepeaterHBHandle(msg);
            break;
        case MAVLINK_MSG_ID_PARAM_REQUEST_LIST:
            MavlinkParamRequestListHandle(msg);
            break;
        case MAVLINK_MSG_ID_GPS_RAW_INT:
        case MAVLINK_MSG_ID_PELORA_GPS_INFO:
            MavlinkUpdateGPSInfo(msg);
            break;
        case MAVLINK_MSG_ID_LOCAL_POSITION_NED:
            uart_mavlink_local_position_ned_process(msg);
            break;
        case MAVLINK_MSG_ID_PELORA_SD_REQUEST:
            MavlinkSdCardRequestHandle(msg);
            break;
        case MAVLINK_MSG_ID_PELORA_CUSTOM_CONFIG:
            mavlink_pelora_set_wifi_handler(msg);
            break;
        case MAVLINK_MSG_ID_DATA_STREAM:
            MavlinkDataStreamProcess(msg);
            break;
        case MAVLINK_MSG_ID_COMMAND_LONG:
            MavlinkCommandLongHandle(msg);
            break;
        case MAVLINK_MSG_ID_HIL_STATE:
        case MAVLINK_MSG_ID_HIL_SENSOR:
            MavlinkFlyctlDataHandle(msg);
            break;
        case MAVLINK_MSG_ID_VISION_POSITION_ESTIMATE:
            MavlinkVisionPositionProcess(msg);
            break;
        case MAVLINK_MSG_ID_HIGHRES_IMU:
            if (mavlink_sysid_sender(msg->sysid) == MAV_BOARD_FLYCTRL) {
                plr_trace_logf(PLR_LOG_D, "MavlinkMessageProcess from %d", MAV_BOARD_FLYCTRL);
            } else {
                MavlinkGimbalDataHandle(msg);
            }
            break;
        case MAVLINK_MSG_ID_FILE_TRANSFER_PROTOCOL:
            // Uploads come from the phone, and only while no board is upgraded.
            if (PLR_FW_GetUpgradingSys() != FW_SYS_NONE ||
                mavlink_sysid_sender(msg->sysid) != MAV_BOARD_PHONE) {
                PLR_TRACE(PLR_LOG_D, "transfer message from %d ignored while board %u upgrades",
                          msg->sysid, PLR_FW_GetUpgradingSys());
                break;
            }
            mavlink_file_transfer_handler(msg);
            break;
        case MAVLINK_MSG_ID_TIMESYNC:
            MavlinkTimeSyncHandle(msg);
            break;
        case MAVLINK_MSG_ID_CAMERA_TRIGGER:
            MavlinkCamTriggerHandle(msg);
            break;
        case MAVLINK_MSG_ID_LOG_DATA:
            MavlinkLogDataHandle(msg);
            break;
        case MAVLINK_MSG_ID_LOG_REQUEST_END:
            MavlinkLogReqEndHandle(msg);
            break;
        default:
            uart_mavlink_send(msg);
            break;
    }
    return 0;
}

// ---- commands ----

int MavlinkFirmwareCommandRoute(const mavlink_message_t* msg, MavSource from) {
    mavlink_command_long_t cmd{};
    if (msg == nullptr || mavlink_msg_command_long_decode(msg, &cmd) != 0) return -1;
    const uint8_t sender = mavlink_sysid_sender(msg->sysid);
    const uint32_t upgrading = PLR_FW_GetUpgradingSys();
    plr_trace_logf(PLR_LOG_D, "MAV_CMD_FIRMWARE_UPDATE %d,%d", msg->sysid, cmd.target_system);
    if (from == MAV_FROM_PHONE && sender == MAV_BOARD_PHONE &&
        (upgrading == FW_SYS_NONE || cmd.target_system == FW_STATUS_REPORT)) {
        return firmware_update_command_handler(&cmd);
    }
    // The upgrading board answers on its own link: the repeater on the phone's
    // network, the flight controller and the gimbal on the UART.
    const MavSource link = upgrading == FW_SYS_REPEATER ? MAV_FROM_PHONE : MAV_FROM_UART;
    if (upgrading != FW_SYS_NONE && sender == upgrading && from == link) {
        return PLR_FW_UpgradingCmdLongHandle(&cmd);
    }
    PLR_TRACE(PLR_LOG_D, "upgrade command %d from %d ignored (board %u upgrading)",
              cmd.target_system, msg->sysid, upgrading);
    return -1;
}

int MavlinkCommandLongHandle(const mavlink_message_t* msg) {
    mavlink_command_long_t cmd{};
    if (mavlink_msg_command_long_decode(msg, &cmd) != 0) return -1;
    switch (cmd.command) {
        case kCmdMedia: {
            int32_t media = 0;
            if (MavlinkParamToInt(cmd.param1, INT32_MIN, INT32_MAX, &media) != 0) {
                PLR_TRACE(PLR_LOG_E, "media command %g refused", static_cast<double>(cmd.param1));
                refuse_media_command(-1);
                return 0;
            }
            // The argument (param2) is not used.
            return MavlinkMediaCommandHandle(media, 0);
        }
        case kCmdFirmwareUpdate:
            return MavlinkFirmwareCommandRoute(msg, MAV_FROM_PHONE);
        case kCmdSetParameter:
            return MavlinkSetParameterHandle(&cmd);
        case kCmdDigicamControl:
            return mavlink_do_digctrl_handler(&cmd);
        default:
            return 0;
    }
}

int MavlinkMediaCommandHandle(int32_t command, int32_t /*argument*/) {
    PLR_TRACE(PLR_LOG_D, "process msg %d!", command);
    auto busy = [] {
        const uint32_t status = PLR_VPS_GetVpsStatus();
        if (status == 0) return false;
        PLR_TRACE(PLR_LOG_E, "PLR_VPS_GetVpsStatus:%d Not Idle!", static_cast<int>(status));
        return true;
    };
    switch (command) {
        case 0:
        case 2:
            if (busy()) {
                refuse_media_command(command);
                break;
            }
            MavlinkPostEvent(VPS_EVT_MODE_SWITCH, command == 0 ? 0 : 1);
            break;
        case 1:
        case 2000:
            if (busy()) {
                refuse_media_command(command);
                break;
            }
            MavlinkSyncGPSInfo();
            if (PLR_VCS_GetVpsMode() != 0) MavlinkPostEvent(VPS_EVT_MODE_SWITCH, 0);
            MavlinkPostEvent(VPS_EVT_SNAP_START);
            break;
        case 3:
            if (busy()) {
                refuse_media_command(command);
                break;
            }
            if (PLR_VCS_GetVpsMode() != 1) MavlinkPostEvent(VPS_EVT_MODE_SWITCH, 1);
            MavlinkPostEvent(VPS_EVT_REC_START);
            break;
        case 4:
            MavlinkPostEvent(VPS_EVT_REC_STOP);
            break;
        case 2001:
            MavlinkPostEvent(VPS_EVT_SNAP_STOP);
            break;
        default:
            PLR_TRACE(PLR_LOG_D, "unknown command long!");
            refuse_media_command(command);
            break;
    }
    return 0;
}

int MavlinkSetParameterHandle(const mavlink_command_long_t* cmd) {
    if (cmd == nullptr) return -1;
    const int32_t item = cmd->target_component;
    const int32_t p1 = trunc_param(cmd->param1);
    const int32_t p2 = trunc_param(cmd->param2);
    const int32_t p3 = trunc_param(cmd->param3);
    const int32_t packed = static_cast<int32_t>((static_cast<uint32_t>(p2) << 16) |
                                                (static_cast<uint32_t>(p3) & 0xFFFF));
    PLR_TRACE(PLR_LOG_D, " handle param set %d value1:%d value2:%d", item, p1, p2);
    if (int bad = 0; MavlinkSetParameterCheck(cmd, &bad) != 0) {
        const float params[3] = {cmd->param1, cmd->param2, cmd->param3};
        PLR_TRACE(PLR_LOG_E, "param set %d refused: param%d %g out of range", item, bad,
                  static_cast<double>(params[bad - 1]));
        pelora_ack_param(static_cast<uint8_t>(item), MAV_RESULT_FAILED, 0, 0);
        return -1;
    }
    switch (item) {
        case 2: {
            int32_t res = 15;
            int32_t fps = 30;
            if (PLR_VCS_Res2SizeFrm(p1, &res, &fps) == 0)
                MavlinkPostEvent(VPS_EVT_RES_SET, res, fps);
            break;
        }
        case 3:
            MavlinkPostEvent(VPS_EVT_AE_ATTR_SET, 0, p1);
            break;
        case 4:
            MavlinkPostEvent(VPS_EVT_AE_ATTR_SET, 2, p1);
            break;
        case 5:
            MavlinkPostEvent(VPS_EVT_AE_MODE_SET, p1);
            break;
        case 6:
            MavlinkPostEvent(VPS_EVT_AE_ATTR_SET, 1, p1);
            break;
        case 7:
        case 8:
        case 9:
        case 10:
        case 11:
        case 12:
        case 13:
        case 14:
        case 15:
            MavlinkPostEvent(VPS_EVT_ATTR_SET, item - 7, p1);
            break;
        case 16:
            MavlinkPostEvent(VPS_EVT_AE_ROI_SET, p1, packed);
            break;
        case 22:
            MavlinkPostEvent(VPS_EVT_TIMELAPSE, p1, packed);
            break;
        case 23:
            if (p2 != 0) {
                MavlinkPostEvent(VPS_EVT_ZOOM_SET, p2);
            } else {
                MavlinkPostEvent(p1 == 0 ? VPS_EVT_ZOOM_OUT : VPS_EVT_ZOOM_IN);
            }
            break;
        case 24:
            MavlinkPostEvent(VPS_EVT_RESET);
            break;
        case 25:
            MavlinkPostEvent(VPS_EVT_SD_FORMAT);
            break;
        case 26:
            MavlinkPostEvent(VPS_EVT_ATTR_SET, 9, p1);
            break;
        case 29:
            MavlinkPostEvent(VPS_EVT_CCT_SET, p1, p2);
            break;
        case 30:
            MavlinkPostEvent(VPS_EVT_DN_MODE_SET, p1);
            break;
        default:
            PLR_TRACE(PLR_LOG_D, "unknown component %d!", item);
            pelora_ack_param(static_cast<uint8_t>(item), MAV_RESULT_FAILED, 0, 0);
            break;
    }
    return 0;
}

int mavlink_do_digctrl_handler(const mavlink_command_long_t* cmd) {
    if (cmd == nullptr || cmd->command != kCmdDigicamControl) return -1;
    switch (cmd->target_component) {
        case 11:
            return MavlinkVisionWorkProcess(cmd);
        case 12:
            return MavlinkApronWorkProcess(cmd);
        case 14:
            return mavlink_do_cam_bitrate_control(cmd);
        default:
            return mavlink_do_uart_cam_control(cmd);
    }
}

int mavlink_do_uart_cam_control(const mavlink_command_long_t* cmd) {
    if (cmd == nullptr) return -1;
    const int32_t p5 = trunc_param(cmd->param5);
    const int32_t p6 = trunc_param(cmd->param6);
    switch (trunc_param(cmd->param7)) {
        case 1:
            plr_trace_logf(PLR_LOG_D, "Got snap cmd from uart %d %d", p5, p6);
            // p5: panorama mode 0-15, or -1; p6: the panorama photo counter.
            if (int32_t v = 0; MavlinkParamToInt(cmd->param5, -1, kPanoModeMax, &v) != 0 ||
                               MavlinkParamToInt(cmd->param6, 0, INT32_MAX, &v) != 0) {
                PLR_TRACE(PLR_LOG_E, "panorama photo refused: mode %g, counter %g",
                          static_cast<double>(cmd->param5), static_cast<double>(cmd->param6));
                uart_mavlink_pelora_ack_send(kCmdDigicamControl, MAV_RESULT_FAILED);
                return -1;
            }
            if (PLR_VCS_GetPicFmt() != 0) {
                plr_trace_log(PLR_LOG_E, "Raw fmt not supported for Panoramic snap");
                return -1;
            }
            if (p5 == -1) {
                PLR_VPS_UpdatePanoSnapId(1);
                return 0;
            }
            if (PLR_VCS_GetVpsMode() != 0) MavlinkPostEvent(VPS_EVT_MODE_SWITCH, 0);
            MavlinkPostEvent(VPS_EVT_ATTR_SET, 8, p5);
            PLR_VPS_UpdatePanoSnapId(static_cast<uint32_t>(p6));
            MavlinkSyncGPSInfo();
            MavlinkPostEvent(VPS_EVT_SNAP_START);
            break;
        case 2:
            plr_trace_log(PLR_LOG_D, "Got stop record cmd from uart");
            MavlinkPostEvent(VPS_EVT_REC_STOP);
            break;
        case 3:
            plr_trace_log(PLR_LOG_D, "Got start record cmd from uart");
            if (PLR_VCS_GetVpsMode() != 1) MavlinkPostEvent(VPS_EVT_MODE_SWITCH, 1);
            MavlinkPostEvent(VPS_EVT_REC_START);
            break;
        case 4:
            MavlinkPostEvent(VPS_EVT_TIMELAPSE, 2);
            break;
        default:
            break;
    }
    return 0;
}

int mavlink_do_cam_bitrate_control(const mavlink_command_long_t* cmd) {
    if (cmd == nullptr) return -1;
    // Link figures are counts: a negative or non-integer one is garbage (and
    // would make the score below a negative number, which has no unsigned value).
    const float in[7] = {cmd->param1, cmd->param2, cmd->param3, cmd->param4,
                         cmd->param5, cmd->param6, cmd->param7};
    int32_t p[7] = {};
    for (int i = 0; i < 7; ++i) {
        if (MavlinkParamToInt(in[i], 0, INT32_MAX, &p[i]) != 0) {
            PLR_TRACE(PLR_LOG_E, "bitrate advisory refused: param%d %g", i + 1,
                      static_cast<double>(in[i]));
            return -1;
        }
    }
    const auto score =
        static_cast<uint32_t>(p[1] * 0.8 + p[2] * 0.6 + p[3] * 0.3 + p[4] * 0.1 + p[5] * 0.1);
    const auto ratio = p[0] != 0 ? (100LL * p[6]) / p[0] : 0LL;
    bool request = false;
    uint32_t rate = 0;
    {
        std::lock_guard lock(g_advisoryLock);
        if (ratio != 100) {
            g_goodLink = 0;
            const double factor = score < 11 ? 0.8 : score < 26 ? 0.6 : score < 101 ? 0.4 : 0.2;
            rate = static_cast<uint32_t>(kBaseBitrate * factor);
            if (factor < 0.8) {
                request = true;
            } else if (++g_badLink > 5) {
                request = true;
                g_badLink = 0;
            }
        } else {
            ++g_goodLink;
            const double extra = g_goodLink >= 21 ? 0.7 : g_goodLink > 10 ? 0.5 : 0.0;
            if (g_goodLink > 5) {
                request = true;
                rate = static_cast<uint32_t>((1.0 + extra) * kBaseBitrate);
            }
        }
    }
    if (request) mavlink_do_set_fpv_bitrate(rate);
    return 0;
}

int mavlink_do_set_fpv_bitrate(uint32_t rate) {
    if (rate < kFpvBitrateMin) rate = kFpvBitrateMin;
    if (rate > kFpvBitrateMax) rate = kFpvBitrateMax;
    MavlinkPostEvent(VPS_EVT_FPV_BITRATE, 0, static_cast<int32_t>(rate));
    return 0;
}

// ---- clock, heartbeat, link status ----

int MavlinkTimeSyncHandle(const mavlink_message_t* msg) {
    mavlink_timesync_t ts{};
    if (mavlink_msg_timesync_decode(msg, &ts) != 0) return -1;
    PLR_TRACE(PLR_LOG_D, "Time sync !!");
    if (PLR_VCS_GetTimeSync() == 1) {
        pelora_ack(0, kTimeSyncAckId, 0);
        return 0;
    }
    // tc1: the phone's UTC time in ms; ts1: its time-zone offset in hours. The
    // board clock runs on the phone's local time.
    const auto offsetHours = static_cast<int32_t>(static_cast<uint32_t>(ts.ts1 & 0xFFFFFFFF));
    const int64_t seconds = ts.tc1 / 1000 + 3600LL * offsetHours;
    // A time outside 2020-2099 is garbage: the clock, and every log and media
    // name made from it, stays as it is, and a correct time sync still works.
    if (!MavlinkTimeSyncPlausible(seconds)) {
        pelora_ack(0, kTimeSyncAckId, MAV_RESULT_FAILED);
        PLR_TRACE(PLR_LOG_E, "time sync refused: %lld s is outside 2020-2099",
                  static_cast<long long>(seconds));
        return -1;
    }
    timeval tv{};
    tv.tv_sec = static_cast<time_t>(seconds);
    tv.tv_usec = 0;
    if (board_set_clock(tv) != 0) {
        pelora_ack(0, kTimeSyncAckId, MAV_RESULT_FAILED);
        PLR_TRACE(PLR_LOG_E, "settimeof day failed!");
        return -1;
    }
    PLR_TRACE(PLR_LOG_D, "settimeof day success!");
    PLR_VCS_SetTimeSync(1);
    // The next records go to new files named by the right time.
    plr_flylog_mutex_lock();
    PLR_LOG_Stop(PLR_LOG_TYPE_FLYCTL);
    plr_flylog_mutex_unlock();
    PLR_LOG_Stop(PLR_LOG_TYPE_GIMBAL);
    return 0;
}

int MavlinkRepeaterHBHandle(const mavlink_message_t* msg) {
    mavlink_heartbeat_t hb{};
    if (mavlink_msg_heartbeat_decode(msg, &hb) != 0) return -1;
    // The flight controller's heartbeats say nothing about the phone: they
    // must neither keep a silent phone connected nor change its state.
    if ((msg->sysid >> 4) == MAV_BOARD_FLYCTRL) return 0;
    MavlinkHeartbeatSeen(PLR_MAV_NowMs());
    if (MavlinkContext.PhoneDirect.load() != 0) {
        PLR_FPV_SetClientConn(FPV_CLIENT_READY);
        return 0;
    }
    if (hb.custom_mode == 0xF503 && hb.system_status == '_') {
        plr_trace_log(PLR_LOG_D, "Pelora recovery mode");
        return 0;
    }
    MavlinkContext.RepeaterState.store(hb.system_status >> 4);
    PLR_FPV_SetClientConn(hb.system_status & 0x0F);
    return 0;
}

int MavlinkQuadStatusHandle(const mavlink_message_t* msg) {
    mavlink_pelora_quad_status_t qs{};
    if (mavlink_msg_pelora_quad_status_decode(msg, &qs) != 0) return -1;
    PLR_FW_SetFlightLinkStatus(qs.status);
    if (qs.status != 0 && qs.status == g_lastQuadStatus.load()) return -1;
    if (qs.status == 3) {
        MavlinkUnbindClient();
    } else if (qs.status == 4 || qs.status == 5) {
        MavlinkBindClient();
    } else {
        return -1;
    }
    g_lastQuadStatus.store(qs.status);
    return 0;
}

// ---- configuration, stream switch, vision ----

int MavlinkParamRequestListHandle(const mavlink_message_t* msg) {
    if (msg == nullptr) return -1;
    if (msg->compid == kWifiReportComponent) {
        int idle = 0;
        if (is_wifi_scanning.compare_exchange_strong(idle, 1)) {
            mavlink_average_signal_request_handler();
            is_wifi_scanning.store(0);
        }
        return 0;
    }
    return mavlinkConfigParamListHandle();
}

int mavlinkConfigParamListHandle() {
    std::vector<std::pair<std::string, std::string>> pairs;
    if (CclGetConfigList(&pairs) < 0) return -1;
    const auto count = static_cast<uint16_t>(pairs.size());
    for (const auto& [key, value] : pairs) {
        mavlink_pelora_param_value_t pv{};
        pv.count = count;
        snprintf(pv.name, sizeof pv.name, "%.15s", key.c_str());
        snprintf(pv.text, sizeof pv.text, "%.29s", value.c_str());
        pv.type = MAVLINK_PARAM_TYPE_TEXT;
        MavlinkParamValueSend(&pv);
        std::this_thread::sleep_for(std::chrono::microseconds(10));
    }
    return 0;
}

int MavlinkDataStreamProcess(const mavlink_message_t* msg) {
    mavlink_data_stream_t ds{};
    if (mavlink_msg_data_stream_decode(msg, &ds) != 0) return -1;
    fs_set_stream_on(ds.on_off);
    PLR_TRACE(PLR_LOG_D, "Stream %s!!", ds.on_off == 1 ? "on" : "off");
    return 0;
}

int MavlinkVisionPositionProcess(const mavlink_message_t* msg) {
    mavlink_vision_position_estimate_t vp{};
    if (mavlink_msg_vision_position_estimate_decode(msg, &vp) != 0) return -1;
    if (mavlink_sysid_sender(msg->sysid) != MAV_BOARD_PHONE) return -1;
    TrackTarget t{};
    PLR_TRACK_UnpackTarget(vp, &t);
    PLR_TRACE(PLR_LOG_D, "%s: X:%u Y:%u W:%u H:%u D:%u.", __func__, t.x, t.y, t.w, t.h, t.cmd);
    PLR_TRACK_SetPosition(t.x, t.y, t.w, t.h, t.mode, t.cmd);
    return 0;
}

// The switches of the two vision workers: confirmation 1 on, 4 off.
namespace {
int vision_switch(const mavlink_command_long_t* cmd, int (*set)(uint32_t), const char* who) {
    if (cmd == nullptr) return -1;
    if (cmd->confirmation == 1 || cmd->confirmation == 4) {
        set(cmd->confirmation == 1 ? 1 : 0);
    } else {
        plr_trace_logf(PLR_LOG_E, "%s Error CMD:%u!!!", who, cmd->confirmation);
    }
    return 0;
}
}  // namespace

int MavlinkVisionWorkProcess(const mavlink_command_long_t* cmd) {
    return vision_switch(cmd, PLR_TRACK_SetWork, __func__);
}

int MavlinkApronWorkProcess(const mavlink_command_long_t* cmd) {
    return vision_switch(cmd, PLR_APRON_SetWork, __func__);
}

// ---- data logs ----

int MavlinkFlyctlDataHandle(const mavlink_message_t* msg) {
    if (msg == nullptr) return -1;
    if (TRACE_LOG_GET_SD_STATUS() != 0) {
        plr_flylog_mutex_lock();
        PLR_LOG_Stop(PLR_LOG_TYPE_FLYCTL);
        plr_flylog_mutex_unlock();
        return -1;
    }
    char record[PLR_LOG_FC_DATA_MAX] = {};
    int len = 0;
    if (msg->msgid == MAVLINK_MSG_ID_HIL_SENSOR) {
        mavlink_hil_sensor_t s{};
        mavlink_msg_hil_sensor_decode(msg, &s);
        MavlinkContext.FlyctrlTimestamp.store(static_cast<uint32_t>(s.time_usec & 0xFFFFFFFF));
        const float* v = s.values;
        len =
            snprintf(record, sizeof record,
                     "%llu,%.3f,%.3f,%.3f,%.3f,%.3f,%.3f,%.3f,%.3f,%.3f,%.3f,%.3f,%.3f,%.3f,%.3d\n",
                     static_cast<unsigned long long>(s.time_usec), double{v[0]}, double{v[1]},
                     double{v[2]}, double{v[3]}, double{v[4]}, double{v[5]}, double{v[6]},
                     double{v[7]}, double{v[8]}, double{v[9]}, double{v[10]}, double{v[11]},
                     double{v[12]}, static_cast<int>(s.fields_updated));
        if (len < 0) len = 0;
        if (len >= static_cast<int>(sizeof record)) len = sizeof record - 1;
    }
    plr_flylog_mutex_lock();
    PLR_LOG_Write(PLR_LOG_TYPE_FLYCTL, record, static_cast<uint32_t>(len));
    plr_flylog_mutex_unlock();
    return 0;
}

int MavlinkGimbalDataHandle(const mavlink_message_t* msg) {
    mavlink_highres_imu_t s{};
    if (mavlink_msg_highres_imu_decode(msg, &s) != 0) return -1;
    char record[PLR_LOG_FC_DATA_MAX] = {};
    const float* v = s.values;
    int len = snprintf(record, sizeof record,
                       "%llu,%.5f,%.5f,%.5f,%.5f,%.5f,%.5f,%.5f,%.5f,%.5f,%.5f,%.5f,%.5f,%.5f,%u\n",
                       static_cast<unsigned long long>(s.time_usec), double{v[0]}, double{v[1]},
                       double{v[2]}, double{v[3]}, double{v[4]}, double{v[5]}, double{v[6]},
                       double{v[7]}, double{v[8]}, double{v[9]}, double{v[10]}, double{v[11]},
                       double{v[12]}, static_cast<unsigned>(s.fields_updated));
    if (len < 0) return -1;
    if (len >= static_cast<int>(sizeof record)) len = sizeof record - 1;
    PLR_LOG_Write(PLR_LOG_TYPE_GIMBAL, record, static_cast<uint32_t>(len));
    return 0;
}

int MavlinkLogDataHandle(const mavlink_message_t* msg) {
    mavlink_log_data_t ld{};
    if (mavlink_msg_log_data_decode(msg, &ld) != 0) return -1;
    char text[MAVLINK_LOG_DATA_LEN * 4 + 1] = {};
    MavlinkPrintableText(ld.data, MAVLINK_LOG_DATA_LEN, text, sizeof text);
    plr_trace_log(PLR_LOG_C, text);
    return 0;
}

int MavlinkLogReqEndHandle(const mavlink_message_t* msg) {
    mavlink_log_request_end_t req{};
    if (mavlink_msg_log_request_end_decode(msg, &req) != 0) return -1;
    if (req.target_component != MAV_BOARD_FLYCTRL && req.target_component != MAV_BOARD_GIMBAL)
        plr_trace_logf(PLR_LOG_D, "Unsupported log sysid %d.", req.target_component);
    return 0;
}

int MavlinkCamTriggerHandle(const mavlink_message_t* msg) {
    mavlink_camera_trigger_t trig{};
    return mavlink_msg_camera_trigger_decode(msg, &trig);
}

int MavlinkSdCardRequestHandle(const mavlink_message_t* msg) {
    if (msg == nullptr) return -1;
    MavlinkPostEvent(VPS_EVT_SD_QUERY);
    return 0;
}

void MavlinkDispatchReset() {
    g_lastQuadStatus.store(0);
    std::lock_guard lock(g_advisoryLock);
    g_goodLink = 0;
    g_badLink = 0;
}
