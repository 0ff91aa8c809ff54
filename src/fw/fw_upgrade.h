// Firmware upgrade orchestration: which boards have firmware waiting, the
// upgrade of one board at a time in the order video board, flight
// controller, gimbal, repeater, the video board's own upgrade through the
// platform's update engine and a reboot, the phone's upgrade commands, the
// status reports and the one-letter step record "/userdata/fwstep" that
// survives the reboot.
#pragma once

#include <cstdint>
#include <string>

#include "fw/fw_ctx.h"
#include "mav/mavlink_msgs.h"

inline constexpr const char* FW_STEP_FILE = "/userdata/fwstep";
inline constexpr const char* FW_FACTORY_MARK = "/tmp/SD0/factory.bin";
inline constexpr const char* FW_VIDEO_IMAGE_NAME = "update.img";
inline constexpr const char* FW_FACTORY_VERSION = "V_factory";

// Image states of the single-image path.
enum FwImageState : int {
    FW_IMAGE_PREPARED = 0,
    FW_IMAGE_BEGUN = 1,
    FW_IMAGE_CHECKED = 3,
    FW_IMAGE_RESTARTED = 4,
    FW_IMAGE_ENDED = 5,
    FW_IMAGE_START = 7,
};

int PLR_FW_UpgradeInit();
int PLR_FW_UpgradeDeinit();
// Once a second from the main loop: starts the next board's upgrade. 0, or -1
// when firmware is pending but no known system has it.
int PLR_FW_UpgradeTrigger();
void PLR_FW_UpgradeCheck();
uint32_t PLR_FW_GetUpgradingSys();
int firmware_update_command_handler(const mavlink_command_long_t* cmd);
// The flight controller's link status (its quad-status message). While it
// reports the bound state (4 or 5) the drone may be flying: FILE_RESTART is
// refused with 4.
void PLR_FW_SetFlightLinkStatus(uint8_t status);
// Once a second (from the trigger): upload mode ends when the phone's client
// has gone or no upload data came for FW_UPLOAD_IDLE_MS; a card that was seen
// and is gone lets its sets count anew.
void PLR_FW_UpgradeWatch(int64_t nowMs);

// Board paths of a system's firmware directory: on the card when it exists,
// else on the data partition (GetFwPath); always the data partition
// (GetFwUerPath). "" for other ids. The upgrade takes the data partition's
// complete set before the card's (fw_sets.h).
std::string PLR_FW_GetFwPath(uint32_t sys);
std::string PLR_FW_GetFwUerPath(uint32_t sys);
// The first pending system in upgrade order, or FW_SYS_NONE.
uint32_t PLR_FW_GetUpgradeSys();
void PLR_FW_ClearUpgradeSys(uint32_t sys);
// Removes a board path and everything below it (unlink/rmdir, no shell). 0,
// or -1 for a null path or a failed removal.
int PLR_FW_RemoveFiles(const char* path);

// The step record: 0 'P', 1 'B', 2 'T', 3 'M', 4 'R', 5 'E', 6 'S', other 'U'.
int firmware_set_update_step(int step);
// The recorded step (a letter not in the table reads 0), FW_STEP_NONE when the
// file is missing.
int firmware_get_update_step();
int firmware_clear_update_step();

// Answers a phone command: the command back with `confirmation`.
void PLR_FW_AnswerCommand(const mavlink_command_long_t* cmd, uint8_t confirmation);
