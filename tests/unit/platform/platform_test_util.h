// Helpers of the platform tests: a board root with the IQ directory, channel
// set-up through the platform API, collecting encoded pictures and decoding
// them with libavcodec.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "board/sim/board_sim.h"
#include "platform/media.h"
#include "vcam.h"

extern "C" {
#include <libavcodec/avcodec.h>
}

namespace ptest {

// A fresh board root (with "etc/iqfiles") for the test's lifetime.
class BoardRoot {
public:
    BoardRoot() {
        char pattern[] = "/tmp/vsim-test-XXXXXX";
        path_ = mkdtemp(pattern);
        std::filesystem::create_directories(path_ + "/etc/iqfiles");
        board_sim_set_root(path_);
    }
    ~BoardRoot() { std::filesystem::remove_all(path_); }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

// Every test starts with an initialised layer and ends with nothing left running.
class PlatformTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(RK_MPI_SYS_Init(), 0); }
    void TearDown() override { vcam_reset(); }
    BoardRoot root_;
};

inline RkViChnAttr vi_attr(const char* node, uint32_t w, uint32_t h, uint32_t buffers = 4) {
    return RkViChnAttr{node, w, h, RK_IMAGE_NV12, buffers, 0, 0};
}

inline void open_vi(int32_t pipe, int32_t chn, uint32_t w, uint32_t h, uint32_t buffers = 4) {
    const RkViChnAttr attr = vi_attr("rkispp_scale1", w, h, buffers);
    ASSERT_EQ(RK_MPI_VI_SetChnAttr(pipe, chn, &attr), 0);
    ASSERT_EQ(RK_MPI_VI_EnableChn(pipe, chn), 0);
}

inline RkVencChnAttr h264_attr(uint32_t w, uint32_t h, uint32_t fps = 30, uint32_t gop = 30,
                               uint32_t bitrate = 1000000) {
    RkVencChnAttr a{};
    a.vencAttr.codec = RK_CODEC_H264;
    a.vencAttr.imageType = RK_IMAGE_NV12;
    a.vencAttr.virWidth = w;
    a.vencAttr.virHeight = h;
    a.vencAttr.profile = RK_H264_PROFILE_MAIN;
    a.vencAttr.picWidth = w;
    a.vencAttr.picHeight = h;
    a.rcAttr = RkVencRcAttr{RK_RC_H264_CBR, gop, fps, 1, fps, 1, bitrate};
    a.gopAttr = RkVencGopAttr{RK_GOP_MODE_NORMAL, gop, 0, 0, 0};
    return a;
}

inline RkVencChnAttr jpeg_attr(uint32_t w, uint32_t h, uint32_t outW, uint32_t outH) {
    RkVencChnAttr a{};
    a.vencAttr.codec = RK_CODEC_JPEG;
    a.vencAttr.imageType = RK_IMAGE_NV12;
    a.vencAttr.virWidth = w;
    a.vencAttr.virHeight = h;
    a.vencAttr.picWidth = w;
    a.vencAttr.picHeight = h;
    a.vencAttr.codecAttr = RkVencCodecAttr{outW, outH, outW, outH};
    a.rcAttr.dstFrameRateNum = 25;
    a.rcAttr.dstFrameRateDen = 1;
    return a;
}

inline int32_t bind(RkChnAddr src, RkChnAddr dst) {
    return RK_MPI_SYS_Bind(&src, &dst);
}

inline int32_t recv(int32_t chn, int32_t count) {
    const RkVencRecvPicParam p{count};
    return RK_MPI_VENC_StartRecvFrame(chn, &p);
}

struct Packet {
    std::vector<uint8_t> bytes;
    uint64_t timestampUs = 0;
    uint32_t frameNo = 0;
    int32_t modId = 0;
    int32_t chnId = 0;
};

inline Packet take(MEDIA_BUFFER mb) {
    Packet p;
    const auto* data = static_cast<const uint8_t*>(RK_MPI_MB_GetPtr(mb));
    p.bytes.assign(data, data + RK_MPI_MB_GetSize(mb));
    p.timestampUs = RK_MPI_MB_GetTimestamp(mb);
    p.frameNo = vcam_mb_frame_number(mb);
    p.modId = RK_MPI_MB_GetModeID(mb);
    p.chnId = RK_MPI_MB_GetChannelID(mb);
    EXPECT_EQ(RK_MPI_MB_ReleaseBuffer(mb), 0);
    return p;
}

// Takes `count` buffers of a channel, each waited for at most timeoutMs.
inline std::vector<Packet> collect(int32_t modId, int32_t chn, size_t count,
                                   int32_t timeoutMs = 3000) {
    std::vector<Packet> packets;
    while (packets.size() < count) {
        MEDIA_BUFFER mb = RK_MPI_SYS_GetMediaBuffer(modId, chn, timeoutMs);
        if (mb == nullptr) break;
        packets.push_back(take(mb));
    }
    return packets;
}

// Types of the NAL units of an Annex B picture; false when a start code is
// not four bytes long.
inline bool nal_types(const std::vector<uint8_t>& b, std::vector<int>* types) {
    types->clear();
    for (size_t i = 0; i + 3 < b.size(); ++i) {
        if (b[i] == 0 && b[i + 1] == 0 && b[i + 2] == 1) {
            if (i == 0 || b[i - 1] != 0) return false;
            types->push_back(b[i + 3] & 0x1F);
            i += 2;
        }
    }
    return true;
}

struct Picture {
    int width = 0;
    int height = 0;
    int stride = 0;
    std::vector<uint8_t> luma;
};

// Decodes the packets in order (one picture each) with libavcodec.
inline std::vector<Picture> decode(AVCodecID id, const std::vector<Packet>& packets) {
    std::vector<Picture> out;
    const AVCodec* codec = avcodec_find_decoder(id);
    AVCodecContext* ctx = avcodec_alloc_context3(codec);
    if (ctx == nullptr || avcodec_open2(ctx, codec, nullptr) < 0) {
        avcodec_free_context(&ctx);
        return out;
    }
    AVPacket* pkt = av_packet_alloc();
    AVFrame* frame = av_frame_alloc();
    auto receive = [&] {
        while (avcodec_receive_frame(ctx, frame) == 0) {
            Picture p;
            p.width = frame->width;
            p.height = frame->height;
            p.stride = frame->width;
            p.luma.resize(static_cast<size_t>(frame->width) * frame->height);
            for (int y = 0; y < frame->height; ++y) {
                memcpy(p.luma.data() + static_cast<size_t>(y) * frame->width,
                       frame->data[0] + y * frame->linesize[0], static_cast<size_t>(frame->width));
            }
            out.push_back(std::move(p));
            av_frame_unref(frame);
        }
    };
    for (const Packet& packet : packets) {
        av_new_packet(pkt, static_cast<int>(packet.bytes.size()));
        memcpy(pkt->data, packet.bytes.data(), packet.bytes.size());
        avcodec_send_packet(ctx, pkt);
        av_packet_unref(pkt);
        receive();
    }
    avcodec_send_packet(ctx, nullptr);
    receive();
    av_frame_free(&frame);
    av_packet_free(&pkt);
    avcodec_free_context(&ctx);
    return out;
}

inline double mean_luma(const uint8_t* luma, uint32_t stride, uint32_t w, uint32_t y0,
                        uint32_t y1) {
    uint64_t sum = 0;
    for (uint32_t y = y0; y < y1; ++y) {
        for (uint32_t x = 0; x < w; ++x) sum += luma[size_t{y} * stride + x];
    }
    return static_cast<double>(sum) / (static_cast<double>(w) * (y1 - y0));
}

// Polls a condition for at most `limit`.
template <typename F>
bool eventually(F condition, std::chrono::milliseconds limit = std::chrono::milliseconds(3000)) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
        if (condition()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return condition();
}

}  // namespace ptest
