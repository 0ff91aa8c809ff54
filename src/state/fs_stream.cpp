#include "state/fs_stream.h"

#include <atomic>

#include "core/trace_log.h"

namespace {

// The switch words of the file service's context: `stream_on` gates the live
// view, `stream_block` makes the mission thread discard missions.
std::atomic<uint32_t> stream_on{1};
std::atomic<uint32_t> stream_block{0};

}  // namespace

uint32_t fs_is_stream_on() {
    return stream_on.load();
}

int fs_set_stream_on(uint32_t flag) {
    stream_on.store(flag != 0 ? 1u : 0u);
    return FsDataStreamHandle(flag);
}

int FsDataStreamHandle(uint32_t flag) {
    PLR_TRACE(PLR_LOG_D, " Handle Video Stream %s", flag != 0 ? "ON" : "OFF");
    stream_block.store(flag != 0 ? 1u : 0u);
    return 0;
}

uint32_t fs_is_stream_blocked() {
    return stream_block.load();
}

void fs_stream_reset() {
    stream_on.store(1);
    stream_block.store(0);
}
