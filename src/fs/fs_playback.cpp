#include "fs/fs_playback.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

#include "core/trace_log.h"
#include "fs/fs_mission.h"
#include "fs/fs_service.h"
#include "fs/fs_wire.h"
#include "mp4/mp4_index.h"

namespace {

constexpr auto kPauseSlice = std::chrono::milliseconds(50);
constexpr auto kPauseLook = std::chrono::milliseconds(500);

uint32_t clamp_pos(int64_t pos_ms) {
    return static_cast<uint32_t>(std::clamp<int64_t>(pos_ms, 0, UINT32_MAX));
}

// Sends an answer text with tag 0 until the phone acknowledges it. True when
// delivered.
__attribute__((format(printf, 1, 2))) bool send_answer(const char* format, ...) {
    char text[FS_ANSWER_TEXT_MAX + 1];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    return FsFileTransProtoMsgSend(text, FS_TAG_NOTIFY) > 0;
}

// The playback cannot start or go on: the phone hears why.
void send_failure(const FsMissionData* data, const char* reason) {
    send_answer("TRANSCANCELED:%s;REASON:%s", data->name, reason);
}

// One open playback: the file, its index and the buffers.
struct Playback {
    int fd = -1;
    MovSource src{};
    MovHeader hdr;
    MdiaContext* index = nullptr;
    std::vector<uint8_t> frame;  // the frame (or parameter sets) being sent
    std::vector<uint8_t> piece;  // tag 3 and up to 59287 bytes of it

    ~Playback() {
        mdia_free_context(index);
        if (fd >= 0) close(fd);
    }
};

// Opens and indexes the file; a file that is gone answers NOTEXIST, one that
// cannot be indexed the damaged-file answer.
int open_playback(const FsMissionData* data, Playback* pb) {
    pb->fd = open(data->path, O_RDONLY | O_CLOEXEC);
    if (pb->fd < 0 || mov_source_fd(pb->fd, &pb->src) != 0) {
        plr_trace_logf(PLR_LOG_E, "%s(line:%d) open file error!!,file:%s", __func__, __LINE__,
                       data->path);
        send_answer("NOTEXIST");
        return -1;
    }
    mdia_alloc_context(&pb->index);
    // The reader logs what it found wrong.
    if (mov_get_header_atom(&pb->src, &pb->hdr) != 0 ||
        mdia_build_index(&pb->hdr, pb->index) != 0) {
        plr_trace_logf(PLR_LOG_E, "%s(line:%d) streaming failed, cannot index %s", __func__,
                       __LINE__, data->name);
        send_failure(data, FS_REASON_DAMAGED);
        return -1;
    }
    pb->frame.resize(MOV_FRAME_BUFFER_SIZE);
    pb->piece.resize(FS_BUFFER_SIZE);
    return 0;
}

// Waits while paused; returns early for a stop or a seek.
void wait_paused(FsContext* ctx) {
    const auto until = std::chrono::steady_clock::now() + kPauseLook;
    while (ctx->paused.load() != 0 && ctx->seek_req.load() == 0 &&
           !fs_mission_should_stop(ctx, true) && std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(kPauseSlice);
    }
}

}  // namespace

int FsPlayStart(const char* path, const char* name, int64_t pos_ms, FsContext* ctx) {
    FsMissionData play{};
    play.uri_type = FS_URI_VIDEO;
    snprintf(play.path, sizeof play.path, "%s", path);
    snprintf(play.name, sizeof play.name, "%s", name);
    {
        std::lock_guard<std::mutex> lock(ctx->mission_lock);
        ctx->play_pos.store(clamp_pos(pos_ms));
        ctx->seek_req.store(0);
        ctx->paused.store(0);
    }
    return fs_hand_on(&play, FsFileStream, 1, ctx);
}

void FsPlayControl(uint8_t transfer_type, uint16_t uri_type, int64_t pos_ms, FsContext* ctx) {
    if (uri_type != FS_URI_VIDEO) return;
    std::lock_guard<std::mutex> lock(ctx->mission_lock);
    switch (transfer_type) {
        case FS_TRANS_RESUME:
            ctx->paused.store(0);
            plr_trace_logf(PLR_LOG_D, "%s(line:%d) handle file play:%d", __func__, __LINE__,
                           transfer_type);
            break;
        case FS_TRANS_PAUSE:
            ctx->paused.store(1);
            plr_trace_logf(PLR_LOG_D, "%s(line:%d) handle file pause:%d", __func__, __LINE__,
                           transfer_type);
            break;
        case FS_TRANS_SEEK:
            ctx->play_pos.store(clamp_pos(pos_ms));
            ctx->seek_req.store(1);
            plr_trace_logf(PLR_LOG_D, "%s(line:%d) handle file seek:%d,%u", __func__, __LINE__,
                           transfer_type, ctx->play_pos.load());
            break;
        default:
            break;
    }
}

void FsFileStream(const FsMissionData* data, FsContext* ctx) {
    plr_trace_logf(PLR_LOG_D, "%s(line:%d) handle file play mission", __func__, __LINE__);
    Playback pb;
    if (open_playback(data, &pb) != 0) return;
    MdiaCursor cur;
    size_t len = 0;          // bytes in the frame buffer
    size_t sent = 0;         // of them sent
    bool restart = true;     // (re)start at play_pos: TIME, then the parameter sets
    bool have_next = false;  // the cursor stands on a sample still to be read
    for (;;) {
        if (restart) {
            restart = false;
            const uint32_t pos = ctx->play_pos.load();
            if (mdia_get_offset(pos, pb.index, &cur) < 0) {
                plr_trace_logf(PLR_LOG_E, "%s(line:%d) seek file error", __func__, __LINE__);
                send_failure(data, FS_REASON_DAMAGED);
                return;
            }
            const long head = mdia_param_sets(pb.index, pb.frame.data(), pb.frame.size());
            if (head < 0) {
                plr_trace_logf(PLR_LOG_E, "%s(line:%d) too large SPS and PPS", __func__, __LINE__);
                send_failure(data, FS_REASON_DAMAGED);
                return;
            }
            if (!send_answer("TIME:%u;SCALE:%u", pos, pb.index->time_scale)) return;
            len = static_cast<size_t>(head);
            sent = 0;
            have_next = true;
        }
        if (fs_mission_should_stop(ctx, true)) break;
        if (ctx->seek_req.load() != 0) {
            std::lock_guard<std::mutex> lock(ctx->mission_lock);
            ctx->seek_req.store(0);
            restart = true;
            continue;
        }
        if (ctx->paused.load() != 0) {
            wait_paused(ctx);
            continue;
        }
        if (sent < len) {
            const size_t n = std::min(len - sent, FS_DATA_BLOCK);
            pb.piece[0] = FS_TAG_STREAM;
            memcpy(pb.piece.data() + 1, pb.frame.data() + sent, n);
            const FsDelivery d = FsDeliver(pb.piece.data(), n + 1, true);
            if (d == FS_STOPPED) break;
            if (d == FS_DROPPED) return;  // the phone is gone
            sent += n;
            continue;
        }
        if (!have_next) {
            plr_trace_logf(PLR_LOG_D, "%s(line:%d) streaming complete", __func__, __LINE__);
            send_answer("TRANSCOMPLETE:%s", data->name);
            return;
        }
        const long n = mdat_read_frame(pb.index, &pb.src, &cur, pb.frame.data(), pb.frame.size());
        const int next = n < 0 ? -1 : mdia_cursor_next(pb.index, &cur);
        if (next < 0) {
            plr_trace_logf(PLR_LOG_E, "%s(line:%d) streaming failed, read error", __func__,
                           __LINE__);
            send_failure(data, FS_REASON_READ_ERROR);
            return;
        }
        len = static_cast<size_t>(n);
        sent = 0;
        have_next = next == 1;
    }
    plr_trace_logf(PLR_LOG_D, "%s(line:%d) scheduled mission,exit!!", __func__, __LINE__);
}
