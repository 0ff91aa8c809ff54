// Target backend of the access point: the board's hostapd, hostapd_cli and
// the Wi-Fi driver's survey files.
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstring>

#include "board/board.h"
#include "board/board_wifi.h"

int board_wifi_ap_stop() {
    return board_run_command("killall hostapd") < 0 ? -1 : 0;
}

int board_wifi_ap_start(const BoardWifiLineFn& line) {
    // The daemon keeps running in the background; its output is read while
    // it comes, until it says whether the access point came up.
    FILE* pipe = popen("hostapd /tmp/hostapd.conf&", "r");
    if (pipe == nullptr) return -1;
    std::array<char, 200> buf{};
    while (fgets(buf.data(), static_cast<int>(buf.size()), pipe) != nullptr) {
        std::string text(buf.data());
        if (!text.empty() && text.back() == '\n') text.pop_back();
        if (!line(text)) break;
    }
    pclose(pipe);
    return 0;
}

int board_wifi_ap_channel_text(std::string* text) {
    std::string out;
    if (board_run_command("hostapd_cli -iwlan0 status|grep ^channel=|sed 's/channel=//g'", &out) <
        0)
        return -1;
    if (text != nullptr) *text = out.substr(0, out.find('\n'));
    return 0;
}

int board_wifi_survey() {
    board_run_command("echo acs > /proc/net/csw2201/wlan0/survey_info");
    sleep(1);
    return board_run_command(
               "cat /proc/net/csw2201/wlan0/chan_info | tail -n 14 | awk {'print $2,$3'} > "
               "/tmp/signal") < 0
               ? -1
               : 0;
}
