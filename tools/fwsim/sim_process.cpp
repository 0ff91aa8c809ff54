#include "sim_process.h"

#include <sys/prctl.h>

#include <atomic>
#include <chrono>
#include <csignal>

namespace {

std::atomic<int> g_stopSignal{0};

void on_stop(int signo) {
    g_stopSignal.store(signo);
}

}  // namespace

int64_t sim_now_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void sim_process_setup() {
    struct sigaction action {};
    action.sa_handler = on_stop;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);
    prctl(PR_SET_PDEATHSIG, SIGTERM);
}

int sim_stop_signal() {
    return g_stopSignal.load();
}
