#include "mav/mav_wifi.h"

#include <array>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "board/board.h"
#include "board/board_wifi.h"
#include "core/ccl.h"
#include "core/trace_log.h"
#include "mav/mav_link.h"

std::atomic<int> is_wifi_scanning{0};

namespace {

constexpr std::array<int32_t, 15> supported_channel_tbl = {1, 2,  3,  4,  5,  6,  7, 8,
                                                           9, 10, 11, 12, 13, 14, -1};

struct FreqChannel {
    int32_t mhz;
    int32_t channel;
};

constexpr FreqChannel channel_tbl[] = {
    {2412, 1},   {2417, 2},   {2422, 3},   {2427, 4},   {2432, 5},   {2437, 6},   {2442, 7},
    {2447, 8},   {2452, 9},   {2457, 10},  {2462, 11},  {2467, 12},  {2472, 13},  {2484, 14},
    {5170, 34},  {5180, 36},  {5190, 38},  {5200, 40},  {5210, 42},  {5220, 44},  {5230, 46},
    {5240, 48},  {5260, 52},  {5280, 56},  {5300, 60},  {5320, 64},  {5500, 100}, {5520, 104},
    {5540, 108}, {5560, 112}, {5580, 116}, {5600, 120}, {5620, 124}, {5640, 128}, {5660, 132},
    {5680, 136}, {5700, 140}, {5720, 144}, {5745, 149}, {5765, 153}, {5785, 157}, {5805, 161},
    {5825, 165}, {0, 0},
};

constexpr int kMaxRestartFailures = 3;
constexpr uint8_t kSurveyComponent = 192;
constexpr uint8_t kToPhone = mavlink_sysid(MAV_BOARD_VIDEO, MAV_BOARD_PHONE);

std::atomic<uint32_t> g_restartPauseMs{2000};

// The decimal number at the start of a text (0 when there is none).
int32_t leading_number(const char* text) {
    return static_cast<int32_t>(strtol(text, nullptr, 10));
}

void answer_failed() {
    mavlink_pelora_command_ack_send(MAV_WIFI_CHANNEL_ACK, MAV_WIFI_RESULT_FAILED);
}

}  // namespace

void mavlink_wifi_set_restart_pause_ms(uint32_t ms) {
    g_restartPauseMs.store(ms);
}

int mavlink_pelora_set_wifi_handler(const mavlink_message_t* msg) {
    mavlink_pelora_custom_config_t config{};
    if (msg == nullptr || mavlink_msg_pelora_custom_config_decode(msg, &config) != 0) return -1;
    const int32_t channel = leading_number(config.text);
    PLR_TRACE(PLR_LOG_D, "custom channel:%d", channel);
    // The phone hears of a refusal; after a change it has lost the link anyway
    // and finds the channel in use with its next survey.
    if (mavlink_pelora_set_wifi_channel(channel) != 0) answer_failed();
    return 0;
}

int mavlink_pelora_is_channel_supported(int32_t channel) {
    for (int32_t c : supported_channel_tbl) {
        if (c == -1) break;
        if (c == channel) return 1;
    }
    return 0;
}

int mavlink_pelora_set_wifi_channel(int32_t channel) {
    // Only a channel of the table is ever written into the configuration.
    if (mavlink_pelora_is_channel_supported(channel) == 0) {
        PLR_TRACE(PLR_LOG_E, "channel %d not supported", channel);
        return -1;
    }
    mavlink_pelora_backup_wifi_config();
    mavlink_pelora_change_wifi_channel(channel);
    // The access point is about to restart: the phone's link goes with it.
    MavlinkTimeoutDisconn(INT64_MAX);
    if (mavlink_ap_restart_handle() != 0) return 0;
    // Back to the saved configuration, and the access point up again with it:
    // a board left without its access point could not be reached at all.
    mavlink_pelora_reset_wifi_config();
    mavlink_ap_restart_handle();
    return -1;
}

int mavlink_pelora_change_wifi_channel(int32_t channel) {
    PLR_TRACE(PLR_LOG_D, "channel found:%d", channel);
    if (mavlink_pelora_is_channel_supported(channel) == 0) return -1;
    char command[512];
    snprintf(command, sizeof command, "/bin/sed 's/^channel=.*$/channel=%d/g' %s > %s", channel,
             board_path("/tmp/hostapd.conf").c_str(), board_path("/tmp/tmp.conf").c_str());
    board_run_command(command);
    board_run_command("/bin/cp " + board_path("/tmp/tmp.conf") + " " +
                      board_path("/tmp/hostapd.conf"));
    return 0;
}

int mavlink_pelora_backup_wifi_config() {
    board_run_command("/bin/cp " + board_path("/tmp/hostapd.conf") + " " +
                      board_path("/tmp/hostapd.bak"));
    return 0;
}

int mavlink_pelora_reset_wifi_config() {
    board_run_command("/bin/cp " + board_path("/tmp/hostapd.bak") + " " +
                      board_path("/tmp/hostapd.conf"));
    return 0;
}

int mavlink_ap_restart_handle() {
    int ready = 0;
    int failures = 0;
    // Every attempt that does not bring the access point up counts, also one
    // whose output ends without either marker: the attempts are bounded.
    while (ready == 0 && failures < kMaxRestartFailures) {
        board_wifi_ap_stop();
        std::this_thread::sleep_for(std::chrono::milliseconds(g_restartPauseMs.load()));
        const int ret = board_wifi_ap_start([&](const std::string& line) {
            PLR_TRACE(PLR_LOG_D, "%s", line.c_str());
            if (line.find("AP-ENABLED") != std::string::npos) {
                ready = 1;
                PLR_TRACE(PLR_LOG_D, "wifi status:%d,%d,%s", ready, failures, "ap ready");
                return false;
            }
            return line.find("Failed") == std::string::npos;
        });
        if (ret != 0) {
            PLR_TRACE(PLR_LOG_E, "hostapd_fd is null!");
            return ready;
        }
        if (ready == 0) ++failures;
    }
    return ready;
}

int mavlink_pelora_freq_2_channel(const char* text) {
    if (text == nullptr) return -1;
    const int32_t mhz = leading_number(text);
    for (const FreqChannel& fc : channel_tbl) {
        if (fc.mhz == 0) break;
        if (fc.mhz == mhz) return fc.channel;
    }
    return -1;
}

int mavlink_pelora_get_drone_channel() {
    std::string text;
    if (board_wifi_ap_channel_text(&text) != 0) {
        PLR_TRACE(PLR_LOG_D, "popen error:%s!", strerror(errno));
        return -1;
    }
    const int32_t channel = leading_number(text.c_str());
    PLR_TRACE(PLR_LOG_D, "hostap channel %d", channel);
    return channel;
}

int mavlink_pelora_get_signal_list() {
    if (board_wifi_survey() != 0) {
        fprintf(stderr, "%s(line=%d):popen error:%s!\n", __func__, __LINE__, strerror(errno));
        return -1;
    }
    return 0;
}

int mavlink_average_signal_request_handler() {
    mavlink_pelora_get_signal_list();
    const int32_t current = mavlink_pelora_get_drone_channel();
    ccl_config config;
    config.comment_char = '#';
    config.sep_char = ' ';
    config.quote_char = '"';
    if (ccl_parse(&config, board_path("/tmp/signal").c_str()) != 0) {
        ccl_release(&config);
        return -1;
    }
    uint16_t count = 0;
    while (ccl_iterate(&config) != nullptr) ++count;
    ccl_reset(&config);
    uint16_t index = 0;
    for (const ccl_pair* pair = ccl_iterate(&config); pair != nullptr;
         pair = ccl_iterate(&config)) {
        const int32_t channel = leading_number(pair->key);
        const int32_t level = 10 * leading_number(pair->value) - 100;
        mavlink_pelora_param_value_t pv{};
        pv.value = channel == current ? 1.0f : 0.0f;
        pv.count = count;
        pv.index = ++index;
        snprintf(pv.name, sizeof pv.name, "%d", channel);
        snprintf(pv.text, sizeof pv.text, "%d", level);
        pv.type = MAVLINK_PARAM_TYPE_TEXT;
        plr_trace_logf(PLR_LOG_D, "%s(line:%d) send signal:%s,%s,%f", __func__, __LINE__, pv.name,
                       pv.text, static_cast<double>(pv.value));
        mavlink_message_t msg;
        mavlink_msg_pelora_param_value_pack(kToPhone, kSurveyComponent, PLR_MAV_NextSeq(), &pv,
                                            &msg);
        PLR_MAV_SendMessage(&msg);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ccl_release(&config);
    return 0;
}
