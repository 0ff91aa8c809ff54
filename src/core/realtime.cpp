#include "core/realtime.h"

#include <pthread.h>
#include <sched.h>

#include <cstring>

#include "core/trace_log.h"

void plr_set_realtime(const char* name, int priority) {
    sched_param param{};
    param.sched_priority = priority;
    const int rc = pthread_setschedparam(pthread_self(), SCHED_RR, &param);
    if (rc != 0) {
        plr_trace_logf(PLR_LOG_D, "%s keeps the default policy: SCHED_RR priority %d refused (%s)",
                       name, priority, strerror(rc));
    }
}
