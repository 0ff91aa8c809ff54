// MAVLink 1.0 framing: golden frames worked out by hand from the wire format,
// checksum failures and resynchronisation, frames split across reads, and the
// recorded noisy stream.
#include "mav/mavlink_frame.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <functional>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "mav/mavlink_msgs.h"

namespace {

using Bytes = std::vector<uint8_t>;

// Header fields and checksum of a received frame, as the expected-frames file
// lists them.
struct FrameId {
    int seq, sysid, compid, msgid, len, checksum;
    bool operator==(const FrameId&) const = default;
};

void PrintTo(const FrameId& f, std::ostream* os) {
    *os << f.seq << ' ' << f.sysid << ' ' << f.compid << ' ' << f.msgid << ' ' << f.len << ' '
        << f.checksum;
}

FrameId id_of(const mavlink_message_t& m) {
    return {m.seq, m.sysid, m.compid, m.msgid, m.len, m.checksum};
}

void collect(const mavlink_message_t* msg, void* context) {
    static_cast<std::vector<mavlink_message_t>*>(context)->push_back(*msg);
}

std::vector<mavlink_message_t> parse_all(const Bytes& bytes) {
    mavlink_status_t status{};
    std::vector<mavlink_message_t> messages;
    mavlink_parse_bytes(&status, bytes, collect, &messages);
    return messages;
}

std::vector<FrameId> ids_of(const std::vector<mavlink_message_t>& messages) {
    std::vector<FrameId> ids;
    for (const mavlink_message_t& m : messages) ids.push_back(id_of(m));
    return ids;
}

Bytes serialise(const mavlink_message_t& msg) {
    Bytes out(MAVLINK_MAX_PACKET_LEN);
    const int length = mavlink_msg_to_send_buffer(out, &msg);
    out.resize(length > 0 ? static_cast<size_t>(length) : 0);
    return out;
}

Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
    return out;
}

// Worked out from the wire format: start byte, length, sequence, system id,
// component id, message id, little-endian payload, and the X.25 checksum of
// bytes 1..5 and the payload followed by the message's CRC extra, low byte
// first.

// HEARTBEAT seq 7, system 33 (video board to the directly connected phone):
// custom_mode 0, type 0, autopilot 0, base_mode 0, system_status 1
// (recording), mavlink_version 3; CRC extra 50.
const Bytes kHeartbeat = {0xFE, 0x09, 0x07, 0x21, 0x00, 0x00, 0x00, 0x00, 0x00,
                          0x00, 0x00, 0x00, 0x00, 0x01, 0x03, 0x85, 0x78};

// COMMAND_LONG seq 5, system 0x42 (phone to video board): param1 3.0 (bytes
// 00 00 40 40), command 2, target_system 2; CRC extra 152.
const Bytes kCommandLong = {0xFE, 0x21, 0x05, 0x42, 0x00, 0x4C, 0x00, 0x00, 0x40, 0x40, 0x00,
                            0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                            0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                            0x00, 0x02, 0x00, 0x02, 0x00, 0x00, 0x61, 0x52};

// PELORA_ACK seq 9, system 36: 0, item 1, message 76, command 180, result 4,
// value 1, 0 (a failed switch to record mode); CRC extra 221.
const Bytes kPeloraAck = {0xFE, 0x07, 0x09, 0x24, 0x00, 0x34, 0x00, 0x01,
                          0x4C, 0xB4, 0x04, 0x01, 0x00, 0x45, 0xD6};

// PELORA_PARAM_VALUE seq 200, system 36: value 0.0, count 3, index 0, name
// "ModelName", text "PL1", type 11; CRC extra 49.
const Bytes kParamValue = {
    0xFE, 0x37, 0xC8, 0x24, 0x00, 0x16, 0x00, 0x00, 0x00, 0x00, 0x03, 0x00, 0x00, 0x00, 0x4D, 0x6F,
    0x64, 0x65, 0x6C, 0x4E, 0x61, 0x6D, 0x65, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x50, 0x4C,
    0x31, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x0B, 0x25, 0xBC};

struct Golden {
    const char* name;
    const Bytes& frame;
    std::function<int(mavlink_message_t*)> pack;
    std::function<void(const mavlink_message_t&)> check_decoded;
};

TEST(MavlinkFrame, ChecksumAndCrcExtraTable) {
    const std::string check = "123456789";  // the published check input of X.25
    EXPECT_EQ(mavlink_crc_calculate(
                  std::span(reinterpret_cast<const uint8_t*>(check.data()), check.size())),
              0x6F91);
    const std::pair<int, int> extras[] = {{0, 50},    {22, 49},  {24, 24},   {52, 221}, {59, 24},
                                          {76, 152},  {77, 143}, {107, 108}, {110, 84}, {111, 34},
                                          {141, 148}, {142, 72}, {254, 46},  {3, 0},    {60, 0},
                                          {150, 0},   {255, 0}};
    for (const auto& [id, extra] : extras)
        EXPECT_EQ(mavlink_crc_extra(static_cast<uint8_t>(id)), extra) << id;
}

TEST(MavlinkFrame, GoldenFramesParsedAndProducedByteForByte) {
    const Golden cases[] = {
        {"HEARTBEAT", kHeartbeat,
         [](mavlink_message_t* m) {
             const mavlink_heartbeat_t hb{.custom_mode = 0,
                                          .type = 0,
                                          .autopilot = 0,
                                          .base_mode = 0,
                                          .system_status = 1,
                                          .mavlink_version = 3};
             return mavlink_msg_heartbeat_pack(33, 0, 7, &hb, m);
         },
         [](const mavlink_message_t& m) {
             mavlink_heartbeat_t hb{};
             ASSERT_EQ(mavlink_msg_heartbeat_decode(&m, &hb), 0);
             EXPECT_EQ(hb.system_status, 1);
             EXPECT_EQ(hb.mavlink_version, 3);
         }},
        {"COMMAND_LONG", kCommandLong,
         [](mavlink_message_t* m) {
             const mavlink_command_long_t cmd{.param1 = 3.0f,
                                              .param2 = 0,
                                              .param3 = 0,
                                              .param4 = 0,
                                              .param5 = 0,
                                              .param6 = 0,
                                              .param7 = 0,
                                              .command = 2,
                                              .target_system = 2,
                                              .target_component = 0,
                                              .confirmation = 0};
             return mavlink_msg_command_long_pack(0x42, 0, 5, &cmd, m);
         },
         [](const mavlink_message_t& m) {
             mavlink_command_long_t cmd{};
             ASSERT_EQ(mavlink_msg_command_long_decode(&m, &cmd), 0);
             EXPECT_EQ(cmd.param1, 3.0f);
             EXPECT_EQ(cmd.command, 2);
             EXPECT_EQ(cmd.target_system, 2);
         }},
        {"PELORA_ACK", kPeloraAck,
         [](mavlink_message_t* m) {
             const mavlink_pelora_ack_t ack{{0, 1, 76, 180, 4, 1, 0}};
             return mavlink_msg_pelora_ack_pack(36, 0, 9, &ack, m);
         },
         [](const mavlink_message_t& m) {
             mavlink_pelora_ack_t ack{};
             ASSERT_EQ(mavlink_msg_pelora_ack_decode(&m, &ack), 0);
             EXPECT_EQ(ack, (mavlink_pelora_ack_t{{0, 1, 76, 180, 4, 1, 0}}));
         }},
        {"PELORA_PARAM_VALUE", kParamValue,
         [](mavlink_message_t* m) {
             const mavlink_pelora_param_value_t value{.value = 0.0f,
                                                      .count = 3,
                                                      .index = 0,
                                                      .name = "ModelName",
                                                      .text = "PL1",
                                                      .type = 11};
             return mavlink_msg_pelora_param_value_pack(36, 0, 200, &value, m);
         },
         [](const mavlink_message_t& m) {
             mavlink_pelora_param_value_t value{};
             ASSERT_EQ(mavlink_msg_pelora_param_value_decode(&m, &value), 0);
             EXPECT_STREQ(value.name, "ModelName");
             EXPECT_STREQ(value.text, "PL1");
             EXPECT_EQ(value.count, 3);
             EXPECT_EQ(value.type, 11);
         }},
    };
    for (const Golden& c : cases) {
        SCOPED_TRACE(c.name);
        const auto messages = parse_all(c.frame);
        ASSERT_EQ(messages.size(), 1u);
        const mavlink_message_t& received = messages[0];
        EXPECT_EQ(received.len + 8u, c.frame.size());
        EXPECT_EQ(received.seq, c.frame[2]);
        EXPECT_EQ(received.sysid, c.frame[3]);
        EXPECT_EQ(received.msgid, c.frame[5]);
        EXPECT_EQ(received.checksum, c.frame[c.frame.size() - 2] | (c.frame.back() << 8));
        c.check_decoded(received);
        // Relayed unchanged: the received record serialises to the same bytes.
        EXPECT_EQ(serialise(received), c.frame);

        mavlink_message_t packed;
        EXPECT_EQ(c.pack(&packed), static_cast<int>(c.frame.size()));
        EXPECT_EQ(serialise(packed), c.frame);
    }
}

TEST(MavlinkFrame, BadChecksumDroppedAndNextFrameAccepted) {
    struct Corruption {
        const char* name;
        size_t index;  // byte of the heartbeat frame to change
        uint8_t value;
    };
    const size_t last = kHeartbeat.size() - 1;
    const Corruption corruptions[] = {
        {"payload byte", 10, 0x55},
        {"message id", 5, 1},
        {"first checksum byte", last - 1, 0x00},
        {"second checksum byte", last, 0x00},
        // A bad frame whose last byte is a start byte: that byte begins the
        // next frame, so the next frame follows without its own start byte.
        {"second checksum byte is a start byte", last, MAVLINK_STX},
    };
    for (const Corruption& c : corruptions) {
        SCOPED_TRACE(c.name);
        Bytes bad = kHeartbeat;
        bad[c.index] = c.value;
        const Bytes next = c.value == MAVLINK_STX
                               ? Bytes(kCommandLong.begin() + 1, kCommandLong.end())
                               : kCommandLong;
        mavlink_status_t status{};
        std::vector<mavlink_message_t> messages;
        mavlink_parse_bytes(&status, concat({bad, next}), collect, &messages);
        ASSERT_EQ(messages.size(), 1u);
        EXPECT_EQ(messages[0].msgid, MAVLINK_MSG_ID_COMMAND_LONG);
        EXPECT_EQ(status.packet_rx_drop, 1u);
    }

    // An id outside the table has CRC extra 0; its frame is judged by that.
    mavlink_message_t unknown{};
    mavlink_finalize_message(&unknown, 36, 0, 1, 60, 0);
    EXPECT_EQ(parse_all(serialise(unknown)).size(), 1u);
}

TEST(MavlinkFrame, FramesSplitAcrossReadsAreAssembled) {
    const Bytes stream = concat({kHeartbeat, kCommandLong, kPeloraAck});
    const std::vector<FrameId> expected = ids_of(parse_all(stream));
    ASSERT_EQ(expected.size(), 3u);  // three frames in one read: all handed over
    for (size_t cut = 1; cut < stream.size(); ++cut) {
        mavlink_status_t status{};
        std::vector<mavlink_message_t> messages;
        mavlink_parse_bytes(&status, std::span(stream.data(), cut), collect, &messages);
        mavlink_parse_bytes(&status, std::span(stream.data() + cut, stream.size() - cut), collect,
                            &messages);
        ASSERT_EQ(ids_of(messages), expected) << "cut at " << cut;
    }
    // Byte by byte through the single-character entry.
    mavlink_status_t status{};
    std::vector<FrameId> single;
    for (const uint8_t c : stream) {
        mavlink_message_t out;
        if (mavlink_parse_char(&status, c, &out) == 1) single.push_back(id_of(out));
    }
    EXPECT_EQ(single, expected);
}

TEST(MavlinkFrame, NoisyStreamYieldsTheRecordedFrames) {
    const std::string dir = VBOARD_TESTDATA_DIR "/mavlink/";
    std::ifstream binary(dir + "noisy-v1.bin", std::ios::binary);
    ASSERT_TRUE(binary) << dir;
    const Bytes stream((std::istreambuf_iterator<char>(binary)), {});
    std::ifstream listing(dir + "noisy-v1.expected");
    std::vector<FrameId> expected;
    FrameId f{};
    while (listing >> f.seq >> f.sysid >> f.compid >> f.msgid >> f.len >> f.checksum)
        expected.push_back(f);
    ASSERT_EQ(expected.size(), 2759u);

    EXPECT_EQ(ids_of(parse_all(stream)), expected);

    for (const unsigned seed : {1u, 2u, 3u}) {
        std::mt19937 rng(seed);
        mavlink_status_t status{};
        std::vector<mavlink_message_t> messages;
        for (size_t at = 0; at < stream.size();) {
            const size_t chunk = std::min<size_t>(1 + rng() % 64, stream.size() - at);
            mavlink_parse_bytes(&status, std::span(stream.data() + at, chunk), collect, &messages);
            at += chunk;
        }
        EXPECT_EQ(ids_of(messages), expected) << "seed " << seed;
        EXPECT_EQ(status.packet_rx_success, expected.size());
    }
}

}  // namespace
