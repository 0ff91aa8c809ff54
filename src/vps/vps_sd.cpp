#include "vps/vps_sd.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "board/board.h"
#include "core/trace_log.h"
#include "mp4/mp4_repair.h"
#include "vps/vps_ctx.h"
#include "vps/vps_event.h"
#include "vps/vps_record.h"

namespace {

constexpr const char* kSdDevice = "/dev/mmcblk2p1";
constexpr const char* kVideoDir = "/tmp/SD0/PLRMEDIA/VIDEO";
constexpr const char* kMediaDirs[] = {kVideoDir, "/tmp/SD0/PLRMEDIA/PIC",
                                      "/tmp/SD0/PLRMEDIA/THUMB"};
constexpr int kMountAttempts = 4;

void set_sd(uint32_t status, uint32_t totalMB, uint32_t freeMB) {
    g_vpsCtx.sdStatus.store(status);
    g_vpsCtx.sdTotalMB.store(totalMB);
    g_vpsCtx.sdFreeMB.store(freeMB);
}

void card_gone_for_logs() {
    TRACE_LOG_ForceStop(1);
    TRACE_LOG_SD_UPDATE(1);
}

// The mount is judged by whether a file can be created on the card.
bool probe_card_writable() {
    const std::string probe = board_path("/tmp/SD0/_mount");
    unlink(probe.c_str());
    FILE* file = fopen(probe.c_str(), "we");
    if (file == nullptr) return false;
    fclose(file);
    unlink(probe.c_str());
    return true;
}

bool measure_card() {
    uint32_t total = 0;
    uint32_t free = 0;
    if (PLR_VPS_GetSDInfo(&total, &free) != 0) return false;
    g_vpsCtx.sdTotalMB.store(total);
    g_vpsCtx.sdFreeMB.store(free);
    return true;
}

}  // namespace

int PLR_VPS_GetSDInfo(uint32_t* totalMB, uint32_t* freeMB) {
    if (totalMB == nullptr || freeMB == nullptr) return -1;
    if (!board_file_exists(kMediaDirs[0]) && !board_file_exists(kMediaDirs[1])) return -1;
    BoardFsSpace space{};
    if (board_sd_space(&space) != 0 || !board_file_exists(kSdDevice)) return -1;
    const uint64_t blockKiB = space.blockSize / 1024;
    *totalMB = static_cast<uint32_t>(blockKiB * (space.blocks / 1024));
    *freeMB = static_cast<uint32_t>(blockKiB * (space.availableBlocks / 1024));
    plr_trace_logf(PLR_LOG_D, "SD Storage--type:%u total:%u free:%u  in MB", space.type, *totalMB,
                   *freeMB);
    return 0;
}

int PLR_VPS_SDMount() {
    // A recorder still closing the files of an ejected card does not keep the
    // new card out: its files are gone with the old one.
    if (g_vpsCtx.snapBusy.load() != 0) return -1;
    if (!board_file_exists(kSdDevice)) {
        plr_trace_log(PLR_LOG_E, "SD Dev not exist!!");
        return -1;
    }
    bool mounted = false;
    for (int attempt = 0; attempt < kMountAttempts && !mounted; ++attempt) {
        plr_trace_logf(PLR_LOG_D, "SD Card Mount:%d", attempt);
        board_sd_umount();
        usleep(200 * 1000);
        board_sd_mount();
        mounted = probe_card_writable();
        if (!mounted && attempt + 1 < kMountAttempts)
            plr_trace_log(PLR_LOG_E, "Mount SD card failed...");
    }
    if (!mounted) {
        g_vpsCtx.sdStatus.store(VPS_SD_RW_ERROR);
        return -1;
    }
    for (const char* dir : kMediaDirs) {
        std::error_code ec;
        std::filesystem::create_directories(board_path(dir), ec);
    }
    plr_trace_log(PLR_LOG_D, "SD Card Mount Success");
    return 0;
}

int PLR_VPS_SDUmount() {
    board_sd_umount();
    usleep(200 * 1000);
    return 0;
}

int PLR_VPS_UpdateSDStatus(uint32_t eventno) {
    switch (eventno) {
        case VPS_EVT_SD_EJECT:
            plr_trace_log(PLR_LOG_D, "SD Card Ejected.");
            // Nothing more can reach the card: the recording ends now.
            PLR_VPS_RecordAbort(VPS_SD_ERR_UNUSABLE);
            card_gone_for_logs();
            PLR_VPS_SDUmount();
            set_sd(VPS_SD_NONE, 0, 0);
            PLR_VPS_ResetFileID();
            break;
        case VPS_EVT_SD_INSERT:
            plr_trace_log(PLR_LOG_D, "SD Card Inserted.");
            if (g_vpsCtx.sdStatus.load() != VPS_SD_OK) {
                card_gone_for_logs();
                PLR_VPS_SDUmount();
                if (PLR_VPS_SDMount() != 0) {
                    set_sd(VPS_SD_RW_ERROR, 0, 0);
                    plr_trace_log(PLR_LOG_D, "SD Card Mount R/W ERROR.");
                } else if (!measure_card()) {
                    set_sd(VPS_SD_NONE, 0, 0);
                } else {
                    g_vpsCtx.sdStatus.store(VPS_SD_OK);
                    TRACE_LOG_SD_UPDATE(0);
                    TRACE_LOG_ForceStop(0);
                    // Recordings cut off on this card get their movie headers back.
                    PLR_MOV_RepairScan(kVideoDir);
                }
            }
            break;
        case VPS_EVT_SD_QUERY:
            // A recording in progress keeps the card busy: report the values as they are.
            if (PLR_VPS_RecState() == MOV_ST_RECORDING) break;
            plr_trace_log(PLR_LOG_D, "SD Card Query.");
            if (!measure_card()) {
                set_sd(VPS_SD_NONE, 0, 0);
                TRACE_LOG_SD_UPDATE(1);
                usleep(20 * 1000);
                board_sd_umount();
            }
            break;
        default:
            plr_trace_log(PLR_LOG_D, "Unkown SD Card Event.");
            return -1;
    }
    PLR_VPS_EvtNotify(eventno, static_cast<int32_t>(g_vpsCtx.sdStatus.load()),
                      static_cast<int32_t>(g_vpsCtx.sdTotalMB.load()),
                      static_cast<int32_t>(g_vpsCtx.sdFreeMB.load()), nullptr);
    return 0;
}

void PLR_VPS_SdFormatHandle() {
    plr_trace_logf(PLR_LOG_D, "%s Format SD card %d ", __func__, 818);
    const uint32_t status = g_vpsCtx.sdStatus.load();
    if (status == VPS_SD_FORMATTING) return;
    // Refused while busy, and with no card to format.
    if (PLR_VPS_RecState() != MOV_ST_IDLE || g_vpsCtx.snapBusy.load() != 0 ||
        !board_file_exists(kSdDevice)) {
        PLR_VPS_EvtNotify(VPS_EVT_SD_FORMAT, -1, -1, -1, nullptr);
        return;
    }
    PLR_VPS_EvtNotify(VPS_EVT_SD_FORMAT, 0, 0, -1, nullptr);
    g_vpsCtx.sdStatus.store(VPS_SD_FORMATTING);
    TRACE_LOG_SD_UPDATE(1);
    TRACE_LOG_ForceStop(1);
    usleep(20 * 1000);
    plr_trace_logf(PLR_LOG_D, "%s Formating SD card %d ", __func__, 835);
    board_sd_umount();
    usleep(200 * 1000);
    const int formatted = board_sd_format();
    board_mdev_scan();
    if (formatted != 0) {
        // The phone hears the failure instead of "finished".
        plr_trace_logf(PLR_LOG_E, "%s SD card format failed: %d", __func__, formatted);
        PLR_VPS_EvtNotify(VPS_EVT_SD_FORMAT, -1, -1, -1, nullptr);
    } else {
        plr_trace_log(PLR_LOG_D, "SD Card Format Finished.");
        PLR_VPS_EvtNotify(VPS_EVT_SD_FORMAT, 0, 1, -1, nullptr);
    }
    TRACE_LOG_ForceStop(0);
}

int PLR_VPS_GetSDAvail() {
    const uint32_t status = g_vpsCtx.sdStatus.load();
    const uint32_t total = g_vpsCtx.sdTotalMB.load();
    const uint32_t free = g_vpsCtx.sdFreeMB.load();
    plr_trace_logf(PLR_LOG_D, "SD Card status:%u total:%u (MB) free:%u (MB)", status, total, free);
    return status == VPS_SD_OK && free > PLR_SD_RESERVE_MB ? 1 : 0;
}

int PLR_VPS_GetSDError() {
    return g_vpsCtx.sdStatus.load() == VPS_SD_OK && g_vpsCtx.sdFreeMB.load() <= PLR_SD_RESERVE_MB
               ? VPS_SD_ERR_FULL
               : VPS_SD_ERR_UNUSABLE;
}

int32_t PLR_VPS_ParseThermal(const char* text) {
    if (text == nullptr || text[0] == '\0') return -1;
    return static_cast<int32_t>(atoi(text) / 100);
}

int PLR_VPS_Update_Thermal() {
    // A plain read of the thermal zone file.
    FILE* file = fopen(board_path("/sys/class/thermal/thermal_zone0/temp").c_str(), "re");
    if (file == nullptr) {
        plr_trace_logf(PLR_LOG_E, "%s(line=%d):popen error!", __func__, __LINE__);
        return -1;
    }
    char line[101] = {};
    const bool read = fgets(line, sizeof line, file) != nullptr;
    fclose(file);
    const int32_t tenths = read ? PLR_VPS_ParseThermal(line) : -1;
    if (tenths < 0) return -1;
    g_vpsCtx.socTemp.store(static_cast<uint32_t>(tenths));
    return 0;
}
