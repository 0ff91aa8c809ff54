// Runs a command line through /bin/sh and collects its standard output.
// Used by both board backends; nothing else in the system starts programs.
#pragma once

#include <string>

// Returns the exit status of `/bin/sh -c command`, 128 + signal number when it
// was killed, or -1 when it could not be started.
int board_shell_run(const std::string& command, std::string* output);
