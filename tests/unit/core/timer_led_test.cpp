#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "../../support/board_root_fixture.h"
#include "core/led.h"
#include "core/timer.h"

namespace {

using namespace std::chrono_literals;

void count_expiry(void* arg) {
    static_cast<std::atomic<int>*>(arg)->fetch_add(1);
}

// Polls until `done` holds or the bound passes.
template <typename Pred>
bool eventually(Pred done, std::chrono::milliseconds bound = 5000ms) {
    const auto until = std::chrono::steady_clock::now() + bound;
    while (!done()) {
        if (std::chrono::steady_clock::now() > until) return false;
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

TEST(TimerTest, ArmFireDisarmDelete) {
    std::atomic<int> expiries{0};
    PlrTimer* timer = nullptr;
    PLR_Timer_Create(&timer, count_expiry, &expiries);
    ASSERT_NE(timer, nullptr);
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(expiries.load(), 0) << "a new timer is disarmed";

    PLR_Timer_SetIntval(timer, 20);
    EXPECT_TRUE(eventually([&] { return expiries.load() >= 3; })) << "periodic expiries";

    PLR_Timer_SetIntval(timer, -1);  // ignored: still running
    const int before = expiries.load();
    EXPECT_TRUE(eventually([&] { return expiries.load() > before; }));

    PLR_Timer_SetIntval(timer, 0);
    std::this_thread::sleep_for(30ms);  // let an expiry already started finish
    const int disarmed = expiries.load();
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(expiries.load(), disarmed) << "disarmed timers stay quiet";

    PLR_Timer_Deinit(&timer);
    EXPECT_EQ(timer, nullptr);
}

TEST(TimerTest, NullHandlerOrTimerCreatesNothing) {
    PlrTimer* timer = nullptr;
    PLR_Timer_Create(&timer, nullptr, nullptr);
    EXPECT_EQ(timer, nullptr);
    PLR_Timer_Create(nullptr, count_expiry, nullptr);
    PLR_Timer_Deinit(&timer);
    PLR_Timer_Deinit(nullptr);
    PLR_Timer_SetIntval(nullptr, 100);
}

struct SlowHandlerCounts {
    std::atomic<int> started{0};
    std::atomic<int> finished{0};
};

void slow_handler(void* arg) {
    auto* counts = static_cast<SlowHandlerCounts*>(arg);
    counts->started.fetch_add(1);
    std::this_thread::sleep_for(100ms);
    counts->finished.fetch_add(1);
}

TEST(TimerTest, DeinitWaitsForRunningHandlers) {
    SlowHandlerCounts counts;
    PlrTimer* timer = nullptr;
    PLR_Timer_Create(&timer, slow_handler, &counts);
    PLR_Timer_SetIntval(timer, 10);
    // Wait for a handler to be mid-sleep, however slowly the machine runs.
    for (int i = 0; i < 500 && counts.started.load() == 0; ++i) std::this_thread::sleep_for(10ms);
    ASSERT_GE(counts.started.load(), 1);
    PLR_Timer_Deinit(&timer);
    const int atDeinit = counts.finished.load();
    EXPECT_EQ(atDeinit, counts.started.load()) << "every running handler finished before deletion";
    std::this_thread::sleep_for(150ms);
    EXPECT_EQ(counts.finished.load(), atDeinit) << "no handler ran on after deletion";
}

class LedTest : public ::testing::Test {
protected:
    void SetUp() override { board.write(PLR_LED_VALUE_FILE, "0\n"); }
    void TearDown() override { PLR_SYS_LED_Flush(PLR_LED_ON); }
    std::string led() const { return board.read(PLR_LED_VALUE_FILE); }

    TempBoardRoot board{"/sim"};
};

TEST_F(LedTest, InitChecksTheValueFile) {
    EXPECT_EQ(PLR_SYS_LED_Init(), 0);
    std::filesystem::remove(board.path(PLR_LED_VALUE_FILE));
    EXPECT_EQ(PLR_SYS_LED_Init(), -1);
    EXPECT_EQ(PLR_SYS_LED_Control(1), -1);
}

TEST_F(LedTest, LoopShowsEachMode) {
    bool phase = false;
    struct Pass {
        uint32_t mode;
        const char* led;
        uint32_t sleepMs;
        bool tick;
    };
    const Pass passes[] = {
        {PLR_LED_ON, "1\n", 1000, true},         {PLR_LED_SLOW_BLINK, "0\n", 1000, true},
        {PLR_LED_SLOW_BLINK, "1\n", 1000, true}, {PLR_LED_SLOW_BLINK, "0\n", 1000, true},
        {PLR_LED_FAST_BLINK, "1\n", 40, false},  {PLR_LED_FAST_BLINK, "0\n", 40, false},
        {PLR_LED_ON, "1\n", 1000, true},         {7, "1\n", 1000, true},
    };
    for (const Pass& pass : passes) {
        PLR_SYS_LED_Flush(pass.mode);
        EXPECT_EQ(PLR_SYS_LED_GET_Flush(), pass.mode);
        const PlrLedStep step = PLR_SYS_LED_Step(&phase);
        EXPECT_EQ(led(), pass.led) << "mode " << pass.mode;
        EXPECT_EQ(step.sleepMs, pass.sleepMs);
        EXPECT_EQ(step.secondTick, pass.tick);
    }
    const std::string events = board.read("/sim/events.log");
    EXPECT_NE(events.find(" led mode=2\n"), std::string::npos);
}

}  // namespace
