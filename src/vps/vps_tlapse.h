// Video time-lapse: starts, pauses, resumes and stops a time-lapse recording
// on VPS_EVT_TIMELAPSE. The interval and the duration go into the time-lapse
// blocks of both recorder contexts, whose muxers keep every interval-th key
// frame until the file holds `duration` seconds. (The photo time-lapse timer
// lives with the still capture.)
#pragma once

#include <cstdint>

#include "vps/vps_event.h"

enum VpsTlapseCmd : int32_t {
    VPS_TLAPSE_START = 0,  // start, or resume a paused one
    VPS_TLAPSE_PAUSE = 1,
    VPS_TLAPSE_STOP = 2,
};

// ival2 of a start: interval in bits 16-23, duration in bits 0-7.
inline constexpr int32_t PLR_VPS_TlapseParams(uint8_t interval, uint8_t duration) {
    return static_cast<int32_t>((uint32_t{interval} << 16) | duration);
}

// Handles the event (ival1 the sub-command, ival2 the parameters). Notifies
// VPS_EVT_TIMELAPSE with ival1 = sub-command, ival2 = paused, except for a
// start refused for a recording in progress or a zero interval or duration.
// 0 or -1.
int PLR_VPS_TimeLapseHandle(const VpsEvt* evt);
