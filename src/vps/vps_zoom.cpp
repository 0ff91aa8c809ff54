#include "vps/vps_zoom.h"

#include <algorithm>

#include "core/trace_log.h"
#include "vps/vps_ctx.h"
#include "vps/vps_event.h"

namespace {

constexpr uint32_t kVideoModeZoom = 2;

uint32_t down4(uint32_t v) {
    return v & ~3u;
}

int zoom_failed(uint32_t event) {
    PLR_VPS_EvtNotify(event, -1, -1, -1, nullptr);
    return -1;
}

// Applies the crop for `percent` to one RGA channel. 0 or -1.
int zoom_channel(const RkChnAddr& chn, uint32_t percent, RkRgaAttr* applied) {
    RkRgaAttr attr{};
    int32_t ret = RK_MPI_RGA_GetChnAttr(chn.chnId, &attr);
    if (ret != 0) {
        PLR_TRACE(PLR_LOG_E, "RK_MPI_RGA_GetChnAttr failed with 0x%x!", static_cast<unsigned>(ret));
        return -1;
    }
    PLR_TRACE(PLR_LOG_D, "dump rga Zoom x,y(%u,%u) in W:%u H:%u out W:%u H:%u", attr.imgIn.x,
              attr.imgIn.y, attr.imgIn.width, attr.imgIn.height, attr.imgOut.width,
              attr.imgOut.height);
    RkRgaAttr zoomed{};
    PLR_VPS_ZoomCrop(attr, percent, &zoomed);
    PLR_TRACE(PLR_LOG_D, "final rga Zoom x,y(%u,%u) in W:%u H:%u out W:%u H:%u", zoomed.imgIn.x,
              zoomed.imgIn.y, zoomed.imgIn.width, zoomed.imgIn.height, zoomed.imgOut.width,
              zoomed.imgOut.height);
    ret = RK_MPI_RGA_SetChnAttr(chn.chnId, &zoomed);
    if (ret != 0) {
        PLR_TRACE(PLR_LOG_E, "RK_MPI_RGA_SetChnAttr failed with 0x%x!", static_cast<unsigned>(ret));
        return -1;
    }
    *applied = zoomed;
    return 0;
}

}  // namespace

void PLR_VPS_ZoomCrop(const RkRgaAttr& current, uint32_t percent, RkRgaAttr* zoomed) {
    *zoomed = current;
    const uint32_t outW = current.imgOut.width;
    const uint32_t outH = current.imgOut.height;
    // No crop smaller than a third of the one in place (3.0x from there).
    const uint32_t minH = 10 * current.imgIn.height / 30;
    const uint32_t minW = 10 * current.imgIn.width / 30;
    uint32_t w = percent == 0 ? 0 : down4(static_cast<uint32_t>(100ULL * outW / percent));
    const float aspect = outW == 0 ? 0.0f : static_cast<float>(outH) / static_cast<float>(outW);
    uint32_t h = down4(static_cast<uint32_t>(static_cast<float>(w) * aspect));
    plr_trace_logf(PLR_LOG_D, "calc rga in W:%u H:%u (%u,%u)(%u,%u)", w, h, minH, outH, minW, outW);
    h = std::clamp(h, std::min(minH, outH), outH);
    w = std::clamp(w, std::min(minW, outW), outW);
    zoomed->imgIn.width = w;
    zoomed->imgIn.horStride = w;
    zoomed->imgIn.height = h;
    zoomed->imgIn.virStride = h;
    zoomed->imgIn.x = (outW - w) / 2;
    zoomed->imgIn.y = (outH - h) / 2;
}

int PLR_VPS_ZoomHandle(uint32_t event, int32_t value) {
    const bool record = g_vpsCtx.vpsMode.load() == VPS_MODE_RECORD;
    if (record && g_vpsCtx.videoMode.load() != kVideoModeZoom) {
        PLR_TRACE(PLR_LOG_E, "Not in zoom mode.");
        return zoom_failed(event);
    }
    std::atomic<uint8_t>& zoomOfMode = record ? g_vpsCtx.recZoom : g_vpsCtx.snapZoom;
    uint32_t z = zoomOfMode.load();
    uint32_t p = g_vpsCtx.zoomPercent.load();
    if (p == 0) p = 100;
    uint32_t target = 0;
    switch (event) {
        case VPS_EVT_ZOOM_SET:
            // Negative percentages are no zoom the phone can mean: refused.
            if (value < 0) {
                PLR_TRACE(PLR_LOG_E, "zoom out of range %d.", value);
                return zoom_failed(event);
            }
            target = value == 0 ? 100 : static_cast<uint32_t>(value);
            if (target == p) {
                PLR_TRACE(PLR_LOG_D, "zoom at %u times already.", z);
                PLR_VPS_EvtNotify(event, 0, static_cast<int32_t>(z), -1, nullptr);
                return 0;
            }
            break;
        case VPS_EVT_ZOOM_OUT:
            if (z < VPS_ZOOM_MIN + 1) {
                PLR_TRACE(PLR_LOG_E, "zoom out of range %u.", z);
                return zoom_failed(event);
            }
            target = p - 1;
            break;
        case VPS_EVT_ZOOM_IN:
            if (z >= VPS_ZOOM_MAX) {
                PLR_TRACE(PLR_LOG_E, "zoom out of range %u.", z);
                return zoom_failed(event);
            }
            target = p + 1;
            break;
        default:
            PLR_TRACE(PLR_LOG_E, "Unkown Zoom Dir! %u", event);
            return zoom_failed(event);
    }
    const VpsVencChn& second = record ? g_vpsCtx.recVenc : g_vpsCtx.snapVenc;
    RkRgaAttr applied{};
    for (const VpsVencChn* venc : {static_cast<const VpsVencChn*>(&g_vpsCtx.fpvVenc), &second}) {
        if (zoom_channel(venc->rgaChn, target, &applied) != 0) return zoom_failed(event);
    }
    z = std::clamp<uint32_t>(target / 10, VPS_ZOOM_MIN, VPS_ZOOM_MAX);
    zoomOfMode.store(static_cast<uint8_t>(z));
    PLR_TRACE(PLR_LOG_D, "Video Zoom x,y(%u,%u) W:%u H:%u times %u", applied.imgIn.x,
              applied.imgIn.y, applied.imgIn.width, applied.imgIn.height, z);
    g_vpsCtx.zoomPercent.store(target);
    PLR_VPS_EvtNotify(event, 0, static_cast<int32_t>(z), -1, nullptr);
    return 0;
}
