#include "app/app_hooks.h"

#include "app/mav_dispatch.h"
#include "mav/mav_link.h"
#include "mav/uart_link.h"
#include "track/track.h"

int PLR_APP_HooksInit() {
    PLR_MAV_SetMessageHandler(MavlinkMessageDispatch);
    uart_set_message_handler(uart_message_dispatch);
    PLR_TRACK_SetSenders(PLR_MAV_SendMessage, uart_mavlink_send);
    return 0;
}

int PLR_APP_HooksDeinit() {
    PLR_TRACK_SetSenders(nullptr, nullptr);
    uart_clear_message_handler();
    PLR_MAV_ClearMessageHandler();
    return 0;
}
