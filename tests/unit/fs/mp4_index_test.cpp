// The MP4 index reader over files made by the recorder's writer: the sync
// sample found for a position, frames read back in start-code form, and a
// table of damaged files that must fail cleanly (or still play).
#include "mp4/mp4_index.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <functional>
#include <string>

#include "../../support/board_root_fixture.h"
#include "fs_media_fixture.h"

namespace {

using fs_fixture::Bytes;

constexpr int kW = 160;
constexpr int kH = 96;
constexpr size_t kFrames = 30;  // 30 fps: key frames at 0, 10 and 20

uint32_t get32(const Bytes& b, size_t at) {
    return static_cast<uint32_t>(b[at]) << 24 | static_cast<uint32_t>(b[at + 1]) << 16 |
           static_cast<uint32_t>(b[at + 2]) << 8 | b[at + 3];
}
void put32(Bytes& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (24 - 8 * i));
}

// The access units of the fixture and its MP4 bytes, made once.
struct Fixture {
    std::vector<Bytes> aus;
    Bytes mp4;
};
const Fixture& fixture() {
    static const Fixture f = [] {
        Fixture out;
        out.aus = fs_fixture::encode_h264(kW, kH, kFrames, [](AVFrame* pic, size_t i) {
            const auto shade = static_cast<uint8_t>(16 + 7 * i);
            fs_fixture::paint(pic, {shade, static_cast<uint8_t>(255 - shade), i % 10 == 0});
            return i % 10 == 0;
        });
        TempBoardRoot root({"/tmp"});
        const std::string path = root.path("/tmp/CLIP.MP4");
        if (out.aus.size() == kFrames &&
            fs_fixture::write_mp4(path, kW, kH, out.aus, 30000, 1000)) {
            out.mp4 = fs_fixture::read_bytes(path);
        }
        return out;
    }();
    return f;
}

// Offset of the size field of the first atom of `type` inside the movie
// header (which the writer puts last), or 0.
size_t find_atom(const Bytes& b, const char* type, size_t from = 0) {
    size_t moov = 0;
    for (size_t pos = 0; pos + 8 <= b.size() && get32(b, pos) >= 8;) {
        if (memcmp(&b[pos + 4], "moov", 4) == 0) moov = pos;
        pos += get32(b, pos);
    }
    for (size_t pos = std::max(moov, from) + 4; pos + 4 <= b.size(); ++pos) {
        if (memcmp(&b[pos], type, 4) == 0) return pos - 4;
    }
    return 0;
}

// The access unit without its parameter sets, as a sample reads back.
Bytes without_param_sets(const Bytes& au) {
    Bytes out;
    for (const Mp4WNal& nal : MP4W_SplitNals(au)) {
        if (nal.type == 7 || nal.type == 8) continue;
        out.insert(out.end(), {0, 0, 0, 1});
        out.insert(out.end(), nal.data, nal.data + nal.size);
    }
    return out;
}

// Rewrites the 32-bit chunk offsets as a co64 table, growing the atoms around
// it.
Bytes to_co64(Bytes b) {
    const size_t stco = find_atom(b, "stco");
    const uint32_t n = get32(b, stco + 12);
    if (stco == 0 || n > 100000) return b;
    Bytes co64(16 + 8 * static_cast<size_t>(n), 0);
    put32(co64, 0, static_cast<uint32_t>(co64.size()));
    memcpy(&co64[4], "co64", 4);
    put32(co64, 12, n);
    for (uint32_t i = 0; i < n; ++i) put32(co64, 16 + 8 * i + 4, get32(b, stco + 16 + 4 * i));
    const uint32_t grow = 4 * n;
    for (const char* parent : {"moov", "trak", "mdia", "minf", "stbl"}) {
        size_t at = 0;
        for (size_t p = find_atom(b, parent); p != 0 && p < stco; p = find_atom(b, parent, p + 1)) {
            at = p;
        }
        put32(b, at, get32(b, at) + grow);
    }
    b.erase(b.begin() + static_cast<ptrdiff_t>(stco),
            b.begin() + static_cast<ptrdiff_t>(stco + 16 + 4 * n));
    b.insert(b.begin() + static_cast<ptrdiff_t>(stco), co64.begin(), co64.end());
    return b;
}

// The index of a file in memory.
struct Opened {
    Bytes bytes;
    MovSource src{};
    MovHeader hdr;
    MdiaContext* ctx = nullptr;
    int header_rc = -1;
    int index_rc = -1;

    explicit Opened(Bytes b) : bytes(std::move(b)) {
        mov_source_memory(&bytes, &src);
        mdia_alloc_context(&ctx);
        header_rc = mov_get_header_atom(&src, &hdr);
        if (header_rc == 0) index_rc = mdia_build_index(&hdr, ctx);
    }
    ~Opened() { mdia_free_context(ctx); }
    Opened(const Opened&) = delete;
    Opened& operator=(const Opened&) = delete;

    // Every frame from the first, in start-code form; stops at a failure.
    std::vector<Bytes> frames(bool* failed) {
        std::vector<Bytes> out;
        *failed = false;
        MdiaCursor cur;
        if (mdia_cursor_seek(ctx, 0, &cur) != 0) {
            *failed = true;
            return out;
        }
        Bytes buf(MOV_FRAME_BUFFER_SIZE);
        for (;;) {
            const long n = mdat_read_frame(ctx, &src, &cur, buf.data(), buf.size());
            if (n < 0) {
                *failed = true;
                return out;
            }
            out.emplace_back(buf.begin(), buf.begin() + n);
            const int rc = mdia_cursor_next(ctx, &cur);
            if (rc == 0) return out;
            if (rc < 0) {
                *failed = true;
                return out;
            }
        }
    }
};

class Mp4IndexTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (fixture().mp4.empty()) GTEST_SKIP() << "libx264 not available";
    }
};

TEST_F(Mp4IndexTest, SyncSampleForPosition) {
    Opened f(fixture().mp4);
    ASSERT_EQ(f.index_rc, 0);
    EXPECT_EQ(f.ctx->time_scale, 30000u);
    EXPECT_EQ(f.ctx->sample_count, kFrames);
    EXPECT_EQ(f.ctx->width, kW);
    struct Case {
        uint32_t pos_ms;
        uint32_t sync;
    };
    // Frame k lasts from k * 33.3 ms; key frames are 0, 10 and 20.
    const Case cases[] = {
        {0, 0},     {1, 0},        {333, 0},          // sample 9, before key frame 10
        {334, 10},  {340, 10},                        // at key frame 10
        {400, 10},  {666, 10},                        // after it
        {667, 20},  {999, 20},                        // the last sample
        {1000, 20}, {3600000, 20}, {UINT32_MAX, 20},  // past the end
    };
    for (const Case& c : cases) {
        MdiaCursor cur;
        const int64_t offset = mdia_get_offset(c.pos_ms, f.ctx, &cur);
        ASSERT_GT(offset, 0) << c.pos_ms;
        EXPECT_EQ(cur.sample, c.sync) << c.pos_ms << " ms";
        EXPECT_EQ(static_cast<uint64_t>(offset), cur.offset);
        // The cursor found by position is the one reached by walking.
        MdiaCursor walk;
        ASSERT_EQ(mdia_cursor_seek(f.ctx, 0, &walk), 0);
        while (walk.sample < c.sync) ASSERT_EQ(mdia_cursor_next(f.ctx, &walk), 1);
        EXPECT_EQ(walk.offset, cur.offset) << c.pos_ms;
    }
}

TEST_F(Mp4IndexTest, FramesReadBackInStartCodeForm) {
    Opened f(fixture().mp4);
    ASSERT_EQ(f.index_rc, 0);
    bool failed = true;
    const std::vector<Bytes> frames = f.frames(&failed);
    EXPECT_FALSE(failed);
    ASSERT_EQ(frames.size(), kFrames);
    for (size_t i = 0; i < kFrames; ++i) {
        EXPECT_EQ(frames[i], without_param_sets(fixture().aus[i])) << "frame " << i;
    }
    // Parameter sets in front of a key frame give the encoder's access unit.
    Bytes head(64);
    const long n = mdia_param_sets(f.ctx, head.data(), head.size());
    ASSERT_GT(n, 8);
    head.resize(static_cast<size_t>(n));
    head.insert(head.end(), frames[10].begin(), frames[10].end());
    EXPECT_EQ(head, fixture().aus[10]);
    EXPECT_EQ(mdia_param_sets(f.ctx, head.data(), static_cast<size_t>(n) - 1), -1);
}

// Damaged and unusual files: where the reader must stop, and what still plays.
TEST_F(Mp4IndexTest, DamagedFiles) {
    enum Expect { PLAYS, NO_HEADER, NO_INDEX, READ_FAILS };
    struct Case {
        const char* what;
        std::function<void(Bytes&)> damage;
        Expect expect;
    };
    const Case cases[] = {
        {"intact", [](Bytes&) {}, PLAYS},
        {"last atom (moov) with size 0: to the end of the file",
         [](Bytes& b) { put32(b, find_atom(b, "mvhd") - 8, 0); }, PLAYS},
        {"stsz atom with size 0", [](Bytes& b) { put32(b, find_atom(b, "stsz"), 0); }, NO_INDEX},
        {"moov size past the end of the file",
         [](Bytes& b) {
             const size_t moov = find_atom(b, "mvhd") - 8;
             put32(b, moov, get32(b, moov) + 1000);
         },
         NO_HEADER},
        {"file cut inside the movie header", [](Bytes& b) { b.erase(b.end() - 100, b.end()); },
         NO_HEADER},
        {"stco atom larger than its parent",
         [](Bytes& b) { put32(b, find_atom(b, "stco"), 100000); }, NO_INDEX},
        {"sample count larger than the stsz table",
         [](Bytes& b) {
             const size_t at = find_atom(b, "stsz") + 16;
             put32(b, at, get32(b, at) + 5);
         },
         NO_INDEX},
        {"entry count larger than the stss table",
         [](Bytes& b) { put32(b, find_atom(b, "stss") + 12, 1000000); }, NO_INDEX},
        {"sync sample beyond the track",
         [](Bytes& b) {
             const size_t stss = find_atom(b, "stss");
             put32(b, stss + 12, 1);
             put32(b, stss + 16, 5000);
         },
         READ_FAILS},
        {"last chunk offset past the end",
         [](Bytes& b) {
             const size_t stco = find_atom(b, "stco");
             put32(b, stco + 16 + 4 * (get32(b, stco + 12) - 1), 0xfffffff0u);
         },
         READ_FAILS},
        {"sample larger than the frame buffer",
         [](Bytes& b) { put32(b, find_atom(b, "stsz") + 20 + 4 * 3, 3u << 20); }, READ_FAILS},
        {"NAL length past its sample",
         [](Bytes& b) {
             const size_t stco = find_atom(b, "stco");
             put32(b, get32(b, stco + 16), 0x7fffffff);
         },
         READ_FAILS},
        {"chunks hold fewer samples than the track",
         [](Bytes& b) {
             const size_t stsc = find_atom(b, "stsc");
             put32(b, stsc + 16 + 12 * (get32(b, stsc + 12) - 1) + 4, 0);
         },
         NO_INDEX},
        {"missing avcC", [](Bytes& b) { memcpy(&b[find_atom(b, "avcC") + 4], "xxxx", 4); },
         NO_INDEX},
        {"64-bit chunk offsets (co64)", [](Bytes& b) { b = to_co64(b); }, PLAYS},
        {"not an MP4 file", [](Bytes& b) { memcpy(&b[4], "RIFF", 4); }, NO_HEADER},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Bytes bytes = fixture().mp4;
        c.damage(bytes);
        Opened f(std::move(bytes));
        if (c.expect == NO_HEADER) {
            EXPECT_EQ(f.header_rc, -1);
            continue;
        }
        ASSERT_EQ(f.header_rc, 0);
        if (c.expect == NO_INDEX) {
            EXPECT_EQ(f.index_rc, -1);
            continue;
        }
        ASSERT_EQ(f.index_rc, 0);
        bool failed = false;
        std::vector<Bytes> frames;
        MdiaCursor cur;
        if (mdia_get_offset(UINT32_MAX, f.ctx, &cur) < 0) {
            failed = true;
        } else {
            frames = f.frames(&failed);
        }
        if (c.expect == READ_FAILS) {
            EXPECT_TRUE(failed);
            continue;
        }
        EXPECT_FALSE(failed);
        ASSERT_EQ(frames.size(), kFrames);
        for (size_t i = 0; i < kFrames; ++i) {
            EXPECT_EQ(frames[i], without_param_sets(fixture().aus[i])) << "frame " << i;
        }
    }
}

}  // namespace
