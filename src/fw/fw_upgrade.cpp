#include "fw/fw_upgrade.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <thread>
#include <vector>

extern "C" {
#include <libavutil/md5.h>
#include <libavutil/mem.h>
}

#include "board/board.h"
#include "core/ccl.h"
#include "core/led.h"
#include "core/trace_log.h"
#include "fs/fs_service.h"
#include "fw/fw_sets.h"
#include "fw/fw_transfer.h"
#include "fw/fw_upload.h"
#include "fw/fw_video.h"
#include "mav/mav_link.h"

UpgradeCtx g_UpgradeCtx;

namespace {

struct FwSystemRow {
    uint32_t id;
    const char* dir;   // directory name on the card and on the data partition
    const char* word;  // the board's word in log lines
};

// The upgrade order.
constexpr FwSystemRow kSystems[] = {
    {FW_SYS_VIDEO, "videofw", "PLANE VIDEO"},
    {FW_SYS_FLYC, "flyctrolfw", "PLANE FLYC"},
    {FW_SYS_GIMBAL, "gimbalfw", "PLANE GIMBAL"},
    {FW_SYS_REPEATER, "repeatorfw", "PLANE REPEATOR"},
};

constexpr char kStepLetters[] = "PBTMRES";
constexpr const char* kCardRoot = "/tmp/SD0/";
constexpr const char* kUserRoot = "/userdata/";
constexpr int kResultFailed = 1;

std::mutex g_threadLock;  // guards g_upgradeThread and the start of an upgrade
std::thread g_upgradeThread;
std::atomic<bool> g_running{false};
// The last failure reported since the phone's FILE_RESTART: a status query
// answers with it, so a failure is never read as a finished upgrade.
std::atomic<int> g_lastResult{0};
// Where the last installed firmware came from (FwImageSource), for the status report.
std::atomic<int> g_lastSource{FW_SOURCE_NONE};
std::atomic<uint8_t> g_flightLinkStatus{0};
// The card's firmware directories seen during this run (bit per system): one
// seen and then gone means the card was taken out.
std::atomic<uint32_t> g_cardSeen{0};

const FwSystemRow* find_system(uint32_t id) {
    for (const FwSystemRow& row : kSystems) {
        if (row.id == id) return &row;
    }
    return nullptr;
}

const char* command_name(uint8_t sub) {
    switch (sub) {
        case FIRMWARE_UPDATE_PREPARE:
            return "FIRMWARE_UPDATE_PREPARE";
        case FIRMWARE_UPDATE_BEGIN:
            return "FIRMWARE_UPDATE_BEGIN";
        case FIRMWARE_UPDATE_RESTART:
            return "FIRMWARE_UPDATE_RESTART";
        case FIRMWARE_UPDATE_END:
            return "FIRMWARE_UPDATE_END";
        case FIRMWARE_UPDATE_FILE_PREPARE:
            return "FIRMWARE_UPDATE_FILE_PREPARE";
        case FIRMWARE_UPDATE_FILE_RESTART:
            return "FIRMWARE_UPDATE_FILE_RESTART";
        case FIRMWARE_UPDATE_FILE_END:
            return "FIRMWARE_UPDATE_FILE_END";
        case FIRMWARE_UPDATE_FILE_UPGRADE_STATUS:
            return "FIRMWARE_UPDATE_FILE_UPGRADE_STATUS";
        case FIRMWARE_UPDATE_FILE_CLEAN:
            return "FIRMWARE_UPDATE_FILE_CLEAN";
        default:
            return "FIRMWARE_UPDATE_UNKNOWN";
    }
}

int progress_percent(UpgradeCtx* ctx) {
    std::lock_guard lock(ctx->upgrade_lock);
    if (ctx->pkg_total == 0) return 0;
    return static_cast<int>(100ULL * ctx->pkg_cur / ctx->pkg_total);
}

std::string card_dir(uint32_t sys) {
    const FwSystemRow* row = find_system(sys);
    return row != nullptr ? std::string(kCardRoot) + row->dir : std::string();
}

// A board other than the video board has firmware to install: its complete
// upload, or with no upload of it waiting, a card set not yet installed from
// this card.
bool board_pending(uint32_t sys) {
    if (fw_set_sealed(sys)) return true;
    if (fw_set_has_uploads(sys)) return false;
    const std::string card = card_dir(sys);
    return board_file_exists(card) && !fw_card_marked(sys, fw_dir_digest(card));
}

// A board's install failed: the phone's files stay for a retry with its next
// FILE_RESTART, and are not retried at power-on.
void board_failed(uint32_t sys, bool fromCard, const std::string& why) {
    PLR_TRACE(PLR_LOG_E, "Upgrade %u failed: %s", sys, why.c_str());
    if (!fromCard) fw_set_unseal(sys);
}

void PLR_FW_Upgrade(UpgradeCtx* ctx) {
    const uint32_t sys = ctx->upgrading_sys.load();
    PLR_TRACE(PLR_LOG_D, "Upgrade %u start!!", sys);
    bool handedOff = false;  // the video image went to the update engine
    if (sys == FW_SYS_VIDEO) {
        handedOff = PLR_FW_VideoUpgrade(ctx) == 0;
    } else {
        const bool fromCard = !fw_set_sealed(sys);
        const std::string dir = fromCard ? card_dir(sys) : PLR_FW_GetFwUerPath(sys);
        PLR_TRACE(PLR_LOG_D, "Upgrade %u from %s", sys, dir.c_str());
        // A card set counts as tried from here on, whatever the outcome; with
        // the phone's set installed instead, the card's is not put over it.
        if (board_file_exists(card_dir(sys))) fw_card_mark(sys, fw_dir_digest(card_dir(sys)));
        FwSetFiles all;
        std::string why;
        int rc = fw_set_check(sys, dir, !fromCard, &all, &why);
        FwSetFiles set = all;
        if (rc != 0) {
            PLR_TRACE(PLR_LOG_E, "NO FW file Exist!! (%s)", why.c_str());
            PLR_FW_ReportFailure(kResultFailed);
        } else if (sys == FW_SYS_REPEATER && PLR_FW_ImageCheck(set.files) != 0) {
            why = "the checksum file does not match";
            PLR_TRACE(PLR_LOG_E, "FW file check failed!!");
            PLR_FW_ReportFailure(kResultFailed);
            rc = -1;
        } else {
            // The checked MD5s of the files left after the repeater's check
            // file: the transfer refuses a file that changed since.
            std::vector<std::string> md5s;
            for (const std::string& f : set.files) {
                const auto at = std::find(all.files.begin(), all.files.end(), f);
                md5s.push_back(all.md5s[static_cast<size_t>(at - all.files.begin())]);
            }
            rc = PLR_FW_BoardTransfer(*ctx, sys, set.files, &md5s);
            // The transfer has reported its failure itself.
            if (rc != 0) {
                g_lastResult.store(kResultFailed);
                why = "the transfer failed";
            }
        }
        PLR_FW_ClearUpgradeSys(sys);
        if (rc == 0) {
            if (fromCard) {
                if (g_UpgradeCtx.remove_sd_files.load() != 0) PLR_FW_RemoveFiles(dir.c_str());
            } else {
                PLR_FW_RemoveFiles(dir.c_str());
                fw_set_forget(sys);
            }
            g_lastSource.store(fromCard ? FW_SOURCE_CARD : FW_SOURCE_UPLOAD);
            PLR_FW_Send_Upgrade_Status(0, 100);
        } else {
            board_failed(sys, fromCard, why);
        }
    }
    PLR_FW_ClearUpgradeSys(sys);
    PLR_TRACE(PLR_LOG_D, "Upgrade %u complete!!", sys);
    // A board whose image went to the update engine stays "upgrading" until
    // the reboot, so that no other board starts meanwhile.
    if (!handedOff) ctx->upgrading_sys.store(FW_SYS_NONE);
}

// The IPv4 address of the phone link's peer. 0, or -1 when there is none.
int phone_address(in_addr* out) {
    sockaddr_in peer{};
    socklen_t len = sizeof peer;
    const int fd = MavlinkContext.HBConnFd.load();
    if (fd < 0 || getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &len) != 0 ||
        peer.sin_family != AF_INET)
        return -1;
    *out = peer.sin_addr;
    return 0;
}

int gen_md5(const char* hostPath, char* out, size_t size) {
    FILE* fp = fopen(hostPath, "rb");
    if (fp == nullptr) return -1;
    AVMD5* md5 = av_md5_alloc();
    if (md5 == nullptr) {
        fclose(fp);
        return -1;
    }
    av_md5_init(md5);
    std::vector<uint8_t> buf(65536);
    size_t n = 0;
    while ((n = fread(buf.data(), 1, buf.size(), fp)) > 0) av_md5_update(md5, buf.data(), n);
    const bool failed = ferror(fp) != 0;
    fclose(fp);
    uint8_t digest[16];
    av_md5_final(md5, digest);
    av_free(md5);
    if (failed) return -1;
    memset(out, 0, size);
    for (size_t i = 0; i < sizeof digest; ++i) {
        snprintf(out + 2 * i, size - 2 * i, "%02x", static_cast<unsigned>(digest[i]));
    }
    return 0;
}

}  // namespace

// ---- paths and the pending mask ----

std::string PLR_FW_GetFwUerPath(uint32_t sys) {
    const FwSystemRow* row = find_system(sys);
    return row != nullptr ? std::string(kUserRoot) + row->dir : std::string();
}

std::string PLR_FW_GetFwPath(uint32_t sys) {
    const FwSystemRow* row = find_system(sys);
    if (row == nullptr) return {};
    const std::string card = std::string(kCardRoot) + row->dir;
    return board_file_exists(card) ? card : PLR_FW_GetFwUerPath(sys);
}

uint32_t PLR_FW_GetUpgradeSys() {
    const uint32_t mask = g_UpgradeCtx.pending_mask.load();
    for (const FwSystemRow& row : kSystems) {
        if ((mask & (1U << row.id)) != 0) return row.id;
    }
    return FW_SYS_NONE;
}

void PLR_FW_ClearUpgradeSys(uint32_t sys) {
    if (sys < 32) g_UpgradeCtx.pending_mask.fetch_and(~(1U << sys));
}

uint32_t PLR_FW_GetUpgradingSys() {
    return g_UpgradeCtx.upgrading_sys.load();
}

int PLR_FW_RemoveFiles(const char* path) {
    if (path == nullptr || *path == '\0') return -1;
    std::error_code ec;
    std::filesystem::remove_all(board_path(path), ec);
    if (ec) {
        PLR_TRACE(PLR_LOG_E, "remove %s failed: %s", path, ec.message().c_str());
        return -1;
    }
    return 0;
}

void PLR_FW_UpgradeCheck() {
    // With "factory.bin" on the card, the card keeps its firmware copies.
    const bool removeCard = !board_file_exists(FW_FACTORY_MARK);
    g_UpgradeCtx.remove_sd_files.store(removeCard ? 1 : 0);
    if (removeCard) PLR_TRACE(PLR_LOG_D, "Remove upgrade files after upgrade complete!!!");
    for (uint32_t sys : {FW_SYS_VIDEO, FW_SYS_GIMBAL, FW_SYS_FLYC, FW_SYS_REPEATER}) {
        const FwSystemRow* row = find_system(sys);
        if (sys == FW_SYS_VIDEO ? PLR_FW_VideoPending() : board_pending(sys)) {
            g_UpgradeCtx.pending_mask.fetch_or(1U << sys);
            PLR_TRACE(PLR_LOG_D, "%s need upgrade!!!", row->word);
        } else if (fw_set_has_uploads(sys) && !fw_set_sealed(sys)) {
            PLR_TRACE(PLR_LOG_D, "%s files wait for the phone's FILE_RESTART", row->word);
        }
    }
}

void PLR_FW_UpgradeWatch(int64_t nowMs) {
    PLR_FW_UploadWatch(nowMs);
    for (const FwSystemRow& row : kSystems) {
        const uint32_t bit = 1U << row.id;
        if (board_file_exists(card_dir(row.id))) {
            g_cardSeen.fetch_or(bit);
        } else if ((g_cardSeen.fetch_and(~bit) & bit) != 0) {
            fw_card_forget(row.id);
        }
    }
}

void PLR_FW_SetFlightLinkStatus(uint8_t status) {
    g_flightLinkStatus.store(status);
}

int PLR_FW_UpgradeTrigger() {
    PLR_FW_UpgradeWatch(PLR_MAV_NowMs());
    const uint32_t mask = g_UpgradeCtx.pending_mask.load();
    if (mask == 0) return 0;
    PLR_TRACE(PLR_LOG_D, "Upgrading %u ,all %u", g_UpgradeCtx.upgrading_sys.load(), mask);
    std::lock_guard lock(g_threadLock);
    if (!g_running.load() || g_UpgradeCtx.upgrading_sys.load() != FW_SYS_NONE) return 0;
    const uint32_t sys = PLR_FW_GetUpgradeSys();
    if (sys == FW_SYS_NONE) {
        PLR_TRACE(PLR_LOG_D, "No system need upgrade,exit!!!");
        return -1;
    }
    // The previous upgrade thread has ended: it set FW_SYS_NONE last.
    if (g_upgradeThread.joinable()) g_upgradeThread.join();
    g_UpgradeCtx.upgrading_sys.store(sys);
    g_upgradeThread = std::thread(PLR_FW_Upgrade, &g_UpgradeCtx);
    return 0;
}

// ---- step record ----

int firmware_set_update_step(int step) {
    const char letter = step >= 0 && step <= 6 ? kStepLetters[step] : 'U';
    FILE* fp = fopen(board_path(FW_STEP_FILE).c_str(), "wb");
    if (fp == nullptr) {
        PLR_TRACE(PLR_LOG_E, "firmware_set_update_step open file error %s", FW_STEP_FILE);
        return -1;
    }
    fputc(letter, fp);
    fclose(fp);
    PLR_TRACE(PLR_LOG_D, "firmware_set_update_step %d", step);
    return 0;
}

int firmware_get_update_step() {
    FILE* fp = fopen(board_path(FW_STEP_FILE).c_str(), "rb");
    if (fp == nullptr) {
        PLR_TRACE(PLR_LOG_E, "firmware_get_update_step open file error %s", FW_STEP_FILE);
        return FW_STEP_NONE;
    }
    const int c = fgetc(fp);
    fclose(fp);
    int step = 0;
    for (int i = 1; kStepLetters[i] != '\0'; ++i) {
        if (c == kStepLetters[i]) step = i;
    }
    PLR_TRACE(PLR_LOG_D, "firmware_get_update_step %d", step);
    return step;
}

int firmware_clear_update_step() {
    if (unlink(board_path(FW_STEP_FILE).c_str()) != 0 && errno != ENOENT) return -1;
    return 0;
}

// ---- reports and answers ----

void PLR_FW_ReportFailure(int result) {
    g_lastResult.store(result);
    PLR_FW_Send_Upgrade_Status(result, 0);
}

int PLR_FW_Send_Upgrade_Status(int result, int progress) {
    mavlink_command_long_t cmd{};
    cmd.command = MAV_CMD_FIRMWARE_UPDATE;
    cmd.param1 = static_cast<float>(result);
    cmd.param2 = static_cast<float>(progress);
    cmd.param3 = static_cast<float>(g_UpgradeCtx.pending_mask.load());
    cmd.param4 = static_cast<float>(g_lastSource.load());
    cmd.target_system = FW_STATUS_REPORT;
    cmd.target_component = static_cast<uint8_t>(g_UpgradeCtx.upgrading_sys.load());
    cmd.confirmation = static_cast<uint8_t>(g_UpgradeCtx.step.load());
    return mavlink_pelora_command_long_send(&cmd);
}

void PLR_FW_AnswerCommand(const mavlink_command_long_t* cmd, uint8_t confirmation) {
    if (cmd == nullptr) return;
    mavlink_command_long_t back = *cmd;
    back.confirmation = confirmation;
    mavlink_pelora_command_long_send(&back);
}

void PLR_FW_SetVersionFactory() {
    PLR_TRACE(PLR_LOG_D, "update set total ver is %s", FW_FACTORY_VERSION);
    if (CclSetFileValue("PTotalVer", FW_FACTORY_VERSION) != 0) {
        PLR_TRACE(PLR_LOG_E, "cannot write PTotalVer to %s", PLR_CONFIG_FILE);
    }
    board_sync();
    CclReset();
    mavlink_command_long_t cmd{};
    cmd.command = MAV_CMD_FIRMWARE_UPDATE;
    cmd.target_system = FIRMWARE_UPDATE_VERSION;
    mavlink_pelora_command_long_send(&cmd);
}

int PLR_FW_GenFileMD5(const char* path, char* out, size_t size) {
    if (path == nullptr || out == nullptr || size < 33) return -1;
    if (gen_md5(path, out, size) != 0) {
        PLR_TRACE(PLR_LOG_E, "fp equal null!");
        return -1;
    }
    PLR_TRACE(PLR_LOG_D, "Gen Md5 %s", out);
    return 0;
}

// ---- the phone's commands ----

int firmware_update_command_handler(const mavlink_command_long_t* cmd) {
    if (cmd == nullptr) return -1;
    const uint8_t sub = cmd->target_system;
    in_addr phoneAddr{};
    PLR_TRACE(PLR_LOG_D, "%s", command_name(sub));
    switch (sub) {
        case FIRMWARE_UPDATE_PREPARE:
            firmware_set_update_step(0);
            PLR_FW_ImageReset();
            PLR_FW_SetImageState(FW_IMAGE_PREPARED);
            PLR_FW_AnswerCommand(cmd, 0);
            break;
        case FIRMWARE_UPDATE_BEGIN: {
            PLR_TRACE(PLR_LOG_D, "MAV_CMD_FIRMWARE_UPDATE_BEGIN %d", cmd->target_component);
            if (PLR_FW_ImageBegin(cmd->target_component, cmd->param1) != 0) {
                PLR_FW_AnswerCommand(cmd, 4);
                break;
            }
            PLR_FW_SetImageState(FW_IMAGE_BEGUN);
            firmware_set_update_step(1);
            PLR_FW_AnswerCommand(cmd, 0);
            break;
        }
        case FIRMWARE_UPDATE_RESTART: {
            PLR_TRACE(PLR_LOG_D, "FIRMWARE_UPDATE_RESTART %d", cmd->target_component);
            if (firmware_get_update_step() == FW_IMAGE_CHECKED) {
                PLR_TRACE(PLR_LOG_D, "MAV_CMD_FIRMWARE_UPDATE_RESTART %d", cmd->target_component);
                if (!board_file_exists(FW_IMAGE_INSTALL_FILE)) {
                    PLR_TRACE(PLR_LOG_E, "AmbaSysFW.bin not exist !!");
                    PLR_FW_AnswerCommand(cmd, 4);
                } else {
                    PLR_FW_SetImageState(FW_IMAGE_RESTARTED);
                    firmware_set_update_step(4);
                }
            }
            if (PLR_FW_GetImageState() == FW_IMAGE_START &&
                firmware_get_update_step() == FW_IMAGE_RESTARTED) {
                PLR_FW_AnswerCommand(cmd, 0);
                PLR_TRACE(PLR_LOG_D, "VIDEO RESTART SUCCESS !!");
            }
            break;
        }
        case FIRMWARE_UPDATE_END:
            PLR_TRACE(PLR_LOG_D, "FIRMWARE_UPDATE_END %d", cmd->target_component);
            if (firmware_get_update_step() == FW_IMAGE_RESTARTED) {
                PLR_FW_SetImageState(FW_IMAGE_ENDED);
                firmware_clear_update_step();
                PLR_FW_AnswerCommand(cmd, 0);
            } else if (PLR_FW_GetImageState() == FW_IMAGE_ENDED) {
                PLR_FW_ImageReset();
                PLR_FW_AnswerCommand(cmd, 0);
            } else {
                PLR_FW_AnswerCommand(cmd, 4);
            }
            break;
        case FIRMWARE_UPDATE_FILE_PREPARE:
            PLR_FW_UploadModeOn(phone_address(&phoneAddr) == 0 ? &phoneAddr : nullptr);
            PLR_FW_AnswerCommand(cmd, 0);
            break;
        case FIRMWARE_UPDATE_FILE_RESTART:
            if (const uint8_t link = g_flightLinkStatus.load(); link == 4 || link == 5) {
                PLR_TRACE(PLR_LOG_E, "FILE_RESTART refused: the flight controller is bound (%u)",
                          link);
                PLR_FW_AnswerCommand(cmd, 4);
                break;
            }
            PLR_FW_AnswerCommand(cmd, 0);
            g_lastResult.store(0);
            g_lastSource.store(FW_SOURCE_NONE);
            // What the phone uploaded so far is complete.
            fw_set_seal_all();
            PLR_FW_UpgradeCheck();
            // The first pending board (the video board itself included) starts
            // at once on the upgrade thread.
            PLR_FW_UpgradeTrigger();
            break;
        case FIRMWARE_UPDATE_FILE_END:
            PLR_FW_UploadModeOff();
            if (PLR_SYS_LED_GET_Flush() == PLR_LED_FAST_BLINK) PLR_SYS_LED_Flush(PLR_LED_ON);
            PLR_FW_AnswerCommand(cmd, 0);
            break;
        case FIRMWARE_UPDATE_FILE_UPGRADE_STATUS: {
            if (g_UpgradeCtx.upgrading_sys.load() == FW_SYS_VIDEO) break;
            // "Video upgraded" only on the update engine's recorded success.
            if (const int source = PLR_FW_VideoProvenSource(); source != FW_SOURCE_NONE) {
                mavlink_command_long_t back = *cmd;
                back.target_component = FW_SYS_VIDEO;
                back.param1 = 0;
                back.param3 = static_cast<float>(g_UpgradeCtx.pending_mask.load());
                back.param4 = static_cast<float>(source);
                PLR_FW_AnswerCommand(&back, 5);
                PLR_FW_VideoTold();
                PLR_TRACE(PLR_LOG_D, "FIRMWARE_UPDATE_FILE_UPGRADE_STATUS:PLANE_VIDEO UPGRADE OK");
                break;
            }
            PLR_FW_Send_Upgrade_Status(g_lastResult.load(), progress_percent(&g_UpgradeCtx));
            // A failure of the video board's own install has now been told.
            if (g_lastResult.load() != 0) PLR_FW_VideoTold();
            break;
        }
        case FIRMWARE_UPDATE_FILE_CLEAN:
            for (const FwSystemRow& row : kSystems) {
                PLR_FW_RemoveFiles(PLR_FW_GetFwUerPath(row.id).c_str());
                fw_set_forget(row.id);
            }
            board_sync();
            PLR_FW_AnswerCommand(cmd, 0);
            break;
        default:
            PLR_TRACE(PLR_LOG_D, "%s unhandled cmd %d", "firmware_update_command_handler", sub);
            break;
    }
    return 0;
}

// ---- life cycle ----

int PLR_FW_UpgradeInit() {
    UpgradeCtx& c = g_UpgradeCtx;
    c.upgrading_sys.store(FW_SYS_NONE);
    c.pending_mask.store(0);
    c.step.store(0);
    {
        std::lock_guard lock(c.upgrade_lock);
        c.pkg_total = 0;
        c.file_size = 0;
        c.pkg_cur = 0;
        c.pkg_buf.clear();
        memset(c.file_md5, 0, sizeof c.file_md5);
    }
    c.remove_sd_files.store(0);
    g_lastResult.store(0);
    g_lastSource.store(FW_SOURCE_NONE);
    g_cardSeen.store(0);
    g_running.store(true);
    PLR_FW_TransferReset();
    PLR_FW_UploadInit();
    FsSetUploadHandler(FsRxDataHandler);
    // An install the last run could not prove is reported at the first query.
    if (PLR_FW_VideoStartUp() < 0) g_lastResult.store(kResultFailed);
    PLR_FW_UpgradeCheck();
    PLR_TRACE(PLR_LOG_D, "%s: complete!!", "PLR_FW_UpgradeInit");
    return 0;
}

int PLR_FW_UpgradeDeinit() {
    std::thread thread;
    {
        std::lock_guard lock(g_threadLock);
        g_running.store(false);
        thread = std::move(g_upgradeThread);
    }
    // A transfer waiting for a board's answer ends at once.
    PLR_FW_TransferStop();
    if (thread.joinable()) thread.join();
    FsClearUploadHandler();
    PLR_FW_UploadDeinit();
    PLR_FW_UploadModeOff();
    g_UpgradeCtx.upgrading_sys.store(FW_SYS_NONE);
    return 0;
}
