// A temporary board root for benchmarks that run the camera core: the
// directories the board expects, an inserted card of the given size, a cool
// SoC and the LED file. It becomes the simulated board's root.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "board/sim/board_sim.h"

// Returns the root's path, or an empty string when it could not be made.
inline std::string bench_make_board_root(const char* name, uint32_t cardMib) {
    namespace fs = std::filesystem;
    std::string root = (fs::temp_directory_path() / (std::string(name) + "-XXXXXX")).string();
    if (mkdtemp(root.data()) == nullptr) return {};
    for (const char* dir : {"/etc/iqfiles", "/tmp/SD0", "/sim/card", "/usr/data", "/dev",
                            "/sys/class/thermal/thermal_zone0", "/sys/class/gpio/gpio18"}) {
        fs::create_directories(root + dir);
    }
    std::ofstream(root + "/dev/mmcblk2p1");
    std::ofstream(root + "/sim/card.mib") << cardMib << "\n";
    std::ofstream(root + "/sys/class/thermal/thermal_zone0/temp") << "45000\n";
    std::ofstream(root + "/sys/class/gpio/gpio18/value") << "0\n";
    board_sim_set_root(root);
    return root;
}
