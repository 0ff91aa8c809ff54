// Simulated access point and Wi-Fi driver, inside the board root:
//   sim/wifi/ap-channel    the channel the emulated hostapd runs on (absent: stopped)
//   sim/wifi/hostapd-fail  hostapd fails to start ("Failed" in its output) on the
//                          channels listed in it, one or more numbers; on every
//                          channel when it is empty
//   sim/wifi/survey        the survey the driver reports: lines "CHANNEL VALUE";
//                          a 14-channel table when absent
// Writing the survey trigger fills proc/net/csw2201/wlan0/chan_info, as the
// driver does. Every start is recorded in sim/events.log (hostapd-restart).
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include "board/board.h"
#include "board/board_wifi.h"
#include "board/sim/board_sim.h"

namespace {

constexpr const char* kApChannel = "/sim/wifi/ap-channel";
constexpr const char* kApFail = "/sim/wifi/hostapd-fail";
constexpr const char* kSurvey = "/sim/wifi/survey";
constexpr const char* kChanInfo = "/proc/net/csw2201/wlan0/chan_info";

std::atomic<uint32_t> g_surveyWaitMs{1000};

// The channel line of the configuration file, or -1.
int conf_channel(const std::string& path) {
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("channel=", 0) != 0) continue;
        char* end = nullptr;
        const long channel = strtol(line.c_str() + 8, &end, 10);
        return end != line.c_str() + 8 && *end == '\0' ? static_cast<int>(channel) : -1;
    }
    return -1;
}

bool start_fails(int channel) {
    std::ifstream in(board_path(kApFail));
    if (!in) return false;
    std::vector<int> listed;
    for (int c = 0; in >> c;) listed.push_back(c);
    if (listed.empty()) return true;
    for (int c : listed) {
        if (c == channel) return true;
    }
    return false;
}

// The driver's channel table: one line per channel, "index channel level busy".
void fill_chan_info() {
    std::ostringstream table;
    std::ifstream survey(board_path(kSurvey));
    int idx = 0;
    if (survey) {
        std::string line;
        while (std::getline(survey, line)) {
            std::istringstream words(line);
            std::string channel, value;
            if (words >> channel >> value)
                table << idx++ << ' ' << channel << ' ' << value << " 0\n";
        }
    } else {
        static constexpr int kDefault[14] = {-5, -4, -6, -3, -5, -2, -4,
                                             -6, -5, -3, -4, -6, -7, -8};
        for (int c = 1; c <= 14; ++c)
            table << idx++ << ' ' << c << ' ' << kDefault[c - 1] << " 0\n";
    }
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(board_path(kChanInfo)).parent_path(),
                                        ec);
    std::ofstream(board_path(kChanInfo), std::ios::trunc) << table.str();
}

}  // namespace

void board_sim_set_survey_wait_ms(uint32_t ms) {
    g_surveyWaitMs.store(ms);
}

int board_wifi_ap_stop() {
    std::error_code ec;
    std::filesystem::remove(board_path(kApChannel), ec);
    return 0;
}

int board_wifi_ap_start(const BoardWifiLineFn& line) {
    std::error_code ec;
    std::filesystem::create_directories(board_path("/sim/wifi"), ec);
    const int channel = conf_channel(board_path("/tmp/hostapd.conf"));
    std::vector<std::string> out = {"Configuration file: /tmp/hostapd.conf"};
    const bool ok = channel >= 1 && channel <= 14 && !start_fails(channel);
    if (channel < 0) {
        out.emplace_back("Failed to set up interface with /tmp/hostapd.conf");
    } else if (!ok) {
        out.emplace_back("wlan0: interface state UNINITIALIZED->COUNTRY_UPDATE");
        out.emplace_back("Failed to set beacon parameters");
    } else {
        out.emplace_back("wlan0: interface state UNINITIALIZED->ENABLED");
        out.emplace_back("wlan0: AP-ENABLED ");
        std::ofstream(board_path(kApChannel), std::ios::trunc) << channel << '\n';
    }
    board_sim_event("hostapd-restart",
                    "channel=" + std::to_string(channel) + (ok ? " ok" : " failed"));
    for (const std::string& text : out) {
        if (!line(text)) break;
    }
    return 0;
}

int board_wifi_ap_channel_text(std::string* text) {
    std::string channel;
    std::ifstream(board_path(kApChannel)) >> channel;
    if (text != nullptr) *text = channel;
    return 0;
}

int board_wifi_survey() {
    std::ofstream(board_path("/proc/net/csw2201/wlan0/survey_info"), std::ios::trunc) << "acs\n";
    fill_chan_info();
    std::this_thread::sleep_for(std::chrono::milliseconds(g_surveyWaitMs.load()));
    return board_run_command("/bin/cat " + board_path(kChanInfo) +
                             " | tail -n 14 | awk {'print $2,$3'} > " + board_path("/tmp/signal")) <
                   0
               ? -1
               : 0;
}
