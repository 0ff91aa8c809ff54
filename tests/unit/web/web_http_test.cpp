#include "web/web_http.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace {

struct RangeCase {
    const char* header;
    uint64_t size;
    WebRangeResult result;
    uint64_t first;
    uint64_t last;
};

// clang-format off
const RangeCase kRanges[] = {
    {nullptr,              1000, WEB_RANGE_NONE,          0,   0},
    {"bytes=0-499",        1000, WEB_RANGE_PARTIAL,       0,   499},
    {"bytes=500-",         1000, WEB_RANGE_PARTIAL,       500, 999},
    {"bytes=-300",         1000, WEB_RANGE_PARTIAL,       700, 999},
    {"bytes=-5000",        1000, WEB_RANGE_PARTIAL,       0,   999},   // suffix longer than the file
    {"bytes=900-5000",     1000, WEB_RANGE_PARTIAL,       900, 999},   // end clipped to the file
    {"bytes=999-999",      1000, WEB_RANGE_PARTIAL,       999, 999},
    {"bytes=1000-",        1000, WEB_RANGE_UNSATISFIABLE, 0,   0},     // starts at the end
    {"bytes=-0",           1000, WEB_RANGE_UNSATISFIABLE, 0,   0},
    {"bytes=0-",           0,    WEB_RANGE_UNSATISFIABLE, 0,   0},     // empty file
    {"bytes=500-100",      1000, WEB_RANGE_NONE,          0,   0},     // reversed: ignored
    {"bytes=0-1,5-9",      1000, WEB_RANGE_NONE,          0,   0},     // several: the whole file
    {"items=0-1",          1000, WEB_RANGE_NONE,          0,   0},
    {"bytes=abc",          1000, WEB_RANGE_NONE,          0,   0},
    {"bytes=99999999999999999999-", 1000, WEB_RANGE_NONE, 0,   0},     // beyond 64 bits
    // Past 4 GiB: offsets are 64-bit on the 32-bit board too.
    {"bytes=5000000000-",  6000000000ULL, WEB_RANGE_PARTIAL, 5000000000ULL, 5999999999ULL},
};
// clang-format on

TEST(WebHttp, RangeTable) {
    for (const RangeCase& c : kRanges) {
        WebByteRange r{0, 0};
        SCOPED_TRACE(c.header != nullptr ? c.header : "(none)");
        ASSERT_EQ(web_parse_range(c.header, c.size, &r), c.result);
        if (c.result == WEB_RANGE_PARTIAL) {
            EXPECT_EQ(r.first, c.first);
            EXPECT_EQ(r.last, c.last);
        }
    }
}

TEST(WebHttp, EtagChangesWithSizeAndTime) {
    const std::string a = web_etag(1000, 1700000000);
    EXPECT_EQ(a.front(), '"');
    EXPECT_EQ(a.back(), '"');
    EXPECT_EQ(a, web_etag(1000, 1700000000));
    EXPECT_NE(a, web_etag(1001, 1700000000));  // a recording that grew
    EXPECT_NE(a, web_etag(1000, 1700000001));  // a file rewritten
}

struct OriginCase {
    const char* origin;
    const char* host;
    bool allowed;
};

// clang-format off
const OriginCase kOrigins[] = {
    {nullptr,                       "192.168.31.1",      true},   // curl, tools
    {"",                            "192.168.31.1",      true},
    {"http://192.168.31.1",         "192.168.31.1",      true},   // the board's own page
    {"http://127.0.0.1:8080",       "127.0.0.1:8080",    true},
    {"http://evil.example",         "192.168.31.1",      false},
    {"http://127.0.0.1:9999",       "127.0.0.1:8080",    false},  // another port is another site
    {"http://192.168.31.1.evil.example", "192.168.31.1", false},
    {"null",                        "192.168.31.1",      false},
    {"http://192.168.31.1",         nullptr,             false},
};
// clang-format on

TEST(WebHttp, OriginTable) {
    for (const OriginCase& c : kOrigins) {
        SCOPED_TRACE(c.origin != nullptr ? c.origin : "(none)");
        EXPECT_EQ(web_origin_allowed(c.origin, c.host), c.allowed);
    }
}

TEST(WebHttp, JsonEscape) {
    std::string out;
    web_json_escape("a\"b\\c\n\x01", &out);
    EXPECT_EQ(out, "a\\\"b\\\\c\\u000a\\u0001");
}

}  // namespace
