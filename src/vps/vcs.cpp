#include "vps/vcs.h"

#include <cstdlib>
#include <iterator>
#include <mutex>

#include "core/timer.h"
#include "core/trace_log.h"
#include "vps/vps_event.h"

VcsCtx g_vcsCtx;

namespace {

constexpr uint32_t kStatusPeriodMs = 200;

std::atomic<VcsStatusSender> g_statusSender{nullptr};
std::mutex g_sdLock;  // the card's state, total and free change together
std::mutex g_timerLock;

struct ResEntry {
    int32_t res;
    int32_t fps;
};

// Phone resolution codes 0..13.
constexpr ResEntry kResTable[] = {
    {15, 25}, {15, 30}, {15, 60}, {14, 25}, {14, 30}, {14, 60}, {6, 25},
    {6, 30},  {6, 60},  {6, 120}, {5, 25},  {5, 30},  {5, 60},  {5, 120},
};

uint32_t bits(uint32_t value, uint32_t width, uint32_t shift) {
    return (value & ((1U << width) - 1U)) << shift;
}

uint32_t u(int32_t v) {
    return static_cast<uint32_t>(v);
}
uint8_t u8(int32_t v) {
    return static_cast<uint8_t>(v & 0xFF);
}

}  // namespace

void PLR_VCS_SetStatusSender(VcsStatusSender sender) {
    g_statusSender.store(sender);
}

int PLR_VCS_Init() {
    PLR_LOG_SetClockSyncQuery([] { return PLR_VCS_GetTimeSync() == 1; });
    PLR_VPS_SendEvent(VPS_EVT_CFG_QUERY);
    {
        std::lock_guard lock(g_timerLock);
        if (g_vcsCtx.statusTimer == nullptr) {
            PLR_Timer_Init(&g_vcsCtx.statusTimer, PLR_VCS_SendStatus);
            PLR_Timer_SetIntval(g_vcsCtx.statusTimer, kStatusPeriodMs);
        }
    }
    PLR_VPS_SendEvent(VPS_EVT_SD_QUERY);
    plr_trace_logf(PLR_LOG_D, "%s(line=%d):VCS Init Complete!", __func__, 389);
    return 0;
}

int PLR_VCS_Deinit() {
    std::lock_guard lock(g_timerLock);
    if (g_vcsCtx.statusTimer != nullptr) PLR_Timer_Deinit(&g_vcsCtx.statusTimer);
    plr_trace_logf(PLR_LOG_D, "%s(line=%d):VCS exited!", __func__, 396);
    return 0;
}

VcsCtx* PLR_VCS_GetVcsCtx() {
    return &g_vcsCtx;
}
uint32_t PLR_VCS_GetVpsMode() {
    return g_vcsCtx.vpsMode.load();
}
uint32_t PLR_VCS_GetSnapMode() {
    return g_vcsCtx.snapMode.load();
}
uint32_t PLR_VCS_GetPicFmt() {
    return g_vcsCtx.picFmt.load();
}
uint32_t PLR_VCS_GetTimeSync() {
    return g_vcsCtx.timeSync.load();
}

VcsSdStatus PLR_VCS_GetSDStatus() {
    std::lock_guard lock(g_sdLock);
    return {g_vcsCtx.sdStatus.load(), g_vcsCtx.sdTotal.load(), g_vcsCtx.sdFree.load()};
}

int PLR_VCS_SetVpsMode(uint32_t mode) {
    if (mode > 1) return -1;
    g_vcsCtx.vpsMode.store(mode);
    return 0;
}

int PLR_VCS_SetSDStatus(uint32_t status, uint32_t total, uint32_t free) {
    std::lock_guard lock(g_sdLock);
    g_vcsCtx.sdStatus.store(status);
    g_vcsCtx.sdTotal.store(total);
    g_vcsCtx.sdFree.store(free);
    return 0;
}

int PLR_VCS_SetAEMode(uint32_t mode) {
    g_vcsCtx.aeMode.store(mode != 0 ? 1 : 0);
    return 0;
}

int PLR_VCS_SetAEAttr(uint32_t attr, int32_t value) {
    switch (attr) {
        case 0:
            g_vcsCtx.iso.store(u(value));
            break;
        case 1:
            g_vcsCtx.shutter.store(u(value));
            break;
        case 2:
            g_vcsCtx.ev.store(value);
            break;
        default:
            return -1;
    }
    return 0;
}

int PLR_VCS_SetTimeSync(uint32_t flag) {
    g_vcsCtx.timeSync.store(flag == 1 ? 1 : 0);
    return 0;
}

int PLR_VCS_SetRes(int32_t res, int32_t fps) {
    for (uint32_t code = 0; code < std::size(kResTable); ++code) {
        if (kResTable[code].res == res && kResTable[code].fps == fps) {
            g_vcsCtx.resCode.store(code);
            return 0;
        }
    }
    // The two large pictures have no 120 fps code of their own.
    if ((res == 15 || res == 14) && fps == 120) {
        g_vcsCtx.resCode.store(9);
        return 0;
    }
    plr_trace_logf(PLR_LOG_D, "%s(line=%d):Don't support this res:%d,frmt:%d", __func__, 172, res,
                   fps);
    return 0;
}

int PLR_VCS_Res2SizeFrm(int32_t code, int32_t* res, int32_t* fps) {
    if (res == nullptr || fps == nullptr) return -1;
    if (code < 0 || code >= static_cast<int32_t>(std::size(kResTable))) {
        plr_trace_logf(PLR_LOG_D, "%s(line=%d):Don't support this res:%d", __func__, 241, code);
        return -1;
    }
    *res = kResTable[code].res;
    *fps = kResTable[code].fps;
    return 0;
}

int PLR_VCS_AttrSetHandle(int32_t attr, int32_t value) {
    plr_trace_logf(PLR_LOG_D, "PLR_VCS_AttrSetHandle: enAttr:%d  val:%d", attr, value);
    switch (attr) {
        case 0:
            g_vcsCtx.snapMode.store(u(value));
            break;
        case 1:
            g_vcsCtx.picFmt.store(u(value));
            break;
        case 2:
            g_vcsCtx.attr2.store(u(value));
            break;
        case 4:
            g_vcsCtx.attr4.store(u8(value));
            break;
        case 5:
            g_vcsCtx.ctiShot.store(u8(value));
            break;
        case 6:
            g_vcsCtx.attr6.store(u8(value));
            break;
        case 7:
            g_vcsCtx.snapTlapse.store(u8(value));
            break;
        case 8:
            g_vcsCtx.panoMode.store(u(value));
            break;
        case 9:
            g_vcsCtx.videoMode.store(u(value));
            break;
        default:
            break;  // attribute 3 and unknown ones change nothing
    }
    return 0;
}

int PLR_VCS_CCTSetHandle(int32_t mode, int32_t value) {
    plr_trace_logf(PLR_LOG_D, "PLR_VCS_CCTSetHandle mode %d val:%d", mode, value);
    g_vcsCtx.cctMode.store(u8(mode));
    g_vcsCtx.cct.store(u(value));
    return 0;
}

int PLR_VCS_DNModeSetHandle(int32_t mode) {
    plr_trace_logf(PLR_LOG_D, "PLR_VCS_DNModeSetHandle mode %d ", mode);
    g_vcsCtx.dnMode.store(u8(mode));
    return 0;
}

int PLR_VCS_VPSNotiHandle(int32_t item, int32_t ival1, int32_t ival2, const char* /*text*/) {
    switch (item) {
        case 0:
            g_vcsCtx.aeMode.store(u(ival1));
            break;
        case 1:
            g_vcsCtx.iso.store(u(ival1));
            break;
        case 2:
            g_vcsCtx.shutter.store(u(ival1));
            break;
        case 3:
            g_vcsCtx.ev.store(ival1);
            break;
        case 4:
            PLR_VCS_SetVpsMode(u(ival1));
            break;
        case 5:
            PLR_VCS_SetRes(ival1, ival2);
            break;
        case 6:
            g_vcsCtx.snapMode.store(u(ival1));
            break;
        case 7:
            g_vcsCtx.attr2.store(u(ival1));
            break;
        case 8:
            g_vcsCtx.picFmt.store(u(ival1));
            break;
        case 9:
            g_vcsCtx.attr4.store(u8(ival1));
            break;
        case 10:
            g_vcsCtx.ctiShot.store(u8(ival1));
            break;
        case 11:
            g_vcsCtx.attr6.store(u8(ival1));
            break;
        case 12:
            g_vcsCtx.snapTlapse.store(u8(ival1));
            break;
        case 13:
            g_vcsCtx.panoMode.store(u(ival1));
            break;
        case 14:
            g_vcsCtx.snapState.store(u(ival1));
            break;
        case 15:
            g_vcsCtx.zoom.store(u8(ival1));
            break;
        case 16:
            g_vcsCtx.temperature.store(u(ival2));
            break;
        case 17:
            g_vcsCtx.cct.store(u(ival1));
            break;
        case 18:
            g_vcsCtx.cctMode.store(u8(ival1));
            break;
        case 19:
            g_vcsCtx.dnMode.store(u8(ival1));
            break;
        default:
            break;
    }
    return 0;
}

int PLR_VCS_VPSTlapseHandle(int32_t sub, int32_t retCode, int32_t paused) {
    if (sub == 1) {
        g_vcsCtx.tlapseState.store(paused == 1 ? 1 : 2);
    } else if (sub == 2 && retCode == 0) {
        g_vcsCtx.tlapseState.store(0);
    } else if (sub == 0 && retCode == 0) {
        g_vcsCtx.tlapseState.store(2);
    }
    return 0;
}

int PLR_VCS_VPSZoomHandle(uint8_t zoom) {
    g_vcsCtx.zoom.store(zoom);
    return 0;
}

VcsStatusParams PLR_VCS_PackStatus() {
    const VcsCtx& c = g_vcsCtx;
    const VcsSdStatus sd = PLR_VCS_GetSDStatus();
    const int32_t ev = c.ev.load();
    VcsStatusParams p{};
    p.bits1 = bits(c.resCode.load(), 4, 0) | bits(c.reserved[0].load(), 4, 4) |
              bits(c.reserved[1].load(), 4, 8) | bits(c.aeMode.load(), 3, 12) |
              bits(c.vpsMode.load(), 1, 16) | bits(sd.status, 4, 20) |
              bits(c.snapMode.load(), 4, 24);
    p.bits2 = bits(c.iso.load(), 4, 0) | bits(c.shutter.load(), 6, 4) |
              bits(ev > 0 ? 1 : 0, 1, 10) | bits(static_cast<uint32_t>(std::abs(ev)), 4, 11) |
              bits(c.picFmt.load(), 3, 15) | bits(c.attr2.load(), 2, 18) |
              bits(c.ctiShot.load(), 4, 20) | bits(c.attr6.load(), 4, 24) |
              bits(c.panoMode.load(), 4, 28);
    p.sdTotal = static_cast<float>(sd.total);
    p.sdFree = static_cast<float>(sd.free);
    p.bits5 = bits(c.snapTlapse.load(), 5, 0) | bits(c.attr4.load(), 5, 5) |
              bits(c.tlapseState.load(), 4, 10) | bits(c.snapState.load(), 2, 14) |
              bits(c.timeSync.load(), 1, 16) | bits(c.zoom.load(), 7, 17) |
              bits(c.videoMode.load(), 8, 24);
    p.bits6 = bits(c.temperature.load(), 11, 0);
    p.bits7 =
        bits(c.cct.load() / 100, 7, 0) | bits(c.cctMode.load(), 1, 7) | bits(c.dnMode.load(), 1, 8);
    return p;
}

void PLR_VCS_SendStatus(void* /*arg*/) {
    const VcsStatusSender sender = g_statusSender.load();
    if (sender == nullptr) return;
    const VcsStatusParams params = PLR_VCS_PackStatus();
    sender(&params);
}

void PLR_VCS_Reset() {
    PLR_VCS_Deinit();
    g_vcsCtx.vpsMode = 0;
    g_vcsCtx.resCode = 1;
    g_vcsCtx.aeMode = 0;
    g_vcsCtx.iso = 0;
    g_vcsCtx.shutter = 24;
    g_vcsCtx.ev = 0;
    g_vcsCtx.snapMode = 0;
    g_vcsCtx.videoMode = 0;
    g_vcsCtx.attr2 = 0;
    g_vcsCtx.picFmt = 0;
    g_vcsCtx.attr4 = 0;
    g_vcsCtx.ctiShot = 0;
    g_vcsCtx.attr6 = 0;
    g_vcsCtx.snapTlapse = 0;
    g_vcsCtx.zoom = 0;
    g_vcsCtx.panoMode = 0;
    PLR_VCS_SetSDStatus(1, 0, 0);
    g_vcsCtx.tlapseState = 0;
    g_vcsCtx.snapState = 0;
    g_vcsCtx.timeSync = 0;
    g_vcsCtx.temperature = 0;
    g_vcsCtx.cct = 0;
    g_vcsCtx.cctMode = 0;
    g_vcsCtx.dnMode = 0;
}
