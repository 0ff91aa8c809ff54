#include "vps/vps_switch.h"

#include <strings.h>
#include <unistd.h>

#include <cstring>

#include "core/trace_log.h"
#include "vps/vcs.h"
#include "vps/vps_ae.h"
#include "vps/vps_event.h"
#include "vps/vps_isp.h"
#include "vps/vps_pipeline.h"
#include "vps/vps_record.h"

namespace {

constexpr uint32_t kZoomRes = 15;
constexpr uint32_t kZoomFps = 25;
constexpr useconds_t kSettleUs = 100 * 1000;

// Rate-control parameters written to the video encoders (quantisation parameters).
constexpr RkVencRcParam kFpvRc = {5, 5, 30, 2, 51, 15, 50, 20};
constexpr RkVencRcParam kRecRc = {5, 5, 20, 2, 51, 15, 50, 15};

uint32_t camera_of(const VpsVencChn& venc) {
    return static_cast<uint32_t>(venc.src.devId);
}

int32_t image_type_for(uint32_t res) {
    return res < kZoomRes ? RK_IMAGE_ISP_ALT : RK_IMAGE_NV12;
}

void set_rates(VpsVencChn& venc, uint32_t fps) {
    venc.srcFps = fps;
    venc.dstFps = fps;
    venc.vencAttr.rcAttr.srcFrameRateNum = fps;
    venc.vencAttr.rcAttr.srcFrameRateDen = 1;
    venc.vencAttr.rcAttr.dstFrameRateNum = fps;
    venc.vencAttr.rcAttr.dstFrameRateDen = 1;
    venc.vencAttr.rcAttr.gop = fps;
    venc.vencAttr.gopAttr.gopSize = fps;
}

void set_picture(VpsVencChn& venc, const VpsPicSize& size) {
    venc.vencAttr.vencAttr.virWidth = size.width;
    venc.vencAttr.vencAttr.virHeight = size.height;
    venc.vencAttr.vencAttr.picWidth = size.width;
    venc.vencAttr.vencAttr.picHeight = size.height;
}

int rc_init(VpsVencChn* chn, const RkVencRcParam& values, bool logRead) {
    if (chn == nullptr) return -1;
    const auto venc = static_cast<int32_t>(chn->vencChn);
    RkVencRcParam param{};
    int32_t ret = RK_MPI_VENC_GetRcParam(venc, &param);
    if (ret != RK_SUCCESS) {
        plr_trace_logf(PLR_LOG_D, "Get RC param failed with %d!", ret);
        return ret;
    }
    if (logRead) {
        plr_trace_logf(PLR_LOG_D, "Get RC param %u %u %u %u %u %u %u", param.qpStep, param.maxQp,
                       param.minQp, param.maxIQp, param.minIQp, param.firstFrameStartQp,
                       param.firstFrameStartQp);
    }
    ret = RK_MPI_VENC_SetRcParam(venc, &values);
    if (ret != RK_SUCCESS) plr_trace_logf(PLR_LOG_D, "Set RC param failed with %d!", ret);
    return ret;
}

int switch_failed(const char* message) {
    if (message != nullptr) plr_trace_log(PLR_LOG_E, message);
    PLR_VPS_EvtNotify(VPS_EVT_MODE_SWITCH, -1, static_cast<int32_t>(g_vpsCtx.vpsMode.load()), -1,
                      nullptr);
    g_vpsCtx.vpsStatus.store(VPS_STATUS_IDLE);
    return -1;
}

int to_photo_mode() {
    plr_trace_log(PLR_LOG_D, "PLR_VPS_ModeSwitch to Photo mode.");
    g_vpsCtx.vpsStatus.store(VPS_STATUS_TO_PHOTO);
    g_vpsCtx.snapZoom.store(10);
    PLR_VPS_EvtNotify(VPS_EVT_STATUS, VPS_STA_ZOOM, 10, -1, nullptr);
    PLR_VPS_RecEncStop();
    PLR_VPS_FpvEncStop();
    usleep(kSettleUs);
    g_vpsCtx.fpvVenc.useRga = 1;
    g_vpsCtx.snapVenc.useRga = 1;
    const uint32_t camId = camera_of(g_vpsCtx.snapVenc);
    const uint32_t fps = g_vpsCtx.snapVenc.srcFps;
    if (PLR_VPS_ResolutionSet(camId, g_vpsCtx.snapVenc.resId, fps) != 0) {
        return switch_failed("PLR_VPS_ResolutionSet Photo mode failed");
    }
    set_rates(g_vpsCtx.fpvVenc, fps);
    VpsPicSize size{};
    if (PLR_COMM_SYS_GetPicSize(g_vpsCtx.fpvVenc.resId, &size) == 0) {
        g_vpsCtx.fpvVenc.width = size.width;
        g_vpsCtx.fpvVenc.height = size.height;
    }
    VpsAeCfg& ae = g_vpsCtx.snapAe;
    ae.ev.store(0);
    PLR_VPS_AE_ModeSet(camId, ae.mode.load() != 0, static_cast<int32_t>(ae.iso.load()),
                       static_cast<int32_t>(ae.shutter.load()), 0);
    PLR_VPS_FpvEncStart();
    PLR_VPS_SnpEncStart();
    return PLR_MOV_ContexDeinit(&g_vpsCtx.recMov) | PLR_MOV_ContexDeinit(&g_vpsCtx.fpvMov);
}

int to_record_mode() {
    plr_trace_log(PLR_LOG_D, "PLR_VPS_ModeSwitch to Record mode.");
    g_vpsCtx.vpsStatus.store(VPS_STATUS_TO_RECORD);
    g_vpsCtx.recZoom.store(10);
    PLR_VPS_EvtNotify(VPS_EVT_STATUS, VPS_STA_ZOOM, 10, -1, nullptr);
    if (PLR_VPS_FpvEncStop() != 0) return switch_failed("PLR_VPS_FpvEncStop failed");
    if (PLR_VPS_SnpEncStop() != 0) return switch_failed("PLR_VPS_SnpEncStop failed");
    usleep(kSettleUs);
    const uint32_t snapCam = camera_of(g_vpsCtx.snapVenc);
    PLR_VPS_AE_ExpLock(snapCam, 0);
    PLR_VPS_AE_SetDefWeight(snapCam);

    VpsVencChn& rec = g_vpsCtx.recVenc;
    VpsVencChn& fpv = g_vpsCtx.fpvVenc;
    uint32_t fps = rec.srcFps;
    if (g_vpsCtx.videoMode.load() != 2) {
        fpv.useRga = 0;
        rec.useRga = 0;
    } else {
        fpv.useRga = 1;
        rec.useRga = 1;
        rec.resId = kZoomRes;
        for (VpsVencChn* venc : {&fpv, &rec}) {
            venc->vencAttr.rcAttr.gop = kZoomFps;
            venc->vencAttr.gopAttr.gopSize = kZoomFps;
            venc->vencAttr.rcAttr.srcFrameRateNum = kZoomFps;
            venc->vencAttr.rcAttr.dstFrameRateNum = kZoomFps;
        }
        fps = kZoomFps;
    }
    const uint32_t recCam = camera_of(rec);
    if (PLR_VPS_ResolutionSet(recCam, rec.resId, fps) != 0) {
        return switch_failed("PLR_VPS_ResolutionSet Record mode failed");
    }
    PLR_VPS_UpdateVencAttrByRes(rec.resId, fps);
    VpsAeCfg& ae = g_vpsCtx.recAe;
    ae.ev.store(0);
    PLR_VPS_AE_ModeSet(recCam, ae.mode.load() != 0, static_cast<int32_t>(ae.iso.load()),
                       static_cast<int32_t>(ae.shutter.load()), 0);
    PLR_VPS_FpvEncStart();
    PLR_VPS_RecEncStart();
    return PLR_MOV_ContexInit(&g_vpsCtx.recMov) | PLR_MOV_ContexInit(&g_vpsCtx.fpvMov);
}

}  // namespace

int PLR_VPS_ModeSwitchHandle(int32_t mode) {
    if (static_cast<uint32_t>(mode) == g_vpsCtx.vpsMode.load()) {
        PLR_VPS_EvtNotify(VPS_EVT_MODE_SWITCH, 0, static_cast<int32_t>(g_vpsCtx.vpsMode.load()), -1,
                          nullptr);
        return 0;
    }
    // Busy refusals are notified like every other failure, so that the phone
    // gets its answer (the mode it stays in, result 4) instead of silence.
    if (const uint32_t busy = g_vpsCtx.snapBusy.load(); busy != 0) {
        plr_trace_logf(PLR_LOG_E, "Vps Snap busy %u...switch mode failed!", busy);
        return switch_failed(nullptr);
    }
    if (const uint32_t state = PLR_VPS_RecState(); state != MOV_ST_IDLE) {
        plr_trace_logf(PLR_LOG_E, "Vps Record busy %u...switch mode failed!", state);
        return switch_failed(nullptr);
    }
    if (g_vpsCtx.snapRun.load() != 0) {
        // Stop still capture exactly as its stop event does.
        VpsEvt stop{};
        stop.eventno = VPS_EVT_SNAP_STOP;
        stop.ival1 = -1;
        stop.ival2 = -1;
        PLR_VPS_EvtHandle(&stop);
    }

    int ret = -1;
    if (mode == VPS_MODE_PHOTO) {
        ret = to_photo_mode();
    } else if (mode == VPS_MODE_RECORD) {
        ret = to_record_mode();
    } else {
        plr_trace_logf(PLR_LOG_I, "VPS unkown mode %d", mode);
        return switch_failed(nullptr);
    }
    if (ret != 0) {
        // A refusal inside the switch has already answered; a failed recorder set-up has not.
        if (g_vpsCtx.vpsStatus.load() != VPS_STATUS_IDLE) switch_failed(nullptr);
        return ret;
    }
    usleep(kSettleUs);
    g_vpsCtx.vpsMode.store(static_cast<uint32_t>(mode));
    PLR_VCS_SetVpsMode(static_cast<uint32_t>(mode));
    PLR_VPS_EvtNotify(VPS_EVT_MODE_SWITCH, 0, mode, -1, nullptr);
    g_vpsCtx.vpsStatus.store(VPS_STATUS_IDLE);
    g_vpsCtx.zoomPercent.store(0);
    return 0;
}

int PLR_VPS_FramerateCheck(int32_t fps) {
    return fps == 25 || fps == 30 ? 0 : -1;
}

int PLR_VPS_ResSetHandle(int32_t res, int32_t fps) {
    auto refuse = [] {
        PLR_VPS_EvtNotify(VPS_EVT_RES_SET, -1, -1, -1, nullptr);
        return -1;
    };
    const uint32_t state = PLR_VPS_RecState();
    if (state != MOV_ST_IDLE && state != MOV_ST_CLOSED) {
        plr_trace_logf(PLR_LOG_E, "Vps busy,it's Recording! %u", state);
        return refuse();
    }
    if (PLR_VPS_FramerateCheck(fps) != 0) {
        plr_trace_logf(PLR_LOG_E, "Invalid frm:%d", fps);
        return refuse();
    }
    VpsPicSize size{};
    if (res < 0 || PLR_COMM_SYS_GetPicSize(static_cast<uint32_t>(res), &size) != 0) {
        plr_trace_logf(PLR_LOG_E, "Invalid resolution:%d", res);
        return refuse();
    }
    if (g_vpsCtx.vpsMode.load() != VPS_MODE_RECORD) {
        // In photo mode the video input feeds the still capture at the photo
        // size: the record resolution is kept for the next switch to record
        // mode, which sets the input up for it.
        PLR_VPS_UpdateVencAttrByRes(static_cast<uint32_t>(res), static_cast<uint32_t>(fps));
        PLR_VPS_EvtNotify(VPS_EVT_RES_SET, 0, res, fps, nullptr);
        return 0;
    }
    PLR_VPS_RecEncStop();
    PLR_VPS_FpvEncStop();
    const uint32_t viInstance =
        static_cast<uint32_t>(g_vpsCtx.recVenc.src.devId) % VPS_VI_INSTANCES;
    if (PLR_VPS_ResolutionSet(g_vpsCtx.viInst[viInstance].camId, static_cast<uint32_t>(res),
                              static_cast<uint32_t>(fps)) != 0) {
        return refuse();
    }
    PLR_VPS_UpdateVencAttrByRes(static_cast<uint32_t>(res), static_cast<uint32_t>(fps));
    PLR_VPS_FpvEncStart();
    PLR_VPS_RecEncStart();
    PLR_VPS_EvtNotify(VPS_EVT_RES_SET, 0, res, fps, nullptr);
    return 0;
}

int PLR_VPS_FindViChn(const char* name, uint32_t instance) {
    if (name == nullptr || instance >= VPS_VI_INSTANCES) return -1;
    const VpsViInstance& inst = g_vpsCtx.viInst[instance];
    for (uint32_t i = 0; i < VPS_VI_CHANNELS; ++i) {
        const char* node = inst.chns[i].attr.videoNode;
        if (node != nullptr && strncasecmp(name, node, strlen(node)) == 0)
            return static_cast<int>(i);
    }
    return -1;
}

int PLR_VPS_ResolutionSet(uint32_t camId, uint32_t res, uint32_t fps) {
    auto fail = [] {
        plr_trace_log(PLR_LOG_D, "Set reolution failed!");
        return -1;
    };
    VpsPicSize size{};
    if (PLR_COMM_SYS_GetPicSize(res, &size) != 0) {
        plr_trace_logf(PLR_LOG_E, "Invalid resolution:%u", res);
        return fail();
    }
    rk_aiq_exp_sw_attr_t attr{};
    int ret = PLR_COMM_ISP_GetExpSwAttr(camId, &attr);
    if (ret != 0) {
        plr_trace_logf(PLR_LOG_E, "PLR_COMM_ISP_GetExpSwAttr failed with 0x%x!",
                       static_cast<unsigned>(ret));
        return fail();
    }
    attr.frameRate.isFpsFix = 1;
    attr.frameRate.fpsValue = static_cast<float>(fps);
    attr.maxExpTime.enable = 1;
    attr.maxExpTime.maxTime = 1.0f / static_cast<float>(fps);
    plr_trace_logf(PLR_LOG_D, "%s max exptime %.6f", __func__,
                   static_cast<double>(attr.maxExpTime.maxTime));
    ret = PLR_COMM_ISP_SetExpSwAttr(camId, &attr);
    if (ret != 0) {
        plr_trace_logf(PLR_LOG_E, "PLR_COMM_ISP_GetExpSwAttr failed with 0x%x!",
                       static_cast<unsigned>(ret));
        return fail();
    }

    const char* node = res <= 14 ? "rkispp_scale0" : "rkispp_m_bypass";
    VpsVencChn& rec = g_vpsCtx.recVenc;
    VpsVencChn& snap = g_vpsCtx.snapVenc;
    const uint32_t status = g_vpsCtx.vpsStatus.load();
    const bool recordMode = g_vpsCtx.vpsMode.load() == VPS_MODE_RECORD;
    VpsVencChn& oldVenc = recordMode ? rec : snap;
    VpsVencChn* newVenc = &oldVenc;
    if (recordMode && status == VPS_STATUS_TO_PHOTO) newVenc = &snap;
    if (!recordMode && status == VPS_STATUS_TO_RECORD) newVenc = &rec;
    const auto oldInst = static_cast<uint32_t>(oldVenc.src.devId) % VPS_VI_INSTANCES;
    const auto oldChn = static_cast<uint32_t>(oldVenc.src.chnId) % VPS_VI_CHANNELS;
    const auto newInst = static_cast<uint32_t>(newVenc->src.devId) % VPS_VI_INSTANCES;
    const bool searched = newVenc != &oldVenc || recordMode;
    if (searched) {
        const int found = PLR_VPS_FindViChn(node, newInst);
        if (found >= 0) newVenc->src.chnId = found;
    }
    const auto newChn = static_cast<uint32_t>(newVenc->src.chnId) % VPS_VI_CHANNELS;

    VpsViInstance& oldVi = g_vpsCtx.viInst[oldInst];
    RK_MPI_VI_DisableChn(static_cast<int32_t>(oldVi.viPipe), static_cast<int32_t>(oldChn));
    oldVi.chns[oldChn].enabled = 0;

    VpsViInstance& newVi = g_vpsCtx.viInst[newInst];
    VpsViChn& chn = newVi.chns[newChn];
    chn.enabled = 1;
    chn.attr.width = size.width;
    chn.attr.height = size.height;
    chn.attr.imageType = image_type_for(res);
    ret = RK_MPI_VI_SetChnAttr(static_cast<int32_t>(newVi.viPipe), static_cast<int32_t>(newChn),
                               &chn.attr);
    if (ret == RK_SUCCESS)
        ret = RK_MPI_VI_EnableChn(static_cast<int32_t>(newVi.viPipe), static_cast<int32_t>(newChn));
    if (ret != RK_SUCCESS) {
        plr_trace_logf(PLR_LOG_E, "Create Vi %u Chn %u failed! ret=%d", newVi.camId, newChn, ret);
        return fail();
    }
    plr_trace_logf(PLR_LOG_D, "Set reolution to W:%u H:%u frm:%u", size.width, size.height, fps);
    return 0;
}

int PLR_VPS_UpdateVencAttrByRes(uint32_t res, uint32_t fps) {
    VpsPicSize size{};
    if (PLR_COMM_SYS_GetPicSize(res, &size) != 0) {
        plr_trace_logf(PLR_LOG_E, "Invalid resolution:%u", res);
        return -1;
    }
    VpsVencChn& rec = g_vpsCtx.recVenc;
    rec.resId = res;
    rec.width = size.width;
    rec.height = size.height;
    set_picture(rec, size);
    rec.pixFmt = static_cast<uint32_t>(image_type_for(res));
    rec.vencAttr.vencAttr.imageType = image_type_for(res);
    set_rates(rec, fps);
    rec.vencAttr.rcAttr.bitRate = PLR_COMM_VENC_GetBitrateByRes(res, fps);
    set_rates(g_vpsCtx.fpvVenc, fps);
    plr_trace_logf(PLR_LOG_D, "update encode param for resolution:%u ", res);
    return 0;
}

int PLR_VPS_SetVideoMode(uint32_t mode) {
    if (mode >= 3 || PLR_VPS_RecState() != MOV_ST_IDLE) return -1;
    if (mode == 1) {
        plr_trace_logf(PLR_LOG_E, "Unkown video mode %u", mode);
        return -1;
    }
    PLR_VPS_FpvEncStop();
    PLR_VPS_RecEncStop();
    usleep(kSettleUs);
    g_vpsCtx.recZoom.store(10);
    VpsVencChn& rec = g_vpsCtx.recVenc;
    VpsVencChn& fpv = g_vpsCtx.fpvVenc;
    const bool zoom = mode == 2;
    VpsPicSize size{};
    const uint32_t res = zoom ? kZoomRes : rec.resId;
    if (PLR_COMM_SYS_GetPicSize(res, &size) != 0) {
        plr_trace_logf(PLR_LOG_E, "%s Invalid resolution:%u", __func__, res);
        return -1;
    }
    fpv.useRga = zoom ? 1 : 0;
    rec.useRga = zoom ? 1 : 0;
    for (VpsVencChn* venc : {&fpv, &rec}) {
        const uint32_t fps = zoom ? kZoomFps : venc->dstFps;
        venc->vencAttr.gopAttr.gopSize = fps;
        venc->vencAttr.rcAttr.gop = fps;
        venc->vencAttr.rcAttr.srcFrameRateNum = fps;
        venc->vencAttr.rcAttr.dstFrameRateNum = fps;
    }
    set_picture(rec, size);
    const uint32_t fps = zoom ? kZoomFps : rec.srcFps;
    rec.vencAttr.rcAttr.bitRate = PLR_COMM_VENC_GetBitrateByRes(res, fps);
    PLR_VPS_ResolutionSet(camera_of(rec), res, fps);
    PLR_VPS_FpvEncStart();
    PLR_VPS_RecEncStart();
    g_vpsCtx.videoMode.store(mode);
    g_vpsCtx.zoomPercent.store(0);
    return 0;
}

uint32_t PLR_COMM_VENC_GetBitrateByRes(uint32_t res, uint32_t fps) {
    uint32_t bitrate = 100000000;
    switch (res) {
        case 5:
            bitrate = 20000000;
            break;
        case 6:
            bitrate = 50000000;
            break;
        case 14:
            bitrate = 70000000;
            break;
        default:
            break;
    }
    plr_trace_logf(PLR_LOG_I, "%s calc bitrate %u for res %u fps %u", __func__, bitrate, res, fps);
    return bitrate;
}

uint32_t PLR_VPS_GetRecordBitrate() {
    if (g_vpsCtx.videoMode.load() == 2) return PLR_COMM_VENC_GetBitrateByRes(kZoomRes, kZoomFps);
    return PLR_COMM_VENC_GetBitrateByRes(g_vpsCtx.recVenc.resId, g_vpsCtx.recVenc.srcFps);
}

int PLR_COMM_VENC_GetGopAttr(int32_t gopMode, RkVencGopAttr* gop) {
    if (gop == nullptr) return -1;
    if (gopMode == RK_GOP_MODE_NORMAL) {
        gop->gopSize = 30;
        return 0;
    }
    if (gopMode == RK_GOP_MODE_SMART) {
        gop->gopMode = 2;
        return 0;
    }
    plr_trace_log(PLR_LOG_E, "not support the gop mode !");
    return -1;
}

int PLR_VPS_VENC_SetBitrate(uint32_t component, uint32_t bitrate) {
    const VpsVencChn* venc = nullptr;
    if (component == PLR_BITRATE_FPV) {
        venc = &g_vpsCtx.fpvVenc;
        if (bitrate < PLR_FPV_BITRATE_MIN || bitrate > PLR_FPV_BITRATE_MAX) venc = nullptr;
    } else if (component == PLR_BITRATE_RECORD) {
        venc = &g_vpsCtx.recVenc;
        if (bitrate < PLR_REC_BITRATE_MIN || bitrate > PLR_REC_BITRATE_MAX) venc = nullptr;
    } else {
        plr_trace_logf(PLR_LOG_E, "Unsupported bitrate component %u", component);
        plr_trace_logf(PLR_LOG_E, "Bitrate set failed with 0x%d", -1);
        return -1;
    }
    if (venc == nullptr) {
        plr_trace_logf(PLR_LOG_E, "Invalid bitrate Value %u", bitrate);
        plr_trace_logf(PLR_LOG_E, "Bitrate set failed with 0x%d", -1);
        return -1;
    }
    const int32_t ret = RK_MPI_VENC_SetBitrate(static_cast<int32_t>(venc->vencChn), bitrate,
                                               PLR_REC_BITRATE_MIN, PLR_REC_BITRATE_MAX);
    if (ret != RK_SUCCESS) {
        plr_trace_logf(PLR_LOG_E, "Bitrate set failed with 0x%d", ret);
        return ret;
    }
    plr_trace_logf(PLR_LOG_D, "Bitrate set OK, chan:%u val:%u", venc->vencChn, bitrate);
    return 0;
}

int32_t PLR_VPS_VENC_GetBitrate(uint32_t component) {
    if (component != PLR_BITRATE_FPV && component != PLR_BITRATE_RECORD) {
        plr_trace_logf(PLR_LOG_E, "Unsupported bitrate component %u", component);
        plr_trace_logf(PLR_LOG_E, "Get bitrate failed with 0x%x", 0xffffffffu);
        return -1;
    }
    const VpsVencChn& venc = component == PLR_BITRATE_FPV ? g_vpsCtx.fpvVenc : g_vpsCtx.recVenc;
    RkVencChnAttr attr{};
    const int32_t ret = RK_MPI_VENC_GetVencChnAttr(static_cast<int32_t>(venc.vencChn), &attr);
    if (ret != RK_SUCCESS) {
        plr_trace_logf(PLR_LOG_E, "Get bitrate failed with 0x%x", static_cast<unsigned>(ret));
        return ret;
    }
    if (attr.rcAttr.rcMode != RK_RC_H264_CBR && attr.rcAttr.rcMode != RK_RC_H265_CBR) {
        plr_trace_logf(PLR_LOG_E, "Unsupported bitrate set for encode mode %d", attr.rcAttr.rcMode);
        plr_trace_logf(PLR_LOG_E, "Get bitrate failed with 0x%x", 0u);
        return 0;
    }
    return static_cast<int32_t>(attr.rcAttr.bitRate);
}

int PLR_VPS_FPV_RcInit(VpsVencChn* chn) {
    return rc_init(chn, kFpvRc, false);
}

int PLR_VPS_REC_RcInit(VpsVencChn* chn) {
    return rc_init(chn, kRecRc, true);
}
