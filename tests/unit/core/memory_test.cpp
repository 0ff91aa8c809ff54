#include "core/memory.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace {

constexpr int64_t kDelay = PLR_MEM_TRIM_DELAY_MS;

// One step: a request made at `request` (none when negative), then a poll at
// `poll` and whether it trims.
struct Step {
    int64_t request;
    int64_t poll;
    bool trims;
    const char* what;
};

// The request is process-wide: the steps run in order, from t = 1000.
TEST(MemoryTrimTest, RunsOnceWhenDueAndALaterRequestMovesItOn) {
    const std::vector<Step> steps = {
        {-1, 1000, false, "no request"},
        {1000, 1000, false, "just asked"},
        {-1, 1000 + kDelay - 1, false, "not due yet"},
        {-1, 1000 + kDelay, true, "due"},
        {-1, 1000 + 10 * kDelay, false, "done once"},
        {20000, 20000 + kDelay / 2, false, "asked again"},
        {20000 + kDelay / 2, 20000 + kDelay, false, "a later request moves the trim on"},
        {-1, 20000 + kDelay + kDelay / 2, true, "due after the later request"},
        {-1, 90000, false, "nothing left"},
    };
    for (const Step& step : steps) {
        if (step.request >= 0) PLR_MAIN_MemoryTrimRequestAt(step.request);
        EXPECT_EQ(PLR_MAIN_MemoryTrimPoll(step.poll), step.trims) << step.what;
    }
}

// The steady clock the board's own requests use: a request now is due one
// delay later.
TEST(MemoryTrimTest, RequestUsesTheSteadyClock) {
    const int64_t before = PLR_MAIN_MemoryNowMs();
    PLR_MAIN_MemoryTrimRequest();
    const int64_t after = PLR_MAIN_MemoryNowMs();
    EXPECT_FALSE(PLR_MAIN_MemoryTrimPoll(before + kDelay - 1));
    EXPECT_TRUE(PLR_MAIN_MemoryTrimPoll(after + kDelay));
}

}  // namespace
