#include "fw/fw_transfer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "core/trace_log.h"
#include "mav/mav_link.h"
#include "mav/mavlink_frame.h"
#include "mav/uart_link.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint8_t kSysidBase = 32;  // system id of a message to board n: 32 + n
constexpr uint8_t kOpPackage = 2;   // transfer message opcodes
constexpr uint8_t kOpMd5 = 3;
constexpr uint32_t kPullProgressEvery = 20;   // packages between progress reports
constexpr uint32_t kBatchProgressEvery = 80;  // (repeater)
constexpr size_t kBatchBytes = 20000;         // a batch is written once it is longer
constexpr size_t kCksTextMax = 200;           // MD5 texts checked by "cks"
constexpr size_t kCksReadMax = 200;
constexpr char kCksName[] = "cks";
// Result reported to the phone when the target fell silent or the transfer
// was stopped (a refused step reports the target's own result).
constexpr int kResultFailed = 4;

static_assert(FW_PKG_SIZE <= MAVLINK_FTP_PAYLOAD_LEN);

// Bounds and links: set by tests before a transfer, read by both threads.
std::mutex g_configLock;
FwTransferBounds g_bounds;
const FwTransferLinks kRealLinks{uart_mavlink_send, PLR_MAV_SendMessage, PLR_MAV_Sendbuffer,
                                 PLR_FW_Send_Upgrade_Status, PLR_FW_SetVersionFactory};
FwTransferLinks g_links = kRealLinks;

std::atomic<bool> g_stop{false};
std::atomic<uint8_t> g_seq{0};

// What the upgrade thread and the receive thread share beyond the context's
// fields; guarded by upgrade_lock like pkg_cur.
struct TransferState {
    uint32_t awaiting = FW_STEP_NONE;  // step whose answer the upgrade thread waits for
    uint32_t acked = FW_STEP_NONE;     // step acknowledged since that request
    uint32_t answers = 0;              // every answer of the target (its sign of life)
    uint32_t refusals = 0;             // negative answers to the awaited step
    int last_refusal = 0;
    uint32_t next = 0;         // package whose acknowledgement is awaited (pulling boards)
    bool all_acked = false;    // the last package was acknowledged
    uint32_t batch_done = 0;   // repeater: packages of the files already sent
    uint32_t batch_total = 0;  // repeater: packages of all files
};
TransferState g_state;

FwTransferBounds bounds() {
    std::lock_guard l(g_configLock);
    return g_bounds;
}

FwTransferLinks links() {
    std::lock_guard l(g_configLock);
    return g_links;
}

// The flight controller and the gimbal pull their packages by acknowledging
// each; the repeater receives them in batches.
bool pulls(uint32_t sys) {
    return sys == FW_SYS_FLYC || sys == FW_SYS_GIMBAL;
}

int route(uint8_t target, const mavlink_message_t* msg) {
    const FwTransferLinks l = links();
    return target == FW_SYS_REPEATER ? l.net_send(msg) : l.uart_send(msg);
}

void put_be32(uint8_t* at, uint32_t v) {
    at[0] = static_cast<uint8_t>(v >> 24);
    at[1] = static_cast<uint8_t>(v >> 16);
    at[2] = static_cast<uint8_t>(v >> 8);
    at[3] = static_cast<uint8_t>(v);
}

// Bytes of file data in package `index` of the current file.
uint32_t valid_length(const UpgradeCtx& ctx, uint32_t index) {
    if (index + 1 < ctx.pkg_total) return FW_PKG_DATA_SIZE;
    const uint32_t rest = ctx.file_size % FW_PKG_DATA_SIZE;
    return rest == 0 ? FW_PKG_DATA_SIZE : rest;
}

// Packs package `index` as a transfer message to `target`. Under upgrade_lock;
// false for an index outside the packages.
bool pack_package(const UpgradeCtx& ctx, uint8_t target, uint32_t index, mavlink_message_t* msg) {
    if (index >= ctx.pkg_total ||
        ctx.pkg_buf.size() < (static_cast<size_t>(index) + 1) * FW_PKG_SIZE)
        return false;
    mavlink_file_transfer_protocol_t ftp{};
    ftp.target_network = kOpPackage;
    ftp.target_system = static_cast<uint8_t>(valid_length(ctx, index) + 4);
    std::memcpy(ftp.payload, ctx.pkg_buf.data() + static_cast<size_t>(index) * FW_PKG_SIZE,
                FW_PKG_SIZE);
    mavlink_msg_file_transfer_protocol_pack(static_cast<uint8_t>(kSysidBase + target), 0,
                                            g_seq.fetch_add(1), &ftp, msg);
    return true;
}

uint32_t ceil_packages(uint64_t size) {
    return static_cast<uint32_t>((size + FW_PKG_DATA_SIZE - 1) / FW_PKG_DATA_SIZE);
}

// Percent of the current file the target has acknowledged (pulling boards).
int pull_progress(const UpgradeCtx& ctx) {
    if (ctx.pkg_total == 0) return 0;
    return static_cast<int>(100ULL * ctx.pkg_cur / ctx.pkg_total);
}

// A package index carried in a float parameter; false for anything that is
// not a whole number from 0 to 2^32 - 1.
bool param_index(float p, uint32_t* index) {
    if (!std::isfinite(p) || p < 0.0F || p >= FW_NO_INDEX || p != std::floor(p)) return false;
    *index = static_cast<uint32_t>(p);
    return true;
}

// The target acknowledged step `s`: the step becomes current and the waiting
// upgrade thread wakes.
void acknowledge(UpgradeCtx& ctx, uint32_t s) {
    ctx.step.store(s);
    {
        std::lock_guard l(ctx.upgrade_lock);
        g_state.acked = s;
    }
    ctx.upgrade_cond.notify_all();
}

// Ends a board's upgrade: the log line and the failure report to the phone.
int fail_board(int result, int progress, const char* what) {
    PLR_TRACE(PLR_LOG_E, "Upgrade board %u failed: %s", g_UpgradeCtx.upgrading_sys.load(), what);
    links().report_status(result != 0 ? result : kResultFailed, progress);
    return -1;
}

// Outcome of a wait: 0 done; otherwise the result to report.
struct WaitResult {
    int result = 0;
    const char* why = "";
};

// Sends a step's message every `interval` ms until the target acknowledges
// step `wanted`. Fails when the target refused it more than max_refusals
// times, when nothing at all came from the target for `silence` ms, or on a
// stop request.
WaitResult wait_step(UpgradeCtx& ctx, uint32_t wanted, const std::function<void()>& send,
                     uint32_t interval, uint32_t silence) {
    const FwTransferBounds b = bounds();
    std::unique_lock l(ctx.upgrade_lock);
    g_state.awaiting = wanted;
    g_state.acked = FW_STEP_NONE;
    g_state.refusals = 0;
    uint32_t seen = g_state.answers;
    Clock::time_point lastLife = Clock::now();
    for (uint32_t sent = 0;; ++sent) {
        if (g_stop.load()) return {kResultFailed, "stopped"};
        // Answers that never acknowledge the step (a target asking for the
        // same packages forever) end it too.
        if (sent >= b.max_repeats) return {kResultFailed, "step never acknowledged"};
        l.unlock();
        send();
        l.lock();
        ctx.upgrade_cond.wait_until(l, Clock::now() + std::chrono::milliseconds(interval),
                                    [&] { return g_stop.load() || g_state.acked == wanted; });
        if (g_state.acked == wanted) return {};
        const Clock::time_point now = Clock::now();
        if (g_state.answers != seen) {
            seen = g_state.answers;
            lastLife = now;
        }
        if (g_state.refusals > b.max_refusals) return {g_state.last_refusal, "step refused"};
        if (now - lastLife >= std::chrono::milliseconds(silence))
            return {kResultFailed, "no answer from the board"};
    }
}

// Waits `ms` unless a stop request comes first. False when stopped.
bool pause_ms(UpgradeCtx& ctx, uint32_t ms) {
    std::unique_lock l(ctx.upgrade_lock);
    return !ctx.upgrade_cond.wait_for(l, std::chrono::milliseconds(ms),
                                      [] { return g_stop.load(); });
}

// The pulling boards: the target's acknowledgements move the packages on (the
// receive thread sends each next one); this thread only watches. A package
// whose acknowledgement does not come within the repeat interval is sent
// again; silence beyond the bound fails.
WaitResult wait_packages(UpgradeCtx& ctx) {
    const FwTransferBounds b = bounds();
    const uint8_t target = static_cast<uint8_t>(ctx.upgrading_sys.load());
    std::unique_lock l(ctx.upgrade_lock);
    uint32_t seen = g_state.answers;
    Clock::time_point lastLife = Clock::now();
    uint32_t resent = 0;
    uint32_t resentIndex = FW_STEP_NONE;
    for (;;) {
        ctx.upgrade_cond.wait_until(l, Clock::now() + std::chrono::milliseconds(b.repeat_ms),
                                    [] { return g_stop.load() || g_state.all_acked; });
        if (g_state.all_acked) return {};
        if (g_stop.load()) return {kResultFailed, "stopped"};
        const Clock::time_point now = Clock::now();
        if (g_state.refusals > b.max_refusals) return {g_state.last_refusal, "package refused"};
        if (g_state.answers != seen) {
            seen = g_state.answers;
            lastLife = now;
            continue;
        }
        if (now - lastLife >= std::chrono::milliseconds(b.silence_ms))
            return {kResultFailed, "no answer from the board"};
        mavlink_message_t msg;
        const uint32_t index = g_state.next;
        resent = index == resentIndex ? resent + 1 : 1;
        resentIndex = index;
        if (resent > b.max_resends) return {kResultFailed, "package never acknowledged"};
        if (!pack_package(ctx, target, index, &msg)) continue;
        l.unlock();
        PLR_TRACE(PLR_LOG_D, "Upgrade resend package %u", index);
        route(target, &msg);
        l.lock();
    }
}

// The repeater: every package in batches, then the MD5 until it matches.
WaitResult send_batches(UpgradeCtx& ctx) {
    const FwTransferBounds b = bounds();
    uint32_t done = 0;
    uint32_t total = 0;
    {
        std::lock_guard l(ctx.upgrade_lock);
        done = g_state.batch_done;
        total = g_state.batch_total != 0 ? g_state.batch_total : ctx.pkg_total;
    }
    std::vector<uint8_t> batch;
    batch.reserve(kBatchBytes + MAVLINK_MAX_PACKET_LEN);
    uint8_t lastLength = 0;
    for (uint32_t i = 0; i < ctx.pkg_total; ++i) {
        mavlink_message_t msg;
        {
            std::lock_guard l(ctx.upgrade_lock);
            if (!pack_package(ctx, FW_SYS_REPEATER, i, &msg)) break;
        }
        lastLength = mavlink_get_u8(&msg, 1);
        if (i % kBatchProgressEvery == 0)
            links().report_status(0, static_cast<int>(100ULL * (done + i) / total));
        const size_t at = batch.size();
        batch.resize(at + MAVLINK_MAX_PACKET_LEN);
        const int n = mavlink_msg_to_send_buffer(std::span(batch).subspan(at), &msg);
        batch.resize(at + static_cast<size_t>(std::max(n, 0)));
        if (batch.size() > kBatchBytes || i + 1 == ctx.pkg_total) {
            links().net_send_buffer(batch.data(), batch.size());
            batch.clear();
            if (!pause_ms(ctx, b.batch_gap_ms)) return {kResultFailed, "stopped"};
        }
    }
    PLR_TRACE(PLR_LOG_D, "MD5 checksum is %s", ctx.file_md5);
    // The MD5 message's length field keeps the last package's value, as the
    // repeater has always received it; the 32 digits and the NUL follow.
    std::array<uint8_t, sizeof ctx.file_md5> md5{};
    std::memcpy(md5.data(), ctx.file_md5, md5.size());
    return wait_step(
        ctx, FIRMWARE_UPDATE_MD5,
        [&] { PLR_FW_SendPackage(FW_SYS_REPEATER, kOpMd5, lastLength, md5.data(), md5.size()); },
        b.repeat_ms, b.silence_ms);
}

WaitResult send_file(UpgradeCtx& ctx) {
    const FwTransferBounds b = bounds();
    const uint32_t sys = ctx.upgrading_sys.load();
    const float size = static_cast<float>(ctx.file_size);
    WaitResult w = wait_step(
        ctx, FIRMWARE_UPDATE_BEGIN,
        [&] {
            PLR_FW_SendCmdLong(static_cast<uint8_t>(sys), FIRMWARE_UPDATE_BEGIN, size, 0, 0, 0, 0,
                               0, 0);
        },
        b.repeat_ms, b.silence_ms);
    if (w.result != 0) return w;
    if (!pulls(sys)) return send_batches(ctx);
    w = wait_packages(ctx);
    if (w.result == 0) PLR_TRACE(PLR_LOG_D, "Upgrade Send Packages Complete!");
    return w;
}

// A package answer from a pulling board: the next package goes out at once.
// (Nothing is logged or sent while the lock is held.)
void pull_answer(UpgradeCtx& ctx, const mavlink_command_long_t* cmd) {
    const uint8_t target = static_cast<uint8_t>(ctx.upgrading_sys.load());
    const int r = cmd->confirmation;
    enum class Outcome { Outside, Stale, Refused, Next, Last } outcome = Outcome::Outside;
    uint32_t index = 0;
    uint32_t awaited = 0;
    uint32_t total = 0;
    mavlink_message_t msg;
    bool send = false;
    int progress = -1;
    {
        std::lock_guard l(ctx.upgrade_lock);
        awaited = g_state.next;
        total = ctx.pkg_total;
        if (g_state.awaiting != FIRMWARE_UPDATE_DATA) {
            outcome = Outcome::Outside;
        } else if (r != 0) {
            // A refused package goes out again (the refusals are bounded).
            outcome = Outcome::Refused;
            send = pack_package(ctx, target, g_state.next, &msg);
            progress = pull_progress(ctx);
        } else if (!param_index(cmd->param1, &index) || index != g_state.next) {
            outcome = Outcome::Stale;
        } else {
            ctx.pkg_cur = index;
            if (index + 1 >= ctx.pkg_total) {
                g_state.all_acked = true;
                outcome = Outcome::Last;
            } else {
                outcome = Outcome::Next;
                g_state.next = index + 1;
                send = pack_package(ctx, target, g_state.next, &msg);
                if (index % kPullProgressEvery == 0) progress = pull_progress(ctx);
            }
        }
    }
    switch (outcome) {
        case Outcome::Outside:
            PLR_TRACE(PLR_LOG_D, "Upgrade package answer outside the transfer ignored");
            return;
        case Outcome::Stale:
            PLR_TRACE(PLR_LOG_D, "Upgrade package answer %.0f ignored, waiting for %u",
                      static_cast<double>(cmd->param1), awaited);
            return;
        case Outcome::Last:
            PLR_TRACE(PLR_LOG_D, "Upgrade cur Package id %u,%u", index, total);
            ctx.upgrade_cond.notify_all();
            links().report_status(r, 100);
            return;
        case Outcome::Next:
            PLR_TRACE(PLR_LOG_D, "Upgrade cur Package id %u,%u", index, total);
            break;
        case Outcome::Refused:
            break;
    }
    if (send) route(target, &msg);
    if (progress >= 0) links().report_status(r, progress);
}

// The repeater asks again for the packages listed in params 1 to 7.
void retrans_answer(UpgradeCtx& ctx, const mavlink_command_long_t* cmd) {
    PLR_TRACE(PLR_LOG_D, "Upgrade retrans package");
    const float params[] = {cmd->param1, cmd->param2, cmd->param3, cmd->param4,
                            cmd->param5, cmd->param6, cmd->param7};
    for (const float p : params) {
        if (p == FW_NO_INDEX) continue;
        uint32_t index = 0;
        if (!param_index(p, &index)) {
            PLR_TRACE(PLR_LOG_E, "Upgrade ERROR package id %.0f invalid", static_cast<double>(p));
            continue;
        }
        PLR_FW_PackageSendById(ctx, index);
    }
}

}  // namespace

uint16_t PLR_FW_GenCksum(const uint8_t* data, size_t length) {
    uint32_t sum = 0;
    for (size_t i = 0; i < length; ++i) sum += data[i];
    sum = (sum & 0xFFFFU) + (sum >> 16);
    sum = (sum & 0xFFFFU) + (sum >> 16);
    return static_cast<uint16_t>(~sum & 0xFFFFU);
}

int PLR_FW_ImageCheck(std::vector<std::string>& files) {
    const auto is_cks = [](const std::string& f) {
        const size_t slash = f.rfind('/');
        return f.compare(slash == std::string::npos ? 0 : slash + 1, std::string::npos, kCksName) ==
               0;
    };
    const auto cks = std::find_if(files.begin(), files.end(), is_cks);
    if (cks == files.end()) {
        PLR_TRACE(PLR_LOG_E, "Upgrade checksum file \"%s\" missing", kCksName);
        return -1;
    }
    std::string text;
    size_t checked = 0;
    for (const std::string& f : files) {
        if (is_cks(f)) continue;
        std::array<char, 33> md5{};
        if (PLR_FW_GenFileMD5(f.c_str(), md5.data(), md5.size()) != 0) return -1;
        if (text.size() + strlen(md5.data()) > kCksTextMax) {
            PLR_TRACE(PLR_LOG_E, "Upgrade checksum text longer than %zu", kCksTextMax);
            return -1;
        }
        text += md5.data();
        ++checked;
    }
    if (checked == 0) {
        PLR_TRACE(PLR_LOG_E, "Upgrade no firmware beside the checksum file");
        return -1;
    }
    const uint16_t c1 = PLR_FW_GenCksum(reinterpret_cast<const uint8_t*>(text.data()), text.size());
    plr_trace_logf(PLR_LOG_D, "%s(line:%d) data %s cks1 %d", __func__, __LINE__, text.c_str(), c1);

    std::array<char, kCksReadMax + 1> buf{};
    ssize_t got = -1;
    const int fd = open(cks->c_str(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        got = read(fd, buf.data(), kCksReadMax);
        close(fd);
    }
    if (got <= 0) {
        PLR_TRACE(PLR_LOG_E, "open file error %s", cks->c_str());
        return -1;
    }
    buf[static_cast<size_t>(got)] = '\0';
    if (buf[0] != '9' || buf[1] != '9') {
        PLR_TRACE(PLR_LOG_E, "Upgrade checksum file without its mark");
        return -1;
    }
    // The number: decimal digits up to 65535, then only white space.
    const char* at = buf.data() + 2;
    uint32_t c2 = 0;
    size_t digits = 0;
    for (; *at >= '0' && *at <= '9' && c2 <= 0xFFFF; ++at, ++digits)
        c2 = c2 * 10 + static_cast<uint32_t>(*at - '0');
    while (*at == ' ' || *at == '\t' || *at == '\r' || *at == '\n') ++at;
    if (digits == 0 || c2 > 0xFFFF || *at != '\0') {
        PLR_TRACE(PLR_LOG_E, "Upgrade checksum file holds no checksum");
        return -1;
    }
    plr_trace_logf(PLR_LOG_D, "%s(line:%d) data %s cks2 %d", __func__, __LINE__, buf.data(),
                   static_cast<int>(c2));
    if (c1 != c2) return -1;
    files.erase(cks);
    return 0;
}

int PLR_FW_SendCmdLong(uint8_t target, uint8_t subcmd, float p1, float p2, float p3, float p4,
                       float p5, float p6, float p7) {
    const mavlink_command_long_t cmd{p1,     p2, p3, p4, p5, p6, p7, MAV_CMD_FIRMWARE_UPDATE,
                                     subcmd, 0,  0};
    mavlink_message_t msg;
    mavlink_msg_command_long_pack(static_cast<uint8_t>(kSysidBase + target), 0, g_seq.fetch_add(1),
                                  &cmd, &msg);
    PLR_TRACE(PLR_LOG_D, "Upgrade send cmd %d,%d to %d sysid %x", msg.msgid, subcmd,
              mavlink_sysid_target(msg.sysid), target);
    route(target, &msg);
    return 1;
}

int PLR_FW_SendCmd(uint8_t subcmd) {
    return PLR_FW_SendCmdLong(static_cast<uint8_t>(g_UpgradeCtx.upgrading_sys.load()), subcmd, 0, 0,
                              0, 0, 0, 0, 0);
}

int PLR_FW_SendPackage(uint8_t target, uint8_t opcode, uint8_t length, const uint8_t* payload,
                       size_t size) {
    mavlink_file_transfer_protocol_t ftp{};
    ftp.target_network = opcode;
    ftp.target_system = length;
    if (payload != nullptr) std::memcpy(ftp.payload, payload, std::min(size, sizeof ftp.payload));
    mavlink_message_t msg;
    mavlink_msg_file_transfer_protocol_pack(static_cast<uint8_t>(kSysidBase + target), 0,
                                            g_seq.fetch_add(1), &ftp, &msg);
    route(target, &msg);
    return 1;
}

int PLR_FW_PackagePrepare(UpgradeCtx& ctx, const char* path) {
    if (path == nullptr) return -1;
    PLR_TRACE(PLR_LOG_D, "Prepare package for %s", path);
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    struct stat st {};
    if (fd < 0 || fstat(fd, &st) != 0) {
        PLR_TRACE(PLR_LOG_E, "open file error %s", path);
        if (fd >= 0) close(fd);
        return -1;
    }
    const uint64_t size = static_cast<uint64_t>(st.st_size);
    // The board's limit, the one the upload checked: begin tells the size as a
    // float, exact only that far.
    if (size == 0 || size > fw_file_size_max(ctx.upgrading_sys.load())) {
        if (size == 0) {
            PLR_TRACE(PLR_LOG_E, "Empty file %s", path);
        } else {
            PLR_TRACE(PLR_LOG_E, "File too large %s", path);
        }
        close(fd);
        return -1;
    }
    const uint32_t total = ceil_packages(size);
    PLR_TRACE(PLR_LOG_D, "Total package %u", total);
    std::vector<uint8_t> buf(static_cast<size_t>(total) * FW_PKG_SIZE, 0);
    for (uint32_t i = 0; i < total; ++i) {
        uint8_t* pkg = buf.data() + static_cast<size_t>(i) * FW_PKG_SIZE;
        put_be32(pkg, i);
        const size_t want = i + 1 < total
                                ? FW_PKG_DATA_SIZE
                                : static_cast<size_t>(size - uint64_t{i} * FW_PKG_DATA_SIZE);
        size_t have = 0;
        while (have < want) {
            const ssize_t n = read(fd, pkg + 4 + have, want - have);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                PLR_TRACE(PLR_LOG_E, "read file error %s", path);
                close(fd);
                return -1;
            }
            have += static_cast<size_t>(n);
        }
    }
    close(fd);
    std::array<char, sizeof ctx.file_md5> md5{};
    if (PLR_FW_GenFileMD5(path, md5.data(), md5.size()) != 0) return -1;

    std::lock_guard l(ctx.upgrade_lock);
    ctx.pkg_buf.swap(buf);
    ctx.pkg_total = total;
    ctx.file_size = static_cast<uint32_t>(size);
    ctx.pkg_cur = 0;
    std::memcpy(ctx.file_md5, md5.data(), sizeof ctx.file_md5);
    ctx.file_md5[sizeof ctx.file_md5 - 1] = '\0';
    g_state.next = 0;
    g_state.all_acked = false;
    return 0;
}

int PLR_FW_PackageFree(UpgradeCtx& ctx) {
    std::lock_guard l(ctx.upgrade_lock);
    if (ctx.pkg_buf.empty()) return -1;
    std::vector<uint8_t>().swap(ctx.pkg_buf);
    return 0;
}

int PLR_FW_PackageSendById(UpgradeCtx& ctx, uint32_t index) {
    const uint8_t target = static_cast<uint8_t>(ctx.upgrading_sys.load());
    mavlink_message_t msg;
    bool packed = false;
    uint32_t total = 0;
    {
        std::lock_guard l(ctx.upgrade_lock);
        packed = pack_package(ctx, target, index, &msg);
        total = ctx.pkg_total;
    }
    if (!packed) {
        PLR_TRACE(PLR_LOG_E, "Upgrade ERROR package id %d invalid. total %d",
                  static_cast<int>(index), static_cast<int>(total));
        return -1;
    }
    return route(target, &msg);
}

int PLR_FW_PackageSend(UpgradeCtx& ctx) {
    return send_file(ctx).result == 0 ? 0 : -1;
}

int PLR_FW_UpgradingCmdLongHandle(const mavlink_command_long_t* cmd) {
    if (cmd == nullptr) return -1;
    UpgradeCtx& ctx = g_UpgradeCtx;
    const uint32_t s = cmd->target_system;
    const int r = cmd->confirmation;
    const uint32_t sys = ctx.upgrading_sys.load();
    bool startPull = false;
    {
        std::lock_guard l(ctx.upgrade_lock);
        ++g_state.answers;
        if (r != 0 && s == g_state.awaiting) {
            ++g_state.refusals;
            g_state.last_refusal = r;
        }
        // The begin answer starts the pull, once: a repeated answer to a
        // repeated begin must not start the file over.
        if (s == FIRMWARE_UPDATE_BEGIN && r == 0 && pulls(sys) &&
            g_state.awaiting == FIRMWARE_UPDATE_BEGIN) {
            ctx.pkg_cur = 0;
            g_state.next = 0;
            g_state.all_acked = false;
            g_state.awaiting = FIRMWARE_UPDATE_DATA;
            g_state.refusals = 0;
            startPull = true;
        }
    }
    switch (s) {
        case FIRMWARE_UPDATE_PREPARE:
            if (r == 0) {
                PLR_TRACE(PLR_LOG_D, "Enter upgrading mode!!");
                acknowledge(ctx, s);
            }
            break;
        case FIRMWARE_UPDATE_BEGIN:
            if (r == 0) {
                PLR_TRACE(PLR_LOG_D, "Upgrade beginning!!");
                acknowledge(ctx, s);
                if (startPull) PLR_FW_PackageSendById(ctx, 0);
            }
            break;
        case FIRMWARE_UPDATE_DATA:
            if (sys == FW_SYS_REPEATER) {
                retrans_answer(ctx, cmd);
            } else {
                pull_answer(ctx, cmd);
            }
            return 0;
        case FIRMWARE_UPDATE_MD5:
            if (r != 0) {
                PLR_TRACE(PLR_LOG_D, "Upgrade MD5 cks not ready!!");
            } else {
                PLR_TRACE(PLR_LOG_D, "Upgrade MD5 cks match ok!!");
                acknowledge(ctx, s);
            }
            break;
        case FIRMWARE_UPDATE_RESTART:
            if (r != 0) {
                PLR_TRACE(PLR_LOG_E, "Upgrade restart failed %d!!", r);
            } else {
                PLR_TRACE(PLR_LOG_D, "Upgrade restart complete!!");
                acknowledge(ctx, s);
            }
            break;
        case FIRMWARE_UPDATE_END:
            if (r != 0) {
                PLR_TRACE(PLR_LOG_E, "Upgrade failed %d!!", r);
            } else {
                PLR_TRACE(PLR_LOG_D, "Upgrade complete!!");
                acknowledge(ctx, s);
            }
            break;
        default:
            PLR_TRACE(PLR_LOG_D, "Upgrade handled upgrade step %d", static_cast<int>(s));
            break;
    }
    links().report_status(r, 0);
    return 0;
}

int PLR_FW_BoardTransfer(UpgradeCtx& ctx, uint32_t sys, const std::vector<std::string>& files,
                         const std::vector<std::string>* md5s) {
    if (!pulls(sys) && sys != FW_SYS_REPEATER) {
        PLR_TRACE(PLR_LOG_E, "Upgrade no transfer to board %u", sys);
        return -1;
    }
    const FwTransferBounds b = bounds();
    ctx.upgrading_sys.store(sys);
    ctx.step.store(FW_STEP_NONE);
    {
        std::lock_guard l(ctx.upgrade_lock);
        g_state = TransferState{};
    }
    if (files.empty()) return fail_board(kResultFailed, 0, "no firmware file");

    // 1. Prepare.
    WaitResult w = wait_step(
        ctx, FIRMWARE_UPDATE_PREPARE, [] { PLR_FW_SendCmd(FIRMWARE_UPDATE_PREPARE); }, b.repeat_ms,
        b.silence_ms);
    if (w.result != 0) return fail_board(w.result, 0, w.why);

    // 2. The repeater's progress counts the packages of all files.
    if (sys == FW_SYS_REPEATER) {
        uint64_t total = 0;
        for (const std::string& f : files) {
            struct stat st {};
            if (stat(f.c_str(), &st) != 0 || st.st_size <= 0) {
                PLR_TRACE(PLR_LOG_E, "Empty file %s", f.c_str());
                return fail_board(kResultFailed, 0, "empty file");
            }
            total += ceil_packages(static_cast<uint64_t>(st.st_size));
        }
        PLR_TRACE(PLR_LOG_D, "PR Total package %u", static_cast<uint32_t>(total));
        std::lock_guard l(ctx.upgrade_lock);
        g_state.batch_total = static_cast<uint32_t>(total);
    }

    // 3. The files, one after the other; one that cannot be sent fails the
    // board: it is never flashed with part of its firmware.
    for (size_t i = 0; i < files.size(); ++i) {
        const std::string& f = files[i];
        if (PLR_FW_PackagePrepare(ctx, f.c_str()) != 0) {
            return fail_board(kResultFailed, 0, "a file cannot be sent");
        }
        if (md5s != nullptr && (i >= md5s->size() || (*md5s)[i] != ctx.file_md5)) {
            PLR_FW_PackageFree(ctx);
            PLR_TRACE(PLR_LOG_E, "Upgrade %s changed since it was checked", f.c_str());
            return fail_board(kResultFailed, 0, "a file changed since it was checked");
        }
        w = send_file(ctx);
        int progress = 0;
        {
            std::lock_guard l(ctx.upgrade_lock);
            progress = pull_progress(ctx);
            g_state.batch_done += ctx.pkg_total;
        }
        PLR_FW_PackageFree(ctx);
        if (w.result != 0) return fail_board(w.result, progress, w.why);
    }

    // 4. Restart.
    w = wait_step(
        ctx, FIRMWARE_UPDATE_RESTART, [] { PLR_FW_SendCmd(FIRMWARE_UPDATE_RESTART); },
        sys == FW_SYS_GIMBAL ? b.gimbal_restart_ms : b.repeat_ms, b.reboot_silence_ms);
    if (w.result != 0) return fail_board(w.result, 100, w.why);
    PLR_TRACE(PLR_LOG_D, "Upgrade step RESTART OK");
    if (!pause_ms(ctx, b.settle_ms)) return fail_board(kResultFailed, 100, "stopped");

    // 5. End.
    w = wait_step(
        ctx, FIRMWARE_UPDATE_END, [] { PLR_FW_SendCmd(FIRMWARE_UPDATE_END); }, b.repeat_ms,
        b.reboot_silence_ms);
    if (w.result != 0) return fail_board(w.result, 100, w.why);

    // 6. The total version no longer describes the drone.
    links().version_factory();
    PLR_TRACE(PLR_LOG_D, "Upgrade step END OK");
    return 0;
}

void PLR_FW_SetTransferBounds(const FwTransferBounds* b) {
    std::lock_guard l(g_configLock);
    g_bounds = b != nullptr ? *b : FwTransferBounds{};
}

void PLR_FW_SetTransferLinks(const FwTransferLinks* l) {
    std::lock_guard lock(g_configLock);
    g_links = l != nullptr ? *l : kRealLinks;
}

void PLR_FW_TransferStop() {
    g_stop.store(true);
    { std::lock_guard l(g_UpgradeCtx.upgrade_lock); }
    g_UpgradeCtx.upgrade_cond.notify_all();
}

void PLR_FW_TransferReset() {
    g_stop.store(false);
}
