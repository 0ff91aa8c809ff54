// ledblink: takes the PID lock file and blinks the status LED slowly (one
// second off, one second on) until SIGINT or SIGTERM.
#include <signal.h>
#include <unistd.h>

#include <string>

#include "board/board.h"
#include "core/led.h"
#include "core/pid_lock.h"

namespace {

std::string g_pidPath;

void handle_signal(int signo) {
    if (signo != SIGINT && signo != SIGTERM) return;
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGINT, &ignore, nullptr);
    sigaction(SIGTERM, &ignore, nullptr);
    // unlink and _exit are async-signal-safe; the path was made beforehand.
    unlink(g_pidPath.c_str());
    _exit(0);
}

}  // namespace

int main() {
    if (board_init() != 0) return 1;
    g_pidPath = board_path(PLR_PID_FILE);

    struct sigaction action {};
    action.sa_handler = handle_signal;
    sigemptyset(&action.sa_mask);
    for (int signo : {SIGINT, SIGTERM, SIGUSR1, SIGUSR2}) sigaction(signo, &action, nullptr);

    PLR_MAIN_PidInit();
    PLR_SYS_LED_Init();
    PLR_SYS_LED_Flush(PLR_LED_SLOW_BLINK);

    bool phase = false;
    for (;;) {
        const PlrLedStep step = PLR_SYS_LED_Step(&phase);
        usleep(step.sleepMs * 1000);
    }
}
