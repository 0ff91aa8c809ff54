// Latency from posting a camera event to the start of its handler, p50 and
// p99, against a bare mutex and condition-variable hand-off to a waiting
// thread measured in the same run. Both consumers run with the event thread's
// scheduling (round-robin priority 2 when the system grants it).
#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>
#include <vector>

#include "vps/vps_event.h"

namespace {

using Clock = std::chrono::steady_clock;

int64_t now_ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
        .count();
}

// Start time of the last handler run, published with a sequence number.
std::atomic<int64_t> g_startNs{0};
std::atomic<uint64_t> g_handled{0};

int bench_handler(const VpsEvt* /*evt*/) {
    g_startNs.store(now_ns());
    g_handled.fetch_add(1);
    return 0;
}

void wait_count(const std::atomic<uint64_t>& counter, uint64_t target) {
    while (counter.load() < target) std::this_thread::yield();
}

// The baseline: one waiting consumer, a flag under a mutex, a signal.
struct Handoff {
    std::mutex mutex;
    std::condition_variable cond;
    uint64_t posted = 0;  // guarded by mutex
    bool exit = false;    // guarded by mutex
    std::atomic<int64_t> startNs{0};
    std::atomic<uint64_t> handled{0};
    std::thread consumer;
    bool realtime = false;

    void start() {
        consumer = std::thread([this] {
            uint64_t seen = 0;
            std::unique_lock lock(mutex);
            for (;;) {
                cond.wait(lock, [&] { return exit || posted != seen; });
                if (exit) return;
                seen = posted;
                startNs.store(now_ns());
                handled.fetch_add(1);
            }
        });
        sched_param param{};
        param.sched_priority = 2;
        realtime = pthread_setschedparam(consumer.native_handle(), SCHED_RR, &param) == 0;
    }
    void post() {
        std::lock_guard lock(mutex);
        ++posted;
        cond.notify_one();
    }
    void stop() {
        {
            std::lock_guard lock(mutex);
            exit = true;
        }
        cond.notify_one();
        consumer.join();
    }
};

struct Stats {
    double p50;
    double p99;
};

Stats percentiles(std::vector<int64_t> samples) {
    std::sort(samples.begin(), samples.end());
    auto at = [&](double q) {
        const size_t i = std::min(samples.size() - 1,
                                  static_cast<size_t>(q * static_cast<double>(samples.size())));
        return static_cast<double>(samples[i]) / 1000.0;  // microseconds
    };
    return {at(0.50), at(0.99)};
}

}  // namespace

int main() {
    constexpr int kSamples = 40000;
    constexpr int kWarmup = 1000;

    PLR_VPS_SetEvtHandler(VPS_EVT_SD_QUERY, bench_handler);
    if (PLR_VPS_EvtThreadsInit() != 0) {
        fprintf(stderr, "event thread could not be started\n");
        return 1;
    }
    Handoff handoff;
    handoff.start();

    std::vector<int64_t> evtSamples;
    std::vector<int64_t> baseSamples;
    uint64_t evtCount = 0;
    uint64_t baseCount = 0;
    auto event_once = [&]() {
        const int64_t t0 = now_ns();
        PLR_VPS_SendEvent(VPS_EVT_SD_QUERY);
        wait_count(g_handled, ++evtCount);
        return g_startNs.load() - t0;
    };
    auto handoff_once = [&]() {
        const int64_t t0 = now_ns();
        handoff.post();
        wait_count(handoff.handled, ++baseCount);
        return handoff.startNs.load() - t0;
    };
    for (int i = 0; i < kWarmup; ++i) {
        event_once();
        handoff_once();
    }
    // Alternating samples, so that load from elsewhere on the machine falls on both alike.
    for (int i = 0; i < kSamples; ++i) {
        evtSamples.push_back(event_once());
        baseSamples.push_back(handoff_once());
    }
    handoff.stop();
    PLR_VPS_EvtThreadsDeinit();

    const Stats evt = percentiles(evtSamples);
    const Stats base = percentiles(baseSamples);
    printf("post to handler start, %d samples each (consumers real-time: %s)\n", kSamples,
           handoff.realtime ? "yes" : "no, refused");
    printf("  %-34s p50 %8.2f us   p99 %8.2f us\n", "camera event (PLR_VPS_SendEvent)", evt.p50,
           evt.p99);
    printf("  %-34s p50 %8.2f us   p99 %8.2f us\n", "bare mutex + condition variable", base.p50,
           base.p99);
    printf("\n");
    printf("RATIO %-40s %8.3f  (event / bare hand-off) event queue overhead at the median\n",
           "vps_event_post_p50", evt.p50 / base.p50);
    printf(
        "RATIO %-40s %8.3f  (event / bare hand-off) event queue overhead at the 99th percentile\n",
        "vps_event_post_p99", evt.p99 / base.p99);
    return 0;
}
