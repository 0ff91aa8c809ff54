// Links between the parts of the simulated platform.
#pragma once

#include <cstdarg>
#include <cstdint>

#include "scene.h"

namespace vsim {

inline constexpr uint32_t kCameras = 2;

// What the ISP model gives the virtual sensor of a camera for a frame.
struct CameraState {
    float fps = 30.0f;
    SceneLook look{};
};
CameraState isp_camera_state(uint32_t camera, uint32_t frameNo);

// Frame number the sensor of a camera showed last (0 before its first frame).
uint32_t sensor_frame_number(uint32_t camera);

// Whether the landing pad is in view (the board root's switch file).
bool scene_pad_in_view();
// Appends the true boxes of a frame of camera 0 to the board root's truth
// log while that file exists; closes the log.
void truth_note(uint32_t frameNo, bool padShown);
void truth_close();

// Diagnostic line of the platform on standard error ("[vsim] ...").
void sim_log(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Monotonic time in microseconds.
uint64_t now_us();

}  // namespace vsim
