// Vision library of the simulated board. It "sees" the virtual camera's scene
// directly: the target and the landing pad move on known paths, so tracking
// and detection report where they are in the current frame of camera 0.
#include <atomic>
#include <cstring>
#include <mutex>

#include "internal.h"
#include "platform/vision.h"
#include "vcam.h"

namespace {

constexpr uint32_t kCamera = 0;
constexpr uint32_t kTrackConfidence = 90;
constexpr uint32_t kPadConfidence = 95;

std::mutex g_visionMutex;  // guards the tracker state
bool g_initialised = false;
bool g_tracking = false;
bool g_followTarget = false;
uint32_t g_box[4] = {0, 0, 0, 0};

bool overlaps(const uint32_t a[4], const uint32_t b[4]) {
    return a[0] < b[0] + b[2] && b[0] < a[0] + a[2] && a[1] < b[1] + b[3] && b[1] < a[1] + a[3];
}

void fill_result(PlrDeTrackResult* result, const uint32_t box[4], uint32_t confidence) {
    memset(result, 0, sizeof *result);
    result->words[0] = box[0];
    result->words[1] = box[1];
    result->words[2] = box[2];
    result->words[3] = box[3];
    result->words[4] = confidence;
    result->words[5] = 0;
    result->words[PLR_DETRACK_COUNT_WORD] = 1;
}

}  // namespace

extern "C" {

int32_t PLR_DeTrack_Init(void) {
    std::lock_guard lock(g_visionMutex);
    g_initialised = true;
    g_tracking = false;
    return 0;
}

int32_t PLR_DeTrack_Crtl(const uint32_t* targetBox, PlrDeTrackResult* result,
                         PlrDeTrackCtrl* ctrl) {
    if (targetBox == nullptr || result == nullptr || ctrl == nullptr) return PLR_DETRACK_ERR_PARAM;
    std::lock_guard lock(g_visionMutex);
    if (!g_initialised) return PLR_DETRACK_ERR_NOT_INIT;
    if (!vcam_sensor_running(kCamera)) return PLR_DETRACK_ERR_NO_IMAGE;
    const uint32_t frameNo = vcam_sensor_frame_number(kCamera);
    uint32_t target[4];
    vcam_target_box(frameNo, PLR_DETRACK_IMG_WIDTH, PLR_DETRACK_IMG_HEIGHT, target);
    if (ctrl->cmd == 0 && ctrl->firstFrame == 1) {
        // A new box: follow the target when the box is on it, else hold the box.
        memcpy(g_box, targetBox, sizeof g_box);
        if (g_box[2] == 0 || g_box[3] == 0) return PLR_DETRACK_ERR_PARAM;
        g_followTarget = overlaps(g_box, target);
        g_tracking = true;
        ctrl->state = 1;
    } else if (!g_tracking) {
        return PLR_DETRACK_ERR_NO_TARGET;
    }
    if (g_followTarget) memcpy(g_box, target, sizeof g_box);
    fill_result(result, g_box, kTrackConfidence);
    return 0;
}

int32_t PLR_LandPad_Detrack(PlrDeTrackResult* result, uint8_t* stop) {
    if (result == nullptr || stop == nullptr) return PLR_DETRACK_ERR_PARAM;
    {
        std::lock_guard lock(g_visionMutex);
        if (!g_initialised) return PLR_DETRACK_ERR_NOT_INIT;
    }
    if (*stop != 0) return 0;  // detection ends; nothing to look at
    if (!vcam_sensor_running(kCamera)) return PLR_DETRACK_ERR_NO_IMAGE;
    uint32_t pad[4];
    vcam_pad_box(vcam_sensor_frame_number(kCamera), PLR_DETRACK_IMG_WIDTH, PLR_DETRACK_IMG_HEIGHT,
                 pad);
    fill_result(result, pad, kPadConfidence);
    return 0;
}

int32_t PLR_DeTrack_DeInit(void) {
    std::lock_guard lock(g_visionMutex);
    g_initialised = false;
    g_tracking = false;
    return 0;
}

}  // extern "C"
