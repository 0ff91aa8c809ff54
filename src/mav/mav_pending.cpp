#include "mav/mav_pending.h"

#include "core/trace_log.h"
#include "mav/mav_input.h"
#include "mav/mav_link.h"
#include "mav/mavlink_msgs.h"

namespace {

constexpr uint16_t kCmdDigicamControl = 203;

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

// Requests without an answer of their own: COMMAND_ACK naming the message id.
void ack_message(const mavlink_message_t* msg) {
    mavlink_pelora_command_ack_send(msg->msgid, MAV_RESULT_FAILED);
}

void ack_digicam(const mavlink_message_t* /*msg*/) {
    mavlink_pelora_command_ack_send(kCmdDigicamControl, MAV_RESULT_FAILED);
}

struct Pending {
    MavPendingRequest request;
    const char* what;
    void (*answer)(const mavlink_message_t* msg);
    bool needsMessage;
};

constexpr Pending kPending[] = {
    {MAV_PENDING_FIRMWARE_UPDATE, "firmware update", answer_upgrade_command, true},
    {MAV_PENDING_FILE_TRANSFER, "firmware file transfer", answer_file_transfer, true},
    {MAV_PENDING_WIFI_CHANNEL, "Wi-Fi channel setting", ack_message, true},
    {MAV_PENDING_WIFI_SURVEY, "Wi-Fi signal report", ack_message, true},
    {MAV_PENDING_TRACK_SWITCH, "tracking switch", ack_digicam, false},
    {MAV_PENDING_APRON_SWITCH, "landing-pad detection switch", ack_digicam, false},
    {MAV_PENDING_TRACK_POSITION, "tracking position", ack_message, true},
};

}  // namespace

int MavlinkPendingRequest(MavPendingRequest request, const mavlink_message_t* msg) {
    for (const Pending& p : kPending) {
        if (p.request != request) continue;
        if (msg == nullptr && p.needsMessage) return -1;
        PLR_TRACE(PLR_LOG_D, "%s not available", p.what);
        const uint8_t from = msg != nullptr ? mavlink_sysid_sender(msg->sysid)
                                            : static_cast<uint8_t>(MAV_BOARD_PHONE);
        if (from != MAV_BOARD_FLYCTRL && from != MAV_BOARD_GIMBAL) p.answer(msg);
        return 0;
    }
    return -1;
}
