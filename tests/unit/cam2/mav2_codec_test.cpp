#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "cam2/mav2_frame.h"
#include "cam2/mav2_message.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes from_hex(const std::string& hex) {
    Bytes out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return out;
}

Bytes frame_of(const Mav2Message& m, uint8_t seq, uint8_t sys = 1, uint8_t comp = 100) {
    Bytes out(MAV2_MAX_FRAME);
    out.resize(mav2_frame_write(out, m, seq, sys, comp));
    return out;
}

std::vector<Mav2Frame> parse(const Bytes& stream) {
    Mav2Parser parser;
    std::vector<Mav2Frame> frames;
    Mav2Frame f;
    for (const uint8_t c : stream)
        if (parser.feed(c, &f)) frames.push_back(f);
    return frames;
}

// The table's field lists give each message's published CRC extra and length,
// so a field of the wrong type, size, order or name shows here.
TEST(Mav2Table, FieldListsMatchThePublishedCrcExtrasAndLengths) {
    const std::pair<const char*, size_t> lengths[] = {
        {"HEARTBEAT", 9},
        {"GLOBAL_POSITION_INT", 28},
        {"COMMAND_LONG", 33},
        {"COMMAND_ACK", 10},
        {"CAMERA_INFORMATION", 237},
        {"CAMERA_SETTINGS", 14},
        {"STORAGE_INFORMATION", 61},
        {"CAMERA_CAPTURE_STATUS", 23},
        {"CAMERA_IMAGE_CAPTURED", 255},
        {"VIDEO_STREAM_INFORMATION", 215},
        {"VIDEO_STREAM_STATUS", 20},
    };
    ASSERT_EQ(mav2_messages().size(), std::size(lengths));
    for (const auto& [name, length] : lengths) {
        const Mav2MessageDef* def = mav2_find_message(name);
        ASSERT_NE(def, nullptr) << name;
        EXPECT_EQ(mav2_compute_crc_extra(*def), def->crc_extra) << name;
        EXPECT_EQ(mav2_payload_size(*def), length) << name;
        EXPECT_EQ(mav2_find_message(def->id), def) << name;
    }
}

// Frames packed by an independent implementation (node-mavlink), byte for
// byte: trailing zeros cut, extensions in place, 64-bit and array fields.
TEST(Mav2Frame, WritesTheBytesOfAnIndependentPacker) {
    Mav2Message hb(0);
    hb.set_int("type", 30);
    hb.set_int("autopilot", 8);
    hb.set_int("system_status", 4);
    hb.set_int("mavlink_version", 3);

    Mav2Message ack(77);
    ack.set_int("command", 2000);
    ack.set_int("target_system", 255);
    ack.set_int("target_component", 190);

    Mav2Message settings(260);
    settings.set_int("time_boot_ms", 123456);
    settings.set_int("mode_id", 1);
    settings.set("zoomLevel", 2.5);

    Mav2Message captured(263);
    captured.set_int("time_utc", 1765432100123456);
    captured.set_int("time_boot_ms", 5000);
    captured.set_int("lat", 481234567);
    captured.set_int("lon", -1234567);
    captured.set_int("alt", 123000);
    captured.set_int("relative_alt", 30000);
    captured.set("q", 1.0, 0);
    captured.set_int("image_index", 3);
    captured.set_int("capture_result", 1);
    captured.set_text("file_url", "PIC/x.JPG");

    const struct {
        const Mav2Message& msg;
        uint8_t seq;
        const char* hex;
    } cases[] = {
        {hb, 7, "fd090000070164000000000000001e08000403223a"},
        {ack, 8, "fd0a00000801644d0000d007000000000000ffbe3d40"},
        {settings, 9, "fd09000009016404010040e201000100002040a0d7"},
        {captured, 10,
         "fd3b00000a016407010040f333b1a645060088130000870eaf1c7929edff78e00100307500000000803f0000"
         "000000000000000000000300000000015049432f782e4a5047db0f"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(frame_of(c.msg, c.seq), from_hex(c.hex)) << c.msg.def()->name;
        // And back: the parser zero-fills what the sender cut.
        const std::vector<Mav2Frame> frames = parse(from_hex(c.hex));
        ASSERT_EQ(frames.size(), 1u) << c.msg.def()->name;
        const Mav2Message back = frames[0].message();
        EXPECT_TRUE(std::equal(back.payload().begin(), back.payload().end(),
                               c.msg.payload().begin(), c.msg.payload().end()))
            << c.msg.def()->name;
    }
    EXPECT_EQ(parse(from_hex(cases[3].hex))[0].message().get_text("file_url"), "PIC/x.JPG");
    EXPECT_EQ(parse(from_hex(cases[3].hex))[0].message().get_int("lon"), -1234567);
    EXPECT_EQ(parse(from_hex(cases[3].hex))[0].message().get_u64("time_utc"), 1765432100123456u);
}

TEST(Mav2Message, FieldAccessRefusesWhatTheFieldCannotHold) {
    Mav2Message m(262);
    EXPECT_FALSE(m.set_int("video_status", 256));
    EXPECT_FALSE(m.set_int("recording_time_ms", -1));
    EXPECT_FALSE(m.set_int("no_such_field", 1));
    EXPECT_FALSE(m.set("image_interval", 1.0, 1)) << "not an array";
    EXPECT_FALSE(m.set("recording_time_ms", NAN));
    EXPECT_TRUE(m.set("image_interval", 2.5));
    EXPECT_FLOAT_EQ(static_cast<float>(m.get("image_interval")), 2.5F);
    EXPECT_EQ(m.get_int("no_such_field"), 0);
    EXPECT_EQ(m.wire_length(), 8u) << "zeros after the interval cut";
    EXPECT_FALSE(Mav2Message(12345).valid());
    Mav2Message uri(269);
    EXPECT_TRUE(uri.set_text("uri", std::string(300, 'u')));
    EXPECT_EQ(uri.get_text("uri").size(), 160u) << "cut to the array";
}

// Signed frames and frames with other incompatibility flags are dropped at the
// flags byte; MAVLink 1 frames start nothing; a frame for another id than the
// table's fails its checksum.
TEST(Mav2Parser, TakesOnlyUnsignedMavlink2FramesOfTheTable) {
    Mav2Message hb(0);
    hb.set_int("type", 30);
    const Bytes good = frame_of(hb, 1);
    Bytes signed_frame = good;
    signed_frame[2] = 0x01;
    Bytes unknown = good;
    unknown[7] = 0xEE;  // an id outside the table; checksum now wrong
    Bytes v1 = {0xFE, 9, 1, 1, 1, 0, 0, 0, 0, 0, 30, 8, 0, 4, 3, 0x12, 0x34};
    Bytes stream;
    for (const Bytes* part : std::initializer_list<const Bytes*>{&signed_frame, &v1, &unknown, &good})
        stream.insert(stream.end(), part->begin(), part->end());
    Mav2Parser parser;
    std::vector<Mav2Frame> frames;
    Mav2Frame f;
    for (const uint8_t c : stream)
        if (parser.feed(c, &f)) frames.push_back(f);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].seq, 1);
    EXPECT_EQ(parser.dropped(), 2u);
}

struct FrameId {
    unsigned seq, sysid, compid, msgid, len, checksum;
    bool operator==(const FrameId&) const = default;
};

std::vector<FrameId> ids_of(const std::vector<Mav2Frame>& frames) {
    std::vector<FrameId> ids;
    for (const Mav2Frame& f : frames)
        ids.push_back({f.seq, f.sysid, f.compid, f.msgid, f.len, f.checksum});
    return ids;
}

TEST(Mav2Parser, NoisyStreamYieldsTheRecordedFrames) {
    const std::string dir = VBOARD_TESTDATA_DIR "/mavlink/";
    std::ifstream binary(dir + "noisy-v2.bin", std::ios::binary);
    ASSERT_TRUE(binary) << dir;
    const Bytes stream((std::istreambuf_iterator<char>(binary)), {});
    std::ifstream listing(dir + "noisy-v2.expected");
    std::vector<FrameId> expected;
    FrameId f{};
    while (listing >> f.seq >> f.sysid >> f.compid >> f.msgid >> f.len >> f.checksum)
        expected.push_back(f);
    ASSERT_EQ(expected.size(), 2150u);

    EXPECT_EQ(ids_of(parse(stream)), expected);
}

}  // namespace
