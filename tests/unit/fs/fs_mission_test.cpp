// The mission scheduler: arrival order, the limit of three, interruptible
// missions giving way, and the live stream discarding queued missions.
#include "fs/fs_mission.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "../../support/board_root_fixture.h"
#include "state/fs_stream.h"

namespace {

std::mutex g_log_lock;
std::vector<int> g_ran;       // the offsets of the missions that ran, in order
std::atomic<bool> g_release;  // lets a blocking mission end
std::atomic<int> g_running{0};
std::atomic<bool> g_interrupted{false};

void record(const FsMissionData* data) {
    std::lock_guard<std::mutex> lock(g_log_lock);
    g_ran.push_back(static_cast<int>(data->offset));
}

void blocking_mission(const FsMissionData* data, FsContext*) {
    record(data);
    g_running = static_cast<int>(data->offset);
    while (!g_release.load()) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    g_running = 0;
}

void quick_mission(const FsMissionData* data, FsContext*) {
    record(data);
}

void interruptible_mission(const FsMissionData* data, FsContext* ctx) {
    record(data);
    g_running = static_cast<int>(data->offset);
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < end) {
        if (fs_mission_should_stop(ctx, true)) {
            g_interrupted = true;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    g_running = 0;
}

bool eventually(const std::function<bool()>& cond) {
    for (int i = 0; i < 2000; ++i) {
        if (cond()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
}

class Missions : public ::testing::Test {
protected:
    void SetUp() override {
        g_ran.clear();
        g_release = false;
        g_running = 0;
        g_interrupted = false;
        fs_set_stream_on(0);
        thread_ = std::thread([this] { fs_mission_handle(&ctx_); });
    }
    void TearDown() override {
        g_release = true;
        ctx_.stop = true;
        fs_mission_wake(&ctx_);
        thread_.join();
        fs_stream_reset();
    }
    int add(FsMissionHandler handler, int tag, uint32_t interruptible = 0) {
        FsMissionData data{};
        data.offset = static_cast<uint32_t>(tag);
        return fs_new_mission(&data, handler, interruptible, &ctx_);
    }
    std::vector<int> ran() {
        std::lock_guard<std::mutex> lock(g_log_lock);
        return g_ran;
    }
    TempBoardRoot root_;
    FsContext ctx_;
    std::thread thread_;
};

TEST_F(Missions, ThreeQueuedMissionsDropAFourth) {
    ASSERT_EQ(add(blocking_mission, 1), 0);
    ASSERT_TRUE(eventually([] { return g_running == 1; }));
    EXPECT_EQ(add(quick_mission, 2), 0);
    EXPECT_EQ(add(quick_mission, 3), 0);
    EXPECT_EQ(fs_mission_count(&ctx_), 3) << "the running mission counts";
    EXPECT_EQ(add(quick_mission, 4), -1) << "the fourth is dropped";
    g_release = true;
    ASSERT_TRUE(eventually([&] { return fs_mission_count(&ctx_) == 0; }));
    EXPECT_EQ(ran(), (std::vector<int>{1, 2, 3})) << "arrival order";
}

TEST_F(Missions, InterruptibleMissionGivesWayToANewOne) {
    ASSERT_EQ(add(interruptible_mission, 1, 1), 0);
    ASSERT_TRUE(eventually([] { return g_running == 1; }));
    EXPECT_FALSE(g_interrupted.load());
    ASSERT_EQ(add(quick_mission, 2), 0);
    ASSERT_TRUE(eventually([&] { return ran().size() == 2; }));
    EXPECT_TRUE(g_interrupted.load());
    EXPECT_EQ(ran(), (std::vector<int>{1, 2}));
}

TEST_F(Missions, NonInterruptibleMissionRunsToItsEndUnlessCanceled) {
    ASSERT_EQ(add(blocking_mission, 1), 0);
    ASSERT_TRUE(eventually([] { return g_running == 1; }));
    EXPECT_FALSE(fs_mission_should_stop(&ctx_, false));
    add(quick_mission, 2);
    EXPECT_FALSE(fs_mission_should_stop(&ctx_, false)) << "a new mission does not stop it";
    EXPECT_TRUE(fs_mission_should_stop(&ctx_, true));
    ctx_.cancel = 1;
    EXPECT_TRUE(fs_mission_should_stop(&ctx_, false)) << "a cancel does";
    g_release = true;
}

TEST_F(Missions, LiveStreamOnDiscardsQueuedMissions) {
    ASSERT_EQ(add(blocking_mission, 1), 0);
    ASSERT_TRUE(eventually([] { return g_running == 1; }));
    add(quick_mission, 2);
    add(quick_mission, 3);
    fs_set_stream_on(1);
    EXPECT_TRUE(fs_mission_should_stop(&ctx_, false)) << "the running mission is told to stop";
    g_release = true;
    ASSERT_TRUE(eventually([&] { return fs_mission_count(&ctx_) == 0; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(ran(), (std::vector<int>{1})) << "the queued missions were discarded";
    fs_set_stream_on(0);
    ASSERT_EQ(add(quick_mission, 4), 0);
    ASSERT_TRUE(eventually([&] { return ran().size() == 2; }));
}

TEST_F(Missions, IdsAreUniqueAndNonZero) {
    uint32_t last = 0;
    for (int i = 0; i < 1000; ++i) {
        const uint32_t id = fs_gen_mission_id();
        EXPECT_NE(id, 0u);
        EXPECT_NE(id, last);
        last = id;
    }
    EXPECT_EQ(fs_new_mission(nullptr, quick_mission, 0, &ctx_), -1);
    EXPECT_EQ(fs_mission_del(0, &ctx_), -1);
}

}  // namespace
