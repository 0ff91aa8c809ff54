// Recording control: the record encoder, the record stream callback with its
// key-frame resynchronisation and adaptive bitrate, the start, stop and split
// handlers, and the recorders' state handlers.
#pragma once

#include <cstdint>

#include "platform/media.h"

int PLR_VPS_RecEncStart();
int PLR_VPS_RecEncStop();

int PLR_VPS_REC_StartHandle();
int PLR_VPS_REC_StopHandle();
int PLR_VPS_REC_SplitHandle();
int PLR_VPS_RecordStart();
int PLR_VPS_RecordStop();
// Ends the recording in progress at once because the card failed or left:
// its stop notifications carry `code` (a card error code) instead of 0.
void PLR_VPS_RecordAbort(int32_t code);

int PLR_VPS_4K_RecStHandler(uint32_t state);
int PLR_VPS_FPV_RecStHandler(uint32_t state);

// The record stream callback: queues the frame for the main recording.
void PLR_VPS_RECStreamCb(MEDIA_BUFFER mb);
// Its decision on one frame, apart from the platform buffer (tests drive it).
void PLR_VPS_RecQueueFrame(const uint8_t* frame, uint32_t size);
// Forgets the callback's private state (key-frame wait, bitrate counters).
void PLR_VPS_RecStreamReset();

// Time prefix of file names: "%Y%m%d_%H%M%S" of the board clock; 0, or -1 for null.
int PLR_VPS_GenFilePrefix(char* out, uint32_t size);
