// The simulated media layer through the platform API: channel sizes and
// rates, receive counts, on-demand rendering and counted losses, the H.264
// stream form, bitrate and rate-control calls, JPEG, RGA crops and the
// frame-number pattern.
#include <poll.h>

#include <cstring>

#include "platform_test_util.h"
#include "scene.h"

extern "C" {
#include <libswscale/swscale.h>
}

using namespace ptest;

namespace {

constexpr RkChnAddr kVi0{RK_MOD_VI, 0, 0};
constexpr RkChnAddr kVenc0{RK_MOD_VENC, 0, 0};

// An NV12 image buffer showing frame frameNo of the scene.
MEDIA_BUFFER scene_buffer(uint32_t frameNo, uint32_t w, uint32_t h) {
    const RkMbImageInfo info{w, h, w, h, RK_IMAGE_NV12};
    MEDIA_BUFFER mb = RK_MPI_MB_CreateImageBuffer(&info, 1, 1);
    if (mb != nullptr) vcam_render_nv12(frameNo, w, h, static_cast<uint8_t*>(RK_MPI_MB_GetPtr(mb)));
    return mb;
}

Packet encode_one(int32_t chn, uint32_t frameNo, uint32_t w, uint32_t h) {
    MEDIA_BUFFER mb = scene_buffer(frameNo, w, h);
    EXPECT_NE(mb, nullptr);
    EXPECT_EQ(RK_MPI_SYS_SendMediaBuffer(RK_MOD_VENC, chn, mb), 0);
    RK_MPI_MB_ReleaseBuffer(mb);
    std::vector<Packet> p = collect(RK_MOD_VENC, chn, 1);
    return p.empty() ? Packet{} : p.front();
}

}  // namespace

TEST(ScenePattern, ReadsBackTheRenderedFrameNumber) {
    struct Case {
        uint32_t w, h, frameNo;
    };
    for (const Case c : {Case{352, 288, 0}, Case{640, 360, 1}, Case{1280, 720, 0xABCDE},
                         Case{640, 480, 0x1FFFFFF}}) {
        std::vector<uint8_t> pic(size_t{c.w} * c.h * 3 / 2);
        vcam_render_nv12(c.frameNo, c.w, c.h, pic.data());
        EXPECT_EQ(vcam_read_frame_number(pic.data(), c.w, c.w, c.h), c.frameNo & 0xFFFFFF)
            << c.w << "x" << c.h;
        // One cell flipped fails the check instead of giving a wrong number.
        const uint32_t cell = c.w / vsim::kPatternCells;
        for (uint32_t y = 0; y < vsim::pattern_band_rows(c.h); ++y) {
            uint8_t* p = pic.data() + size_t{y} * c.w + 20 * cell;
            memset(p, *p > 128 ? vsim::kPatternBlack : vsim::kPatternWhite, cell);
        }
        EXPECT_EQ(vcam_read_frame_number(pic.data(), c.w, c.w, c.h), -1);
    }
    std::vector<uint8_t> grey(640 * 360 * 3 / 2, 128);
    EXPECT_EQ(vcam_read_frame_number(grey.data(), 640, 640, 360), -1);
}

TEST_F(PlatformTest, ChannelsDeliverTheirSizeAtTheSensorRate) {
    open_vi(0, 2, 320, 180);
    const RkViChnAttr small = vi_attr("rkispp_scale2", 160, 90, 1);
    ASSERT_EQ(RK_MPI_VI_SetChnAttr(0, 3, &small), 0);
    ASSERT_EQ(RK_MPI_VI_EnableChn(0, 3), 0);
    ASSERT_EQ(RK_MPI_VI_StartStream(0, 3), 0);
    ASSERT_EQ(RK_MPI_SYS_StartGetMediaBuffer(RK_MOD_VI, 2), 0);
    ASSERT_EQ(RK_MPI_SYS_StartGetMediaBuffer(RK_MOD_VI, 3), 0);

    const std::vector<Packet> frames = collect(RK_MOD_VI, 2, 8);
    ASSERT_EQ(frames.size(), 8u);
    for (const Packet& f : frames) {
        EXPECT_EQ(f.bytes.size(), 320u * 180 * 3 / 2);
        EXPECT_EQ(f.modId, RK_MOD_VI);
        EXPECT_EQ(f.chnId, 2);
    }
    // Without an ISP setting the sensor runs at 30 frames/s: time stamps
    // advance by 1/30 s per frame number.
    const double perFrame =
        static_cast<double>(frames.back().timestampUs - frames.front().timestampUs) /
        (frames.back().frameNo - frames.front().frameNo);
    EXPECT_NEAR(perFrame, 33333.0, 2500.0);
    const std::vector<Packet> small3 = collect(RK_MOD_VI, 3, 1);
    ASSERT_EQ(small3.size(), 1u);
    EXPECT_EQ(small3[0].bytes.size(), 160u * 90 * 3 / 2);

    // Nodes other than the post-processor's and a busy channel are refused.
    RkViChnAttr bad = vi_attr("rkispp_scale9", 320, 180);
    EXPECT_EQ(RK_MPI_VI_SetChnAttr(0, 1, &bad), RK_ERR_ILLEGAL_PARAM);
    const RkViChnAttr again = vi_attr("rkispp_scale1", 640, 360);
    EXPECT_EQ(RK_MPI_VI_SetChnAttr(0, 2, &again), RK_ERR_NOT_PERM);
}

TEST_F(PlatformTest, ReceiveCountsLimitTheIntake) {
    open_vi(0, 0, 160, 96);
    const RkVencChnAttr attr = h264_attr(160, 96);
    ASSERT_EQ(RK_MPI_VENC_CreateChn(0, &attr), 0);
    ASSERT_EQ(recv(0, 0), 0);
    ASSERT_EQ(bind(kVi0, kVenc0), 0);

    // Stopped: nothing comes and nothing is even rendered.
    EXPECT_EQ(RK_MPI_SYS_GetMediaBuffer(RK_MOD_VENC, 0, 300), nullptr);
    EXPECT_EQ(vcam_rendered_frames(0, 0), 0u);

    for (int32_t count : {3, 1}) {
        ASSERT_EQ(recv(0, count), 0);
        EXPECT_EQ(collect(RK_MOD_VENC, 0, static_cast<size_t>(count)).size(),
                  static_cast<size_t>(count))
            << count;
        EXPECT_TRUE(collect(RK_MOD_VENC, 0, 1, 500).empty()) << count;
        RkVencChnStatus st{};
        ASSERT_EQ(RK_MPI_VENC_QueryStatus(0, &st), 0);
        EXPECT_EQ(st.leftRecvPics, 0);
    }

    ASSERT_EQ(recv(0, RK_VENC_RECV_UNLIMITED), 0);
    EXPECT_EQ(collect(RK_MOD_VENC, 0, 10).size(), 10u);
    RkVencChnStatus st{};
    ASSERT_EQ(RK_MPI_VENC_QueryStatus(0, &st), 0);
    EXPECT_EQ(st.leftRecvPics, -1);
    EXPECT_EQ(recv(0, -2), RK_ERR_ILLEGAL_PARAM);
}

TEST_F(PlatformTest, UntakenOutputIsSignalledCountedAndResumes) {
    open_vi(0, 0, 160, 96);
    const RkVencChnAttr attr = h264_attr(160, 96);
    ASSERT_EQ(RK_MPI_VENC_CreateChn(0, &attr), 0);
    ASSERT_EQ(bind(kVi0, kVenc0), 0);
    const int fd = RK_MPI_VENC_GetFd(0);
    ASSERT_GE(fd, 0);

    // Nobody reads: the output fills up, the descriptor says so, losses are
    // counted and rendering stops instead of running for nobody. A slow
    // encoder (an emulated or busy CPU) drops pictures before its output is
    // full, so the wait is for a full output that no longer grows, not for
    // the first drop.
    RkVencChnStatus st{};
    uint32_t last = 0;
    ASSERT_TRUE(eventually(
        [&] {
            if (RK_MPI_VENC_QueryStatus(0, &st) != 0 || st.pendingPics < 6u) return false;
            const bool settled = st.pendingPics == last;
            last = st.pendingPics;
            if (!settled) std::this_thread::sleep_for(std::chrono::milliseconds(300));
            return settled;
        },
        std::chrono::seconds(20)));
    EXPECT_GT(vcam_dropped_frames(RK_MOD_VENC, 0, 0), 0u);
    ASSERT_EQ(RK_MPI_VENC_QueryStatus(0, &st), 0);
    EXPECT_GT(st.droppedPics, 0u);
    pollfd pfd{fd, POLLIN, 0};
    EXPECT_EQ(poll(&pfd, 1, 0), 1);
    // Pictures already inside a slow encoder may still come out; after that
    // at most one more is rendered in 200 ms.
    uint64_t rendered = vcam_rendered_frames(0, 0);
    EXPECT_TRUE(eventually([&rendered] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        const uint64_t now = vcam_rendered_frames(0, 0);
        const bool stopped = now <= rendered + 1;
        rendered = now;
        return stopped;
    }));

    // Taking exactly the pending pictures empties the descriptor; the stream
    // then goes on.
    EXPECT_EQ(collect(RK_MOD_VENC, 0, st.pendingPics, 0).size(), st.pendingPics);
    ASSERT_EQ(recv(0, 0), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    collect(RK_MOD_VENC, 0, 16, 50);
    EXPECT_EQ(poll(&pfd, 1, 0), 0);
    ASSERT_EQ(recv(0, -1), 0);
    EXPECT_EQ(collect(RK_MOD_VENC, 0, 5).size(), 5u);
}

TEST_F(PlatformTest, H264IsAnnexBWithParameterSetsBeforeEveryIdr) {
    const RkVencChnAttr attr = h264_attr(176, 144, 30, 1000);
    ASSERT_EQ(RK_MPI_VENC_CreateChn(0, &attr), 0);
    std::vector<int> types;
    const Packet first = encode_one(0, 0, 176, 144);
    ASSERT_TRUE(nal_types(first.bytes, &types));
    EXPECT_EQ(types, (std::vector<int>{7, 8, 5}));
    ASSERT_GE(first.bytes.size(), 6u);
    EXPECT_EQ(first.bytes[5], RK_H264_PROFILE_MAIN);  // profile_idc of the SPS

    const Packet second = encode_one(0, 1, 176, 144);
    ASSERT_TRUE(nal_types(second.bytes, &types));
    EXPECT_EQ(types, (std::vector<int>{1}));

    ASSERT_EQ(RK_MPI_VENC_RequestIDR(0, 0), 0);
    const Packet key = encode_one(0, 2, 176, 144);
    ASSERT_TRUE(nal_types(key.bytes, &types));
    EXPECT_EQ(types, (std::vector<int>{7, 8, 5}));
    EXPECT_EQ(RK_MPI_VENC_RequestIDR(5, 0), RK_ERR_UNEXIST);
}

TEST_F(PlatformTest, BitrateAndRateControlCalls) {
    const RkVencChnAttr attr = h264_attr(176, 144, 25, 25, 1024000);
    ASSERT_EQ(RK_MPI_VENC_CreateChn(2, &attr), 0);
    RkVencChnAttr got{};
    ASSERT_EQ(RK_MPI_VENC_GetVencChnAttr(2, &got), 0);
    EXPECT_EQ(got.rcAttr.rcMode, RK_RC_H264_CBR);
    EXPECT_EQ(got.rcAttr.bitRate, 1024000u);
    // A live-view rate below the hardware minimum is still taken as given.
    ASSERT_EQ(RK_MPI_VENC_SetBitrate(2, 512000, 10000000, 100000000), 0);
    ASSERT_EQ(RK_MPI_VENC_GetVencChnAttr(2, &got), 0);
    EXPECT_EQ(got.rcAttr.bitRate, 512000u);
    EXPECT_EQ(RK_MPI_VENC_SetBitrate(2, 0, 0, 0), RK_ERR_ILLEGAL_PARAM);

    RkVencRcParam rc{};
    ASSERT_EQ(RK_MPI_VENC_GetRcParam(2, &rc), 0);
    rc = RkVencRcParam{5, 5, 30, 2, 51, 15, 50, 20};
    ASSERT_EQ(RK_MPI_VENC_SetRcParam(2, &rc), 0);
    RkVencRcParam back{};
    ASSERT_EQ(RK_MPI_VENC_GetRcParam(2, &back), 0);
    EXPECT_EQ(back.firstFrameStartQp, 30u);
    EXPECT_EQ(back.minIQp, 20u);
    RkVencRcParam bad = rc;
    bad.minQp = 52;
    EXPECT_EQ(RK_MPI_VENC_SetRcParam(2, &bad), RK_ERR_ILLEGAL_PARAM);
    // The channel encodes with the new settings.
    EXPECT_FALSE(encode_one(2, 0, 176, 144).bytes.empty());

    const RkVencChnAttr jpeg = jpeg_attr(176, 144, 176, 144);
    ASSERT_EQ(RK_MPI_VENC_CreateChn(1, &jpeg), 0);
    EXPECT_EQ(RK_MPI_VENC_SetBitrate(1, 1000000, 0, 0), RK_ERR_NOT_PERM);
    EXPECT_EQ(RK_MPI_VENC_CreateChn(1, &jpeg), RK_ERR_EXIST);
    RkVencChnAttr noRate = h264_attr(176, 144);
    noRate.rcAttr.rcMode = RK_RC_H265_CBR;
    EXPECT_EQ(RK_MPI_VENC_CreateChn(3, &noRate), RK_ERR_ILLEGAL_PARAM);
}

// A constant bitrate is kept as the hardware keeps it: every second of
// stream carries the configured bits within 5 % (pictures the encoder makes
// smaller are padded), and the padded pictures still decode to the camera's.
TEST_F(PlatformTest, ConstantBitrateIsKeptOverEverySecond) {
    for (const uint32_t bitrate : {2000000u, 8000000u}) {
        SCOPED_TRACE(bitrate);
        const RkVencChnAttr attr = h264_attr(176, 144, 25, 25, bitrate);
        ASSERT_EQ(RK_MPI_VENC_CreateChn(2, &attr), 0);
        std::vector<Packet> packets;
        for (uint32_t i = 0; i < 50; ++i) packets.push_back(encode_one(2, i, 176, 144));
        for (size_t second = 0; second < 2; ++second) {
            size_t bytes = 0;
            for (size_t i = second * 25; i < second * 25 + 25; ++i)
                bytes += packets[i].bytes.size();
            EXPECT_NEAR(static_cast<double>(bytes) * 8, bitrate, bitrate * 0.05) << second;
        }
        const std::vector<Picture> pictures = decode(AV_CODEC_ID_H264, packets);
        ASSERT_EQ(pictures.size(), packets.size());
        EXPECT_EQ(vcam_read_frame_number(pictures[30].luma.data(), 176, 176, 144), 30);
        ASSERT_EQ(RK_MPI_VENC_DestroyChn(2), 0);
    }
}

TEST_F(PlatformTest, JpegHasItsOutputSizeAndShrinksWithQuality) {
    const RkVencChnAttr attr = jpeg_attr(320, 180, 160, 90);
    ASSERT_EQ(RK_MPI_VENC_CreateChn(1, &attr), 0);
    std::vector<Packet> pictures;
    for (uint32_t quality : {99u, 10u}) {
        const RkVencJpegParam param{quality};
        ASSERT_EQ(RK_MPI_VENC_SetJpegParam(1, &param), 0);
        pictures.push_back(encode_one(1, 7, 320, 180));
        ASSERT_GE(pictures.back().bytes.size(), 2u);
        EXPECT_EQ(pictures.back().bytes[0], 0xFF);
        EXPECT_EQ(pictures.back().bytes[1], 0xD8);
    }
    EXPECT_LT(pictures[1].bytes.size(), pictures[0].bytes.size());
    const std::vector<Picture> decoded = decode(AV_CODEC_ID_MJPEG, {pictures[0]});
    ASSERT_EQ(decoded.size(), 1u);
    EXPECT_EQ(decoded[0].width, 160);
    EXPECT_EQ(decoded[0].height, 90);
    const RkVencJpegParam bad{100};
    EXPECT_EQ(RK_MPI_VENC_SetJpegParam(1, &bad), RK_ERR_ILLEGAL_PARAM);
}

TEST_F(PlatformTest, RgaCropChangeShowsInTheNextPictures) {
    constexpr uint32_t W = 320, H = 180;
    open_vi(0, 0, W, H);
    RkRgaAttr attr{};
    attr.imgIn = RkRgaImage{RK_IMAGE_NV12, 0, 0, W, H, W, H};
    attr.imgOut = RkRgaImage{RK_IMAGE_NV12, 0, 0, W, H, W, H};
    attr.bufPoolEnable = 1;
    attr.bufPoolCnt = 2;
    ASSERT_EQ(RK_MPI_RGA_CreateChn(0, &attr), 0);
    ASSERT_EQ(bind(kVi0, RkChnAddr{RK_MOD_RGA, 0, 0}), 0);
    ASSERT_EQ(RK_MPI_SYS_StartGetMediaBuffer(RK_MOD_RGA, 0), 0);

    std::vector<uint8_t> scene(size_t{W} * H * 3 / 2), expected(size_t{W} * H * 3 / 2);
    auto differs = [&](const Packet& p, const std::vector<uint8_t>& want) {
        uint64_t diff = 0;
        for (size_t i = 0; i < size_t{W} * H; ++i)
            diff += static_cast<uint64_t>(std::abs(p.bytes[i] - want[i]));
        return static_cast<double>(diff) / (W * H);
    };
    // Uncropped, the picture is the scene itself.
    std::vector<Packet> pics = collect(RK_MOD_RGA, 0, 1);
    ASSERT_EQ(pics.size(), 1u);
    vcam_render_nv12(pics[0].frameNo, W, H, scene.data());
    EXPECT_EQ(differs(pics[0], scene), 0.0);

    // Zoom 2x on the centre while running (crop origins are even).
    constexpr uint32_t kX = W / 4, kY = H / 4 - 1;
    attr.imgIn = RkRgaImage{RK_IMAGE_NV12, kX, kY, W / 2, H / 2, W / 2, H / 2};
    ASSERT_EQ(RK_MPI_RGA_SetChnAttr(0, &attr), 0);
    RkRgaAttr back{};
    ASSERT_EQ(RK_MPI_RGA_GetChnAttr(0, &back), 0);
    EXPECT_EQ(back.imgIn.x, kX);
    // Pictures made before the change may still be queued; a later one shows the crop.
    pics = collect(RK_MOD_RGA, 0, 4);
    ASSERT_EQ(pics.size(), 4u);
    const Packet& last = pics.back();
    vcam_render_nv12(last.frameNo, W, H, scene.data());
    SwsContext* sws = sws_getContext(W / 2, H / 2, AV_PIX_FMT_NV12, W, H, AV_PIX_FMT_NV12,
                                     SWS_FAST_BILINEAR, nullptr, nullptr, nullptr);
    ASSERT_NE(sws, nullptr);
    const uint8_t* src[4] = {scene.data() + size_t{kY} * W + kX,
                             scene.data() + size_t{W} * H + size_t{kY / 2} * W + kX, nullptr,
                             nullptr};
    const int srcLines[4] = {static_cast<int>(W), static_cast<int>(W), 0, 0};
    uint8_t* dst[4] = {expected.data(), expected.data() + size_t{W} * H, nullptr, nullptr};
    const int dstLines[4] = {static_cast<int>(W), static_cast<int>(W), 0, 0};
    sws_scale(sws, src, srcLines, 0, H / 2, dst, dstLines);
    sws_freeContext(sws);
    EXPECT_LT(differs(last, expected), 2.0);
    EXPECT_GT(differs(last, scene), 10.0) << differs(last, expected);
}

TEST_F(PlatformTest, FrameNumbersReadBackAfterEncoding) {
    open_vi(0, 2, 640, 360);
    const RkVencChnAttr attr = h264_attr(640, 360, 25, 25, 1024000);
    ASSERT_EQ(RK_MPI_VENC_CreateChn(2, &attr), 0);
    ASSERT_EQ(bind(RkChnAddr{RK_MOD_VI, 0, 2}, RkChnAddr{RK_MOD_VENC, 0, 2}), 0);
    const std::vector<Packet> packets = collect(RK_MOD_VENC, 2, 12);
    ASSERT_EQ(packets.size(), 12u);
    const std::vector<Picture> pictures = decode(AV_CODEC_ID_H264, packets);
    ASSERT_EQ(pictures.size(), packets.size());
    for (size_t i = 0; i < packets.size(); ++i) {
        EXPECT_EQ(pictures[i].width, 640);
        EXPECT_EQ(vcam_read_frame_number(pictures[i].luma.data(), 640, 640, 360),
                  packets[i].frameNo & 0xFFFFFF)
            << "picture " << i;
        if (i > 0) {
            EXPECT_GT(packets[i].timestampUs, packets[i - 1].timestampUs);
        }
    }
}
