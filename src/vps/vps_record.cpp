#include "vps/vps_record.h"

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "board/board.h"
#include "core/trace_log.h"
#include "mov/mov_muxer.h"
#include "vps/vcs.h"
#include "vps/vps_ctx.h"
#include "vps/vps_event.h"
#include "vps/vps_pipeline.h"
#include "vps/vps_sd.h"
#include "vps/vps_stream.h"
#include "vps/vps_switch.h"

namespace {

constexpr const char* kVideoDir = "/tmp/SD0/PLRMEDIA/VIDEO";

// Queue lengths steering the record callback.
constexpr int32_t kQueueNoLagCheck = 29;
constexpr int32_t kQueueMayRaise = 5;
constexpr int32_t kQueueLowerEveryFrame = 50;
constexpr int32_t kQueueDrop = 149;
constexpr uint32_t kRaiseEvery = 30;
constexpr uint32_t kLowerEvery = 5;
constexpr uint32_t kBitrateStep = 2000000;

// Private state of the record stream callback (its thread only, but tests and
// the start of a recording reset it).
struct RecStreamState {
    std::atomic<uint32_t> recNeedIdr{0};
    std::atomic<uint32_t> recUpCount{0};
    std::atomic<uint32_t> recDownCount{0};
};
RecStreamState g_recStream;

// Result carried by the stop notifications of the recording in progress: 0 for
// an ordinary end, the card error code when the card failed or was pulled.
std::atomic<int32_t> g_recEndCode{0};

// Frames are queued while a file is written, and also between the two files
// of a split: the next file starts with the frames that came meanwhile.
bool record_accepting() {
    const uint32_t state = PLR_VPS_RecState();
    return g_vpsCtx.recRunning.load() != 0 &&
           (state == MOV_ST_RUNNING || state == MOV_ST_RECORDING || state == MOV_ST_SPLIT ||
            g_vpsCtx.recMov.split.load() != 0);
}

// Queues one frame; on any loss the next frames wait for a key frame.
bool queue_frame(const uint8_t* frame, uint32_t size) {
    if (g_recStream.recNeedIdr.load() != 0 && PLR_VPS_StreamKey(frame, size) == 0) {
        plr_trace_logf(PLR_LOG_D, "%s(%d):MOV frame isn't I frame!!,Drop it.", __func__, __LINE__);
        return false;
    }
    const bool pushed =
        PLR_MOV_FrameQueuePush(&g_vpsCtx.recMov.queue, frame, static_cast<int32_t>(size)) == 0;
    g_recStream.recNeedIdr.store(pushed ? 0 : 1);
    return pushed;
}

void maybe_raise_bitrate(int32_t queued, uint32_t bw) {
    if (g_recStream.recUpCount.fetch_add(1) + 1 < kRaiseEvery || bw == 0) return;
    g_recStream.recUpCount.store(0);
    const int32_t current = PLR_VPS_VENC_GetBitrate(PLR_BITRATE_RECORD);
    const uint32_t target = bw + kBitrateStep;
    const int64_t delta = std::llabs(static_cast<int64_t>(current) - static_cast<int64_t>(target));
    const uint32_t maximum = PLR_VPS_GetRecordBitrate();
    // Only ever up: a short queue means the card keeps up, and an encoder that
    // gave less than its rate (a plain scene, pictures the camera skipped) is
    // no reason to lower it.
    if (target >= PLR_REC_BITRATE_MIN && target <= maximum && delta >= kBitrateStep &&
        static_cast<int64_t>(target) > current) {
        PLR_VPS_VENC_SetBitrate(PLR_BITRATE_RECORD, target);
        plr_trace_logf(PLR_LOG_D, "+Mov queue deep %d, delta %lld bw %u bitrate %d calc %u", queued,
                       static_cast<long long>(delta), bw, current, target);
    }
}

void maybe_lower_bitrate(int32_t queued, uint32_t bw) {
    const uint32_t count = g_recStream.recDownCount.fetch_add(1) + 1;
    if (count % kLowerEvery != 0 && queued <= kQueueLowerEveryFrame) return;
    g_recStream.recDownCount.store(0);
    if (bw == 0) return;
    const int32_t current = PLR_VPS_VENC_GetBitrate(PLR_BITRATE_RECORD);
    MovCtx& rec = g_vpsCtx.recMov;
    const uint32_t gop = rec.gop.load();
    const uint32_t gops = gop == 0 ? 0 : static_cast<uint32_t>(queued) / gop;
    const uint32_t perGop = gops == 0 ? 0 : rec.queue.bytes.load() / gops;
    uint32_t calc = bw - perGop;  // unsigned 32-bit arithmetic, as the rate estimate is kept
    const uint32_t maximum = PLR_VPS_GetRecordBitrate();
    if (calc < PLR_REC_BITRATE_MIN) calc = maximum;
    const int64_t delta = static_cast<int64_t>(current) - static_cast<int64_t>(calc);
    plr_trace_logf(PLR_LOG_D, "-Mov queue deep %d, delta %lld bw %u bitrate %d calc %u", queued,
                   static_cast<long long>(delta), bw, current, calc);
    if (calc >= PLR_REC_BITRATE_MIN && calc <= maximum && delta >= kBitrateStep) {
        PLR_VPS_VENC_SetBitrate(PLR_BITRATE_RECORD, calc);
    }
}

void make_path(char* out, size_t size, const char* prefix, uint32_t id, const char* suffix) {
    snprintf(out, size, "%s/%s_%04u_%s.MP4", kVideoDir, prefix, id, suffix);
}

// A recording never replaces a file on the card (the clock may repeat before
// the phone sets it): the number moves on past every name in use.
void skip_used_numbers(const char* prefix, const char* mainSuffix) {
    char main[MOV_PATH_SIZE];
    char copy[MOV_PATH_SIZE];
    for (int guard = 0; guard < 10000; ++guard) {
        const uint32_t id = g_vpsCtx.movFileId.load();
        make_path(main, sizeof main, prefix, id, mainSuffix);
        make_path(copy, sizeof copy, prefix, id, "AB");
        if (!board_file_exists(main) && !board_file_exists(copy)) return;
        PLR_VPS_UpdateMovFileID();
    }
}

// The time prefix and the suffix of the next main file, its number moved past
// every name in use.
const char* next_main_name(char (&prefix)[20]) {
    PLR_VPS_GenFilePrefix(prefix, sizeof prefix);
    const char* suffix = g_vpsCtx.recMov.tlapse.active.load() != 0 ? "TL" : "AA";
    skip_used_numbers(prefix, suffix);
    return suffix;
}

void start_recorder(MovCtx& ctx, const char* prefix, const char* suffix, MovStateCb cb) {
    // The context's previous thread may still be closing its file, which it
    // names by ctx.path: it ends before the fields change.
    PLR_MOV_RecJoin(&ctx);
    make_path(ctx.path, sizeof ctx.path, prefix, g_vpsCtx.movFileId.load(), suffix);
    ctx.stateCb = cb;
    ctx.sdFreeMb = g_vpsCtx.sdFreeMB.load();
    PLR_MOV_RecStart(&ctx);
}

void state_handler_main(uint32_t state) {
    PLR_VPS_4K_RecStHandler(state);
}
void state_handler_fpv(uint32_t state) {
    PLR_VPS_FPV_RecStHandler(state);
}

}  // namespace

void PLR_VPS_RecQueueFrame(const uint8_t* frame, uint32_t size) {
    MovCtx& rec = g_vpsCtx.recMov;
    const int32_t queued = rec.queue.count.load();
    const uint32_t bw = rec.bitrate.load();
    if (queued < kQueueNoLagCheck) {
        if (queue_frame(frame, size) && rec.queue.count.load() < kQueueMayRaise)
            maybe_raise_bitrate(queued, bw);
        return;
    }
    maybe_lower_bitrate(queued, bw);
    if (queued < kQueueDrop) {
        queue_frame(frame, size);
    } else {
        plr_trace_logf(PLR_LOG_D, "%s(%d):MOV frame queue full!!,Drop it.", __func__, __LINE__);
        g_recStream.recNeedIdr.store(1);
    }
}

void PLR_VPS_RECStreamCb(MEDIA_BUFFER mb) {
    if (record_accepting()) {
        const auto* data = static_cast<const uint8_t*>(RK_MPI_MB_GetPtr(mb));
        const auto size = static_cast<uint32_t>(RK_MPI_MB_GetSize(mb));
        if (data != nullptr && size > 0) PLR_VPS_RecQueueFrame(data, size);
    }
    RK_MPI_MB_ReleaseBuffer(mb);
}

void PLR_VPS_RecStreamReset() {
    g_recStream.recNeedIdr.store(0);
    g_recStream.recUpCount.store(0);
    g_recStream.recDownCount.store(0);
}

int PLR_VPS_RecEncStart() {
    if (g_vpsCtx.vpsMode.load() != VPS_MODE_RECORD &&
        g_vpsCtx.vpsStatus.load() != VPS_STATUS_TO_RECORD)
        return -1;
    const int ret = PLR_VPS_VENC_VideoInit(&g_vpsCtx.recVenc);
    PLR_VPS_SetRecStreamCallback(PLR_VPS_RECStreamCb);
    PLR_VPS_StartGetRecStream();
    return ret;
}

int PLR_VPS_RecEncStop() {
    if (g_vpsCtx.vpsMode.load() != VPS_MODE_RECORD) return -1;
    const int ret = PLR_VPS_StopGetRecStream();
    PLR_VPS_VENC_VideoDeinit(&g_vpsCtx.recVenc);
    return ret;
}

int PLR_VPS_GenFilePrefix(char* out, uint32_t size) {
    return PLR_LOG_GenFilePrefix(out, size);
}

int PLR_VPS_REC_StartHandle() {
    plr_trace_log(PLR_LOG_D, "PLR_VPS_REC_StartHandle");
    // Every refusal is notified, so that the phone gets its answer (COMMAND_ACK
    // 2500 with a failure) instead of waiting for one that never comes.
    auto refuse = [] {
        PLR_VPS_EvtNotify(VPS_EVT_REC_START, -1, -1, -1, nullptr);
        return -1;
    };
    if (g_vpsCtx.vpsStatus.load() != VPS_STATUS_IDLE || PLR_VCS_GetVpsMode() != VPS_MODE_RECORD ||
        g_vpsCtx.vpsMode.load() != VPS_MODE_RECORD) {
        plr_trace_logf(PLR_LOG_E, "record start refused: not in record mode or switching");
        return refuse();
    }
    if (PLR_VPS_GetSDAvail() == 0) {
        PLR_VPS_EvtNotify(VPS_EVT_REC_START, PLR_VPS_GetSDError(), -1, -1, nullptr);
        return 0;
    }
    if (const uint32_t temp = g_vpsCtx.socTemp.load(); temp > PLR_SOC_TEMP_LIMIT - 1) {
        plr_trace_logf(PLR_LOG_E, "cpu thermal too high %u", temp);
        return refuse();
    }
    if (const uint32_t state = PLR_VPS_RecState(); state != MOV_ST_IDLE) {
        plr_trace_logf(PLR_LOG_E, "PLR_VPS_RecordStart failed. record status:%u", state);
        return refuse();
    }
    return PLR_VPS_RecordStart();
}

int PLR_VPS_RecordStart() {
    g_vpsCtx.recRunning.store(1);
    plr_trace_logf(PLR_LOG_D, "PLR_VPS_RecordStart rec st %u", PLR_VPS_RecState());
    MovCtx& rec = g_vpsCtx.recMov;
    MovCtx& fpv = g_vpsCtx.fpvMov;
    // After a split the frames queued since the last file ended (beginning
    // with a key frame) go to the next file.
    if (rec.split.load() == 0) PLR_MOV_FrameQueueClear(&rec.queue);
    PLR_MOV_FrameQueueClear(&fpv.queue);
    PLR_VPS_RecStreamReset();
    // A board may set its own split size (the simulated board, for tests).
    if (const uint64_t splitBytes = board_record_split_bytes(); splitBytes != 0)
        PLR_MOV_SetSplitBytes(splitBytes);

    const VpsVencChn& recVenc = g_vpsCtx.recVenc;
    char prefix[20] = {};
    const char* suffix = next_main_name(prefix);
    if (rec.tlapse.active.load() == 0) {
        fpv.tlapse.active.store(0);
        rec.gop.store(recVenc.vencAttr.gopAttr.gopSize);
        rec.fps = recVenc.dstFps < 120 ? recVenc.dstFps : 30;
    } else {
        rec.gop.store(recVenc.dstFps);
        rec.fps = 25;
    }
    rec.width = recVenc.width;
    rec.height = recVenc.height;
    rec.profile = recVenc.vencAttr.vencAttr.profile;
    rec.bitrate.store(g_vpsCtx.videoMode.load() == 2
                          ? PLR_COMM_VENC_GetBitrateByRes(15, 25)
                          : PLR_COMM_VENC_GetBitrateByRes(recVenc.resId, recVenc.dstFps));
    start_recorder(rec, prefix, suffix, state_handler_main);

    const VpsVencChn& fpvVenc = g_vpsCtx.fpvVenc;
    fpv.fps = fpv.tlapse.active.load() != 0 ? 25 : fpvVenc.vencAttr.gopAttr.gopSize;
    fpv.gop.store(fpvVenc.vencAttr.gopAttr.gopSize);
    fpv.width = fpvVenc.width;
    fpv.height = fpvVenc.height;
    fpv.profile = fpvVenc.vencAttr.vencAttr.profile;
    fpv.bitrate.store(fpvVenc.vencAttr.rcAttr.bitRate);
    start_recorder(fpv, prefix, "AB", state_handler_fpv);
    return 0;
}

int PLR_VPS_REC_StopHandle() {
    const uint32_t state = PLR_VPS_RecState();
    plr_trace_logf(PLR_LOG_D, "%s(line=%d):Exec Record stop cmd %u!!!", __func__, __LINE__, state);
    // A recording that is starting, or between two files of a split, is
    // stopped as well: its muxers end and the split does not go on. The phone
    // learns the end from the muxers' closing states.
    if (g_vpsCtx.recRunning.load() == 0) {
        plr_trace_logf(PLR_LOG_E, "%s(line=%d):Record not ready!!!", __func__, __LINE__);
        PLR_VPS_EvtNotify(VPS_EVT_REC_STOP, 0, -1, -1, nullptr);
        return 0;
    }
    return PLR_VPS_RecordStop();
}

int PLR_VPS_RecordStop() {
    g_vpsCtx.recRunning.store(0);
    PLR_VPS_VENC_StopRecvFrame(g_vpsCtx.recVenc.vencChn);
    // Frames already queued are still written; the next start clears the queues.
    // Between the two files of a split the main muxer has ended already (asking
    // it again would report its file closed a second time): the split handler
    // writes what is queued.
    MovCtx& rec = g_vpsCtx.recMov;
    if (rec.split.load() == 0 || rec.stop.load() == 0) PLR_MOV_RecStop(&rec);
    PLR_MOV_RecStop(&g_vpsCtx.fpvMov);
    return 0;
}

void PLR_VPS_RecordAbort(int32_t code) {
    if (g_vpsCtx.recRunning.load() == 0 && PLR_VPS_RecState() == MOV_ST_IDLE) return;
    plr_trace_logf(PLR_LOG_E, "%s(line=%d):recording ended by the card, code %d", __func__,
                   __LINE__, code);
    g_recEndCode.store(code);
    PLR_VPS_RecordStop();
}

int PLR_VPS_REC_SplitHandle() {
    // A muxer that ended at the size limit has finished already; the other is asked to stop.
    for (MovCtx* ctx : {&g_vpsCtx.recMov, &g_vpsCtx.fpvMov}) {
        if (ctx->stop.load() == 0) PLR_MOV_RecStop(ctx);
    }
    usleep(200 * 1000);
    if (g_vpsCtx.recRunning.load() == 0) {
        MovCtx& rec = g_vpsCtx.recMov;
        if (g_recEndCode.load() == 0 && rec.queue.count.load() > 0 && PLR_VPS_GetSDAvail() != 0) {
            // Stopped between the two files: the frames queued until the stop
            // (from the key frame the next file was to begin with) go into the
            // next file, which closes as soon as they are written. Its closing
            // states tell the phone that the recording has ended.
            char prefix[20] = {};
            const char* suffix = next_main_name(prefix);
            plr_trace_logf(PLR_LOG_D, "%s(line=%d):stopped in a split, %d frames to write",
                           __func__, __LINE__, rec.queue.count.load());
            start_recorder(rec, prefix, suffix, state_handler_main);
            PLR_MOV_RecStop(&rec);
            return 0;
        }
        // Stopped between the two files with nothing (or no card) to write to:
        // the recording ends here.
        rec.split.store(0);
        PLR_MOV_FrameQueueClear(&rec.queue);
        PLR_VPS_EvtNotify(VPS_EVT_REC_STOP, g_recEndCode.exchange(0), -1, -1, nullptr);
        return 0;
    }
    if (const uint32_t temp = g_vpsCtx.socTemp.load(); temp >= PLR_SOC_TEMP_LIMIT) {
        plr_trace_logf(PLR_LOG_E, "cpu thermal too high %u", temp);
        // The recording ends here: nothing is queued for a file that will not come.
        g_vpsCtx.recRunning.store(0);
        PLR_VPS_VENC_StopRecvFrame(g_vpsCtx.recVenc.vencChn);
        g_vpsCtx.recMov.split.store(0);
        PLR_MOV_FrameQueueClear(&g_vpsCtx.recMov.queue);
        PLR_VPS_EvtNotify(VPS_EVT_REC_STOP, 0, -1, -1, nullptr);
        return -1;
    }
    plr_trace_logf(PLR_LOG_D, "PLR_VPS_REC_SplitHandle split record start %u", PLR_VPS_RecState());
    return PLR_VPS_RecordStart();
}

int PLR_VPS_4K_RecStHandler(uint32_t state) {
    plr_trace_logf(PLR_LOG_D, "PLR_VPS_4K_RecStHandle rec st %u", state);
    MovCtx& rec = g_vpsCtx.recMov;
    const uint32_t chn = g_vpsCtx.recVenc.vencChn;
    const bool split = rec.split.load() != 0;
    switch (state) {
        case MOV_ST_IDLE:
            PLR_VPS_SendEvent(VPS_EVT_SD_QUERY);
            TRACE_LOG_CACHE_Disable();
            rec.state.store(MOV_ST_IDLE);
            if (split) {
                PLR_VPS_SendEvent(VPS_EVT_REC_SPLIT);
            } else {
                PLR_VPS_EvtNotify(VPS_EVT_REC_STOP, g_recEndCode.exchange(0), -1, -1, nullptr);
            }
            break;
        case MOV_ST_RUNNING:
            TRACE_LOG_CACHE_Enable();
            if (g_vpsCtx.recRunning.load() == 0) break;  // stopped before it began
            if (!split) PLR_VPS_VENC_SetBitrate(PLR_BITRATE_RECORD, PLR_VPS_GetRecordBitrate());
            PLR_VPS_VENC_StartRecvFrame(chn, RK_VENC_RECV_UNLIMITED);
            // A stop that came meanwhile may have stopped the intake before it
            // was started here: it stays stopped.
            if (g_vpsCtx.recRunning.load() == 0) {
                PLR_VPS_VENC_StopRecvFrame(chn);
                break;
            }
            RK_MPI_VENC_RequestIDR(static_cast<int32_t>(chn), 0);
            break;
        case MOV_ST_RECORDING:
            if (rec.tlapse.active.load() != 0)
                PLR_VPS_EvtNotify(VPS_EVT_TIMELAPSE, 0, 0, -1, nullptr);
            if (!split) PLR_VPS_EvtNotify(VPS_EVT_REC_START, 0, -1, -1, rec.path);
            rec.split.store(0);
            break;
        case MOV_ST_SPLIT:
            rec.split.store(1);
            break;
        case MOV_ST_CLOSED:
            // Numbering starts again at 1 on the next card. A file the card
            // ended may close after the next card is in already.
            if (g_vpsCtx.sdStatus.load() == VPS_SD_NONE || g_recEndCode.load() != 0) {
                PLR_VPS_ResetFileID();
            } else {
                PLR_VPS_UpdateMovFileID();
            }
            if (rec.tlapse.active.load() != 0) {
                rec.tlapse.paused.store(0);
                rec.tlapse.active.store(0);
                if (rec.tlapse.frames.load() < 25)
                    PLR_VPS_EvtNotify(VPS_EVT_TLAPSE_PROGRESS, 0, -1, -1, nullptr);
                PLR_VPS_EvtNotify(VPS_EVT_TIMELAPSE, 0, 2, -1, nullptr);
            }
            if (!split) PLR_VPS_EvtNotify(VPS_EVT_REC_STOP, g_recEndCode.load(), -1, -1, nullptr);
            break;
        case MOV_ST_FAILED:
            // The card failed under the recording: what was written is kept
            // (repaired), and the phone learns that the card is not writable.
            if (g_vpsCtx.recRunning.load() != 0 || g_recEndCode.load() == 0) {
                int32_t none = 0;
                g_recEndCode.compare_exchange_strong(none, VPS_SD_ERR_UNUSABLE);
                if (g_vpsCtx.sdStatus.load() == VPS_SD_OK) {
                    g_vpsCtx.sdStatus.store(VPS_SD_RW_ERROR);
                    PLR_VPS_EvtNotify(VPS_EVT_SD_QUERY, VPS_SD_RW_ERROR,
                                      static_cast<int32_t>(g_vpsCtx.sdTotalMB.load()),
                                      static_cast<int32_t>(g_vpsCtx.sdFreeMB.load()), nullptr);
                }
            }
            g_vpsCtx.recRunning.store(0);
            PLR_VPS_VENC_StopRecvFrame(chn);
            PLR_MOV_RecStop(&g_vpsCtx.fpvMov);
            PLR_MOV_RecStop(&rec);
            rec.split.store(0);
            rec.state.store(MOV_ST_IDLE);
            break;
        case MOV_ST_SD_FULL:
            PLR_MOV_RecStop(&g_vpsCtx.fpvMov);
            PLR_VPS_EvtNotify(VPS_EVT_REC_STOP, 0, -1, -1, nullptr);
            PLR_VPS_SendEvent(VPS_EVT_SD_QUERY);
            rec.state.store(MOV_ST_IDLE);
            break;
        default:
            plr_trace_logf(PLR_LOG_E, "Unhandled REC st: %u", state);
            break;
    }
    return 0;
}

int PLR_VPS_FPV_RecStHandler(uint32_t state) {
    plr_trace_logf(PLR_LOG_D, "PLR_VPS_FPV_RecStHandle rec st %u", state);
    switch (state) {
        case MOV_ST_IDLE:
        case MOV_ST_CLOSED:
        case MOV_ST_FAILED:
        case MOV_ST_SD_FULL:
            g_vpsCtx.fpvMov.state.store(MOV_ST_IDLE);
            break;
        case MOV_ST_RUNNING:
            RK_MPI_VENC_RequestIDR(static_cast<int32_t>(g_vpsCtx.fpvVenc.vencChn), 0);
            break;
        default:
            plr_trace_logf(PLR_LOG_E, "Unhandled FPV st: %u", state);
            break;
    }
    return 0;
}
