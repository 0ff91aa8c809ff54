// Firmware upgrade state shared by the upgrade orchestration (which board is
// upgraded, the step record, the phone's commands), the upload of firmware
// files from the phone, and the transfer of firmware to the other boards.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

// Upgradable boards (the system id); the table order video, flight
// controller, gimbal, repeater is the upgrade order.
enum FwSystem : uint32_t {
    FW_SYS_VIDEO = 2,
    FW_SYS_FLYC = 3,
    FW_SYS_REPEATER = 5,
    FW_SYS_GIMBAL = 7,
    FW_SYS_NONE = 8,
};

// Sub-commands of the upgrade command (COMMAND_LONG command 4, sub-command in
// target_system) and opcodes of the transfer message (FILE_TRANSFER_PROTOCOL,
// opcode in target_network).
enum FwSubCommand : uint8_t {
    FIRMWARE_UPDATE_PREPARE = 0,
    FIRMWARE_UPDATE_BEGIN = 1,
    FIRMWARE_UPDATE_DATA = 2,
    FIRMWARE_UPDATE_MD5 = 3,
    FIRMWARE_UPDATE_RESTART = 4,
    FIRMWARE_UPDATE_END = 5,
    FIRMWARE_UPDATE_VERSION = 6,
    FIRMWARE_UPDATE_FILE_PREPARE = 10,
    FIRMWARE_UPDATE_FILE_BEGIN = 11,
    FIRMWARE_UPDATE_FILE_MD5 = 12,
    FIRMWARE_UPDATE_FILE_RESTART = 13,
    FIRMWARE_UPDATE_FILE_END = 14,
    FIRMWARE_UPDATE_FILE_UPGRADE_STATUS = 15,
    FIRMWARE_UPDATE_FILE_CLEAN = 16,
};

inline constexpr uint16_t MAV_CMD_FIRMWARE_UPDATE = 4;
// No step: the step record's value when its file is missing, and the
// transfer's step before the target acknowledged any.
inline constexpr int FW_STEP_NONE = 7;
inline constexpr uint8_t FW_STATUS_REPORT = 15;  // target_system of a status report
inline constexpr float FW_NO_INDEX = 4294967296.0f;  // a parameter without a package index

// Packages sent to the other boards: a 32-bit big-endian index and 240 bytes.
inline constexpr uint32_t FW_PKG_DATA_SIZE = 240;
inline constexpr uint32_t FW_PKG_SIZE = FW_PKG_DATA_SIZE + 4;

struct UpgradeCtx {
    std::atomic<uint32_t> upgrading_sys{FW_SYS_NONE};
    std::atomic<uint32_t> pending_mask{0};
    // Last step the target board acknowledged; written by the receive thread
    // that handles the target's answers, polled by the upgrade thread.
    std::atomic<uint32_t> step{0};
    // The current file of a board transfer; set by the upgrade thread before
    // the target is asked for its packages.
    uint32_t pkg_total = 0;
    uint32_t file_size = 0;
    uint32_t pkg_cur = 0;  // guarded by upgrade_lock
    std::vector<uint8_t> pkg_buf;
    char file_md5[33] = {};
    std::atomic<uint8_t> remove_sd_files{0};
    std::mutex upgrade_lock;
    std::condition_variable upgrade_cond;
};

extern UpgradeCtx g_UpgradeCtx;

// Provided by the orchestration (fw_upgrade.cpp).

// Sends the phone a status report: result r, progress p percent, the pending
// mask, the upgrading system and the step.
int PLR_FW_Send_Upgrade_Status(int result, int progress);
// After a board's upgrade: total version "V_factory" in the configuration, the
// phone told with a FIRMWARE_UPDATE_VERSION command.
void PLR_FW_SetVersionFactory();
// MD5 of a file as 32 lowercase hexadecimal digits and a NUL (size >= 33).
// 0, or -1 when the file cannot be read.
int PLR_FW_GenFileMD5(const char* path, char* out, size_t size);
