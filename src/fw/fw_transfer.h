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
// repeater without the "cks" file). `md5s`, when given, holds each file's
// checked MD5: a file whose packages no longer have it is not sent. Runs on
// the upgrade thread. 0 when the target acknowledged the end step; -1 when
// the board failed (a file that cannot be sent, a step refused or not
// acknowledged in time); the failure has then been reported to the phone
// with a non-zero result.
int PLR_FW_BoardTransfer(UpgradeCtx& ctx, uint32_t sys, const std::vector<std::string>& files,
                         const std::vector<std::string>* md5s = nullptr);

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

// ---------------------------------------------------------------------------
// The parts of the transfer, in the order the board transfer uses them.


// Cuts the file at `path` into packages in ctx.pkg_buf (pkg_total, file_size,
// pkg_cur 0, file_md5). 0, or -1 (empty, unreadable or too large a file for
// ctx.upgrading_sys, MD5 failure).
int PLR_FW_PackagePrepare(UpgradeCtx& ctx, const char* path);
// Sends the prepared file to ctx.upgrading_sys: begin, the packages (pulled by
// the flight controller and the gimbal; batched to the repeater, then the MD5
// check). 0 once the target has them all, -1 when it failed or stopped.
int PLR_FW_PackageSend(UpgradeCtx& ctx);
// Frees the packages. 0, or -1 when there were none.
int PLR_FW_PackageFree(UpgradeCtx& ctx);
// Sends package `index` to ctx.upgrading_sys. The link's result, or -1 (and
// the ERROR line) for an index not below pkg_total.
int PLR_FW_PackageSendById(UpgradeCtx& ctx, uint32_t index);
// An upgrade command (COMMAND_LONG 4, target_system = sub-command) to board
// `target`, system id 32 + target, component 0. Logged; returns 1.
int PLR_FW_SendCmdLong(uint8_t target, uint8_t subcmd, float p1, float p2, float p3, float p4,
                       float p5, float p6, float p7);
// The sub-command with zero parameters to ctx.upgrading_sys. 1.
int PLR_FW_SendCmd(uint8_t subcmd);
// A transfer message (FILE_TRANSFER_PROTOCOL: target_network = opcode,
// target_system = length, payload) to board `target`. Returns 1.
int PLR_FW_SendPackage(uint8_t target, uint8_t opcode, uint8_t length, const uint8_t* payload,
                       size_t size);

// ---------------------------------------------------------------------------
// Bounds of the step protocol. The target's silence and refusals are bounded
// so that a board that stops answering ends its upgrade with a failure.

struct FwTransferBounds {
    uint32_t repeat_ms = 1000;           // a step message is repeated this often
    uint32_t gimbal_restart_ms = 5000;   // the gimbal's restart repeat
    uint32_t settle_ms = 5000;           // pause after the restart was acknowledged
    uint32_t silence_ms = 10000;         // no answer and no package progress: failed
    uint32_t reboot_silence_ms = 30000;  // the same for restart and end (the target reboots)
    uint32_t max_refusals = 30;          // negative answers to one step: failed
    uint32_t max_repeats = 120;          // a step message sent this often unanswered: failed
    uint32_t max_resends = 30;           // one package resent this often: failed
    uint32_t batch_gap_ms = 10;          // pause after each batch to the repeater
};
// Replaces the bounds (tests use short ones); null restores the defaults.
void PLR_FW_SetTransferBounds(const FwTransferBounds* bounds);

// Where the transfer's messages go: the flight-controller UART for boards 3
// and 7, the phone's network link for the repeater; and the orchestration's
// status reports and version reset, which tell the phone.
struct FwTransferLinks {
    int (*uart_send)(const mavlink_message_t* msg);
    int (*net_send)(const mavlink_message_t* msg);
    int (*net_send_buffer)(const uint8_t* bytes, size_t length);
    int (*report_status)(int result, int progress);
    void (*version_factory)();
};
// Replaces the links (tests); null restores uart_mavlink_send,
// PLR_MAV_SendMessage, PLR_MAV_Sendbuffer, PLR_FW_Send_Upgrade_Status and
// PLR_FW_SetVersionFactory.
void PLR_FW_SetTransferLinks(const FwTransferLinks* links);

// Shutdown: every wait of a running transfer ends at once and it returns -1;
// transfers started later return -1 until PLR_FW_TransferReset.
void PLR_FW_TransferStop();
// Clears the stop request (start-up, tests).
void PLR_FW_TransferReset();
