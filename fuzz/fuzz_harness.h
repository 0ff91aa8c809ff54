// Shared helpers of the libFuzzer targets (one target per .cpp in this
// directory; docs/fuzzing.md tells how to add one).
//
// Every target is deterministic and leaves nothing behind: the simulated
// board's root is a temporary directory of this process, removed at exit;
// trace lines are off unless FUZZ_TRACE is set; no thread outlives a call.
#pragma once

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "../tests/unit/mav/mav_test_util.h"
#include "app/app_hooks.h"
#include "app/mav_dispatch.h"
#include "board/board.h"
#include "board/sim/board_sim.h"
#include "core/trace_log.h"
#include "fw/fw_ctx.h"
#include "fw/fw_transfer.h"
#include "mav/mav_link.h"
#include "mav/mav_wifi.h"
#include "mav/mavlink_frame.h"
#include "mav/uart_link.h"
#include "state/drone_position.h"
#include "vps/vcs.h"
#include "vps/vps_ctx.h"

namespace fuzz {

// The process's board root: "vboard-fuzz-<pid>-XXXXXX" in /dev/shm (memory:
// the targets that write files run many times faster there) or else in the
// temporary directory, made the simulated board's root on first use and
// removed when the process exits normally (scripts/run-fuzz.sh removes it
// after a crash or timeout).
class TempRoot {
public:
    static TempRoot& get() {
        static TempRoot root;
        return root;
    }
    const std::string& root() const { return root_; }
    // Host path of a board path ("/tmp/SD0" -> "<root>/tmp/SD0").
    std::string path(const std::string& boardPath) const { return root_ + boardPath; }
    // Creates a board directory (and its parents).
    void mkdirs(const std::string& boardPath) const {
        std::error_code ec;
        std::filesystem::create_directories(path(boardPath), ec);
    }
    // Empties a board directory, keeping the directory itself.
    void clear(const std::string& boardPath) const {
        std::error_code ec;
        for (const auto& e : std::filesystem::directory_iterator(path(boardPath), ec)) {
            std::filesystem::remove_all(e.path(), ec);
        }
    }
    TempRoot(const TempRoot&) = delete;
    TempRoot& operator=(const TempRoot&) = delete;

private:
    TempRoot() {
        const std::string name = "vboard-fuzz-" + std::to_string(getpid()) + "-XXXXXX";
        std::string pattern = "/dev/shm/" + name;
        if (mkdtemp(pattern.data()) == nullptr) {
            pattern = (std::filesystem::temp_directory_path() / name).string();
            if (mkdtemp(pattern.data()) == nullptr) abort();
        }
        root_ = pattern;
        board_sim_set_root(root_);
    }
    ~TempRoot() {
        std::error_code ec;
        std::filesystem::remove_all(root_, ec);
    }
    std::string root_;
};

// Board commands are recorded, never run: a target spawns no processes. A
// command that could run a second command (a back quote, "$(", a line feed or
// a semicolon) means a received value reached a command line: abort.
inline int record_board_command(const std::string& command, std::string* output) {
    for (const char* bad : {"`", "$(", "\n", ";"}) {
        if (command.find(bad) != std::string::npos) abort();
    }
    if (output != nullptr) *output = "PLR_SIM\n";
    return 0;
}

// Once per process: trace lines off (they would dominate the run time) unless
// FUZZ_TRACE is set in the environment, the temporary board root made, board
// commands recorded and the simulated Wi-Fi survey's wait removed.
inline void init_process() {
    static const bool done = [] {
        if (getenv("FUZZ_TRACE") == nullptr) TRACE_LOG_DISABLE();
        TempRoot::get();
        board_set_command_runner(record_board_command);
        board_sim_set_survey_wait_ms(0);
        return true;
    }();
    (void)done;
}

// Rewrites the checksum of every MAVLink 1.0 frame in `bytes` so that the
// parser accepts it and the handlers see the payload: from each start byte
// with a whole frame behind it, the frame's checksum (with the message's CRC
// extra) is written and the walk goes on behind the frame. Bytes that do not
// make a whole frame are left as they are, so the parser's resynchronisation
// is exercised too.
inline void fix_mavlink_checksums(std::vector<uint8_t>& bytes) {
    size_t i = 0;
    while (i < bytes.size()) {
        if (bytes[i] != MAVLINK_STX) {
            ++i;
            continue;
        }
        if (i + 1 >= bytes.size()) break;
        const size_t len = bytes[i + 1];
        const size_t frame = len + MAVLINK_NUM_NON_PAYLOAD_BYTES;
        if (i + frame > bytes.size()) break;
        uint16_t crc = mavlink_crc_calculate(std::span(bytes.data() + i + 1, len + 5));
        crc = mavlink_crc_accumulate(mavlink_crc_extra(bytes[i + 5]), crc);
        bytes[i + frame - 2] = static_cast<uint8_t>(crc & 0xFF);
        bytes[i + frame - 1] = static_cast<uint8_t>(crc >> 8);
        i += frame;
    }
}

inline std::vector<uint8_t> with_mavlink_checksums(const uint8_t* data, size_t size) {
    std::vector<uint8_t> bytes(data, data + size);
    fix_mavlink_checksums(bytes);
    return bytes;
}

// The MAVLink links as the dispatch tests set them up: wired to the dispatch
// by the application's hooks, what goes to the flight controller and the
// camera events posted recorded by the unit tests' recorders (cleared here, so
// memory stays flat), the camera idle with its default settings and every
// parser starting afresh. No phone is attached, so answers to it are dropped.
// The access point restarts without a pause.
inline void reset_mav_links() {
    PLR_APP_HooksInit();
    mavlink_wifi_set_restart_pause_ms(0);
    UartRecorder::install();
    EventRecorder::install();
    g_vpsCtx.vpsStatus = VPS_STATUS_IDLE;
    PLR_VCS_Reset();
    MavlinkDispatchReset();
    PLR_MAV_ResetParser();
    MavlinkResetGPSInfo();
}

// A board upgrade in progress for the length of one input, so that the
// upgrading board's answers reach the transfer's handler: `sys` is the
// upgrading board (FW_SYS_NONE: no upgrade), a file of three packages is
// prepared, and whatever the transfer sends or reports is dropped. The
// transfer's wait state is that of a board between steps.
class UpgradeInProgress {
public:
    explicit UpgradeInProgress(uint32_t sys) {
        if (sys == FW_SYS_NONE) return;
        static const std::string file = [] {
            const std::string path = TempRoot::get().path("/fuzz-fw.bin");
            FILE* f = fopen(path.c_str(), "wb");
            if (f == nullptr) abort();
            for (int i = 0; i < 3 * 240 - 7; ++i) fputc(i & 0xFF, f);
            fclose(f);
            return path;
        }();
        static const FwTransferLinks drop{
            [](const mavlink_message_t*) { return 0; },
            [](const mavlink_message_t*) { return 0; },
            [](const uint8_t*, size_t) { return 0; },
            [](int, int) { return 0; },
            [] {},
        };
        PLR_FW_SetTransferLinks(&drop);
        g_UpgradeCtx.upgrading_sys = sys;
        if (PLR_FW_PackagePrepare(g_UpgradeCtx, file.c_str()) != 0) abort();
        active_ = true;
    }
    ~UpgradeInProgress() {
        if (!active_) return;
        PLR_FW_PackageFree(g_UpgradeCtx);
        g_UpgradeCtx.upgrading_sys = FW_SYS_NONE;
        PLR_FW_SetTransferLinks(nullptr);
    }
    UpgradeInProgress(const UpgradeInProgress&) = delete;
    UpgradeInProgress& operator=(const UpgradeInProgress&) = delete;

private:
    bool active_ = false;
};

}  // namespace fuzz
