#include "vps/vps_tlapse.h"

#include "core/trace_log.h"
#include "mov/frame_queue.h"
#include "vps/vcs.h"
#include "vps/vps_ctx.h"
#include "vps/vps_record.h"
#include "vps/vps_sd.h"

namespace {

// The two recorder contexts carry identical time-lapse blocks.
template <typename F>
void both(F&& apply) {
    apply(g_vpsCtx.recMov.tlapse);
    apply(g_vpsCtx.fpvMov.tlapse);
}

int32_t paused() {
    return static_cast<int32_t>(g_vpsCtx.recMov.tlapse.paused.load());
}

int notify(int32_t retCode, int32_t sub) {
    PLR_VPS_EvtNotify(VPS_EVT_TIMELAPSE, retCode, sub, paused(), nullptr);
    return retCode == 0 ? 0 : -1;
}

int start(int32_t params) {
    if (g_vpsCtx.recMov.tlapse.active.load() != 0 && g_vpsCtx.fpvMov.tlapse.active.load() != 0) {
        both([](MovTimeLapse& t) { t.paused.store(0); });
        return notify(0, VPS_TLAPSE_START);
    }
    if (const uint32_t state = PLR_VPS_RecState(); state != MOV_ST_IDLE) {
        plr_trace_logf(PLR_LOG_D, "VPS TLAPSE START failed. record status:%u", state);
        return -1;
    }
    const auto interval = static_cast<uint8_t>((static_cast<uint32_t>(params) >> 16) & 0xFF);
    const auto duration = static_cast<uint8_t>(static_cast<uint32_t>(params) & 0xFF);
    both([&](MovTimeLapse& t) {
        t.interval.store(interval);
        t.duration.store(duration);
    });
    if (interval == 0 || duration == 0) return -1;
    both([](MovTimeLapse& t) { t.frames.store(0); });
    plr_trace_logf(PLR_LOG_D, "Timelapse: interval:%u,Duration:%u", interval, duration);
    if (g_vpsCtx.vpsStatus.load() != VPS_STATUS_IDLE || PLR_VCS_GetVpsMode() != VPS_MODE_RECORD ||
        g_vpsCtx.vpsMode.load() != VPS_MODE_RECORD ||
        g_vpsCtx.socTemp.load() >= PLR_SOC_TEMP_LIMIT) {
        plr_trace_log(PLR_LOG_D, "Timelapse start record failed,sys not ready!!!");
        return notify(-1, VPS_TLAPSE_START);
    }
    // Without a usable card the muxers could not create their files and the
    // blocks would stay active: refused like a record start.
    if (PLR_VPS_GetSDAvail() == 0) {
        plr_trace_logf(PLR_LOG_D, "Timelapse start record failed with %d!!", PLR_VPS_GetSDError());
        return notify(-1, VPS_TLAPSE_START);
    }
    both([](MovTimeLapse& t) { t.active.store(1); });
    const int ret = PLR_VPS_RecordStart();
    if (ret != 0) {
        plr_trace_logf(PLR_LOG_D, "Timelapse start record failed with %d!!", ret);
        both([](MovTimeLapse& t) { t.active.store(0); });
        return notify(-1, VPS_TLAPSE_START);
    }
    both([](MovTimeLapse& t) { t.paused.store(0); });
    return notify(0, VPS_TLAPSE_START);
}

}  // namespace

int PLR_VPS_TimeLapseHandle(const VpsEvt* evt) {
    if (evt == nullptr) return -1;
    switch (evt->ival1) {
        case VPS_TLAPSE_START:
            return start(evt->ival2);
        case VPS_TLAPSE_PAUSE:
            both([](MovTimeLapse& t) { t.paused.store(1); });
            return notify(0, VPS_TLAPSE_PAUSE);
        case VPS_TLAPSE_STOP:
            // Paused first: a muxer that saw the blocks inactive before it saw
            // the stop would write every frame, P-frames whose key frames the
            // file does not hold. The closing recorder clears the blocks and
            // reports the stop.
            both([](MovTimeLapse& t) { t.paused.store(1); });
            if (PLR_VPS_RecState() == MOV_ST_RECORDING &&
                g_vpsCtx.recMov.tlapse.active.load() != 0) {
                return PLR_VPS_RecordStop();
            }
            both([](MovTimeLapse& t) {
                t.active.store(0);
                t.paused.store(0);
            });
            notify(0, VPS_TLAPSE_STOP);
            if (PLR_VPS_RecState() == MOV_ST_RECORDING) return PLR_VPS_RecordStop();
            PLR_TRACE(PLR_LOG_E, "Record not ready!!!");
            return 0;
        default:
            plr_trace_logf(PLR_LOG_E, "Unhandled tlapse event %d", evt->ival1);
            return -1;
    }
}
