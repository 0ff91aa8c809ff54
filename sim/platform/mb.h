// Media buffers of the simulated platform: blocks of shared memory (each with
// its own descriptor) kept in pools, and the frames that travel between
// channels. A frame shares its block; the block goes back to its pool when
// the last frame or handle using it is gone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/media.h"

namespace vsim {

struct MbBlock {
    int fd = -1;
    uint8_t* ptr = nullptr;
    size_t capacity = 0;
};

class MbPool;

// A block in use; returns it to its pool when destroyed.
struct MbData {
    std::shared_ptr<MbPool> pool;
    MbBlock block;
    MbData(std::shared_ptr<MbPool> p, MbBlock b) : pool(std::move(p)), block(b) {}
    MbData(const MbData&) = delete;
    MbData& operator=(const MbData&) = delete;
    ~MbData();
};

class MbPool : public std::enable_shared_from_this<MbPool> {
public:
    // maxBlocks 0: no limit on blocks in use; keepFree: free blocks kept for reuse.
    static std::shared_ptr<MbPool> create(size_t maxBlocks, size_t keepFree);
    MbPool(size_t maxBlocks, size_t keepFree) : maxBlocks_(maxBlocks), keepFree_(keepFree) {}
    MbPool(const MbPool&) = delete;
    MbPool& operator=(const MbPool&) = delete;
    ~MbPool();
    // A block of at least `size` bytes; null when the pool is exhausted or
    // memory cannot be had.
    std::shared_ptr<MbData> acquire(size_t size);
    void give_back(MbBlock block);
    size_t in_use() const;

private:
    mutable std::mutex mutex_;
    std::vector<MbBlock> free_;
    size_t inUse_ = 0;
    size_t maxBlocks_;
    size_t keepFree_;
};

// What travels between channels: the data and its description.
struct Frame {
    std::shared_ptr<MbData> data;
    size_t size = 0;
    int32_t modId = 0;
    int32_t chnId = 0;
    uint64_t timestampUs = 0;
    uint32_t frameNo = 0;  // the sensor frame the picture shows
    bool isImage = false;
    RkMbImageInfo image{};  // for pictures
    bool keyFrame = false;  // for encoded pictures
    const uint8_t* ptr() const { return data ? data->block.ptr : nullptr; }
};

// Hands a frame to the user as a new handle (the caller of the layer owns it).
MEDIA_BUFFER mb_make_handle(const Frame& frame);
// The frame behind a handle; null for an invalid handle.
const Frame* mb_frame(MEDIA_BUFFER mb);
// Pool for image buffers the user creates.
std::shared_ptr<MbPool> mb_user_pool();

}  // namespace vsim
