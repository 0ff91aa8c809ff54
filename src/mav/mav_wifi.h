// Wi-Fi channel and signal management: moves the drone's access point to
// another 2.4 GHz channel on the phone's PELORA_CUSTOM_CONFIG, and answers the
// phone's survey request with the signal level of every channel, the channel
// in use marked. Runs on the MAVLink receive thread.
#pragma once

#include <atomic>
#include <cstdint>

#include "mav/mavlink_msgs.h"

// 1 while a survey is being answered.
extern std::atomic<int> is_wifi_scanning;

// COMMAND_ACK "command" of the answer to a refused or failed channel change:
// the id of the request's message, with the result MAV_RESULT_FAILED.
inline constexpr uint16_t MAV_WIFI_CHANNEL_ACK = 59;
inline constexpr uint8_t MAV_WIFI_RESULT_FAILED = 4;

int mavlink_pelora_set_wifi_handler(const mavlink_message_t* msg);
// Moves the access point to `channel`: 0; -1 for a channel outside the
// supported table, or when the access point did not come up on it (the old
// configuration is then restored and the access point started with it again).
int mavlink_pelora_set_wifi_channel(int32_t channel);
int mavlink_pelora_is_channel_supported(int32_t channel);
int mavlink_pelora_change_wifi_channel(int32_t channel);
int mavlink_pelora_backup_wifi_config();
int mavlink_pelora_reset_wifi_config();
// Restarts the access point: 1 when it reported ready, else 0.
int mavlink_ap_restart_handle();
// The channel of a frequency in MHz given as decimal text; -1 for null or unknown.
int mavlink_pelora_freq_2_channel(const char* text);
// The access point's current channel, or -1.
int mavlink_pelora_get_drone_channel();
// Produces "/tmp/signal": 0, or -1.
int mavlink_pelora_get_signal_list();
// Answers a survey request with one PELORA_PARAM_VALUE per surveyed channel.
int mavlink_average_signal_request_handler();

// The pause between stopping and starting the access point (2 s; tests shorten it).
void mavlink_wifi_set_restart_pause_ms(uint32_t ms);
