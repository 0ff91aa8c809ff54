// Encoder stream threads: take every encoded buffer of the live-view and the
// record encoder from the platform and hand it to the stream callbacks.
#pragma once

#include <cstdint>

#include "platform/media.h"

// The live-view consumer: one encoded frame (Annex B access unit), valid only
// during the call.
using PlrFpvStreamCb = int (*)(const void* data, uint32_t size);

// Registers the one live-view consumer: 0, or -1 (null, or one already there).
int PLR_VPS_RegFpvStreamCallback(PlrFpvStreamCb callback);

int PLR_VPS_StartGetFpvStream();
int PLR_VPS_StopGetFpvStream();
int PLR_VPS_StartGetRecStream();
int PLR_VPS_StopGetRecStream();

// The live-view stream callback: copy for a recording (after a frame the copy
// could not take, from the next key frame on), then the consumer.
void PLR_VPS_FPVStreamCb(MEDIA_BUFFER mb);
// Receives each record-encoder buffer and must release it (the recording
// control sets it; until then buffers are released unused).
using PlrRecStreamCb = void (*)(MEDIA_BUFFER mb);
void PLR_VPS_SetRecStreamCallback(PlrRecStreamCb callback);

// An encoder's picture size, frame rate and bitrate, as set at the last mode
// or resolution switch: the live view's and the recording's.
struct VpsStreamFormat {
    uint32_t width;
    uint32_t height;
    uint32_t fps;
    uint32_t bitrate;  // bits per second
};
VpsStreamFormat PLR_VPS_LiveViewFormat();
VpsStreamFormat PLR_VPS_RecordFormat();

// 1 when the frame begins with a four-byte start code and an SPS or IDR NAL unit.
int PLR_VPS_StreamKey(const uint8_t* frame, uint32_t size);

// Forgets the registered consumer (tests).
void PLR_VPS_StreamReset();
