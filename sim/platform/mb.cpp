#include "mb.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstring>

namespace vsim {
namespace {

constexpr uint32_t kHandleMagic = 0x4D424846;  // "MBHF"
constexpr size_t kBlockAlign = 65536;

struct MbHandle {
    uint32_t magic = kHandleMagic;
    Frame frame;
};

bool block_alloc(MbBlock* block, size_t size) {
    const size_t capacity = (size + kBlockAlign - 1) / kBlockAlign * kBlockAlign;
    const int fd = memfd_create("vboard-mb", MFD_CLOEXEC);
    if (fd < 0) return false;
    if (ftruncate(fd, static_cast<off_t>(capacity)) != 0) {
        close(fd);
        return false;
    }
    void* ptr = mmap(nullptr, capacity, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (ptr == MAP_FAILED) {
        close(fd);
        return false;
    }
    *block = MbBlock{fd, static_cast<uint8_t*>(ptr), capacity};
    return true;
}

void block_free(MbBlock* block) {
    if (block->ptr != nullptr) munmap(block->ptr, block->capacity);
    if (block->fd >= 0) close(block->fd);
    *block = MbBlock{};
}

MbHandle* handle_of(MEDIA_BUFFER mb) {
    auto* h = static_cast<MbHandle*>(mb);
    return (h != nullptr && h->magic == kHandleMagic) ? h : nullptr;
}

}  // namespace

MbData::~MbData() {
    if (pool) pool->give_back(block);
}

std::shared_ptr<MbPool> MbPool::create(size_t maxBlocks, size_t keepFree) {
    return std::make_shared<MbPool>(maxBlocks, keepFree);
}

MbPool::~MbPool() {
    for (MbBlock& b : free_) block_free(&b);
}

std::shared_ptr<MbData> MbPool::acquire(size_t size) {
    MbBlock block;
    {
        std::lock_guard lock(mutex_);
        if (maxBlocks_ != 0 && inUse_ >= maxBlocks_) return nullptr;
        // The smallest free block that fits; else any free block, grown.
        size_t best = free_.size();
        for (size_t i = 0; i < free_.size(); ++i) {
            if (free_[i].capacity >= size &&
                (best == free_.size() || free_[i].capacity < free_[best].capacity))
                best = i;
        }
        if (best == free_.size() && !free_.empty()) best = 0;
        if (best < free_.size()) {
            block = free_[best];
            free_.erase(free_.begin() + static_cast<std::ptrdiff_t>(best));
        }
        ++inUse_;
    }
    if (block.capacity < size) {
        block_free(&block);
        if (!block_alloc(&block, size == 0 ? 1 : size)) {
            std::lock_guard lock(mutex_);
            --inUse_;
            return nullptr;
        }
    }
    return std::make_shared<MbData>(shared_from_this(), block);
}

void MbPool::give_back(MbBlock block) {
    std::unique_lock lock(mutex_);
    --inUse_;
    if (free_.size() < keepFree_) {
        free_.push_back(block);
        return;
    }
    lock.unlock();
    block_free(&block);
}

size_t MbPool::in_use() const {
    std::lock_guard lock(mutex_);
    return inUse_;
}

MEDIA_BUFFER mb_make_handle(const Frame& frame) {
    auto* h = new MbHandle;
    h->frame = frame;
    return h;
}

const Frame* mb_frame(MEDIA_BUFFER mb) {
    const MbHandle* h = handle_of(mb);
    return h != nullptr ? &h->frame : nullptr;
}

std::shared_ptr<MbPool> mb_user_pool() {
    static const std::shared_ptr<MbPool> pool = MbPool::create(0, 4);
    return pool;
}

}  // namespace vsim

using vsim::Frame;

extern "C" {

MEDIA_BUFFER RK_MPI_MB_CreateImageBuffer(const RkMbImageInfo* info, int32_t hardware,
                                         int32_t flags) {
    (void)hardware;
    (void)flags;
    if (info == nullptr || info->width == 0 || info->height == 0) return nullptr;
    RkMbImageInfo image = *info;
    if (image.horStride < image.width) image.horStride = image.width;
    if (image.verStride < image.height) image.verStride = image.height;
    const size_t size = size_t{image.horStride} * image.verStride * 3 / 2;
    Frame frame;
    frame.data = vsim::mb_user_pool()->acquire(size);
    if (!frame.data) return nullptr;
    frame.size = size;
    frame.isImage = true;
    frame.image = image;
    return vsim::mb_make_handle(frame);
}

void* RK_MPI_MB_GetPtr(MEDIA_BUFFER mb) {
    vsim::MbHandle* h = vsim::handle_of(mb);
    return h != nullptr && h->frame.data ? h->frame.data->block.ptr : nullptr;
}

size_t RK_MPI_MB_GetSize(MEDIA_BUFFER mb) {
    vsim::MbHandle* h = vsim::handle_of(mb);
    return h != nullptr ? h->frame.size : 0;
}

int32_t RK_MPI_MB_SetSize(MEDIA_BUFFER mb, size_t size) {
    vsim::MbHandle* h = vsim::handle_of(mb);
    if (h == nullptr) return RK_ERR_NULL_PTR;
    if (!h->frame.data || size > h->frame.data->block.capacity) return RK_ERR_ILLEGAL_PARAM;
    h->frame.size = size;
    return RK_SUCCESS;
}

int32_t RK_MPI_MB_GetFD(MEDIA_BUFFER mb) {
    vsim::MbHandle* h = vsim::handle_of(mb);
    return h != nullptr && h->frame.data ? h->frame.data->block.fd : -1;
}

int32_t RK_MPI_MB_GetModeID(MEDIA_BUFFER mb) {
    vsim::MbHandle* h = vsim::handle_of(mb);
    return h != nullptr ? h->frame.modId : -1;
}

int32_t RK_MPI_MB_GetChannelID(MEDIA_BUFFER mb) {
    vsim::MbHandle* h = vsim::handle_of(mb);
    return h != nullptr ? h->frame.chnId : -1;
}

uint64_t RK_MPI_MB_GetTimestamp(MEDIA_BUFFER mb) {
    vsim::MbHandle* h = vsim::handle_of(mb);
    return h != nullptr ? h->frame.timestampUs : 0;
}

int32_t RK_MPI_MB_SetTimestamp(MEDIA_BUFFER mb, uint64_t timestampUs) {
    vsim::MbHandle* h = vsim::handle_of(mb);
    if (h == nullptr) return RK_ERR_NULL_PTR;
    h->frame.timestampUs = timestampUs;
    return RK_SUCCESS;
}

int32_t RK_MPI_MB_ReleaseBuffer(MEDIA_BUFFER mb) {
    vsim::MbHandle* h = vsim::handle_of(mb);
    if (h == nullptr) return RK_ERR_NULL_PTR;
    h->magic = 0;
    delete h;
    return RK_SUCCESS;
}

}  // extern "C"
