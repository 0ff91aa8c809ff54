// Transfer of firmware to the flight controller, the gimbal (over the
// flight-controller UART) and the repeater (over the phone's network link):
// the files are cut into 240-byte packages and sent through a step protocol
// (prepare, begin, data, MD5 check, restart, end) that the target board
// acknowledges step by step.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fw/fw_ctx.h"
#include "mav/mavlink_msgs.h"

// Runs the whole step protocol for system `sys` (FW_SYS_FLYC, FW_SYS_GIMBAL
// or FW_SYS_REPEATER) over `files` (full paths, listing order; for the
// repeater without the "cks" file). Runs on the upgrade thread. 0 when the
// target acknowledged the end step; -1 when the board failed (a step refused
// or not acknowledged in time, no file could be sent); the failure has then
// been reported to the phone with a non-zero result.
int PLR_FW_BoardTransfer(UpgradeCtx& ctx, uint32_t sys, const std::vector<std::string>& files);

// The repeater's image check: the "cks" file in `files` must hold "99" and the
// checksum of the other files' MD5 texts. On success "cks" is removed from
// `files`. 0, or -1.
int PLR_FW_ImageCheck(std::vector<std::string>& files);

// Ones' complement of the byte-wise sum, folded to 16 bits.
uint16_t PLR_FW_GenCksum(const uint8_t* data, size_t length);

// A target board's answer (an upgrade command whose target_system is the step
// answered). Called by the receive threads of the UART and the phone link.
// 0, or -1 for a null message.
int PLR_FW_UpgradingCmdLongHandle(const mavlink_command_long_t* cmd);
