// The camera's media pipeline: start-up and shutdown of the camera core, the
// default channel plan, video-input channels, encoder channels with their
// RGA scalers, and the encoders' frame intake.
#pragma once

#include <cstdint>
#include <cstdio>

#include "vps/vps_ctx.h"

// Starts the camera core: event thread, buffer pool, defaults, sensor and
// ISP, live-view and still encoders, the initialisation event, the status tick.
int PLR_VPS_Init();
void PLR_VPS_Deinit();

int PLR_VPS_VBInit();
int PLR_VPS_VBExit();
int PLR_VPS_ConfigInit();
int PLR_VPS_VI_SetDefault(VpsViInstance* instances);
int PLR_VPS_VENC_SetDefault(VpsVencChn* fpv, VpsVencChn* rec, VpsVencChn* snap);
int PLR_VPS_VI_ISP_Init();
int PLR_VPS_VI_ISP_Deinit();
int PLR_VPS_VI_StartVi(VpsViInstance* instances);
int PLR_PLR_VI_StopVi(VpsViInstance* instances);

int PLR_VPS_VENC_VideoInit(VpsVencChn* chn);
int PLR_VPS_VENC_VideoDeinit(VpsVencChn* chn);
int PLR_VPS_VENC_SnapInit(VpsVencChn* chn);
int PLR_VPS_VENC_SnapDeinit(VpsVencChn* chn);
int PLR_VPS_VENC_StartRecvFrame(uint32_t chn, int32_t count);
int PLR_VPS_VENC_StopRecvFrame(uint32_t chn);

int PLR_VPS_FpvEncStart();
int PLR_VPS_FpvEncStop();
// The JPEG encoder with the still-capture stream thread.
int PLR_VPS_SnpEncStart();
int PLR_VPS_SnpEncStop();

// Media buffer helpers.
void* PLR_VPS_RK_GetDataPtr(MEDIA_BUFFER mb);
size_t PLR_VPS_RK_GetDataLen(MEDIA_BUFFER mb);
int PLR_VPS_RK_FreePkt(MEDIA_BUFFER mb);

// Writes in blocks of 32 KiB, ten at most per call, pausing 6 ms between calls
// so that a big picture does not monopolise the card; returns the bytes written.
size_t PLR_VENC_WriteFile(const void* buffer, size_t length, FILE* file);
// Size of a frame buffer for the given picture (see the .cpp for the rule).
uint64_t PLR_VENC_GetPicBufferSize(uint32_t width, uint32_t height, uint32_t pixFmt,
                                   uint32_t bitWidth, uint32_t align);
