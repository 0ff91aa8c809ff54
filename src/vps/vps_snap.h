// Still capture: the picture modes, the capture settings, the photo file
// naming, and the stream thread that takes each encoded picture from the JPEG
// encoder and writes it to the card with its metadata.
//
// Picture modes (snapMode): 0 single, 1 HDR (3 pictures), 2 continuous
// (ctiShot pictures), 3 exposure bracketing (bracketCount pictures), 4 photo
// time-lapse (one picture every snapTlapse + 1 seconds), 5 panorama.
// Everything runs on the camera event thread except the stream thread and the
// time-lapse timer.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/media.h"

enum VpsSnapMode : uint32_t {
    VPS_SNAP_SINGLE = 0,
    VPS_SNAP_HDR = 1,
    VPS_SNAP_CONTINUOUS = 2,
    VPS_SNAP_BRACKETING = 3,
    VPS_SNAP_TIMELAPSE = 4,
    VPS_SNAP_PANORAMA = 5,
};

// snapBusy while a capture is in progress.
inline constexpr uint32_t VPS_SNAP_BUSY = 4;
inline constexpr uint32_t VPS_SNAP_HDR_COUNT = 3;
inline constexpr const char* VPS_PIC_DIR = "/tmp/SD0/PLRMEDIA/PIC";

// Event handlers of VPS_EVT_SNAP_START, VPS_EVT_SNAP_STOP and VPS_EVT_ATTR_SET.
int PLR_VPS_SNAP_StartHandle();
int PLR_VPS_SNAP_StopHandle();
int PLR_VPS_AttrSetHandle(int32_t attr, int32_t value);

// Starts a capture: asks the JPEG encoder for one picture. 0, -1 when busy or
// too hot, or the platform's error.
int PLR_VPS_SnapStart();
// Stops the encoder's picture intake.
int PLR_VPS_SnapStop();
// Asks the encoder for the next picture of an HDR, continuous or bracketing
// series: 0, or -1 in the other modes or on a platform failure.
int PLR_VPS_CtiSnapTrigger();
// 1 when the current capture has all its pictures, else 0.
int PLR_VPS_SnpCompleted();

// The stream thread, running while the JPEG encoder exists.
int PLR_VPS_StartGetSnapStream();
int PLR_VPS_StopGetSnapStream();
// The picture writer: writes one encoded picture and releases the buffer.
void PLR_VPS_SNPStreamCb(MEDIA_BUFFER mb);

// Counters: after each picture the photo counter (modes 0 and 4) or the series
// counter (modes 1 to 3) advances; the panorama counter is set from outside.
int PLR_VPS_UpdateSnpFileID();
int PLR_VPS_UpdatePanoSnapId(uint32_t id);

// Makes the day directory "PIC/<YYYYMMDD>" and the capture directory of the
// current mode for a capture starting now, and keeps them with the time
// prefix for the writer. 0, or -1 when a directory cannot be made.
int PLR_VPS_GenPicFilePath();
// "<time prefix>_<NNNN>" with the counter of the current mode. 0, or -1.
int PLR_VPS_GenPicFileName(char* name, size_t size);
// "<capture directory>/<name>.JPG" (a board path). 0, or -1.
int PLR_VPS_GenPicFullPath(char* path, size_t size);

// Capture settings: 0, or -1 when refused (a capture in progress, or a
// picture mode above 5).
int PLR_VPS_SetPicMode(uint32_t mode);
int PLR_VPS_SetCtiShot(uint8_t count);
int PLR_VPS_SetSnapTlapse(uint8_t seconds);
int PLR_VPS_SetPanoMode(uint32_t mode);

// The photo time-lapse timer's handler (every second while mode 4 runs).
void PLR_VPS_SnapTlapseHandler(void* arg);
// Stops the photo time-lapse timer; called when the camera core shuts down.
void PLR_VPS_SnapDeinit();
