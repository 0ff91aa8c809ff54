#include "mav/mav_repeater.h"

#include <array>
#include <atomic>
#include <cstdio>
#include <fstream>
#include <string>

#include "board/board.h"
#include "core/trace_log.h"
#include "mav/mav_link.h"
#include "mav/mavlink_msgs.h"
#include "mav/uart_link.h"

namespace {

constexpr size_t kLineMax = 99;  // characters of the first line read

enum class Dest { Repeater, FlyCtrl };

struct RpSetting {
    const char* path;
    uint8_t type;  // setting type, byte 1 of the message
    Dest dest;
    const char* log;  // the log text before the setting
};

constexpr std::array<RpSetting, 4> kSettings = {{
    {"/tmp/SD0/destmac.conf", 2, Dest::Repeater, "send dest mac to repeator:"},
    {"/tmp/SD0/channel.conf", 0, Dest::Repeater, "send channel to repeator:"},
    {"/tmp/SD0/bw.conf", 1, Dest::Repeater, "send bw to repeator:"},
    {"/tmp/SD0/usb.conf", 0, Dest::FlyCtrl, "send usb conf to flyctrl:"},
}};

// The main loop is the only caller; atomics keep a test's reset safe.
std::atomic<int> g_done{0};
std::array<std::atomic<bool>, kSettings.size()> g_sent{};

// The first line of the file without its line feed; false when nothing was read.
bool first_line(const char* path, std::string* line) {
    std::ifstream in(board_path(path), std::ios::binary);
    std::array<char, kLineMax + 1> buf{};
    in.get(buf.data(), static_cast<std::streamsize>(buf.size()), '\n');
    *line = buf.data();
    return !line->empty();
}

// Sends the setting: true when it went out on its link.
bool forward(const RpSetting& s, const std::string& text) {
    mavlink_pelora_custom_config_t config{};
    config.setting_type = s.type;
    // At most 29 characters of the line travel.
    snprintf(config.text, sizeof config.text, "%.29s", text.c_str());
    mavlink_message_t msg;
    if (s.dest == Dest::Repeater) {
        mavlink_msg_pelora_custom_config_pack(mavlink_sysid(MAV_BOARD_VIDEO, MAV_BOARD_REPEATER), 0,
                                              PLR_MAV_NextSeq(), &config, &msg);
        return PLR_MAV_SendMessage(&msg) > 0;
    }
    mavlink_msg_pelora_custom_config_pack(mavlink_sysid(MAV_BOARD_VIDEO, MAV_BOARD_FLYCTRL), 0, 0,
                                          &config, &msg);
    return uart_mavlink_send(&msg) > 0;
}

}  // namespace

int PLR_RP_CustomTrigger() {
    if (g_done.load() != 0) return 0;
    PLR_TRACE(PLR_LOG_D, "Custom trigger in");
    int ret = 0;
    for (size_t i = 0; i < kSettings.size(); ++i) {
        const RpSetting& s = kSettings[i];
        if (g_sent[i].load() || !board_file_exists(s.path)) continue;
        std::string text;
        if (!first_line(s.path, &text)) {
            ret = -1;  // tried again on the next pass
            continue;
        }
        // A link that is not up yet (the repeater connects after start-up)
        // refuses the setting: it waits for the next pass instead of being lost.
        if (forward(s, text)) {
            plr_trace_logf(PLR_LOG_D, "%s(line=%d):%s%.29s", __func__, __LINE__, s.log,
                           text.c_str());
            g_sent[i].store(true);
        } else {
            ret = -1;
        }
    }
    if (ret == 0) g_done.store(1);
    return ret;
}

void PLR_RP_Reset() {
    g_done.store(0);
    for (auto& sent : g_sent) sent.store(false);
}
