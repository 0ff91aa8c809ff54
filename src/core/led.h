// The status LED on GPIO 18 and the loop that shows the LED mode on it.
#pragma once

#include <cstdint>

enum PlrLedMode : uint32_t {
    PLR_LED_ON = 0,          // steady on: all is well
    PLR_LED_SLOW_BLINK = 1,  // one change a second: a failure
    PLR_LED_FAST_BLINK = 2,  // one change every 40 ms: a firmware package arrives
};

inline constexpr const char* PLR_LED_VALUE_FILE = "/sys/class/gpio/gpio18/value";

// 0 when the LED's value file exists, else -1.
int PLR_SYS_LED_Init();
// Switches the LED on (non-zero) or off; 0 or -1.
int PLR_SYS_LED_Control(int on);
// Sets / returns the LED mode.
void PLR_SYS_LED_Flush(uint32_t mode);
uint32_t PLR_SYS_LED_GET_Flush();

// One pass of the LED loop: applies the current mode to the LED (flipping
// `phase` in the blinking modes) and says how long to wait before the next pass
// and whether this pass counts as a one-second tick.
struct PlrLedStep {
    uint32_t sleepMs;
    bool secondTick;
};
PlrLedStep PLR_SYS_LED_Step(bool* phase);
