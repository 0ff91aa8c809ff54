#include "vps/vps_ctx.h"

#include <array>

VpsCtx g_vpsCtx;

namespace {

// Width and height of each resolution id; 0 x 0 marks the invalid ids.
constexpr std::array<VpsPicSize, 21> kPicSizes = {{
    {352, 288},   {640, 480},   {720, 576},   {720, 480},   {800, 600},   {1280, 720},
    {1920, 1080}, {1600, 1200}, {640, 960},   {0, 0},       {800, 1200},  {0, 0},
    {2560, 1440}, {2592, 1944}, {2704, 1520}, {3840, 2160}, {4096, 2160}, {3000, 3000},
    {4000, 3000}, {7680, 4320}, {3840, 8640},
}};

}  // namespace

int PLR_COMM_SYS_GetPicSize(uint32_t resId, VpsPicSize* size) {
    if (size == nullptr || resId >= kPicSizes.size() || kPicSizes[resId].width == 0) return -1;
    *size = kPicSizes[resId];
    return 0;
}

uint32_t PLR_VPS_ConvertRKProfile(uint32_t profile) {
    switch (profile) {
        case 0:
            return RK_H264_PROFILE_BASELINE;
        case 2:
            return RK_H264_PROFILE_HIGH;
        default:
            return RK_H264_PROFILE_MAIN;
    }
}

uint32_t PLR_VPS_ConvertRKProfile2(uint32_t rkProfile) {
    switch (rkProfile) {
        case RK_H264_PROFILE_BASELINE:
            return 0;
        case RK_H264_PROFILE_HIGH:
            return 2;
        default:
            return 1;
    }
}

uint32_t PLR_VPS_ConvertRKCodec(int32_t rkCodec) {
    switch (rkCodec) {
        case RK_CODEC_H265:
            return 1;
        case RK_CODEC_MJPEG:
            return 2;
        default:
            return 0;
    }
}

uint32_t PLR_VPS_ConvertRKPixelFmt(uint32_t pixFmt) {
    return pixFmt == 3 || pixFmt == 4 ? 26 : 36;
}

VpsAeCfg& PLR_VPS_CurrentAe() {
    return g_vpsCtx.vpsMode.load() == VPS_MODE_RECORD ? g_vpsCtx.recAe : g_vpsCtx.snapAe;
}

int PLR_VPS_GetAECInfo(VpsAeInfo* info) {
    if (info == nullptr) return -1;
    const VpsAeCfg& ae = PLR_VPS_CurrentAe();
    *info = {ae.mode.load(), ae.iso.load(), ae.shutter.load(), ae.ev.load()};
    return 0;
}

uint8_t PLR_VPS_CurrentZoom() {
    return g_vpsCtx.vpsMode.load() == VPS_MODE_RECORD ? g_vpsCtx.recZoom.load()
                                                      : g_vpsCtx.snapZoom.load();
}

uint32_t PLR_VPS_GetVpsStatus() {
    return g_vpsCtx.vpsStatus.load();
}

uint32_t PLR_VPS_RecState() {
    return g_vpsCtx.recMov.state.load();
}

int PLR_VPS_UpdateMovFileID() {
    g_vpsCtx.movFileId.fetch_add(1);
    return 0;
}

int PLR_VPS_ResetFileID() {
    g_vpsCtx.movFileId.store(1);
    g_vpsCtx.picFileId.store(1);
    g_vpsCtx.snapSeqId.store(1);
    return 0;
}
