// Switching between photo and record mode, the record resolution and frame
// rate, the video mode (normal or zoom), and the video encoders' bitrates and
// rate-control parameters.
#pragma once

#include <cstdint>

#include "platform/media.h"
#include "vps/vps_ctx.h"

enum PlrBitrateComponent : uint32_t {
    PLR_BITRATE_FPV = 0,
    PLR_BITRATE_RECORD = 1,
};

inline constexpr uint32_t PLR_FPV_BITRATE_MIN = 512000;
inline constexpr uint32_t PLR_FPV_BITRATE_MAX = 1024000;
inline constexpr uint32_t PLR_REC_BITRATE_MIN = 10000000;
inline constexpr uint32_t PLR_REC_BITRATE_MAX = 100000000;

int PLR_VPS_ModeSwitchHandle(int32_t mode);
int PLR_VPS_ResSetHandle(int32_t res, int32_t fps);
int PLR_VPS_ResolutionSet(uint32_t camId, uint32_t res, uint32_t fps);
int PLR_VPS_UpdateVencAttrByRes(uint32_t res, uint32_t fps);
int PLR_VPS_FindViChn(const char* name, uint32_t instance);
int PLR_VPS_FramerateCheck(int32_t fps);
int PLR_VPS_SetVideoMode(uint32_t mode);

uint32_t PLR_COMM_VENC_GetBitrateByRes(uint32_t res, uint32_t fps);
uint32_t PLR_VPS_GetRecordBitrate();
int PLR_COMM_VENC_GetGopAttr(int32_t gopMode, RkVencGopAttr* gop);
int PLR_VPS_VENC_SetBitrate(uint32_t component, uint32_t bitrate);
int32_t PLR_VPS_VENC_GetBitrate(uint32_t component);
int PLR_VPS_FPV_RcInit(VpsVencChn* chn);
int PLR_VPS_REC_RcInit(VpsVencChn* chn);
