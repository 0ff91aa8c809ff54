#include "vps/vps_status.h"

#include <atomic>
#include <cstdint>

#include "core/timer.h"
#include "vps/vps_ae.h"
#include "vps/vps_ctx.h"
#include "vps/vps_event.h"
#include "vps/vps_isp.h"
#include "vps/vps_sd.h"

namespace {

std::atomic<uint32_t> notiTick{0};
PlrTimer* g_notiTimer = nullptr;

constexpr int32_t kStatusPeriodMs = 500;

int notify_status(uint32_t eventno, int32_t item, int32_t value1, int32_t value2 = -1) {
    return PLR_VPS_EvtNotify(eventno, item, value1, value2, nullptr);
}

bool mode_switching() {
    return PLR_VPS_GetVpsStatus() != VPS_STATUS_IDLE;
}

// The camera feeding the live-view encoder.
uint32_t live_camera() {
    return static_cast<uint32_t>(g_vpsCtx.fpvVenc.src.devId);
}

void report_exposure() {
    rk_aiq_exp_res_info_t exp{};
    if (PLR_COMM_ISP_DumpExpInfo(live_camera(), &exp) != 0) return;
    uint32_t liveIso = 0;
    uint32_t liveShutter = 0;
    int32_t liveEv = 0;
    PLR_VPS_AE_ISOAlign(static_cast<uint32_t>(exp.analogGain * 100), &liveIso);
    PLR_VPS_AE_Exptime2SHR(static_cast<uint32_t>(exp.integrationTime * 1000000), &liveShutter);
    PLR_VPS_AE_HistErrAlign(&liveEv, exp.lumaDeviation * 10);

    VpsAeInfo ae{};
    PLR_VPS_GetAECInfo(&ae);
    const auto mode = static_cast<uint8_t>(ae.mode);
    const bool manual = mode == 1;
    const int32_t iso = manual ? static_cast<int32_t>(ae.iso) : static_cast<int32_t>(liveIso);
    const int32_t shutter =
        manual ? static_cast<int32_t>(ae.shutter) : static_cast<int32_t>(liveShutter);
    const int32_t ev = manual ? liveEv : static_cast<int16_t>(ae.ev & 0xffff);
    notify_status(VPS_EVT_STATUS, VPS_STA_AE_MODE, mode);
    notify_status(VPS_EVT_STATUS, VPS_STA_ISO, iso);
    notify_status(VPS_EVT_STATUS, VPS_STA_SHUTTER, shutter);
    notify_status(VPS_EVT_STATUS, VPS_STA_EV, ev);
}

void report_white_balance() {
    rk_aiq_wb_cct_t cct{};
    if (PLR_COMM_ISP_DumpCCTInfo(live_camera(), &cct) != 0) return;
    const auto kelvin = static_cast<int32_t>(cct.cct);
    notify_status(VPS_EVT_STATUS, VPS_STA_CCT, kelvin, static_cast<int32_t>(cct.ccri));
    g_vpsCtx.cct.store(static_cast<uint16_t>(kelvin / 100));
}

void report_time_lapse() {
    const MovTimeLapse& tlapse = g_vpsCtx.recMov.tlapse;
    if (tlapse.active.load() == 0) return;
    PLR_VPS_EvtNotify(VPS_EVT_TLAPSE_PROGRESS, 0, static_cast<int32_t>(tlapse.frames.load()),
                      25 * static_cast<int32_t>(tlapse.duration.load()), nullptr);
}

}  // namespace

int PLR_VPS_NotiInit() {
    PLR_Timer_Init(&g_notiTimer, PLR_VPS_NotiHandler);
    PLR_Timer_SetIntval(g_notiTimer, kStatusPeriodMs);
    return 0;
}

int PLR_VPS_NotiDeInit() {
    PLR_Timer_Deinit(&g_notiTimer);
    return 0;
}

void PLR_VPS_NotiHandler(void* /*arg*/) {
    if (notiTick.fetch_add(1) % 4 == 3) {
        PLR_VPS_Update_Thermal();
        notify_status(VPS_EVT_STATUS, VPS_STA_TEMPERATURE, 0,
                      static_cast<int32_t>(g_vpsCtx.socTemp.load()));
    }
    if (!mode_switching()) notify_status(VPS_EVT_STATUS, VPS_STA_ZOOM, PLR_VPS_CurrentZoom());
    report_exposure();
    report_white_balance();
    report_time_lapse();
}

int PLR_VPS_EvtCFGQueryHandle() {
    const VpsVencChn& rec = g_vpsCtx.recVenc;
    notify_status(VPS_EVT_CFG_QUERY, VPS_STA_VPS_MODE,
                  static_cast<int32_t>(g_vpsCtx.vpsMode.load()));
    notify_status(VPS_EVT_CFG_QUERY, VPS_STA_RESOLUTION, static_cast<int32_t>(rec.resId),
                  static_cast<int32_t>(rec.dstFps));
    notify_status(VPS_EVT_CFG_QUERY, VPS_STA_SNAP_MODE,
                  static_cast<int32_t>(g_vpsCtx.snapMode.load()));
    notify_status(VPS_EVT_CFG_QUERY, VPS_STA_PIC_FMT, static_cast<int32_t>(g_vpsCtx.picFmt.load()));
    notify_status(VPS_EVT_CFG_QUERY, VPS_STA_CTI_SHOT, g_vpsCtx.ctiShot.load());
    notify_status(VPS_EVT_CFG_QUERY, VPS_STA_SNAP_TLAPSE, g_vpsCtx.snapTlapse.load());
    notify_status(VPS_EVT_CFG_QUERY, VPS_STA_PANO_MODE,
                  static_cast<int32_t>(g_vpsCtx.panoMode.load()));
    notify_status(VPS_EVT_CFG_QUERY, VPS_STA_CCT_MODE, g_vpsCtx.cctMode.load());
    notify_status(VPS_EVT_CFG_QUERY, VPS_STA_DN_MODE, g_vpsCtx.dnMode.load());
    if (!mode_switching()) notify_status(VPS_EVT_CFG_QUERY, VPS_STA_ZOOM, PLR_VPS_CurrentZoom());
    return 0;
}

int PLR_VPS_ResQueryHandle() {
    return PLR_VPS_EvtNotify(VPS_EVT_RES_QUERY, 0, static_cast<int32_t>(g_vpsCtx.recVenc.resId),
                             static_cast<int32_t>(g_vpsCtx.recVenc.srcFps), nullptr);
}

uint32_t PLR_VPS_NotiTicks() {
    return notiTick.load();
}

void PLR_VPS_NotiResetTicks() {
    notiTick.store(0);
}
