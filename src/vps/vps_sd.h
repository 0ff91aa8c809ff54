// The SD card: mounting, measuring, unmounting and formatting in answer to the
// card events, the availability checks of recording and still capture, and
// the SoC temperature.
#pragma once

#include <cstdint>

// Handles VPS_EVT_SD_INSERT, VPS_EVT_SD_EJECT and VPS_EVT_SD_QUERY; 0, or -1
// for another event. Notifies the event with the card state and sizes.
int PLR_VPS_UpdateSDStatus(uint32_t eventno);
// Handles VPS_EVT_SD_FORMAT.
void PLR_VPS_SdFormatHandle();
// Total and free MiB of the mounted card: 0, or -1 when it is not there.
int PLR_VPS_GetSDInfo(uint32_t* totalMB, uint32_t* freeMB);
int PLR_VPS_SDMount();
int PLR_VPS_SDUmount();
// 1 when the card is usable with more than 300 MiB free, else 0.
int PLR_VPS_GetSDAvail();
// The refusal code for a start that needs the card: 3 full, 2 otherwise.
int PLR_VPS_GetSDError();
// Reads the SoC temperature into socTemp (0.1 degrees Celsius): 0 or -1.
int PLR_VPS_Update_Thermal();
// Parses the thermal file's text (millidegrees): tenths of a degree, or -1.
int32_t PLR_VPS_ParseThermal(const char* text);

// Free space (MiB) at or below which the card counts as full.
inline constexpr uint32_t PLR_SD_RESERVE_MB = 300;
// Reading of 105.0 degrees Celsius and above refuses photos, splits and time-lapse.
inline constexpr uint32_t PLR_SOC_TEMP_LIMIT = 1050;
