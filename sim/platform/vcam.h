// What the simulated platform offers beyond the platform API: reading the
// virtual camera's frame numbers back, its scene geometry, drop counters and
// a full reset. For tests, tools and documentation; the system itself never
// needs it.
#pragma once

#include <cstdint>

#include "platform/media.h"

// Frame number (low 24 bits) shown by the pattern in the top rows of a
// picture's luma plane; -1 when no valid pattern is there.
int64_t vcam_read_frame_number(const uint8_t* luma, uint32_t stride, uint32_t width,
                               uint32_t height);

// Renders frame frameNo of the scene at the nominal exposure as NV12 (luma
// rows of `width` bytes, then the chroma rows) into dst (width*height*3/2 bytes).
void vcam_render_nv12(uint32_t frameNo, uint32_t width, uint32_t height, uint8_t* dst);

// Boxes of the target and of the landing pad in frame frameNo, in pixels of a
// picture of the given size: x, y, w, h.
void vcam_target_box(uint32_t frameNo, uint32_t width, uint32_t height, uint32_t box[4]);
void vcam_pad_box(uint32_t frameNo, uint32_t width, uint32_t height, uint32_t box[4]);

// Sensor frame a buffer shows (pictures, and encoded pictures made from them).
uint32_t vcam_mb_frame_number(MEDIA_BUFFER mb);

// The frame the sensor of a camera showed last; whether it is running.
uint32_t vcam_sensor_frame_number(uint32_t camera);
bool vcam_sensor_running(uint32_t camera);

// Frames a channel lost (no free buffer, a full queue, a late sensor).
uint64_t vcam_dropped_frames(int32_t modId, int32_t devId, int32_t chnId);

// Pictures a VI channel rendered (it renders only for channels that take them).
uint64_t vcam_rendered_frames(int32_t pipe, int32_t chn);

// The vision library's next `calls` tracking calls fail with `code` (a test
// of how its callers handle errors the pictures rarely produce).
void vcam_vision_fail_next(int32_t code, uint32_t calls);

// The scene's true boxes in pixels of the 640 x 360 vision stream: while
// sim/scene-truth.log exists in the board root, one line per frame of camera
// 0 is appended to it. See docs/virtual-camera.md.
inline constexpr const char* kVcamTruthLog = "/sim/scene-truth.log";
// Present in the board root: the landing pad is out of view.
inline constexpr const char* kVcamNoPadFile = "/sim/scene-nopad";

// Destroys every channel and binding and stops every platform thread.
void vcam_reset();
