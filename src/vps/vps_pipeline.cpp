#include "vps/vps_pipeline.h"

#include <unistd.h>

#include <atomic>
#include <cstring>

#include <csignal>

#include "core/led.h"
#include "core/signals.h"
#include "core/trace_log.h"
#include "mov/mm_pool.h"
#include "mov/mov_muxer.h"
#include "mp4/mp4_repair.h"
#include "track/track.h"
#include "vps/vps_event.h"
#include "vps/vps_handlers.h"
#include "vps/vps_isp.h"
#include "vps/vps_record.h"
#include "vps/vps_snap.h"
#include "vps/vps_status.h"
#include "vps/vps_stream.h"
#include "vps/vps_switch.h"

namespace {

std::atomic<bool> g_notiStarted{false};

constexpr uint32_t kWriteBlock = 32768;
constexpr uint32_t kWriteBlocksPerCall = 10;

RkChnAddr venc_addr(uint32_t chn) {
    return {RK_MOD_VENC, 0, static_cast<int32_t>(chn)};
}

RkViChnAttr vi_attr(const char* node, uint32_t width, uint32_t height, int32_t imageType,
                    uint32_t buffers) {
    return {node, width, height, imageType, buffers, 0, 0};
}

RkRgaImage rga_image(uint32_t width, uint32_t height) {
    return {RK_IMAGE_NV12, 0, 0, width, height, width, height};
}

// One encoder channel of the plan: resolution, codec, rates and source.
struct VencPlan {
    uint32_t resId;
    uint32_t vencChn;
    uint32_t viChn;
    uint32_t useRga;
    uint32_t rgaPool;
    int32_t codec;
    uint32_t profile;  // 0: none
    uint32_t bitrate;  // 0: no rate control
    uint32_t fps;
};

void fill_venc(VpsVencChn* chn, const VencPlan& plan) {
    *chn = {};
    VpsPicSize size{};
    PLR_COMM_SYS_GetPicSize(plan.resId, &size);
    chn->resId = plan.resId;
    chn->width = size.width;
    chn->height = size.height;
    chn->pixFmt = RK_IMAGE_NV12;
    chn->vencChn = plan.vencChn;
    chn->src = {RK_MOD_VI, 0, static_cast<int32_t>(plan.viChn)};
    chn->srcFps = plan.fps;
    chn->dstFps = plan.fps;

    RkVencTypeAttr& type = chn->vencAttr.vencAttr;
    type.codec = plan.codec;
    type.imageType = RK_IMAGE_NV12;
    type.virWidth = size.width;
    type.virHeight = size.height;
    type.profile = plan.profile;
    type.picWidth = size.width;
    type.picHeight = size.height;
    if (plan.codec == RK_CODEC_JPEG) {
        type.codecAttr = {size.width, size.height, size.width, size.height};
    }
    if (plan.bitrate != 0) {
        chn->vencAttr.rcAttr = {RK_RC_H264_CBR, plan.fps, plan.fps, 1, plan.fps, 1, plan.bitrate};
        chn->vencAttr.gopAttr.gopMode = RK_GOP_MODE_NORMAL;
        chn->vencAttr.gopAttr.gopSize = plan.fps;
    }
    chn->useRga = plan.useRga;
    chn->rgaChn = {RK_MOD_RGA, 0, static_cast<int32_t>(plan.viChn)};
    chn->rgaAttr.imgIn = rga_image(size.width, size.height);
    chn->rgaAttr.imgOut = rga_image(size.width, size.height);
    chn->rgaAttr.bufPoolEnable = 1;
    chn->rgaAttr.bufPoolCnt = plan.rgaPool;
}

// Destroys the encoder channel after a later step of its creation failed.
int fail_venc(uint32_t chn, int ret) {
    RK_MPI_VENC_DestroyChn(static_cast<int32_t>(chn));
    return ret;
}

int venc_init(VpsVencChn* chn, bool snap) {
    if (chn == nullptr) return -1;
    const RkChnAddr venc = venc_addr(chn->vencChn);
    int ret = RK_MPI_VENC_CreateChn(static_cast<int32_t>(chn->vencChn), &chn->vencAttr);
    if (ret != RK_SUCCESS) {
        if (snap) {
            plr_trace_logf(PLR_LOG_E, "Create Venc failed! ret=%d", ret);
        } else {
            plr_trace_logf(PLR_LOG_E, "Create Venc chan %u failed with %d.", chn->vencChn, ret);
        }
        return -1;
    }
    if (chn->outCb != nullptr) {
        ret = RK_MPI_SYS_RegisterOutCb(&venc, chn->outCb);
        if (ret != RK_SUCCESS) {
            plr_trace_logf(PLR_LOG_E, "Register Output callback failed! ret=%d", ret);
            return fail_venc(chn->vencChn, ret);
        }
    }
    ret = PLR_VPS_VENC_StopRecvFrame(chn->vencChn);
    if (ret != 0) return fail_venc(chn->vencChn, ret);
    if (snap) {
        const RkVencJpegParam jpeg = {99};
        RK_MPI_VENC_SetJpegParam(static_cast<int32_t>(chn->vencChn), &jpeg);
    }
    int bindRet = 0;
    if (chn->useRga == 1) {
        ret = RK_MPI_RGA_CreateChn(chn->rgaChn.chnId, &chn->rgaAttr);
        if (ret != RK_SUCCESS) {
            plr_trace_logf(PLR_LOG_E, "ERROR: Create rga[0] falied! ret=%d", ret);
            return fail_venc(chn->vencChn, ret);
        }
        bindRet |= RK_MPI_SYS_Bind(&chn->src, &chn->rgaChn);
        bindRet |= RK_MPI_SYS_Bind(&chn->rgaChn, &venc);
    } else {
        bindRet |= RK_MPI_SYS_Bind(&chn->src, &venc);
    }
    if (bindRet != RK_SUCCESS) {
        if (snap) {
            plr_trace_logf(PLR_LOG_E, "Register Output callback failed! ret=%d", bindRet);
        } else {
            plr_trace_logf(PLR_LOG_E, "Bind encode channel failed! ret=%d", bindRet);
        }
        if (chn->useRga == 1) RK_MPI_RGA_DestroyChn(chn->rgaChn.chnId);
        return fail_venc(chn->vencChn, bindRet);
    }
    plr_trace_log(PLR_LOG_D, snap ? "Snap Encode Init Sucess!!!" : "Video Encode Init Sucess!!!");
    return 0;
}

int venc_deinit(VpsVencChn* chn, bool snap) {
    if (chn == nullptr) return -1;
    const RkChnAddr venc = venc_addr(chn->vencChn);
    int ret = PLR_VPS_VENC_StopRecvFrame(chn->vencChn);
    if (chn->useRga == 1) {
        ret |= RK_MPI_SYS_UnBind(&chn->src, &chn->rgaChn);
        ret |= RK_MPI_SYS_UnBind(&chn->rgaChn, &venc);
        ret |= RK_MPI_RGA_DestroyChn(chn->rgaChn.chnId);
    } else {
        ret |= RK_MPI_SYS_UnBind(&chn->src, &venc);
    }
    if (ret != 0) {
        if (snap) {
            plr_trace_logf(PLR_LOG_E, "PLR_VPS_VENC_SnapDeinit: unbind venc chan %u falied with %d",
                           chn->vencChn, ret);
        } else {
            plr_trace_logf(PLR_LOG_E,
                           "PLR_VPS_VENC_VideoDeinit: unbind venc chan %u falied with %d",
                           chn->vencChn, ret);
        }
        return ret;
    }
    ret = RK_MPI_VENC_DestroyChn(static_cast<int32_t>(chn->vencChn));
    if (ret == RK_SUCCESS || snap) {
        if (ret != RK_SUCCESS) {
            plr_trace_logf(PLR_LOG_E,
                           "PLR_VPS_VENC_SnapDeinit: distroy venc chan %u falied with %d",
                           chn->vencChn, ret);
        }
        return 0;
    }
    plr_trace_logf(PLR_LOG_E, "PLR_VPS_VENC_VideoDeinit: distroy venc chan %u falied with %d",
                   chn->vencChn, ret);
    return ret;
}

}  // namespace

int PLR_VPS_VBInit() {
    MM_POOL_CFG_S& cfg = g_vpsCtx.vbCfg;
    cfg = {};
    cfg.classCnt = 3;
    cfg.classes[0] = {819200, 145};
    cfg.classes[1] = {2097152, 5};
    cfg.classes[2] = {5242880, 5};
    if (MM_POOL_Init(&cfg) != 0) plr_trace_logf(PLR_LOG_E, "%s: VB Init failed!!", __func__);
    g_vpsCtx.vbReady.store(1);
    plr_trace_logf(PLR_LOG_D, "%s: VB Init complete!!", __func__);
    return 0;
}

int PLR_VPS_VBExit() {
    if (g_vpsCtx.vbReady.exchange(0) != 0) {
        if (MM_POOL_Exit(&g_vpsCtx.vbCfg) != 0)
            plr_trace_logf(PLR_LOG_E, "%s: VB Exit failed!!", __func__);
        plr_trace_logf(PLR_LOG_D, "%s: VB Exit complete!!", __func__);
    }
    return 0;
}

int PLR_VPS_VI_SetDefault(VpsViInstance* instances) {
    if (instances == nullptr) return -1;
    VpsViInstance& cam0 = instances[0];
    cam0 = {};
    cam0.enabled = 1;
    cam0.camId = 0;
    cam0.viPipe = 0;
    cam0.sensorWidth = 3840;
    cam0.sensorHeight = 2160;
    cam0.frameRate = 25.0f;
    cam0.chns[0] = {vi_attr("rkispp_m_bypass", 3840, 2160, RK_IMAGE_NV12, 6), 0, 1};
    cam0.chns[1] = {vi_attr("rkispp_scale0", 1280, 720, RK_IMAGE_ISP_ALT, 6), 1, 0};
    cam0.chns[2] = {vi_attr("rkispp_scale1", 1280, 720, RK_IMAGE_NV12, 6), 2, 1};
    cam0.chns[3] = {vi_attr("rkispp_scale2", 640, 360, RK_IMAGE_NV12, 1), 3, 1};

    VpsViInstance& cam1 = instances[1];
    cam1 = {};
    cam1.camId = 1;
    cam1.viPipe = 1;
    cam1.chns[0] = {vi_attr("rkispp_m_bypass", 0, 0, 0, 6), 0, 0};
    return 0;
}

int PLR_VPS_VENC_SetDefault(VpsVencChn* fpv, VpsVencChn* rec, VpsVencChn* snap) {
    if (fpv != nullptr)
        fill_venc(fpv, {5, 2, 2, 1, 6, RK_CODEC_H264, RK_H264_PROFILE_BASELINE, 1024000, 25});
    if (rec != nullptr)
        fill_venc(rec, {15, 0, 0, 0, 12, RK_CODEC_H264, RK_H264_PROFILE_MAIN, 100000000, 30});
    if (snap != nullptr) fill_venc(snap, {15, 1, 0, 1, 6, RK_CODEC_JPEG, 0, 0, 25});
    return 0;
}

int PLR_VPS_ConfigInit() {
    PLR_VPS_VI_SetDefault(g_vpsCtx.viInst);
    PLR_VPS_ResetFileID();
    PLR_VPS_VENC_SetDefault(&g_vpsCtx.fpvVenc, &g_vpsCtx.recVenc, &g_vpsCtx.snapVenc);
    g_vpsCtx.recZoom.store(10);
    g_vpsCtx.snapZoom.store(10);
    g_vpsCtx.vpsMode.store(VPS_MODE_PHOTO);
    g_vpsCtx.sdStatus.store(VPS_SD_NONE);
    g_vpsCtx.snapBusy.store(0);
    g_vpsCtx.snapMode.store(0);
    g_vpsCtx.picFmt.store(0);
    g_vpsCtx.captureCount = 2;
    g_vpsCtx.ctiShot.store(3);
    g_vpsCtx.bracketCount = 3;
    g_vpsCtx.snapTlapse.store(3);
    g_vpsCtx.panoMode.store(5);
    for (VpsAeCfg* ae : {&g_vpsCtx.recAe, &g_vpsCtx.snapAe}) {
        ae->mode.store(0);
        ae->iso.store(0);
        ae->shutter.store(24);
        ae->ev.store(0);
    }
    g_vpsCtx.cctMode.store(1);
    g_vpsCtx.cct.store(50);
    return 0;
}

int PLR_VPS_VI_StartVi(VpsViInstance* instances) {
    if (instances == nullptr) {
        plr_trace_logf(PLR_LOG_E, "%s: null ptr", __func__);
        return -1;
    }
    for (uint32_t i = 0; i < VPS_VI_INSTANCES; ++i) {
        VpsViInstance& inst = instances[i];
        if (inst.enabled == 0) continue;
        int ret = PLR_COMM_ISP_Init(inst.camId, &inst);
        if (ret != 0) {
            plr_trace_logf(PLR_LOG_E, "ISP %u init failed! ret=%d", inst.camId, ret);
            return ret;
        }
        if (PLR_ISP_SetFrameRate(inst.camId, inst.frameRate) != 0 ||
            PLR_COMM_ISP_Run(inst.camId) != 0)
            return -1;
        for (const VpsViChn& chn : inst.chns) {
            if (chn.enabled == 0) continue;
            const auto pipe = static_cast<int32_t>(inst.viPipe);
            const auto number = static_cast<int32_t>(chn.chn);
            ret = RK_MPI_VI_SetChnAttr(pipe, number, &chn.attr);
            if (ret == RK_SUCCESS) ret = RK_MPI_VI_EnableChn(pipe, number);
            if (ret != RK_SUCCESS) {
                plr_trace_logf(PLR_LOG_E, "Create Vi %u Chn %u failed! ret=%d", inst.camId, chn.chn,
                               ret);
                return -1;
            }
        }
    }
    return 0;
}

int PLR_PLR_VI_StopVi(VpsViInstance* instances) {
    if (instances == nullptr) {
        plr_trace_logf(PLR_LOG_E, "%s: null ptr\n", __func__);
        return -1;
    }
    for (uint32_t i = 0; i < VPS_VI_INSTANCES; ++i) {
        const VpsViInstance& inst = instances[i];
        if (inst.enabled == 0) continue;
        for (const VpsViChn& chn : inst.chns) {
            if (chn.enabled != 0)
                RK_MPI_VI_DisableChn(static_cast<int32_t>(inst.viPipe),
                                     static_cast<int32_t>(chn.chn));
        }
    }
    return 0;
}

int PLR_VPS_VI_ISP_Init() {
    const int32_t ret = RK_MPI_SYS_Init();
    if (ret != RK_SUCCESS) {
        plr_trace_logf(PLR_LOG_E, "MIPI Sys Init failed! ret=%d", ret);
        return -1;
    }
    if (PLR_VPS_VI_StartVi(g_vpsCtx.viInst) != 0) {
        plr_trace_logf(PLR_LOG_E, "%s: ISP System Init failed.", __func__);
        return -1;
    }
    return 0;
}

int PLR_VPS_VI_ISP_Deinit() {
    PLR_PLR_VI_StopVi(g_vpsCtx.viInst);
    return PLR_ISP_SYS_Exit();
}

int PLR_VPS_VENC_VideoInit(VpsVencChn* chn) {
    return venc_init(chn, false);
}
int PLR_VPS_VENC_VideoDeinit(VpsVencChn* chn) {
    return venc_deinit(chn, false);
}
int PLR_VPS_VENC_SnapInit(VpsVencChn* chn) {
    return venc_init(chn, true);
}
int PLR_VPS_VENC_SnapDeinit(VpsVencChn* chn) {
    return venc_deinit(chn, true);
}

int PLR_VPS_VENC_StartRecvFrame(uint32_t chn, int32_t count) {
    const RkVencRecvPicParam param = {count};
    const int32_t ret = RK_MPI_VENC_StartRecvFrame(static_cast<int32_t>(chn), &param);
    if (ret != RK_SUCCESS) {
        plr_trace_logf(PLR_LOG_E, "PLR_VPS_VENC_StartRecvFrame faild with%#x! ",
                       static_cast<unsigned>(ret));
        return -1;
    }
    return 0;
}

int PLR_VPS_VENC_StopRecvFrame(uint32_t chn) {
    const RkVencRecvPicParam param = {RK_VENC_RECV_STOP};
    const int32_t ret = RK_MPI_VENC_StartRecvFrame(static_cast<int32_t>(chn), &param);
    if (ret != RK_SUCCESS) {
        plr_trace_logf(PLR_LOG_E, "PLR_VPS_VENC_StopRecvFrame faild with%#x! ",
                       static_cast<unsigned>(ret));
        return -1;
    }
    return 0;
}

int PLR_VPS_FpvEncStart() {
    const int init = PLR_VPS_VENC_VideoInit(&g_vpsCtx.fpvVenc);
    PLR_VPS_FPV_RcInit(&g_vpsCtx.fpvVenc);
    const int thread = PLR_VPS_StartGetFpvStream();
    const int recv = PLR_VPS_VENC_StartRecvFrame(g_vpsCtx.fpvVenc.vencChn, RK_VENC_RECV_UNLIMITED);
    const bool failed = init != 0 || thread != 0 || recv != 0;
    PLR_SYS_LED_Flush(failed ? PLR_LED_SLOW_BLINK : PLR_LED_ON);
    return init | thread | recv;
}

int PLR_VPS_FpvEncStop() {
    PLR_VPS_StopGetFpvStream();
    return PLR_VPS_VENC_VideoDeinit(&g_vpsCtx.fpvVenc);
}

int PLR_VPS_SnpEncStart() {
    if (g_vpsCtx.vpsMode.load() != VPS_MODE_PHOTO &&
        g_vpsCtx.vpsStatus.load() != VPS_STATUS_TO_PHOTO)
        return -1;
    const int ret = PLR_VPS_VENC_SnapInit(&g_vpsCtx.snapVenc);
    PLR_VPS_StartGetSnapStream();
    return ret;
}

int PLR_VPS_SnpEncStop() {
    if (g_vpsCtx.vpsMode.load() != VPS_MODE_PHOTO) return -1;
    PLR_VPS_StopGetSnapStream();
    return PLR_VPS_VENC_SnapDeinit(&g_vpsCtx.snapVenc);
}

// Card hot-plug signals become card events once the event queue exists.
static void post_card_event(int signo) {
    PLR_VPS_SendEvent(signo == SIGUSR1 ? VPS_EVT_SD_INSERT : VPS_EVT_SD_EJECT);
}

int PLR_VPS_Init() {
    PLR_VPS_RegisterHandlers();
    PLR_VPS_EvtThreadsInit();
    PLR_MAIN_SetCardSignalHandler(post_card_event);
    PLR_VPS_VBInit();
    PLR_VPS_ConfigInit();
    const int ispRet = PLR_VPS_VI_ISP_Init();
    PLR_TRACK_Init();
    PLR_VPS_FpvEncStart();
    PLR_VPS_SnpEncStart();
    PLR_VPS_SendEvent(VPS_EVT_INIT);
    if (ispRet != -1) {
        PLR_VPS_NotiInit();
        g_notiStarted.store(true);
        plr_trace_logf(PLR_LOG_D, "%s: VPS Init complete!!", __func__);
        return 0;
    }
    plr_trace_logf(PLR_LOG_D, "%s: VPS Init Fail!!", __func__);
    PLR_SYS_LED_Flush(PLR_LED_SLOW_BLINK);
    return -1;
}

void PLR_VPS_Deinit() {
    PLR_MAIN_SetCardSignalHandler(nullptr);
    PLR_VPS_EvtThreadsDeinit();
    PLR_VPS_SnapDeinit();
    // A recording still running ends with its files closed, not cut off.
    const uint32_t recState = PLR_VPS_RecState();
    if (g_vpsCtx.recRunning.load() != 0 &&
        (recState == MOV_ST_RUNNING || recState == MOV_ST_RECORDING)) {
        PLR_VPS_RecordStop();
    }
    for (MovCtx* ctx : {&g_vpsCtx.recMov, &g_vpsCtx.fpvMov}) {
        PLR_MOV_RecJoin(ctx);
        ctx->state.store(MOV_ST_IDLE);
    }
    // A repair in hand is finished; queued ones wait for the next mount.
    PLR_MOV_RepairStop();
    g_vpsCtx.recRunning.store(0);
    PLR_VPS_RecEncStop();
    PLR_VPS_VBExit();
    if (g_notiStarted.exchange(false)) PLR_VPS_NotiDeInit();
    PLR_VPS_FpvEncStop();
    PLR_VPS_SnpEncStop();
    PLR_TRACK_Deinit();
    PLR_VPS_VI_ISP_Deinit();
    plr_trace_logf(PLR_LOG_D, "%s: VPS Deinit complete!!", __func__);
}

void* PLR_VPS_RK_GetDataPtr(MEDIA_BUFFER mb) {
    return mb == nullptr ? nullptr : RK_MPI_MB_GetPtr(mb);
}

size_t PLR_VPS_RK_GetDataLen(MEDIA_BUFFER mb) {
    return mb == nullptr ? 0 : RK_MPI_MB_GetSize(mb);
}

int PLR_VPS_RK_FreePkt(MEDIA_BUFFER mb) {
    return mb == nullptr ? -1 : RK_MPI_MB_ReleaseBuffer(mb);
}

size_t PLR_VENC_WriteFile(const void* buffer, size_t length, FILE* file) {
    if (buffer == nullptr || file == nullptr) return 0;
    const auto* bytes = static_cast<const uint8_t*>(buffer);
    size_t written = 0;
    size_t blocks = length / kWriteBlock;
    while (blocks > 0) {
        const size_t chunk = blocks < kWriteBlocksPerCall ? blocks : kWriteBlocksPerCall;
        const size_t n = fwrite(bytes + written, kWriteBlock, chunk, file);
        written += n * kWriteBlock;
        usleep(6000);
        fflush(file);
        if (n == 0) return written;
        blocks -= n;
    }
    const size_t rest = length % kWriteBlock;
    if (rest != 0) {
        written += fwrite(bytes + written, 1, rest, file);
        fflush(file);
    }
    return written;
}

uint64_t PLR_VENC_GetPicBufferSize(uint32_t width, uint32_t height, uint32_t pixFmt,
                                   uint32_t bitWidth, uint32_t align) {
    uint32_t alignment = 32;
    if (align > 1024) {
        alignment = 1024;
    } else if (align != 0) {
        alignment = (align + 31) / 32 * 32;
    }
    uint32_t bits = 0;
    switch (bitWidth) {
        case 0:
            bits = 8;
            break;
        case 1:
        case 2:
            bits = 10;
            break;
        case 4:
            bits = 16;
            break;
        default:
            break;
    }
    const uint64_t rowBytes = (static_cast<uint64_t>(bits) * width + 7) / 8;
    const uint64_t stride = (rowBytes + alignment - 1) / alignment * alignment;
    const uint64_t base = static_cast<uint64_t>((height + 1) / 2 * 2) * stride;
    switch (pixFmt) {
        case 23:
        case 29:
            return base * 3 / 2;
        case 25:
        case 28:
            return base * 2;
        case 34:
            return base;
        default:
            return base * 3;
    }
}
