// Target tracking and landing-pad detection. Two worker threads run the
// vision library on the camera's 640 x 360 stream (VI channel 3): the tracker
// follows the box the phone marked, the detector looks for the landing pad.
// Only one of them works at a time. Their results go to the phone and to the
// flight controller as VISION_POSITION_ESTIMATE reports whose float fields
// carry packed integers (see docs/vision.md).
#pragma once

#include <cstdint>

#include "mav/mavlink_frame.h"
#include "platform/vision.h"
#include "track/track_report.h"

// Starts the image stream, the library and both workers. Returns 0.
int PLR_TRACK_Init();
// Starts VI channel 3 and its buffer stream. 0, or -1 (logged).
int PLR_TRACK_VI_Init();
// Stops both workers (waiting for them to end) and releases the library. Returns 0.
int PLR_TRACK_Deinit();

// Switches a worker on (1) or off (0). Switching one on while the other is on
// is refused with a log line: -1. Otherwise 0.
int PLR_TRACK_SetWork(uint32_t on);
int PLR_APRON_SetWork(uint32_t on);
uint32_t PLR_TRACK_GetWork();
uint32_t PLR_APRON_GetWork();
// True while a worker is inside its working loop (not waiting for its switch).
bool PLR_TRACK_Working();
bool PLR_APRON_Working();

// The phone's target box (640 x 360 pixels; X and Y are signed 16-bit values
// as the phone packs them), mode byte and command D. A box for the library
// (D 0, 1, 2 or 4) that reaches outside the picture is clamped to it; one with
// nothing inside the picture is refused (-1, logged). Unless D is 2 or 4 the
// tracker takes it up with its next round.
int PLR_TRACK_SetPosition(uint32_t X, uint32_t Y, uint32_t W, uint32_t H, uint32_t mode,
                          uint32_t D);
// The stored target box: X, Y, W, H, mode, D.
void PLR_TRACK_GetTargetBox(uint32_t box[PLR_DETRACK_TARGET_WORDS]);

// Reports.
void PLR_TRACK_Detect_Notify_Handle(const PlrDeTrackResult* result, const PlrDeTrackCtrl* control,
                                    uint32_t origin);
void PLR_TRACK_Lost_Notify(int32_t code);
void PLR_APRON_Detect_Notify_Handle(const PlrDeTrackResult* result);
void PLR_APRON_Lost_Notify(int32_t code);

// Where reports go: the application registers the phone link and the
// flight-controller line before the camera starts; tests put their own
// collectors here. A null sender (as at start) drops its reports.
using TrackSendFn = int (*)(const mavlink_message_t* msg);
void PLR_TRACK_SetSenders(TrackSendFn phone, TrackSendFn fc);
