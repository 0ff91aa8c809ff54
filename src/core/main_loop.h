// Start-up helpers and the main loop of vboard.
#pragma once

#include <cstdint>

// Configures the trace log: no card yet, level 4, console, both logs enabled.
void PLR_MAIN_LogInit();
// Writes "system tick..\n" to the flight-controller data log.
void PLR_MAIN_LogSystick();

// Work the main loop does on every pass before driving the LED (the firmware
// upgrader and the repeater trigger register theirs as they start).
using PlrMainPoll = void (*)();
void PLR_MAIN_AddPoll(PlrMainPoll poll);

// Runs the main loop until a stop is requested: the polls, the LED, then one
// second of sleep and a system tick (40 ms and no tick in fast-blink mode).
void PLR_MAIN_Loop();
