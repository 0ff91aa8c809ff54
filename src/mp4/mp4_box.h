// The box layer of an MP4 file, shared by the index reader and the repair:
// big-endian fields, four-character codes, and the header of one top-level
// box (32-bit size, or size 1 with a 64-bit size after the type, or size 0
// for a box that runs to the end of the file).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

constexpr uint32_t mp4_fourcc(const char (&s)[5]) {
    return static_cast<uint32_t>(static_cast<uint8_t>(s[0])) << 24 |
           static_cast<uint32_t>(static_cast<uint8_t>(s[1])) << 16 |
           static_cast<uint32_t>(static_cast<uint8_t>(s[2])) << 8 |
           static_cast<uint32_t>(static_cast<uint8_t>(s[3]));
}

inline uint16_t mp4_be16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] << 8 | p[1]);
}
inline uint32_t mp4_be32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
           static_cast<uint32_t>(p[2]) << 8 | static_cast<uint32_t>(p[3]);
}
inline uint64_t mp4_be64(const uint8_t* p) {
    return static_cast<uint64_t>(mp4_be32(p)) << 32 | mp4_be32(p + 4);
}

// Reads exactly `size` bytes at `offset`; false on a short read or an error.
using Mp4ReadAt = std::function<bool(uint64_t offset, uint8_t* out, size_t size)>;

struct Mp4BoxHeader {
    // The whole box as its size field says; a 32-bit size of 0 (a box that
    // runs to the end of the file) gives what is left of the file.
    uint64_t size = 0;
    uint32_t header = 0;  // 8, or 16 with a 64-bit size
    uint8_t type[4] = {};
    bool toEnd = false;  // the 32-bit size field was 0
    uint32_t type_code() const { return mp4_be32(type); }
};

enum Mp4BoxResult : int {
    MP4_BOX_OK = 0,
    MP4_BOX_UNREADABLE = -1,     // the 8 header bytes could not be read
    MP4_BOX_NO_LARGE_SIZE = -2,  // size 1, but the 64-bit size is past the end or unreadable
};

// The header of the box at `pos` of a file of `fileSize` bytes (pos + 8 <=
// fileSize). Neither a size smaller than the header nor one past the file's
// end is refused here: the index reader refuses both, the repair reads a
// cut-off box.
Mp4BoxResult mp4_read_box_header(const Mp4ReadAt& read, uint64_t pos, uint64_t fileSize,
                                 Mp4BoxHeader* box);
