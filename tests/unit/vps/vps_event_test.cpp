#include "vps/vps_event.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "../../support/board_root_fixture.h"
#include "core/trace_log.h"

namespace {

using namespace std::chrono_literals;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

// Polls `done` for up to 10 s.
template <typename Pred>
bool wait_for(Pred done) {
    const auto until = std::chrono::steady_clock::now() + 10s;
    while (!done()) {
        if (std::chrono::steady_clock::now() > until) return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

// What the test handlers saw, in order.
struct Seen {
    std::mutex mutex;
    std::vector<VpsEvt> events;
    std::atomic<int> count{0};
    std::atomic<bool> blocking{false};  // the blocking handler has started
    std::atomic<bool> release{false};   // lets it return
};
Seen* g_seen = nullptr;

int record_event(const VpsEvt* evt) {
    {
        std::lock_guard lock(g_seen->mutex);
        g_seen->events.push_back(*evt);
    }
    g_seen->count.fetch_add(1);
    return 0;
}

int blocking_event(const VpsEvt* evt) {
    g_seen->blocking.store(true);
    while (!g_seen->release.load()) std::this_thread::sleep_for(1ms);
    return record_event(evt);
}

std::vector<VpsEvt> g_notified;
int g_callbackResult = 0;
int notified(const VpsEvt* evt) {
    g_notified.push_back(*evt);
    return g_callbackResult;
}
int other_callback(const VpsEvt* /*evt*/) {
    return 99;
}

class VpsEventTest : public ::testing::Test {
protected:
    void SetUp() override {
        PLR_VPS_EvtReset();
        plr_trace_log_reset();
        TRACE_LOG_LEVEL(PLR_LOG_D);
        TRACE_LOG_ENABLE();
        g_seen = &seen;
        g_notified.clear();
        g_callbackResult = 0;
    }
    void TearDown() override {
        seen.release.store(true);
        PLR_VPS_EvtReset();
        plr_trace_log_reset();
        g_seen = nullptr;
    }

    // Starts the thread and parks it in a handler, so that posted events wait.
    void start_blocked() {
        ASSERT_EQ(PLR_VPS_SetEvtHandler(VPS_EVT_SNAP_START, blocking_event), 0);
        ASSERT_EQ(PLR_VPS_EvtThreadsInit(), 0);
        ASSERT_EQ(PLR_VPS_SendEvent(VPS_EVT_SNAP_START), 0);
        ASSERT_TRUE(wait_for([&] { return seen.blocking.load(); }));
    }

    Seen seen;
    TempBoardRoot board{"/sim", "/usr/data", "/tmp"};
};

TEST_F(VpsEventTest, QueueHoldsElevenEventsButAlwaysTakesSdHotPlug) {
    start_blocked();
    for (int i = 0; i < VPS_EVT_QUEUE_MAX; ++i)
        ASSERT_EQ(PLR_VPS_SendEvent1(VPS_EVT_REC_START, i), 0) << i;

    CaptureStdout();
    EXPECT_EQ(PLR_VPS_SendEvent1(VPS_EVT_REC_START, 11), -1);
    EXPECT_EQ(PLR_VPS_SendEvent(VPS_EVT_SD_EJECT), 0);
    EXPECT_EQ(PLR_VPS_SendEvent(VPS_EVT_SD_INSERT), 0);
    EXPECT_EQ(PLR_VPS_SendEvent(VPS_EVT_SD_QUERY), -1);  // the other SD event is bounded
    const std::string log = GetCapturedStdout();
    EXPECT_NE(log.find("[E] PLR_VPS_EvtQueuePush("), std::string::npos) << log;
    EXPECT_NE(log.find("):event queue(11) full!!"), std::string::npos) << log;
    EXPECT_NE(log.find("):event queue(13) full!!"), std::string::npos) << log;
    EXPECT_NE(log.find("):VPS Add event 8 failed!!"), std::string::npos) << log;
    EXPECT_NE(log.find("):VPS Add event 4 failed!!"), std::string::npos) << log;

    for (uint32_t sd : {VPS_EVT_SD_INSERT, VPS_EVT_SD_EJECT, VPS_EVT_SD_QUERY}) {
        ASSERT_EQ(PLR_VPS_SetEvtHandler(sd, record_event), 0);
    }
    ASSERT_EQ(PLR_VPS_SetEvtHandler(VPS_EVT_REC_START, record_event), 0);
    seen.release.store(true);
    ASSERT_TRUE(wait_for([&] { return seen.count.load() == 1 + VPS_EVT_QUEUE_MAX + 2; }));

    // One at a time, in posting order.
    std::lock_guard lock(seen.mutex);
    EXPECT_EQ(seen.events[0].eventno, VPS_EVT_SNAP_START);
    for (int i = 0; i < VPS_EVT_QUEUE_MAX; ++i) {
        EXPECT_EQ(seen.events[1 + i].eventno, VPS_EVT_REC_START);
        EXPECT_EQ(seen.events[1 + i].ival1, i);
        EXPECT_EQ(seen.events[1 + i].ival2, -1);
    }
    EXPECT_EQ(seen.events[12].eventno, VPS_EVT_SD_EJECT);
    EXPECT_EQ(seen.events[13].eventno, VPS_EVT_SD_INSERT);
}

TEST_F(VpsEventTest, QueueOperations) {
    VpsEvtQueue queue;
    VpsEvt evt{};
    EXPECT_EQ(PLR_VPS_EvtQueuePush(&queue, &evt), -1);  // not initialised
    ASSERT_EQ(PLR_VPS_EvtQueueInit(&queue), 0);
    EXPECT_EQ(PLR_VPS_EvtQueuePush(nullptr, &evt), -1);
    EXPECT_EQ(PLR_VPS_EvtQueuePush(&queue, nullptr), -1);
    EXPECT_EQ(PLR_VPS_EvtQueuePop(&queue), nullptr);
    for (uint32_t i = 0; i < 3; ++i) {
        evt.eventno = i;
        ASSERT_EQ(PLR_VPS_EvtQueuePush(&queue, &evt), 0);
    }
    evt.eventno = 99;  // the queue holds copies
    VpsEvtElem* first = PLR_VPS_EvtQueuePop(&queue);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->evt.eventno, 0u);
    EXPECT_EQ(first->next, nullptr);
    EXPECT_EQ(PLR_VPS_EvtFree(first), 0);
    EXPECT_EQ(PLR_VPS_EvtFree(nullptr), -1);
    EXPECT_EQ(queue.count.load(), 2);

    EXPECT_EQ(PLR_VPS_EvtQueueDestroy(&queue), 0);
    EXPECT_EQ(PLR_VPS_EvtQueuePush(&queue, &evt), -1);  // closed
    EXPECT_EQ(PLR_VPS_EvtQueueClear(&queue), 0);        // frees what was left
    EXPECT_EQ(queue.count.load(), 0);
    EXPECT_EQ(queue.head, nullptr);
    EXPECT_EQ(queue.tail, nullptr);
    EXPECT_EQ(PLR_VPS_EvtQueueDestroy(nullptr), 0);

    // A stop request ends the consumer's wait.
    ASSERT_EQ(PLR_VPS_EvtQueueInit(&queue), 0);
    std::atomic<uint32_t> exitFlag{0};
    std::thread consumer([&] { EXPECT_EQ(PLR_VPS_EvtQueueWaitPop(&queue, exitFlag), nullptr); });
    exitFlag.store(1);
    PLR_VPS_EvtSchedule(&queue);
    consumer.join();
    PLR_VPS_EvtQueueDestroy(&queue);
}

TEST_F(VpsEventTest, TextIsCutTo255Characters) {
    const std::string text300(300, 'g');
    ASSERT_EQ(PLR_VPS_SetEvtHandler(VPS_EVT_REC_START, record_event), 0);
    ASSERT_EQ(PLR_VPS_EvtThreadsInit(), 0);
    ASSERT_EQ(PLR_VPS_SendEvent3(VPS_EVT_REC_START, 7, 8, text300.c_str()), 0);
    ASSERT_EQ(PLR_VPS_SendEvent3(VPS_EVT_REC_START, 1, 2, "/tmp/SD0/a.mp4"), 0);
    ASSERT_TRUE(wait_for([&] { return seen.count.load() == 2; }));

    ASSERT_EQ(PLR_VPS_RegEvtCallback(notified), 0);
    PLR_VPS_EvtNotify(VPS_EVT_REC_START, 0, -1, -1, text300.c_str());
    ASSERT_EQ(g_notified.size(), 1u);

    std::lock_guard lock(seen.mutex);
    for (const VpsEvt* evt : {&seen.events[0], &g_notified[0]}) {
        EXPECT_EQ(std::string(evt->cval), text300.substr(0, 255));
    }
    EXPECT_EQ(seen.events[0].retCode, 0);
    EXPECT_EQ(seen.events[0].ival1, 7);
    EXPECT_EQ(seen.events[0].ival2, 8);
    EXPECT_STREQ(seen.events[1].cval, "/tmp/SD0/a.mp4");
    // The rest of the text field is zero-filled.
    for (size_t i = strlen(seen.events[1].cval); i < VPS_EVT_TEXT_SIZE; ++i)
        ASSERT_EQ(seen.events[1].cval[i], 0);
}

TEST_F(VpsEventTest, DispatcherTable) {
    ASSERT_EQ(PLR_VPS_RegEvtCallback(notified), 0);
    struct Case {
        uint32_t eventno;
        const char* log;  // expected text, "" for none
    };
    const Case cases[] = {
        {VPS_EVT_FPV_BITRATE, ""},
        {VPS_EVT_GPS_SYNC, ""},
        {VPS_EVT_STATUS, "unkown VPS event 18"},
        {17, "unkown VPS event 17"},
        {VPS_EVT_TLAPSE_PROGRESS, "unkown VPS event 25"},
        {VPS_EVT_SNAP_TLAPSE, "unkown VPS event 26"},
        {40, "unkown VPS event 40"},
        {0xFFFFFFFFu, "unkown VPS event -1"},
        {VPS_EVT_REC_START, "VPS_EVT_REC_START not yet handled"},
        {VPS_EVT_DN_MODE_SET, "VPS_EVT_DN_MODE_SET not yet handled"},
        {VPS_EVT_RES_QUERY, "VPS_EVT_RES_QUERY not yet handled"},
    };
    for (const Case& c : cases) {
        VpsEvt evt{};
        evt.eventno = c.eventno;
        CaptureStdout();
        EXPECT_EQ(PLR_VPS_EvtHandle(&evt), 0);
        const std::string log = GetCapturedStdout();
        if (c.log[0] == '\0') {
            EXPECT_EQ(log, "") << c.eventno;
        } else {
            EXPECT_NE(log.find(std::string("[D] PLR_VPS_EvtHandle(line=")), std::string::npos)
                << log;
            EXPECT_NE(log.find(std::string("):") + c.log + "\n"), std::string::npos) << log;
        }
    }
    EXPECT_TRUE(g_notified.empty());
    EXPECT_EQ(PLR_VPS_EvtHandle(nullptr), -1);

    // Only dispatched events take a handler; null gives the slot back.
    for (uint32_t no : {17u, 18u, 21u, 22u, 25u, 26u, 33u, 0xFFFFFFFFu}) {
        EXPECT_EQ(PLR_VPS_SetEvtHandler(no, record_event), -1) << no;
    }
    ASSERT_EQ(PLR_VPS_SetEvtHandler(VPS_EVT_ZOOM_SET, record_event), 0);
    VpsEvt zoom{VPS_EVT_ZOOM_SET, 0, 150, -1, {}};
    PLR_VPS_EvtHandle(&zoom);
    ASSERT_EQ(seen.count.load(), 1);
    EXPECT_EQ(seen.events[0].ival1, 150);
    ASSERT_EQ(PLR_VPS_SetEvtHandler(VPS_EVT_ZOOM_SET, nullptr), 0);
    CaptureStdout();
    PLR_VPS_EvtHandle(&zoom);
    EXPECT_NE(GetCapturedStdout().find("VPS_EVT_ZOOM_SET not yet handled"), std::string::npos);
    EXPECT_EQ(seen.count.load(), 1);
}

TEST_F(VpsEventTest, OneNotificationCallback) {
    EXPECT_EQ(PLR_VPS_EvtNotify(VPS_EVT_SD_QUERY, 0, 1, 2, nullptr), -1);  // none registered
    EXPECT_EQ(PLR_VPS_RegEvtCallback(nullptr), -1);
    ASSERT_EQ(PLR_VPS_RegEvtCallback(notified), 0);
    CaptureStdout();
    EXPECT_EQ(PLR_VPS_RegEvtCallback(other_callback), -1);
    const std::string log = GetCapturedStdout();
    EXPECT_NE(log.find("[D] PLR_VPS_RegEvtCallback("), std::string::npos) << log;
    EXPECT_NE(log.find("):Event call back exist already!!"), std::string::npos) << log;

    g_callbackResult = 7;
    EXPECT_EQ(PLR_VPS_EvtNotify(VPS_EVT_STATUS, VPS_STA_TEMPERATURE, 0, 456, nullptr), 7);
    ASSERT_EQ(g_notified.size(), 1u);
    EXPECT_EQ(g_notified[0].eventno, VPS_EVT_STATUS);
    EXPECT_EQ(g_notified[0].retCode, VPS_STA_TEMPERATURE);
    EXPECT_EQ(g_notified[0].ival1, 0);
    EXPECT_EQ(g_notified[0].ival2, 456);
    EXPECT_STREQ(g_notified[0].cval, "");
}

// Observers see every notification after the callback, with or without one;
// they are added once, at most four, and not called after their removal.
TEST_F(VpsEventTest, ObserversSeeEveryNotification) {
    static std::vector<uint32_t> observed;
    observed.clear();
    const VpsEvtCallback observer = [](const VpsEvt* evt) {
        observed.push_back(evt->eventno);
        return 0;
    };
    EXPECT_EQ(PLR_VPS_AddEvtObserver(nullptr), -1);
    ASSERT_EQ(PLR_VPS_AddEvtObserver(observer), 0);
    EXPECT_EQ(PLR_VPS_AddEvtObserver(observer), -1) << "added once";
    EXPECT_EQ(PLR_VPS_EvtNotify(VPS_EVT_SD_QUERY, 0, 1, 2, nullptr), -1) << "no callback";
    ASSERT_EQ(PLR_VPS_RegEvtCallback(notified), 0);
    EXPECT_EQ(PLR_VPS_EvtNotify(VPS_EVT_REC_START, 0, -1, -1, nullptr), 0);
    EXPECT_EQ(observed, (std::vector<uint32_t>{VPS_EVT_SD_QUERY, VPS_EVT_REC_START}));
    EXPECT_EQ(g_notified.size(), 1u);

    const VpsEvtCallback others[] = {
        [](const VpsEvt*) { return 0; }, [](const VpsEvt*) { return 1; },
        [](const VpsEvt*) { return 2; }, [](const VpsEvt*) { return 3; }};
    for (int i = 0; i < 3; ++i) EXPECT_EQ(PLR_VPS_AddEvtObserver(others[i]), 0);
    EXPECT_EQ(PLR_VPS_AddEvtObserver(others[3]), -1) << "four at most";
    EXPECT_EQ(PLR_VPS_RemoveEvtObserver(observer), 0);
    EXPECT_EQ(PLR_VPS_RemoveEvtObserver(observer), -1);
    PLR_VPS_EvtNotify(VPS_EVT_REC_STOP, 0, -1, -1, nullptr);
    EXPECT_EQ(observed.size(), 2u);
    for (int i = 0; i < 3; ++i) PLR_VPS_RemoveEvtObserver(others[i]);
}

TEST_F(VpsEventTest, StopDiscardsQueuedEventsAndStartsAgain) {
    EXPECT_EQ(PLR_VPS_SendEvent(VPS_EVT_REC_START), -1);  // before the thread runs
    ASSERT_EQ(PLR_VPS_SetEvtHandler(VPS_EVT_REC_START, record_event), 0);
    start_blocked();
    for (int i = 0; i < 5; ++i) ASSERT_EQ(PLR_VPS_SendEvent(VPS_EVT_REC_START), 0);

    CaptureStdout();
    std::thread stopper([] { EXPECT_EQ(PLR_VPS_EvtThreadsDeinit(), 0); });
    ASSERT_TRUE(wait_for([] { return PLR_VPS_EvtExitRequested(); }));
    seen.release.store(true);  // the handler in progress finishes
    stopper.join();
    EXPECT_EQ(PLR_VPS_SendEvent(VPS_EVT_REC_START), -1);
    const std::string log = GetCapturedStdout();
    EXPECT_NE(log.find("VPS event handle thread exited!!"), std::string::npos) << log;
    EXPECT_FALSE(PLR_VPS_EvtThreadRunning());

    {
        std::lock_guard lock(seen.mutex);
        ASSERT_EQ(seen.events.size(), 1u);  // only the blocking one
        EXPECT_EQ(seen.events[0].eventno, VPS_EVT_SNAP_START);
        seen.events.clear();
    }
    seen.count.store(0);

    // A second start in the same process serves events again.
    ASSERT_EQ(PLR_VPS_EvtThreadsInit(), 0);
    EXPECT_TRUE(PLR_VPS_EvtThreadRunning());
    ASSERT_EQ(PLR_VPS_SendEvent(VPS_EVT_REC_START), 0);
    EXPECT_TRUE(wait_for([&] { return seen.count.load() == 1; }));
    EXPECT_EQ(PLR_VPS_EvtThreadsDeinit(), 0);
    EXPECT_EQ(PLR_VPS_EvtThreadsDeinit(), 0);  // stopping twice is harmless
}

// Post, wait for the handler, repeat: every post lands at a different point of
// the consumer's look-then-sleep, so a lost wake-up would stall one step.
TEST_F(VpsEventTest, NoWakeUpIsLost) {
    ASSERT_EQ(PLR_VPS_SetEvtHandler(VPS_EVT_SD_QUERY, record_event), 0);
    ASSERT_EQ(PLR_VPS_EvtThreadsInit(), 0);
    for (int i = 1; i <= 3000; ++i) {
        ASSERT_EQ(PLR_VPS_SendEvent(VPS_EVT_SD_QUERY), 0);
        const auto until = std::chrono::steady_clock::now() + 10s;
        while (seen.count.load() < i) {
            ASSERT_LT(std::chrono::steady_clock::now(), until) << "event " << i << " never handled";
            if (i % 2 == 0) std::this_thread::yield();
        }
    }
    // Several producers at once; refused posts (queue full) are retried.
    constexpr int kPerThread = 500;
    std::vector<std::thread> producers;
    for (int t = 0; t < 3; ++t) {
        producers.emplace_back([] {
            for (int i = 0; i < kPerThread;) {
                if (PLR_VPS_SendEvent(VPS_EVT_SD_QUERY) == 0) {
                    ++i;
                } else {
                    std::this_thread::yield();
                }
            }
        });
    }
    CaptureStdout();
    for (std::thread& p : producers) p.join();
    EXPECT_TRUE(wait_for([&] { return seen.count.load() == 3000 + 3 * kPerThread; }));
    GetCapturedStdout();
}

TEST_F(VpsEventTest, InitEventRescansDevices) {
    VpsEvt evt{};
    evt.eventno = VPS_EVT_INIT;
    EXPECT_EQ(PLR_VPS_EvtHandle(&evt), 0);
    EXPECT_NE(board.read("/sim/events.log").find(" mdev -s"), std::string::npos)
        << board.read("/sim/events.log");
    EXPECT_TRUE(g_notified.empty());
}

// The reset ends in the board's reboot, which ends the process with SIGTERM
// on the simulated board: run it in a child process.
TEST_F(VpsEventTest, ResetRemovesTheCameraConfigurationAndReboots) {
    GTEST_FLAG_SET(death_test_style, "fast");  // the child shares this board root
    board.write("/usr/data/config.xml", "<config/>");
    EXPECT_EXIT(
        {
            dup2(STDERR_FILENO, STDOUT_FILENO);  // the trace log, where the matcher looks
            PLR_VPS_RegEvtCallback([](const VpsEvt* evt) {
                fprintf(stderr, "notified %u %d %d %d\n", evt->eventno, evt->retCode, evt->ival1,
                        evt->ival2);
                return 0;
            });
            VpsEvt evt{};
            evt.eventno = VPS_EVT_RESET;
            PLR_VPS_EvtHandle(&evt);
            _exit(0);  // not reached: the reboot ends the process
        },
        testing::KilledBySignal(SIGTERM),
        "notified 27 0 -1 -1\n.*\\[D\\] PLR_VPS_ResetHandle\\(line=[0-9]+\\):Cam Config "
        "reset\\.\\.");
    EXPECT_FALSE(board.exists("/usr/data/config.xml"));
    EXPECT_NE(board.read("/sim/events.log").find(" reboot"), std::string::npos);
}

}  // namespace
