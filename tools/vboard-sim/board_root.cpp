#include "board_root.h"

#include <signal.h>
#include <sys/types.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>

#include "board/sim/board_sim.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* kDefaultConf =
    "# Board configuration of the simulated video board\n"
    "ModelName=\"Kavo Sparrow\"\n"
    "Manufacturer=Pelora\n"
    "PTotalVer=1.0.0\n"
    "VBoardVer=1.0.0\n"
    "FlyctlVer=1.0.0\n"
    "GimbalVer=1.0.0\n"
    "RepeaterVer=1.0.0\n"
    "SerialNo=SIM0000001\n";

// The access point's configuration as the board's start scripts leave it.
constexpr const char* kDefaultHostapdConf =
    "interface=wlan0\n"
    "driver=nl80211\n"
    "ssid=PLR_SIM\n"
    "hw_mode=g\n"
    "channel=6\n"
    "wpa=2\n"
    "wpa_passphrase=12345678\n";

bool write_file(const fs::path& path, const std::string& text) {
    std::ofstream out(path, std::ios::trunc);
    out << text;
    return static_cast<bool>(out);
}

void write_if_missing(const fs::path& path, const std::string& text) {
    if (!fs::exists(path)) write_file(path, text);
}

// Sets "key=value" in a configuration file: the key's lines are replaced by
// one, or it is appended.
void set_conf_value(const fs::path& path, const std::string& key, const std::string& value) {
    std::ifstream in(path);
    std::string text;
    bool done = false;
    for (std::string line; std::getline(in, line);) {
        if (line.rfind(key + "=", 0) == 0) {
            if (done) continue;
            line = key + "=" + value;
            done = true;
        }
        text += line + "\n";
    }
    if (!done) text += key + "=" + value + "\n";
    write_file(path, text);
}

// The PID in tmp/pelora.pid, or 0.
pid_t board_pid(const fs::path& root) {
    std::ifstream in(root / "tmp/pelora.pid");
    long pid = 0;
    if (!(in >> pid) || pid <= 0) return 0;
    return static_cast<pid_t>(pid);
}

}  // namespace

int board_root_prepare(const BoardRootOptions& options, std::string* error) {
    const fs::path root(options.root);
    std::error_code ec;
    for (const char* dir : {"etc/iqfiles", "tmp/SD0", "userdata", "dev", "sys/class/gpio/gpio18",
                            "sys/class/thermal/thermal_zone0", "proc/net/csw2201/wlan0", "usr/data",
                            "sim/card", "sim/wifi"}) {
        fs::create_directories(root / dir, ec);
        if (ec) {
            *error = "cannot create " + (root / dir).string() + ": " + ec.message();
            return -1;
        }
    }
    if (!options.confFile.empty()) {
        fs::copy_file(options.confFile, root / "etc/pelora.conf",
                      fs::copy_options::overwrite_existing, ec);
        if (ec) {
            *error = "cannot copy " + options.confFile + ": " + ec.message();
            return -1;
        }
    }
    write_if_missing(root / "etc/pelora.conf", kDefaultConf);
    set_conf_value(root / "etc/pelora.conf", "http_port", std::to_string(options.httpPort));
    write_if_missing(root / "sys/class/gpio/gpio18/value", "0\n");
    write_if_missing(root / "sys/class/thermal/thermal_zone0/temp", "45000\n");
    write_if_missing(root / "usr/data/config.xml", "<config/>\n");
    write_if_missing(root / "tmp/hostapd.conf", kDefaultHostapdConf);
    // At power-on the board's scripts bring the access point up on the
    // configured channel.
    if (!fs::exists(root / "sim/wifi/ap-channel")) {
        std::ifstream conf(root / "tmp/hostapd.conf");
        std::string line;
        std::string channel = "6";
        while (std::getline(conf, line)) {
            if (line.rfind("channel=", 0) == 0) channel = line.substr(8);
        }
        write_file(root / "sim/wifi/ap-channel", channel + "\n");
    }
    write_if_missing(root / "sim/card.mib", std::to_string(kDefaultSimCardMib) + "\n");
    if (options.cardMib != 0)
        write_file(root / "sim/card.mib", std::to_string(options.cardMib) + "\n");
    // The write speed and the split size apply to this run only.
    if (options.cardSpeedMBps > 0) {
        write_file(root / "sim/card-speed", std::to_string(options.cardSpeedMBps) + "\n");
    } else {
        fs::remove(root / "sim/card-speed", ec);
    }
    if (options.splitMib > 0) {
        write_file(root / "sim/split-mb", std::to_string(options.splitMib) + "\n");
    } else {
        fs::remove(root / "sim/split-mb", ec);
    }

    // At power-on the card is not mounted yet.
    const fs::path mountPoint = root / "tmp/SD0";
    if (fs::is_symlink(mountPoint, ec)) {
        fs::remove(mountPoint, ec);
        fs::create_directories(mountPoint, ec);
    }

    const fs::path node = root / "dev/mmcblk2p1";
    if (options.card) {
        write_if_missing(node, "");
    } else {
        fs::remove(node, ec);
    }
    return 0;
}

int board_root_card(const std::string& rootText, bool insert, std::string* error) {
    const fs::path root(rootText);
    if (!fs::is_directory(root / "sim")) {
        *error = rootText + " is not a board root (start vboard-sim --root " + rootText + " first)";
        return -1;
    }
    const fs::path node = root / "dev/mmcblk2p1";
    std::error_code ec;
    if (insert) {
        if (!write_file(node, "")) {
            *error = "cannot create " + node.string();
            return -1;
        }
    } else {
        fs::remove(node, ec);
    }
    const pid_t pid = board_pid(root);
    if (pid > 0 && kill(pid, insert ? SIGUSR1 : SIGUSR2) != 0) {
        *error = "card " + std::string(insert ? "inserted" : "removed") +
                 ", but no board process " + std::to_string(pid) + " to tell";
        return -1;
    }
    return 0;
}
