// The camera protocol of the ground-station endpoint: what the board answers
// to each command of the common camera message set, and the messages that
// describe the camera, its card, its captures and its video stream. It works
// on the same camera, card and live-view state the phone link uses, so there
// is one camera: a recording started here is a recording for the phone too.
//
// Single-threaded: the endpoint's thread calls every member. Camera
// notifications reach it through on_camera_event, queued by the endpoint.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "cam2/cam2_images.h"
#include "cam2/mav2_message.h"
#include "vps/vps_event.h"

inline constexpr uint8_t CAM2_CAMERA_COMPID = 100;
inline constexpr uint8_t CAM2_VEHICLE_COMPID = 1;
inline constexpr uint16_t CAM2_VIDEO_PORT = 5600;

// Command results (MAV_RESULT).
enum Cam2Result : uint8_t {
    CAM2_ACCEPTED = 0,
    CAM2_TEMPORARILY_REJECTED = 1,
    CAM2_DENIED = 2,
    CAM2_UNSUPPORTED = 3,
    CAM2_FAILED = 4,
};

// What a command asks of the endpoint besides its answer.
enum class Cam2Stream : uint8_t { Unchanged, Start, Stop };

struct Cam2Reply {
    uint8_t result = CAM2_UNSUPPORTED;
    // Sent to the requester after the acknowledgement, in order.
    std::vector<Mav2Message> messages;
    // Live view by RTP to the requester: asked for (a stream request or the
    // stream's information), or stopped.
    Cam2Stream stream = Cam2Stream::Unchanged;
};

class Cam2Camera {
public:
    // `imageLog`: board path of the photo log.
    explicit Cam2Camera(const std::string& imageLog);

    // One COMMAND_LONG addressed to the camera; never waits for the camera.
    // `requester` tells stations apart (address, system and component).
    Cam2Reply command(const Mav2Message& cmd, uint64_t requester, int64_t nowMs);
    // A camera notification: returns what every station must learn (the
    // captured photo).
    std::vector<Mav2Message> on_camera_event(const VpsEvt& evt, int64_t nowMs);
    // Every tick of the endpoint: interval photos that are due, and the
    // capture status while a recording runs with a status rate set.
    std::vector<Mav2Message> tick(int64_t nowMs);

    Mav2Message camera_information(int64_t nowMs) const;
    Mav2Message camera_settings(int64_t nowMs) const;
    Mav2Message storage_information(int64_t nowMs) const;
    Mav2Message capture_status(int64_t nowMs) const;
    Mav2Message video_stream_information() const;
    Mav2Message video_stream_status() const;
    Mav2Message image_captured(const Cam2Image& image, int64_t nowMs) const;

    // The message `msgid` as a request for it (param2: the image index).
    // valid() is false for a message the camera does not give.
    Mav2Message requested(uint32_t msgid, int32_t param2, int64_t nowMs) const;

    // While the endpoint streams the live view to some station.
    void set_streaming(bool on) { streaming_ = on; }
    bool recording() const { return recordingSinceMs_ >= 0; }

private:
    uint8_t take_photo(int64_t nowMs);
    uint8_t start_video(float statusHz);
    uint8_t set_mode(uint32_t mode);
    uint8_t format_card();
    uint8_t zoom(float type, float value);

    Cam2ImageLog images_;
    int64_t recordingSinceMs_ = -1;
    float statusHz_ = 0;
    int64_t nextStatusMs_ = 0;
    float intervalS_ = 0;   // photo interval; 0: none
    int32_t shotsLeft_ = 0;  // of the interval; 0 without a limit
    int64_t nextShotMs_ = 0;
    // The last numbered single photo: a retry of it within a few seconds from
    // the same station is answered again, not shot again.
    struct Sequence {
        uint64_t requester = 0;
        int64_t number = -1;
        int64_t atMs = 0;
    };
    Sequence lastSequence_;
    bool photoPending_ = false;
    bool streaming_ = false;
};
