#include "vps/vps_testmode.h"

#include <algorithm>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <system_error>

#include "board/board.h"
#include "core/signals.h"
#include "core/trace_log.h"
#include "mov/frame_queue.h"
#include "vps/vcs.h"
#include "vps/vps_ctx.h"
#include "vps/vps_event.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr const char* kTestModeMarker = "/tmp/SD0/PLRMEDIA/testmode.conf";
constexpr const char* kAutoRecMarker = "/tmp/SD0/PLRMEDIA/autorec.conf";
constexpr const char* kVideoDir = "/tmp/SD0/PLRMEDIA/VIDEO";
constexpr const char* kTestClip = "test.mp4";
constexpr uint32_t kMinSeconds = 4;  // the clip must hold more than this
constexpr auto kPoll = 200ms;

std::mutex g_boundsLock;
PlrTmBounds g_bounds;

PlrTmBounds bounds() {
    std::lock_guard lock(g_boundsLock);
    return g_bounds;
}

// Polls every 200 ms until `done` or the bound; false on time-out or a stop of the program.
bool poll_until(const std::function<bool()>& done, std::chrono::milliseconds bound) {
    for (auto waited = 0ms; !done(); waited += kPoll) {
        if (waited >= bound || PLR_MAIN_WaitStop(static_cast<uint32_t>(kPoll.count())))
            return false;
    }
    return true;
}

// Seconds of video the main recorder has written to its file.
uint32_t recorded_seconds() {
    const MovCtx& rec = g_vpsCtx.recMov;
    return rec.fps == 0 ? 0 : rec.pictures.load() / rec.fps;
}

bool recorder_running(const MovCtx& ctx) {
    const uint32_t state = ctx.state.load();
    return state == MOV_ST_STARTING || state == MOV_ST_RUNNING || state == MOV_ST_RECORDING;
}

}  // namespace

void PLR_TM_SetBounds(const PlrTmBounds& b) {
    std::lock_guard lock(g_boundsLock);
    g_bounds = b;
}

int PLR_TM_Init() {
    if (!board_file_exists(kTestModeMarker)) return -1;
    if (!board_file_exists(kAutoRecMarker)) return 0;
    if (PLR_TM_RecStart() == 0) PLR_TM_RecStop();
    plr_trace_log(PLR_LOG_D, "Testmode Auto Record complete..");
    return 0;
}

int PLR_TM_RecStart() {
    plr_trace_log(PLR_LOG_D, "Testmode Start Record.");
    // Every earlier video goes, so the card holds exactly one test clip.
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(board_path(kVideoDir), ec))
        fs::remove_all(entry.path(), ec);
    if (PLR_MAIN_WaitStop(1000)) return -1;
    const PlrTmBounds b = bounds();
    PLR_VPS_SendEvent1(VPS_EVT_MODE_SWITCH, VPS_MODE_RECORD);
    if (!poll_until([] { return PLR_VCS_GetVpsMode() == VPS_MODE_RECORD; }, b.modeSwitch)) {
        PLR_TRACE(PLR_LOG_E, "Testmode: no record mode, given up");
        return -1;
    }
    PLR_VPS_SendEvent(VPS_EVT_REC_START);
    // The recorder's own count of written pictures measures the clip, once
    // this recording has started (the count of an earlier file is no
    // measure); a start that is refused gives up after a short grace.
    if (!poll_until([] { return recorder_running(g_vpsCtx.recMov); },
                    std::min<std::chrono::milliseconds>(b.recording, 5s))) {
        PLR_TRACE(PLR_LOG_E, "Testmode: recording did not start, given up");
        return -1;
    }
    const bool long_enough =
        poll_until(
            [] { return recorded_seconds() > kMinSeconds || !recorder_running(g_vpsCtx.recMov); },
            b.recording) &&
        recorded_seconds() > kMinSeconds;
    if (!long_enough) {
        PLR_TRACE(PLR_LOG_E, "Testmode: recording did not reach %u s, given up", kMinSeconds);
        PLR_VPS_SendEvent(VPS_EVT_REC_STOP);
        return -1;
    }
    return 0;
}

int PLR_TM_RecStop() {
    PLR_VPS_SendEvent(VPS_EVT_REC_STOP);
    board_sync();
    const PlrTmBounds b = bounds();
    if (!poll_until([] { return !recorder_running(g_vpsCtx.recMov); }, b.closing)) {
        PLR_TRACE(PLR_LOG_E, "Testmode: recording did not end, given up");
        return -1;
    }
    int ret = -1;
    std::error_code ec;
    const fs::path dir = board_path(kVideoDir);
    for (const auto& entry : fs::directory_iterator(dir, ec)) {
        const std::string name = entry.path().filename().string();
        if (name.size() > 6 && name.compare(name.size() - 6, 6, "AA.MP4") == 0) {
            fs::rename(entry.path(), dir / kTestClip, ec);
            ret = ec ? -1 : 0;
            break;
        }
    }
    plr_trace_log(PLR_LOG_D, "Testmode Stop Record.");
    // The live-view copy is finished before start-up goes on.
    poll_until([] { return !recorder_running(g_vpsCtx.fpvMov); }, b.closing);
    return ret;
}

int PLR_TM_Deinit() {
    return 0;
}
