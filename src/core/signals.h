// Process signals of vboard. The handler only notes what arrived; a signal
// thread turns SIGUSR1/SIGUSR2 into card events and SIGINT/SIGTERM into a stop
// request that the main thread carries out as the ordered shutdown.
#pragma once

#include <cstdint>

// Installs the handler for SIGINT, SIGTERM, SIGUSR1 and SIGUSR2 (in that
// order) and starts the signal thread; 0 or -1.
int PLR_MAIN_SigCbInit();
// Stops the signal thread and restores the default dispositions.
void PLR_MAIN_SigCbDeinit();
// The process-wide handler (async-signal-safe).
void PLR_MAIN_HandleSig(int signo);

// Receives SIGUSR1 (card inserted) and SIGUSR2 (card removed) on the signal
// thread. Until one is registered, such signals are dropped: the camera event
// queue does not exist yet.
void PLR_MAIN_SetCardSignalHandler(void (*handler)(int signo));

// Sleeps up to `milliseconds`; returns true at once when a stop was requested.
bool PLR_MAIN_WaitStop(uint32_t milliseconds);
bool PLR_MAIN_StopRequested();
// Asks the main thread to stop, as SIGTERM does.
void PLR_MAIN_RequestStop();
