#include "fw/fw_sets.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <sstream>

#include "board/board.h"
#include "core/trace_log.h"
#include "fw/fw_ctx.h"
#include "fw/fw_signature.h"
#include "fw/fw_upgrade.h"
#include "fw/fw_wire.h"

namespace {

constexpr const char* kSealed = "sealed";
// The upload's move thread, the phone's commands, the upgrade thread and the
// main loop all change the records: one at a time.
std::mutex g_setsLock;
constexpr const char* kOpen = "open";

struct SetRecord {
    bool sealed = false;
    std::vector<std::pair<std::string, std::string>> files;  // name, MD5
};

std::string dir_name(uint32_t sys) {
    const std::string user = PLR_FW_GetFwUerPath(sys);
    return user.substr(user.rfind('/') + 1);
}

std::string record_path(uint32_t sys) {
    return std::string(FW_SETS_DIR) + "/" + dir_name(sys);
}

std::string card_mark_path(uint32_t sys) {
    return record_path(sys) + ".card";
}

SetRecord load(uint32_t sys) {
    SetRecord r;
    if (PLR_FW_GetFwUerPath(sys).empty()) return r;
    std::istringstream in(fw_load_text(record_path(sys)));
    std::string line;
    if (std::getline(in, line)) r.sealed = line == kSealed;
    while (std::getline(in, line)) {
        const size_t space = line.find(' ');
        if (space == std::string::npos) continue;
        r.files.emplace_back(line.substr(space + 1), line.substr(0, space));
    }
    return r;
}

int store(uint32_t sys, const SetRecord& r) {
    std::string text = std::string(r.sealed ? kSealed : kOpen) + "\n";
    for (const auto& [name, md5] : r.files) text += md5 + " " + name + "\n";
    return fw_store_text(record_path(sys), text);
}

bool ends_with(const std::string& s, const std::string& tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

std::string base_name(const std::string& path) {
    return path.substr(path.rfind('/') + 1);
}

}  // namespace

int fw_fsync_dir(const std::string& hostDir) {
    const int fd = open(hostDir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return -1;
    const int rc = fsync(fd);
    close(fd);
    return rc;
}

int fw_store_text(const std::string& path, const std::string& text) {
    const std::string host = board_path(path);
    const std::string tmp = host + ".new";
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(host).parent_path(), ec);
    const int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return -1;
    const bool written = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    const bool synced = fsync(fd) == 0;
    close(fd);
    if (!written || !synced || rename(tmp.c_str(), host.c_str()) != 0) {
        PLR_TRACE(PLR_LOG_E, "cannot store %s: %s", path.c_str(), strerror(errno));
        unlink(tmp.c_str());
        return -1;
    }
    fw_fsync_dir(std::filesystem::path(host).parent_path().string());
    return 0;
}

std::string fw_load_text(const std::string& path) {
    std::ifstream in(board_path(path), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

int fw_set_record(uint32_t sys, const std::string& name, const std::string& md5) {
    std::lock_guard lock(g_setsLock);
    if (PLR_FW_GetFwUerPath(sys).empty()) return -1;
    SetRecord r = load(sys);
    r.sealed = false;
    std::erase_if(r.files, [&](const auto& f) { return f.first == name; });
    r.files.emplace_back(name, md5);
    return store(sys, r);
}

void fw_set_seal_all() {
    std::lock_guard lock(g_setsLock);
    for (uint32_t sys : {FW_SYS_VIDEO, FW_SYS_FLYC, FW_SYS_GIMBAL, FW_SYS_REPEATER}) {
        SetRecord r = load(sys);
        if (r.files.empty() || r.sealed) continue;
        r.sealed = true;
        store(sys, r);
    }
}

void fw_set_unseal(uint32_t sys) {
    std::lock_guard lock(g_setsLock);
    SetRecord r = load(sys);
    if (!r.sealed) return;
    r.sealed = false;
    store(sys, r);
}

bool fw_set_sealed(uint32_t sys) {
    std::lock_guard lock(g_setsLock);
    const SetRecord r = load(sys);
    return r.sealed && !r.files.empty();
}

bool fw_set_has_uploads(uint32_t sys) {
    std::lock_guard lock(g_setsLock);
    return !load(sys).files.empty();
}

void fw_set_forget(uint32_t sys) {
    std::lock_guard lock(g_setsLock);
    if (PLR_FW_GetFwUerPath(sys).empty()) return;
    unlink(board_path(record_path(sys)).c_str());
}

std::string fw_set_md5(uint32_t sys, const std::string& name) {
    std::lock_guard lock(g_setsLock);
    for (const auto& [n, md5] : load(sys).files) {
        if (n == name) return md5;
    }
    return {};
}

int fw_set_check(uint32_t sys, const std::string& dir, bool recorded, FwSetFiles* out,
                 std::string* why) {
    *out = FwSetFiles{};
    std::vector<std::string> all;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(board_path(dir), ec)) {
        if (entry.is_regular_file(ec)) all.push_back(entry.path().string());
    }
    std::sort(all.begin(), all.end());
    SetRecord record;
    if (recorded) {
        std::lock_guard lock(g_setsLock);
        record = load(sys);
    }
    if (recorded) {
        for (const auto& [name, md5] : record.files) {
            if (std::find(all.begin(), all.end(), board_path(dir + "/" + name)) == all.end()) {
                *why = "recorded file " + name + " is missing";
                return -1;
            }
        }
    }
    for (const std::string& f : all) {
        const std::string name = base_name(f);
        char md5[33] = {};
        if (PLR_FW_GenFileMD5(f.c_str(), md5, sizeof md5) != 0) {
            *why = name + " cannot be read";
            return -1;
        }
        if (recorded) {
            const auto it = std::find_if(record.files.begin(), record.files.end(),
                                         [&](const auto& r) { return r.first == name; });
            if (it == record.files.end()) {
                *why = name + " was not received whole";
                return -1;
            }
            if (it->second != md5) {
                *why = name + " no longer has the MD5 it was received with";
                return -1;
            }
        }
        if (ends_with(name, FW_SIG_SUFFIX)) continue;
        struct stat st {};
        if (stat(f.c_str(), &st) != 0 || st.st_size <= 0 ||
            static_cast<uint64_t>(st.st_size) > fw_file_size_max(sys)) {
            *why = name + " is empty or larger than the board's limit";
            return -1;
        }
        if (std::string sigWhy; fw_signature_check(f, &sigWhy) != 0) {
            *why = name + ": " + sigWhy;
            return -1;
        }
        out->files.push_back(f);
        out->md5s.emplace_back(md5);
        out->digest += md5;
    }
    if (out->files.empty()) {
        *why = "no firmware file";
        return -1;
    }
    return 0;
}

void fw_card_mark(uint32_t sys, const std::string& digest) {
    std::lock_guard lock(g_setsLock);
    if (!PLR_FW_GetFwUerPath(sys).empty()) fw_store_text(card_mark_path(sys), digest);
}

bool fw_card_marked(uint32_t sys, const std::string& digest) {
    std::lock_guard lock(g_setsLock);
    return !digest.empty() && fw_load_text(card_mark_path(sys)) == digest;
}

void fw_card_forget(uint32_t sys) {
    std::lock_guard lock(g_setsLock);
    if (!PLR_FW_GetFwUerPath(sys).empty()) unlink(board_path(card_mark_path(sys)).c_str());
}

std::string fw_dir_digest(const std::string& dir) {
    std::vector<std::string> all;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(board_path(dir), ec)) {
        if (entry.is_regular_file(ec)) all.push_back(entry.path().string());
    }
    if (ec) return {};
    std::sort(all.begin(), all.end());
    std::string digest = "set\n";  // an empty directory is a set too
    for (const std::string& f : all) {
        char md5[33] = {};
        if (PLR_FW_GenFileMD5(f.c_str(), md5, sizeof md5) != 0) continue;
        digest += base_name(f) + " " + md5 + "\n";
    }
    return digest;
}
