#include "vps/vps_handlers.h"

#include "vps/vps_ae.h"
#include "vps/vps_event.h"
#include "vps/vps_record.h"
#include "vps/vps_sd.h"
#include "vps/vps_snap.h"
#include "vps/vps_status.h"
#include "vps/vps_switch.h"
#include "vps/vps_tlapse.h"
#include "vps/vps_zoom.h"

namespace {

struct HandlerEntry {
    uint32_t eventno;
    VpsEvtHandler handler;
};

// Event number -> handler, for the events whose modules exist.
constexpr HandlerEntry kHandlers[] = {
    {VPS_EVT_MODE_SWITCH, [](const VpsEvt* e) { return PLR_VPS_ModeSwitchHandle(e->ival1); }},
    {VPS_EVT_SD_INSERT, [](const VpsEvt* e) { return PLR_VPS_UpdateSDStatus(e->eventno); }},
    {VPS_EVT_SD_EJECT, [](const VpsEvt* e) { return PLR_VPS_UpdateSDStatus(e->eventno); }},
    {VPS_EVT_SD_QUERY, [](const VpsEvt* e) { return PLR_VPS_UpdateSDStatus(e->eventno); }},
    {VPS_EVT_SD_FORMAT,
     [](const VpsEvt*) {
         PLR_VPS_SdFormatHandle();
         return 0;
     }},
    {VPS_EVT_SNAP_START, [](const VpsEvt*) { return PLR_VPS_SNAP_StartHandle(); }},
    {VPS_EVT_SNAP_STOP, [](const VpsEvt*) { return PLR_VPS_SNAP_StopHandle(); }},
    {VPS_EVT_REC_START, [](const VpsEvt*) { return PLR_VPS_REC_StartHandle(); }},
    {VPS_EVT_REC_SPLIT, [](const VpsEvt*) { return PLR_VPS_REC_SplitHandle(); }},
    {VPS_EVT_REC_STOP, [](const VpsEvt*) { return PLR_VPS_REC_StopHandle(); }},
    {VPS_EVT_RES_SET, [](const VpsEvt* e) { return PLR_VPS_ResSetHandle(e->ival1, e->ival2); }},
    {VPS_EVT_RES_QUERY, [](const VpsEvt*) { return PLR_VPS_ResQueryHandle(); }},
    {VPS_EVT_AE_MODE_SET, [](const VpsEvt* e) { return PLR_VPS_AE_ModeSetHandle(e->ival1); }},
    {VPS_EVT_AE_ATTR_SET,
     [](const VpsEvt* e) { return PLR_VPS_AE_AttrSetHandle(e->ival1, e->ival2); }},
    {VPS_EVT_AE_ROI_SET,
     [](const VpsEvt* e) { return PLR_VPS_AERoiSetHandle(e->ival1, e->ival2); }},
    {VPS_EVT_ATTR_SET, [](const VpsEvt* e) { return PLR_VPS_AttrSetHandle(e->ival1, e->ival2); }},
    {VPS_EVT_CFG_QUERY, [](const VpsEvt*) { return PLR_VPS_EvtCFGQueryHandle(); }},
    {VPS_EVT_CCT_SET, [](const VpsEvt* e) { return PLR_VPS_SetCCTHandle(e->ival1, e->ival2); }},
    {VPS_EVT_DN_MODE_SET, [](const VpsEvt* e) { return PLR_VPS_SetDNModeHandle(e->ival1); }},
    {VPS_EVT_TIMELAPSE, PLR_VPS_TimeLapseHandle},
    {VPS_EVT_ZOOM_OUT, [](const VpsEvt* e) { return PLR_VPS_ZoomHandle(e->eventno, e->ival1); }},
    {VPS_EVT_ZOOM_IN, [](const VpsEvt* e) { return PLR_VPS_ZoomHandle(e->eventno, e->ival1); }},
    {VPS_EVT_ZOOM_SET, [](const VpsEvt* e) { return PLR_VPS_ZoomHandle(e->eventno, e->ival1); }},
};

}  // namespace

void PLR_VPS_RegisterHandlers() {
    for (const HandlerEntry& entry : kHandlers) PLR_VPS_SetEvtHandler(entry.eventno, entry.handler);
}
