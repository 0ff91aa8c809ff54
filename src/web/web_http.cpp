#include "web/web_http.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>

namespace {

// Parses a run of decimal digits at *p into *value, moving *p past them.
// False when there is no digit or the number does not fit in 64 bits.
bool parse_number(const char** p, uint64_t* value) {
    const char* s = *p;
    if (*s < '0' || *s > '9') return false;
    uint64_t v = 0;
    for (; *s >= '0' && *s <= '9'; ++s) {
        const auto digit = static_cast<uint64_t>(*s - '0');
        if (v > (UINT64_MAX - digit) / 10) return false;
        v = v * 10 + digit;
    }
    *value = v;
    *p = s;
    return true;
}

}  // namespace

WebRangeResult web_parse_range(const char* header, uint64_t size, WebByteRange* range) {
    if (header == nullptr || range == nullptr) return WEB_RANGE_NONE;
    constexpr char kUnit[] = "bytes=";
    if (strncmp(header, kUnit, sizeof kUnit - 1) != 0) return WEB_RANGE_NONE;
    const char* p = header + sizeof kUnit - 1;
    uint64_t first = 0;
    uint64_t last = 0;
    if (*p == '-') {
        // A suffix: the last N bytes.
        ++p;
        uint64_t suffix = 0;
        if (!parse_number(&p, &suffix) || *p != '\0') return WEB_RANGE_NONE;
        if (suffix == 0 || size == 0) return WEB_RANGE_UNSATISFIABLE;
        first = suffix >= size ? 0 : size - suffix;
        last = size - 1;
    } else {
        if (!parse_number(&p, &first) || *p != '-') return WEB_RANGE_NONE;
        ++p;
        if (*p == '\0') {
            last = size == 0 ? 0 : size - 1;
        } else {
            if (!parse_number(&p, &last) || *p != '\0' || last < first) return WEB_RANGE_NONE;
            if (size > 0 && last >= size) last = size - 1;
        }
        if (first >= size) return WEB_RANGE_UNSATISFIABLE;
    }
    range->first = first;
    range->last = last;
    return WEB_RANGE_PARTIAL;
}

std::string web_etag(uint64_t size, int64_t mtimeSeconds) {
    char tag[48];
    snprintf(tag, sizeof tag, "\"%" PRIx64 "-%" PRIx64 "\"", size,
             static_cast<uint64_t>(mtimeSeconds));
    return tag;
}

bool web_origin_allowed(const char* origin, const char* host) {
    if (origin == nullptr || origin[0] == '\0') return true;
    if (host == nullptr || host[0] == '\0') return false;
    const char* rest = nullptr;
    if (strncmp(origin, "http://", 7) == 0) {
        rest = origin + 7;
    } else if (strncmp(origin, "https://", 8) == 0) {
        rest = origin + 8;
    } else {
        return false;  // "null" (a file or sandboxed page) and anything else
    }
    return strcmp(rest, host) == 0;
}

void web_json_escape(const char* text, std::string* out) {
    if (text == nullptr || out == nullptr) return;
    for (const char* p = text; *p != '\0'; ++p) {
        const auto c = static_cast<unsigned char>(*p);
        if (c == '"' || c == '\\') {
            out->push_back('\\');
            out->push_back(static_cast<char>(c));
        } else if (c < 0x20) {
            char esc[8];
            snprintf(esc, sizeof esc, "\\u%04x", c);
            out->append(esc);
        } else {
            out->push_back(static_cast<char>(c));
        }
    }
}
