// MAVLink 1.0 framing shared by every link of the board (TCP to the phone,
// UART to the flight controller, the file service's datagrams): the message
// record, the X.25 checksum with the per-message CRC extras, serialisation and
// the byte-by-byte parser. Pure functions over bytes; no I/O.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

inline constexpr uint8_t MAVLINK_STX = 0xFE;
inline constexpr size_t MAVLINK_MAX_PAYLOAD_LEN = 255;
// Start byte, length, sequence, system id, component id, message id, checksum.
inline constexpr size_t MAVLINK_NUM_NON_PAYLOAD_BYTES = 8;
inline constexpr size_t MAVLINK_MAX_PACKET_LEN =
    MAVLINK_MAX_PAYLOAD_LEN + MAVLINK_NUM_NON_PAYLOAD_BYTES;
// Payload space of the record: the longest payload and its two checksum bytes,
// rounded up to whole 64-bit words.
inline constexpr size_t MAVLINK_PAYLOAD_SPACE = 264;

// One MAVLink 1.0 message in memory. Every part of the system passes messages
// as this record; its wire form is len + 8 bytes (mavlink_msg_to_send_buffer).
struct mavlink_message_t {
    uint16_t checksum;  // CRC over bytes 1..5 and the payload, then the CRC extra
    uint8_t magic;      // start byte, MAVLINK_STX
    uint8_t len;        // payload length
    uint8_t seq;
    uint8_t sysid;  // high nibble: sending board; low nibble: addressed board
    uint8_t compid;
    uint8_t msgid;
    // Payload, little-endian fields; a received message also holds its two
    // checksum bytes right after the payload.
    std::array<uint8_t, MAVLINK_PAYLOAD_SPACE> payload;
};
static_assert(sizeof(mavlink_message_t) == 8 + MAVLINK_PAYLOAD_SPACE);

// Board numbers of the system-id nibbles.
enum MavBoard : uint8_t {
    MAV_BOARD_DIRECT = 1,  // addressee of the heartbeat when the phone is connected directly
    MAV_BOARD_VIDEO = 2,
    MAV_BOARD_FLYCTRL = 3,
    MAV_BOARD_PHONE = 4,
    MAV_BOARD_REPEATER = 5,
    MAV_BOARD_GIMBAL = 7,
};

constexpr uint8_t mavlink_sysid(uint8_t from, uint8_t to) {
    return static_cast<uint8_t>(((from & 0x0F) << 4) | (to & 0x0F));
}
constexpr uint8_t mavlink_sysid_sender(uint8_t sysid) {
    return static_cast<uint8_t>(sysid >> 4);
}
constexpr uint8_t mavlink_sysid_target(uint8_t sysid) {
    return static_cast<uint8_t>(sysid & 0x0F);
}

// X.25 (MCRF4XX) checksum: start value, one accumulate step, a whole buffer.
inline constexpr uint16_t MAVLINK_CRC_INIT = 0xFFFF;
constexpr uint16_t mavlink_crc_accumulate(uint8_t byte, uint16_t crc) {
    uint8_t tmp = static_cast<uint8_t>(byte ^ (crc & 0xFF));
    tmp = static_cast<uint8_t>(tmp ^ (tmp << 4));
    return static_cast<uint16_t>((crc >> 8) ^ (tmp << 8) ^ (tmp << 3) ^ (tmp >> 4));
}
uint16_t mavlink_crc_calculate(std::span<const uint8_t> bytes, uint16_t crc = MAVLINK_CRC_INIT);

// The CRC extra of a message id (0 for ids outside the system's table, which
// in practice makes such frames fail their checksum).
uint8_t mavlink_crc_extra(uint8_t msgid);

// The checksum the message's header fields and payload call for.
uint16_t mavlink_msg_compute_checksum(const mavlink_message_t* msg);

// Fills the header of a message whose payload is already written and computes
// its checksum. -1 for a null message, else 0.
int mavlink_finalize_message(mavlink_message_t* msg, uint8_t sysid, uint8_t compid, uint8_t seq,
                             uint8_t msgid, uint8_t len);

// Writes the frame of `msg` (its stored checksum, unchanged) to `out`. Returns
// the frame length (len + 8), or -1 for a null message or a short buffer.
int mavlink_msg_to_send_buffer(std::span<uint8_t> out, const mavlink_message_t* msg);

// Parser states of the published byte-by-byte state machine.
enum mavlink_parse_state_t : uint8_t {
    MAVLINK_PARSE_STATE_IDLE = 0,
    MAVLINK_PARSE_STATE_GOT_STX,
    MAVLINK_PARSE_STATE_GOT_LENGTH,
    MAVLINK_PARSE_STATE_GOT_SEQ,
    MAVLINK_PARSE_STATE_GOT_SYSID,
    MAVLINK_PARSE_STATE_GOT_COMPID,
    MAVLINK_PARSE_STATE_GOT_MSGID,
    MAVLINK_PARSE_STATE_GOT_PAYLOAD,
    MAVLINK_PARSE_STATE_GOT_CRC1,
    MAVLINK_PARSE_STATE_GOT_BAD_CRC1,
};

// The parse state of one link; it persists across reads. Zero-initialise it
// (or call mavlink_parser_reset) before the first byte.
struct mavlink_status_t {
    mavlink_parse_state_t parse_state;
    uint8_t packet_idx;          // payload bytes received so far
    uint32_t packet_rx_success;  // frames accepted
    uint32_t packet_rx_drop;     // frames dropped for their checksum
    mavlink_message_t rxmsg;     // the frame being assembled
};

void mavlink_parser_reset(mavlink_status_t* status);

// Feeds one byte. Returns 1 when it completed a frame with a valid checksum
// (copied to `out` unless null), else 0. A frame with a bad checksum is
// dropped; when the byte that ended it is a start byte, it begins the next.
int mavlink_parse_char(mavlink_status_t* status, uint8_t c, mavlink_message_t* out);

// Feeds a block of bytes and calls handler(message, context) for every valid
// frame, in order. Returns the number of frames handed over.
using mavlink_message_handler = void (*)(const mavlink_message_t* msg, void* context);
int mavlink_parse_bytes(mavlink_status_t* status, std::span<const uint8_t> bytes,
                        mavlink_message_handler handler, void* context);
