#include "core/led.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <string>

#include "board/board.h"
#include "core/trace_log.h"

namespace {

std::atomic<uint32_t> g_ledMode{PLR_LED_ON};

}  // namespace

int PLR_SYS_LED_Init() {
    if (board_file_exists(PLR_LED_VALUE_FILE)) {
        plr_trace_log(PLR_LOG_D, "PLR_SYS_LED_Init OK!");
        return 0;
    }
    plr_trace_log(PLR_LOG_D, "PLR_SYS_LED_Init err!");
    return -1;
}

int PLR_SYS_LED_Control(int on) {
    // A plain write of the GPIO value file; no shell needed for it.
    const std::string path = board_path(PLR_LED_VALUE_FILE);
    const int fd = open(path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    if (fd < 0) return -1;
    const char value[2] = {on != 0 ? '1' : '0', '\n'};
    const ssize_t n = write(fd, value, sizeof value);
    close(fd);
    return n == static_cast<ssize_t>(sizeof value) ? 0 : -1;
}

void PLR_SYS_LED_Flush(uint32_t mode) {
    plr_trace_logf(PLR_LOG_D, "PLR_SYS_LED_Flush:%u!", mode);
    g_ledMode.store(mode);
    board_note_led_mode(mode);
}

uint32_t PLR_SYS_LED_GET_Flush() {
    return g_ledMode.load();
}

PlrLedStep PLR_SYS_LED_Step(bool* phase) {
    switch (g_ledMode.load()) {
        case PLR_LED_SLOW_BLINK:
            PLR_SYS_LED_Control(*phase ? 1 : 0);
            *phase = !*phase;
            return {1000, true};
        case PLR_LED_FAST_BLINK:
            PLR_SYS_LED_Control(*phase ? 1 : 0);
            *phase = !*phase;
            return {40, false};
        default:
            PLR_SYS_LED_Control(1);
            return {1000, true};
    }
}
