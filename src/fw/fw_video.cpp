#include "fw/fw_video.h"

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <sstream>
#include <string>

#include "board/board.h"
#include "core/led.h"
#include "core/trace_log.h"
#include "fw/fw_sets.h"
#include "fw/fw_upgrade.h"
#include "fw/fw_wire.h"

namespace {

constexpr const char* kCardDir = "/tmp/SD0/videofw";
constexpr const char* kHanded = "handed";
constexpr const char* kInstalled = "installed";
constexpr const char* kFailed = "failed";
constexpr int kResultFailed = 1;

struct InstallRecord {
    std::string md5;
    int source = FW_SOURCE_NONE;
    int attempt = 0;
    std::string state;
};

std::atomic<bool> g_retry{false};
std::atomic<int> g_proven{FW_SOURCE_NONE};

InstallRecord load_record() {
    InstallRecord r;
    std::istringstream in(fw_load_text(FW_INSTALL_RECORD));
    in >> r.md5 >> r.source >> r.attempt >> r.state;
    return r;
}

int store_record(const InstallRecord& r) {
    return fw_store_text(FW_INSTALL_RECORD, r.md5 + " " + std::to_string(r.source) + " " +
                                                std::to_string(r.attempt) + " " + r.state + "\n");
}

void remove_record() {
    std::error_code ec;
    std::filesystem::remove(board_path(FW_INSTALL_RECORD), ec);
}

std::string user_dir() {
    return PLR_FW_GetFwUerPath(FW_SYS_VIDEO);
}

std::string user_image() {
    return user_dir() + "/" + FW_VIDEO_IMAGE_NAME;
}

std::string file_md5(const std::string& boardPath) {
    char md5[33] = {};
    if (!board_file_exists(boardPath) ||
        PLR_FW_GenFileMD5(board_path(boardPath).c_str(), md5, sizeof md5) != 0)
        return {};
    return md5;
}

// The data-partition image still has the MD5 it was received or copied with.
bool user_image_verifies() {
    const std::string want = fw_set_md5(FW_SYS_VIDEO, FW_VIDEO_IMAGE_NAME);
    return !want.empty() && file_md5(user_image()) == want;
}

// Copies one file of the card's videofw into the data partition: through a
// temporary file, synced, renamed into place, and recorded only when the copy
// has the card file's MD5.
int copy_verified(const std::string& name) {
    const std::string from = std::string(kCardDir) + "/" + name;
    const std::string to = user_dir() + "/" + name;
    const std::string tmp = user_dir() + ".part";
    const std::string want = file_md5(from);
    std::error_code ec;
    std::filesystem::copy_file(board_path(from), board_path(tmp),
                               std::filesystem::copy_options::overwrite_existing, ec);
    if (ec || want.empty()) {
        PLR_TRACE(PLR_LOG_E, "copy %s failed: %s", from.c_str(),
                  ec ? ec.message().c_str() : "cannot be read");
        std::filesystem::remove(board_path(tmp), ec);
        return -1;
    }
    if (FILE* fp = fopen(board_path(tmp).c_str(), "rb+"); fp != nullptr) {
        fflush(fp);
        fsync(fileno(fp));
        fclose(fp);
    }
    if (file_md5(tmp) != want) {
        PLR_TRACE(PLR_LOG_E, "copy of %s differs from the card's: not installed", from.c_str());
        std::filesystem::remove(board_path(tmp), ec);
        return -1;
    }
    std::filesystem::rename(board_path(tmp), board_path(to), ec);
    if (ec || fw_set_record(FW_SYS_VIDEO, name, want) != 0) {
        PLR_TRACE(PLR_LOG_E, "cannot put %s in place", to.c_str());
        return -1;
    }
    return 0;
}

// The card's image (and its signature) into the data partition. The card is
// marked as installed from before the attempt, so that neither a success nor
// a failure repeats at every start while the card stays in.
int take_card_image(const UpgradeCtx* ctx) {
    fw_card_mark(FW_SYS_VIDEO, fw_dir_digest(kCardDir));
    std::error_code ec;
    std::filesystem::remove_all(board_path(user_dir()), ec);
    fw_set_forget(FW_SYS_VIDEO);
    std::filesystem::create_directories(board_path(user_dir()), ec);
    if (copy_verified(FW_VIDEO_IMAGE_NAME) != 0) return -1;
    const std::string sig = std::string(FW_VIDEO_IMAGE_NAME) + FW_SIG_SUFFIX;
    if (board_file_exists(std::string(kCardDir) + "/" + sig) && copy_verified(sig) != 0) return -1;
    board_sync();
    // Only now, with the copy verified, may the card's copy go.
    if (ctx->remove_sd_files.load() != 0) PLR_FW_RemoveFiles(kCardDir);
    return 0;
}

// The failure stays on record until the phone has been told of it, through
// any number of restarts.
void record_failure(InstallRecord r) {
    if (r.md5.empty()) r.md5 = "-";
    r.state = kFailed;
    store_record(r);
    firmware_clear_update_step();
    fw_set_unseal(FW_SYS_VIDEO);
}

int fail(const char* why, const InstallRecord& r) {
    PLR_TRACE(PLR_LOG_E, "PLANE VIDEO upgrade failed: %s", why);
    record_failure(r);
    g_retry.store(false);
    PLR_FW_ReportFailure(kResultFailed);
    return -1;
}

}  // namespace

int PLR_FW_VideoStartUp() {
    g_retry.store(false);
    g_proven.store(FW_SOURCE_NONE);
    const InstallRecord r = load_record();
    if (firmware_get_update_step() != FW_IMAGE_RESTARTED) {
        if (r.state == kFailed) return -1;
        remove_record();  // a record without its step is from an earlier, finished run
        return 0;
    }
    if (r.state == kInstalled) {
        PLR_TRACE(PLR_LOG_D, "PLANE VIDEO image installed before the restart");
        g_proven.store(r.source);
        // Only the installed image goes: a newer one uploaded since stays.
        if (file_md5(user_image()) == r.md5) {
            PLR_FW_RemoveFiles(user_dir().c_str());
            fw_set_forget(FW_SYS_VIDEO);
        }
        return 0;
    }
    if (std::max(r.attempt, 1) < FW_INSTALL_ATTEMPTS && user_image_verifies()) {
        PLR_TRACE(PLR_LOG_E, "PLANE VIDEO install not proven before the restart: installing again");
        g_retry.store(true);
        return 1;
    }
    PLR_TRACE(PLR_LOG_E, "PLANE VIDEO install not proven before the restart: upgrade failed");
    record_failure(r);
    return -1;
}

bool PLR_FW_VideoPending() {
    if (g_retry.load() || fw_set_sealed(FW_SYS_VIDEO)) return true;
    if (fw_set_has_uploads(FW_SYS_VIDEO)) {
        if (board_file_exists(kCardDir))
            PLR_TRACE(PLR_LOG_D, "PLANE VIDEO card image left alone: the phone's upload waits");
        return false;
    }
    const std::string card = std::string(kCardDir) + "/" + FW_VIDEO_IMAGE_NAME;
    if (!board_file_exists(card)) return false;
    if (fw_card_marked(FW_SYS_VIDEO, fw_dir_digest(kCardDir))) {
        PLR_TRACE(PLR_LOG_D, "PLANE VIDEO card image already installed from this card");
        return false;
    }
    return true;
}

int PLR_FW_VideoUpgrade(UpgradeCtx* ctx) {
    if (ctx == nullptr || ctx->upgrading_sys.load() != FW_SYS_VIDEO) return -1;
    ctx->step.store(1);
    firmware_set_update_step(1);
    InstallRecord r;
    if (g_retry.load()) {
        const InstallRecord last = load_record();
        r.source = last.source != FW_SOURCE_NONE ? last.source : FW_SOURCE_UPLOAD;
        r.attempt = std::max(last.attempt, 1) + 1;
    } else if (fw_set_sealed(FW_SYS_VIDEO)) {
        r.source = FW_SOURCE_UPLOAD;
        r.attempt = 1;
        // The phone's choice: the card's image is not installed over it later.
        if (board_file_exists(kCardDir)) fw_card_mark(FW_SYS_VIDEO, fw_dir_digest(kCardDir));
    } else {
        r.source = FW_SOURCE_CARD;
        r.attempt = 1;
        if (take_card_image(ctx) != 0) return fail("the card image could not be copied whole", r);
    }
    FwSetFiles set;
    std::string why;
    if (fw_set_check(FW_SYS_VIDEO, user_dir(), true, &set, &why) != 0) return fail(why.c_str(), r);
    if (set.files.size() != 1 || set.files[0] != board_path(user_image())) {
        return fail("the image must be update.img, alone", r);
    }
    r.md5 = set.md5s[0];
    r.state = kHanded;
    if (store_record(r) != 0) return fail("cannot write the install record", r);
    firmware_set_update_step(FW_IMAGE_RESTARTED);
    board_sync();
    if (board_update_engine() != 0) {
        PLR_SYS_LED_Flush(PLR_LED_SLOW_BLINK);
        return fail("the update engine failed", r);
    }
    // The proof, before the reboot: the next start confirms this install.
    r.state = kInstalled;
    store_record(r);
    g_retry.store(false);
    PLR_SYS_LED_Flush(PLR_LED_SLOW_BLINK);
    board_reboot();
    return 0;
}

int PLR_FW_VideoProvenSource() {
    return g_proven.load();
}

void PLR_FW_VideoTold() {
    g_proven.store(FW_SOURCE_NONE);
    firmware_clear_update_step();
    remove_record();
}
