#include "mav/mav_pending.h"

#include "core/trace_log.h"
#include "mav/mav_input.h"
#include "mav/mav_link.h"
#include "mav/mavlink_msgs.h"

namespace {

// The firmware upgrade answers a phone's upgrade command by sending it back
// with the result in `confirmation`.
void answer_upgrade_command(const mavlink_message_t* msg) {
    mavlink_command_long_t cmd{};
    if (mavlink_msg_command_long_decode(msg, &cmd) != 0) return;
    cmd.confirmation = MAV_RESULT_FAILED;
    mavlink_pelora_command_long_send(&cmd);
}

// Upload answers are upgrade commands carrying the transfer's opcode and file
// id with the result.
void answer_file_transfer(const mavlink_message_t* msg) {
    mavlink_file_transfer_protocol_t ftp{};
    if (mavlink_msg_file_transfer_protocol_decode(msg, &ftp) != 0) return;
    mavlink_command_long_t cmd{};
    cmd.command = 4;
    cmd.target_system = ftp.target_network;
    cmd.target_component = ftp.target_component;
    cmd.confirmation = MAV_RESULT_FAILED;
    mavlink_pelora_command_long_send(&cmd);
}

struct Pending {
    MavPendingRequest request;
    const char* what;
    void (*answer)(const mavlink_message_t* msg);
};

constexpr Pending kPending[] = {
    {MAV_PENDING_FIRMWARE_UPDATE, "firmware update", answer_upgrade_command},
    {MAV_PENDING_FILE_TRANSFER, "firmware file transfer", answer_file_transfer},
};

}  // namespace

int MavlinkPendingRequest(MavPendingRequest request, const mavlink_message_t* msg) {
    for (const Pending& p : kPending) {
        if (p.request != request) continue;
        if (msg == nullptr) return -1;
        PLR_TRACE(PLR_LOG_D, "%s not available", p.what);
        const uint8_t from = mavlink_sysid_sender(msg->sysid);
        if (from != MAV_BOARD_FLYCTRL && from != MAV_BOARD_GIMBAL) p.answer(msg);
        return 0;
    }
    return -1;
}
