// The PID lock file "/tmp/pelora.pid", shared by vboard and ledblink.
#pragma once

inline constexpr const char* PLR_PID_FILE = "/tmp/pelora.pid";

// Replaces any stale file and writes this process's id; 0 or -1.
int PLR_MAIN_PidInit();
// Removes the file; 0.
int PLR_MAIN_PidDeinit();
