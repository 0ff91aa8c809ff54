#include "mov/mov_muxer.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "board/board.h"
#include "core/trace_log.h"
#include "mp4/mp4_repair.h"
#include "mp4/mp4_writer.h"

namespace {

using namespace std::chrono_literals;

constexpr uint64_t kMiB = 1048576;
constexpr auto kPollInterval = 10ms;         // wait for frames while the queue is empty
constexpr auto kCardCheckInterval = 1000ms;  // how often the card's free space is measured
constexpr auto kStopDrainLimit = 5000ms;     // frames queued at a stop are written within this

// A file past its size limit ends before the next key frame, so that the
// next file starts with it and no picture is lost between the two; a stream
// without a key frame for this many more bytes ends at once.
constexpr uint64_t kSplitSlackBytes = 64 * kMiB;

constexpr uint8_t kNalIdr = 5;
constexpr uint8_t kNalSps = 7;
constexpr uint8_t kNalPps = 8;

std::atomic<uint64_t> g_splitBytes{MOV_SPLIT_BYTES_DEFAULT};
std::atomic<uint64_t> g_sdReserveBytes{MOV_SD_RESERVE_BYTES_DEFAULT};
std::atomic<uint32_t> g_syncIntervalMs{MOV_SYNC_INTERVAL_MS_DEFAULT};

void set_state(MovCtx* ctx, uint32_t state) {
    ctx->state.store(state);
    if (ctx->stateCb != nullptr) ctx->stateCb(state);
}

// The private state of one muxer thread.
struct Muxer {
    MovCtx* ctx = nullptr;
    Mp4WFile* file = nullptr;
    uint32_t track = MP4W_INVALID_TRACK_ID;
    bool ppsAdded = false;
    bool writing = false;    // set at the first IDR slice once the track has its parameter sets
    bool idrSeen = false;    // an IDR slice was written: the file is worth keeping
    uint64_t total = 0;      // bytes of every NAL unit examined
    uint64_t remaining = 0;  // card space measured at the start, counted down
    // Card space measured during the recording, counted down between
    // measurements: it sees what the other recordings write too.
    uint64_t cardFree = UINT64_MAX;
    std::chrono::steady_clock::time_point nextCardCheck{};
    uint64_t keyFrames = 0;  // time-lapse: IDR slices met
    int32_t rateStart = 0;   // start of the bitrate measurement, s; 0 = not started
    uint64_t splitBytes = 0;
    bool splitDue = false;  // past the size limit: the file ends before the next key frame
    uint64_t reserveBytes = 0;
    std::vector<uint8_t> scratch;  // a sample whose start code leaves no room for its length field
};

void put_be32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}

void count_bytes(Muxer& m, uint64_t size) {
    m.total += size;
    m.remaining = m.remaining > size ? m.remaining - size : 0;
    if (m.cardFree != UINT64_MAX) m.cardFree = m.cardFree > size ? m.cardFree - size : 0;
}

void measure_bitrate(Muxer& m) {
    const int32_t now = PLR_MOV_GetTime();
    if (m.rateStart == 0) {
        m.rateStart = now;
    } else if (now > m.rateStart) {
        const uint64_t rate = m.total * 8 / static_cast<uint64_t>(now - m.rateStart);
        m.ctx->bitrate.store(static_cast<uint32_t>(std::min<uint64_t>(rate, UINT32_MAX)));
    } else {
        m.ctx->bitrate.store(0);
    }
}

// Writes the NAL unit as one sample with its 4-byte big-endian length in
// front. The length goes where the start code was; a three-byte code at the
// very start of the frame leaves no room, and only then are the bytes copied.
int write_nal(Muxer& m, uint8_t* frameBegin, const Mp4WNal& nal) {
    uint8_t* data = frameBegin + (nal.data - frameBegin);
    const bool sync = nal.type == kNalIdr;
    if (data - frameBegin >= 4) {
        // Bytes before the start code belong to NAL units already handled.
        put_be32(data - 4, nal.size);
        return MP4W_WriteSample(m.file, m.track, data - 4, nal.size + 4, sync);
    }
    m.scratch.resize(static_cast<size_t>(nal.size) + 4);
    put_be32(m.scratch.data(), nal.size);
    memcpy(m.scratch.data() + 4, data, nal.size);
    return MP4W_WriteSample(m.file, m.track, m.scratch.data(), nal.size + 4, sync);
}

// Handles the NAL units of one frame: 0, or -1 when the file failed.
int process_frame(Muxer& m, MM_BUFFER_S* frame) {
    MovCtx* ctx = m.ctx;
    uint8_t* begin = frame->data;
    const uint8_t* end = begin + frame->length;
    const uint8_t* p = begin;
    Mp4WNal nal{};
    // The picture counts as recorded once one of its slices is in the file.
    bool pictureWritten = false;
    while (MP4W_NextNal(p, end, &nal)) {
        p = nal.data + nal.size;
        if (nal.size == 0) continue;
        if (nal.type == kNalSps) {
            if (m.track == MP4W_INVALID_TRACK_ID) {
                uint8_t profile = 0;
                uint8_t constraints = 0;
                uint8_t level = 0;
                const uint32_t scale = ctx->fps * 1000;
                if (ctx->fps != 0 && nal.size <= 0xffff &&
                    MP4W_SpsIndication(nal.data, nal.size, &profile, &constraints, &level) == 0) {
                    m.track = MP4W_AddH264VideoTrack(
                        m.file, scale, scale / ctx->fps + 1, static_cast<uint16_t>(ctx->width),
                        static_cast<uint16_t>(ctx->height), profile, constraints, level, 3);
                }
                if (m.track == MP4W_INVALID_TRACK_ID) {
                    plr_trace_log(PLR_LOG_E, "Add MP4 Track failed.");
                    return -1;
                }
                MP4W_SetVideoProfileLevel(m.file, static_cast<uint8_t>(ctx->profile & 0xff));
                MP4W_AddH264SequenceParameterSet(m.file, m.track, nal.data,
                                                 static_cast<uint16_t>(nal.size));
            }
        } else if (nal.type == kNalPps) {
            if (m.track != MP4W_INVALID_TRACK_ID && nal.size <= 0xffff &&
                MP4W_AddH264PictureParameterSet(m.file, m.track, nal.data,
                                                static_cast<uint16_t>(nal.size)) == 0) {
                m.ppsAdded = true;
            }
        } else {
            const bool idr = nal.type == kNalIdr;
            const bool tlapse = ctx->tlapse.active.load() != 0;
            if (idr) {
                // The file starts with a key frame that its parameter sets describe.
                if (m.track != MP4W_INVALID_TRACK_ID && m.ppsAdded) m.writing = true;
                if (tlapse) ++m.keyFrames;
                measure_bitrate(m);
            }
            if (tlapse) {
                const uint32_t interval = std::max<uint32_t>(ctx->tlapse.interval.load(), 1);
                if (idr && ctx->tlapse.paused.load() == 0 && m.keyFrames % interval == 0) {
                    const uint32_t frames = ctx->tlapse.frames.fetch_add(1) + 1;
                    plr_trace_logf(PLR_LOG_I, "Timelapse: write frames %u", frames);
                } else {
                    plr_trace_log(PLR_LOG_I, "Timelapse: drop unexpected frame!!");
                    return 0;  // the rest of the frame is neither examined nor counted
                }
            }
            if (m.track != MP4W_INVALID_TRACK_ID && m.writing) {
                if (write_nal(m, begin, nal) != 0) {
                    plr_trace_log(PLR_LOG_E, "Write Sample failed,exit...");
                    return -1;
                }
                if (idr && !m.idrSeen) {
                    // The file has its first key frame: from now on it is a recording.
                    m.idrSeen = true;
                    set_state(ctx, MOV_ST_RECORDING);
                }
                pictureWritten = true;
            }
        }
        count_bytes(m, nal.size);
    }
    if (pictureWritten) ctx->pictures.fetch_add(1);
    return 0;
}

// True when the frame begins with an SPS or an IDR slice: a file can start with it.
bool starts_key_frame(const MM_BUFFER_S* frame) {
    Mp4WNal nal{};
    return MP4W_NextNal(frame->data, frame->data + frame->length, &nal) &&
           (nal.type == kNalSps || nal.type == kNalIdr);
}

// The card's free space, measured at most once per interval.
void check_card(Muxer& m) {
    const auto now = std::chrono::steady_clock::now();
    if (now < m.nextCardCheck) return;
    m.nextCardCheck = now + kCardCheckInterval;
    BoardFsSpace space{};
    if (board_sd_space(&space) == 0) m.cardFree = space.availableBlocks * space.blockSize;
}

// Flushes the file's samples to the card once per interval, off the frame
// path, so that a power cut loses at most about that much of the recording.
class CardSyncer {
public:
    CardSyncer(Mp4WFile* file, std::chrono::milliseconds interval)
        : file_(file), interval_(interval) {
        try {
            thread_ = std::thread([this] { run(); });
        } catch (const std::system_error&) {
            plr_trace_logf(PLR_LOG_E, "%s(%d):no sync thread", __func__, __LINE__);
        }
    }
    CardSyncer(const CardSyncer&) = delete;
    CardSyncer& operator=(const CardSyncer&) = delete;
    ~CardSyncer() {
        {
            std::lock_guard lock(lock_);
            stop_ = true;
        }
        wake_.notify_all();
        if (thread_.joinable()) thread_.join();
    }

private:
    void run() {
        std::unique_lock lock(lock_);
        while (!wake_.wait_for(lock, interval_, [this] { return stop_; })) {
            lock.unlock();
            MP4W_DataSync(file_);
            lock.lock();
        }
    }
    Mp4WFile* file_;
    std::chrono::milliseconds interval_;
    std::mutex lock_;
    std::condition_variable wake_;
    bool stop_ = false;
    std::thread thread_;
};

// Creates the recording's file and, when it is to survive a power cut, its journal.
Mp4WFile* create_file(const std::string& boardPath, const std::string& hostPath, bool journal) {
    Mp4WFile* file = MP4W_Create(hostPath.c_str());
    if (file == nullptr || !journal) return file;
    const std::string journalPath = board_path(PLR_MOV_JournalPath(boardPath));
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(journalPath).parent_path(), ec);
    if (MP4W_SetJournal(file, journalPath.c_str()) != 0) {
        plr_trace_logf(PLR_LOG_E, "%s(%d):no journal for %s: %s", __func__, __LINE__,
                       boardPath.c_str(), strerror(errno));
    }
    return file;
}

// Sleeps until a frame arrives or a stop is requested, at most one poll interval.
void wait_for_frames(MovCtx* ctx) {
    PLR_MOV_FrameQueueWait(&ctx->queue, static_cast<uint32_t>(kPollInterval.count()), &ctx->stop);
}

}  // namespace

void PLR_MOV_SetSplitBytes(uint64_t bytes) {
    g_splitBytes.store(bytes);
}

uint64_t PLR_MOV_GetSplitBytes() {
    return g_splitBytes.load();
}

void PLR_MOV_SetSdReserveBytes(uint64_t bytes) {
    g_sdReserveBytes.store(bytes);
}

uint64_t PLR_MOV_GetSdReserveBytes() {
    return g_sdReserveBytes.load();
}

void PLR_MOV_SetSyncIntervalMs(uint32_t ms) {
    g_syncIntervalMs.store(ms);
}

uint32_t PLR_MOV_GetSyncIntervalMs() {
    return g_syncIntervalMs.load();
}

int PLR_MOV_RecStart(MovCtx* ctx) {
    if (ctx == nullptr) return -1;
    if (ctx->thread.joinable()) {
        if (ctx->thread.get_id() == std::this_thread::get_id()) {
            plr_trace_logf(PLR_LOG_E, "%s(%d):called on the muxer thread itself", __func__,
                           __LINE__);
            return -1;
        }
        const uint32_t state = ctx->state.load();
        if (ctx->stop.load() == 0 &&
            (state == MOV_ST_STARTING || state == MOV_ST_RUNNING || state == MOV_ST_RECORDING)) {
            plr_trace_logf(PLR_LOG_E, "%s(%d):muxer still recording, state %u", __func__, __LINE__,
                           state);
            return -1;
        }
        // The previous thread has finished or is closing its file.
        ctx->thread.join();
    }
    set_state(ctx, MOV_ST_STARTING);
    ctx->stop.store(0);
    ctx->pictures.store(0);
    int err = 0;
    try {
        ctx->thread = std::thread(PLR_MOV_RecordThreadM4v2, ctx);
    } catch (const std::system_error& e) {
        err = e.code().value();
    } catch (const std::bad_alloc&) {
        err = ENOMEM;
    }
    if (err != 0) {
        plr_trace_logf(PLR_LOG_E, "Create rec thread failed!, error: %d, %s", err, strerror(err));
        set_state(ctx, MOV_ST_FAILED);
        return -1;
    }
    plr_trace_log(PLR_LOG_D, "Create REC thread start success!!");
    return 0;
}

int PLR_MOV_RecStop(MovCtx* ctx) {
    if (ctx == nullptr) return -1;
    uint32_t running = 0;
    if (ctx->stop.compare_exchange_strong(running, 1)) {
        PLR_MOV_FrameQueueWake(&ctx->queue);
    } else {
        // Stopped before. Only a finished thread's context is reported closed
        // again: a thread still closing its file reports 5 and 0 itself, and
        // a late 5 from here must not land after its final 0.
        uint32_t idle = MOV_ST_IDLE;
        if (ctx->state.compare_exchange_strong(idle, MOV_ST_CLOSED) && ctx->stateCb != nullptr) {
            ctx->stateCb(MOV_ST_CLOSED);
        }
    }
    plr_trace_log(PLR_LOG_I, "REC thread stop success!!");
    return 0;
}

int PLR_MOV_RecJoin(MovCtx* ctx) {
    if (ctx == nullptr) return -1;
    if (!ctx->thread.joinable()) return 0;
    if (ctx->thread.get_id() == std::this_thread::get_id()) return -1;
    uint32_t running = 0;
    if (ctx->stop.compare_exchange_strong(running, 1)) PLR_MOV_FrameQueueWake(&ctx->queue);
    ctx->thread.join();
    return 0;
}

void PLR_MOV_RecordThreadM4v2(MovCtx* ctx) {
    if (ctx == nullptr) return;
    set_state(ctx, MOV_ST_RUNNING);

    Muxer m;
    m.ctx = ctx;
    m.remaining = static_cast<uint64_t>(ctx->sdFreeMb) * kMiB;
    m.splitBytes = g_splitBytes.load();
    m.reserveBytes = g_sdReserveBytes.load();
    plr_trace_logf(PLR_LOG_D, "PLR_MOV_RecordThread success,SD capacity:%u MB %llu Byte!!",
                   ctx->sdFreeMb, static_cast<unsigned long long>(m.remaining));

    const std::string boardPath(ctx->path, strnlen(ctx->path, MOV_PATH_SIZE));
    const std::string hostPath = board_path(boardPath);
    bool success = false;
    MM_BUFFER_S* frame = nullptr;
    const uint32_t syncMs = g_syncIntervalMs.load();
    m.file = create_file(boardPath, hostPath, syncMs != 0);
    if (m.file == nullptr) {
        plr_trace_logf(PLR_LOG_E, "Open file %s failed.", ctx->path);
    } else {
        MP4W_SetTimeScale(m.file, ctx->fps * 1000);
        std::optional<CardSyncer> syncer;
        if (syncMs != 0) syncer.emplace(m.file, std::chrono::milliseconds(syncMs));
        // Set at the stop request: queued frames are written until then.
        std::chrono::steady_clock::time_point drainUntil{};
        for (;;) {
            if (ctx->stop.load() == 1 && drainUntil == std::chrono::steady_clock::time_point{})
                drainUntil = std::chrono::steady_clock::now() + kStopDrainLimit;
            const bool stopping = drainUntil != std::chrono::steady_clock::time_point{};
            if (stopping && std::chrono::steady_clock::now() > drainUntil) {
                plr_trace_logf(PLR_LOG_E, "%s(%d):%d frames left unwritten", __func__, __LINE__,
                               ctx->queue.count.load());
                success = true;
                break;
            }
            frame = PLR_MOV_FrameQueuePop(&ctx->queue);
            if (frame == nullptr) {
                if (stopping) {
                    success = true;
                    break;
                }
                wait_for_frames(ctx);
                continue;
            }
            if (m.splitDue && !stopping &&
                (starts_key_frame(frame) || m.total > m.splitBytes + kSplitSlackBytes)) {
                // The next file begins with this frame.
                PLR_MOV_FrameQueuePushFront(&ctx->queue, frame);
                frame = nullptr;
                set_state(ctx, MOV_ST_SPLIT);
                plr_trace_logf(PLR_LOG_D, "Mov muxer %s too large,split!", ctx->path);
                success = true;
                break;
            }
            if (process_frame(m, frame) != 0) break;
            PLR_MOV_FrameFree(frame);
            frame = nullptr;

            check_card(m);
            const uint64_t left = std::min(m.remaining, m.cardFree);
            if (left <= m.reserveBytes) {
                PLR_TRACE(PLR_LOG_E, "No enough SD Spaces.. %u MB",
                          static_cast<uint32_t>(left / kMiB));
                set_state(ctx, MOV_ST_SD_FULL);
                success = true;
                break;
            }
            if (m.total > m.splitBytes) m.splitDue = true;
            if (ctx->tlapse.active.load() != 0 && ctx->fps != 0 &&
                ctx->tlapse.frames.load() / ctx->fps >= ctx->tlapse.duration.load()) {
                plr_trace_logf(PLR_LOG_D, "Timelapse: Complete with %u frames!!!",
                               ctx->tlapse.frames.load());
                success = true;
                break;
            }
        }
        if (success) {
            plr_trace_logf(PLR_LOG_D, "Mov mux complete, %s %u", ctx->path,
                           ctx->tlapse.active.load());
        }
    }

    if (frame != nullptr) PLR_MOV_FrameFree(frame);
    const bool created = m.file != nullptr;
    // A file whose movie header cannot be written is not playable as it stands: a failure.
    if (created && MP4W_Close(m.file) != 0 && success) {
        plr_trace_logf(PLR_LOG_E, "%s(%d):closing %s failed", __func__, __LINE__, ctx->path);
        success = false;
    }
    m.file = nullptr;
    if (!success) set_state(ctx, MOV_ST_FAILED);
    if (created && !m.idrSeen) {
        // Only what this thread created is removed.
        unlink(hostPath.c_str());
        unlink(board_path(PLR_MOV_JournalPath(boardPath)).c_str());
    } else if (created && !success) {
        // What reached the card is kept: the repair gives it its movie header.
        PLR_MOV_RepairQueue(boardPath);
    }
    set_state(ctx, MOV_ST_CLOSED);
    board_sync();
    ctx->stop.store(1);
    plr_trace_logf(PLR_LOG_D, "Mov muxer thread exit!!,file %s %llu", ctx->path,
                   static_cast<unsigned long long>(m.total));
    set_state(ctx, MOV_ST_IDLE);
}
