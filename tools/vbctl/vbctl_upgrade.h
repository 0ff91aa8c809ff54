// vbctl's firmware upgrade: uploads files as the phone does (upload mode on
// the file port, an announcement per file, upload frames to port 8857, the
// MD5 check repeated until the board answers, resending what it lists as
// missing), sets the total version text, starts the upgrade and follows the
// board's status reports, reconnecting across the video board's reboot.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "vbctl/vbctl_link.h"

struct VbctlUpgradeOptions {
    std::string host = "127.0.0.1";
    uint16_t port = 8866;       // the board's MAVLink link
    uint16_t file_port = 8857;  // where upload frames go
    double timeout_s = 10;      // silence after which a step gives up
    std::vector<std::string> files;
    uint8_t sys = 2;  // --board: 2 video, 3 fc, 7 gimbal, 5 repeater
    bool version_given = false;
    std::string version;
    bool restart = false;
    // Test aid: this package of every file is left out of the first pass,
    // so that the board has to list it as missing. -1: none.
    int64_t withhold = -1;
    // Test aid: the name announced for the files instead of their own.
    bool name_given = false;
    std::string name;
};

// The system id of a --board word; 0 when unknown.
uint8_t vbctl_upgrade_board(const char* word);

// `upgrade FILE... [--version TEXT] [--restart]`. 0 when every step was
// acknowledged (and with --restart every board finished), 1 otherwise.
int vbctl_upgrade(VbctlLink* link, const VbctlUpgradeOptions& opt);
// `upgrade status`: one status report, printed. 0, or 1 without an answer.
int vbctl_upgrade_status(VbctlLink* link, const VbctlUpgradeOptions& opt);
// `upgrade clean`: the board deletes every uploaded firmware file.
int vbctl_upgrade_clean(VbctlLink* link, const VbctlUpgradeOptions& opt);
