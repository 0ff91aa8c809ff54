#include "fw/fw_upload.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "board/board.h"
#include "core/ccl.h"
#include "core/led.h"
#include "core/trace_log.h"
#include "fs/fs_service.h"
#include "fw/fw_sets.h"
#include "fw/fw_signature.h"
#include "fw/fw_upgrade.h"
#include "mav/mav_input.h"
#include "mav/mav_link.h"

namespace {

constexpr uint8_t kResultOk = 0;
constexpr uint8_t kResultFailed = 4;
constexpr uint8_t kImageResultFailed = 3;
constexpr uint32_t kImageIdxPerMsg = 7;
constexpr size_t kWriteUnit = 32768;
constexpr size_t kWriteUnitsPerCall = 10;
constexpr int kMissingSettlePasses = 20;
constexpr int kMissingSettleMs = 50;
// The single image's missing list is sent again until every package has
// come, but not for ever: this long without a new package ends it.
constexpr auto kImageStall = std::chrono::seconds(30);

void sleep_ms(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

uint32_t get_u32le(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

uint32_t get_u32be(const uint8_t* p) {
    return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
           (static_cast<uint32_t>(p[2]) << 8) | static_cast<uint32_t>(p[3]);
}

// Text from the phone as one printable log word.
std::string printable(const uint8_t* bytes, size_t len) {
    std::vector<char> out(len * 4 + 1);
    MavlinkPrintableText(bytes, len, out.data(), out.size());
    return out.data();
}

std::string printable(const std::string& text) {
    return printable(reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

// ---- upgrade files ----

struct RecvFileInfo {
    uint8_t file_id = 0;
    uint32_t sys = FW_SYS_NONE;
    uint32_t value = 0;     // announced, not used
    uint32_t total = 0;     // packages
    std::string dir;        // destination directory (board path)
    std::string file_name;  // destination path (board path)
};

// The announcement and the MD5 check run on the phone link's receive thread,
// the data frames on the file service's request thread: g_uploadLock keeps
// them apart.
std::mutex g_uploadLock;
RecvFileInfo recv_file_info;
int recv_file_fd = -1;
std::vector<uint8_t> file_write_success;  // one byte per package
std::atomic<int> rename_status{0};        // 1 while or after the move thread runs
std::thread rename_Id;
std::atomic<bool> g_renameDone{false};
std::atomic<int> g_renameResult{0};
// A package could not be written (a full data partition): the file fails at
// its MD5 check instead of being listed as missing forever.
bool g_writeFailed = false;  // guarded by g_uploadLock

// Upload mode: only datagrams from the phone's address count, and the mode
// ends when the phone goes or sends nothing for a while.
std::mutex g_phoneLock;
bool g_phoneKnown = false;  // guarded by g_phoneLock
in_addr g_phoneAddr{};      // guarded by g_phoneLock
std::atomic<int64_t> g_lastUploadMs{0};

FwUploadParser g_parser;  // the file service's request thread only

void close_tmp_locked() {
    if (recv_file_fd >= 0) close(recv_file_fd);
    recv_file_fd = -1;
}

void join_rename() {
    if (rename_Id.joinable()) rename_Id.join();
}

// Puts the checked file in place and records it with its MD5: only then is it
// part of its board's set.
void fs_rename_precoss(uint32_t sys, std::string dir, std::string fileName, std::string md5) {
    const std::string hostDir = board_path(dir);
    if (mkdir(hostDir.c_str(), 0755) != 0 && errno != EEXIST) {
        PLR_TRACE(PLR_LOG_E, "mkdir %s failed: %s", dir.c_str(), strerror(errno));
    }
    std::error_code ec;
    std::filesystem::remove_all(board_path(fileName), ec);
    int rc = rename(board_path(FW_UPLOAD_TMP_FILE).c_str(), board_path(fileName).c_str());
    if (rc == 0) {
        fw_fsync_dir(hostDir);
        rc = fw_set_record(sys, fileName.substr(fileName.rfind('/') + 1), md5);
    }
    PLR_TRACE(PLR_LOG_D, "MD5 CHECK OK : %d!", rc);
    g_renameResult.store(rc);
    g_renameDone.store(true);
}

void send_index_lists(const std::vector<uint32_t>& missing, uint8_t opcode, uint8_t fileId) {
    for (size_t at = 0; at < missing.size(); at += FW_IDX_PER_MSG) {
        const size_t n = std::min(FW_IDX_PER_MSG, missing.size() - at);
        mavlink_file_transfer_protocol_t ftp{};
        ftp.target_network = opcode;
        ftp.target_system = static_cast<uint8_t>(4 * n);
        ftp.target_component = fileId;
        for (size_t i = 0; i < n; ++i) {
            const uint32_t v = missing[at + i];
            for (int b = 0; b < 4; ++b) ftp.payload[4 * i + b] = static_cast<uint8_t>(v >> (8 * b));
        }
        FsFileTransIdxSend(&ftp);
    }
}

// ---- the single image ----

struct Image {
    uint32_t size = 0;
    int64_t pkg_total = -1;
    uint32_t pkg_count = 0;
    std::vector<uint8_t> buf;
    std::vector<uint8_t> flags;
    char md5[33] = {};
    bool md5_got = false;
    int target = -1;
};

std::mutex g_imageLock;  // guards g_image and the check thread's handle
Image g_image;
std::atomic<int> image_state{FW_IMAGE_START};
// Bumped whenever the image is dropped: a check thread of an older image ends.
std::atomic<uint32_t> g_imageGen{0};
std::atomic<bool> g_checkStop{false};
std::thread g_checkThread;

void image_drop_locked() {
    g_image.buf = {};
    g_image.flags = {};
    g_image.size = 0;
    g_image.pkg_total = -1;
    g_image.pkg_count = 0;
    g_imageGen.fetch_add(1);
}

bool image_current(uint32_t gen) {
    return !g_checkStop.load() && g_imageGen.load() == gen;
}

void send_image_command(uint8_t sub, uint8_t target, uint8_t confirmation, const float* params,
                        size_t count) {
    mavlink_command_long_t cmd{};
    cmd.command = MAV_CMD_FIRMWARE_UPDATE;
    cmd.target_system = sub;
    cmd.target_component = target;
    cmd.confirmation = confirmation;
    float* p[7] = {&cmd.param1, &cmd.param2, &cmd.param3, &cmd.param4,
                   &cmd.param5, &cmd.param6, &cmd.param7};
    for (size_t i = 0; i < 7; ++i) *p[i] = i < count ? params[i] : FW_NO_INDEX;
    mavlink_pelora_command_long_send(&cmd);
}

void firmware_check_thread(uint8_t target, uint32_t gen) {
    firmware_set_update_step(2);
    // Ask for missing packages until all have arrived.
    uint32_t first = 0;
    size_t lastMissing = SIZE_MAX;
    auto lastProgress = std::chrono::steady_clock::now();
    for (;;) {
        std::vector<uint32_t> missing;
        {
            std::lock_guard lock(g_imageLock);
            if (!image_current(gen)) return;
            const auto total = static_cast<uint32_t>(g_image.pkg_total);
            while (first < total && g_image.flags[first] == 1) ++first;
            for (uint32_t i = first; i < total; ++i) {
                if (g_image.flags[i] != 1) missing.push_back(i);
            }
        }
        if (missing.empty()) break;
        if (missing.size() < lastMissing) {
            lastMissing = missing.size();
            lastProgress = std::chrono::steady_clock::now();
        } else if (std::chrono::steady_clock::now() - lastProgress > kImageStall) {
            PLR_TRACE(PLR_LOG_E, "image incomplete: %zu packages missing, none came for 30 s",
                      missing.size());
            {
                std::lock_guard lock(g_imageLock);
                if (image_current(gen)) image_drop_locked();
            }
            send_image_command(FIRMWARE_UPDATE_MD5, target, kImageResultFailed, nullptr, 0);
            return;
        }
        float params[kImageIdxPerMsg];
        size_t n = 0;
        for (uint32_t index : missing) {
            // A pass over a large image takes seconds: a new image or the
            // shutdown ends it between two messages.
            if (!image_current(gen)) return;
            params[n++] = static_cast<float>(index);
            if (n == kImageIdxPerMsg) {
                send_image_command(FIRMWARE_UPDATE_DATA, target, 0, params, n);
                n = 0;
                sleep_ms(1);
            }
        }
        if (n > 0) send_image_command(FIRMWARE_UPDATE_DATA, target, 0, params, n);
        for (int i = 0; i < 4 && image_current(gen); ++i) sleep_ms(50);
    }
    std::vector<uint8_t> buf;
    std::string want;
    int imageTarget = -1;
    {
        std::lock_guard lock(g_imageLock);
        if (!image_current(gen)) return;
        buf = std::move(g_image.buf);
        g_image.buf = {};
        g_image.flags = {};
        want = g_image.md5;
        imageTarget = g_image.target;
    }
    int result = kImageResultFailed;
    FILE* fp = fopen(board_path(FW_IMAGE_FILE).c_str(), "wb");
    if (fp == nullptr) {
        PLR_TRACE(PLR_LOG_E, "fp equal null!");
    } else {
        PLR_TRACE(PLR_LOG_D, "Open firmware success!!");
        const size_t written = PLR_FW_WriteFile(buf.data(), buf.size(), fp);
        fclose(fp);
        if (written < buf.size()) {
            PLR_TRACE(PLR_LOG_E, "Write file error.wrote %zu of %zu", written, buf.size());
        } else {
            board_sync();
            PLR_TRACE(PLR_LOG_D, "Firmware write success!!");
            char md5[33] = {};
            if (PLR_FW_GenFileMD5(board_path(FW_IMAGE_FILE).c_str(), md5, sizeof md5) != 0) {
                PLR_TRACE(PLR_LOG_E, "Gen md5sum failed!");
                PLR_TRACE(PLR_LOG_E, "check md5 failed");
            } else {
                PLR_TRACE(PLR_LOG_I, "checking md5 sum.");
                if (want != md5) {
                    PLR_TRACE(PLR_LOG_E, "check md5 failed %s update_MD5 %s", md5, want.c_str());
                } else {
                    PLR_TRACE(PLR_LOG_I, "check md5 ok");
                    result = 0;
                    image_state.store(FW_IMAGE_CHECKED);
                    firmware_set_update_step(3);
                }
            }
        }
    }
    buf = {};
    // The image is in place before the phone hears that it checked out.
    if (result == 0 && imageTarget == 0 &&
        rename(board_path(FW_IMAGE_FILE).c_str(), board_path(FW_IMAGE_INSTALL_FILE).c_str()) != 0) {
        PLR_TRACE(PLR_LOG_E, "move %s to %s failed", FW_IMAGE_FILE, FW_IMAGE_INSTALL_FILE);
        result = kImageResultFailed;
        image_state.store(FW_IMAGE_BEGUN);
        firmware_set_update_step(2);
    }
    send_image_command(FIRMWARE_UPDATE_MD5, target, static_cast<uint8_t>(result), nullptr, 0);
}

void image_data(const mavlink_file_transfer_protocol_t& ftp, size_t len) {
    if (len < 4) return;
    const uint32_t index = get_u32be(ftp.payload);
    std::lock_guard lock(g_imageLock);
    if (g_image.buf.empty()) {
        PLR_TRACE(PLR_LOG_D, "payload_data null recv the package id %u", index);
        return;
    }
    if (static_cast<int64_t>(index) >= g_image.pkg_total || image_state.load() > 2) {
        PLR_TRACE(PLR_LOG_D, "the package id is crossing,%u", index);
        return;
    }
    ++g_image.pkg_count;
    if (index == 0 || static_cast<int64_t>(index) == g_image.pkg_total - 1) {
        PLR_TRACE(PLR_LOG_D, "recv the package id %u", index);
    }
    const size_t at = static_cast<size_t>(index) * FW_IMAGE_PKG_SIZE;
    const size_t n = std::min({len - 4, size_t{FW_IMAGE_PKG_SIZE}, g_image.buf.size() - at});
    memcpy(g_image.buf.data() + at, ftp.payload + 4, n);
    g_image.flags[index] = 1;
}

int image_md5(const mavlink_file_transfer_protocol_t& ftp, size_t len) {
    PLR_TRACE(PLR_LOG_D, "FIRMWARE_UPDATE_MD5");
    std::unique_lock lock(g_imageLock);
    PLR_TRACE(PLR_LOG_D, "received total package %u", g_image.pkg_count);
    if (g_image.md5_got) {
        lock.unlock();
        mavlink_command_long_t cmd{};
        cmd.command = MAV_CMD_FIRMWARE_UPDATE;
        cmd.target_system = ftp.target_network;
        cmd.target_component = ftp.target_component;
        cmd.confirmation = image_state.load() > 2 ? kResultOk : kResultFailed;
        mavlink_pelora_command_long_send(&cmd);
        return 0;
    }
    if (g_image.buf.empty()) {
        PLR_TRACE(PLR_LOG_E, "image MD5 before the image was announced");
        return -1;
    }
    // 32 hexadecimal digits, compared in lower case.
    char md5[33] = {};
    for (size_t i = 0; i < 32; ++i) {
        const char c = i < len ? static_cast<char>(ftp.payload[i]) : '\0';
        if (!isxdigit(static_cast<unsigned char>(c))) {
            PLR_TRACE(PLR_LOG_E, "image MD5 refused: not 32 hexadecimal digits");
            return -1;
        }
        md5[i] = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    }
    memcpy(g_image.md5, md5, sizeof md5);
    g_image.md5_got = true;
    PLR_TRACE(PLR_LOG_D, "got MD5 %s", md5);
    const uint32_t gen = g_imageGen.load();
    std::thread old = std::move(g_checkThread);
    lock.unlock();
    if (old.joinable()) old.join();  // an older image's thread, which has ended or ends now
    std::thread next(firmware_check_thread, ftp.target_component, gen);
    lock.lock();
    g_checkThread = std::move(next);
    return -1;
}

int set_version(const mavlink_file_transfer_protocol_t& ftp, size_t len) {
    std::string version;
    const char* refusal = fw_version_refusal(ftp.payload, len, &version);
    mavlink_command_long_t cmd{};
    cmd.command = MAV_CMD_FIRMWARE_UPDATE;
    cmd.target_system = ftp.target_network;
    cmd.target_component = ftp.target_component;
    if (*refusal != '\0') {
        PLR_TRACE(PLR_LOG_E, "version text refused (%s): %s", refusal,
                  printable(ftp.payload, std::min(len, FW_VERSION_MAX)).c_str());
        cmd.confirmation = kResultFailed;
        mavlink_pelora_command_long_send(&cmd);
        return 0;
    }
    PLR_TRACE(PLR_LOG_D, "update set total ver is %s", version.c_str());
    const int rc = CclSetFileValue("PTotalVer", version.c_str());
    board_sync();
    CclReset();
    if (rc != 0) PLR_TRACE(PLR_LOG_E, "cannot write PTotalVer to %s", PLR_CONFIG_FILE);
    cmd.confirmation = rc == 0 ? kResultOk : kResultFailed;
    mavlink_pelora_command_long_send(&cmd);
    return 0;
}

void answer_transfer(const mavlink_file_transfer_protocol_t& ftp, int result) {
    mavlink_command_long_t cmd{};
    cmd.command = MAV_CMD_FIRMWARE_UPDATE;
    cmd.target_system = ftp.target_network;
    cmd.target_component = ftp.target_component;
    cmd.confirmation = static_cast<uint8_t>(result);
    mavlink_pelora_command_long_send(&cmd);
}

}  // namespace

// ---- upload frames on the file port ----

int Fs_Parse_Msg(uint8_t byte) {
    switch (fw_upload_parse_byte(&g_parser, byte)) {
        case FW_PARSE_FRAME:
            return 1;
        case FW_PARSE_BAD_LENGTH:
            PLR_TRACE(PLR_LOG_E, "msg_srv.len %d!", g_parser.len);
            return 0;
        case FW_PARSE_BAD_CKSUM:
            PLR_TRACE(PLR_LOG_E, "ck_sum_calc %x ck_sum_recv %02x%02x!", g_parser.cksum_calc,
                      g_parser.cksum[0], g_parser.cksum[1]);
            return 0;
        case FW_PARSE_MORE:
            break;
    }
    return 0;
}

void FsRxDataHandler(const uint8_t* data, size_t len, const sockaddr_in* from) {
    if (data == nullptr) return;
    // Datagrams of the process itself come without a sender; from the network
    // only the phone's count.
    if (from != nullptr) {
        std::lock_guard lock(g_phoneLock);
        if (!g_phoneKnown || from->sin_addr.s_addr != g_phoneAddr.s_addr) return;
    }
    g_lastUploadMs.store(PLR_MAV_NowMs());
    for (size_t i = 0; i < len; ++i) {
        if (Fs_Parse_Msg(data[i]) == 1 && g_parser.type == FW_UPLOAD_TYPE_DATA) {
            FsRecvFileDataProcess(g_parser.payload, g_parser.len);
        }
    }
}

int FsRecvFileNameProcess(const uint8_t* payload, size_t len, uint8_t fileId) {
    std::lock_guard lock(g_uploadLock);
    recv_file_info = RecvFileInfo{};
    PLR_TRACE(PLR_LOG_D, "recv FileName!");
    FwFileAnnounce a;
    if (fw_announce_decode(payload, len, &a) != 0) {
        PLR_TRACE(PLR_LOG_E, "file announcement refused: its name runs past its %zu bytes", len);
        return FW_ANNOUNCE_REFUSED;
    }
    if (a.sys != FW_SYS_VIDEO && a.sys != FW_SYS_FLYC && a.sys != FW_SYS_REPEATER &&
        a.sys != FW_SYS_GIMBAL) {
        PLR_TRACE(PLR_LOG_E, "file announcement refused: unknown system id %u", a.sys);
        return FW_ANNOUNCE_BAD_SYS;
    }
    if (const char* why = fw_name_refusal(a.name); *why != '\0') {
        PLR_TRACE(PLR_LOG_E, "file name refused (%s): %s", why, printable(a.name).c_str());
        return FW_ANNOUNCE_REFUSED;
    }
    if (a.packages == 0 || a.packages > fw_upload_packages_max(a.sys)) {
        PLR_TRACE(PLR_LOG_E,
                  "file announcement refused: %u packages (1 to %u: at most %llu bytes for board %u)",
                  a.packages, fw_upload_packages_max(a.sys),
                  static_cast<unsigned long long>(fw_file_size_max(a.sys)), a.sys);
        return FW_ANNOUNCE_REFUSED;
    }
    // The update engine takes only update.img: anything else would wait on
    // the board for ever.
    if (a.sys == FW_SYS_VIDEO && a.name != FW_VIDEO_IMAGE_NAME &&
        a.name != std::string(FW_VIDEO_IMAGE_NAME) + FW_SIG_SUFFIX) {
        PLR_TRACE(PLR_LOG_E, "file announcement refused: the video board's image is %s, not %s",
                  FW_VIDEO_IMAGE_NAME, printable(a.name).c_str());
        return FW_ANNOUNCE_REFUSED;
    }
    // A file still being moved into place finishes first: it renames the
    // temporary file that is about to be created anew.
    join_rename();
    rename_status.store(0);
    recv_file_info.total = a.packages;
    recv_file_info.sys = a.sys;
    g_writeFailed = false;
    g_lastUploadMs.store(PLR_MAV_NowMs());
    recv_file_info.value = a.value;
    recv_file_info.dir = PLR_FW_GetFwUerPath(a.sys);
    recv_file_info.file_name = recv_file_info.dir + "/" + a.name;
    close_tmp_locked();
    recv_file_fd =
        open(board_path(FW_UPLOAD_TMP_FILE).c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (recv_file_fd < 0) {
        PLR_TRACE(PLR_LOG_E, "create file:%s err!", FW_UPLOAD_TMP_FILE);
        recv_file_info = RecvFileInfo{};
        return FW_ANNOUNCE_NO_TMP;
    }
    recv_file_info.file_id = fileId;
    file_write_success.assign(a.packages, 0);
    PLR_TRACE(PLR_LOG_D, "recv FileName:%s OK!", recv_file_info.file_name.c_str());
    return FW_ANNOUNCE_OK;
}

void FsRecvFileDataProcess(const uint8_t* payload, size_t len) {
    if (payload == nullptr || len < FW_UPLOAD_DATA_HEADER_LEN) return;
    const uint32_t index = get_u32le(payload + 1);
    std::lock_guard lock(g_uploadLock);
    if (payload[0] != recv_file_info.file_id || file_write_success.empty()) return;
    if (index >= recv_file_info.total) {
        PLR_TRACE(PLR_LOG_E, "index[%u] err recv_file_info.total:%u!", index, recv_file_info.total);
        return;
    }
    if (recv_file_info.file_name.empty()) {
        PLR_TRACE(PLR_LOG_E, "recv_file_info.file_name err!");
        return;
    }
    if (recv_file_fd < 0) {
        PLR_TRACE(PLR_LOG_E, "fopen FILE[%s] err!", FW_UPLOAD_TMP_FILE);
        return;
    }
    if (file_write_success[index] == 1) return;
    const size_t n = len - FW_UPLOAD_DATA_HEADER_LEN;
    const auto offset = static_cast<off_t>(index) * static_cast<off_t>(FW_UPLOAD_PKG_SIZE);
    if (g_writeFailed) return;
    if (pwrite(recv_file_fd, payload + FW_UPLOAD_DATA_HEADER_LEN, n, offset) !=
        static_cast<ssize_t>(n)) {
        // Once: the file fails at its MD5 check.
        PLR_TRACE(PLR_LOG_E, "fwrite failed %s ", strerror(errno));
        g_writeFailed = true;
        return;
    }
    file_write_success[index] = 1;
}

int FsRecvFileMD5Process(const uint8_t* payload, size_t len, uint8_t opcode, uint8_t fileId) {
    if (payload == nullptr) return FW_MD5_BAD_FILE;
    std::vector<uint32_t> missing;
    // The check comes on the MAVLink link, the data on the file port: frames
    // still on their way are waited for while their number goes down, so
    // that only packages that were really lost are listed.
    size_t stable = 0;
    for (int pass = 0; pass < kMissingSettlePasses && stable < 2; ++pass) {
        if (pass > 0) sleep_ms(kMissingSettleMs);
        const size_t before = missing.size();
        missing.clear();
        std::lock_guard lock(g_uploadLock);
        if (rename_status.load() == 1) {
            if (!g_renameDone.load()) return FW_MD5_BUSY;
            join_rename();
            rename_status.store(0);
            if (g_renameResult.load() != 0) {
                PLR_TRACE(PLR_LOG_E, "move to %s failed", recv_file_info.file_name.c_str());
                return FW_MD5_NO_FILE;
            }
            return FW_MD5_OK;
        }
        if (fileId != recv_file_info.file_id || file_write_success.empty()) return FW_MD5_BAD_FILE;
        if (g_writeFailed) break;
        for (uint32_t i = 0; i < recv_file_info.total; ++i) {
            if (file_write_success[i] != 1) missing.push_back(i);
        }
        if (missing.empty()) break;
        stable = pass > 0 && missing.size() == before ? stable + 1 : 0;
    }
    if (!missing.empty()) {
        send_index_lists(missing, opcode, fileId);
        return FW_MD5_MISSING;
    }
    std::lock_guard lock(g_uploadLock);
    const std::string tmp = board_path(FW_UPLOAD_TMP_FILE);
    if (g_writeFailed) {
        PLR_TRACE(PLR_LOG_E, "%s not received: it could not be written",
                  recv_file_info.file_name.c_str());
        close_tmp_locked();
        file_write_success = {};
        unlink(tmp.c_str());
        return FW_MD5_NO_FILE;
    }
    // On the medium before it is renamed into place.
    if (recv_file_fd >= 0 && fsync(recv_file_fd) != 0) {
        PLR_TRACE(PLR_LOG_E, "fsync %s failed: %s", FW_UPLOAD_TMP_FILE, strerror(errno));
        close_tmp_locked();
        file_write_success = {};
        unlink(tmp.c_str());
        return FW_MD5_NO_FILE;
    }
    close_tmp_locked();
    file_write_success = {};
    if (!board_file_exists(FW_UPLOAD_TMP_FILE)) {
        PLR_TRACE(PLR_LOG_E, "file not exist!");
        return FW_MD5_NO_FILE;
    }
    char md5[33] = {};
    if (PLR_FW_GenFileMD5(tmp.c_str(), md5, sizeof md5) != 0) {
        PLR_TRACE(PLR_LOG_E, "calc file md5 err!");
        return FW_MD5_MISMATCH;
    }
    if (len < 32 || strncasecmp(md5, reinterpret_cast<const char*>(payload), 32) != 0) {
        PLR_TRACE(PLR_LOG_E, "calc_md5 not equal recv_md5!");
        unlink(tmp.c_str());
        return FW_MD5_MISMATCH;
    }
    rename_status.store(1);
    g_renameDone.store(false);
    join_rename();
    rename_Id = std::thread(fs_rename_precoss, recv_file_info.sys, recv_file_info.dir,
                            recv_file_info.file_name, std::string(md5));
    return FW_MD5_BUSY;
}

int FsFileTransIdxSend(const mavlink_file_transfer_protocol_t* ftp) {
    if (ftp == nullptr) return -1;
    mavlink_message_t msg;
    mavlink_msg_file_transfer_protocol_pack(mavlink_sysid(MAV_BOARD_VIDEO, MAV_BOARD_PHONE), 0,
                                            PLR_MAV_NextSeq(), ftp, &msg);
    return PLR_MAV_SendMessage(&msg);
}

// ---- transfer messages ----

int mavlink_file_transfer_handler(const mavlink_message_t* msg) {
    mavlink_file_transfer_protocol_t ftp{};
    if (msg == nullptr || mavlink_msg_file_transfer_protocol_decode(msg, &ftp) != 0) return -1;
    const size_t len = std::min<size_t>(ftp.target_system, MAVLINK_FTP_PAYLOAD_LEN);
    switch (ftp.target_network) {
        case FIRMWARE_UPDATE_FILE_BEGIN: {
            PLR_TRACE(PLR_LOG_D, "FIRMWARE_UPDATE_FILE_BEGIN");
            PLR_FW_UploadNoteActivity();
            const int result = FsRecvFileNameProcess(ftp.payload, len, ftp.target_component);
            answer_transfer(ftp, result);
            if (result == FW_ANNOUNCE_OK) PLR_SYS_LED_Flush(PLR_LED_FAST_BLINK);
            return 0;
        }
        case FIRMWARE_UPDATE_FILE_MD5: {
            PLR_TRACE(PLR_LOG_D, "FIRMWARE_UPDATE_FILE_MD5");
            PLR_FW_UploadNoteActivity();
            const int result =
                FsRecvFileMD5Process(ftp.payload, len, ftp.target_network, ftp.target_component);
            PLR_FW_UploadNoteActivity();
            if (result == FW_MD5_MISSING || result == FW_MD5_BUSY) return -1;
            answer_transfer(ftp, result);
            if (result == FW_MD5_OK && PLR_SYS_LED_GET_Flush() == PLR_LED_FAST_BLINK) {
                PLR_SYS_LED_Flush(PLR_LED_ON);
            }
            return 0;
        }
        case FIRMWARE_UPDATE_DATA:
            image_data(ftp, len);
            return -1;
        case FIRMWARE_UPDATE_MD5:
            return image_md5(ftp, len);
        case FIRMWARE_UPDATE_VERSION:
            return set_version(ftp, len);
        default:
            PLR_TRACE(PLR_LOG_D, "Unkown cmd %d", ftp.target_network);
            return -1;
    }
}

// ---- the single image's records ----

void PLR_FW_ImageReset() {
    std::lock_guard lock(g_imageLock);
    image_drop_locked();
    g_image.md5_got = false;
}

int PLR_FW_ImageBegin(uint8_t target, float sizeParam) {
    std::lock_guard lock(g_imageLock);
    image_drop_locked();
    g_image.target = target;
    g_image.md5_got = false;
    memset(g_image.md5, 0, sizeof g_image.md5);
    if (target != 0) return 0;
    // A single image carries no signature: with a key it is never taken.
    if (fw_signature_required()) {
        PLR_TRACE(PLR_LOG_E, "single image refused: the board takes only signed firmware files");
        return -1;
    }
    if (!std::isfinite(sizeParam) || sizeParam < 1 ||
        sizeParam > static_cast<float>(FW_IMAGE_SIZE_MAX) || sizeParam != std::floor(sizeParam)) {
        PLR_TRACE(PLR_LOG_E, "image size %g refused (1 to %u bytes)",
                  static_cast<double>(sizeParam), FW_IMAGE_SIZE_MAX);
        return -1;
    }
    g_image.size = static_cast<uint32_t>(sizeParam);
    g_image.pkg_total = static_cast<int64_t>(fw_div_ceil(g_image.size, FW_IMAGE_PKG_SIZE));
    g_image.flags.assign(static_cast<size_t>(g_image.pkg_total), 0);
    g_image.buf.assign(g_image.size, 0);
    PLR_TRACE(PLR_LOG_D, "file_size: %u,total_package_num:%lld", g_image.size,
              static_cast<long long>(g_image.pkg_total));
    return 0;
}

int PLR_FW_GetImageState() {
    return image_state.load();
}

void PLR_FW_SetImageState(int state) {
    image_state.store(state);
}

size_t PLR_FW_WriteFile(const uint8_t* buffer, size_t length, FILE* fp) {
    if (buffer == nullptr || fp == nullptr) return 0;
    size_t written = 0;
    const size_t whole = length - length % kWriteUnit;
    while (written < whole) {
        const size_t units = std::min(kWriteUnitsPerCall, (whole - written) / kWriteUnit);
        const size_t n = fwrite(buffer + written, kWriteUnit, units, fp);
        fflush(fp);
        written += n * kWriteUnit;
        if (n != units) return written;
        sleep_ms(6);
    }
    if (length > whole) {
        written += fwrite(buffer + whole, 1, length - whole, fp);
        fflush(fp);
    }
    return written;
}

// ---- upload mode ----

void PLR_FW_UploadModeOn(const in_addr* phone) {
    {
        std::lock_guard lock(g_phoneLock);
        g_phoneKnown = phone != nullptr;
        if (phone != nullptr) g_phoneAddr = *phone;
    }
    g_parser = FwUploadParser{};
    g_lastUploadMs.store(PLR_MAV_NowMs());
    FsSetFwFileTransFlag(1);
}

void PLR_FW_UploadModeOff() {
    FsSetFwFileTransFlag(0);
    std::lock_guard lock(g_phoneLock);
    g_phoneKnown = false;
}

void PLR_FW_UploadNoteActivity() {
    g_lastUploadMs.store(PLR_MAV_NowMs());
}

void PLR_FW_UploadWatch(int64_t nowMs) {
    if (FsGetFwFileTransFlag() == 0) return;
    const bool gone = MavlinkContext.ConnState.load() == MAV_CONN_NONE;
    const bool idle = nowMs - g_lastUploadMs.load() >= FW_UPLOAD_IDLE_MS;
    if (!gone && !idle) return;
    PLR_TRACE(PLR_LOG_E, "upload mode ended: %s",
              gone ? "the phone has gone" : "no upload data for 10 s");
    PLR_FW_UploadModeOff();
    if (PLR_SYS_LED_GET_Flush() == PLR_LED_FAST_BLINK) PLR_SYS_LED_Flush(PLR_LED_ON);
}

// ---- life cycle ----

void PLR_FW_UploadInit() {
    {
        std::lock_guard lock(g_uploadLock);
        recv_file_info = RecvFileInfo{};
        close_tmp_locked();
        file_write_success = {};
        rename_status.store(0);
        g_writeFailed = false;
    }
    {
        std::lock_guard lock(g_phoneLock);
        g_phoneKnown = false;
    }
    g_parser = FwUploadParser{};
    g_checkStop.store(false);
    image_state.store(FW_IMAGE_START);
    std::lock_guard lock(g_imageLock);
    image_drop_locked();
    g_image.md5_got = false;
    g_image.target = -1;
}

void PLR_FW_UploadDeinit() {
    g_checkStop.store(true);
    std::thread check;
    {
        std::lock_guard lock(g_imageLock);
        check = std::move(g_checkThread);
        image_drop_locked();
    }
    if (check.joinable()) check.join();
    std::lock_guard lock(g_uploadLock);
    join_rename();
    close_tmp_locked();
    file_write_success = {};
}
