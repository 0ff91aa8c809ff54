#include "cam2/mav2_frame.h"

#include <cstring>

#include "mav/mavlink_frame.h"

namespace {

uint8_t crc_extra_of(uint32_t msgid) {
    const Mav2MessageDef* def = mav2_find_message(msgid);
    return def == nullptr ? 0 : def->crc_extra;
}

}  // namespace

size_t mav2_frame_write(std::span<uint8_t> out, const Mav2Message& msg, uint8_t seq, uint8_t sysid,
                        uint8_t compid) {
    if (!msg.valid() || out.size() < MAV2_MAX_FRAME) return 0;
    const size_t len = msg.wire_length();
    const uint32_t id = msg.id();
    uint8_t* p = out.data();
    p[0] = MAV2_STX;
    p[1] = static_cast<uint8_t>(len);
    p[2] = 0;  // incompatibility flags: never signed
    p[3] = 0;  // compatibility flags
    p[4] = seq;
    p[5] = sysid;
    p[6] = compid;
    p[7] = static_cast<uint8_t>(id);
    p[8] = static_cast<uint8_t>(id >> 8);
    p[9] = static_cast<uint8_t>(id >> 16);
    std::memcpy(p + MAV2_HEADER_LEN, msg.payload().data(), len);
    uint16_t crc = mavlink_crc_calculate(std::span(p + 1, MAV2_HEADER_LEN - 1 + len));
    crc = mavlink_crc_accumulate(msg.def()->crc_extra, crc);
    p[MAV2_HEADER_LEN + len] = static_cast<uint8_t>(crc);
    p[MAV2_HEADER_LEN + len + 1] = static_cast<uint8_t>(crc >> 8);
    return MAV2_HEADER_LEN + len + 2;
}

bool Mav2Parser::feed(uint8_t c, Mav2Frame* out) {
    if (state_ != State::Idle && state_ < State::Crc1) crc_ = mavlink_crc_accumulate(c, crc_);
    switch (state_) {
        case State::Idle:
            if (c == MAV2_STX) {
                frame_ = Mav2Frame{};
                crc_ = MAVLINK_CRC_INIT;
                state_ = State::Len;
            }
            return false;
        case State::Len:
            frame_.len = c;
            state_ = State::Incompat;
            return false;
        case State::Incompat:
            if (c != 0) {
                ++dropped_;
                state_ = State::Idle;
                return false;
            }
            state_ = State::Compat;
            return false;
        case State::Compat:
            state_ = State::Seq;
            return false;
        case State::Seq:
            frame_.seq = c;
            state_ = State::Sys;
            return false;
        case State::Sys:
            frame_.sysid = c;
            state_ = State::Comp;
            return false;
        case State::Comp:
            frame_.compid = c;
            state_ = State::Id0;
            return false;
        case State::Id0:
            frame_.msgid = c;
            state_ = State::Id1;
            return false;
        case State::Id1:
            frame_.msgid |= uint32_t{c} << 8;
            state_ = State::Id2;
            return false;
        case State::Id2:
            frame_.msgid |= uint32_t{c} << 16;
            got_ = 0;
            state_ = frame_.len == 0 ? State::Crc1 : State::Payload;
            if (frame_.len == 0) crc_ = mavlink_crc_accumulate(crc_extra_of(frame_.msgid), crc_);
            return false;
        case State::Payload:
            frame_.payload[got_++] = c;
            if (got_ == frame_.len) {
                crc_ = mavlink_crc_accumulate(crc_extra_of(frame_.msgid), crc_);
                state_ = State::Crc1;
            }
            return false;
        case State::Crc1:
            frame_.checksum = c;
            state_ = State::Crc2;
            return false;
        case State::Crc2:
            frame_.checksum = static_cast<uint16_t>(frame_.checksum | (c << 8));
            state_ = State::Idle;
            if (frame_.checksum != crc_) {
                ++dropped_;
                return false;
            }
            ++accepted_;
            if (out != nullptr) *out = frame_;
            return true;
    }
    return false;
}
