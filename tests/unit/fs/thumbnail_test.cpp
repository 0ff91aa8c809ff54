// Thumbnails and media information on fixtures made in the test: MP4 files
// from the recorder's writer, raw H.264/HEVC streams, JPEG photos and a
// PCM-only file.
#include "fs/thumbnail.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <filesystem>
#include <string>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/avutil.h>
#include <libavutil/frame.h>
}

#include "../../support/board_root_fixture.h"
#include "fs_media_fixture.h"
#include "vcam.h"

namespace {

using fs_fixture::Bytes;
using fs_fixture::Paint;

constexpr Paint kDark{40, 40, true};
constexpr Paint kDarkP{40, 40, false};
constexpr Paint kBrightLeft{220, 30, true};
constexpr Paint kBrightRightP{30, 220, false};

class ThumbnailTest : public ::testing::Test {
protected:
    TempBoardRoot root_{{"/tmp"}};
    std::string path(const char* name) const { return root_.path(std::string("/tmp/") + name); }
    static bool exists(const std::string& p) { return std::filesystem::exists(p); }
};

// The thumbnail is the first key frame of the file, not its first picture:
// the file starts with a predicted picture (uniform grey), then an IDR picture
// with a bright left half, then a predicted picture with a bright right half.
TEST_F(ThumbnailTest, FirstKeyFrameOf4kVideoScaledTo160x90) {
    const std::vector<Bytes> aus =
        fs_fixture::encode_h264(3840, 2160, {kDark, kDarkP, kBrightLeft, kBrightRightP});
    ASSERT_EQ(aus.size(), 4U) << "libx264 not available";
    ASSERT_FALSE(fs_fixture::is_idr(aus[1]));
    ASSERT_TRUE(fs_fixture::is_idr(aus[2]));
    const std::string video = path("CLIP0001.MP4");
    ASSERT_TRUE(fs_fixture::write_mp4(video, 3840, 2160, {aus[1], aus[2], aus[3]}, 30000, 1000));

    const std::string out = path("CLIP0001_v.JPG");
    EXPECT_EQ(thumbnail_generate(video.c_str(), out.c_str(), 160, 90), 0);
    const fs_fixture::Picture pic = fs_fixture::decode_jpeg(out);
    ASSERT_EQ(pic.width, 160);
    EXPECT_EQ(pic.height, 90);
    EXPECT_EQ(pic.format, AV_PIX_FMT_YUVJ420P);
    EXPECT_NEAR(pic.mean(0, 8, 8, 72, 82), 220.0, 8.0);
    EXPECT_NEAR(pic.mean(0, 88, 8, 152, 82), 30.0, 8.0);
    EXPECT_FALSE(exists(out + ".part"));
}

// The virtual camera's scene: the frame number printed in the top rows of the
// first key frame (not of the picture before it) can be read in the thumbnail.
TEST_F(ThumbnailTest, VirtualCameraFrameNumberReadableInThumbnail) {
    constexpr int kW = 1280, kH = 720;
    std::vector<uint8_t> nv12(kW * kH * 3 / 2);
    const std::vector<Bytes> aus = fs_fixture::encode_h264(kW, kH, 3, [&](AVFrame* pic, size_t i) {
        vcam_render_nv12(static_cast<uint32_t>(1000 + i), kW, kH, nv12.data());
        for (int y = 0; y < kH; ++y) {
            memcpy(pic->data[0] + y * pic->linesize[0], &nv12[static_cast<size_t>(y) * kW], kW);
        }
        for (int y = 0; y < kH / 2; ++y) {
            const uint8_t* uv = &nv12[static_cast<size_t>(kW) * kH + static_cast<size_t>(y) * kW];
            for (int x = 0; x < kW / 2; ++x) {
                pic->data[1][y * pic->linesize[1] + x] = uv[2 * x];
                pic->data[2][y * pic->linesize[2] + x] = uv[2 * x + 1];
            }
        }
        return i != 1;
    });
    ASSERT_EQ(aus.size(), 3U) << "libx264 not available";
    const std::string video = path("VCAM.MP4");
    ASSERT_TRUE(fs_fixture::write_mp4(video, kW, kH, {aus[1], aus[2]}, 30000, 1000));
    const std::string out = path("VCAM_v.JPG");
    ASSERT_EQ(thumbnail_generate(video.c_str(), out.c_str(), 160, 90), 0);
    const fs_fixture::Picture pic = fs_fixture::decode_jpeg(out);
    ASSERT_EQ(pic.width, 160);
    EXPECT_EQ(vcam_read_frame_number(pic.planes[0].data(), static_cast<uint32_t>(pic.strides[0]),
                                     160, 90),
              1002);
}

TEST_F(ThumbnailTest, MediaInformationOfMp4) {
    const std::vector<Bytes> aus = fs_fixture::encode_h264(96, 64, {kDark, kDarkP, kDarkP});
    ASSERT_EQ(aus.size(), 3U) << "libx264 not available";
    // Durations in a 1/1000 time scale: samples x sample duration.
    struct Case {
        uint32_t samples;
        uint32_t sampleMs;
        const char* dur;
    };
    for (const Case& c : {Case{3, 4332, "13"}, Case{2, 6497, "12"}, Case{1, 995, "1"}}) {
        const std::string video = path("meta.MP4");
        const std::vector<Bytes> samples(aus.begin(), aus.begin() + c.samples);
        ASSERT_TRUE(fs_fixture::write_mp4(video, 96, 64, samples, 1000, c.sampleMs));
        char dur[20] = "keep";
        int w = -7, h = -7;
        EXPECT_EQ(thumbnail_get_meta(video.c_str(), dur, sizeof dur, &w, &h), 0);
        EXPECT_STREQ(dur, c.dur) << c.samples << " x " << c.sampleMs << " ms";
        EXPECT_EQ(w, 96);
        EXPECT_EQ(h, 64);
    }
}

// A raw H.264 stream has no container duration: the caller's text stays, the
// picture size is still read, and a thumbnail can be made from it.
TEST_F(ThumbnailTest, StreamWithoutDuration) {
    const std::vector<Bytes> aus = fs_fixture::encode_h264(96, 64, {kBrightLeft, kBrightRightP});
    ASSERT_EQ(aus.size(), 2U) << "libx264 not available";
    Bytes stream;
    for (const Bytes& au : aus) stream.insert(stream.end(), au.begin(), au.end());
    const std::string raw = path("raw.h264");
    ASSERT_TRUE(fs_fixture::write_bytes(raw, stream));

    char dur[20] = "keep";
    int w = -7, h = -7;
    EXPECT_EQ(thumbnail_get_meta(raw.c_str(), dur, sizeof dur, &w, &h), 0);
    EXPECT_STREQ(dur, "keep");
    EXPECT_EQ(w, 96);
    EXPECT_EQ(h, 64);

    const std::string out = path("raw_v.JPG");
    EXPECT_EQ(thumbnail_generate(raw.c_str(), out.c_str(), 160, 90), 0);
    const fs_fixture::Picture pic = fs_fixture::decode_jpeg(out);
    EXPECT_EQ(pic.width, 160);
    EXPECT_EQ(pic.height, 90);
}

// An audio-only file: no thumbnail and no file at the output (an earlier one
// there is removed, so it cannot pass for this run's result); the information
// gives the duration and leaves the picture size alone.
TEST_F(ThumbnailTest, AudioOnlyFileHasNoVideoStream) {
    const std::string audio = path("sound.mp4");
    ASSERT_TRUE(fs_fixture::write_wav(audio, 16000));
    const std::string out = path("sound_v.JPG");
    fs_fixture::write_bytes(out, Bytes(100000, 0xFF));

    EXPECT_LT(thumbnail_generate(audio.c_str(), out.c_str(), 160, 90), 0);
    EXPECT_FALSE(exists(out));

    char dur[20] = "keep";
    int w = -7, h = -7;
    EXPECT_EQ(thumbnail_get_meta(audio.c_str(), dur, sizeof dur, &w, &h), 0);
    EXPECT_STREQ(dur, "2");
    EXPECT_EQ(w, -7);
    EXPECT_EQ(h, -7);
}

// A successful run replaces a larger earlier file completely.
TEST_F(ThumbnailTest, PhotoThumbnailReplacesEarlierFileAndKeepsChromaLayout) {
    // A 4:2:2 photo, red in its upper half and blue-green in its lower half.
    const Bytes jpeg =
        fs_fixture::encode_jpeg(640, 360, AV_PIX_FMT_YUVJ422P, {128, 128, true}, 128, 230, 30);
    ASSERT_FALSE(jpeg.empty());
    const std::string photo = path("IMG_0001.jpg");
    ASSERT_TRUE(fs_fixture::write_bytes(photo, jpeg));
    const std::string out = path("IMG_0001_p.JPG");
    fs_fixture::write_bytes(out, Bytes(200000, 0xAB));

    EXPECT_EQ(thumbnail_generate(photo.c_str(), out.c_str(), 160, 90), 0);
    const Bytes written = fs_fixture::read_bytes(out);
    ASSERT_GT(written.size(), 4U);
    EXPECT_LT(written.size(), 200000U);
    EXPECT_EQ(written[written.size() - 2], 0xFF);
    EXPECT_EQ(written.back(), 0xD9);
    const fs_fixture::Picture pic = fs_fixture::decode_jpeg(out);
    ASSERT_EQ(pic.width, 160);
    ASSERT_EQ(pic.height, 90);
    EXPECT_GT(pic.mean(2, 4, 4, 76, 18), 200.0);  // chroma plane is 80 x 45
    EXPECT_LT(pic.mean(2, 4, 27, 76, 41), 60.0);
}

TEST_F(ThumbnailTest, HevcStreamUsesHevcDecoder) {
    const AVCodec* enc = avcodec_find_encoder_by_name("libx265");
    if (enc == nullptr) GTEST_SKIP() << "libx265 not available";
    AVCodecContext* c = avcodec_alloc_context3(enc);
    c->width = 128;
    c->height = 72;
    c->pix_fmt = AV_PIX_FMT_YUV420P;
    c->time_base = AVRational{1, 30};
    c->thread_count = 1;
    AVDictionary* opts = nullptr;
    av_dict_set(&opts, "preset", "ultrafast", 0);
    av_dict_set(&opts, "x265-params", "log-level=none:pools=none:frame-threads=1", 0);
    ASSERT_GE(avcodec_open2(c, enc, &opts), 0);
    av_dict_free(&opts);
    AVFrame* pic = fs_fixture::new_picture(128, 72, AV_PIX_FMT_YUV420P, kBrightLeft);
    ASSERT_NE(pic, nullptr);
    Bytes stream;
    AVPacket* pkt = av_packet_alloc();
    avcodec_send_frame(c, pic);
    avcodec_send_frame(c, nullptr);
    while (avcodec_receive_packet(c, pkt) == 0) {
        stream.insert(stream.end(), pkt->data, pkt->data + pkt->size);
        av_packet_unref(pkt);
    }
    av_packet_free(&pkt);
    av_frame_free(&pic);
    avcodec_free_context(&c);
    const std::string raw = path("clip.hevc");
    ASSERT_TRUE(fs_fixture::write_bytes(raw, stream));

    const std::string out = path("clip_v.JPG");
    EXPECT_EQ(thumbnail_generate(raw.c_str(), out.c_str(), 160, 90), 0);
    const fs_fixture::Picture thumb = fs_fixture::decode_jpeg(out);
    ASSERT_EQ(thumb.width, 160);
    EXPECT_NEAR(thumb.mean(0, 8, 8, 72, 82), 220.0, 10.0);
}

TEST_F(ThumbnailTest, UnreadableInputsAndBadArguments) {
    const std::string out = path("x_v.JPG");
    const std::string missing = path("missing.MP4");
    const std::string junk = path("junk.MP4");
    fs_fixture::write_bytes(junk, Bytes(4096, 0x5A));
    EXPECT_EQ(thumbnail_generate(missing.c_str(), out.c_str(), 160, 90), -1);
    EXPECT_NE(thumbnail_generate(junk.c_str(), out.c_str(), 160, 90), 0);
    EXPECT_FALSE(exists(out));

    struct Args {
        const char* in;
        const char* out;
        int w;
        int h;
    };
    for (const Args& a :
         {Args{nullptr, out.c_str(), 160, 90}, Args{junk.c_str(), nullptr, 160, 90},
          Args{junk.c_str(), out.c_str(), 0, 90}, Args{junk.c_str(), out.c_str(), 160, -1},
          Args{junk.c_str(), out.c_str(), INT_MAX, INT_MAX}}) {
        EXPECT_EQ(thumbnail_generate(a.in, a.out, a.w, a.h), -1);
    }

    char dur[20] = "keep";
    int w = -7, h = -7;
    EXPECT_LT(thumbnail_get_meta(missing.c_str(), dur, sizeof dur, &w, &h), 0);
    EXPECT_EQ(thumbnail_get_meta(nullptr, dur, sizeof dur, &w, &h), -1);
    EXPECT_EQ(thumbnail_get_meta(junk.c_str(), nullptr, sizeof dur, &w, &h), -1);
    EXPECT_EQ(thumbnail_get_meta(junk.c_str(), dur, 0, &w, &h), -1);
    EXPECT_STREQ(dur, "keep");
    EXPECT_EQ(w, -7);
}

TEST_F(ThumbnailTest, JpegWriteFailureLeavesNoFile) {
    AVFrame* f = fs_fixture::new_picture(160, 90, AV_PIX_FMT_YUVJ420P, kBrightLeft);
    ASSERT_NE(f, nullptr);
    const std::string out = path("no-such-dir/a_v.JPG");
    EXPECT_LT(Frame2JPG(f, out.c_str()), 0);
    EXPECT_FALSE(exists(out));
    EXPECT_FALSE(exists(out + ".part"));
    EXPECT_EQ(Frame2JPG(nullptr, out.c_str()), -1);
    const std::string good = path("a_v.JPG");
    EXPECT_EQ(Frame2JPG(f, good.c_str()), 0);
    EXPECT_EQ(fs_fixture::decode_jpeg(good).width, 160);
    av_frame_free(&f);
}

// Overwrites the 32-bit big-endian word at `offset` bytes after the type of
// every box of that type in the file.
void patch_box_word(Bytes* file, const char* type, size_t offset, uint32_t value) {
    for (size_t i = 4; i + 4 + offset + 4 <= file->size(); ++i) {
        if (memcmp(file->data() + i, type, 4) != 0) continue;
        uint8_t* p = file->data() + i + 4 + offset;
        p[0] = static_cast<uint8_t>(value >> 24);
        p[1] = static_cast<uint8_t>(value >> 16);
        p[2] = static_cast<uint8_t>(value >> 8);
        p[3] = static_cast<uint8_t>(value);
    }
}

// Files from a hostile card: a header that lies about the picture size, a
// duration beyond 32-bit seconds, a key frame of garbage, a cut file. None
// may crash, leak or leave a thumbnail that is not one.
TEST_F(ThumbnailTest, HostileMediaFiles) {
    const std::vector<Bytes> aus = fs_fixture::encode_h264(96, 64, {kBrightLeft, kBrightRightP});
    ASSERT_EQ(aus.size(), 2U) << "libx264 not available";

    // Track header says 3840 x 2160; the stream is 96 x 64.
    const std::string liar = path("liar.MP4");
    ASSERT_TRUE(fs_fixture::write_mp4(liar, 3840, 2160, aus, 1000, 40));
    const std::string out = path("liar_v.JPG");
    EXPECT_EQ(thumbnail_generate(liar.c_str(), out.c_str(), 160, 90), 0);
    const fs_fixture::Picture pic = fs_fixture::decode_jpeg(out);
    EXPECT_EQ(pic.width, 160);
    EXPECT_NEAR(pic.mean(0, 8, 8, 72, 82), 220.0, 10.0);

    // Media time scale 1 and a duration of 2^32 - 1 seconds.
    Bytes longFile;
    {
        const std::string p = path("long.MP4");
        ASSERT_TRUE(fs_fixture::write_mp4(p, 96, 64, {aus[0]}, 1000, 40));
        longFile = fs_fixture::read_bytes(p);
        patch_box_word(&longFile, "mdhd", 12, 1);
        patch_box_word(&longFile, "mdhd", 16, 0xFFFFFFFFU);
        patch_box_word(&longFile, "mvhd", 12, 1);
        patch_box_word(&longFile, "mvhd", 16, 0xFFFFFFFFU);
        patch_box_word(&longFile, "stts", 12, 0xFFFFFFFFU);
        ASSERT_TRUE(fs_fixture::write_bytes(p, longFile));
        char dur[20] = "keep";
        int w = -7, h = -7;
        EXPECT_EQ(thumbnail_get_meta(p.c_str(), dur, sizeof dur, &w, &h), 0);
        EXPECT_STREQ(dur, "4294967295");
    }

    // Key frame bytes replaced by garbage; the file cut before its header.
    Bytes good;
    {
        const std::string p = path("good.MP4");
        ASSERT_TRUE(fs_fixture::write_mp4(p, 96, 64, aus, 1000, 40));
        good = fs_fixture::read_bytes(p);
    }
    bool corrupted = false;
    for (size_t i = 4; i + 8 < good.size() && !corrupted; ++i) {
        if (memcmp(good.data() + i, "mdat", 4) != 0) continue;
        // The first sample: a 4-byte length, the NAL header byte, the slice.
        const uint8_t* l = good.data() + i + 4;
        const size_t len = static_cast<size_t>(l[0]) << 24 | l[1] << 16 | l[2] << 8 | l[3];
        ASSERT_LT(i + 8 + len, good.size());
        for (size_t j = i + 8 + 2; j < i + 8 + len; ++j) good[j] = 0xA5;
        corrupted = true;
    }
    ASSERT_TRUE(corrupted);
    const std::string garbage = path("garbage.MP4");
    ASSERT_TRUE(fs_fixture::write_bytes(garbage, good));
    const std::string cut = path("cut.MP4");
    ASSERT_TRUE(fs_fixture::write_bytes(cut, Bytes(good.begin(), good.begin() + good.size() / 2)));
    for (const std::string& bad : {garbage, cut}) {
        const std::string o = bad + "_v.JPG";
        EXPECT_LT(thumbnail_generate(bad.c_str(), o.c_str(), 160, 90), 0) << bad;
        EXPECT_FALSE(exists(o)) << bad;
        char dur[20] = "keep";
        thumbnail_get_meta(bad.c_str(), dur, sizeof dur, nullptr, nullptr);
    }
}

TEST(ThumbnailDuration, RoundingAndLimits) {
    struct Case {
        int64_t us;
        const char* text;  // null: no duration, buffer unchanged
    };
    const Case cases[] = {
        {12996000, "13"},
        {12994000, "12"},
        {12995000, "13"},
        {0, "0"},
        {INT64_MAX, "9223372036854"},
        {INT64_MAX - 4999, "9223372036854"},
        {AV_NOPTS_VALUE, nullptr},
        {-1, nullptr},
        {-12996000, nullptr},
    };
    for (const Case& c : cases) {
        char dur[20] = "keep";
        EXPECT_EQ(thumbnail_format_duration(c.us, dur, sizeof dur), c.text != nullptr ? 0 : -1);
        EXPECT_STREQ(dur, c.text != nullptr ? c.text : "keep") << c.us;
    }
    char small[3] = "ab";
    EXPECT_EQ(thumbnail_format_duration(123000000, small, sizeof small), 0);
    EXPECT_STREQ(small, "12");  // cut, never overrun
}

TEST(ThumbnailCodecName, KnownCodecsOnly) {
    EXPECT_STREQ(thumbnail_get_codec_name_by_id(AV_CODEC_ID_H264), "h264");
    EXPECT_STREQ(thumbnail_get_codec_name_by_id(AV_CODEC_ID_HEVC), "hevc");
    EXPECT_STREQ(thumbnail_get_codec_name_by_id(AV_CODEC_ID_MJPEG), "mjpeg");
    EXPECT_EQ(thumbnail_get_codec_name_by_id(AV_CODEC_ID_VP9), nullptr);
    EXPECT_EQ(thumbnail_get_codec_name_by_id(-5), nullptr);
}

}  // namespace
