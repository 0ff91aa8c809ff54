// Digital zoom: crops the centre of the picture in the RGA scaler channels in
// front of the encoders and lets the scaler bring the crop back to the output
// size. Photo mode zooms the live view and the JPEG path; record mode zooms
// the live view and the record path, in zoom video mode only.
#pragma once

#include <cstdint>

#include "platform/media.h"

// Zoom limits in tenths (1.0x to 3.0x).
inline constexpr uint8_t VPS_ZOOM_MIN = 10;
inline constexpr uint8_t VPS_ZOOM_MAX = 30;

// Handles VPS_EVT_ZOOM_OUT, VPS_EVT_ZOOM_IN and VPS_EVT_ZOOM_SET (value: the
// target percent, 0 meaning 100). Notifies the event with the zoom of the
// current mode in tenths, or -1 on failure. 0 or -1.
int PLR_VPS_ZoomHandle(uint32_t event, int32_t value);

// The centre crop of one RGA channel for a zoom of `percent`: the output size
// stays, the input crop shrinks to output / (percent / 100) (a multiple of 4,
// same aspect), never below a third of the crop in place nor above the output.
// Pure: the handler applies it to both channels.
void PLR_VPS_ZoomCrop(const RkRgaAttr& current, uint32_t percent, RkRgaAttr* zoomed);
