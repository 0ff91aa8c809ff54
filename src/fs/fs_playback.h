// Playback streaming of a recorded video: the phone asks to play a file from
// a position; the board answers with the position and the track's time scale
// (TIME), then sends the H.264 stream in start-code form from the sync sample
// at or before that position, with the SPS and PPS in front, in pieces behind
// file tag 3, and TRANSCOMPLETE at the end. Pause, play and seek requests
// steer the running stream; a cancel or any new request stops it.
#pragma once

#include <cstdint>

#include "fs/fs_context.h"

// Schedules the playback mission (interruptible) of the video at `path`,
// reported to the phone as `name`, from `pos_ms` (negative means 0). 0, or
// -1 when the mission queue is full.
int FsPlayStart(const char* path, const char* name, int64_t pos_ms, FsContext* ctx);

// The play controls of a running playback, for uri_type 3 only: play (6)
// resumes, pause (7) holds the data, seek (8) restarts at `pos_ms`.
void FsPlayControl(uint8_t transfer_type, uint16_t uri_type, int64_t pos_ms, FsContext* ctx);

// The playback mission (FsFileStream): runs until the end of the file, a
// failure, a cancel or a newer mission.
void FsFileStream(const FsMissionData* data, FsContext* ctx);
