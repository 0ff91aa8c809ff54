#include "core/signals.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "core/trace_log.h"

namespace {

struct SignalContext {
    int pipeFds[2] = {-1, -1};  // handler -> signal thread
    std::thread thread;
    std::atomic<void (*)(int)> cardHandler{nullptr};
    std::mutex stopMutex;
    std::condition_variable stopChanged;
    std::atomic<bool> stopRequested{false};
};

SignalContext g_signals;
std::atomic<int> g_signalWriteFd{-1};

constexpr char kQuitByte = 0;

void signal_thread() {
    for (;;) {
        char signo = 0;
        const ssize_t n = read(g_signals.pipeFds[0], &signo, 1);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0 || signo == kQuitByte) return;
        if (signo == SIGINT || signo == SIGTERM) {
            PLR_MAIN_RequestStop();
        } else if (void (*handler)(int) = g_signals.cardHandler.load(); handler != nullptr) {
            handler(signo);
        } else {
            plr_trace_logf(PLR_LOG_D, "signal %d before the camera core is up: dropped", signo);
        }
    }
}

}  // namespace

void PLR_MAIN_HandleSig(int signo) {
    const int savedErrno = errno;
    if (signo == SIGINT || signo == SIGTERM) {
        // Only one shutdown: later stop signals are ignored from now on.
        struct sigaction ignore {};
        ignore.sa_handler = SIG_IGN;
        sigaction(SIGINT, &ignore, nullptr);
        sigaction(SIGTERM, &ignore, nullptr);
    }
    const int fd = g_signalWriteFd.load();
    if (fd >= 0) {
        const char byte = static_cast<char>(signo);
        const ssize_t n = write(fd, &byte, 1);
        (void)n;
    }
    errno = savedErrno;
}

int PLR_MAIN_SigCbInit() {
    if (pipe2(g_signals.pipeFds, O_CLOEXEC) != 0) return -1;
    g_signalWriteFd.store(g_signals.pipeFds[1]);
    g_signals.stopRequested.store(false);
    g_signals.thread = std::thread(signal_thread);
    struct sigaction action {};
    action.sa_handler = PLR_MAIN_HandleSig;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int signo : {SIGINT, SIGTERM, SIGUSR1, SIGUSR2}) sigaction(signo, &action, nullptr);
    return 0;
}

void PLR_MAIN_SigCbDeinit() {
    struct sigaction dflt {};
    dflt.sa_handler = SIG_DFL;
    for (int signo : {SIGUSR1, SIGUSR2}) sigaction(signo, &dflt, nullptr);
    if (g_signals.thread.joinable()) {
        const char quit = kQuitByte;
        const ssize_t n = write(g_signals.pipeFds[1], &quit, 1);
        (void)n;
        g_signals.thread.join();
    }
    g_signalWriteFd.store(-1);
    for (int& fd : g_signals.pipeFds) {
        if (fd >= 0) close(fd);
        fd = -1;
    }
    g_signals.cardHandler.store(nullptr);
}

void PLR_MAIN_SetCardSignalHandler(void (*handler)(int signo)) {
    g_signals.cardHandler.store(handler);
}

bool PLR_MAIN_WaitStop(uint32_t milliseconds) {
    std::unique_lock lock(g_signals.stopMutex);
    return g_signals.stopChanged.wait_for(lock, std::chrono::milliseconds(milliseconds),
                                          [] { return g_signals.stopRequested.load(); });
}

bool PLR_MAIN_StopRequested() {
    return g_signals.stopRequested.load();
}

void PLR_MAIN_RequestStop() {
    {
        std::lock_guard lock(g_signals.stopMutex);
        g_signals.stopRequested.store(true);
    }
    g_signals.stopChanged.notify_all();
}
