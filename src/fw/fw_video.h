// The video board's own upgrade: the image is the phone's complete upload, or
// else a card image not yet installed from this card, copied and verified
// before the card's copy may go; it is checked again and handed to the update
// engine, whose success is recorded before the reboot. At start-up the step
// record 'R' counts as an install only with that proof: without it the image
// is installed again (once) when it still verifies, else the failure is
// reported.
#pragma once

#include <cstdint>

#include "fw/fw_ctx.h"

// Where an installed image came from, as the status report tells it (param4).
enum FwImageSource : int {
    FW_SOURCE_NONE = 0,
    FW_SOURCE_UPLOAD = 1,  // the phone's upload
    FW_SOURCE_CARD = 2,    // the card's videofw
};

// The install record: the image's MD5, its source, the attempt and whether
// the engine reported success ("handed" before the engine, "installed" after).
inline constexpr const char* FW_INSTALL_RECORD = "/userdata/fwinstall";
// An image whose install was never proven is handed to the engine this many
// times in all before the failure is reported.
inline constexpr int FW_INSTALL_ATTEMPTS = 2;

// Start-up: what the last run left. 0 nothing to do or an install proven (the
// phone is told at its next status query), 1 the image is installed again, -1
// an install that was not proven and is not tried again (a failure to report).
int PLR_FW_VideoStartUp();
// True when the video board has an image to install: one to install again,
// the phone's complete upload, or (with no upload waiting) a card image not
// yet installed from this card.
bool PLR_FW_VideoPending();
// 0 when the update engine installed the image (the reboot follows), -1
// otherwise (reported to the phone).
int PLR_FW_VideoUpgrade(UpgradeCtx* ctx);
// The source of a proven install the phone has not yet been told of, else
// FW_SOURCE_NONE. Told: the phone has heard of the last install or its
// failure; the step record and the install record go.
int PLR_FW_VideoProvenSource();
void PLR_FW_VideoTold();
