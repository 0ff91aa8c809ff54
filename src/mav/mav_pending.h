// Requests for features this build of the board does not have yet (firmware
// upgrade and its file transfer). Rather than leave the phone waiting for
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
};

// Logs "<what> not available" and answers the phone with the request's
// failure. Requests from the flight controller or the gimbal get no answer on
// the phone's link. 0, or -1 for an unknown request or a missing message.
int MavlinkPendingRequest(MavPendingRequest request, const mavlink_message_t* msg);
