// Digital zoom and video time-lapse on the whole camera core with the
// simulated platform: the RGA crops the zoom applies, its limits and status
// item, and a time-lapse file whose frames are the selected key frames.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "../../support/board_root_fixture.h"
#include "../../support/camera_notes.h"
#include "core/trace_log.h"
#include "vcam.h"
#include "video_probe.h"
#include "vps/vps_ctx.h"
#include "vps/vps_event.h"
#include "vps/vps_pipeline.h"
#include "vps/vps_switch.h"
#include "vps/vps_tlapse.h"
#include "vps/vps_zoom.h"

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

RkRgaAttr rga_of(const VpsVencChn& venc) {
    RkRgaAttr attr{};
    EXPECT_EQ(RK_MPI_RGA_GetChnAttr(venc.rgaChn.chnId, &attr), 0);
    return attr;
}

TEST(ZoomCropTest, CentredCropWithinLimits) {
    RkRgaAttr full{};
    full.imgIn = {0, 0, 0, 3840, 2160, 3840, 2160};
    full.imgOut = full.imgIn;
    struct Case {
        uint32_t percent;
        RkRgaAttr from;
        uint32_t x, y, w, h;
    };
    RkRgaAttr half = full;
    half.imgIn = {0, 960, 540, 1920, 1080, 1920, 1080};
    const Case cases[] = {
        {100, full, 0, 0, 3840, 2160},
        {101, full, 20, 12, 3800, 2136},    // multiples of 4, same aspect
        {200, full, 960, 540, 1920, 1080},  // twice the scale, centred
        {300, full, 1280, 720, 1280, 720},  // a third of the output
        {400, full, 1280, 720, 1280, 720},  // no smaller than a third of the crop in place
        {400, half, 1440, 810, 960, 540},   // a third of a 2x crop is 6x: 4x stands
        {50, full, 0, 0, 3840, 2160},       // never larger than the output
    };
    for (const Case& c : cases) {
        RkRgaAttr out{};
        PLR_VPS_ZoomCrop(c.from, c.percent, &out);
        EXPECT_EQ(out.imgIn.x, c.x) << c.percent;
        EXPECT_EQ(out.imgIn.y, c.y) << c.percent;
        EXPECT_EQ(out.imgIn.width, c.w) << c.percent;
        EXPECT_EQ(out.imgIn.height, c.h) << c.percent;
        EXPECT_EQ(out.imgIn.horStride, c.w) << c.percent;
        EXPECT_EQ(out.imgIn.virStride, c.h) << c.percent;
        EXPECT_EQ(out.imgOut.width, 3840u) << "the output size stays";
    }
}

class ZoomTlapseTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_NO_FATAL_FAILURE(camera_core_start_with_card(board)); }
    void TearDown() override {
        PLR_VPS_Deinit();
        PLR_VPS_EvtReset();
        plr_trace_log_reset();
    }
    static VpsEvt ask(uint32_t eventno, int32_t ival1 = -1, int32_t ival2 = -1) {
        VpsEvt answer{};
        EXPECT_TRUE(CameraNotes::ask(eventno, ival1, ival2, &answer)) << eventno;
        return answer;
    }
    // The zoom item of the next configuration report.
    static int32_t reported_zoom() {
        const size_t before = CameraNotes::count(VPS_EVT_CFG_QUERY);
        PLR_VPS_SendEvent(VPS_EVT_CFG_QUERY);
        EXPECT_TRUE(CameraNotes::wait(VPS_EVT_CFG_QUERY, before + 10));
        int32_t zoom = -1;
        for (const VpsEvt& e : CameraNotes::of(VPS_EVT_CFG_QUERY)) {
            if (e.retCode == VPS_STA_ZOOM) zoom = e.ival1;
        }
        return zoom;
    }

    TempBoardRoot board{"/etc/iqfiles", "/tmp/SD0", "/sim/card", "/dev", "/usr/data"};
};

TEST_F(ZoomTlapseTest, ZoomStepsLimitsAndReport) {
    ASSERT_EQ(ask(VPS_EVT_MODE_SWITCH, VPS_MODE_PHOTO).retCode, 0);
    struct Step {
        uint32_t event;
        int32_t value;
        int32_t retCode;
        int32_t tenths;
        uint32_t percent;  // zoomPercent afterwards
    };
    const Step steps[] = {
        {VPS_EVT_ZOOM_OUT, -1, -1, -1, 100},  // 1.0x: nothing to zoom out of
        {VPS_EVT_ZOOM_IN, -1, 0, 10, 101},    // one percent in, still 1.0x in tenths
        {VPS_EVT_ZOOM_SET, 200, 0, 20, 200}, {VPS_EVT_ZOOM_SET, 200, 0, 20, 200},  // there already
        {VPS_EVT_ZOOM_SET, 400, 0, 30, 400},  // cropped at the limit, reported 3.0x
        {VPS_EVT_ZOOM_IN, -1, -1, -1, 400},   // 3.0x: no further
        {VPS_EVT_ZOOM_SET, 0, 0, 10, 100},    // 0 means 1x
        {VPS_EVT_ZOOM_SET, -5, -1, -1, 100},
    };
    for (const Step& s : steps) {
        const VpsEvt answer = ask(s.event, s.value);
        EXPECT_EQ(answer.retCode, s.retCode) << s.event << " " << s.value;
        EXPECT_EQ(answer.ival1, s.tenths) << s.event << " " << s.value;
        EXPECT_EQ(g_vpsCtx.zoomPercent.load(), s.percent) << s.event << " " << s.value;
    }

    // 2.0x crops the live view and the JPEG path to their centre halves.
    ASSERT_EQ(ask(VPS_EVT_ZOOM_SET, 200).ival1, 20);
    for (const VpsVencChn* venc : {&g_vpsCtx.fpvVenc, &g_vpsCtx.snapVenc}) {
        const RkRgaAttr attr = rga_of(*venc);
        EXPECT_EQ(attr.imgIn.width * 2, attr.imgOut.width);
        EXPECT_EQ(attr.imgIn.height * 2, attr.imgOut.height);
        EXPECT_EQ(attr.imgIn.x, attr.imgOut.width / 4);
        EXPECT_EQ(attr.imgIn.y, attr.imgOut.height / 4);
    }
    EXPECT_EQ(reported_zoom(), 20);

    // Record mode zooms only in zoom video mode.
    ASSERT_EQ(ask(VPS_EVT_MODE_SWITCH, VPS_MODE_RECORD).retCode, 0);
    EXPECT_EQ(reported_zoom(), 10);
    EXPECT_EQ(ask(VPS_EVT_ZOOM_SET, 200).retCode, -1);
    ASSERT_EQ(ask(VPS_EVT_ATTR_SET, 9, 2).retCode, 0);  // video mode zoom
    EXPECT_EQ(ask(VPS_EVT_ZOOM_SET, 200).ival1, 20);
    const RkRgaAttr rec = rga_of(g_vpsCtx.recVenc);
    EXPECT_EQ(rec.imgIn.width * 2, rec.imgOut.width);
    EXPECT_EQ(reported_zoom(), 20);
}

// Frames the camera and the record encoder lost on a busy machine.
uint64_t platform_drops() {
    return vcam_dropped_frames(RK_MOD_VI, 0, 0) +
           vcam_dropped_frames(RK_MOD_VENC, 0, static_cast<int32_t>(g_vpsCtx.recVenc.vencChn));
}

// Sensor frame numbers of the pictures in the time-lapse file.
std::vector<int64_t> tl_frames(const TempBoardRoot& board, std::string* name) {
    for (const auto& entry : fs::directory_iterator(board.path("/sim/card/PLRMEDIA/VIDEO"))) {
        const std::string file = entry.path().filename().string();
        if (file.size() > 7 && file.substr(file.size() - 7) == "_TL.MP4") {
            *name = file;
            return probe_video(entry.path().string(), true).frameNumbers;
        }
    }
    return {};
}

TEST_F(ZoomTlapseTest, VideoTimeLapseKeepsEverySecondKeyFrameAndSkipsThePause) {
    ASSERT_EQ(ask(VPS_EVT_MODE_SWITCH, VPS_MODE_RECORD).retCode, 0);
    // A small picture keeps the minute of recording cheap.
    ASSERT_EQ(ask(VPS_EVT_RES_SET, 5, 25).retCode, 0);

    const uint64_t dropsBefore = platform_drops();
    // Refused silently: interval or duration 0.
    EXPECT_EQ(CameraNotes::count(VPS_EVT_TIMELAPSE), 0u);
    PLR_VPS_SendEvent2(VPS_EVT_TIMELAPSE, VPS_TLAPSE_START, PLR_VPS_TlapseParams(0, 1));
    PLR_VPS_SendEvent2(VPS_EVT_TIMELAPSE, VPS_TLAPSE_START, PLR_VPS_TlapseParams(2, 0));

    // Interval 2, one second of finished video: 25 frames, one every second key frame.
    VpsEvt answer = ask(VPS_EVT_TIMELAPSE, VPS_TLAPSE_START, PLR_VPS_TlapseParams(2, 1));
    ASSERT_EQ(answer.retCode, 0);
    EXPECT_EQ(answer.ival1, VPS_TLAPSE_START);
    // The refused starts said nothing: every answer so far is the start's
    // (the recorder repeats it once its file is open).
    for (const VpsEvt& e : CameraNotes::of(VPS_EVT_TIMELAPSE)) {
        EXPECT_EQ(e.retCode, 0);
        EXPECT_EQ(e.ival1, VPS_TLAPSE_START);
    }
    ASSERT_TRUE(CameraNotes::wait(VPS_EVT_REC_START, 1));

    // Pause, then a start resumes it without a new recording.
    const size_t before = CameraNotes::count(VPS_EVT_TIMELAPSE);
    std::this_thread::sleep_for(6s);
    answer = ask(VPS_EVT_TIMELAPSE, VPS_TLAPSE_PAUSE);
    EXPECT_EQ(answer.ival2, 1) << "paused";
    const uint32_t pausedAt = vcam_sensor_frame_number(0);
    std::this_thread::sleep_for(8s);
    const uint32_t resumedAt = vcam_sensor_frame_number(0);
    answer = ask(VPS_EVT_TIMELAPSE, VPS_TLAPSE_START, PLR_VPS_TlapseParams(2, 1));
    EXPECT_EQ(answer.retCode, 0);
    EXPECT_EQ(answer.ival2, 0) << "resumed, not restarted";
    EXPECT_EQ(CameraNotes::count(VPS_EVT_REC_START), 1u);
    EXPECT_GE(CameraNotes::count(VPS_EVT_TIMELAPSE), before + 2);

    // It ends by itself at the duration and says so.
    ASSERT_TRUE(wait_until(
        [] {
            for (const VpsEvt& e : CameraNotes::of(VPS_EVT_TIMELAPSE))
                if (e.ival1 == VPS_TLAPSE_STOP) return true;
            return false;
        },
        120s));
    ASSERT_TRUE(wait_until([] { return PLR_VPS_RecState() == MOV_ST_IDLE; }));
    EXPECT_GE(CameraNotes::count(VPS_EVT_REC_STOP), 1u);
    EXPECT_EQ(g_vpsCtx.recMov.tlapse.active.load(), 0u);

    const uint64_t lost = platform_drops() - dropsBefore;
    std::string name;
    const std::vector<int64_t> frames = tl_frames(board, &name);
    ASSERT_EQ(frames.size(), 25u) << name;
    const int64_t keyGap = 25;  // key frames come once a second at 25 frames/s
    for (size_t i = 1; i < frames.size(); ++i) {
        ASSERT_GE(frames[i], 0) << i;
        const int64_t gap = frames[i] - frames[i - 1];
        // Every second key frame; a machine too busy to keep real time
        // lengthens the gaps by the frames the platform lost.
        if (lost == 0) {
            EXPECT_EQ(gap % (2 * keyGap), 0) << "every second key frame: " << i << " gap " << gap;
        }
        EXPECT_GE(gap, 2 * keyGap) << i;
        // Nothing from the paused time (a key frame of slack for frames in flight).
        EXPECT_FALSE(frames[i] > int64_t{pausedAt} + keyGap && frames[i] + keyGap < resumedAt)
            << frames[i] << " lies in the pause " << pausedAt << ".." << resumedAt;
    }
}

}  // namespace
