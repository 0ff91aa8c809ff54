// The camera's periodic status notifications (every 500 ms) and the answers to
// the configuration and resolution queries.
#pragma once

#include <cstdint>

int PLR_VPS_NotiInit();
int PLR_VPS_NotiDeInit();
// One status tick (the timer's handler).
void PLR_VPS_NotiHandler(void* arg);
// Handlers of VPS_EVT_CFG_QUERY and VPS_EVT_RES_QUERY.
int PLR_VPS_EvtCFGQueryHandle();
int PLR_VPS_ResQueryHandle();
// Ticks so far (every fourth refreshes the temperature); tests reset it.
uint32_t PLR_VPS_NotiTicks();
void PLR_VPS_NotiResetTicks();
