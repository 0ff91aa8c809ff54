// The record stream callback's decisions: key-frame resynchronisation after a
// loss and the adaptive bitrate, on a real (small) record encoder channel of
// the simulated platform and a recorder queue filled by the test.
#include <gtest/gtest.h>

#include <vector>

#include "encoded_buffer.h"
#include "mov/frame_queue.h"
#include "mov/mm_pool.h"
#include "platform/media.h"
#include "vps/vps_ctx.h"
#include "vps/vps_pipeline.h"
#include "vps/vps_record.h"
#include "vps/vps_stream.h"
#include "vps/vps_switch.h"

namespace {

constexpr uint32_t kFrameBytes = 100000;
const std::vector<uint8_t> kPFrame = [] {
    std::vector<uint8_t> f(kFrameBytes, 0x55);
    f[0] = 0, f[1] = 0, f[2] = 0, f[3] = 1, f[4] = 0x41;  // non-IDR slice
    return f;
}();
const std::vector<uint8_t> kKeyFrame = [] {
    std::vector<uint8_t> f = kPFrame;
    f[4] = 0x67;  // SPS first
    return f;
}();

class RecordCallbackTest : public ::testing::Test {
protected:
    void SetUp() override {
        MM_POOL_Reset();
        MM_POOL_CFG_S cfg{};
        cfg.classCnt = 1;
        cfg.classes[0] = {kFrameBytes, 200};
        ASSERT_EQ(MM_POOL_Init(&cfg), 0);
        PLR_VPS_ConfigInit();
        ASSERT_EQ(RK_MPI_SYS_Init(), RK_SUCCESS);
        // A small stand-in for the record encoder: only its bitrate is used.
        VpsVencChn& rec = g_vpsCtx.recVenc;
        rec.vencAttr.vencAttr.picWidth = rec.vencAttr.vencAttr.virWidth = 320;
        rec.vencAttr.vencAttr.picHeight = rec.vencAttr.vencAttr.virHeight = 240;
        ASSERT_EQ(RK_MPI_VENC_CreateChn(static_cast<int32_t>(rec.vencChn), &rec.vencAttr),
                  RK_SUCCESS);
        PLR_MOV_FrameQueueInit(&g_vpsCtx.recMov.queue);
        g_vpsCtx.recMov.gop.store(30);
        PLR_VPS_RecStreamReset();
    }
    void TearDown() override {
        PLR_MOV_FrameQueueClear(&g_vpsCtx.recMov.queue);
        RK_MPI_VENC_DestroyChn(static_cast<int32_t>(g_vpsCtx.recVenc.vencChn));
        MM_POOL_Reset();
    }
    void fill_queue(int32_t frames) {
        for (int32_t i = 0; i < frames; ++i) {
            ASSERT_EQ(PLR_MOV_FrameQueuePush(&g_vpsCtx.recMov.queue, kPFrame.data(), kFrameBytes),
                      0);
        }
    }
    int32_t queued() const { return g_vpsCtx.recMov.queue.count.load(); }
    static int32_t bitrate() { return PLR_VPS_VENC_GetBitrate(PLR_BITRATE_RECORD); }
};

TEST_F(RecordCallbackTest, AdaptiveBitrateDecisions) {
    struct Case {
        const char* what;
        int32_t queuedBefore;  // frames already waiting
        uint32_t measured;     // the muxer's measured bitrate (bw)
        int frames;            // frames offered
        int32_t before;        // record bitrate before
        int32_t expected;      // record bitrate afterwards
    };
    constexpr int32_t kQueuedBytes = 30 * static_cast<int32_t>(kFrameBytes);
    const Case cases[] = {
        // A short queue raises to bw + 2 Mbit/s on every 30th frame queued, not before.
        {"short queue, 29 frames", 0, 20000000, 29, 10000000, 10000000},
        {"short queue, 30th frame", 0, 20000000, 30, 10000000, 22000000},
        {"nothing measured yet", 0, 0, 30, 10000000, 10000000},
        // The encoder gave less than its rate (a host that skips pictures, a
        // plain scene) while the card kept up: that is no reason to lower it.
        {"short queue, less measured than set", 0, 20000000, 30, 100000000, 100000000},
        {"short queue, not past the highest", 0, 99000000, 30, 90000000, 90000000},
        // A long queue lowers to bw - queued bytes per GOP on every 5th frame.
        {"long queue, 4 frames", 30, 20000000, 4, 100000000, 100000000},
        {"long queue, 5th frame", 30, 20000000, 5, 100000000, 20000000 - kQueuedBytes},
        {"over 50 queued, every frame", 60, 20000000, 1, 100000000, 20000000 - kQueuedBytes},
        // Below 10 Mbit/s the highest record bitrate is computed: no change.
        {"estimate below the floor", 60, 9000000, 1, 100000000, 100000000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TearDown();
        SetUp();
        ASSERT_EQ(PLR_VPS_VENC_SetBitrate(PLR_BITRATE_RECORD, static_cast<uint32_t>(c.before)), 0);
        fill_queue(c.queuedBefore);
        g_vpsCtx.recMov.bitrate.store(c.measured);
        for (int i = 0; i < c.frames; ++i) {
            PLR_VPS_RecQueueFrame(kPFrame.data(), kFrameBytes);
            // Keep the queue length steady: the muxer takes what was queued.
            while (queued() > c.queuedBefore)
                PLR_MOV_FrameFree(PLR_MOV_FrameQueuePop(&g_vpsCtx.recMov.queue));
        }
        EXPECT_EQ(bitrate(), c.expected);
    }
}

TEST_F(RecordCallbackTest, LossWaitsForAKeyFrame) {
    fill_queue(149);
    PLR_VPS_RecQueueFrame(kPFrame.data(), kFrameBytes);
    EXPECT_EQ(queued(), 149) << "dropped at 149";
    while (queued() > 0) PLR_MOV_FrameFree(PLR_MOV_FrameQueuePop(&g_vpsCtx.recMov.queue));

    PLR_VPS_RecQueueFrame(kPFrame.data(), kFrameBytes);
    EXPECT_EQ(queued(), 0) << "a predicted frame after a loss is dropped";
    PLR_VPS_RecQueueFrame(kKeyFrame.data(), kFrameBytes);
    EXPECT_EQ(queued(), 1) << "the key frame resynchronises";
    PLR_VPS_RecQueueFrame(kPFrame.data(), kFrameBytes);
    EXPECT_EQ(queued(), 2);
}

TEST_F(RecordCallbackTest, LiveViewCopyWaitsForAKeyFrameAfterALoss) {
    MovCtx& copy = g_vpsCtx.fpvMov;
    PLR_MOV_FrameQueueInit(&copy.queue);
    g_vpsCtx.recRunning.store(1);
    g_vpsCtx.recMov.state.store(MOV_ST_RECORDING);
    constexpr size_t kSize = 1000;
    auto offer = [&](const std::vector<uint8_t>& frame) {
        MEDIA_BUFFER mb = encoded_buffer(frame.data(), kSize);
        ASSERT_NE(mb, nullptr);
        PLR_VPS_FPVStreamCb(mb);
    };
    while (PLR_MOV_FrameQueuePush(&copy.queue, kPFrame.data(), kSize) == 0) {
    }
    const int32_t full = copy.queue.count.load();
    offer(kPFrame);
    EXPECT_EQ(copy.queue.count.load(), full) << "refused by a full queue";
    PLR_MOV_FrameQueueClear(&copy.queue);

    offer(kPFrame);
    EXPECT_EQ(copy.queue.count.load(), 0) << "a predicted frame after a loss is dropped";
    offer(kKeyFrame);
    EXPECT_EQ(copy.queue.count.load(), 1) << "the key frame resynchronises";
    offer(kPFrame);
    EXPECT_EQ(copy.queue.count.load(), 2);

    PLR_MOV_FrameQueueClear(&copy.queue);
    g_vpsCtx.recMov.state.store(MOV_ST_IDLE);
    g_vpsCtx.recRunning.store(0);
}

TEST(BitrateRangeTest, LimitsPerComponent) {
    ASSERT_EQ(RK_MPI_SYS_Init(), RK_SUCCESS);
    PLR_VPS_ConfigInit();
    for (VpsVencChn* venc : {&g_vpsCtx.fpvVenc, &g_vpsCtx.recVenc}) {
        venc->vencAttr.vencAttr.picWidth = venc->vencAttr.vencAttr.virWidth = 320;
        venc->vencAttr.vencAttr.picHeight = venc->vencAttr.vencAttr.virHeight = 240;
        ASSERT_EQ(RK_MPI_VENC_CreateChn(static_cast<int32_t>(venc->vencChn), &venc->vencAttr),
                  RK_SUCCESS);
    }
    struct Case {
        uint32_t component;
        uint32_t bitrate;
        bool accepted;
    };
    for (const Case& c :
         {Case{0, 512000, true}, Case{0, 1024000, true}, Case{0, 511999, false},
          Case{0, 1024001, false}, Case{1, 10000000, true}, Case{1, 100000000, true},
          Case{1, 9999999, false}, Case{1, 100000001, false}, Case{2, 1000000, false}}) {
        EXPECT_EQ(PLR_VPS_VENC_SetBitrate(c.component, c.bitrate) == 0, c.accepted)
            << c.component << " " << c.bitrate;
        if (c.accepted) {
            EXPECT_EQ(PLR_VPS_VENC_GetBitrate(c.component), static_cast<int32_t>(c.bitrate));
        }
    }
    EXPECT_EQ(PLR_VPS_VENC_GetBitrate(2), -1);
    for (VpsVencChn* venc : {&g_vpsCtx.fpvVenc, &g_vpsCtx.recVenc})
        RK_MPI_VENC_DestroyChn(static_cast<int32_t>(venc->vencChn));
}

TEST(BitrateTableTest, ByResolution) {
    EXPECT_EQ(PLR_COMM_VENC_GetBitrateByRes(5, 30), 20000000u);
    EXPECT_EQ(PLR_COMM_VENC_GetBitrateByRes(6, 25), 50000000u);
    EXPECT_EQ(PLR_COMM_VENC_GetBitrateByRes(14, 30), 70000000u);
    EXPECT_EQ(PLR_COMM_VENC_GetBitrateByRes(15, 30), 100000000u);
    EXPECT_EQ(PLR_VPS_FramerateCheck(25), 0);
    EXPECT_EQ(PLR_VPS_FramerateCheck(30), 0);
    EXPECT_EQ(PLR_VPS_FramerateCheck(24), -1);
    EXPECT_EQ(PLR_VPS_FramerateCheck(60), -1);
}

}  // namespace
