#include "mav/mav_input.h"

#include <cmath>
#include <cstdio>
#include <ctime>
#include <limits>

namespace {

// Values each camera parameter item reads; an item reads the parameters that
// have a range. The ranges are those the camera core and the status report
// can hold (see docs/phone-protocol.md).
struct ItemRanges {
    uint8_t item;
    bool used[3];
    MavParamRange range[3];
};

// clang-format off
constexpr ItemRanges kItemRanges[] = {
    {2,  {true, false, false},  {{0, 13}, {}, {}}},           // resolution code
    {3,  {true, false, false},  {{0, 12}, {}, {}}},           // ISO index
    {4,  {true, false, false},  {{0, 2}, {}, {}}},            // EV: up, down, reset
    {5,  {true, false, false},  {{0, 1}, {}, {}}},            // exposure mode
    {6,  {true, false, false},  {{0, 52}, {}, {}}},           // shutter index
    {7,  {true, false, false},  {{0, 5}, {}, {}}},            // picture mode
    {8,  {true, false, false},  {{0, 7}, {}, {}}},            // picture format
    {9,  {true, false, false},  {{0, 3}, {}, {}}},            // capture attribute 2
    {10, {true, false, false},  {{0, 255}, {}, {}}},          // capture attribute 3
    {11, {true, false, false},  {{0, 31}, {}, {}}},           // capture attribute 4
    {12, {true, false, false},  {{0, 15}, {}, {}}},           // continuous-shot count
    {13, {true, false, false},  {{0, 15}, {}, {}}},           // capture attribute 6
    {14, {true, false, false},  {{0, 31}, {}, {}}},           // photo time-lapse interval
    {15, {true, false, false},  {{0, 15}, {}, {}}},           // panorama mode
    {16, {true, true, true},    {{0, 255}, {0, 65535}, {0, 65535}}},  // metering mode, x/lock, y
    {22, {true, true, true},    {{0, 2}, {0, 255}, {0, 255}}},      // time-lapse, interval, duration
    {23, {true, true, false},   {{0, 1}, {0, 300}, {}}},      // zoom step, zoom to percent
    {26, {true, false, false},  {{0, 2}, {}, {}}},            // video mode
    {29, {true, true, false},   {{0, 1}, {0, 65535}, {}}},    // white-balance mode, 100 K units
    {30, {true, false, false},  {{0, 1}, {}, {}}},            // day/night mode
};
// clang-format on

const ItemRanges* find_item(uint8_t item) {
    for (const ItemRanges& r : kItemRanges) {
        if (r.item == item) return &r;
    }
    return nullptr;
}

// 2020-01-01 00:00:00 and 2100-01-01 00:00:00 UTC.
constexpr int64_t kClockMin = 1577836800LL;
constexpr int64_t kClockEnd = 4102444800LL;

}  // namespace

int MavlinkParamToInt(float value, int32_t lo, int32_t hi, int32_t* out) {
    if (out == nullptr || !std::isfinite(value)) return -1;
    // Compared as doubles, which hold every int32 and every float exactly.
    const double t = std::trunc(static_cast<double>(value));
    if (t < static_cast<double>(lo) || t > static_cast<double>(hi)) return -1;
    *out = static_cast<int32_t>(t);
    return 0;
}

bool MavlinkSetParameterRange(uint8_t item, int param, MavParamRange* out) {
    const ItemRanges* r = find_item(item);
    if (r == nullptr || param < 1 || param > 3 || !r->used[param - 1]) return false;
    if (out != nullptr) *out = r->range[param - 1];
    return true;
}

int MavlinkSetParameterCheck(const mavlink_command_long_t* cmd, int* bad) {
    if (cmd == nullptr) return -1;
    const float params[3] = {cmd->param1, cmd->param2, cmd->param3};
    for (int p = 1; p <= 3; ++p) {
        MavParamRange range{};
        if (!MavlinkSetParameterRange(cmd->target_component, p, &range)) continue;
        int32_t v = 0;
        if (MavlinkParamToInt(params[p - 1], range.lo, range.hi, &v) != 0) {
            if (bad != nullptr) *bad = p;
            return -1;
        }
    }
    return 0;
}

bool MavlinkTimeSyncPlausible(int64_t seconds) {
    if (seconds < kClockMin || seconds >= kClockEnd) return false;
    return seconds <= static_cast<int64_t>(std::numeric_limits<time_t>::max());
}

size_t MavlinkPrintableText(const uint8_t* bytes, size_t length, char* out, size_t size) {
    if (out == nullptr || size == 0) return 0;
    size_t used = 0;
    for (size_t i = 0; bytes != nullptr && i < length && bytes[i] != 0; ++i) {
        const uint8_t c = bytes[i];
        char piece[5] = {};
        if (c == '\\') {
            piece[0] = '\\';
            piece[1] = '\\';
        } else if (c >= 0x20 && c < 0x7F) {
            piece[0] = static_cast<char>(c);
        } else {
            snprintf(piece, sizeof piece, "\\x%02x", c);
        }
        size_t n = 0;
        while (piece[n] != '\0') ++n;
        if (used + n >= size) break;
        for (size_t k = 0; k < n; ++k) out[used++] = piece[k];
    }
    out[used] = '\0';
    return used;
}
