// vbctl's vision commands: target tracking (`track --box X,Y,W,H`, `track
// off`) and landing-pad detection (`landpad on|off`), with the board's
// reports printed one line each as they arrive.
#pragma once

#include <cstdint>

#include "vbctl/vbctl_link.h"

struct VbctlVisionRun {
    bool seconds_given = false;
    double seconds = 0;  // how long to print reports (else until Ctrl-C)
    double timeout_s = 10;
};

// Parses "X,Y,W,H" in the phone's coordinates (640 x 360 picture pixels; X
// and Y may be negative, -32768..65535; W and H 0..65535). True when valid.
bool vbctl_parse_box(const char* text, uint32_t box[4]);

// Switches tracking on, sends the box and prints the tracking reports.
// 0 when at least one box was reported, 1 otherwise.
int vbctl_track_box(VbctlLink* link, const uint32_t box[4], const VbctlVisionRun& run);
// Switches tracking off. 0, or 1 when the link broke.
int vbctl_track_off(VbctlLink* link);
// Switches landing-pad detection on and prints its reports (0 when any came),
// or switches it off.
int vbctl_landpad(VbctlLink* link, bool on, const VbctlVisionRun& run);
