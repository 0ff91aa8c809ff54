#include "fw/fw_wire.h"

#include <cstring>

#include "fs/fs_wire.h"

namespace {

void put_u16(std::vector<uint8_t>* out, uint16_t v) {
    out->push_back(static_cast<uint8_t>(v & 0xFF));
    out->push_back(static_cast<uint8_t>(v >> 8));
}

void put_u32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v & 0xFF);
    p[1] = static_cast<uint8_t>((v >> 8) & 0xFF);
    p[2] = static_cast<uint8_t>((v >> 16) & 0xFF);
    p[3] = static_cast<uint8_t>(v >> 24);
}

uint32_t get_u32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

bool name_char_allowed(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
           c == '_' || c == '-' || c == '+';
}

}  // namespace

FwParseResult fw_upload_parse_byte(FwUploadParser* p, uint8_t byte) {
    switch (p->state) {
        case FwUploadParser::IDLE:
            p->matched = 0;
            p->type = 0;
            p->len = 0;
            p->got = 0;
            p->state = FwUploadParser::MAGIC;
            [[fallthrough]];
        case FwUploadParser::MAGIC:
            if (byte != FW_UPLOAD_MAGIC[p->matched]) {
                // The mismatching byte is not tried as a new start.
                p->state = FwUploadParser::IDLE;
                return FW_PARSE_MORE;
            }
            if (++p->matched == sizeof FW_UPLOAD_MAGIC) {
                p->state = FwUploadParser::TYPE;
                p->matched = 0;
            }
            return FW_PARSE_MORE;
        case FwUploadParser::TYPE:
            p->type = byte;
            p->state = FwUploadParser::LENGTH;
            return FW_PARSE_MORE;
        case FwUploadParser::LENGTH:
            p->len = static_cast<uint16_t>(p->len | (byte << (8 * p->matched)));
            if (++p->matched < 2) return FW_PARSE_MORE;
            p->matched = 0;
            if (p->len > FW_UPLOAD_PAYLOAD_MAX) {
                p->state = FwUploadParser::IDLE;
                return FW_PARSE_BAD_LENGTH;
            }
            p->state = p->len == 0 ? FwUploadParser::CKSUM : FwUploadParser::PAYLOAD;
            return FW_PARSE_MORE;
        case FwUploadParser::PAYLOAD:
            p->payload[p->got++] = byte;
            if (p->got == p->len) p->state = FwUploadParser::CKSUM;
            return FW_PARSE_MORE;
        case FwUploadParser::CKSUM: {
            p->cksum[p->matched++] = byte;
            if (p->matched < 2) return FW_PARSE_MORE;
            p->state = FwUploadParser::IDLE;
            p->matched = 0;
            p->cksum_calc = udp_gen_cksum(p->payload, p->len);
            const bool ok =
                (p->cksum_calc & 0xFF) == p->cksum[0] && (p->cksum_calc >> 8) == p->cksum[1];
            return ok ? FW_PARSE_FRAME : FW_PARSE_BAD_CKSUM;
        }
    }
    p->state = FwUploadParser::IDLE;
    return FW_PARSE_MORE;
}

int fw_upload_frame_append(uint8_t type, const uint8_t* payload, size_t len,
                           std::vector<uint8_t>* out) {
    if (out == nullptr || len > FW_UPLOAD_PAYLOAD_MAX || (len > 0 && payload == nullptr)) return -1;
    out->insert(out->end(), FW_UPLOAD_MAGIC, FW_UPLOAD_MAGIC + sizeof FW_UPLOAD_MAGIC);
    out->push_back(type);
    put_u16(out, static_cast<uint16_t>(len));
    out->insert(out->end(), payload, payload + len);
    put_u16(out, udp_gen_cksum(payload, len));
    return 0;
}

int fw_upload_data_frame_append(uint8_t fileId, uint32_t index, const uint8_t* data, size_t len,
                                std::vector<uint8_t>* out) {
    if (len > FW_UPLOAD_PKG_SIZE || (len > 0 && data == nullptr)) return -1;
    uint8_t payload[FW_UPLOAD_PAYLOAD_MAX];
    payload[0] = fileId;
    put_u32(payload + 1, index);
    if (len > 0) memcpy(payload + FW_UPLOAD_DATA_HEADER_LEN, data, len);
    return fw_upload_frame_append(FW_UPLOAD_TYPE_DATA, payload, FW_UPLOAD_DATA_HEADER_LEN + len,
                                  out);
}

int fw_announce_encode(const FwFileAnnounce& a, uint8_t* out, size_t size) {
    const size_t n = FW_ANNOUNCE_HEADER_LEN + a.name.size();
    if (out == nullptr || a.name.size() > 255 || n > size) return -1;
    out[0] = a.sys;
    put_u32(out + 1, a.value);
    put_u32(out + 5, a.packages);
    out[9] = static_cast<uint8_t>(a.name.size());
    memcpy(out + FW_ANNOUNCE_HEADER_LEN, a.name.data(), a.name.size());
    return static_cast<int>(n);
}

int fw_announce_decode(const uint8_t* payload, size_t len, FwFileAnnounce* a) {
    if (payload == nullptr || a == nullptr || len < FW_ANNOUNCE_HEADER_LEN) return -1;
    const size_t nameLen = payload[9];
    if (FW_ANNOUNCE_HEADER_LEN + nameLen > len) return -1;
    a->sys = payload[0];
    a->value = get_u32(payload + 1);
    a->packages = get_u32(payload + 5);
    a->name.assign(reinterpret_cast<const char*>(payload + FW_ANNOUNCE_HEADER_LEN), nameLen);
    return 0;
}

const char* fw_name_refusal(std::string_view name) {
    if (name.empty()) return "empty name";
    if (name.size() > FW_NAME_MAX) return "name longer than 255 bytes";
    if (name == ".") return "name is \".\"";
    if (name.find("..") != std::string_view::npos) return "name contains \"..\"";
    for (char c : name) {
        if (c == '/') return "name contains '/'";
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
            return "name contains a control character";
        if (!name_char_allowed(c))
            return "name contains a character other than A-Z a-z 0-9 . _ - +";
    }
    return "";
}

const char* fw_version_refusal(const uint8_t* bytes, size_t len, std::string* out) {
    if (bytes == nullptr || out == nullptr) return "no text";
    if (len > FW_VERSION_MAX) len = FW_VERSION_MAX;
    const void* nul = memchr(bytes, 0, len);
    if (nul != nullptr) len = static_cast<size_t>(static_cast<const uint8_t*>(nul) - bytes);
    if (len == 0) return "empty version text";
    for (size_t i = 0; i < len; ++i) {
        if (bytes[i] < 0x20 || bytes[i] > 0x7e)
            return "version text has a character that is not printable";
        // The configuration file quotes values with '"' and cannot hold one.
        if (bytes[i] == '"') return "version text contains '\"'";
    }
    out->assign(reinterpret_cast<const char*>(bytes), len);
    return "";
}
