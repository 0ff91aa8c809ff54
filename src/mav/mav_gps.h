// The drone's last position from the flight controller, handed to the camera
// before every photo, and the WGS-84 to GCJ-02 conversion that maps inside
// mainland China expect.
#pragma once

#include <cstdint>

#include "mav/mavlink_frame.h"

// GPS_RAW_INT (24) stores latitude and longitude (degrees * 1e7);
// PELORA_GPS_INFO (141) stores the altitude in tenths. -1 for other ids or null.
int MavlinkUpdateGPSInfo(const mavlink_message_t* msg);
// Posts VPS_EVT_GPS_SYNC with latitude, longitude and the altitude as text. 0.
int MavlinkSyncGPSInfo();
int32_t MavlinkGetGPSLatitude();
int32_t MavlinkGetGPSLongtitude();
int32_t MavlinkGetGPSAltitude();

// WGS-84 degrees to GCJ-02 inside the region, unchanged outside. 0.
int GPSConvert(float* latOut, float* lonOut, double lat, double lon);
int isOutOfChina(double lat, double lon);
double transformLat(double x, double y);
double transformLon(double x, double y);
