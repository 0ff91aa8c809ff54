// The mission scheduler of the file service: every operation that takes time
// is a mission, queued by the request thread and run one at a time, in
// arrival order, by the mission thread. At most three missions are queued
// (the running one included); a running interruptible mission (download,
// playback) gives way as soon as another is scheduled. While the live stream
// is on, queued missions are discarded instead of run.
#pragma once

#include <netinet/in.h>

#include <cstdint>

#include "fs/fs_context.h"

inline constexpr int FS_MISSION_LIMIT = 3;

// Queues a copy of `data` with `handler`, to answer `requester` (null: no
// one; such a mission's sends fail). A request of the running mission's own
// requester supersedes that mission. 0, or -1 for a null argument or a full
// queue (the request is dropped).
int fs_new_mission(const FsMissionData* data, FsMissionHandler handler, uint32_t interruptible,
                   FsContext* ctx, const sockaddr_in* requester = nullptr);
// The requester of the running mission, copied to `out`; false when none.
bool fs_mission_requester(FsContext* ctx, sockaddr_in* out);
// Queues a mission that the running one hands its work on to (a download,
// playback or thumbnail): it answers the running mission's requester.
int fs_hand_on(const FsMissionData* data, FsMissionHandler handler, uint32_t interruptible,
               FsContext* ctx);
int fs_mission_add(const FsMission* mission, FsContext* ctx);
int fs_mission_schedule(FsContext* ctx);
// The first mission (it stays queued while it runs), or false when none.
bool fs_mission_pop(FsContext* ctx, FsMission* out);
int fs_mission_del(uint32_t id, FsContext* ctx);
void fs_mission_clean(FsContext* ctx);
int fs_mission_count(FsContext* ctx);
uint32_t fs_gen_mission_id();

// The stop test of running missions: cancel requested, live stream on, a
// newer request of the same requester, or (for an interruptible mission)
// another mission scheduled.
bool fs_mission_should_stop(const FsContext* ctx, bool interruptible);

// The mission thread's body; returns when ctx->stop is set.
void fs_mission_handle(FsContext* ctx);
// Wakes the mission thread (after setting ctx->stop).
void fs_mission_wake(FsContext* ctx);
