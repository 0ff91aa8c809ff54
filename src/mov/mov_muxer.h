// MP4 muxer threads: one thread per recording turns the H.264 frames of a
// recorder context's queue into an MP4 file on the card, ends the file at its
// size limit or when the card runs low, keeps only selected key frames in
// time-lapse mode, and reports every step through the context's stateCb
// (called on the muxer thread).
//
// States a thread reports: MOV_ST_RUNNING, MOV_ST_RECORDING (unless the file
// could not be created), at most one of MOV_ST_SPLIT / MOV_ST_FAILED /
// MOV_ST_SD_FULL, then MOV_ST_CLOSED and MOV_ST_IDLE. PLR_MOV_RecStart reports
// MOV_ST_STARTING before the thread exists.
//
// Threads are never detached: PLR_MOV_RecStart joins the context's previous
// (finished or finishing) thread before it starts the next, and
// PLR_MOV_RecJoin releases it when the recording contexts are torn down.
// Both belong to the controlling thread (the camera event thread), never to a
// state callback. A context's thread must be joined before the context is
// destroyed.
#pragma once

#include <cstdint>

#include "mov/frame_queue.h"

// A file ends (MOV_ST_SPLIT) once the NAL units examined exceed this many bytes.
inline constexpr uint64_t MOV_SPLIT_BYTES_DEFAULT = 4080218930ULL;  // 3.8 GiB
// A file ends (MOV_ST_SD_FULL) once the card's remaining space falls to this.
inline constexpr uint64_t MOV_SD_RESERVE_BYTES_DEFAULT = 314572800ULL;  // 300 MiB
// While a file is written its samples are flushed to the card this often, off
// the frame path: a power cut loses at most about that much of the recording.
inline constexpr uint32_t MOV_SYNC_INTERVAL_MS_DEFAULT = 1000;

// Start a muxer thread for a filled-in context: 0, or -1 (null context, the
// context's previous thread still recording, or no thread could be created,
// which reports MOV_ST_FAILED).
int PLR_MOV_RecStart(MovCtx* ctx);
// Ask the thread to stop; does not wait: 0, or -1 for null. On a context
// whose thread has already finished, MOV_ST_CLOSED is reported again.
int PLR_MOV_RecStop(MovCtx* ctx);
// Wait for the context's thread to end (asking it to stop first when nobody
// has) and release it: 0; -1 for null or when called on the thread itself.
int PLR_MOV_RecJoin(MovCtx* ctx);
// The thread body.
void PLR_MOV_RecordThreadM4v2(MovCtx* ctx);

// Limits of the files that threads started from now on write.
void PLR_MOV_SetSplitBytes(uint64_t bytes);
uint64_t PLR_MOV_GetSplitBytes();
void PLR_MOV_SetSdReserveBytes(uint64_t bytes);
uint64_t PLR_MOV_GetSdReserveBytes();
// The flush interval of the threads started from now on. 0 turns the power-cut
// protection off for them: no journal and no flushes until the file is closed
// (a file cut off then cannot be repaired); only for measuring what it costs.
void PLR_MOV_SetSyncIntervalMs(uint32_t ms);
uint32_t PLR_MOV_GetSyncIntervalMs();
