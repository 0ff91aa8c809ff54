// Periodic timers whose every expiry runs the handler on a new thread.
#pragma once

#include <cstdint>

struct PlrTimer;
using PlrTimerHandler = void (*)(void* arg);

// Creates a disarmed timer calling handler(arg) at each expiry. Does nothing
// when `timer` or `handler` is null.
void PLR_Timer_Create(PlrTimer** timer, PlrTimerHandler handler, void* arg);
// Arms the timer with `milliseconds` as first expiry and period; 0 disarms it;
// a negative value is ignored.
void PLR_Timer_SetIntval(PlrTimer* timer, int32_t milliseconds);
// PLR_Timer_Create with a null argument, left disarmed.
void PLR_Timer_Init(PlrTimer** timer, PlrTimerHandler handler);
// Deletes the timer and waits for handlers still running; sets *timer to null.
// Must not be called from the timer's own handler.
void PLR_Timer_Deinit(PlrTimer** timer);
