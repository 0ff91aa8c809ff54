#include "vps/vps_ae.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "core/trace_log.h"
#include "vps/vps_ctx.h"
#include "vps/vps_event.h"
#include "vps/vps_isp.h"

const float f32ShutterArry[PLR_AE_SHUTTER_COUNT] = {
    8000, 6400, 5000, 4000, 3200, 2500, 2000, 1600, 1250, 1000, 800, 640,  500,  400,
    320,  240,  200,  160,  120,  100,  80,   60,   50,   40,   30,  25,   20,   15,
    10,   8,    6,    5,    4,    0.3f, 0.4f, 0.5f, 0.6f, 0.8f, 1,   1.3f, 1.6f, 2,
    2.5f, 3.2f, 4,    5,    6,    8,    10,   15,   20,   25,   30,
};

namespace {

constexpr std::array<float, 13> kIsoGain = {1.0f, 1.25f, 1.6f, 2.0f,  2.5f,  3.2f, 4.0f,
                                            5.0f, 6.4f,  8.0f, 10.0f, 12.5f, 16.0f};
constexpr uint32_t kLastFractionIndex = 32;  // indices up to here are 1/N s
constexpr float kTargetLuma = 34.0f;
constexpr float kNightTargetLuma = 25.0f;
constexpr float kMinTargetLuma = 1.0f;
constexpr int32_t kEvMax = 9;

// Upper bounds (inclusive) of 1/t or t/0.1 s and the shutter index for each range.
struct ShutterRange {
    uint32_t upTo;
    uint32_t index;
};
constexpr ShutterRange kShutterRanges[] = {
    {8, 0},    {12, 28},  {17, 27},  {22, 26},  {28, 25},  {39, 24},  {45, 23},
    {55, 22},  {70, 21},  {95, 20},  {115, 19}, {135, 18}, {225, 16}, {265, 15},
    {365, 14}, {455, 13}, {555, 12}, {705, 11}, {900, 10}, {1150, 9}, {1450, 8},
    {1800, 7}, {2250, 6}, {2800, 5}, {3600, 4}, {4500, 3}, {5800, 2}, {7000, 1},
};

struct IsoRange {
    uint32_t upTo;
    uint32_t index;
};
constexpr IsoRange kIsoRanges[] = {
    {109, 0}, {129, 1}, {179, 2}, {219, 3},   {269, 4},   {339, 5},   {449, 6},
    {549, 7}, {689, 8}, {849, 9}, {1049, 10}, {1409, 11}, {2400, 12}, {3800, 13},
};

// Longest shutter index allowed in record mode at the record frame rate.
uint32_t record_shutter_limit() {
    switch (g_vpsCtx.recVenc.dstFps) {
        case 60:
            return 21;
        case 120:
            return 18;
        default:
            return 24;
    }
}

bool get_exp(uint32_t camId, rk_aiq_exp_sw_attr_t* attr) {
    const int ret = PLR_COMM_ISP_GetExpSwAttr(camId, attr);
    if (ret != 0)
        plr_trace_logf(PLR_LOG_E, "PLR_COMM_ISP_GetExpSwAttr failed with 0x%x!",
                       static_cast<unsigned>(ret));
    return ret == 0;
}

bool set_exp(uint32_t camId, rk_aiq_exp_sw_attr_t* attr, const char* failure) {
    const int ret = PLR_COMM_ISP_SetExpSwAttr(camId, attr);
    if (ret != 0) {
        if (failure != nullptr) {
            plr_trace_log(PLR_LOG_E, failure);
        } else {
            plr_trace_logf(PLR_LOG_E, "PLR_COMM_ISP_SetExpSwAttr failed with 0x%x!",
                           static_cast<unsigned>(ret));
        }
    }
    return ret == 0;
}

bool record_mode() {
    return g_vpsCtx.vpsMode.load() == VPS_MODE_RECORD;
}

}  // namespace

uint32_t PLR_VPS_AE_CurrentCamera() {
    const VpsVencChn& venc = record_mode() ? g_vpsCtx.recVenc : g_vpsCtx.snapVenc;
    return static_cast<uint32_t>(venc.src.devId);
}

int PLR_VPS_AE_ISO2Gain(uint32_t isoIndex, float* gain) {
    if (gain == nullptr || isoIndex >= kIsoGain.size()) return -1;
    *gain = kIsoGain[isoIndex];
    return 0;
}

int PLR_VPS_AE_SHR2Exptime(uint32_t shutterIndex, float* seconds) {
    if (seconds == nullptr || shutterIndex >= PLR_AE_SHUTTER_COUNT) return -1;
    const bool record = record_mode();
    const uint32_t limit = record_shutter_limit();
    uint32_t index = shutterIndex;
    if (record && shutterIndex > kLastFractionIndex) {
        plr_trace_logf(PLR_LOG_D, "SHR too large:%u align to VPS_AE_SHR_30pers", limit);
        index = limit;
    } else if (record && shutterIndex > limit) {
        plr_trace_logf(PLR_LOG_D, "SHR too large:%u align to %u", shutterIndex, limit);
        index = limit;
    }
    const float n = f32ShutterArry[index];
    *seconds =
        index > kLastFractionIndex ? n * 1000000.0f / 1000000.0f : (1000000.0f / n) / 1000000.0f;
    plr_trace_logf(PLR_LOG_D, "Align SHR %u to %.6f s", shutterIndex,
                   static_cast<double>(*seconds));
    return 0;
}

int PLR_VPS_AE_Exptime2SHR(uint32_t microseconds, uint32_t* shutterIndex) {
    if (shutterIndex == nullptr) return -1;
    uint32_t v = 0;
    if (microseconds <= 1000000) {
        v = microseconds == 0 ? 0 : 1000000 / microseconds;
    } else {
        v = microseconds / 100000;
    }
    uint32_t index = 0;
    for (const ShutterRange& range : kShutterRanges) {
        if (v <= range.upTo) {
            index = range.index;
            break;
        }
    }
    *shutterIndex = index;
    plr_trace_logf(PLR_LOG_I, "Align SHR to:%u,%u", v, index);
    return 0;
}

int PLR_VPS_AE_ISOAlign(uint32_t iso, uint32_t* isoIndex) {
    if (isoIndex == nullptr) return -1;
    uint32_t index = 14;
    for (const IsoRange& range : kIsoRanges) {
        if (iso <= range.upTo) {
            index = range.index;
            break;
        }
    }
    *isoIndex = index;
    plr_trace_logf(PLR_LOG_I, "Align ISO to:%u,%u", iso, index);
    return 0;
}

int PLR_VPS_AE_CompCalc(int32_t ev, float* targetLuma) {
    if (targetLuma == nullptr) return -1;
    if (ev >= 1 && ev <= kEvMax) {
        *targetLuma = kTargetLuma + 8.0f * static_cast<float>(ev);
    } else if (ev >= -kEvMax && ev <= -1) {
        // Four per step would reach -2 at the lowest step; a target luminance
        // must stay positive, so the darkest steps keep a small one.
        *targetLuma = std::max(kMinTargetLuma, kTargetLuma + 4.0f * static_cast<float>(ev));
    } else {
        *targetLuma = kTargetLuma;
    }
    plr_trace_logf(PLR_LOG_D, "PLR_VPS_AE_CompCalc:%d,%.1f", ev, static_cast<double>(*targetLuma));
    return 0;
}

int PLR_VPS_AE_HistErrAlign(int32_t* step, float value) {
    if (step == nullptr) return -1;
    const float limited =
        std::clamp(value, -static_cast<float>(kEvMax), static_cast<float>(kEvMax));
    *step = static_cast<int32_t>(limited);
    plr_trace_logf(PLR_LOG_I, "Align hist to:%.0f,%d", static_cast<double>(value), *step);
    return 0;
}

int PLR_VPS_AE_ModeSet(uint32_t camId, bool manual, int32_t iso, int32_t shutter, int32_t ev) {
    rk_aiq_exp_sw_attr_t attr{};
    if (!get_exp(camId, &attr)) return -1;
    attr.mode = manual ? RK_AIQ_OP_MODE_MANUAL : RK_AIQ_OP_MODE_AUTO;
    plr_trace_logf(PLR_LOG_D, "PLR_VPS_AE_ModeSet sns:%u mode:%s ISO:%d SHR:%d", camId,
                   manual ? "MANUAL" : "Auto", iso, shutter);
    if (!manual) {
        rk_aiq_lin_exp_attr_t lin{};
        if (PLR_COMM_ISP_GetLinExpAttr(camId, &lin) != 0) {
            plr_trace_logf(PLR_LOG_E, "PLR_COMM_ISP_GetExpSwAttr failed with 0x%x!", 0xffffffffu);
        } else {
            PLR_VPS_AE_CompCalc(ev, &lin.targetLuma);
            const int ret = PLR_COMM_ISP_SetLinExpAttr(camId, &lin);
            if (ret != 0) {
                plr_trace_logf(PLR_LOG_E, "PLR_COMM_ISP_SetExpSwAttr failed with 0x%x!",
                               static_cast<unsigned>(ret));
            }
        }
    } else {
        if (iso >= 0) PLR_VPS_AE_ISO2Gain(static_cast<uint32_t>(iso), &attr.manual.gainValue);
        if (shutter >= 0)
            PLR_VPS_AE_SHR2Exptime(static_cast<uint32_t>(shutter), &attr.manual.timeValue);
        attr.manual.timeEn = 1;
        attr.manual.gainEn = 1;
    }
    return set_exp(camId, &attr, "Set Exposure Attr failed!") ? 0 : -1;
}

int PLR_VPS_AE_AttrSet(uint32_t camId, int32_t attr, int32_t value) {
    rk_aiq_exp_sw_attr_t exp{};
    if (!get_exp(camId, &exp)) return -1;
    if (exp.mode == RK_AIQ_OP_MODE_MANUAL) {
        plr_trace_logf(PLR_LOG_D, "Get AE Again:%.1f exp:%.6f",
                       static_cast<double>(exp.manual.gainValue),
                       static_cast<double>(exp.manual.timeValue));
        if (attr == 0 && value >= 0)
            PLR_VPS_AE_ISO2Gain(static_cast<uint32_t>(value), &exp.manual.gainValue);
        if (attr == 1 && value >= 0)
            PLR_VPS_AE_SHR2Exptime(static_cast<uint32_t>(value), &exp.manual.timeValue);
        if (!set_exp(camId, &exp, "Set Exposure Attr failed!")) return -1;
        plr_trace_logf(PLR_LOG_D, "Set AE Attr %d Again:%.1f exp:%.6f", attr,
                       static_cast<double>(exp.manual.gainValue),
                       static_cast<double>(exp.manual.timeValue));
        return 0;
    }
    if (attr != 2) {
        plr_trace_logf(PLR_LOG_E, "Set ISO failed, Auto mode not support %d Set!", attr);
        return 0;
    }
    rk_aiq_lin_exp_attr_t lin{};
    int ret = PLR_COMM_ISP_GetLinExpAttr(camId, &lin);
    if (ret != 0) {
        plr_trace_logf(PLR_LOG_E, "PLR_COMM_ISP_GetLinExpAttr failed with 0x%x!",
                       static_cast<unsigned>(ret));
        return -1;
    }
    if (value != 0) {
        PLR_VPS_AE_CompCalc(value, &lin.targetLuma);
        lin.nightTargetLuma = lin.targetLuma;
        lin.dynamicTargetEn = 0;
    } else {
        lin.targetLuma = kTargetLuma;
        lin.nightTargetLuma = kNightTargetLuma;
        lin.dynamicTargetEn = 1;
    }
    ret = PLR_COMM_ISP_SetLinExpAttr(camId, &lin);
    if (ret != 0) {
        plr_trace_logf(PLR_LOG_E, "PLR_COMM_ISP_GetLinExpAttr failed with 0x%x!",
                       static_cast<unsigned>(ret));
        return -1;
    }
    return 0;
}

int PLR_VPS_AE_SetPosWeight(uint32_t camId, uint32_t x, uint32_t y, uint8_t weight) {
    const uint32_t cellWidth = std::max<uint32_t>(g_vpsCtx.fpvVenc.width / PLR_AE_GRID, 1);
    const uint32_t cellHeight = std::max<uint32_t>(g_vpsCtx.fpvVenc.height / PLR_AE_GRID, 1);
    const uint32_t column = std::clamp<uint32_t>(x / cellWidth, 2, PLR_AE_GRID - 2);
    const uint32_t row = std::clamp<uint32_t>(y / cellHeight, 2, PLR_AE_GRID - 2);
    plr_trace_logf(PLR_LOG_D,
                   "PLR_VPS_AE_SetPosWeight mapping (%u,%u) to (%u,%u) rect:(%u,%u;%u,%u)", x, y,
                   column, row, column - 2, row - 2, column + 2, row + 2);
    rk_aiq_exp_sw_attr_t attr{};
    if (!get_exp(camId, &attr)) return -1;
    for (uint32_t r = 0; r < PLR_AE_GRID; ++r) {
        for (uint32_t c = 0; c < PLR_AE_GRID; ++c) {
            const bool inside = r + 2 >= row && r <= row + 2 && c + 2 >= column && c <= column + 2;
            attr.grid.weights[r * PLR_AE_GRID + c] = inside ? weight : 0;
        }
    }
    attr.grid.weightOverride = 1;
    return set_exp(camId, &attr, nullptr) ? 0 : -1;
}

int PLR_VPS_AE_SetDefWeight(uint32_t camId) {
    rk_aiq_exp_sw_attr_t attr{};
    if (!get_exp(camId, &attr)) return -1;
    memset(attr.grid.weights, 1, sizeof attr.grid.weights);  // every weight 1
    attr.grid.weightOverride = 0;
    return set_exp(camId, &attr, nullptr) ? 0 : -1;
}

int PLR_VPS_AE_ExpLock(uint32_t camId, int32_t lock) {
    rk_aiq_exp_sw_attr_t attr{};
    if (!get_exp(camId, &attr)) return -1;
    plr_trace_logf(PLR_LOG_E, "PLR_VPS_AE_ExpLock ae bypass %u", attr.enable);
    attr.enable = lock == 1 ? 0 : 1;
    return set_exp(camId, &attr, nullptr) ? 0 : -1;
}

int PLR_VPS_AE_ModeSetHandle(int32_t mode) {
    VpsAeCfg& ae = PLR_VPS_CurrentAe();
    const uint32_t camId = PLR_VPS_AE_CurrentCamera();
    const bool manual = mode != 0;
    if (PLR_VPS_AE_ModeSet(camId, manual, static_cast<int32_t>(ae.iso.load()),
                           static_cast<int32_t>(ae.shutter.load()),
                           static_cast<int32_t>(ae.ev.load())) != 0) {
        return PLR_VPS_EvtNotify(VPS_EVT_AE_MODE_SET, -1, -1, -1, nullptr);
    }
    ae.mode.store(static_cast<uint32_t>(mode));
    plr_trace_logf(PLR_LOG_D,
                   record_mode() ? "RECORD Set AE mode:%s ISO:%u SHR:%u"
                                 : "PHOTO Set AE mode:%s ISO:%u SHR:%u",
                   manual ? "MANUAL" : "Auto", ae.iso.load(), ae.shutter.load());
    PLR_VPS_AE_SetDefWeight(camId);
    return PLR_VPS_EvtNotify(VPS_EVT_AE_MODE_SET, 0, manual ? 1 : 0, -1, nullptr);
}

int PLR_VPS_AE_AttrSetHandle(int32_t attr, int32_t value) {
    VpsAeCfg& ae = PLR_VPS_CurrentAe();
    int32_t handedOn = value;
    if (attr == 0) {
        ae.iso.store(static_cast<uint32_t>(value));
    } else if (attr == 1) {
        ae.shutter.store(static_cast<uint32_t>(value));
    } else if (attr == 2 && ae.mode.load() == 0) {
        auto ev = static_cast<int32_t>(ae.ev.load());
        if (value == 0 && ev < kEvMax) {
            ++ev;
        } else if (value == 1 && ev >= -(kEvMax - 1)) {
            --ev;
        } else if (value == 2) {
            ev = 0;
        }
        ae.ev.store(static_cast<uint32_t>(ev));
        handedOn = ev;
    }
    if (PLR_VPS_AE_AttrSet(PLR_VPS_AE_CurrentCamera(), attr, handedOn) != 0) {
        return PLR_VPS_EvtNotify(VPS_EVT_AE_ATTR_SET, -1, attr, -1, nullptr);
    }
    return PLR_VPS_EvtNotify(VPS_EVT_AE_ATTR_SET, 0, attr, handedOn, nullptr);
}

int PLR_VPS_AERoiSetHandle(int32_t mode, int32_t value) {
    if (g_vpsCtx.vpsMode.load() != VPS_MODE_PHOTO)
        return PLR_VPS_EvtNotify(VPS_EVT_AE_ROI_SET, -1, mode, value, nullptr);
    plr_trace_logf(PLR_LOG_D, "PLR_VPS_AERoiSetHandle mode:%d value:%d", mode, value);
    const auto camId = static_cast<uint32_t>(g_vpsCtx.fpvVenc.src.devId);
    const auto bits = static_cast<uint32_t>(value);
    int ret = 0;
    if (mode == 1) {
        PLR_VPS_AE_ExpLock(camId, 0);
        ret = PLR_VPS_AE_SetPosWeight(camId, bits >> 16, bits & 0xffff, 1);
    } else if (mode == 2) {
        value = static_cast<int32_t>(bits >> 16);
        ret = PLR_VPS_AE_ExpLock(camId, value);
    } else {
        PLR_VPS_AE_ExpLock(camId, 0);
        ret = PLR_VPS_AE_SetDefWeight(camId);
    }
    return PLR_VPS_EvtNotify(VPS_EVT_AE_ROI_SET, ret, mode, value, nullptr);
}

int PLR_VPS_SetCCTHandle(int32_t mode, int32_t value) {
    const uint32_t camId = PLR_VPS_AE_CurrentCamera();
    rk_aiq_wb_attrib_t attr{};
    int ret = PLR_COMM_ISP_GetAwbAttr(camId, &attr);
    if (ret == 0) {
        if (mode == 0) {
            value = std::clamp(value, 20, 99);
            attr.mode = RK_AIQ_OP_MODE_MANUAL;
            attr.manual.mode = RK_AIQ_MWB_MODE_CCT;
            attr.manual.cct.cct = static_cast<float>(value) * 100.0f;
            attr.manual.cct.ccri = -0.001112f;
        } else {
            attr.mode = RK_AIQ_OP_MODE_AUTO;
        }
        ret = PLR_COMM_ISP_SetAwbAttr(camId, &attr);
    }
    if (ret != 0) {
        plr_trace_log(PLR_LOG_D, "Get awb attribute failed.");
        return PLR_VPS_EvtNotify(VPS_EVT_CCT_SET, -1, mode, value, nullptr);
    }
    g_vpsCtx.cctMode.store(static_cast<int8_t>(mode));
    g_vpsCtx.cct.store(static_cast<uint16_t>(value));
    return PLR_VPS_EvtNotify(VPS_EVT_CCT_SET, 0, mode, value, nullptr);
}

int PLR_VPS_SetDNModeHandle(int32_t /*mode*/) {
    return PLR_VPS_EvtNotify(VPS_EVT_DN_MODE_SET, -1, -1, -1, nullptr);
}
