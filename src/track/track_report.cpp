#include "track/track_report.h"

#include <cstring>

namespace {

float bits_to_float(uint32_t bits) {
    float f;
    memcpy(&f, &bits, sizeof f);
    return f;
}

uint32_t float_bits(float f) {
    uint32_t bits;
    memcpy(&bits, &f, sizeof bits);
    return bits;
}

uint32_t pair(uint32_t low, uint32_t high) {
    return (low & 0xFFFFu) | ((high & 0xFFFFu) << 16);
}

}  // namespace

void PLR_TRACK_PackReport(const TrackReport& r, mavlink_vision_position_estimate_t* out) {
    out->usec = r.timeMs;
    out->x = bits_to_float(pair(r.x, r.y));
    out->y = bits_to_float(pair(r.w, r.h));
    out->z = bits_to_float(r.code);
    out->roll = bits_to_float((r.count & 0xFFu) | ((r.word5 & 0xFFu) << 8) |
                              ((r.index & 0xFFu) << 16) | ((r.kind & 0xFFu) << 24));
    out->pitch = bits_to_float(r.word4);
    out->yaw = bits_to_float(r.frame);
}

void PLR_TRACK_UnpackReport(const mavlink_vision_position_estimate_t& in, TrackReport* r) {
    const uint32_t x = float_bits(in.x), y = float_bits(in.y), roll = float_bits(in.roll);
    r->timeMs = in.usec;
    r->x = x & 0xFFFFu;
    r->y = x >> 16;
    r->w = y & 0xFFFFu;
    r->h = y >> 16;
    r->code = float_bits(in.z);
    r->count = roll & 0xFFu;
    r->word5 = (roll >> 8) & 0xFFu;
    r->index = (roll >> 16) & 0xFFu;
    r->kind = roll >> 24;
    r->word4 = float_bits(in.pitch);
    r->frame = float_bits(in.yaw);
}

void PLR_TRACK_PackTarget(const TrackTarget& t, mavlink_vision_position_estimate_t* out) {
    *out = mavlink_vision_position_estimate_t{};
    out->x = bits_to_float(pair(t.x, t.y));
    out->y = bits_to_float(pair(t.w, t.h));
    out->roll = bits_to_float(((t.mode & 0xFFu) << 8) | ((t.cmd & 0xFFu) << 24));
}

void PLR_TRACK_UnpackTarget(const mavlink_vision_position_estimate_t& in, TrackTarget* t) {
    const uint32_t x = float_bits(in.x), y = float_bits(in.y), roll = float_bits(in.roll);
    t->x = x & 0xFFFFu;
    t->y = x >> 16;
    t->w = y & 0xFFFFu;
    t->h = y >> 16;
    t->mode = (roll >> 8) & 0xFFu;
    t->cmd = roll >> 24;
}
