// Media buffer pool: a fixed set of blocks, allocated once at start-up in a
// few size classes, that carry encoded frames from the encoder threads to the
// muxer and live-view threads without any frame-sized allocation at run time.
// A buffer record is at the same time the frame record the frame queues link.
#pragma once

#include <cstdint>

inline constexpr uint32_t MM_POOL_MAX_CLASS = 16;
// Bit 0 of MM_BUFFER_S::flags: the buffer is handed out.
inline constexpr uint32_t MM_BUFFER_FLAG_USED = 0x1u;

struct MM_CLASS_CFG_S {
    uint64_t blkSize;  // bytes per block
    uint32_t blkCnt;   // number of blocks
};

struct MM_POOL_CFG_S {
    uint32_t classCnt;  // 1 .. MM_POOL_MAX_CLASS
    MM_CLASS_CFG_S classes[MM_POOL_MAX_CLASS];
};

struct MM_BUFFER_S {
    uint32_t index;     // position in the pool, 0 .. total - 1
    uint32_t classId;   // size class
    uint8_t* memory;    // the block, owned by the pool
    uint64_t capacity;  // block size of the class
    uint8_t* data;      // where the frame's bytes are (the block at start-up)
    uint64_t length;    // valid bytes, set by the buffer's user
    uint32_t flags;     // MM_BUFFER_FLAG_USED; changed only under the pool lock
    MM_BUFFER_S* next;  // link in a frame queue; null when not queued
};

// A snapshot of one class, for diagnostics and tests.
struct MM_CLASS_S {
    uint32_t index;
    uint32_t total;
    MM_BUFFER_S* first;  // first record of the class
    uint32_t freeCnt;
    uint32_t usedCnt;
};

// 0; -1 already initialised; -4 null configuration or a class count of 0 or
// above MM_POOL_MAX_CLASS; -2 the record array could not be allocated; 1 the
// class array or a block could not be allocated (the pool stays uninitialised).
int MM_POOL_Init(const MM_POOL_CFG_S* cfg);
// Leaves an initialised pool in place (stream threads may still hold buffers
// during shutdown; the memory lives until the process ends). Returns 0.
int MM_POOL_Exit(const MM_POOL_CFG_S* cfg);
// Frees every block and record and makes the pool uninitialised, whatever is
// still handed out. Only for the end of a test or of the process, when no
// thread can hold a buffer.
void MM_POOL_Reset();

// A free buffer of the smallest sufficient class that has one (ties: the class
// listed first), or null: pool not initialised, size 0, or every sufficient
// class exhausted. Never waits, never allocates.
MM_BUFFER_S* MM_BUFFER_Request(uint64_t size);
// Returns a buffer to the pool: 0; -3 pool not initialised; -4 null record, a
// record that is not the pool's, or one that is not handed out (a second
// release), which is refused so that the class counts stay right.
int MM_BUFFER_Release(MM_BUFFER_S* buffer);

// Copies the state of class `classIdx` into *info: 0, or -1 (not initialised,
// no such class, null info).
int MM_POOL_GetClassInfo(uint32_t classIdx, MM_CLASS_S* info);
