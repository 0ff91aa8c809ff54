// Exposure (automatic or manual, ISO, shutter, exposure compensation, metering
// point, lock) and white balance, with the conversions between the phone's
// index values and ISP quantities.
#pragma once

#include <cstdint>

inline constexpr uint32_t PLR_AE_SHUTTER_COUNT = 53;
inline constexpr uint32_t PLR_AE_GRID = 15;  // metering grid columns and rows
extern const float f32ShutterArry[PLR_AE_SHUTTER_COUNT];

// Event handlers.
int PLR_VPS_AE_ModeSetHandle(int32_t mode);
int PLR_VPS_AE_AttrSetHandle(int32_t attr, int32_t value);
int PLR_VPS_AERoiSetHandle(int32_t mode, int32_t value);
int PLR_VPS_SetCCTHandle(int32_t mode, int32_t value);
int PLR_VPS_SetDNModeHandle(int32_t mode);

// ISP operations on one camera.
int PLR_VPS_AE_ModeSet(uint32_t camId, bool manual, int32_t iso, int32_t shutter, int32_t ev);
int PLR_VPS_AE_AttrSet(uint32_t camId, int32_t attr, int32_t value);
int PLR_VPS_AE_SetPosWeight(uint32_t camId, uint32_t x, uint32_t y, uint8_t weight);
int PLR_VPS_AE_SetDefWeight(uint32_t camId);
int PLR_VPS_AE_ExpLock(uint32_t camId, int32_t lock);

// Conversions: 0, or -1 where the input is out of range.
int PLR_VPS_AE_ISO2Gain(uint32_t isoIndex, float* gain);
int PLR_VPS_AE_SHR2Exptime(uint32_t shutterIndex, float* seconds);
int PLR_VPS_AE_Exptime2SHR(uint32_t microseconds, uint32_t* shutterIndex);
int PLR_VPS_AE_ISOAlign(uint32_t iso, uint32_t* isoIndex);
int PLR_VPS_AE_CompCalc(int32_t ev, float* targetLuma);
int PLR_VPS_AE_HistErrAlign(int32_t* step, float value);

// The camera (VI instance) of the current mode.
uint32_t PLR_VPS_AE_CurrentCamera();
