// A media buffer holding encoded bytes, as an encoder channel hands its
// output to a stream callback.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "platform/media.h"

// Holds the first `size` bytes of `data` (at most 6144, the buffer's room);
// null when they do not fit or no buffer is left.
inline MEDIA_BUFFER encoded_buffer(const uint8_t* data, size_t size) {
    const RkMbImageInfo info = {64, 64, 64, 64, RK_IMAGE_NV12};
    if (size > size_t{64} * 64 * 3 / 2) return nullptr;
    MEDIA_BUFFER mb = RK_MPI_MB_CreateImageBuffer(&info, 0, 0);
    if (mb == nullptr) return nullptr;
    memcpy(RK_MPI_MB_GetPtr(mb), data, size);
    RK_MPI_MB_SetSize(mb, size);
    return mb;
}
