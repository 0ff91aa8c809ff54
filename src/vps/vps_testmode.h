// Factory test-mode recording: with the markers "testmode.conf" and
// "autorec.conf" on the card at start-up, the camera records one clip of more
// than 4 seconds through the ordinary camera events and leaves it on the card
// as "PLRMEDIA/VIDEO/test.mp4" (its live-view copy keeps its own name), for a
// test station to fetch. Every wait is bounded, so test mode cannot hold up
// start-up.
#pragma once

#include <chrono>

// -1 when test mode is off (no "testmode.conf"), else 0.
int PLR_TM_Init();
// Starts the test recording and waits until the recorder has written more
// than 4 seconds. 0; -1 when the camera did not get there in time.
int PLR_TM_RecStart();
// Stops it, waits for the file to close, renames it "test.mp4". 0; -1 when
// the recording did not end in time or there was no file to rename.
int PLR_TM_RecStop();
int PLR_TM_Deinit();

// Bounds of the waits (tests shorten them): the mode switch, the recording
// reaching its length, the recorders finishing their files.
struct PlrTmBounds {
    std::chrono::milliseconds modeSwitch{20000};
    std::chrono::milliseconds recording{60000};
    std::chrono::milliseconds closing{40000};
};
void PLR_TM_SetBounds(const PlrTmBounds& bounds);
