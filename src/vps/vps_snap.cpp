#include "vps/vps_snap.h"

#include <sys/select.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>

#include "board/board.h"
#include "core/timer.h"
#include "core/trace_log.h"
#include "vps/vcs.h"
#include "vps/vps_ctx.h"
#include "vps/vps_event.h"
#include "vps/vps_exif.h"
#include "vps/vps_pipeline.h"
#include "vps/vps_sd.h"
#include "vps/vps_switch.h"

namespace {

constexpr int32_t kSnapWaitMs = 1;
constexpr int kSelectTimeoutUs = 120 * 1000;
constexpr useconds_t kRetryUs = 200 * 1000;
constexpr int32_t kTlapsePeriodMs = 1000;
constexpr uint32_t kPicFmtJpeg = 0;
constexpr uint32_t kPanoSphere = 5;
constexpr uint32_t kPanoWide = 6;
constexpr uint32_t kPanoVertical = 7;

struct SnapStream {
    std::atomic<uint32_t> exit{1};
    std::thread thread;
};
SnapStream g_snapStream;

struct FreeDeleter {
    void operator()(uint8_t* block) const { free(block); }
};

uint32_t snap_mode() {
    return g_vpsCtx.snapMode.load();
}

// The counter that numbers the current mode's files.
uint32_t file_counter(uint32_t mode) {
    switch (mode) {
        case VPS_SNAP_HDR:
        case VPS_SNAP_CONTINUOUS:
        case VPS_SNAP_BRACKETING:
            return g_vpsCtx.snapSeqId.load();
        case VPS_SNAP_PANORAMA:
            return g_vpsCtx.panoFileId.load();
        default:
            return g_vpsCtx.picFileId.load();
    }
}

const char* pano_suffix(uint32_t panoMode) {
    switch (panoMode) {
        case kPanoSphere:
            return "SPH";
        case kPanoWide:
            return "WID";
        case kPanoVertical:
            return "VER";
        default:
            return "HOR";
    }
}

bool make_dir(const char* boardDir) {
    std::error_code ec;
    std::filesystem::create_directories(board_path(boardDir), ec);
    if (ec) {
        plr_trace_logf(PLR_LOG_E, "%s(line=%d):mkdir %s failed: %s", "PLR_VPS_GenPicFilePath",
                       __LINE__, boardDir, ec.message().c_str());
        return false;
    }
    return true;
}

// Asks the JPEG encoder for one more picture.
int request_picture() {
    return PLR_VPS_VENC_StartRecvFrame(g_vpsCtx.snapVenc.vencChn, 1);
}

void notify_snap_state(int32_t running) {
    PLR_VPS_EvtNotify(VPS_EVT_STATUS, VPS_STA_SNAP_STATE, running, -1, nullptr);
}

// Ends the capture in progress and tells the phone.
void finish_capture(int32_t result, const char* path) {
    g_vpsCtx.snapBusy.store(0);
    PLR_VPS_EvtNotify(VPS_EVT_SNAP_STOP, result, -1, -1, path);
}

// Writes the picture with the metadata block behind its start-of-image
// marker, or unchanged when no block could be built. True when every byte
// reached the file.
bool write_picture(FILE* file, const uint8_t* data, size_t size) {
    uint32_t blockLen = 0;
    const std::unique_ptr<uint8_t, FreeDeleter> block(PLR_EXIF_XmpDataCreate(&blockLen));
    const bool startsWithSoi = size >= 2 && data[0] == 0xFF && data[1] == 0xD8;
    if (block == nullptr || !startsWithSoi) return PLR_VENC_WriteFile(data, size, file) == size;
    return fwrite(data, 1, 2, file) == 2 && fwrite(block.get(), 1, blockLen, file) == blockLen &&
           fwrite(data + 2, 1, size - 2, file) == size - 2;
}

// Takes every pending picture of the JPEG encoder until the stream is told to
// stop or the picture format leaves JPEG (0), or gives up on an error (-1).
int snap_jpeg_loop(uint32_t chn) {
    const int fd = RK_MPI_VENC_GetFd(static_cast<int32_t>(chn));
    if (fd < 0) {
        plr_trace_logf(PLR_LOG_E, "HI_MPI_VENC_GetFd failed with %#x!", static_cast<unsigned>(fd));
        return -1;
    }
    while (g_snapStream.exit.load() == 0 && g_vpsCtx.picFmt.load() == kPicFmtJpeg) {
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(fd, &readable);
        struct timeval timeout = {0, kSelectTimeoutUs};
        const int ready = select(fd + 1, &readable, nullptr, nullptr, &timeout);
        if (ready < 0) {
            if (errno == EINTR) continue;
            plr_trace_log(PLR_LOG_E, "select failed!");
            return -1;
        }
        if (ready == 0) continue;
        RkVencChnStatus status{};
        const int32_t ret = RK_MPI_VENC_QueryStatus(static_cast<int32_t>(chn), &status);
        if (ret != RK_SUCCESS) {
            plr_trace_logf(PLR_LOG_E, "RK_MPI_VENC_QueryStatus chn[%u] failed with %#x!", chn,
                           static_cast<unsigned>(ret));
            return -1;
        }
        if (status.pendingPics == 0) {
            plr_trace_log(PLR_LOG_D, "NOTE: Current frame is NULL!");
            continue;
        }
        for (uint32_t i = 0; i < status.pendingPics; ++i) {
            MEDIA_BUFFER mb =
                RK_MPI_SYS_GetMediaBuffer(RK_MOD_VENC, static_cast<int32_t>(chn), kSnapWaitMs);
            if (mb != nullptr) PLR_VPS_SNPStreamCb(mb);
        }
    }
    return 0;
}

void snap_stream_proc() {
    plr_trace_log(PLR_LOG_D, "Snap thread started!!");
    while (g_snapStream.exit.load() == 0) {
        // A loop that failed is retried after a pause rather than at once, so
        // a broken channel cannot spin the CPU.
        if (g_vpsCtx.picFmt.load() != kPicFmtJpeg || snap_jpeg_loop(g_vpsCtx.snapVenc.vencChn) != 0)
            usleep(kRetryUs);
    }
    plr_trace_log(PLR_LOG_D, "Snap thread stopped!!");
}

void stop_tlapse_timer() {
    if (g_vpsCtx.snapTlapseTimer == nullptr) return;
    PLR_Timer_SetIntval(g_vpsCtx.snapTlapseTimer, 0);
    PLR_Timer_Deinit(&g_vpsCtx.snapTlapseTimer);
    g_vpsCtx.snapTlapseTimer = nullptr;
    g_vpsCtx.snapTlapseCnt.store(0);
    notify_snap_state(0);
    g_vpsCtx.snapRun.store(0);
}

}  // namespace

int PLR_VPS_SNAP_StartHandle() {
    plr_trace_log(PLR_LOG_D, "PLR_VPS_SNAP_StartHandle");
    if (g_vpsCtx.vpsStatus.load() != VPS_STATUS_IDLE || PLR_VCS_GetVpsMode() != VPS_MODE_PHOTO ||
        g_vpsCtx.vpsMode.load() != VPS_MODE_PHOTO) {
        return -1;
    }
    if (PLR_VPS_GetSDAvail() == 0) {
        PLR_VPS_EvtNotify(VPS_EVT_SNAP_START, PLR_VPS_GetSDError(), -1, -1, nullptr);
        return -1;
    }
    if (snap_mode() == VPS_SNAP_TIMELAPSE) {
        g_vpsCtx.snapTlapseCnt.store(g_vpsCtx.snapTlapse.load());
        if (g_vpsCtx.snapTlapseTimer == nullptr)
            PLR_Timer_Init(&g_vpsCtx.snapTlapseTimer, PLR_VPS_SnapTlapseHandler);
        PLR_Timer_SetIntval(g_vpsCtx.snapTlapseTimer, kTlapsePeriodMs);
        notify_snap_state(1);
        g_vpsCtx.snapRun.store(1);
        return 0;
    }
    const int ret = PLR_VPS_SnapStart();
    if (ret != 0) plr_trace_log(PLR_LOG_D, "PLR_VPS_SnapStart failed !");
    PLR_VPS_EvtNotify(VPS_EVT_SNAP_START, ret, -1, -1, nullptr);
    return ret;
}

int PLR_VPS_SNAP_StopHandle() {
    // The timer is stopped even if the picture mode changed while it ran.
    stop_tlapse_timer();
    PLR_VPS_EvtNotify(VPS_EVT_SNAP_STOP, 0, -1, -1, nullptr);
    return 0;
}

int PLR_VPS_AttrSetHandle(int32_t attr, int32_t value) {
    int ret = 0;
    switch (attr) {
        case 0:
            ret = PLR_VPS_SetPicMode(static_cast<uint32_t>(value));
            break;
        case 1:
        case 2:
        case 4:
        case 6:
            // Kept by the settings context; nothing changes in the camera core.
            break;
        case 5:
            ret = PLR_VPS_SetCtiShot(static_cast<uint8_t>(value & 0xFF));
            break;
        case 7:
            ret = PLR_VPS_SetSnapTlapse(static_cast<uint8_t>(value & 0xFF));
            break;
        case 8:
            ret = PLR_VPS_SetPanoMode(static_cast<uint32_t>(value));
            break;
        case 9:
            ret = PLR_VPS_SetVideoMode(static_cast<uint32_t>(value));
            break;
        default:
            plr_trace_logf(PLR_LOG_E, "Unknow attr :%d,value:%d", attr, value);
            ret = -1;
            break;
    }
    ret = ret == 0 ? 0 : -1;
    PLR_VPS_EvtNotify(VPS_EVT_ATTR_SET, ret, attr, value, nullptr);
    return ret;
}

int PLR_VPS_SnapStart() {
    // Claimed at once: the time-lapse timer and the event thread may both start captures.
    uint32_t idle = 0;
    if (!g_vpsCtx.snapBusy.compare_exchange_strong(idle, VPS_SNAP_BUSY)) {
        plr_trace_logf(PLR_LOG_E, "Vps busy %u...snap failed!", idle);
        return -1;
    }
    if (const uint32_t temp = g_vpsCtx.socTemp.load(); temp >= PLR_SOC_TEMP_LIMIT) {
        plr_trace_logf(PLR_LOG_E, "cpu thermal too high %u", temp);
        g_vpsCtx.snapBusy.store(0);
        return -1;
    }
    PLR_VPS_GenPicFilePath();
    g_vpsCtx.snapSeqId.store(1);
    const int ret = request_picture();
    if (ret != 0) {
        plr_trace_logf(PLR_LOG_E, "Start snap failed!, error: %#x", static_cast<unsigned>(ret));
        g_vpsCtx.snapBusy.store(0);
        return ret;
    }
    plr_trace_log(PLR_LOG_D, "Start snap success!!");
    return 0;
}

int PLR_VPS_SnapStop() {
    const int ret = PLR_VPS_VENC_StopRecvFrame(g_vpsCtx.snapVenc.vencChn);
    if (ret != 0) {
        plr_trace_logf(PLR_LOG_E, "Stop snap failed!, error: %#x", static_cast<unsigned>(ret));
    } else {
        plr_trace_log(PLR_LOG_E, "Stop snap success!!");
    }
    return ret;
}

int PLR_VPS_CtiSnapTrigger() {
    // HDR and bracketing series take their further pictures the same way.
    const uint32_t mode = snap_mode();
    if (mode != VPS_SNAP_HDR && mode != VPS_SNAP_CONTINUOUS && mode != VPS_SNAP_BRACKETING) {
        plr_trace_logf(PLR_LOG_E, "Trig snap failed!, mode: %u", mode);
        return -1;
    }
    const int ret = request_picture();
    if (ret != 0) {
        plr_trace_logf(PLR_LOG_E, "Start snap failed!, error: %#x", static_cast<unsigned>(ret));
        return ret;
    }
    plr_trace_log(PLR_LOG_D, "Continous snap trigger!!");
    return 0;
}

int PLR_VPS_SnpCompleted() {
    // At or past the count: a count lowered during a series still ends it.
    const uint32_t seq = g_vpsCtx.snapSeqId.load();
    switch (snap_mode()) {
        case VPS_SNAP_HDR:
            return seq >= VPS_SNAP_HDR_COUNT ? 1 : 0;
        case VPS_SNAP_CONTINUOUS:
            return seq >= g_vpsCtx.ctiShot.load() ? 1 : 0;
        case VPS_SNAP_BRACKETING:
            return seq >= g_vpsCtx.bracketCount ? 1 : 0;
        default:
            return 1;
    }
}

int PLR_VPS_StartGetSnapStream() {
    if (g_snapStream.thread.joinable()) return 0;
    g_snapStream.exit.store(0);
    try {
        g_snapStream.thread = std::thread(snap_stream_proc);
    } catch (const std::system_error& e) {
        plr_trace_logf(PLR_LOG_E, "Create snap thread failed!, error: %d, %s", e.code().value(),
                       e.what());
        g_snapStream.exit.store(1);
        return -1;
    }
    return 0;
}

int PLR_VPS_StopGetSnapStream() {
    if (g_snapStream.exit.exchange(1) == 0 && g_snapStream.thread.joinable())
        g_snapStream.thread.join();
    plr_trace_logf(PLR_LOG_D, "%s(%d):SNAP Thread stopped!!", __func__, 4382);
    return 0;
}

void PLR_VPS_SNPStreamCb(MEDIA_BUFFER mb) {
    const auto* data = static_cast<const uint8_t*>(RK_MPI_MB_GetPtr(mb));
    const size_t size = RK_MPI_MB_GetSize(mb);
    plr_trace_logf(
        PLR_LOG_D, "Get JPEG packet:ptr:%p, fd:%d, size:%zu, mode:%d, channel:%d, timestamp:%lld",
        static_cast<const void*>(data), RK_MPI_MB_GetFD(mb), size, RK_MPI_MB_GetModeID(mb),
        RK_MPI_MB_GetChannelID(mb), static_cast<long long>(RK_MPI_MB_GetTimestamp(mb)));
    char path[VPS_PATH_SIZE * 2] = {};
    PLR_VPS_GenPicFullPath(path, sizeof path);
    const std::string file = board_path(path);
    FILE* out = data != nullptr ? fopen(file.c_str(), "wbe") : nullptr;
    if (out == nullptr) {
        plr_trace_logf(PLR_LOG_E, "open file err %s", path);
        finish_capture(-1, path);
        RK_MPI_MB_ReleaseBuffer(mb);
        return;
    }
    // The file is closed before anyone is told about it, so a reader never
    // finds it half written; a write that did not complete removes it.
    const bool written = write_picture(out, data, size);
    const bool closed = fclose(out) == 0;
    RK_MPI_MB_ReleaseBuffer(mb);
    if (!written || !closed) {
        plr_trace_logf(PLR_LOG_E, "write file err %s", path);
        unlink(file.c_str());
        finish_capture(-1, path);
        return;
    }
    board_sync();
    // Counters move on before the capture ends, so that a capture started
    // after the notification numbers its files from a settled state.
    const bool complete = PLR_VPS_SnpCompleted() == 1;
    PLR_VPS_UpdateSnpFileID();
    plr_trace_logf(PLR_LOG_D, "save %s successed!", path);
    if (complete) {
        finish_capture(0, path);
    } else if (PLR_VPS_CtiSnapTrigger() != 0) {
        // Without the next picture the series could never complete.
        plr_trace_log(PLR_LOG_E, "PLR_VPS_CtiSnapTrigger failed !");
        finish_capture(-1, path);
    }
}

int PLR_VPS_UpdateSnpFileID() {
    switch (snap_mode()) {
        case VPS_SNAP_SINGLE:
        case VPS_SNAP_TIMELAPSE:
            g_vpsCtx.picFileId.fetch_add(1);
            break;
        case VPS_SNAP_HDR:
        case VPS_SNAP_CONTINUOUS:
        case VPS_SNAP_BRACKETING:
            g_vpsCtx.snapSeqId.fetch_add(1);
            break;
        default:
            break;
    }
    return 0;
}

int PLR_VPS_UpdatePanoSnapId(uint32_t id) {
    g_vpsCtx.panoFileId.store(id);
    return 0;
}

int PLR_VPS_GenPicFilePath() {
    struct timeval now {};
    board_clock_gettimeofday(&now);
    const time_t seconds = now.tv_sec;
    struct tm local {};
    localtime_r(&seconds, &local);
    char date[16] = {};
    char prefix[32] = {};
    strftime(date, sizeof date, "%Y%m%d", &local);
    strftime(prefix, sizeof prefix, "%Y%m%d_%H%M%S", &local);

    char dayDir[64] = {};
    snprintf(dayDir, sizeof dayDir, "%s/%s", VPS_PIC_DIR, date);
    char captureDir[VPS_PATH_SIZE] = {};
    switch (snap_mode()) {
        case VPS_SNAP_HDR:
            snprintf(captureDir, sizeof captureDir, "%s/%s_HDR", dayDir, prefix);
            break;
        case VPS_SNAP_CONTINUOUS:
            snprintf(captureDir, sizeof captureDir, "%s/%s_CTI", dayDir, prefix);
            break;
        case VPS_SNAP_BRACKETING:
            snprintf(captureDir, sizeof captureDir, "%s/%s_AEB", dayDir, prefix);
            break;
        case VPS_SNAP_PANORAMA:
            // Keyed by the date: every panorama of a day and mode shares it.
            snprintf(captureDir, sizeof captureDir, "%s/%s_%s", dayDir, date,
                     pano_suffix(g_vpsCtx.panoMode.load()));
            break;
        default:
            snprintf(captureDir, sizeof captureDir, "%s", dayDir);
            break;
    }
    const bool made = make_dir(dayDir) && make_dir(captureDir);
    {
        std::lock_guard lock(g_vpsCtx.snapPathLock);
        snprintf(g_vpsCtx.snapTimePrefix, VPS_PATH_SIZE, "%s", prefix);
        snprintf(g_vpsCtx.snapDayDir, VPS_PATH_SIZE, "%s", dayDir);
        snprintf(g_vpsCtx.snapDir, VPS_PATH_SIZE, "%s", captureDir);
    }
    return made ? 0 : -1;
}

int PLR_VPS_GenPicFileName(char* name, size_t size) {
    if (name == nullptr || size == 0) return -1;
    const uint32_t counter = file_counter(snap_mode());
    std::lock_guard lock(g_vpsCtx.snapPathLock);
    snprintf(name, size, "%s_%04u", g_vpsCtx.snapTimePrefix, counter);
    return 0;
}

int PLR_VPS_GenPicFullPath(char* path, size_t size) {
    if (path == nullptr || size == 0) return -1;
    char name[VPS_PATH_SIZE + 16] = {};
    PLR_VPS_GenPicFileName(name, sizeof name);
    std::lock_guard lock(g_vpsCtx.snapPathLock);
    snprintf(path, size, "%s/%s.JPG", g_vpsCtx.snapDir, name);
    return 0;
}

int PLR_VPS_SetPicMode(uint32_t mode) {
    if (mode > VPS_SNAP_PANORAMA || g_vpsCtx.snapBusy.load() != 0) {
        plr_trace_logf(PLR_LOG_E, "Set Snap mode %u refused (busy %u)", mode,
                       g_vpsCtx.snapBusy.load());
        return -1;
    }
    g_vpsCtx.snapMode.store(mode);
    plr_trace_logf(PLR_LOG_D, "Set Snap mode %u", mode);
    return 0;
}

int PLR_VPS_SetCtiShot(uint8_t count) {
    const uint8_t shots = count < 2 ? 2 : count;
    g_vpsCtx.ctiShot.store(shots);
    plr_trace_logf(PLR_LOG_D, "Set continous shot %u.", shots);
    return 0;
}

int PLR_VPS_SetSnapTlapse(uint8_t seconds) {
    if (g_vpsCtx.snapBusy.load() != 0) {
        plr_trace_logf(PLR_LOG_E, "Set Snap time lapse %u refused: busy", seconds);
        return -1;
    }
    g_vpsCtx.snapTlapse.store(seconds);
    plr_trace_logf(PLR_LOG_D, "Set Snap time lapse %u", seconds);
    return 0;
}

int PLR_VPS_SetPanoMode(uint32_t mode) {
    if (g_vpsCtx.snapBusy.load() != 0) {
        plr_trace_logf(PLR_LOG_E, "Set pano mode %u refused: busy", mode);
        return -1;
    }
    g_vpsCtx.panoMode.store(mode);
    plr_trace_logf(PLR_LOG_D, "Set pano mode %u", mode);
    return 0;
}

void PLR_VPS_SnapTlapseHandler(void* /*arg*/) {
    const uint32_t count = g_vpsCtx.snapTlapseCnt.load();
    PLR_VPS_EvtNotify(VPS_EVT_SNAP_TLAPSE, 0, static_cast<int32_t>(count), -1, nullptr);
    if (count != 0) {
        g_vpsCtx.snapTlapseCnt.store(count - 1);
        return;
    }
    g_vpsCtx.snapTlapseCnt.store(g_vpsCtx.snapTlapse.load());
    const int ret = PLR_VPS_SnapStart();
    if (ret != 0) plr_trace_log(PLR_LOG_E, "PLR_VPS_SnapStart failed !");
    plr_trace_log(PLR_LOG_D, "PLR_VPS_SnapTlapseHandler timeout Snap!");
    PLR_VPS_EvtNotify(VPS_EVT_SNAP_START, ret, -1, -1, nullptr);
}

void PLR_VPS_SnapDeinit() {
    stop_tlapse_timer();
}
