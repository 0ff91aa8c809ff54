#include "mav/mavlink_frame.h"

#include <cstring>
#include <utility>

namespace {

// CRC extras of the message ids the system's links carry: the common messages
// and the system's own dialect. Every id not listed has 0.
constexpr std::pair<uint8_t, uint8_t> kCrcExtras[] = {
    {0, 50},    {1, 124},   {2, 137},   {4, 237},   {5, 217},   {6, 104},   {7, 119},   {11, 89},
    {20, 214},  {21, 159},  {22, 49},   {23, 244},  {24, 24},   {25, 23},   {26, 170},  {27, 144},
    {28, 67},   {29, 115},  {30, 39},   {31, 246},  {32, 185},  {33, 104},  {34, 237},  {35, 244},
    {36, 222},  {37, 212},  {38, 9},    {39, 254},  {40, 230},  {41, 28},   {42, 28},   {43, 132},
    {44, 221},  {45, 232},  {46, 11},   {47, 153},  {48, 41},   {49, 39},   {50, 78},   {51, 30},
    {52, 221},  {53, 221},  {54, 15},   {55, 3},    {56, 150},  {57, 229},  {58, 132},  {59, 24},
    {61, 153},  {62, 183},  {63, 51},   {64, 59},   {65, 118},  {66, 148},  {67, 21},   {69, 243},
    {70, 124},  {73, 38},   {74, 20},   {75, 158},  {76, 152},  {77, 143},  {81, 106},  {82, 49},
    {83, 22},   {84, 143},  {85, 140},  {86, 5},    {87, 150},  {89, 231},  {90, 183},  {91, 63},
    {92, 54},   {100, 175}, {101, 102}, {102, 158}, {103, 208}, {104, 56},  {105, 93},  {106, 138},
    {107, 108}, {108, 32},  {109, 185}, {110, 84},  {111, 34},  {112, 174}, {113, 124}, {114, 237},
    {115, 4},   {116, 76},  {117, 128}, {118, 56},  {119, 116}, {120, 134}, {121, 237}, {122, 203},
    {123, 250}, {124, 87},  {125, 203}, {126, 220}, {127, 25},  {128, 226}, {129, 46},  {130, 29},
    {131, 223}, {132, 85},  {133, 6},   {134, 229}, {135, 203}, {136, 1},   {137, 195}, {138, 109},
    {139, 168}, {140, 181}, {141, 148}, {142, 72},  {146, 103}, {147, 154}, {148, 178}, {149, 200},
    {241, 90},  {242, 104}, {243, 85},  {244, 95},  {248, 8},   {249, 204}, {250, 49},  {251, 170},
    {252, 44},  {253, 83},  {254, 46},
};

constexpr std::array<uint8_t, 256> make_crc_extra_table() {
    std::array<uint8_t, 256> table{};
    for (const auto& [id, extra] : kCrcExtras) table[id] = extra;
    return table;
}

constexpr std::array<uint8_t, 256> kCrcExtraTable = make_crc_extra_table();

// The accumulate step for every value of the low checksum byte xor the data
// byte, so that a payload run costs one lookup per byte.
constexpr std::array<uint16_t, 256> make_crc_step_table() {
    std::array<uint16_t, 256> table{};
    for (unsigned i = 0; i < 256; ++i)
        table[i] = mavlink_crc_accumulate(static_cast<uint8_t>(i), 0);
    return table;
}

constexpr std::array<uint16_t, 256> kCrcStep = make_crc_step_table();

// Slicing by four: kCrcSlice[k][i] is the checksum contribution of byte value
// i followed by k zero bytes. The checksum is linear, so four bytes b0..b3
// (with the running checksum folded into the first two) combine as
// T3[b0 ^ lo] ^ T2[b1 ^ hi] ^ T1[b2] ^ T0[b3]: one step per four bytes
// instead of four dependent ones.
constexpr std::array<std::array<uint16_t, 256>, 4> make_crc_slice_tables() {
    std::array<std::array<uint16_t, 256>, 4> t{};
    t[0] = make_crc_step_table();
    for (size_t k = 1; k < 4; ++k) {
        for (unsigned i = 0; i < 256; ++i) {
            const uint16_t prev = t[k - 1][i];
            t[k][i] = static_cast<uint16_t>((prev >> 8) ^ t[0][prev & 0xFF]);
        }
    }
    return t;
}

constexpr std::array<std::array<uint16_t, 256>, 4> kCrcSlice = make_crc_slice_tables();

// Accumulates a run of payload bytes.
uint16_t crc_run(uint16_t crc, const uint8_t* at, size_t n) {
    size_t i = 0;
    for (; i + 4 <= n; i += 4) {
        crc = static_cast<uint16_t>(kCrcSlice[3][(crc ^ at[i]) & 0xFF] ^
                                    kCrcSlice[2][((crc >> 8) ^ at[i + 1]) & 0xFF] ^
                                    kCrcSlice[1][at[i + 2]] ^ kCrcSlice[0][at[i + 3]]);
    }
    for (; i < n; ++i) crc = static_cast<uint16_t>((crc >> 8) ^ kCrcStep[(crc ^ at[i]) & 0xFF]);
    return crc;
}

// The checksum of the header bytes 1..5, before the payload.
uint16_t header_crc(uint8_t len, uint8_t seq, uint8_t sysid, uint8_t compid, uint8_t msgid) {
    uint16_t crc = MAVLINK_CRC_INIT;
    crc = mavlink_crc_accumulate(len, crc);
    crc = mavlink_crc_accumulate(seq, crc);
    crc = mavlink_crc_accumulate(sysid, crc);
    crc = mavlink_crc_accumulate(compid, crc);
    return mavlink_crc_accumulate(msgid, crc);
}

}  // namespace

uint16_t mavlink_crc_calculate(std::span<const uint8_t> bytes, uint16_t crc) {
    for (const uint8_t byte : bytes) crc = mavlink_crc_accumulate(byte, crc);
    return crc;
}

uint8_t mavlink_crc_extra(uint8_t msgid) {
    return kCrcExtraTable[msgid];
}

uint16_t mavlink_msg_compute_checksum(const mavlink_message_t* msg) {
    if (msg == nullptr) return 0;
    uint16_t crc = header_crc(msg->len, msg->seq, msg->sysid, msg->compid, msg->msgid);
    crc = mavlink_crc_calculate(std::span(msg->payload.data(), msg->len), crc);
    return mavlink_crc_accumulate(kCrcExtraTable[msg->msgid], crc);
}

int mavlink_finalize_message(mavlink_message_t* msg, uint8_t sysid, uint8_t compid, uint8_t seq,
                             uint8_t msgid, uint8_t len) {
    if (msg == nullptr) return -1;
    msg->magic = MAVLINK_STX;
    msg->len = len;
    msg->seq = seq;
    msg->sysid = sysid;
    msg->compid = compid;
    msg->msgid = msgid;
    msg->checksum = mavlink_msg_compute_checksum(msg);
    msg->payload[len] = static_cast<uint8_t>(msg->checksum & 0xFF);
    msg->payload[len + 1u] = static_cast<uint8_t>(msg->checksum >> 8);
    return 0;
}

int mavlink_msg_to_send_buffer(std::span<uint8_t> out, const mavlink_message_t* msg) {
    if (msg == nullptr) return -1;
    const size_t length = msg->len + MAVLINK_NUM_NON_PAYLOAD_BYTES;
    if (out.size() < length) return -1;
    out[0] = MAVLINK_STX;
    out[1] = msg->len;
    out[2] = msg->seq;
    out[3] = msg->sysid;
    out[4] = msg->compid;
    out[5] = msg->msgid;
    memcpy(&out[6], msg->payload.data(), msg->len);
    out[6 + msg->len] = static_cast<uint8_t>(msg->checksum & 0xFF);
    out[7 + msg->len] = static_cast<uint8_t>(msg->checksum >> 8);
    return static_cast<int>(length);
}

void mavlink_parser_reset(mavlink_status_t* status) {
    if (status == nullptr) return;
    memset(status, 0, sizeof *status);
    status->parse_state = MAVLINK_PARSE_STATE_IDLE;
}

int mavlink_parse_char(mavlink_status_t* status, uint8_t c, mavlink_message_t* out) {
    if (status == nullptr) return 0;
    mavlink_message_t& rx = status->rxmsg;
    switch (status->parse_state) {
        case MAVLINK_PARSE_STATE_IDLE:
            if (c == MAVLINK_STX) {
                rx.magic = c;
                rx.len = 0;
                rx.checksum = MAVLINK_CRC_INIT;
                status->parse_state = MAVLINK_PARSE_STATE_GOT_STX;
            }
            return 0;
        case MAVLINK_PARSE_STATE_GOT_STX:
            rx.len = c;
            status->packet_idx = 0;
            rx.checksum = mavlink_crc_accumulate(c, rx.checksum);
            status->parse_state = MAVLINK_PARSE_STATE_GOT_LENGTH;
            return 0;
        case MAVLINK_PARSE_STATE_GOT_LENGTH:
            rx.seq = c;
            rx.checksum = mavlink_crc_accumulate(c, rx.checksum);
            status->parse_state = MAVLINK_PARSE_STATE_GOT_SEQ;
            return 0;
        case MAVLINK_PARSE_STATE_GOT_SEQ:
            rx.sysid = c;
            rx.checksum = mavlink_crc_accumulate(c, rx.checksum);
            status->parse_state = MAVLINK_PARSE_STATE_GOT_SYSID;
            return 0;
        case MAVLINK_PARSE_STATE_GOT_SYSID:
            rx.compid = c;
            rx.checksum = mavlink_crc_accumulate(c, rx.checksum);
            status->parse_state = MAVLINK_PARSE_STATE_GOT_COMPID;
            return 0;
        case MAVLINK_PARSE_STATE_GOT_COMPID:
            rx.msgid = c;
            rx.checksum = mavlink_crc_accumulate(c, rx.checksum);
            status->parse_state =
                rx.len == 0 ? MAVLINK_PARSE_STATE_GOT_PAYLOAD : MAVLINK_PARSE_STATE_GOT_MSGID;
            return 0;
        case MAVLINK_PARSE_STATE_GOT_MSGID:
            rx.payload[status->packet_idx++] = c;
            rx.checksum = mavlink_crc_accumulate(c, rx.checksum);
            if (status->packet_idx >= rx.len) status->parse_state = MAVLINK_PARSE_STATE_GOT_PAYLOAD;
            return 0;
        case MAVLINK_PARSE_STATE_GOT_PAYLOAD:
            rx.checksum = mavlink_crc_accumulate(kCrcExtraTable[rx.msgid], rx.checksum);
            rx.payload[rx.len] = c;
            status->parse_state = c == (rx.checksum & 0xFF) ? MAVLINK_PARSE_STATE_GOT_CRC1
                                                            : MAVLINK_PARSE_STATE_GOT_BAD_CRC1;
            return 0;
        case MAVLINK_PARSE_STATE_GOT_CRC1:
        case MAVLINK_PARSE_STATE_GOT_BAD_CRC1:
            rx.payload[rx.len + 1u] = c;
            if (status->parse_state == MAVLINK_PARSE_STATE_GOT_BAD_CRC1 ||
                c != (rx.checksum >> 8)) {
                ++status->packet_rx_drop;
                // The second checksum byte is consumed either way; a start byte
                // there begins the next frame.
                if (c == MAVLINK_STX) {
                    rx.magic = c;
                    rx.len = 0;
                    rx.checksum = MAVLINK_CRC_INIT;
                    status->parse_state = MAVLINK_PARSE_STATE_GOT_STX;
                } else {
                    status->parse_state = MAVLINK_PARSE_STATE_IDLE;
                }
                return 0;
            }
            ++status->packet_rx_success;
            status->parse_state = MAVLINK_PARSE_STATE_IDLE;
            if (out != nullptr) *out = rx;
            return 1;
    }
    // A corrupted state word: start over.
    status->parse_state = MAVLINK_PARSE_STATE_IDLE;
    return 0;
}

int mavlink_parse_bytes(mavlink_status_t* status, std::span<const uint8_t> bytes,
                        mavlink_message_handler handler, void* context) {
    if (status == nullptr) return 0;
    int frames = 0;
    const uint8_t* at = bytes.data();
    const uint8_t* const end = at + bytes.size();
    mavlink_message_t& rx = status->rxmsg;
    while (at < end) {
        // Two states take runs of bytes at once; the results are those of
        // feeding the same bytes one by one.
        if (status->parse_state == MAVLINK_PARSE_STATE_IDLE) {
            const void* start = memchr(at, MAVLINK_STX, static_cast<size_t>(end - at));
            if (start == nullptr) break;
            at = static_cast<const uint8_t*>(start);
        } else if (status->parse_state == MAVLINK_PARSE_STATE_GOT_MSGID) {
            const size_t wanted = rx.len > status->packet_idx ? rx.len - status->packet_idx : 0;
            const size_t run =
                wanted < static_cast<size_t>(end - at) ? wanted : static_cast<size_t>(end - at);
            memcpy(&rx.payload[status->packet_idx], at, run);
            rx.checksum = crc_run(rx.checksum, at, run);
            status->packet_idx = static_cast<uint8_t>(status->packet_idx + run);
            if (status->packet_idx >= rx.len) status->parse_state = MAVLINK_PARSE_STATE_GOT_PAYLOAD;
            at += run;
            continue;
        }
        if (mavlink_parse_char(status, *at++, nullptr) == 1) {
            ++frames;
            if (handler != nullptr) handler(&rx, context);
        }
    }
    return frames;
}
