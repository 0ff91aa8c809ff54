// Factory test-mode recording on the whole camera core with a simulated card:
// the markers, the one clip it leaves, and its bounded waits.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "../../support/board_root_fixture.h"
#include "../../support/camera_notes.h"
#include "core/trace_log.h"
#include "video_probe.h"
#include "vps/vps_ctx.h"
#include "vps/vps_event.h"
#include "vps/vps_pipeline.h"
#include "vps/vps_testmode.h"

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

class TestModeTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_NO_FATAL_FAILURE(camera_core_start_with_card(board)); }
    void TearDown() override {
        PLR_VPS_Deinit();
        PLR_VPS_EvtReset();
        PLR_TM_SetBounds(PlrTmBounds{});
        plr_trace_log_reset();
    }
    void marker(const char* name) const { board.write(std::string(kMedia) + name, "\n"); }
    std::vector<std::string> videos() const {
        std::vector<std::string> names;
        std::error_code ec;
        // Regular files only: the recorder keeps its journals in a subdirectory.
        for (const auto& e : fs::directory_iterator(board.path(std::string(kMedia) + "VIDEO"), ec))
            if (e.is_regular_file()) names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }
    static double seconds_since(Clock::time_point start) {
        return std::chrono::duration<double>(Clock::now() - start).count();
    }

    static constexpr const char* kMedia = "/sim/card/PLRMEDIA/";
    TempBoardRoot board{"/etc/iqfiles", "/tmp/SD0", "/sim/card", "/dev", "/usr/data"};
};

TEST_F(TestModeTest, MarkersSwitchItOn) {
    auto start = Clock::now();
    EXPECT_EQ(PLR_TM_Init(), -1) << "no marker: test mode off";
    marker("autorec.conf");
    EXPECT_EQ(PLR_TM_Init(), -1) << "autorec.conf counts only in test mode";
    fs::remove(board.path(std::string(kMedia) + "autorec.conf"));
    marker("testmode.conf");
    EXPECT_EQ(PLR_TM_Init(), 0);
    EXPECT_LT(seconds_since(start), 2.0) << "without autorec.conf start-up goes on at once";
    EXPECT_TRUE(videos().empty());
    EXPECT_EQ(g_vpsCtx.vpsMode.load(), static_cast<uint32_t>(VPS_MODE_PHOTO));
}

TEST_F(TestModeTest, BothMarkersLeaveOneClipAndItsLiveCopy) {
    marker("testmode.conf");
    marker("autorec.conf");
    board.write(std::string(kMedia) + "VIDEO/20200101_000000_0001_AA.MP4", "old");
    board.write(std::string(kMedia) + "VIDEO/test.mp4", "old test clip");
    EXPECT_EQ(PLR_TM_Init(), 0);
    const std::vector<std::string> files = videos();
    ASSERT_EQ(files.size(), 2u);
    EXPECT_TRUE(files[0].ends_with("_AB.MP4")) << files[0];
    EXPECT_EQ(files[1], "test.mp4");
    const VideoProbe clip = probe_video(board.path(std::string(kMedia) + "VIDEO/test.mp4"), false);
    ASSERT_TRUE(clip.opened);
    int64_t ticks = 0;
    for (int64_t d : clip.durations) ticks += d;
    ASSERT_GT(clip.timeBaseDen, 0);
    EXPECT_GT(static_cast<double>(ticks) * clip.timeBaseNum / clip.timeBaseDen, 4.0);
    EXPECT_EQ(PLR_VPS_RecState(), static_cast<uint32_t>(MOV_ST_IDLE));
}

TEST_F(TestModeTest, GivesUpInBoundedTimeWhenTheCameraCannotRecord) {
    marker("testmode.conf");
    marker("autorec.conf");
    // A SoC too hot to record: the start is refused, the recorder never runs.
    board.write("/sys/class/thermal/thermal_zone0/temp", "110000\n");
    g_vpsCtx.socTemp.store(1100);
    PLR_TM_SetBounds(PlrTmBounds{10s, 15s, 10s});
    const auto start = Clock::now();
    EXPECT_EQ(PLR_TM_Init(), 0);
    EXPECT_LT(seconds_since(start), 30.0);
    EXPECT_TRUE(videos().empty());
}

}  // namespace
