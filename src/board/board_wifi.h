// The board's Wi-Fi access point ("wlan0", run by hostapd with
// "/tmp/hostapd.conf") and the Wi-Fi driver's channel survey. The target runs
// the daemon and its control tool; the simulated board emulates both inside
// the board root (sim/wifi/) and never touches the host's Wi-Fi.
#pragma once

#include <functional>
#include <string>

// Stops the access point's daemon ("killall hostapd"). 0, or -1 when the
// command could not be run.
int board_wifi_ap_stop();

// Starts the daemon with "/tmp/hostapd.conf" in the background ("hostapd
// /tmp/hostapd.conf&") and hands its output to `line`, one line at a time
// without the line feed, until `line` returns false or the output ends.
// 0, or -1 when the daemon could not be started.
using BoardWifiLineFn = std::function<bool(const std::string& line)>;
int board_wifi_ap_start(const BoardWifiLineFn& line);

// The running daemon's channel as its control tool prints it ("hostapd_cli
// -iwlan0 status|grep ^channel=|sed 's/channel=//g'"): the first line of the
// output, empty when there is none. 0, or -1 when the command could not run.
int board_wifi_ap_channel_text(std::string* text);

// The driver's survey of every channel: triggers it ("echo acs >
// /proc/net/csw2201/wlan0/survey_info"), waits a second, then writes the
// channel and level columns of the last 14 lines of the driver's channel table
// to "/tmp/signal". 0, or -1 when the command could not run.
int board_wifi_survey();
