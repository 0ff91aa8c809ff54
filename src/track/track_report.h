// The vision reports: VISION_POSITION_ESTIMATE messages whose float fields
// carry packed integers. Pure packing, shared by the board and its tools.
#pragma once

#include <cstdint>

#include "mav/mavlink_msgs.h"

// Sources of the reports (component ids) and their kinds (roll bits 24..31).
inline constexpr uint8_t TRACK_REPORT_COMPID = 8;
inline constexpr uint8_t APRON_REPORT_COMPID = 9;
inline constexpr uint32_t TRACK_KIND_LOST = 2;
inline constexpr uint32_t TRACK_KIND_APRON = 3;
// Box reports: 1 from continuous following, 2 from a new or confirmed target.
inline constexpr uint32_t TRACK_ORIGIN_CONTINUOUS = 1;
inline constexpr uint32_t TRACK_ORIGIN_TARGET = 2;
// Landing-pad boxes go to the flight controller in this frame size.
inline constexpr uint32_t APRON_FC_WIDTH = 1280;
inline constexpr uint32_t APRON_FC_HEIGHT = 720;

// One report's contents before packing.
struct TrackReport {
    uint64_t timeMs;  // wall-clock milliseconds (0 in lost reports)
    uint32_t x, y, w, h;
    uint32_t code;  // z: the library's error code in lost reports
    uint32_t count;
    uint32_t word5;
    uint32_t index;
    uint32_t kind;
    uint32_t word4;  // pitch, raw bits
    uint32_t frame;  // yaw: frame size (height << 16 | width) of landing-pad boxes
};
// Packs a report into the message's float fields, and back.
void PLR_TRACK_PackReport(const TrackReport& report, mavlink_vision_position_estimate_t* out);
void PLR_TRACK_UnpackReport(const mavlink_vision_position_estimate_t& in, TrackReport* report);

// The phone's target box: X, Y (signed 16-bit values as the phone packs them),
// W, H, the mode byte and command D.
struct TrackTarget {
    uint32_t x, y, w, h;
    uint32_t mode;
    uint32_t cmd;
};
void PLR_TRACK_PackTarget(const TrackTarget& target, mavlink_vision_position_estimate_t* out);
void PLR_TRACK_UnpackTarget(const mavlink_vision_position_estimate_t& in, TrackTarget* target);
