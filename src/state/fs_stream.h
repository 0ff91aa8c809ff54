// The live-stream switch of the file service. The phone switches the live
// view on and off (DATA_STREAM on its MAVLink link or on the file port); the
// live view sends only while it is on, and the file service's missions run
// only while it is off. It starts on.
//
// It lives in the shared state because the phone link (which sets it), the
// live view (which reads it) and the file service (whose missions it blocks)
// are on different layers.
#pragma once

#include <cstdint>

// 1 while the live stream is switched on, else 0.
uint32_t fs_is_stream_on();
// Switches the live stream on (non-zero flag) or off and blocks or releases
// the file service's missions accordingly (FsDataStreamHandle). Returns 0.
int fs_set_stream_on(uint32_t flag);
// Blocks (non-zero flag) or releases the file service's missions: logs
// "Handle Video Stream ON|OFF" and sets the block word. Returns 0.
int FsDataStreamHandle(uint32_t flag);
// 1 while missions are blocked because the live stream is on.
uint32_t fs_is_stream_blocked();
// Back to the state at start: stream on, missions blocked only once the phone
// switches it (the block word starts at 0).
void fs_stream_reset();
