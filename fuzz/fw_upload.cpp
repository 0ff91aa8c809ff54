// The firmware upload from the phone: transfer messages (file announcement,
// MD5 check, version text, single-image packages and MD5), upload datagrams
// of the file port, and the single image's PREPARE / BEGIN / END commands.
//
// The input is a list of records; the first byte of each picks its kind:
//   0: transfer message: opcode, length n, target_component, then n payload
//      bytes (at most 251; the rest of the payload is zero);
//   1: upload datagram: a 16-bit little-endian length n, then n bytes (upload
//      frames in it have their checksums fixed up so that they reach the file
//      handlers);
//   2: upgrade command: sub-command (PREPARE, BEGIN or END by the byte modulo
//      3), target_component, and a 32-bit little-endian image size.
// After each input the upload's threads are stopped and its files removed.
#include <cstring>

#include "fs/fs_wire.h"
#include "fuzz_harness.h"
#include "fw/fw_ctx.h"
#include "fw/fw_upgrade.h"
#include "fw/fw_upload.h"

namespace {

constexpr uint8_t kMagic[4] = {'@', '#', '$', '&'};
constexpr size_t kFrameHeader = 7;  // magic, type, 16-bit length

// Writes the checksum of every whole upload frame in `bytes`.
void fix_upload_checksums(std::vector<uint8_t>& bytes) {
    size_t i = 0;
    while (i + kFrameHeader <= bytes.size()) {
        if (memcmp(bytes.data() + i, kMagic, sizeof kMagic) != 0) {
            ++i;
            continue;
        }
        const size_t len = bytes[i + 5] | (static_cast<size_t>(bytes[i + 6]) << 8);
        if (i + kFrameHeader + len + 2 > bytes.size()) break;
        const uint16_t sum = udp_gen_cksum(bytes.data() + i + kFrameHeader, len);
        bytes[i + kFrameHeader + len] = static_cast<uint8_t>(sum & 0xFF);
        bytes[i + kFrameHeader + len + 1] = static_cast<uint8_t>(sum >> 8);
        i += kFrameHeader + len + 2;
    }
}

void transfer_message(const uint8_t*& p, const uint8_t* end) {
    if (end - p < 3) {
        p = end;
        return;
    }
    mavlink_file_transfer_protocol_t ftp{};
    ftp.target_network = p[0];
    ftp.target_system = p[1];
    ftp.target_component = p[2];
    p += 3;
    const size_t n = std::min<size_t>(
        {static_cast<size_t>(end - p), ftp.target_system, MAVLINK_FTP_PAYLOAD_LEN});
    memcpy(ftp.payload, p, n);
    p += n;
    mavlink_message_t msg{};
    mavlink_msg_file_transfer_protocol_pack(mavlink_sysid(MAV_BOARD_PHONE, MAV_BOARD_VIDEO), 0, 0,
                                            &ftp, &msg);
    mavlink_file_transfer_handler(&msg);
}

void upload_datagram(const uint8_t*& p, const uint8_t* end) {
    if (end - p < 2) {
        p = end;
        return;
    }
    const size_t want = p[0] | (static_cast<size_t>(p[1]) << 8);
    p += 2;
    const size_t n = std::min<size_t>(want, static_cast<size_t>(end - p));
    std::vector<uint8_t> datagram(p, p + n);
    p += n;
    fix_upload_checksums(datagram);
    FsRxDataHandler(datagram.data(), datagram.size(), nullptr);
}

void image_command(const uint8_t*& p, const uint8_t* end) {
    if (end - p < 6) {
        p = end;
        return;
    }
    static constexpr uint8_t kSubs[] = {FIRMWARE_UPDATE_PREPARE, FIRMWARE_UPDATE_BEGIN,
                                        FIRMWARE_UPDATE_END};
    mavlink_command_long_t cmd{};
    cmd.command = MAV_CMD_FIRMWARE_UPDATE;
    cmd.target_system = kSubs[p[0] % 3];
    cmd.target_component = p[1];
    uint32_t size = 0;
    memcpy(&size, p + 2, sizeof size);
    cmd.param1 = static_cast<float>(size);
    p += 6;
    firmware_update_command_handler(&cmd);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::init_process();
    fuzz::reset_mav_links();
    fuzz::TempRoot& root = fuzz::TempRoot::get();
    root.mkdirs("/userdata");
    root.mkdirs("/tmp/SD0");
    PLR_FW_UploadInit();
    const uint8_t* p = data;
    const uint8_t* end = data + size;
    while (p < end) {
        switch (*p++ % 3) {
            case 0:
                transfer_message(p, end);
                break;
            case 1:
                upload_datagram(p, end);
                break;
            default:
                image_command(p, end);
                break;
        }
    }
    PLR_FW_UploadDeinit();
    root.clear("/userdata");
    root.clear("/tmp/SD0");
    return 0;
}
