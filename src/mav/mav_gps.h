// The flight controller's position messages: stored as the drone's position
// (state/drone_position.h) and handed to the camera before every photo.
#pragma once

#include <cstdint>

#include "mav/mavlink_frame.h"

// GPS_RAW_INT (24) stores latitude and longitude (degrees * 1e7);
// PELORA_GPS_INFO (141) stores the altitude in tenths. -1 for other ids or null.
int MavlinkUpdateGPSInfo(const mavlink_message_t* msg);
// Posts VPS_EVT_GPS_SYNC with latitude, longitude and the altitude as text. 0.
int MavlinkSyncGPSInfo();
