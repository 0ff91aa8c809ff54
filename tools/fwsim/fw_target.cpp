#include "fw_target.h"

extern "C" {
#include <libavutil/md5.h>
}

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "mav/mavlink_msgs.h"

namespace {

constexpr uint16_t kCmdFirmwareUpdate = 4;
constexpr uint8_t kFromVideo = 2;
constexpr uint8_t kOpPackage = 2;
constexpr uint8_t kOpMd5 = 3;
constexpr uint32_t kPkgData = 240;
constexpr uint32_t kMaxSize = 64U * 1024 * 1024;
constexpr float kNoIndex = 4294967296.0F;
constexpr size_t kRetransSlots = 7;

enum : uint8_t { kPrepare = 0, kBegin = 1, kData = 2, kMd5 = 3, kRestart = 4, kEnd = 5 };

bool pulls(const FwTarget& t) {
    return t.board != 5;
}

uint32_t package_count(uint32_t size) {
    return (size + kPkgData - 1) / kPkgData;
}

void answer(FwTarget& t, uint8_t step, uint8_t result, const std::array<float, 7>& params,
            std::vector<mavlink_message_t>* out) {
    mavlink_command_long_t cmd{};
    cmd.param1 = params[0];
    cmd.param2 = params[1];
    cmd.param3 = params[2];
    cmd.param4 = params[3];
    cmd.param5 = params[4];
    cmd.param6 = params[5];
    cmd.param7 = params[6];
    cmd.command = kCmdFirmwareUpdate;
    cmd.target_system = step;
    cmd.confirmation = result;
    mavlink_message_t msg;
    mavlink_msg_command_long_pack(mavlink_sysid(t.board, kFromVideo), 0, t.seq++, &cmd, &msg);
    out->push_back(msg);
}

void answer(FwTarget& t, uint8_t step, uint8_t result, std::vector<mavlink_message_t>* out) {
    answer(t, step, result, {}, out);
}

bool all_received(const FwTarget& t) {
    return !t.have.empty() && std::all_of(t.have.begin(), t.have.end(), [](bool b) { return b; });
}

void complete_file(FwTarget& t) {
    if (t.file_complete) return;
    t.file_complete = true;
    t.firmware.insert(t.firmware.end(), t.data.begin(), t.data.end());
}

void on_command(FwTarget& t, const mavlink_command_long_t& c, std::vector<mavlink_message_t>* out) {
    switch (c.target_system) {
        case kPrepare:
            t.prepared = true;
            t.firmware.clear();
            t.have.clear();
            t.restarted = t.ended = false;
            answer(t, kPrepare, 0, out);
            break;
        case kBegin: {
            const float p = c.param1;
            if (!t.prepared || !std::isfinite(p) || p < 1 || p > static_cast<float>(kMaxSize)) {
                answer(t, kBegin, 1, out);
                break;
            }
            const auto size = static_cast<uint32_t>(p);
            // A repeated begin for the file under way changes nothing.
            if (!(size == t.size && !t.have.empty() && !t.file_complete)) {
                t.size = size;
                t.data.assign(size, 0);
                t.have.assign(package_count(size), false);
                t.file_complete = false;
            }
            answer(t, kBegin, 0, out);
            break;
        }
        case kRestart:
            if (t.firmware.empty()) {
                answer(t, kRestart, 1, out);
                break;
            }
            t.restarted = true;
            answer(t, kRestart, 0, out);
            break;
        case kEnd:
            t.ended = t.restarted;
            answer(t, kEnd, t.restarted ? 0 : 1, out);
            break;
        default:
            break;
    }
}

void on_package(FwTarget& t, const mavlink_file_transfer_protocol_t& f,
                std::vector<mavlink_message_t>* out) {
    ++t.packages;
    const uint32_t index = (uint32_t{f.payload[0]} << 24) | (uint32_t{f.payload[1]} << 16) |
                           (uint32_t{f.payload[2]} << 8) | f.payload[3];
    if (index >= t.have.size() || f.target_system < 5) return;
    const uint32_t len = f.target_system - 4U;
    const uint32_t offset = index * kPkgData;
    const uint32_t expect = std::min(kPkgData, t.size - offset);
    if (len != expect) return;
    if (pulls(t) && t.lose_package == static_cast<int64_t>(index)) {
        t.lose_package = -1;  // withheld once; the resend is acknowledged
        return;
    }
    if (!pulls(t) && t.drop_once.erase(index) != 0) return;
    std::memcpy(t.data.data() + offset, f.payload + 4, len);
    t.have[index] = true;
    if (pulls(t)) {
        if (all_received(t)) complete_file(t);
        answer(t, kData, 0, {static_cast<float>(index), 0, 0, 0, 0, 0, 0}, out);
    }
}

void on_md5(FwTarget& t, const mavlink_file_transfer_protocol_t& f,
            std::vector<mavlink_message_t>* out) {
    if (!all_received(t)) {
        // Ask again for up to seven of the missing packages.
        std::array<float, 7> missing;
        missing.fill(kNoIndex);
        size_t n = 0;
        for (size_t i = 0; i < t.have.size() && n < kRetransSlots; ++i)
            if (!t.have[i]) missing[n++] = static_cast<float>(i);
        answer(t, kData, 0, missing, out);
        return;
    }
    char text[33] = {};
    std::memcpy(text, f.payload, 32);
    const bool match = fw_target_md5(t.data) == text;
    if (match) complete_file(t);
    answer(t, kMd5, match ? 0 : 1, out);
}

}  // namespace

std::string fw_target_md5(const std::vector<uint8_t>& bytes) {
    std::array<uint8_t, 16> sum{};
    av_md5_sum(sum.data(), bytes.data(), bytes.size());
    std::string hex;
    char digits[3];
    for (uint8_t b : sum) {
        snprintf(digits, sizeof digits, "%02x", b);
        hex += digits;
    }
    return hex;
}

bool fw_target_handle(FwTarget& t, const mavlink_message_t& in,
                      std::vector<mavlink_message_t>* out) {
    if (in.sysid != 32 + t.board) return false;
    if (in.msgid == MAVLINK_MSG_ID_COMMAND_LONG) {
        mavlink_command_long_t c{};
        if (mavlink_msg_command_long_decode(&in, &c) != 0 || c.command != kCmdFirmwareUpdate)
            return false;
        on_command(t, c, out);
        return true;
    }
    if (in.msgid == MAVLINK_MSG_ID_FILE_TRANSFER_PROTOCOL) {
        mavlink_file_transfer_protocol_t f{};
        if (mavlink_msg_file_transfer_protocol_decode(&in, &f) != 0) return false;
        if (f.target_network == kOpPackage) {
            on_package(t, f, out);
        } else if (f.target_network == kOpMd5) {
            on_md5(t, f, out);
        } else {
            return false;
        }
        return true;
    }
    return false;
}

int fw_target_save(const FwTarget& t, const std::string& path) {
    const std::string tmp = path + ".part";
    FILE* f = fopen(tmp.c_str(), "we");
    if (f == nullptr) return -1;
    bool ok = fwrite(t.firmware.data(), 1, t.firmware.size(), f) == t.firmware.size();
    if (fclose(f) != 0) ok = false;
    if (ok && rename(tmp.c_str(), path.c_str()) == 0) return 0;
    remove(tmp.c_str());
    return -1;
}
