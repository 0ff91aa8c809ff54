// The ISP engine of each camera (ids 0 and 1): creation from the camera's
// video-input instance, start, stop, frame rate, and get/set wrappers of the
// exposure and white-balance attribute groups.
#pragma once

#include <cstdint>

#include "platform/isp.h"
#include "vps/vps_ctx.h"

inline constexpr uint32_t PLR_ISP_CAMERAS = 2;

int PLR_COMM_ISP_Init(uint32_t camId, const VpsViInstance* instance);
int PLR_COMM_ISP_Run(uint32_t camId);
int PLR_COMM_ISP_Stop(uint32_t camId);
int PLR_ISP_SYS_Exit();
int PLR_ISP_SetFrameRate(uint32_t camId, float fps);

int PLR_COMM_ISP_GetExpSwAttr(uint32_t camId, rk_aiq_exp_sw_attr_t* pstExpSwAttr);
int PLR_COMM_ISP_SetExpSwAttr(uint32_t camId, rk_aiq_exp_sw_attr_t* pstExpSwAttr);
int PLR_COMM_ISP_GetLinExpAttr(uint32_t camId, rk_aiq_lin_exp_attr_t* pstExpSwAttr);
int PLR_COMM_ISP_SetLinExpAttr(uint32_t camId, rk_aiq_lin_exp_attr_t* pstExpSwAttr);
int PLR_COMM_ISP_DumpExpInfo(uint32_t camId, rk_aiq_exp_res_info_t* pstExpInfo);
int PLR_COMM_ISP_GetAwbAttr(uint32_t camId, rk_aiq_wb_attrib_t* pstAttrInfo);
int PLR_COMM_ISP_SetAwbAttr(uint32_t camId, rk_aiq_wb_attrib_t* pstAttrInfo);
int PLR_COMM_ISP_DumpCCTInfo(uint32_t camId, rk_aiq_wb_cct_t* pstAttrInfo);
