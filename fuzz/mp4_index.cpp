// The MP4 index reader over a whole file in memory, the way playback uses
// it: top-level atoms, the video track's index, the parameter sets, the sync
// sample for a few positions and the frames from there (bounded).
#include <array>

#include "fuzz_harness.h"
#include "mp4/mp4_index.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::init_process();
    const std::vector<uint8_t> bytes(data, data + size);
    MovSource src{};
    mov_source_memory(&bytes, &src);
    MovHeader hdr;
    MdiaContext* ctx = nullptr;
    if (mdia_alloc_context(&ctx) != 0) abort();
    if (mov_get_header_atom(&src, &hdr) == 0 && mdia_build_index(&hdr, ctx) == 0) {
        static std::vector<uint8_t> frame(MOV_FRAME_BUFFER_SIZE);
        mdia_param_sets(ctx, frame.data(), frame.size());
        for (const uint32_t pos : {0u, 500u, 1500u, 0xFFFFFFFFu}) {
            MdiaCursor cur;
            if (mdia_get_offset(pos, ctx, &cur) < 0) continue;
            for (int i = 0; i < 16; ++i) {
                if (mdat_read_frame(ctx, &src, &cur, frame.data(), frame.size()) < 0) break;
                if (mdia_cursor_next(ctx, &cur) != 1) break;
            }
        }
        mdia_sync_sample(ctx, ctx->sample_count);
    }
    mdia_free_context(ctx);
    return 0;
}
