#include "fs/fs_wire.h"

#include <bit>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

void put_u16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
void put_u32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
uint16_t get_u16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
uint32_t get_u32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

}  // namespace

uint16_t udp_gen_cksum(const void* data, size_t len) {
    const auto* p = static_cast<const uint8_t*>(data);
    // The one's-complement sum of 16-bit words may be taken over wider words
    // and folded at the end, and in either byte order, the result then being
    // byte-swapped (RFC 1071). Here: 64-bit words in the machine's own order,
    // each added as two 32-bit halves into four 64-bit sums (no carry is lost
    // below 2^32 words), eight bytes at a time without byte shuffling.
    uint64_t sums[4] = {0, 0, 0, 0};
    size_t i = 0;
    for (; i + 32 <= len; i += 32) {
        for (int k = 0; k < 4; ++k) {
            uint64_t w = 0;
            memcpy(&w, p + i + 8 * static_cast<size_t>(k), sizeof w);
            sums[k] += (w & 0xFFFFFFFFu) + (w >> 32);
        }
    }
    uint64_t sum = sums[0] + sums[1] + sums[2] + sums[3];
    for (; i + 8 <= len; i += 8) {
        uint64_t w = 0;
        memcpy(&w, p + i, sizeof w);
        sum += (w & 0xFFFFFFFFu) + (w >> 32);
    }
    // The rest, up to seven bytes, as a zero-padded word in the same order.
    if (i < len) {
        uint8_t tail[8] = {};
        memcpy(tail, p + i, len - i);
        uint64_t w = 0;
        memcpy(&w, tail, sizeof w);
        sum += (w & 0xFFFFFFFFu) + (w >> 32);
    }
    while ((sum >> 16) != 0) sum = (sum & 0xFFFF) + (sum >> 16);
    auto folded = static_cast<uint16_t>(sum);
    if constexpr (std::endian::native == std::endian::big) {
        folded = static_cast<uint16_t>((folded << 8) | (folded >> 8));
    }
    return static_cast<uint16_t>(~folded & 0xFFFF);
}

size_t udp_prepare_frame(uint8_t* frame, size_t len) {
    if (frame == nullptr || len < 1 || len > UDP_MAX_PAYLOAD) return 0;
    memcpy(frame, UDP_FRAME_MAGIC, 4);
    put_u16(frame + 8, static_cast<uint16_t>(len));
    put_u16(frame + 10, udp_gen_cksum(frame + UDP_FRAME_HEADER_LEN, len));
    memcpy(frame + UDP_FRAME_HEADER_LEN + len, UDP_FRAME_TRAILER, 4);
    return len + UDP_FRAME_OVERHEAD;
}

void udp_stamp_frame(uint8_t* frame, uint32_t stamp) {
    put_u32(frame + 4, stamp);
}

size_t udp_build_frame(std::span<uint8_t> out, uint32_t stamp, std::span<const uint8_t> payload) {
    const size_t n = payload.size();
    if (n < 1 || n > UDP_MAX_PAYLOAD || out.size() < n + UDP_FRAME_OVERHEAD) return 0;
    uint8_t* p = out.data();
    memcpy(p + UDP_FRAME_HEADER_LEN, payload.data(), n);
    udp_prepare_frame(p, n);
    udp_stamp_frame(p, stamp);
    return n + UDP_FRAME_OVERHEAD;
}

int udp_parse_frame(std::span<const uint8_t> datagram, UdpFrame* out) {
    if (out == nullptr || datagram.size() < UDP_FRAME_OVERHEAD + 1) return UDP_FRAME_MALFORMED;
    const uint8_t* p = datagram.data();
    const size_t n = get_u16(p + 8);
    if (memcmp(p, UDP_FRAME_MAGIC, 4) != 0 || n + UDP_FRAME_OVERHEAD != datagram.size() ||
        memcmp(p + UDP_FRAME_HEADER_LEN + n, UDP_FRAME_TRAILER, 4) != 0) {
        return UDP_FRAME_MALFORMED;
    }
    if (udp_gen_cksum(p + UDP_FRAME_HEADER_LEN, n) != get_u16(p + 10)) return UDP_FRAME_BAD_CKSUM;
    out->stamp = get_u32(p + 4);
    out->payload = datagram.subspan(UDP_FRAME_HEADER_LEN, n);
    return UDP_FRAME_OK;
}

void rtt_build_ack(uint32_t stamp, uint8_t out[RTT_ACK_RECORD_LEN]) {
    out[0] = 'F';
    out[1] = 'F';
    put_u32(out + 2, stamp);
}

int rtt_ack_scan(std::span<const uint8_t> bytes, uint32_t* last_stamp) {
    int records = 0;
    size_t i = 0;
    while (i < bytes.size()) {
        if (bytes[i] == 'F' && bytes.size() - i >= RTT_ACK_RECORD_LEN && bytes[i + 1] == 'F') {
            if (last_stamp != nullptr) *last_stamp = get_u32(bytes.data() + i + 2);
            ++records;
            i += RTT_ACK_RECORD_LEN;
        } else {
            ++i;
        }
    }
    return records;
}

void rtt_estimator_init(RttEstimator* est) {
    *est = RttEstimator{};
    est->rttvar = RTT_RTTVAR_INIT;
    est->rto = RTT_RTO_MAX;
}

int32_t rtt_minmax(int64_t rto) {
    if (rto > RTT_RTO_MAX) return RTT_RTO_MAX;
    if (rto < RTT_RTO_MIN) return RTT_RTO_MIN;
    return static_cast<int32_t>(rto);
}

void rtt_estimator_update(RttEstimator* est, int32_t rtt_us) {
    est->rtt = static_cast<float>(rtt_us);
    const float delta = est->rtt - est->srtt;
    est->srtt = static_cast<float>(static_cast<double>(est->srtt) + delta / 8.0);
    const auto magnitude = static_cast<float>(std::llabs(static_cast<long long>(delta)));
    est->rttvar = est->rttvar + (magnitude - est->rttvar) / 4;
    est->rto = rtt_minmax(static_cast<int64_t>(est->srtt + 4 * est->rttvar));
    est->retries = 0;
}

int32_t rtt_estimator_timeout(RttEstimator* est) {
    est->rto = rtt_minmax(static_cast<int64_t>(est->rto) * 2);
    return ++est->retries;
}

int fs_pack_list_entry(uint8_t seq, uint16_t uri_type, uint16_t count, uint16_t index,
                       const char* name, mavlink_message_t* msg) {
    if (name == nullptr || msg == nullptr) return -1;
    mavlink_pelora_param_value_t pv{};
    pv.value = static_cast<float>(uri_type);
    pv.count = count;
    pv.index = index;
    snprintf(pv.name, sizeof pv.name, "%s%u", uri_type == FS_URI_PIC ? "PIC" : "VIDEO",
             static_cast<unsigned>(index));
    snprintf(pv.text, sizeof pv.text, "%.29s", name);
    pv.type = MAVLINK_PARAM_TYPE_TEXT;
    return mavlink_msg_pelora_param_value_pack(FS_SYSID, FS_COMPID, seq, &pv, msg);
}

bool fs_list_pack(size_t count, const std::function<const char*(size_t)>& name_at,
                  uint16_t uri_type, uint8_t* seq, const std::function<bool()>& stop,
                  const std::function<bool(std::span<const uint8_t>)>& flush) {
    std::vector<uint8_t> batch;
    batch.reserve(FS_BUFFER_SIZE);
    const auto list_count = static_cast<uint16_t>(count > 0xFFFF ? 0xFFFF : count);
    for (size_t i = 0; i < count; ++i) {
        if (stop()) return false;
        mavlink_message_t msg{};
        if (fs_pack_list_entry((*seq)++, uri_type, list_count, static_cast<uint16_t>(i + 1),
                               name_at(i), &msg) < 0) {
            continue;
        }
        uint8_t entry[FS_LIST_ENTRY_LEN];
        entry[0] = FS_TAG_NOTIFY;
        const int len = mavlink_msg_to_send_buffer(std::span(entry + 1, sizeof entry - 1), &msg);
        if (len < 0) continue;
        if (batch.size() + 1 + static_cast<size_t>(len) > FS_BUFFER_SIZE) {
            if (!flush(batch)) return false;
            batch.clear();
        }
        batch.insert(batch.end(), entry, entry + 1 + len);
    }
    if (!batch.empty() && !flush(batch)) return false;
    return true;
}

int fs_pack_answer(uint8_t seq, const char* text, mavlink_message_t* msg) {
    if (text == nullptr || msg == nullptr) return -1;
    mavlink_file_transfer_protocol_t ftp{};
    snprintf(reinterpret_cast<char*>(ftp.payload), FS_ANSWER_TEXT_MAX + 1, "%s", text);
    return mavlink_msg_file_transfer_protocol_pack(FS_SYSID, FS_COMPID, seq, &ftp, msg);
}

int fs_answer_text(const mavlink_message_t* msg, char* text, size_t size) {
    mavlink_file_transfer_protocol_t ftp{};
    if (text == nullptr || size == 0 || mavlink_msg_file_transfer_protocol_decode(msg, &ftp) != 0) {
        return -1;
    }
    const size_t n = strnlen(reinterpret_cast<const char*>(ftp.payload), sizeof ftp.payload);
    const size_t copy = n < size - 1 ? n : size - 1;
    memcpy(text, ftp.payload, copy);
    text[copy] = '\0';
    return 0;
}

void fs_request_text(const uint8_t field[MAVLINK_RESOURCE_URI_LEN],
                     char out[MAVLINK_RESOURCE_URI_LEN + 1]) {
    memcpy(out, field, MAVLINK_RESOURCE_URI_LEN);
    out[MAVLINK_RESOURCE_URI_LEN] = '\0';
}

int64_t fs_storage_number(const uint8_t storage[MAVLINK_RESOURCE_URI_LEN]) {
    char text[MAVLINK_RESOURCE_URI_LEN + 1];
    fs_request_text(storage, text);
    const char* p = text;
    while (*p == ' ' || *p == '\t') ++p;
    if (*p == '-') return 0;
    if (*p == '+') ++p;
    int64_t value = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
        const int digit = *p - '0';
        if (value > (INT64_MAX - digit) / 10) return INT64_MAX;
        value = value * 10 + digit;
    }
    return value;
}
