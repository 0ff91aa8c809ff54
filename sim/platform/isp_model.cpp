// ISP model behind the rk_aiq_* calls: one engine per camera with exposure
// and white-balance attributes. Exposure results follow the settings and a
// slowly changing scene light; the virtual sensor renders the brightness and
// colour cast the model computes.
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <mutex>
#include <string>

#include "board/board.h"
#include "internal.h"
#include "platform/isp.h"

struct rk_aiq_sys_ctx_s {
    uint32_t camera = 0;
    enum class State { Initialised, Prepared, Running, Stopped } state = State::Initialised;
    uint8_t fecEnable = 0;
    uint32_t width = 0;
    uint32_t height = 0;
    rk_aiq_working_mode_t workingMode = RK_AIQ_WORKING_MODE_NORMAL;
    rk_aiq_exp_sw_attr_t exp{};
    rk_aiq_lin_exp_attr_t lin{};
    rk_aiq_wb_attrib_t awb{};
    float heldTime = 0.01f;  // exposure kept while the engine is disabled
    float heldGain = 1.0f;
};

namespace vsim {
namespace {

constexpr double kTwoPi = 6.283185307179586;
constexpr float kBaseExposure = 0.01f;  // seconds x gain giving brightness 1 at light 1
constexpr float kDefaultTarget = 34.0f;

std::mutex g_ispMutex;  // guards the engines and their attributes
std::array<rk_aiq_sys_ctx_t*, kCameras> g_engines{};

rk_aiq_exp_sw_attr_t default_exp_attr() {
    rk_aiq_exp_sw_attr_t a{};
    a.enable = 1;
    a.mode = RK_AIQ_OP_MODE_AUTO;
    a.manual = rk_aiq_ae_manual_t{0, 0, kBaseExposure, 1.0f};
    a.frameRate = rk_aiq_ae_frame_rate_t{0, 30.0f};
    a.maxExpTime = rk_aiq_ae_time_limit_t{0, 1.0f / 30.0f};
    a.grid.weightOverride = 0;
    std::fill(std::begin(a.grid.weights), std::end(a.grid.weights), uint8_t{1});
    return a;
}

void reset_attrs(rk_aiq_sys_ctx_t* ctx) {
    ctx->exp = default_exp_attr();
    ctx->lin = rk_aiq_lin_exp_attr_t{kDefaultTarget, 25.0f, 1};
    ctx->awb.mode = RK_AIQ_OP_MODE_AUTO;
    ctx->awb.manual.mode = RK_AIQ_MWB_MODE_CCT;
    ctx->awb.manual.cct = rk_aiq_wb_cct_t{5000.0f, 0.0f};
}

double scene_light(uint32_t frameNo) {
    return 1.0 + 0.15 * std::sin(kTwoPi * frameNo / 1800.0);
}
double scene_cct(uint32_t frameNo) {
    return 5500.0 + 400.0 * std::sin(kTwoPi * frameNo / 2400.0);
}

struct Exposure {
    float fps;
    float time;
    float gain;
    float brightness;  // rendered brightness relative to the nominal picture
    float deviation;   // EV thirds / 10 off the target
};

// Exposure of the camera for a frame; updates the held values. Caller holds g_ispMutex.
Exposure compute_exposure(rk_aiq_sys_ctx_t* ctx, uint32_t frameNo) {
    const rk_aiq_exp_sw_attr_t& a = ctx->exp;
    Exposure e{};
    e.fps = (a.frameRate.isFpsFix != 0 && a.frameRate.fpsValue > 0.0f)
                ? std::clamp(a.frameRate.fpsValue, 1.0f, 120.0f)
                : 30.0f;
    const float frameTime = 1.0f / e.fps;
    const float maxTime = a.maxExpTime.enable != 0 && a.maxExpTime.maxTime > 0.0f
                              ? std::min(a.maxExpTime.maxTime, frameTime)
                              : frameTime;
    const float light = static_cast<float>(scene_light(frameNo));
    const float wanted = std::clamp(ctx->lin.targetLuma / kDefaultTarget, 0.25f, 4.0f);
    if (a.enable == 0) {
        e.time = ctx->heldTime;
        e.gain = ctx->heldGain;
    } else {
        const float needed = kBaseExposure * wanted / light;
        e.time = std::min(needed, maxTime);
        e.gain = std::clamp(needed / e.time, 1.0f, 16.0f);
        if (a.mode == RK_AIQ_OP_MODE_MANUAL) {
            if (a.manual.timeEn != 0 && a.manual.timeValue > 0.0f) e.time = a.manual.timeValue;
            if (a.manual.gainEn != 0) e.gain = std::clamp(a.manual.gainValue, 1.0f, 64.0f);
        }
        ctx->heldTime = e.time;
        ctx->heldGain = e.gain;
    }
    e.brightness = std::clamp(e.time * e.gain * light / kBaseExposure, 1.0f / 64.0f, 8.0f);
    e.deviation = 0.3f * std::log2(e.brightness / wanted);
    return e;
}

CameraState state_of(rk_aiq_sys_ctx_t* ctx, uint32_t frameNo) {
    CameraState s;
    const Exposure e = compute_exposure(ctx, frameNo);
    s.fps = e.fps;
    // Brightness in eighths of an EV, so the sensor's texture changes rarely.
    s.look.brightness = std::exp2(std::round(std::log2(e.brightness) * 8.0f) / 8.0f);
    if (ctx->awb.mode == RK_AIQ_OP_MODE_MANUAL) {
        const double mismatch = (scene_cct(frameNo) - ctx->awb.manual.cct.cct) / 1000.0;
        s.look.uOffset = static_cast<int>(std::lround(6.0 * mismatch));
        s.look.vOffset = -s.look.uOffset;
    }
    return s;
}

bool directory_exists(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool camera_of_name(const char* name, uint32_t* camera) {
    for (uint32_t c = 0; c < kCameras; ++c) {
        if (std::string(name) == "vsensor" + std::to_string(c)) {
            *camera = c;
            return true;
        }
    }
    return false;
}

}  // namespace

CameraState isp_camera_state(uint32_t camera, uint32_t frameNo) {
    std::lock_guard lock(g_ispMutex);
    if (camera < kCameras && g_engines[camera] != nullptr)
        return state_of(g_engines[camera], frameNo);
    // A camera without an engine runs with the default settings.
    rk_aiq_sys_ctx_t defaults;
    reset_attrs(&defaults);
    return state_of(&defaults, frameNo);
}

}  // namespace vsim

using vsim::g_ispMutex;

extern "C" {

rk_aiq_ret_t rk_aiq_uapi_sysctl_enumStaticMetas(int32_t index, rk_aiq_static_info_t* info) {
    if (info == nullptr || index < 0 || index >= static_cast<int32_t>(vsim::kCameras))
        return RK_AIQ_RET_PARAM;
    *info = rk_aiq_static_info_t{};
    snprintf(info->sensorInfo.sensorName, sizeof info->sensorInfo.sensorName, "vsensor%d", index);
    info->sensorInfo.maxWidth = 3840;
    info->sensorInfo.maxHeight = 2160;
    info->sensorInfo.maxFps = 120.0f;
    info->cameraIndex = static_cast<uint32_t>(index);
    return RK_AIQ_RET_OK;
}

rk_aiq_sys_ctx_t* rk_aiq_uapi_sysctl_init(const char* sensorName, const char* iqDir,
                                          rk_aiq_error_cb errCb, rk_aiq_metas_cb metasCb) {
    (void)errCb;
    (void)metasCb;
    uint32_t camera = 0;
    if (sensorName == nullptr || iqDir == nullptr || !vsim::camera_of_name(sensorName, &camera))
        return nullptr;
    // The tuning files live in the board's IQ directory; the caller may name
    // it as a board path or as the path it resolved.
    if (!vsim::directory_exists(iqDir) && !vsim::directory_exists(board_path(iqDir))) {
        vsim::sim_log("rkaiq: IQ directory %s not found", iqDir);
        return nullptr;
    }
    std::lock_guard lock(g_ispMutex);
    if (vsim::g_engines[camera] != nullptr) return nullptr;
    auto* ctx = new rk_aiq_sys_ctx_t;
    ctx->camera = camera;
    vsim::reset_attrs(ctx);
    vsim::g_engines[camera] = ctx;
    return ctx;
}

void rk_aiq_uapi_sysctl_deinit(rk_aiq_sys_ctx_t* ctx) {
    if (ctx == nullptr) return;
    std::lock_guard lock(g_ispMutex);
    for (auto& engine : vsim::g_engines) {
        if (engine == ctx) engine = nullptr;
    }
    delete ctx;
}

rk_aiq_ret_t rk_aiq_uapi_sysctl_prepare(rk_aiq_sys_ctx_t* ctx, uint32_t width, uint32_t height,
                                        rk_aiq_working_mode_t mode) {
    if (ctx == nullptr || width == 0 || height == 0) return RK_AIQ_RET_PARAM;
    std::lock_guard lock(g_ispMutex);
    if (ctx->state == rk_aiq_sys_ctx_t::State::Running) return RK_AIQ_RET_STATE;
    ctx->width = width;
    ctx->height = height;
    ctx->workingMode = mode;
    ctx->state = rk_aiq_sys_ctx_t::State::Prepared;
    return RK_AIQ_RET_OK;
}

rk_aiq_ret_t rk_aiq_uapi_sysctl_start(rk_aiq_sys_ctx_t* ctx) {
    if (ctx == nullptr) return RK_AIQ_RET_PARAM;
    std::lock_guard lock(g_ispMutex);
    if (ctx->state != rk_aiq_sys_ctx_t::State::Prepared &&
        ctx->state != rk_aiq_sys_ctx_t::State::Stopped) {
        return RK_AIQ_RET_STATE;
    }
    ctx->state = rk_aiq_sys_ctx_t::State::Running;
    return RK_AIQ_RET_OK;
}

rk_aiq_ret_t rk_aiq_uapi_sysctl_stop(rk_aiq_sys_ctx_t* ctx, uint8_t keepExtHwState) {
    (void)keepExtHwState;
    if (ctx == nullptr) return RK_AIQ_RET_PARAM;
    std::lock_guard lock(g_ispMutex);
    if (ctx->state != rk_aiq_sys_ctx_t::State::Running) return RK_AIQ_RET_STATE;
    ctx->state = rk_aiq_sys_ctx_t::State::Stopped;
    return RK_AIQ_RET_OK;
}

rk_aiq_ret_t rk_aiq_uapi_setFecEn(rk_aiq_sys_ctx_t* ctx, uint8_t enable) {
    if (ctx == nullptr) return RK_AIQ_RET_PARAM;
    std::lock_guard lock(g_ispMutex);
    ctx->fecEnable = enable != 0 ? 1 : 0;
    return RK_AIQ_RET_OK;
}

rk_aiq_ret_t rk_aiq_user_api_ae_getExpSwAttr(rk_aiq_sys_ctx_t* ctx, rk_aiq_exp_sw_attr_t* attr) {
    if (ctx == nullptr || attr == nullptr) return RK_AIQ_RET_PARAM;
    std::lock_guard lock(g_ispMutex);
    *attr = ctx->exp;
    return RK_AIQ_RET_OK;
}

rk_aiq_ret_t rk_aiq_user_api_ae_setExpSwAttr(rk_aiq_sys_ctx_t* ctx, rk_aiq_exp_sw_attr_t attr) {
    if (ctx == nullptr) return RK_AIQ_RET_PARAM;
    if (attr.mode != RK_AIQ_OP_MODE_AUTO && attr.mode != RK_AIQ_OP_MODE_MANUAL)
        return RK_AIQ_RET_PARAM;
    if (attr.frameRate.isFpsFix != 0 &&
        !(attr.frameRate.fpsValue > 0.0f && attr.frameRate.fpsValue <= 120.0f)) {
        return RK_AIQ_RET_PARAM;
    }
    if (attr.manual.timeValue < 0.0f || attr.manual.gainValue < 0.0f) return RK_AIQ_RET_PARAM;
    std::lock_guard lock(g_ispMutex);
    ctx->exp = attr;
    return RK_AIQ_RET_OK;
}

rk_aiq_ret_t rk_aiq_user_api_ae_getLinExpAttr(rk_aiq_sys_ctx_t* ctx, rk_aiq_lin_exp_attr_t* attr) {
    if (ctx == nullptr || attr == nullptr) return RK_AIQ_RET_PARAM;
    std::lock_guard lock(g_ispMutex);
    *attr = ctx->lin;
    return RK_AIQ_RET_OK;
}

rk_aiq_ret_t rk_aiq_user_api_ae_setLinExpAttr(rk_aiq_sys_ctx_t* ctx, rk_aiq_lin_exp_attr_t attr) {
    if (ctx == nullptr) return RK_AIQ_RET_PARAM;
    if (!(attr.targetLuma > 0.0f && attr.targetLuma < 256.0f)) return RK_AIQ_RET_PARAM;
    std::lock_guard lock(g_ispMutex);
    ctx->lin = attr;
    return RK_AIQ_RET_OK;
}

rk_aiq_ret_t rk_aiq_user_api_ae_queryExpResInfo(rk_aiq_sys_ctx_t* ctx,
                                                rk_aiq_exp_res_info_t* info) {
    if (ctx == nullptr || info == nullptr) return RK_AIQ_RET_PARAM;
    std::lock_guard lock(g_ispMutex);
    rk_aiq_sys_ctx_t* engine = ctx;
    const vsim::Exposure e =
        vsim::compute_exposure(engine, vsim::sensor_frame_number(engine->camera));
    info->analogGain = e.gain;
    info->integrationTime = e.time;
    info->lumaDeviation = e.deviation;
    info->meanLuma = std::clamp(16.0f + 102.0f * e.brightness, 0.0f, 255.0f);
    info->fps = e.fps;
    info->isConverged = std::fabs(e.deviation) < 0.1f ? 1 : 0;
    return RK_AIQ_RET_OK;
}

rk_aiq_ret_t rk_aiq_user_api_awb_GetAttrib(rk_aiq_sys_ctx_t* ctx, rk_aiq_wb_attrib_t* attr) {
    if (ctx == nullptr || attr == nullptr) return RK_AIQ_RET_PARAM;
    std::lock_guard lock(g_ispMutex);
    *attr = ctx->awb;
    return RK_AIQ_RET_OK;
}

rk_aiq_ret_t rk_aiq_user_api_awb_SetAttrib(rk_aiq_sys_ctx_t* ctx, rk_aiq_wb_attrib_t attr) {
    if (ctx == nullptr) return RK_AIQ_RET_PARAM;
    if (attr.mode != RK_AIQ_OP_MODE_AUTO && attr.mode != RK_AIQ_OP_MODE_MANUAL)
        return RK_AIQ_RET_PARAM;
    if (attr.mode == RK_AIQ_OP_MODE_MANUAL &&
        !(attr.manual.cct.cct >= 1000.0f && attr.manual.cct.cct <= 15000.0f)) {
        return RK_AIQ_RET_PARAM;
    }
    std::lock_guard lock(g_ispMutex);
    ctx->awb = attr;
    return RK_AIQ_RET_OK;
}

rk_aiq_ret_t rk_aiq_user_api_awb_GetCCT(rk_aiq_sys_ctx_t* ctx, rk_aiq_wb_cct_t* cct) {
    if (ctx == nullptr || cct == nullptr) return RK_AIQ_RET_PARAM;
    std::lock_guard lock(g_ispMutex);
    if (ctx->awb.mode == RK_AIQ_OP_MODE_MANUAL) {
        *cct = ctx->awb.manual.cct;
    } else {
        cct->cct = static_cast<float>(vsim::scene_cct(vsim::sensor_frame_number(ctx->camera)));
        cct->ccri = 0.0f;
    }
    return RK_AIQ_RET_OK;
}

}  // extern "C"
