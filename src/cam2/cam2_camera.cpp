#include "cam2/cam2_camera.h"

#include <chrono>
#include <cmath>
#include <cstdio>

#include "core/ccl.h"
#include "core/trace_log.h"
#include "state/drone_position.h"
#include "vps/vcs.h"
#include "vps/vps_ctx.h"
#include "vps/vps_sd.h"
#include "vps/vps_stream.h"
#include "vps/vps_zoom.h"

namespace {

// Command numbers of the common message set.
enum : uint16_t {
    CMD_REQUEST_MESSAGE = 512,
    CMD_REQUEST_CAMERA_INFORMATION = 521,
    CMD_REQUEST_CAMERA_SETTINGS = 522,
    CMD_REQUEST_STORAGE_INFORMATION = 525,
    CMD_STORAGE_FORMAT = 526,
    CMD_REQUEST_CAMERA_CAPTURE_STATUS = 527,
    CMD_RESET_CAMERA_SETTINGS = 529,
    CMD_SET_CAMERA_MODE = 530,
    CMD_SET_CAMERA_ZOOM = 531,
    CMD_IMAGE_START_CAPTURE = 2000,
    CMD_IMAGE_STOP_CAPTURE = 2001,
    CMD_REQUEST_CAMERA_IMAGE_CAPTURE = 2002,
    CMD_VIDEO_START_CAPTURE = 2500,
    CMD_VIDEO_STOP_CAPTURE = 2501,
    CMD_VIDEO_START_STREAMING = 2502,
    CMD_VIDEO_STOP_STREAMING = 2503,
    CMD_REQUEST_VIDEO_STREAM_INFORMATION = 2504,
    CMD_REQUEST_VIDEO_STREAM_STATUS = 2505,
};

enum : uint32_t {
    MSG_CAMERA_INFORMATION = 259,
    MSG_CAMERA_SETTINGS = 260,
    MSG_STORAGE_INFORMATION = 261,
    MSG_CAMERA_CAPTURE_STATUS = 262,
    MSG_CAMERA_IMAGE_CAPTURED = 263,
    MSG_VIDEO_STREAM_INFORMATION = 269,
    MSG_VIDEO_STREAM_STATUS = 270,
};

// CAMERA_CAP_FLAGS
constexpr uint32_t kCapVideo = 1;
constexpr uint32_t kCapImage = 2;
constexpr uint32_t kCapModes = 4;
constexpr uint32_t kCapBasicZoom = 64;
constexpr uint32_t kCapVideoStream = 256;

constexpr uint8_t kStorageEmpty = 0;
constexpr uint8_t kStorageUnformatted = 1;
constexpr uint8_t kStorageReady = 2;
constexpr uint8_t kStorageMicroSd = 3;
constexpr uint8_t kStorageUsage = 1 | 2 | 4;  // set: photos and videos

constexpr uint8_t kStreamTypeRtpUdp = 1;
constexpr uint8_t kStreamEncodingH264 = 1;
constexpr uint16_t kStreamRunning = 1;

constexpr float kZoomTypeRange = 2;
constexpr int64_t kMinIntervalMs = 1000;
constexpr int64_t kRetryWindowMs = 5000;  // stations retry a command within 1 to 3 s

// A parameter as sent; NaN (a parameter the sender leaves unset) counts as 0.
float param(const Mav2Message& cmd, int n) {
    char name[8];
    snprintf(name, sizeof name, "param%d", n);
    const double v = cmd.get(name);
    return std::isnan(v) ? 0.0F : static_cast<float>(v);
}

uint64_t utc_now_us() {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                     std::chrono::system_clock::now().time_since_epoch())
                                     .count());
}

uint32_t boot_ms(int64_t nowMs) {
    return static_cast<uint32_t>(nowMs);
}

// "1.2.3" as the firmware version word: (dev << 24) | (patch << 16) |
// (minor << 8) | major.
uint32_t version_word(const char* text) {
    unsigned major = 0, minor = 0, patch = 0;
    if (text == nullptr || sscanf(text, "%u.%u.%u", &major, &minor, &patch) < 1) return 0;
    return ((patch & 0xFF) << 16) | ((minor & 0xFF) << 8) | (major & 0xFF);
}

const char* config_text(const char* key) {
    const char* v = CclGetKeyvalue(key);
    return v == nullptr ? "" : v;
}

bool camera_busy() {
    return PLR_VPS_GetVpsStatus() != VPS_STATUS_IDLE;
}

void switch_mode_if_needed(uint32_t mode) {
    if (PLR_VCS_GetVpsMode() != mode)
        PLR_VPS_SendEvent1(VPS_EVT_MODE_SWITCH, static_cast<int32_t>(mode));
}

}  // namespace

Cam2Camera::Cam2Camera(const std::string& imageLog) : images_(imageLog) {}

Cam2Reply Cam2Camera::command(const Mav2Message& cmd, uint64_t requester, int64_t nowMs) {
    Cam2Reply r;
    const auto number = static_cast<uint16_t>(cmd.get_int("command"));
    const float p1 = param(cmd, 1);
    const float p2 = param(cmd, 2);
    auto answer_with = [&](uint32_t msgid, int32_t index = 0) {
        Mav2Message m = requested(msgid, index, nowMs);
        if (!m.valid()) {
            r.result = msgid == MSG_CAMERA_IMAGE_CAPTURED ? CAM2_DENIED : CAM2_UNSUPPORTED;
            return;
        }
        r.result = CAM2_ACCEPTED;
        r.messages.push_back(m);
        if (msgid == MSG_VIDEO_STREAM_INFORMATION) r.stream = Cam2Stream::Start;
    };
    switch (number) {
        case CMD_REQUEST_MESSAGE:
            answer_with(static_cast<uint32_t>(p1), static_cast<int32_t>(p2));
            break;
        case CMD_REQUEST_CAMERA_INFORMATION:
            answer_with(MSG_CAMERA_INFORMATION);
            break;
        case CMD_REQUEST_CAMERA_SETTINGS:
            answer_with(MSG_CAMERA_SETTINGS);
            break;
        case CMD_REQUEST_STORAGE_INFORMATION:
            answer_with(MSG_STORAGE_INFORMATION);
            break;
        case CMD_REQUEST_CAMERA_CAPTURE_STATUS:
            answer_with(MSG_CAMERA_CAPTURE_STATUS);
            break;
        case CMD_REQUEST_CAMERA_IMAGE_CAPTURE:
            answer_with(MSG_CAMERA_IMAGE_CAPTURED, static_cast<int32_t>(p1));
            break;
        case CMD_REQUEST_VIDEO_STREAM_INFORMATION:
            answer_with(MSG_VIDEO_STREAM_INFORMATION);
            break;
        case CMD_REQUEST_VIDEO_STREAM_STATUS:
            answer_with(MSG_VIDEO_STREAM_STATUS);
            break;
        case CMD_IMAGE_START_CAPTURE: {
            const float interval = p2;
            const auto count = static_cast<int32_t>(param(cmd, 3));
            const auto sequence = static_cast<int64_t>(param(cmd, 4));
            if (count == 1 || interval <= 0) {
                const Sequence& last = lastSequence_;
                if (sequence > 0 && sequence == last.number && requester == last.requester &&
                    nowMs - last.atMs < kRetryWindowMs) {
                    r.result = CAM2_ACCEPTED;
                    break;
                }
                r.result = take_photo(nowMs);
                if (r.result == CAM2_ACCEPTED && sequence > 0)
                    lastSequence_ = {requester, sequence, nowMs};
                break;
            }
            if (recording() || camera_busy()) {
                r.result = CAM2_TEMPORARILY_REJECTED;
                break;
            }
            if (PLR_VPS_GetSDAvail() == 0) {
                r.result = CAM2_DENIED;
                break;
            }
            intervalS_ = interval;
            shotsLeft_ = count < 0 ? 0 : count;
            nextShotMs_ = nowMs;
            r.result = CAM2_ACCEPTED;
            break;
        }
        case CMD_IMAGE_STOP_CAPTURE:
            intervalS_ = 0;
            shotsLeft_ = 0;
            r.result = CAM2_ACCEPTED;
            break;
        case CMD_VIDEO_START_CAPTURE:
            r.result = start_video(p2);
            break;
        case CMD_VIDEO_STOP_CAPTURE:
            if (recording() || PLR_VPS_RecState() != 0) PLR_VPS_SendEvent(VPS_EVT_REC_STOP);
            statusHz_ = 0;
            r.result = CAM2_ACCEPTED;
            break;
        case CMD_SET_CAMERA_MODE:
            r.result = set_mode(static_cast<uint32_t>(p2));
            break;
        case CMD_STORAGE_FORMAT:
            r.result = format_card();
            break;
        case CMD_RESET_CAMERA_SETTINGS:
            // The board's own reset: the camera configuration goes and the
            // board restarts; never in the middle of a capture.
            if (recording() || camera_busy() || photoPending_) {
                r.result = CAM2_TEMPORARILY_REJECTED;
            } else {
                PLR_VPS_SendEvent(VPS_EVT_RESET);
                r.result = CAM2_ACCEPTED;
            }
            break;
        case CMD_SET_CAMERA_ZOOM:
            r.result = zoom(p1, p2);
            break;
        case CMD_VIDEO_START_STREAMING:
            r.result = CAM2_ACCEPTED;
            r.stream = Cam2Stream::Start;
            break;
        case CMD_VIDEO_STOP_STREAMING:
            r.result = CAM2_ACCEPTED;
            r.stream = Cam2Stream::Stop;
            break;
        default:
            r.result = CAM2_UNSUPPORTED;
            break;
    }
    return r;
}

uint8_t Cam2Camera::take_photo(int64_t /*nowMs*/) {
    if (g_vcsCtx.temperature.load() >= PLR_SOC_TEMP_LIMIT) return CAM2_DENIED;
    if (PLR_VPS_GetSDAvail() == 0) return CAM2_DENIED;
    if (recording() || camera_busy() || photoPending_) return CAM2_TEMPORARILY_REJECTED;
    switch_mode_if_needed(VPS_MODE_PHOTO);
    if (PLR_VPS_SendEvent(VPS_EVT_SNAP_START) != 0) return CAM2_TEMPORARILY_REJECTED;
    photoPending_ = true;
    return CAM2_ACCEPTED;
}

uint8_t Cam2Camera::start_video(float statusHz) {
    if (recording()) return CAM2_ACCEPTED;
    if (PLR_VPS_GetSDAvail() == 0) return CAM2_DENIED;
    if (camera_busy() || photoPending_ || intervalS_ > 0) return CAM2_TEMPORARILY_REJECTED;
    switch_mode_if_needed(VPS_MODE_RECORD);
    if (PLR_VPS_SendEvent(VPS_EVT_REC_START) != 0) return CAM2_TEMPORARILY_REJECTED;
    statusHz_ = statusHz > 0 && statusHz <= 10 ? statusHz : 0;
    nextStatusMs_ = 0;
    return CAM2_ACCEPTED;
}

uint8_t Cam2Camera::set_mode(uint32_t mode) {
    if (mode != VPS_MODE_PHOTO && mode != VPS_MODE_RECORD) return CAM2_DENIED;
    if (PLR_VCS_GetVpsMode() == mode) return CAM2_ACCEPTED;
    if (recording() || camera_busy() || photoPending_ || intervalS_ > 0)
        return CAM2_TEMPORARILY_REJECTED;
    PLR_VPS_SendEvent1(VPS_EVT_MODE_SWITCH, static_cast<int32_t>(mode));
    return CAM2_ACCEPTED;
}

uint8_t Cam2Camera::format_card() {
    if (PLR_VCS_GetSDStatus().status == VPS_SD_NONE) return CAM2_DENIED;
    if (recording() || camera_busy() || photoPending_ || intervalS_ > 0)
        return CAM2_TEMPORARILY_REJECTED;
    PLR_VPS_SendEvent(VPS_EVT_SD_FORMAT);
    return CAM2_ACCEPTED;
}

uint8_t Cam2Camera::zoom(float type, float value) {
    if (type != kZoomTypeRange) return CAM2_UNSUPPORTED;
    if (value < 0 || value > 100) return CAM2_DENIED;
    // 0..100 % of the range onto the digital zoom, 1.0x to its largest.
    const float minPercent = VPS_ZOOM_MIN * 10.0F;
    const float maxPercent = VPS_ZOOM_MAX * 10.0F;
    const auto percent = static_cast<int32_t>(
        std::lround(minPercent + (maxPercent - minPercent) * value / 100.0F));
    PLR_VPS_SendEvent1(VPS_EVT_ZOOM_SET, percent);
    return CAM2_ACCEPTED;
}

std::vector<Mav2Message> Cam2Camera::on_camera_event(const VpsEvt& evt, int64_t nowMs) {
    std::vector<Mav2Message> out;
    switch (evt.eventno) {
        case VPS_EVT_SNAP_START:
            if (evt.retCode != 0) photoPending_ = false;
            break;
        case VPS_EVT_SNAP_STOP:
            photoPending_ = false;
            if (evt.retCode == 0 && evt.cval[0] != '\0') {
                const Cam2Image image = images_.add(utc_now_us(), MavlinkGetGPSLatitude(),
                                                    MavlinkGetGPSLongtitude(),
                                                    MavlinkGetGPSAltitude() * 100, evt.cval);
                out.push_back(image_captured(image, nowMs));
            }
            break;
        case VPS_EVT_REC_START:
            if (evt.retCode == 0) recordingSinceMs_ = nowMs;
            break;
        case VPS_EVT_REC_STOP:
            recordingSinceMs_ = -1;
            statusHz_ = 0;
            break;
        case VPS_EVT_SD_FORMAT:
            // The second notification of a successful format: the card is new.
            if (evt.retCode == 0 && evt.ival1 == 1) images_.clear();
            break;
        default:
            break;
    }
    return out;
}

std::vector<Mav2Message> Cam2Camera::tick(int64_t nowMs) {
    std::vector<Mav2Message> out;
    if (intervalS_ > 0 && nowMs >= nextShotMs_) {
        if (take_photo(nowMs) == CAM2_ACCEPTED) {
            nextShotMs_ = nowMs + std::max<int64_t>(kMinIntervalMs, std::llround(intervalS_ * 1000));
            if (shotsLeft_ > 0 && --shotsLeft_ == 0) intervalS_ = 0;
        }
    }
    if (recording() && statusHz_ > 0 && nowMs >= nextStatusMs_) {
        nextStatusMs_ = nowMs + std::llround(1000.0F / statusHz_);
        out.push_back(capture_status(nowMs));
    }
    return out;
}

Mav2Message Cam2Camera::requested(uint32_t msgid, int32_t param2, int64_t nowMs) const {
    switch (msgid) {
        case MSG_CAMERA_INFORMATION:
            return camera_information(nowMs);
        case MSG_CAMERA_SETTINGS:
            return camera_settings(nowMs);
        case MSG_STORAGE_INFORMATION:
            return storage_information(nowMs);
        case MSG_CAMERA_CAPTURE_STATUS:
            return capture_status(nowMs);
        case MSG_CAMERA_IMAGE_CAPTURED:
            if (const auto image = images_.find(param2)) return image_captured(*image, nowMs);
            return Mav2Message(0xFFFFFF);
        case MSG_VIDEO_STREAM_INFORMATION:
            return video_stream_information();
        case MSG_VIDEO_STREAM_STATUS:
            return video_stream_status();
        default:
            return Mav2Message(0xFFFFFF);
    }
}

Mav2Message Cam2Camera::camera_information(int64_t nowMs) const {
    Mav2Message m(MSG_CAMERA_INFORMATION);
    m.set_int("time_boot_ms", boot_ms(nowMs));
    m.set_int("firmware_version", version_word(CclGetKeyvalue("VBoardVer")));
    m.set("focal_length", NAN);
    m.set("sensor_size_h", NAN);
    m.set("sensor_size_v", NAN);
    m.set_int("flags", kCapVideo | kCapImage | kCapModes | kCapVideoStream | kCapBasicZoom);
    const VpsStreamFormat rec = PLR_VPS_RecordFormat();
    m.set_int("resolution_h", rec.width);
    m.set_int("resolution_v", rec.height);
    // vendor_name and model_name are byte arrays: the texts, zero-padded.
    const std::string vendor = config_text("Manufacturer");
    const std::string model = config_text("ModelName");
    for (size_t i = 0; i < vendor.size() && i < 32; ++i)
        m.set_int("vendor_name", static_cast<uint8_t>(vendor[i]), i);
    for (size_t i = 0; i < model.size() && i < 32; ++i)
        m.set_int("model_name", static_cast<uint8_t>(model[i]), i);
    return m;
}

Mav2Message Cam2Camera::camera_settings(int64_t nowMs) const {
    Mav2Message m(MSG_CAMERA_SETTINGS);
    m.set_int("time_boot_ms", boot_ms(nowMs));
    m.set_int("mode_id", PLR_VCS_GetVpsMode() == VPS_MODE_RECORD ? 1 : 0);
    const float z = PLR_VPS_CurrentZoom();
    m.set("zoomLevel", 100.0F * (z - VPS_ZOOM_MIN) / (VPS_ZOOM_MAX - VPS_ZOOM_MIN));
    m.set("focusLevel", NAN);
    return m;
}

Mav2Message Cam2Camera::storage_information(int64_t nowMs) const {
    Mav2Message m(MSG_STORAGE_INFORMATION);
    const VcsSdStatus sd = PLR_VCS_GetSDStatus();
    m.set_int("time_boot_ms", boot_ms(nowMs));
    m.set_int("storage_id", 1);
    m.set_int("storage_count", 1);
    uint8_t status = kStorageUnformatted;
    if (sd.status == VPS_SD_OK) status = kStorageReady;
    if (sd.status == VPS_SD_NONE) status = kStorageEmpty;
    m.set_int("status", status);
    if (status == kStorageReady) {
        m.set("total_capacity", sd.total);
        m.set("used_capacity", sd.total > sd.free ? sd.total - sd.free : 0);
        m.set("available_capacity", sd.free);
    }
    m.set_int("type", kStorageMicroSd);
    m.set_text("name", "SD card");
    m.set_int("storage_usage", kStorageUsage);
    return m;
}

Mav2Message Cam2Camera::capture_status(int64_t nowMs) const {
    Mav2Message m(MSG_CAMERA_CAPTURE_STATUS);
    m.set_int("time_boot_ms", boot_ms(nowMs));
    // 0 idle, 1 capturing, 2 interval set, 3 interval set and capturing.
    m.set_int("image_status", (photoPending_ ? 1 : 0) + (intervalS_ > 0 ? 2 : 0));
    m.set_int("video_status", recording() ? 1 : 0);
    m.set("image_interval", intervalS_);
    m.set_int("recording_time_ms", recording() ? nowMs - recordingSinceMs_ : 0);
    const VcsSdStatus sd = PLR_VCS_GetSDStatus();
    m.set("available_capacity", sd.status == VPS_SD_OK ? sd.free : 0);
    m.set_int("image_count", images_.count());
    return m;
}

Mav2Message Cam2Camera::video_stream_information() const {
    Mav2Message m(MSG_VIDEO_STREAM_INFORMATION);
    const VpsStreamFormat live = PLR_VPS_LiveViewFormat();
    m.set_int("stream_id", 1);
    m.set_int("count", 1);
    m.set_int("type", kStreamTypeRtpUdp);
    m.set_int("flags", streaming_ ? kStreamRunning : 0);
    m.set("framerate", live.fps);
    m.set_int("bitrate", live.bitrate);
    m.set_int("resolution_h", live.width);
    m.set_int("resolution_v", live.height);
    m.set_text("name", "live view");
    char uri[32];
    snprintf(uri, sizeof uri, "udp://0.0.0.0:%u", CAM2_VIDEO_PORT);
    m.set_text("uri", uri);
    m.set_int("encoding", kStreamEncodingH264);
    return m;
}

Mav2Message Cam2Camera::video_stream_status() const {
    Mav2Message m(MSG_VIDEO_STREAM_STATUS);
    const VpsStreamFormat live = PLR_VPS_LiveViewFormat();
    m.set_int("stream_id", 1);
    m.set_int("flags", streaming_ ? kStreamRunning : 0);
    m.set("framerate", live.fps);
    m.set_int("bitrate", live.bitrate);
    m.set_int("resolution_h", live.width);
    m.set_int("resolution_v", live.height);
    return m;
}

Mav2Message Cam2Camera::image_captured(const Cam2Image& image, int64_t nowMs) const {
    Mav2Message m(MSG_CAMERA_IMAGE_CAPTURED);
    m.set_int("time_boot_ms", boot_ms(nowMs));
    m.set_int("time_utc", static_cast<int64_t>(image.time_utc_us));
    m.set_int("lat", image.lat);
    m.set_int("lon", image.lon);
    m.set_int("alt", image.alt_mm);
    m.set("q", 1.0, 0);
    m.set_int("image_index", image.index);
    m.set_int("capture_result", 1);
    m.set_text("file_url", image.path);
    return m;
}
