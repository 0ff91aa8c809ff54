#include "mav/mav_gps.h"

#include <cstdio>

#include "core/trace_log.h"
#include "mav/mav_bridge.h"
#include "mav/mav_input.h"
#include "mav/mav_link.h"
#include "mav/mavlink_msgs.h"
#include "state/drone_position.h"

namespace {

// Heights beyond 100 km either way are garbage.
constexpr int32_t kGpsAltMaxTenths = 1000000;

}  // namespace

int MavlinkUpdateGPSInfo(const mavlink_message_t* msg) {
    if (msg == nullptr) return -1;
    if (msg->msgid == MAVLINK_MSG_ID_GPS_RAW_INT) {
        mavlink_gps_raw_int_t gps{};
        mavlink_msg_gps_raw_int_decode(msg, &gps);
        MavlinkSetGPSPosition(gps.lat, gps.lon);
        MavlinkSetGPSFix(gps.fix_type);
        return 0;
    }
    if (msg->msgid == MAVLINK_MSG_ID_PELORA_GPS_INFO) {
        mavlink_pelora_gps_info_t info{};
        mavlink_msg_pelora_gps_info_decode(msg, &info);
        // Single precision as received: 123.45 is 123.4499969..., stored as 1234.
        // NaN, infinities and absurd heights keep the last altitude.
        int32_t tenths = 0;
        if (MavlinkParamToInt(info.altitude * 10.0F, -kGpsAltMaxTenths, kGpsAltMaxTenths,
                              &tenths) != 0) {
            PLR_TRACE(PLR_LOG_E, "GPS altitude %g refused", static_cast<double>(info.altitude));
            return -1;
        }
        MavlinkSetGPSAltitude(tenths);
        return 0;
    }
    return -1;
}

int MavlinkSyncGPSInfo() {
    char alt[16];
    snprintf(alt, sizeof alt, "%d", static_cast<int>(MavlinkGetGPSAltitude()));
    MavlinkPostEvent(VPS_EVT_GPS_SYNC, MavlinkGetGPSLatitude(), MavlinkGetGPSLongtitude(), alt);
    return 0;
}
