// The ISP model: exposure and white balance that follow the settings and
// show in the pictures.
#include <filesystem>

#include "platform/isp.h"
#include "platform_test_util.h"
#include "scene.h"

using namespace ptest;

namespace {

rk_aiq_sys_ctx_t* start_engine(float fps) {
    rk_aiq_static_info_t info{};
    if (rk_aiq_uapi_sysctl_enumStaticMetas(0, &info) != 0) return nullptr;
    rk_aiq_sys_ctx_t* ctx =
        rk_aiq_uapi_sysctl_init(info.sensorInfo.sensorName, "/etc/iqfiles", nullptr, nullptr);
    if (ctx == nullptr) return nullptr;
    rk_aiq_exp_sw_attr_t exp{};
    if (rk_aiq_uapi_sysctl_prepare(ctx, 3840, 2160, RK_AIQ_WORKING_MODE_NORMAL) != 0 ||
        rk_aiq_user_api_ae_getExpSwAttr(ctx, &exp) != 0) {
        rk_aiq_uapi_sysctl_deinit(ctx);
        return nullptr;
    }
    exp.frameRate.isFpsFix = 1;
    exp.frameRate.fpsValue = fps;
    exp.maxExpTime.enable = 1;
    exp.maxExpTime.maxTime = 1.0f / fps;
    if (rk_aiq_user_api_ae_setExpSwAttr(ctx, exp) != 0 || rk_aiq_uapi_sysctl_start(ctx) != 0) {
        rk_aiq_uapi_sysctl_deinit(ctx);
        return nullptr;
    }
    return ctx;
}

void stop_engine(rk_aiq_sys_ctx_t* ctx) {
    EXPECT_EQ(rk_aiq_uapi_sysctl_stop(ctx, 0), 0);
    rk_aiq_uapi_sysctl_deinit(ctx);
}

// Mean luma of the scene below the pattern in the next picture of VI channel 2.
double scene_luma() {
    // Skip pictures rendered before the last change.
    collect(RK_MOD_VI, 2, 3, 1000);
    const std::vector<Packet> p = collect(RK_MOD_VI, 2, 1, 1000);
    if (p.empty()) return -1.0;
    return mean_luma(p[0].bytes.data(), 320, 320, vsim::pattern_band_rows(180), 180);
}

}  // namespace

TEST_F(PlatformTest, IspEngineNeedsTheIqDirectory) {
    std::filesystem::remove_all(root_.path() + "/etc/iqfiles");
    EXPECT_EQ(rk_aiq_uapi_sysctl_init("vsensor0", "/etc/iqfiles", nullptr, nullptr), nullptr);
    std::filesystem::create_directories(root_.path() + "/etc/iqfiles");
    rk_aiq_sys_ctx_t* ctx = rk_aiq_uapi_sysctl_init("vsensor0", "/etc/iqfiles", nullptr, nullptr);
    ASSERT_NE(ctx, nullptr);
    // One engine per camera.
    EXPECT_EQ(rk_aiq_uapi_sysctl_init("vsensor0", "/etc/iqfiles", nullptr, nullptr), nullptr);
    EXPECT_EQ(rk_aiq_uapi_sysctl_start(ctx), RK_AIQ_RET_STATE);  // not prepared yet
    rk_aiq_uapi_sysctl_deinit(ctx);
    rk_aiq_static_info_t info{};
    EXPECT_EQ(rk_aiq_uapi_sysctl_enumStaticMetas(2, &info), RK_AIQ_RET_PARAM);
}

TEST_F(PlatformTest, ExposureFollowsTheSettingsAndShowsInThePicture) {
    rk_aiq_sys_ctx_t* ctx = start_engine(25.0f);
    ASSERT_NE(ctx, nullptr);
    open_vi(0, 2, 320, 180);
    ASSERT_EQ(RK_MPI_SYS_StartGetMediaBuffer(RK_MOD_VI, 2), 0);

    // The sensor runs at the ISP's frame rate.
    const std::vector<Packet> frames = collect(RK_MOD_VI, 2, 6);
    ASSERT_EQ(frames.size(), 6u);
    EXPECT_NEAR(static_cast<double>(frames.back().timestampUs - frames.front().timestampUs) /
                    (frames.back().frameNo - frames.front().frameNo),
                40000.0, 3000.0);

    rk_aiq_exp_res_info_t res{};
    ASSERT_EQ(rk_aiq_user_api_ae_queryExpResInfo(ctx, &res), 0);
    EXPECT_LE(res.integrationTime, 1.0f / 25.0f + 1e-6f);
    EXPECT_GE(res.analogGain, 1.0f);
    EXPECT_NEAR(res.lumaDeviation, 0.0f, 0.05f);
    EXPECT_FLOAT_EQ(res.fps, 25.0f);
    const double autoLuma = scene_luma();

    struct Case {
        float time, gain;
        bool brighter;
    };
    for (const Case c : {Case{0.02f, 4.0f, true}, Case{0.001f, 1.0f, false}}) {
        rk_aiq_exp_sw_attr_t exp{};
        ASSERT_EQ(rk_aiq_user_api_ae_getExpSwAttr(ctx, &exp), 0);
        exp.mode = RK_AIQ_OP_MODE_MANUAL;
        exp.manual = rk_aiq_ae_manual_t{1, 1, c.time, c.gain};
        ASSERT_EQ(rk_aiq_user_api_ae_setExpSwAttr(ctx, exp), 0);
        ASSERT_EQ(rk_aiq_user_api_ae_queryExpResInfo(ctx, &res), 0);
        EXPECT_FLOAT_EQ(res.integrationTime, c.time);
        EXPECT_FLOAT_EQ(res.analogGain, c.gain);
        EXPECT_EQ(res.lumaDeviation > 0.0f, c.brighter);
        const double luma = scene_luma();
        if (c.brighter) {
            EXPECT_GT(luma, autoLuma + 30.0);
        } else {
            EXPECT_LT(luma, autoLuma - 30.0);
        }
    }
    // Locked exposure holds the last result whatever the settings say.
    rk_aiq_exp_sw_attr_t exp{};
    ASSERT_EQ(rk_aiq_user_api_ae_getExpSwAttr(ctx, &exp), 0);
    exp.enable = 0;
    exp.manual.gainValue = 8.0f;
    ASSERT_EQ(rk_aiq_user_api_ae_setExpSwAttr(ctx, exp), 0);
    ASSERT_EQ(rk_aiq_user_api_ae_queryExpResInfo(ctx, &res), 0);
    EXPECT_FLOAT_EQ(res.analogGain, 1.0f);
    exp.frameRate = rk_aiq_ae_frame_rate_t{1, 0.0f};
    EXPECT_EQ(rk_aiq_user_api_ae_setExpSwAttr(ctx, exp), RK_AIQ_RET_PARAM);

    stop_engine(ctx);
}

TEST_F(PlatformTest, WhiteBalanceReportsTheColourTemperature) {
    rk_aiq_sys_ctx_t* ctx = start_engine(30.0f);
    ASSERT_NE(ctx, nullptr);
    rk_aiq_wb_cct_t cct{};
    ASSERT_EQ(rk_aiq_user_api_awb_GetCCT(ctx, &cct), 0);
    EXPECT_GT(cct.cct, 5000.0f);  // the simulated daylight
    EXPECT_LT(cct.cct, 6000.0f);
    rk_aiq_wb_attrib_t wb{};
    ASSERT_EQ(rk_aiq_user_api_awb_GetAttrib(ctx, &wb), 0);
    EXPECT_EQ(wb.mode, RK_AIQ_OP_MODE_AUTO);
    wb.mode = RK_AIQ_OP_MODE_MANUAL;
    wb.manual.mode = RK_AIQ_MWB_MODE_CCT;
    wb.manual.cct = rk_aiq_wb_cct_t{2000.0f, -0.001112f};
    ASSERT_EQ(rk_aiq_user_api_awb_SetAttrib(ctx, wb), 0);
    ASSERT_EQ(rk_aiq_user_api_awb_GetCCT(ctx, &cct), 0);
    EXPECT_FLOAT_EQ(cct.cct, 2000.0f);
    EXPECT_FLOAT_EQ(cct.ccri, -0.001112f);
    wb.manual.cct.cct = 100.0f;
    EXPECT_EQ(rk_aiq_user_api_awb_SetAttrib(ctx, wb), RK_AIQ_RET_PARAM);
    stop_engine(ctx);
}
