// Process plumbing shared by the simulators (fcsim, repeater-sim): the
// monotonic clock their loops run on, and the stop request of SIGINT or
// SIGTERM.
#pragma once

#include <cstdint>

// Monotonic milliseconds.
int64_t sim_now_ms();
// Notes SIGINT and SIGTERM as the stop request, ignores SIGPIPE, and makes the
// process end (SIGTERM) when the launcher that started it goes.
void sim_process_setup();
// 0 until SIGINT or SIGTERM arrived; then the signal's number.
int sim_stop_signal();
