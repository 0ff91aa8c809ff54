// Recording on the whole camera core in this process: the simulated platform,
// the event thread, the recorders and the card of a temporary board root,
// driven by camera events and observed through the notification callback and
// the files on the card.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "../../support/board_root_fixture.h"
#include "../../support/camera_notes.h"
#include "core/trace_log.h"
#include "mov/mov_muxer.h"
#include "vcam.h"
#include "video_probe.h"
#include "vps/vps_ctx.h"
#include "vps/vps_event.h"
#include "vps/vps_pipeline.h"
#include "vps/vps_record.h"
#include "vps/vps_stream.h"

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

std::vector<std::string> videos(const TempBoardRoot& board) {
    std::vector<std::string> names;
    std::error_code ec;
    // The recordings: regular files (the journals of files being written
    // live in a hidden directory beside them).
    for (const auto& entry : fs::directory_iterator(board.path("/sim/card/PLRMEDIA/VIDEO"), ec)) {
        if (entry.is_regular_file()) names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

class RecordingTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_NO_FATAL_FAILURE(camera_core_start_with_card(board)); }
    void TearDown() override {
        PLR_VPS_Deinit();
        PLR_VPS_EvtReset();
        PLR_MOV_SetSplitBytes(MOV_SPLIT_BYTES_DEFAULT);
        PLR_MOV_SetSdReserveBytes(MOV_SD_RESERVE_BYTES_DEFAULT);
        plr_trace_log_reset();
    }
    void switch_to_record() {
        PLR_VPS_SendEvent1(VPS_EVT_MODE_SWITCH, VPS_MODE_RECORD);
        VpsEvt note{};
        ASSERT_TRUE(CameraNotes::wait(VPS_EVT_MODE_SWITCH, 1, &note));
        ASSERT_EQ(note.retCode, 0);
        ASSERT_EQ(note.ival1, 1);
    }
    // Records for `seconds`; returns the path the start notification named.
    std::string record(double seconds) {
        const size_t starts = CameraNotes::count(VPS_EVT_REC_START);
        const size_t stops = CameraNotes::count(VPS_EVT_REC_STOP);
        PLR_VPS_SendEvent(VPS_EVT_REC_START);
        VpsEvt started{};
        EXPECT_TRUE(CameraNotes::wait(VPS_EVT_REC_START, starts + 1, &started));
        EXPECT_EQ(started.retCode, 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(static_cast<int>(seconds * 1000)));
        PLR_VPS_SendEvent(VPS_EVT_REC_STOP);
        // A stop is answered when the file is closed and again when the recorder is idle.
        EXPECT_TRUE(CameraNotes::wait(VPS_EVT_REC_STOP, stops + 2));
        EXPECT_TRUE(wait_until([] { return PLR_VPS_RecState() == MOV_ST_IDLE; }));
        return started.cval;
    }

    TempBoardRoot board{"/etc/iqfiles", "/tmp/SD0", "/sim/card", "/dev", "/usr/data"};
};

// Frames the camera and the record encoder lost themselves (a machine too busy
// to keep real time); the recorder is not to blame for these gaps.
uint64_t platform_drops() {
    return vcam_dropped_frames(RK_MOD_VI, 0, 0) +
           vcam_dropped_frames(RK_MOD_VENC, 0, static_cast<int32_t>(g_vpsCtx.recVenc.vencChn));
}

TEST_F(RecordingTest, MainFileAndLiveViewCopyNumberedOnTheCard) {
    switch_to_record();
    const uint64_t dropsBefore = platform_drops();
    const std::string path = record(3.0);
    const uint64_t platformLost = platform_drops() - dropsBefore;
    const std::vector<std::string> files = videos(board);
    ASSERT_EQ(files.size(), 2u);
    const std::string prefix =
        files[0].substr(0, files[0].size() - std::string("_0001_AA.MP4").size());
    EXPECT_EQ(files[0], prefix + "_0001_AA.MP4");
    EXPECT_EQ(files[1], prefix + "_0001_AB.MP4");
    EXPECT_EQ(fs::path(path).filename().string(), files[0])
        << "the start notification names the main file";

    const VideoProbe main = probe_video(board.path("/sim/card/PLRMEDIA/VIDEO/" + files[0]), true);
    ASSERT_TRUE(main.opened);
    EXPECT_EQ(main.codec, "h264");
    EXPECT_EQ(main.width, 3840);
    EXPECT_EQ(main.height, 2160);
    EXPECT_EQ(main.timeBaseNum, 1);
    EXPECT_EQ(main.timeBaseDen, 30000);
    ASSERT_FALSE(main.keyFlags.empty());
    EXPECT_TRUE(main.keyFlags.front()) << "the file begins with a sync sample";
    for (int64_t d : main.durations) EXPECT_EQ(d, 1001);
    // About three seconds of 30 frames/s: what the file holds and what the
    // platform lost on a busy machine (the encoder may lag a few frames).
    EXPECT_GE(main.durations.size() + platformLost, 60u);
    EXPECT_LE(main.durations.size(), 100u);
    // Frame numbers increase. A frame the recorder lost makes it wait for the
    // next key frame; any other gap is a frame the platform itself lost.
    ASSERT_EQ(main.frameNumbers.size(), main.keyFlags.size());
    uint64_t unexplained = 0;
    for (size_t i = 1; i < main.frameNumbers.size(); ++i) {
        ASSERT_GE(main.frameNumbers[i], 0) << i;
        ASSERT_GT(main.frameNumbers[i], main.frameNumbers[i - 1]) << i;
        if (!main.keyFlags[i])
            unexplained +=
                static_cast<uint64_t>(main.frameNumbers[i] - main.frameNumbers[i - 1] - 1);
    }
    EXPECT_LE(unexplained, platformLost) << "frames missing inside a GOP";

    const VideoProbe copy = probe_video(board.path("/sim/card/PLRMEDIA/VIDEO/" + files[1]), false);
    ASSERT_TRUE(copy.opened);
    EXPECT_EQ(copy.width, 1280);
    EXPECT_EQ(copy.height, 720);
    EXPECT_EQ(copy.timeBaseDen, 30000) << "the live view follows the record frame rate";

    // The next recording takes the next number.
    std::this_thread::sleep_for(1100ms);  // a new time prefix
    record(1.0);
    const std::vector<std::string> more = videos(board);
    ASSERT_EQ(more.size(), 4u);
    EXPECT_NE(more[2].find("_0002_AA.MP4"), std::string::npos) << more[2];
    EXPECT_NE(more[3].find("_0002_AB.MP4"), std::string::npos) << more[3];

    // After an eject and insert numbering starts at 0001 again.
    PLR_VPS_SendEvent(VPS_EVT_SD_EJECT);
    ASSERT_TRUE(CameraNotes::wait(VPS_EVT_SD_EJECT, 1));
    PLR_VPS_SendEvent(VPS_EVT_SD_INSERT);
    ASSERT_TRUE(CameraNotes::wait(VPS_EVT_SD_INSERT, 2));
    std::this_thread::sleep_for(1100ms);
    const std::string third = record(1.0);
    EXPECT_NE(third.find("_0001_AA.MP4"), std::string::npos) << third;
}

TEST_F(RecordingTest, SplitContinuesWithoutTellingThePhone) {
    switch_to_record();
    PLR_MOV_SetSplitBytes(3u << 20);  // ends a file after about 3 MiB
    const uint64_t dropsBefore = platform_drops();
    PLR_VPS_SendEvent(VPS_EVT_REC_START);
    ASSERT_TRUE(CameraNotes::wait(VPS_EVT_REC_START, 1));
    auto secondFileThere = [&] {
        for (const std::string& name : videos(board)) {
            if (name.find("_0002_AA.MP4") != std::string::npos) return true;
        }
        return false;
    };
    ASSERT_TRUE(wait_until(secondFileThere, 90s)) << "the size limit starts the next file";
    std::this_thread::sleep_for(1s);
    EXPECT_EQ(CameraNotes::count(VPS_EVT_REC_STOP), 0u) << "a split tells no stop";
    PLR_VPS_SendEvent(VPS_EVT_REC_STOP);
    ASSERT_TRUE(wait_until(
        [] { return PLR_VPS_RecState() == MOV_ST_IDLE && g_vpsCtx.recRunning.load() == 0; }));
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(CameraNotes::count(VPS_EVT_REC_START), 1u)
        << "no start notification for the next file";
    // Twice from a file being written (closed, then idle); once when the stop
    // comes between two files of the split.
    EXPECT_GE(CameraNotes::count(VPS_EVT_REC_STOP), 1u) << "the final stop is told";
    EXPECT_LE(CameraNotes::count(VPS_EVT_REC_STOP), 2u);
    const std::vector<std::string> files = videos(board);
    EXPECT_NE(files[0].find("_0001_AA.MP4"), std::string::npos);
    EXPECT_NE(files[2].find("_0002_AA.MP4"), std::string::npos);
    const VideoProbe first = probe_video(board.path("/sim/card/PLRMEDIA/VIDEO/" + files[0]), true);
    const VideoProbe second = probe_video(board.path("/sim/card/PLRMEDIA/VIDEO/" + files[2]), true);
    ASSERT_TRUE(first.opened && second.opened);
    ASSERT_FALSE(first.frameNumbers.empty() || second.frameNumbers.empty());
    EXPECT_TRUE(second.keyFlags.front());
    // The second file goes on with the picture after the first file's last:
    // only what the platform itself lost may be missing.
    const int64_t lostAtSplit = second.frameNumbers.front() - first.frameNumbers.back() - 1;
    EXPECT_GE(lostAtSplit, 0);
    EXPECT_LE(static_cast<uint64_t>(std::max<int64_t>(lostAtSplit, 0)),
              platform_drops() - dropsBefore)
        << "pictures " << first.frameNumbers.back() << " and " << second.frameNumbers.front()
        << " meet at the split";
}

TEST_F(RecordingTest, CardFullEndsTheRecordingAndKeepsThePlayableFile) {
    switch_to_record();
    // The card counts as full 2 MiB of recording from now.
    PLR_MOV_SetSdReserveBytes((static_cast<uint64_t>(g_vpsCtx.sdFreeMB.load()) << 20) - (2u << 20));
    PLR_VPS_SendEvent(VPS_EVT_REC_START);
    ASSERT_TRUE(CameraNotes::wait(VPS_EVT_REC_START, 1));
    ASSERT_TRUE(CameraNotes::wait(VPS_EVT_REC_STOP, 1, nullptr, 60s))
        << "the full card ends the recording";
    ASSERT_TRUE(wait_until([] { return PLR_VPS_RecState() == MOV_ST_IDLE; }));
    const std::vector<std::string> files = videos(board);
    ASSERT_GE(files.size(), 1u);
    const VideoProbe kept = probe_video(board.path("/sim/card/PLRMEDIA/VIDEO/" + files[0]), false);
    ASSERT_TRUE(kept.opened);
    EXPECT_GT(kept.durations.size(), 0u);
}

TEST_F(RecordingTest, FileThatCannotBeCreatedLeavesNothing) {
    switch_to_record();
    // A file where the directory should be: nothing can be created in it.
    fs::remove_all(board.path("/sim/card/PLRMEDIA/VIDEO"));
    board.write("/sim/card/PLRMEDIA/VIDEO", "");
    PLR_VPS_SendEvent(VPS_EVT_REC_START);
    ASSERT_TRUE(CameraNotes::wait(VPS_EVT_REC_STOP, 1, nullptr, 30s));
    ASSERT_TRUE(wait_until([] { return PLR_VPS_RecState() == MOV_ST_IDLE; }));
    EXPECT_EQ(CameraNotes::count(VPS_EVT_REC_START), 0u);
    EXPECT_EQ(board.read("/sim/card/PLRMEDIA/VIDEO"), "");
}

// The sensor frame of the newest record frame offered to the recorder while
// the recording ran: a stand-in for the record stream callback notes it.
std::atomic<int64_t> g_lastFrameBeforeStop{-1};

void note_frames_before_stop(MEDIA_BUFFER mb) {
    const uint32_t frame = vcam_mb_frame_number(mb);
    PLR_VPS_RECStreamCb(mb);
    // Still running after the callback: it was running when the callback
    // looked, and the frame was queued (the flag falls only at the stop).
    if (g_vpsCtx.recRunning.load() != 0) g_lastFrameBeforeStop.store(frame);
}

// A stop is honoured whenever it comes: right after the start (before the
// file has its first key frame) and between the two files of a split (the
// first file closing, the next not yet started). Every frame queued until the
// stop is written, and the phone's view and the card agree afterwards: every
// start it was told of names a playable file, it is told that the recording
// ended (with no error) and never of a new start, no file follows, and the
// main files' frame numbers run on from one file to the next up to the last
// frame queued before the stop.
TEST_F(RecordingTest, StopRightAfterStartOrInTheSplitWindowWritesWhatWasQueued) {
    switch_to_record();
    PLR_VPS_SetRecStreamCallback(note_frames_before_stop);
    struct Case {
        const char* name;
        uint64_t splitBytes;
    };
    const Case cases[] = {{"right after the start", MOV_SPLIT_BYTES_DEFAULT},
                          {"in the split window", 1u << 20}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        PLR_MOV_SetSplitBytes(c.splitBytes);
        const std::vector<std::string> before = videos(board);
        const size_t starts = CameraNotes::count(VPS_EVT_REC_START);
        const size_t stops = CameraNotes::count(VPS_EVT_REC_STOP);
        const uint64_t dropsBefore = platform_drops();
        g_lastFrameBeforeStop.store(-1);
        PLR_VPS_SendEvent(VPS_EVT_REC_START);
        if (c.splitBytes != MOV_SPLIT_BYTES_DEFAULT) {
            // The stop is queued while the first file closes, ahead of the
            // split event its end posts.
            const MovCtx& rec = g_vpsCtx.recMov;
            const auto until = std::chrono::steady_clock::now() + 60s;
            while (!(rec.split.load() != 0 &&
                     (rec.state.load() == MOV_ST_SPLIT || rec.state.load() == MOV_ST_CLOSED))) {
                ASSERT_LT(std::chrono::steady_clock::now(), until) << "no split";
                std::this_thread::sleep_for(100us);
            }
        }
        PLR_VPS_SendEvent(VPS_EVT_REC_STOP);
        ASSERT_TRUE(CameraNotes::wait(VPS_EVT_REC_STOP, stops + 1, nullptr, 30s));
        // Both muxers have ended: the live-view copy's may still be removing a
        // file that never got its key frame.
        ASSERT_TRUE(wait_until([] {
            return PLR_VPS_RecState() == MOV_ST_IDLE && g_vpsCtx.recRunning.load() == 0 &&
                   g_vpsCtx.recMov.split.load() == 0 && g_vpsCtx.fpvMov.state.load() == MOV_ST_IDLE;
        }));
        std::this_thread::sleep_for(1500ms);
        const std::vector<std::string> files = videos(board);
        EXPECT_EQ(g_vpsCtx.recRunning.load(), 0u);
        EXPECT_EQ(PLR_VPS_RecState(), static_cast<uint32_t>(MOV_ST_IDLE)) << "no file follows";

        // The phone: at most the one start, told with a file that is there;
        // the end told without an error, once per closing state of the file.
        const std::vector<VpsEvt> startNotes = CameraNotes::of(VPS_EVT_REC_START);
        EXPECT_LE(startNotes.size(), starts + 1);
        for (size_t i = starts; i < startNotes.size(); ++i) {
            EXPECT_EQ(startNotes[i].retCode, 0);
            EXPECT_TRUE(fs::exists(
                board.path(std::string("/sim/card") + (startNotes[i].cval + strlen("/tmp/SD0")))))
                << "the phone was told of " << startNotes[i].cval;
        }
        const std::vector<VpsEvt> stopNotes = CameraNotes::of(VPS_EVT_REC_STOP);
        EXPECT_GE(stopNotes.size(), stops + 1);
        EXPECT_LE(stopNotes.size(), stops + 2);
        for (size_t i = stops; i < stopNotes.size(); ++i) EXPECT_EQ(stopNotes[i].retCode, 0);

        // The card: the main files of this recording, in the order written,
        // each playable from a key frame.
        std::vector<int64_t> frames;
        for (const std::string& name : files) {
            if (std::find(before.begin(), before.end(), name) != before.end()) continue;
            const bool main = name.ends_with("_AA.MP4");
            const VideoProbe p = probe_video(board.path("/sim/card/PLRMEDIA/VIDEO/" + name), main);
            EXPECT_TRUE(p.opened && !p.keyFlags.empty() && p.keyFlags.front()) << name;
            if (main) frames.insert(frames.end(), p.frameNumbers.begin(), p.frameNumbers.end());
        }
        const int64_t lastQueued = g_lastFrameBeforeStop.load();
        if (c.splitBytes != MOV_SPLIT_BYTES_DEFAULT) {
            ASSERT_GE(lastQueued, 0) << "frames were queued";
            ASSERT_FALSE(frames.empty());
        }
        if (frames.empty()) {
            EXPECT_EQ(startNotes.size(), starts) << "no file, and the phone was told of none";
            continue;
        }
        EXPECT_EQ(startNotes.size(), starts + 1) << "the phone was told of the file";
        // Consecutive but for the frames the platform itself lost.
        uint64_t missing = 0;
        for (size_t i = 1; i < frames.size(); ++i) {
            ASSERT_GT(frames[i], frames[i - 1]) << i;
            missing += static_cast<uint64_t>(frames[i] - frames[i - 1] - 1);
        }
        EXPECT_LE(missing, platform_drops() - dropsBefore) << "pictures lost between the files";
        EXPECT_GE(frames.back(), lastQueued) << "the last frame queued before the stop is written";
    }
}

}  // namespace
