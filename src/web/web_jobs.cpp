#include "web/web_jobs.h"

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <utility>

namespace {

struct Jobs {
    std::mutex lock;  // guards the queues and `running`
    std::condition_variable ready;
    std::deque<std::pair<uint64_t, WebJob>> waiting;
    std::vector<std::pair<uint64_t, WebJobResult>> done;
    bool running = false;
    std::thread thread;
    std::atomic<void (*)()> wake{nullptr};
};
Jobs g_jobs;

void worker() {
    for (;;) {
        std::pair<uint64_t, WebJob> job;
        {
            std::unique_lock lock(g_jobs.lock);
            g_jobs.ready.wait(lock, [] { return !g_jobs.running || !g_jobs.waiting.empty(); });
            if (!g_jobs.running) return;
            job = std::move(g_jobs.waiting.front());
            g_jobs.waiting.pop_front();
        }
        WebJobResult result = job.second();
        {
            std::lock_guard lock(g_jobs.lock);
            g_jobs.done.emplace_back(job.first, std::move(result));
        }
        if (void (*wake)() = g_jobs.wake.load(); wake != nullptr) wake();
    }
}

}  // namespace

int web_jobs_start(void (*wake)()) {
    std::lock_guard lock(g_jobs.lock);
    if (g_jobs.running) return -1;
    g_jobs.running = true;
    g_jobs.wake.store(wake);
    g_jobs.thread = std::thread(worker);
    return 0;
}

void web_jobs_stop() {
    {
        std::lock_guard lock(g_jobs.lock);
        g_jobs.running = false;
    }
    g_jobs.ready.notify_all();
    if (g_jobs.thread.joinable()) g_jobs.thread.join();
    g_jobs.wake.store(nullptr);
    std::lock_guard lock(g_jobs.lock);
    g_jobs.waiting.clear();
    g_jobs.done.clear();
}

bool web_jobs_post(uint64_t serial, WebJob job) {
    {
        std::lock_guard lock(g_jobs.lock);
        if (!g_jobs.running || g_jobs.waiting.size() >= WEB_JOBS_MAX) return false;
        g_jobs.waiting.emplace_back(serial, std::move(job));
    }
    g_jobs.ready.notify_one();
    return true;
}

void web_jobs_take(std::vector<std::pair<uint64_t, WebJobResult>>* out) {
    out->clear();
    std::lock_guard lock(g_jobs.lock);
    out->swap(g_jobs.done);
}
