// The small pieces of HTTP the web front end decides itself, kept free of the
// server library so that they can be tested alone: the byte range a download
// asks for, the entity tag of a media file, whether a request comes from the
// board's own page (its Origin), and JSON text escaping.
#pragma once

#include <cstdint>
#include <string>

// A request's byte range, resolved against the file size: bytes first..last
// (inclusive) of the file.
struct WebByteRange {
    uint64_t first;
    uint64_t last;
};

enum WebRangeResult : int {
    WEB_RANGE_NONE = 0,           // no Range header, or one this server ignores: send it all
    WEB_RANGE_PARTIAL = 1,        // one satisfiable range: 206 with *range
    WEB_RANGE_UNSATISFIABLE = 2,  // 416: the range starts past the end
};

// Reads a Range header value ("bytes=0-499", "bytes=500-", "bytes=-500").
// Several ranges, other units and malformed values are ignored (the whole
// file is sent, as HTTP allows). `header` may be null.
WebRangeResult web_parse_range(const char* header, uint64_t size, WebByteRange* range);

// The entity tag of a file of this size and modification time (a quoted
// string); a recording that grows or a file rewritten changes it.
std::string web_etag(uint64_t size, int64_t mtimeSeconds);

// Whether a request may change something: no Origin header (curl, the
// board's own tools) or an Origin naming the same host:port as the Host
// header. A browser on another web site sends that site's Origin.
bool web_origin_allowed(const char* origin, const char* host);

// Appends `text` to `out` as the inside of a JSON string (quotes, backslash
// and control characters escaped).
void web_json_escape(const char* text, std::string* out);
