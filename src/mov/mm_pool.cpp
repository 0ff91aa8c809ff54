#include "mov/mm_pool.h"

#include <algorithm>
#include <bit>
#include <cstddef>
#include <limits>
#include <mutex>
#include <new>

#include "core/trace_log.h"

namespace {

// The process's one pool. Every field is read and written under `mutex`;
// `records` is null exactly while the pool is not initialised.
struct MMContext {
    std::mutex mutex;
    MM_POOL_CFG_S cfg{};
    MM_BUFFER_S* records = nullptr;
    MM_CLASS_S* classes = nullptr;
    // One bit per record, set while it is handed out (a copy of the record's
    // in-use flag packed densely, so that finding a free block reads a few
    // words instead of every record of the class).
    uint64_t* usedBits = nullptr;
    uint32_t total = 0;
};

MMContext stMMCtx;

// Frees every block and both arrays; the caller holds the mutex.
void free_pool_locked(MMContext& ctx) {
    if (ctx.records != nullptr) {
        for (uint32_t i = 0; i < ctx.total; ++i) delete[] ctx.records[i].memory;
    }
    delete[] ctx.records;
    delete[] ctx.classes;
    delete[] ctx.usedBits;
    ctx.records = nullptr;
    ctx.classes = nullptr;
    ctx.usedBits = nullptr;
    ctx.total = 0;
}

// A block of `size` bytes, or null (also when the size does not fit the address space).
uint8_t* alloc_block(uint64_t size) {
    if (size > std::numeric_limits<size_t>::max()) return nullptr;
    return new (std::nothrow) uint8_t[static_cast<size_t>(size)];
}

// Index of the first clear bit in [begin, end) of `bits`, or end.
uint32_t first_clear_bit(const uint64_t* bits, uint32_t begin, uint32_t end) {
    uint32_t i = begin;
    while (i < end) {
        const uint64_t clear = ~bits[i / 64] >> (i % 64);
        if (clear != 0) return std::min(end, i + static_cast<uint32_t>(std::countr_zero(clear)));
        i = (i / 64 + 1) * 64;
    }
    return end;
}

void set_bit(uint64_t* bits, uint32_t i) {
    bits[i / 64] |= uint64_t{1} << (i % 64);
}
void clear_bit(uint64_t* bits, uint32_t i) {
    bits[i / 64] &= ~(uint64_t{1} << (i % 64));
}

// Index of `buffer` among the pool's records, or -1 when it is not one of
// them; the caller holds the mutex.
int64_t pool_record_index(const MMContext& ctx, const MM_BUFFER_S* buffer) {
    const auto base = reinterpret_cast<uintptr_t>(ctx.records);
    const auto addr = reinterpret_cast<uintptr_t>(buffer);
    if (addr < base) return -1;
    const uintptr_t offset = addr - base;
    if (offset % sizeof(MM_BUFFER_S) != 0 || offset / sizeof(MM_BUFFER_S) >= ctx.total) return -1;
    return static_cast<int64_t>(offset / sizeof(MM_BUFFER_S));
}

bool bit_is_set(const uint64_t* bits, uint32_t i) {
    return ((bits[i / 64] >> (i % 64)) & 1u) != 0;
}

}  // namespace

int MM_POOL_Init(const MM_POOL_CFG_S* cfg) {
    std::lock_guard lock(stMMCtx.mutex);
    if (stMMCtx.records != nullptr) return -1;
    if (cfg == nullptr || cfg->classCnt == 0 || cfg->classCnt > MM_POOL_MAX_CLASS) return -4;

    uint64_t total = 0;
    for (uint32_t c = 0; c < cfg->classCnt; ++c) total += cfg->classes[c].blkCnt;
    if (total == 0) return -4;
    if (total > UINT32_MAX) return -2;

    // Value-initialised: every record and descriptor starts zeroed.
    auto* records = new (std::nothrow) MM_BUFFER_S[total]();
    if (records == nullptr) return -2;
    auto* classes = new (std::nothrow) MM_CLASS_S[cfg->classCnt]();
    auto* usedBits = new (std::nothrow) uint64_t[(total + 63) / 64]();
    if (classes == nullptr || usedBits == nullptr) {
        delete[] records;
        delete[] classes;
        delete[] usedBits;
        return 1;
    }
    stMMCtx.cfg = *cfg;
    stMMCtx.records = records;
    stMMCtx.classes = classes;
    stMMCtx.usedBits = usedBits;
    stMMCtx.total = static_cast<uint32_t>(total);

    uint32_t next = 0;
    for (uint32_t c = 0; c < cfg->classCnt; ++c) {
        const MM_CLASS_CFG_S& cls = cfg->classes[c];
        classes[c].index = c;
        classes[c].total = cls.blkCnt;
        classes[c].freeCnt = cls.blkCnt;
        classes[c].usedCnt = 0;
        classes[c].first = &records[next];
        for (uint32_t b = 0; b < cls.blkCnt; ++b, ++next) {
            MM_BUFFER_S& rec = records[next];
            rec.index = next;
            rec.classId = c;
            rec.capacity = cls.blkSize;
            // Block memory is left untouched: pages are only committed as frames fill them.
            rec.memory = alloc_block(cls.blkSize);
            if (rec.memory == nullptr) {
                plr_trace_logf(PLR_LOG_E, "%s(%d):alloc block %u of %llu bytes failed!!", __func__,
                               __LINE__, next, static_cast<unsigned long long>(cls.blkSize));
                free_pool_locked(stMMCtx);
                stMMCtx.cfg = MM_POOL_CFG_S{};
                return 1;
            }
            rec.data = rec.memory;
        }
    }
    return 0;
}

int MM_POOL_Exit(const MM_POOL_CFG_S* /*cfg*/) {
    std::lock_guard lock(stMMCtx.mutex);
    if (stMMCtx.records == nullptr) stMMCtx.cfg = MM_POOL_CFG_S{};
    return 0;
}

void MM_POOL_Reset() {
    std::lock_guard lock(stMMCtx.mutex);
    free_pool_locked(stMMCtx);
    stMMCtx.cfg = MM_POOL_CFG_S{};
}

MM_BUFFER_S* MM_BUFFER_Request(uint64_t size) {
    if (size == 0) return nullptr;
    std::lock_guard lock(stMMCtx.mutex);
    if (stMMCtx.records == nullptr) return nullptr;

    // Smallest waste among the classes that fit and have a free block; on a tie
    // the class listed first.
    MM_CLASS_S* best = nullptr;
    uint64_t bestWaste = 0;
    for (uint32_t c = 0; c < stMMCtx.cfg.classCnt; ++c) {
        MM_CLASS_S& cls = stMMCtx.classes[c];
        const uint64_t blkSize = stMMCtx.cfg.classes[c].blkSize;
        if (blkSize < size || cls.freeCnt == 0) continue;
        const uint64_t waste = blkSize - size;
        if (best == nullptr || waste < bestWaste) {
            best = &cls;
            bestWaste = waste;
        }
    }
    if (best == nullptr) return nullptr;

    // The class's first free record.
    const auto begin = static_cast<uint32_t>(best->first - stMMCtx.records);
    const uint32_t end = begin + best->total;
    const uint32_t found = first_clear_bit(stMMCtx.usedBits, begin, end);
    if (found == end) return nullptr;
    MM_BUFFER_S* rec = &stMMCtx.records[found];
    set_bit(stMMCtx.usedBits, found);
    rec->flags |= MM_BUFFER_FLAG_USED;
    --best->freeCnt;
    ++best->usedCnt;
    return rec;
}

int MM_BUFFER_Release(MM_BUFFER_S* buffer) {
    std::unique_lock lock(stMMCtx.mutex);
    if (stMMCtx.records == nullptr) return -3;
    if (buffer == nullptr) return -4;
    // The record's position and in-use state come from the pool's own
    // bookkeeping, not from fields the buffer's user can write.
    const int64_t index = pool_record_index(stMMCtx, buffer);
    if (index < 0 || !bit_is_set(stMMCtx.usedBits, static_cast<uint32_t>(index))) {
        lock.unlock();
        plr_trace_logf(PLR_LOG_E, "%s(%d):buffer %p is not handed out by the pool!!", __func__,
                       __LINE__, static_cast<void*>(buffer));
        return -4;
    }
    MM_CLASS_S& cls = stMMCtx.classes[stMMCtx.records[index].classId];
    clear_bit(stMMCtx.usedBits, static_cast<uint32_t>(index));
    buffer->flags &= ~MM_BUFFER_FLAG_USED;
    buffer->next = nullptr;
    ++cls.freeCnt;
    --cls.usedCnt;
    return 0;
}

int MM_POOL_GetClassInfo(uint32_t classIdx, MM_CLASS_S* info) {
    if (info == nullptr) return -1;
    std::lock_guard lock(stMMCtx.mutex);
    if (stMMCtx.records == nullptr || classIdx >= stMMCtx.cfg.classCnt) return -1;
    *info = stMMCtx.classes[classIdx];
    return 0;
}
