// MAVLink 2 framing of the camera endpoint: writing a message as a frame
// (start byte 0xFD, trailing zero bytes cut from the payload, no signing) and
// the byte-by-byte parser. The endpoint takes no incompatibility flag: a frame
// that has any (signing included) is dropped at its flags byte. MAVLink 1
// frames (0xFE) start nothing. Pure functions over bytes; no I/O.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "cam2/mav2_message.h"

inline constexpr uint8_t MAV2_STX = 0xFD;
// Start byte, length, two flag bytes, sequence, system, component, 3-byte id.
inline constexpr size_t MAV2_HEADER_LEN = 10;
inline constexpr size_t MAV2_MAX_FRAME = MAV2_HEADER_LEN + MAV2_MAX_PAYLOAD + 2;

// One received frame: its header fields, the payload bytes on the wire (the
// rest of `payload` zero) and the checksum it carried.
struct Mav2Frame {
    uint8_t len = 0;
    uint8_t seq = 0;
    uint8_t sysid = 0;
    uint8_t compid = 0;
    uint32_t msgid = 0;
    uint16_t checksum = 0;
    std::array<uint8_t, MAV2_MAX_PAYLOAD> payload{};

    // The payload as a message of the table (valid() false for other ids).
    Mav2Message message() const { return Mav2Message(msgid, std::span(payload.data(), len)); }
};

// Writes `msg` as one frame to `out`. Returns the frame length, or 0 for a
// message not in the table or a buffer shorter than MAV2_MAX_FRAME.
size_t mav2_frame_write(std::span<uint8_t> out, const Mav2Message& msg, uint8_t seq, uint8_t sysid,
                        uint8_t compid);

// The parser of one link; its state persists across reads.
class Mav2Parser {
public:
    // Feeds one byte; true when it completed a frame with a valid checksum
    // (then in *out). The CRC extra of an id the table lacks is 0, which in
    // practice fails such frames.
    bool feed(uint8_t byte, Mav2Frame* out);

    uint32_t accepted() const { return accepted_; }
    // Frames dropped for their checksum or their flags.
    uint32_t dropped() const { return dropped_; }

private:
    enum class State : uint8_t { Idle, Len, Incompat, Compat, Seq, Sys, Comp, Id0, Id1, Id2, Payload, Crc1, Crc2 };
    State state_ = State::Idle;
    size_t got_ = 0;
    uint16_t crc_ = 0;
    Mav2Frame frame_;
    uint32_t accepted_ = 0;
    uint32_t dropped_ = 0;
};
