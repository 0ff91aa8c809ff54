// Requests for features this build of the board does not have yet (firmware
// upgrade and its file transfer, the Wi-Fi channel and signal survey, target
// tracking and landing-pad detection). Rather than leave the phone waiting for
// a time-out, each is answered at once with the failure its feature gives, or
// with COMMAND_ACK result 4 where the feature has no answer of its own.
//
// One row per request in mav_pending.cpp. When a feature lands, its handler
// takes the request's place in the dispatcher and the row is deleted.
#pragma once

#include <cstdint>

#include "mav/mavlink_frame.h"

enum MavPendingRequest : uint8_t {
    MAV_PENDING_FIRMWARE_UPDATE,  // COMMAND_LONG 4
    MAV_PENDING_FILE_TRANSFER,    // FILE_TRANSFER_PROTOCOL (110)
    MAV_PENDING_WIFI_CHANNEL,     // PELORA_CUSTOM_CONFIG (59)
    MAV_PENDING_WIFI_SURVEY,      // PARAM_REQUEST_LIST from component 192
    MAV_PENDING_TRACK_SWITCH,     // COMMAND_LONG 203, target_component 11
    MAV_PENDING_APRON_SWITCH,     // COMMAND_LONG 203, target_component 12
    MAV_PENDING_TRACK_POSITION,   // VISION_POSITION_ESTIMATE (102)
};

// Logs "<what> not available" and answers the phone with the request's
// failure. Requests from the flight controller or the gimbal get no answer on
// the phone's link. `msg` may be null for the two switches (their answer needs
// nothing from it). 0, or -1 for an unknown request or a missing message.
int MavlinkPendingRequest(MavPendingRequest request, const mavlink_message_t* msg);
