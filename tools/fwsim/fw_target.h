// The target board's side of the firmware step protocol, as the flight
// controller, the gimbal and the repeater speak it: pure logic over MAVLink
// messages, shared by the simulators (fcsim for boards 3 and 7, repeater-sim
// for board 5) and the tests of the video board's sender.
//
// The video board sends upgrade commands (COMMAND_LONG 4, sub-command in
// target_system) and transfer messages (FILE_TRANSFER_PROTOCOL, opcode in
// target_network) with system id 32 + board; the answers are upgrade commands
// from the board (system id board * 16 + 2) whose target_system is the step
// answered and whose confirmation is the result.
#pragma once

#include <cstddef>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "mav/mavlink_frame.h"

struct FwTarget {
    uint8_t board = 3;  // 3 flight controller, 7 gimbal (pull packages), 5 repeater
    // Pulling boards: the acknowledgement of this package is withheld once.
    int64_t lose_package = -1;
    // Repeater: these packages count as lost when first received, so the MD5
    // check asks for them again.
    std::set<uint32_t> drop_once;

    // Progress of the session (since the last prepare).
    bool prepared = false;
    uint32_t size = 0;              // the current file
    std::vector<uint8_t> data;      // its bytes
    std::vector<bool> have;         // packages received
    bool file_complete = false;     // appended to `firmware`
    std::vector<uint8_t> firmware;  // every completed file, in order
    bool restarted = false;         // restart acknowledged: `firmware` is final
    bool ended = false;
    uint32_t packages = 0;  // package messages received (resends included)
    uint8_t seq = 0;
};

// Handles one message from the video board and appends the answers to `out`.
// Messages for other boards are ignored. True when the message was for this
// board's upgrade.
bool fw_target_handle(FwTarget& t, const mavlink_message_t& in,
                      std::vector<mavlink_message_t>* out);

// MD5 of bytes as 32 lowercase hexadecimal digits.
std::string fw_target_md5(const std::vector<uint8_t>& bytes);

// Writes the board's firmware to `path` in one step (a temporary file renamed
// over it). 0, or -1.
int fw_target_save(const FwTarget& t, const std::string& path);
