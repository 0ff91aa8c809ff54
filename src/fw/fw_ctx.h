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

#include "fw/fw_wire.h"

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
// A failure of the upgrade: kept for the phone's status queries (which answer
// with it until the next FILE_RESTART) and reported at once.
void PLR_FW_ReportFailure(int result);
// After a board's upgrade: total version "V_factory" in the configuration, the
// phone told with a FIRMWARE_UPDATE_VERSION command.
void PLR_FW_SetVersionFactory();
// MD5 of a file as 32 lowercase hexadecimal digits and a NUL (size >= 33).
// 0, or -1 when the file cannot be read.
int PLR_FW_GenFileMD5(const char* path, char* out, size_t size);
