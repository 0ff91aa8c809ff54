// The drone's last position as the flight controller reports it (latitude
// and longitude in degrees * 1e7, altitude in tenths), which the camera core
// writes into every photo, and the WGS-84 to GCJ-02 conversion that maps
// inside mainland China expect. The flight-controller link writes it, the
// camera core reads it; every word is atomic.
#pragma once

#include <cstdint>

void MavlinkSetGPSPosition(int32_t latitude, int32_t longitude);
void MavlinkSetGPSAltitude(int32_t tenths);
// Back to no position (all 0), as at start.
void MavlinkResetGPSInfo();
int32_t MavlinkGetGPSLatitude();
int32_t MavlinkGetGPSLongtitude();
int32_t MavlinkGetGPSAltitude();

// The fix type of the last GPS report (0 or 1: no fix, 2: 2D, 3: 3D, ...),
// 0 at start.
void MavlinkSetGPSFix(uint8_t fixType);
uint8_t MavlinkGetGPSFix();

// The flight-controller link marks every frame it receives; ground-station
// front ends stand for the vehicle only while it speaks. Milliseconds since
// the last frame (steady clock), or -1 when none came since start.
void MavlinkFlyctrlHeard();
int64_t MavlinkFlyctrlSilentMs();

// WGS-84 degrees to GCJ-02 inside the region, unchanged outside. 0.
int GPSConvert(float* latOut, float* lonOut, double lat, double lon);
int isOutOfChina(double lat, double lon);
double transformLat(double x, double y);
double transformLon(double x, double y);
