// The camera event bridge: the camera core's one notification callback. It
// queues every notification and, on its own thread and in order, turns it
// into what the phone and the flight controller must learn (acknowledgements,
// reports, state messages) and into updates of the camera settings context;
// it also runs the recording-time report between record start and stop.
#pragma once

#include <cstdint>

#include "vps/vps_event.h"

// Posts a camera event for the links; the default is PLR_VPS_SendEvent3. 0 or -1.
using MavEvtPoster = int (*)(uint32_t eventno, int32_t ival1, int32_t ival2, const char* text);
// Replaces the poster (tests record events); null restores the default.
void MavlinkSetEvtPoster(MavEvtPoster poster);
int MavlinkPostEvent(uint32_t eventno, int32_t ival1 = -1, int32_t ival2 = -1,
                     const char* text = nullptr);

// Registers the callback, opens the queue and starts the bridge thread. 0, or
// -1 when the thread could not be started.
int PLR_MAV_VPS_EvtInit();
// Stops the thread and closes the queue (queued notifications are dropped). 0.
int PLR_MAV_VPS_EvtDeinit();
int PLR_MAV_VPS_EvtThreadsInit();
int PLR_MAV_VPS_EvtThreadsDeinit();
// The callback: copies the notification into the bridge queue. 0 or -1.
int PLR_MAV_VPS_EvtCallback(const VpsEvt* evt);
int PLR_MAV_EvtHandle(const VpsEvt* evt);
// Translates one notification. 0.
int PLR_MAV_VPS_EvtHandle(const VpsEvt* evt);

// PELORA_SD_STATUS from the settings context.
int MavlinkSdCardStatusNotify();
// Card state for the phone: 0 -> 0, 1 -> 1, anything else -> 2.
uint8_t MavlinkConvertSDStatus(uint32_t state);
