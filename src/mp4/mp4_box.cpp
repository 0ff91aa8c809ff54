#include "mp4/mp4_box.h"

#include <cstring>

Mp4BoxResult mp4_read_box_header(const Mp4ReadAt& read, uint64_t pos, uint64_t fileSize,
                                 Mp4BoxHeader* box) {
    *box = Mp4BoxHeader{};
    uint8_t head[16];
    if (!read(pos, head, 8)) return MP4_BOX_UNREADABLE;
    memcpy(box->type, head + 4, sizeof box->type);
    box->size = mp4_be32(head);
    box->header = 8;
    if (box->size == 1) {
        if (fileSize - pos < 16 || !read(pos + 8, head + 8, 8)) return MP4_BOX_NO_LARGE_SIZE;
        box->size = mp4_be64(head + 8);
        box->header = 16;
    } else if (box->size == 0) {
        box->toEnd = true;
        box->size = fileSize - pos;
    }
    return MP4_BOX_OK;
}
