// Real-time scheduling for the long-lived threads that the board runs under
// the round-robin policy.
#pragma once

// Switches the calling thread to SCHED_RR at `priority`. When the OS refuses
// (as it does for an unprivileged process on a PC) the thread keeps the
// default policy and one trace line names it; the caller carries on either way.
void plr_set_realtime(const char* name, int priority);
