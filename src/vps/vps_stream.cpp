#include "vps/vps_stream.h"

#include <sys/select.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <thread>

#include "core/trace_log.h"
#include "vps/vps_ctx.h"

namespace {

struct StreamThread {
    const char* name;  // "FPV" or "REC"
    std::atomic<uint32_t> exit{0};
    std::thread thread;
};

StreamThread g_fpvStream{"FPV", {}, {}};
StreamThread g_recStream{"REC", {}, {}};
std::atomic<PlrFpvStreamCb> g_fpvStreamCb{nullptr};
std::atomic<PlrRecStreamCb> g_recStreamCb{nullptr};
// Set when the live-view copy lost a frame: the copy's next frames would not
// decode without it, so it waits for the next key frame.
std::atomic<bool> g_copyNeedsKey{false};

void release_rec_buffer(MEDIA_BUFFER mb) {
    if (PlrRecStreamCb cb = g_recStreamCb.load(); cb != nullptr) {
        cb(mb);
    } else {
        RK_MPI_MB_ReleaseBuffer(mb);
    }
}

void stream_proc(StreamThread* stream, uint32_t chn, int32_t waitMs,
                 void (*callback)(MEDIA_BUFFER)) {
    const int fd = RK_MPI_VENC_GetFd(static_cast<int32_t>(chn));
    if (fd < 0) {
        plr_trace_logf(PLR_LOG_E, "HI_MPI_VENC_GetFd failed with %#x!", static_cast<unsigned>(fd));
        return;
    }
    while (stream->exit.load() == 0) {
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(fd, &readable);
        struct timeval timeout = {0, 120 * 1000};
        const int ready = select(fd + 1, &readable, nullptr, nullptr, &timeout);
        if (ready < 0) {
            if (errno == EINTR) continue;
            plr_trace_log(PLR_LOG_E, "select failed!");
            break;
        }
        if (ready == 0) continue;
        RkVencChnStatus status{};
        const int32_t ret = RK_MPI_VENC_QueryStatus(static_cast<int32_t>(chn), &status);
        if (ret != RK_SUCCESS) {
            plr_trace_logf(PLR_LOG_E, "RK_MPI_VENC_QueryStatus chn[%u] failed with %#x!", chn,
                           static_cast<unsigned>(ret));
            break;
        }
        if (status.pendingPics == 0) {
            plr_trace_log(PLR_LOG_D, "NOTE: Current frame is NULL!");
            continue;
        }
        for (uint32_t i = 0; i < status.pendingPics; ++i) {
            MEDIA_BUFFER mb =
                RK_MPI_SYS_GetMediaBuffer(RK_MOD_VENC, static_cast<int32_t>(chn), waitMs);
            if (mb != nullptr) callback(mb);
        }
    }
    plr_trace_log(PLR_LOG_D, "RECORD thread stopped!!");
}

int start_stream(StreamThread& stream, uint32_t chn, int32_t waitMs,
                 void (*callback)(MEDIA_BUFFER)) {
    if (stream.thread.joinable()) return 0;
    stream.exit.store(0);
    try {
        stream.thread = std::thread(stream_proc, &stream, chn, waitMs, callback);
    } catch (const std::system_error& e) {
        plr_trace_logf(PLR_LOG_E, "Create %s thread failed!, error: %d, %s",
                       &stream == &g_fpvStream ? "FPV" : "record", e.code().value(), e.what());
        return -1;
    }
    return 0;
}

int stop_stream(StreamThread& stream, const char* function, int line) {
    stream.exit.store(1);
    if (stream.thread.joinable()) stream.thread.join();
    plr_trace_logf(PLR_LOG_D, "%s(%d):%s Thread stopped!!", function, line, stream.name);
    return 0;
}

}  // namespace

int PLR_VPS_RegFpvStreamCallback(PlrFpvStreamCb callback) {
    if (callback == nullptr) return -1;
    PlrFpvStreamCb none = nullptr;
    if (!g_fpvStreamCb.compare_exchange_strong(none, callback)) {
        plr_trace_logf(PLR_LOG_D, "%s(%d):FPV stream call back exist already!!", __func__,
                       __LINE__);
        return -1;
    }
    return 0;
}

int PLR_VPS_StartGetFpvStream() {
    return start_stream(g_fpvStream, g_vpsCtx.fpvVenc.vencChn, 1, PLR_VPS_FPVStreamCb);
}

int PLR_VPS_StopGetFpvStream() {
    return stop_stream(g_fpvStream, __func__, __LINE__);
}

int PLR_VPS_StartGetRecStream() {
    return start_stream(g_recStream, g_vpsCtx.recVenc.vencChn, 2, release_rec_buffer);
}

int PLR_VPS_StopGetRecStream() {
    return stop_stream(g_recStream, __func__, __LINE__);
}

void PLR_VPS_SetRecStreamCallback(PlrRecStreamCb callback) {
    g_recStreamCb.store(callback);
}

void PLR_VPS_FPVStreamCb(MEDIA_BUFFER mb) {
    const void* data = RK_MPI_MB_GetPtr(mb);
    const size_t size = RK_MPI_MB_GetSize(mb);
    const uint32_t recState = PLR_VPS_RecState();
    if (g_vpsCtx.recRunning.load() == 1 &&
        (recState == MOV_ST_RUNNING || recState == MOV_ST_RECORDING)) {
        const auto* frame = static_cast<const uint8_t*>(data);
        if (!g_copyNeedsKey.load() || PLR_VPS_StreamKey(frame, static_cast<uint32_t>(size)) != 0) {
            g_copyNeedsKey.store(PLR_MOV_FrameQueuePush(&g_vpsCtx.fpvMov.queue, data,
                                                        static_cast<int32_t>(size)) != 0);
        }
    }
    if (PlrFpvStreamCb cb = g_fpvStreamCb.load(); cb != nullptr && data != nullptr) {
        cb(data, static_cast<uint32_t>(size));
    }
    RK_MPI_MB_ReleaseBuffer(mb);
}

namespace {

VpsStreamFormat format_of(const VpsVencChn& venc) {
    return {venc.width, venc.height, venc.dstFps, venc.vencAttr.rcAttr.bitRate};
}

}  // namespace

VpsStreamFormat PLR_VPS_LiveViewFormat() {
    return format_of(g_vpsCtx.fpvVenc);
}

VpsStreamFormat PLR_VPS_RecordFormat() {
    return format_of(g_vpsCtx.recVenc);
}

int PLR_VPS_StreamKey(const uint8_t* frame, uint32_t size) {
    if (frame == nullptr || size < 5) return 0;
    const uint8_t type = frame[4] & 0x1f;
    return type == 7 || type == 5 ? 1 : 0;
}

void PLR_VPS_StreamReset() {
    g_fpvStreamCb.store(nullptr);
}
