// Mode, resolution and video-mode switching, and exposure and white balance,
// on the whole camera core with the simulated platform and its ISP model,
// driven by camera events and observed through notifications and the ISP's
// own attributes.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

#include "../../support/board_root_fixture.h"
#include "../../support/camera_notes.h"
#include "vps/vps_ae.h"
#include "vps/vps_ctx.h"
#include "vps/vps_event.h"
#include "vps/vps_isp.h"
#include "vps/vps_pipeline.h"
#include "vps/vps_switch.h"

namespace {

using namespace std::chrono_literals;

class SwitchExposureTest : public ::testing::Test {
protected:
    void SetUp() override {
        board.write("/sys/class/gpio/gpio18/value", "0\n");
        PLR_VPS_EvtReset();
        ASSERT_EQ(PLR_VPS_RegEvtCallback(CameraNotes::record), 0);
        PLR_VPS_Init();
    }
    void TearDown() override {
        PLR_VPS_Deinit();
        PLR_VPS_EvtReset();
        CameraNotes::clear();
    }
    // Posts an event and returns its answer (the next notification with its number).
    VpsEvt ask(uint32_t eventno, int32_t ival1 = -1, int32_t ival2 = -1) {
        VpsEvt answer{};
        EXPECT_TRUE(CameraNotes::ask(eventno, ival1, ival2, &answer))
            << "no answer to event " << eventno;
        return answer;
    }
    static rk_aiq_exp_sw_attr_t exposure() {
        rk_aiq_exp_sw_attr_t attr{};
        EXPECT_EQ(PLR_COMM_ISP_GetExpSwAttr(0, &attr), 0);
        return attr;
    }

    TempBoardRoot board{"/etc/iqfiles", "/tmp/SD0", "/sim", "/dev", "/usr/data"};
};

TEST_F(SwitchExposureTest, ModeAndResolutionSwitching) {
    VpsEvt answer = ask(VPS_EVT_MODE_SWITCH, VPS_MODE_PHOTO);
    EXPECT_EQ(answer.retCode, 0) << "switching to the current mode answers at once";
    EXPECT_EQ(answer.ival1, 0);

    g_vpsCtx.zoomPercent.store(150);
    answer = ask(VPS_EVT_MODE_SWITCH, VPS_MODE_RECORD);
    ASSERT_EQ(answer.retCode, 0);
    EXPECT_EQ(g_vpsCtx.vpsMode.load(), static_cast<uint32_t>(VPS_MODE_RECORD));
    EXPECT_EQ(g_vpsCtx.zoomPercent.load(), 0u);
    EXPECT_EQ(g_vpsCtx.recZoom.load(), 10);

    struct Case {
        uint32_t recState;
        int32_t res;
        int32_t fps;
        int32_t retCode;
    };
    const Case cases[] = {
        {MOV_ST_RECORDING, 6, 30, -1},  // busy recording
        {MOV_ST_IDLE, 6, 24, -1},       // frame rates are 25 or 30 only
        {MOV_ST_IDLE, 6, 60, -1},
        {MOV_ST_IDLE, 9, 30, -1},  // not a resolution id
        {MOV_ST_IDLE, 11, 25, -1},
        {MOV_ST_CLOSED, 6, 25, 0},  // the previous file is closed: accepted
        {MOV_ST_IDLE, 15, 30, 0},
    };
    for (const Case& c : cases) {
        g_vpsCtx.recMov.state.store(c.recState);
        answer = ask(VPS_EVT_RES_SET, c.res, c.fps);
        EXPECT_EQ(answer.retCode, c.retCode) << c.res << "/" << c.fps << " in state " << c.recState;
        if (c.retCode == 0) {
            EXPECT_EQ(answer.ival1, c.res);
            EXPECT_EQ(answer.ival2, c.fps);
            EXPECT_EQ(g_vpsCtx.recVenc.resId, static_cast<uint32_t>(c.res));
            EXPECT_EQ(g_vpsCtx.recVenc.dstFps, static_cast<uint32_t>(c.fps));
            EXPECT_EQ(g_vpsCtx.recVenc.vencAttr.rcAttr.bitRate,
                      PLR_COMM_VENC_GetBitrateByRes(c.res, c.fps));
        } else {
            EXPECT_EQ(answer.ival1, -1);
        }
    }
    g_vpsCtx.recMov.state.store(MOV_ST_IDLE);

    EXPECT_EQ(PLR_VPS_SetVideoMode(1), -1) << "video mode 1 does not exist";
    EXPECT_EQ(PLR_VPS_SetVideoMode(3), -1);

    answer = ask(VPS_EVT_MODE_SWITCH, VPS_MODE_PHOTO);
    ASSERT_EQ(answer.retCode, 0);
    EXPECT_EQ(g_vpsCtx.snapZoom.load(), 10);
}

TEST_F(SwitchExposureTest, ExposureCompensationStepsAndLimits) {
    VpsEvt answer{};
    for (int i = 0; i < 12; ++i) answer = ask(VPS_EVT_AE_ATTR_SET, 2, 0);
    EXPECT_EQ(answer.ival2, 9) << "EV up stops at 9";
    for (int i = 0; i < 20; ++i) answer = ask(VPS_EVT_AE_ATTR_SET, 2, 1);
    EXPECT_EQ(answer.ival2, -9) << "EV down stops at -9";
    answer = ask(VPS_EVT_AE_ATTR_SET, 2, 2);
    EXPECT_EQ(answer.ival2, 0);

    // ISO and shutter in automatic exposure: stored, answered, the ISP untouched.
    const float gainBefore = exposure().manual.gainValue;
    answer = ask(VPS_EVT_AE_ATTR_SET, 0, 7);
    EXPECT_EQ(answer.retCode, 0);
    EXPECT_EQ(g_vpsCtx.snapAe.iso.load(), 7u);
    EXPECT_FLOAT_EQ(exposure().manual.gainValue, gainBefore);

    // Manual exposure applies the stored ISO and shutter.
    answer = ask(VPS_EVT_AE_MODE_SET, 1);
    EXPECT_EQ(answer.retCode, 0);
    EXPECT_EQ(exposure().mode, RK_AIQ_OP_MODE_MANUAL);
    EXPECT_FLOAT_EQ(exposure().manual.gainValue, 5.0f);  // ISO index 7
    answer = ask(VPS_EVT_AE_ATTR_SET, 1, 21);
    EXPECT_NEAR(exposure().manual.timeValue, 1.0f / 60, 1e-6);
    ask(VPS_EVT_AE_MODE_SET, 0);
    EXPECT_EQ(exposure().mode, RK_AIQ_OP_MODE_AUTO);
}

TEST_F(SwitchExposureTest, MeteringPointLockAndWhiteBalance) {
    // A point at (0, 0) selects column and row 2: the square covers 0 to 4.
    VpsEvt answer = ask(VPS_EVT_AE_ROI_SET, 1, 0);
    EXPECT_EQ(answer.retCode, 0);
    rk_aiq_exp_sw_attr_t attr = exposure();
    EXPECT_EQ(attr.grid.weightOverride, 1);
    for (uint32_t r = 0; r < PLR_AE_GRID; ++r) {
        for (uint32_t c = 0; c < PLR_AE_GRID; ++c) {
            EXPECT_EQ(attr.grid.weights[r * PLR_AE_GRID + c], r <= 4 && c <= 4 ? 1 : 0)
                << r << "," << c;
        }
    }
    // Far corner of the 1280 x 720 live view: column and row 12, square 10 to 14.
    ask(VPS_EVT_AE_ROI_SET, 1, (1279 << 16) | 719);
    attr = exposure();
    EXPECT_EQ(attr.grid.weights[14 * PLR_AE_GRID + 14], 1);
    EXPECT_EQ(attr.grid.weights[9 * PLR_AE_GRID + 9], 0);

    answer = ask(VPS_EVT_AE_ROI_SET, 2, 1 << 16);
    EXPECT_EQ(answer.ival2, 1);
    EXPECT_EQ(exposure().enable, 0) << "exposure locked";
    ask(VPS_EVT_AE_ROI_SET, 0, 0);
    attr = exposure();
    EXPECT_EQ(attr.enable, 1);
    EXPECT_EQ(attr.grid.weightOverride, 0);

    struct Case {
        int32_t mode;
        int32_t value;
        int32_t stored;
        rk_aiq_op_mode_t isp;
    };
    for (const Case& c :
         {Case{0, 10, 20, RK_AIQ_OP_MODE_MANUAL}, Case{0, 150, 99, RK_AIQ_OP_MODE_MANUAL},
          Case{0, 55, 55, RK_AIQ_OP_MODE_MANUAL}, Case{1, 30, 30, RK_AIQ_OP_MODE_AUTO}}) {
        answer = ask(VPS_EVT_CCT_SET, c.mode, c.value);
        EXPECT_EQ(answer.retCode, 0);
        EXPECT_EQ(answer.ival2, c.stored) << c.value;
        EXPECT_EQ(g_vpsCtx.cct.load(), c.stored);
        rk_aiq_wb_attrib_t wb{};
        ASSERT_EQ(PLR_COMM_ISP_GetAwbAttr(0, &wb), 0);
        EXPECT_EQ(wb.mode, c.isp);
        if (c.mode == 0) {
            EXPECT_FLOAT_EQ(wb.manual.cct.cct, static_cast<float>(c.stored) * 100);
        }
    }
    EXPECT_EQ(ask(VPS_EVT_DN_MODE_SET, 1).retCode, -1) << "day/night switching is not supported";
}

}  // namespace
