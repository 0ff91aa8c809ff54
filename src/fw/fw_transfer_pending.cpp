// Stand-in for the transfer of firmware to the flight controller, the gimbal
// and the repeater while that transfer is not part of this build: each board
// upgrade fails at once, logged and reported to the phone.
#include "core/trace_log.h"
#include "fw/fw_transfer.h"

int PLR_FW_BoardTransfer(UpgradeCtx& /*ctx*/, uint32_t sys,
                         const std::vector<std::string>& /*files*/) {
    PLR_TRACE(PLR_LOG_E, "firmware transfer to board %u not available yet", sys);
    PLR_FW_Send_Upgrade_Status(1, 0);
    return -1;
}

int PLR_FW_ImageCheck(std::vector<std::string>& /*files*/) {
    PLR_TRACE(PLR_LOG_E, "repeater image check not available yet");
    return -1;
}

uint16_t PLR_FW_GenCksum(const uint8_t* data, size_t length) {
    uint32_t sum = 0;
    for (size_t i = 0; data != nullptr && i < length; ++i) sum += data[i];
    sum = (sum & 0xFFFF) + (sum >> 16);
    sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<uint16_t>(~sum & 0xFFFF);
}

int PLR_FW_UpgradingCmdLongHandle(const mavlink_command_long_t* cmd) {
    if (cmd == nullptr) return -1;
    PLR_TRACE(PLR_LOG_E, "firmware transfer answer (step %u) not available yet",
              cmd->target_system);
    return -1;
}
