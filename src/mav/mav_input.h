// Checks on what arrives from outside the board (the phone, the repeater, the
// flight controller) before it reaches the camera, the clock or the trace log:
// float parameters converted to integers only when they are finite and in
// range (a float outside int32 has no defined integer value, and the board and
// a PC would read it differently), the plausible range of a phone's clock, and
// received text made printable. Pure functions, no I/O.
#pragma once

#include <cstddef>
#include <cstdint>

#include "mav/mavlink_msgs.h"

// MAVLink result codes of the answers.
inline constexpr uint8_t MAV_RESULT_ACCEPTED = 0;
inline constexpr uint8_t MAV_RESULT_FAILED = 4;

// Truncates `value` towards zero into `*out` when it is finite and the result
// lies in lo..hi. 0, or -1 (out untouched).
int MavlinkParamToInt(float value, int32_t lo, int32_t hi, int32_t* out);

// Checks the parameters a camera parameter item (COMMAND_LONG 180, item in
// target_component) reads against the values the camera takes. 0 when all are
// in range (also for unknown items, which are refused elsewhere), -1 when one
// is not; `*bad` (if given) is then the parameter's number, 1 to 3.
int MavlinkSetParameterCheck(const mavlink_command_long_t* cmd, int* bad = nullptr);

// The range a parameter item accepts for param 1..3. False when the item does
// not read that parameter.
struct MavParamRange {
    int32_t lo;
    int32_t hi;
};
bool MavlinkSetParameterRange(uint8_t item, int param, MavParamRange* out);

// True for a clock value (seconds since 1970) from 2020-01-01 up to the end of
// 2099 that the platform's time_t can hold.
bool MavlinkTimeSyncPlausible(int64_t seconds);

// Writes the first `length` bytes of `bytes` (up to a NUL) as one printable
// line: printable ASCII as it stands, the backslash as "\\", every other byte
// as "\xHH". Always NUL-terminated (when size > 0); cut at a whole escape.
// Returns the characters written.
size_t MavlinkPrintableText(const uint8_t* bytes, size_t length, char* out, size_t size);
