// Golden bytes of the transport and the file service: checksum, frame
// layout, acknowledgement scan, the retransmission-timeout estimator, list
// entries and list batching.
#include "fs/fs_wire.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::vector<uint8_t> bytes(const std::string& s) {
    return std::vector<uint8_t>(s.begin(), s.end());
}

TEST(FsWire, ChecksumOfAbcIs3B9DOnTheWire) {
    EXPECT_EQ(udp_gen_cksum("abc", 3), 0x9D3B);
    // Even length, and the carry folded back in.
    const uint8_t ff[4] = {0xFF, 0xFF, 0xFF, 0xFF};
    EXPECT_EQ(udp_gen_cksum(ff, 4), 0x0000);
}

// The word-wise sum against the plain 16-bit definition, every length and
// alignment of a pseudo-random buffer.
TEST(FsWire, ChecksumEqualsThePlainSixteenBitSum) {
    std::vector<uint8_t> data(300);
    uint32_t x = 12345;
    for (uint8_t& b : data) b = static_cast<uint8_t>((x = x * 1103515245 + 12345) >> 16);
    for (size_t start = 0; start < 4; ++start) {
        for (size_t len = 0; len + start <= data.size(); ++len) {
            uint32_t sum = 0;
            size_t i = 0;
            for (; i + 1 < len; i += 2) sum += data[start + i] | (data[start + i + 1] << 8);
            if (i < len) sum += data[start + i];
            sum = (sum & 0xFFFF) + (sum >> 16);
            sum = (sum & 0xFFFF) + (sum >> 16);
            ASSERT_EQ(udp_gen_cksum(data.data() + start, len), static_cast<uint16_t>(~sum))
                << start << " " << len;
        }
    }
}

TEST(FsWire, FrameLayout) {
    const auto payload = bytes("abc");
    std::vector<uint8_t> frame(19);
    ASSERT_EQ(udp_build_frame(frame, 0x01020304, payload), 19u);
    const std::vector<uint8_t> golden = {0x43, 0x30, 0x58, 0x46, 0x04, 0x03, 0x02, 0x01, 0x03, 0x00,
                                         0x3B, 0x9D, 'a',  'b',  'c',  0x46, 0x58, 0x30, 0x43};
    EXPECT_EQ(frame, golden);

    UdpFrame parsed{};
    ASSERT_EQ(udp_parse_frame(frame, &parsed), UDP_FRAME_OK);
    EXPECT_EQ(parsed.stamp, 0x01020304u);
    EXPECT_EQ(std::string(parsed.payload.begin(), parsed.payload.end()), "abc");

    struct Case {
        const char* what;
        size_t index;  // byte changed, or the length cut to
        bool cut;
        int expect;
    };
    const Case cases[] = {
        {"wrong magic", 0, false, UDP_FRAME_MALFORMED},
        {"wrong trailer", 18, false, UDP_FRAME_MALFORMED},
        {"length field larger than the datagram", 8, false, UDP_FRAME_MALFORMED},
        {"payload byte changed", 13, false, UDP_FRAME_BAD_CKSUM},
        {"truncated", 17, true, UDP_FRAME_MALFORMED},
        {"header only", 12, true, UDP_FRAME_MALFORMED},
    };
    for (const Case& c : cases) {
        std::vector<uint8_t> f = frame;
        if (c.cut) {
            f.resize(c.index);
        } else {
            f[c.index] ^= 0x5A;
        }
        EXPECT_EQ(udp_parse_frame(f, &parsed), c.expect) << c.what;
    }
    // Empty and oversized payloads are not framed.
    EXPECT_EQ(udp_build_frame(frame, 1, {}), 0u);
    std::vector<uint8_t> big(UDP_MAX_PAYLOAD + 1);
    std::vector<uint8_t> out(big.size() + 16);
    EXPECT_EQ(udp_build_frame(out, 1, big), 0u);
}

TEST(FsWire, AcknowledgementScan) {
    uint8_t rec[6];
    rtt_build_ack(0xA1B2C3D4, rec);
    EXPECT_EQ(std::vector<uint8_t>(rec, rec + 6),
              (std::vector<uint8_t>{'F', 'F', 0xD4, 0xC3, 0xB2, 0xA1}));
    struct Case {
        const char* what;
        std::vector<uint8_t> data;
        int records;
        uint32_t last;
    };
    const Case cases[] = {
        {"one stray byte, then a record", {0x00, 'F', 'F', 1, 0, 0, 0}, 1, 1},
        {"FF with three bytes only", {'F', 'F', 1, 2, 3}, 0, 0},
        {"stray bytes between records; the last counts",
         {'x', 'F', 'F', 1, 0, 0, 0, 'F', 'y', 'F', 'F', 2, 0, 0, 0},
         2,
         2},
        {"a single F before a record", {'F', 'F', 'F', 9, 0, 0, 0}, 1, 0x00000946},
        {"nothing", {}, 0, 0},
    };
    for (const Case& c : cases) {
        uint32_t last = 0;
        EXPECT_EQ(rtt_ack_scan(c.data, &last), c.records) << c.what;
        EXPECT_EQ(last, c.last) << c.what;
    }
}

TEST(FsWire, EstimatorAfterTenMillisecondRoundTrip) {
    RttEstimator est{};
    rtt_estimator_init(&est);
    EXPECT_EQ(est.rto, 200000);
    EXPECT_FLOAT_EQ(est.rttvar, 0.75f);
    rtt_estimator_update(&est, 10000);
    EXPECT_FLOAT_EQ(est.srtt, 1250.0f);
    EXPECT_FLOAT_EQ(est.rttvar, 2500.5625f);
    EXPECT_EQ(est.rto, 11252);
    EXPECT_EQ(rtt_estimator_timeout(&est), 1);
    EXPECT_EQ(est.rto, 22504);
}

TEST(FsWire, EstimatorClampsAtBothEnds) {
    struct Case {
        int64_t in;
        int32_t out;
    };
    for (const Case c : {Case{0, 5000}, Case{4999, 5000}, Case{5000, 5000}, Case{123456, 123456},
                         Case{200000, 200000}, Case{200001, 200000}, Case{INT64_MAX, 200000}}) {
        EXPECT_EQ(rtt_minmax(c.in), c.out) << c.in;
    }
    RttEstimator est{};
    rtt_estimator_init(&est);
    for (int i = 0; i < 50; ++i) rtt_estimator_update(&est, 50);  // loopback: 50 us
    EXPECT_EQ(est.rto, 5000);
    rtt_estimator_init(&est);
    rtt_estimator_update(&est, 5000000);  // a 5 s round trip
    EXPECT_EQ(est.rto, 200000);
    EXPECT_EQ(rtt_estimator_timeout(&est), 1);
    EXPECT_EQ(est.rto, 200000);
}

TEST(FsWire, ListEntryCutsTheNameTo29Characters) {
    const std::string name40 = "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789.MP4";
    ASSERT_EQ(name40.size(), 40u);
    mavlink_message_t msg{};
    ASSERT_EQ(fs_pack_list_entry(9, FS_URI_VIDEO, 12, 7, name40.c_str(), &msg), 55 + 8);
    EXPECT_EQ(msg.sysid, 36);
    EXPECT_EQ(msg.compid, 100);
    EXPECT_EQ(msg.seq, 9);
    EXPECT_EQ(msg.msgid, 22);
    EXPECT_FLOAT_EQ(mavlink_get_f32(&msg, 0), 3.0f);
    EXPECT_EQ(mavlink_get_u16(&msg, 4), 12);
    EXPECT_EQ(mavlink_get_u16(&msg, 6), 7);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&msg.payload[8])), "VIDEO7");
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&msg.payload[24])), name40.substr(0, 29));
    EXPECT_EQ(msg.payload[24 + 29], 0);
    EXPECT_EQ(msg.payload[54], 11);

    ASSERT_GT(fs_pack_list_entry(0, FS_URI_PIC, 1, 1, "IMG_0001.jpg", &msg), 0);
    EXPECT_FLOAT_EQ(mavlink_get_f32(&msg, 0), 1.0f);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&msg.payload[8])), "PIC1");
}

TEST(FsWire, ListOf1000FilesInTwoFrames) {
    std::vector<std::string> names;
    for (int i = 0; i < 1000; ++i) names.push_back("IMG_" + std::to_string(i) + ".jpg");
    std::vector<std::vector<uint8_t>> batches;
    uint8_t seq = 0;
    const bool done = fs_list_pack(
        names.size(), [&](size_t i) { return names[i].c_str(); }, FS_URI_PIC, &seq,
        [] { return false; },
        [&](std::span<const uint8_t> b) {
            batches.emplace_back(b.begin(), b.end());
            return true;
        });
    ASSERT_TRUE(done);
    ASSERT_EQ(batches.size(), 2u);
    EXPECT_EQ(batches[0].size(), 926u * 64);
    EXPECT_EQ(batches[1].size(), 74u * 64);
    EXPECT_LE(batches[0].size(), FS_BUFFER_SIZE);
    // Each entry: tag 0, then a PARAM_VALUE frame; the last of the first
    // batch is PIC926, the first of the second PIC927.
    mavlink_status_t parser{};
    std::vector<mavlink_message_t> msgs;
    for (const auto& b : batches) {
        EXPECT_EQ(b[0], 0);
        mavlink_parse_bytes(
            &parser, b,
            [](const mavlink_message_t* m, void* ctx) {
                static_cast<std::vector<mavlink_message_t>*>(ctx)->push_back(*m);
            },
            &msgs);
    }
    ASSERT_EQ(msgs.size(), 1000u);
    mavlink_pelora_param_value_t pv{};
    mavlink_msg_pelora_param_value_decode(&msgs[925], &pv);
    EXPECT_STREQ(pv.name, "PIC926");
    EXPECT_EQ(pv.count, 1000);
    mavlink_msg_pelora_param_value_decode(&msgs[926], &pv);
    EXPECT_STREQ(pv.name, "PIC927");
    EXPECT_STREQ(pv.text, "IMG_926.jpg");
}

TEST(FsWire, AnswerTextAndStorageNumbers) {
    mavlink_message_t msg{};
    ASSERT_EQ(fs_pack_answer(3, "TRANSCOMPLETE:a.MP4", &msg), 254 + 8);
    EXPECT_EQ(msg.msgid, 110);
    EXPECT_EQ(msg.payload[0], 0);  // targets 0
    char text[300];
    ASSERT_EQ(fs_answer_text(&msg, text, sizeof text), 0);
    EXPECT_STREQ(text, "TRANSCOMPLETE:a.MP4");
    const std::string longText(400, 'x');
    fs_pack_answer(0, longText.c_str(), &msg);
    fs_answer_text(&msg, text, sizeof text);
    EXPECT_EQ(strlen(text), 249u);

    struct Case {
        std::string storage;
        int64_t value;
    };
    const Case cases[] = {
        {"1234", 1234}, {"-5", 0}, {"abc", 0},  {"", 0},
        {"12abc", 12},  {"+7", 7}, {" 42", 42}, {"99999999999999999999999", INT64_MAX}};
    for (const Case& c : cases) {
        uint8_t field[MAVLINK_RESOURCE_URI_LEN] = {};
        memcpy(field, c.storage.data(), c.storage.size());
        EXPECT_EQ(fs_storage_number(field), c.value) << c.storage;
    }
    uint8_t full[MAVLINK_RESOURCE_URI_LEN];
    memset(full, '7', sizeof full);  // no NUL at all
    EXPECT_EQ(fs_storage_number(full), INT64_MAX);
    char uri[MAVLINK_RESOURCE_URI_LEN + 1];
    fs_request_text(full, uri);
    EXPECT_EQ(strlen(uri), 120u);
}

}  // namespace

namespace {

// The byte-level example of docs/file-service.md.
TEST(FsWire, DocumentedExampleBytes) {
    mavlink_message_t msg{};
    ASSERT_GT(fs_pack_list_entry(0, FS_URI_VIDEO, 1, 1, "CLIP0001.MP4", &msg), 0);
    std::vector<uint8_t> entry(MAVLINK_MAX_PACKET_LEN);
    entry.resize(static_cast<size_t>(mavlink_msg_to_send_buffer(entry, &msg)));
    std::vector<uint8_t> golden = {0xFE, 0x37, 0x00, 0x24, 0x64, 0x16, 0x00, 0x00, 0x40, 0x40,
                                   0x01, 0x00, 0x01, 0x00, 'V',  'I',  'D',  'E',  'O',  '1'};
    golden.resize(30, 0);
    for (char c : std::string("CLIP0001.MP4")) golden.push_back(static_cast<uint8_t>(c));
    golden.resize(60, 0);
    golden.insert(golden.end(), {0x0B, 0x5E, 0x01});
    EXPECT_EQ(entry, golden);

    const std::vector<uint8_t> payload = {0x02, 'a', 'b', 'c'};
    std::vector<uint8_t> frame(20);
    ASSERT_EQ(udp_build_frame(frame, 0x12345678, payload), 20u);
    EXPECT_EQ(frame, (std::vector<uint8_t>{0x43, 0x30, 0x58, 0x46, 0x78, 0x56, 0x34, 0x12, 0x04, 0x00,
                                           0x9B, 0x3B, 0x02, 'a',  'b',  'c',  0x46, 0x58, 0x30, 0x43}));
}

}  // namespace
