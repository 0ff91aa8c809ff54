#include "core/signals.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <thread>

namespace {

using namespace std::chrono_literals;

std::atomic<int> g_cardSignals{0};
void on_card_signal(int signo) {
    g_cardSignals.fetch_add(signo == SIGUSR1 ? 1 : 100);
}

bool wait_until(const std::atomic<int>& value, int want) {
    for (int i = 0; i < 500 && value.load() != want; ++i) std::this_thread::sleep_for(2ms);
    return value.load() == want;
}

// One process-wide handler: these steps run in order in one test.
TEST(SignalsTest, CardSignalsThenOneStop) {
    ASSERT_EQ(PLR_MAIN_SigCbInit(), 0);

    // Before the camera core registers its handler, card signals are dropped.
    raise(SIGUSR1);
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(g_cardSignals.load(), 0);

    PLR_MAIN_SetCardSignalHandler(on_card_signal);
    raise(SIGUSR1);
    EXPECT_TRUE(wait_until(g_cardSignals, 1));
    raise(SIGUSR2);
    EXPECT_TRUE(wait_until(g_cardSignals, 101));

    EXPECT_FALSE(PLR_MAIN_WaitStop(10));
    raise(SIGTERM);
    EXPECT_TRUE(PLR_MAIN_WaitStop(5000)) << "SIGTERM requests the stop";
    struct sigaction now {};
    sigaction(SIGINT, nullptr, &now);
    EXPECT_EQ(now.sa_handler, SIG_IGN) << "a second stop signal is ignored";
    raise(SIGINT);  // must not end the test process

    PLR_MAIN_SigCbDeinit();
    struct sigaction dflt {};
    dflt.sa_handler = SIG_DFL;
    sigaction(SIGINT, &dflt, nullptr);
    sigaction(SIGTERM, &dflt, nullptr);
}

}  // namespace
