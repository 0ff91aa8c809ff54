// Byte formats of the firmware upgrade: the boards' ids and the command codes
// of the upgrade protocol, the upload frame that carries file data on the
// file port, the file announcement, and the checks on what the phone names
// (file names, the version text). Pure functions over bytes; the board's
// receiver and vbctl's sender both use them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// Upgradable boards (the system id); the table order video, flight
// controller, gimbal, repeater is the upgrade order.
enum FwSystem : uint32_t {
    FW_SYS_VIDEO = 2,
    FW_SYS_FLYC = 3,
    FW_SYS_REPEATER = 5,
    FW_SYS_GIMBAL = 7,
    FW_SYS_NONE = 8,
};

// Sub-commands of the upgrade command (COMMAND_LONG command 4, sub-command in
// target_system) and opcodes of the transfer message (FILE_TRANSFER_PROTOCOL,
// opcode in target_network).
enum FwSubCommand : uint8_t {
    FIRMWARE_UPDATE_PREPARE = 0,
    FIRMWARE_UPDATE_BEGIN = 1,
    FIRMWARE_UPDATE_DATA = 2,
    FIRMWARE_UPDATE_MD5 = 3,
    FIRMWARE_UPDATE_RESTART = 4,
    FIRMWARE_UPDATE_END = 5,
    FIRMWARE_UPDATE_VERSION = 6,
    FIRMWARE_UPDATE_FILE_PREPARE = 10,
    FIRMWARE_UPDATE_FILE_BEGIN = 11,
    FIRMWARE_UPDATE_FILE_MD5 = 12,
    FIRMWARE_UPDATE_FILE_RESTART = 13,
    FIRMWARE_UPDATE_FILE_END = 14,
    FIRMWARE_UPDATE_FILE_UPGRADE_STATUS = 15,
    FIRMWARE_UPDATE_FILE_CLEAN = 16,
};

inline constexpr uint16_t MAV_CMD_FIRMWARE_UPDATE = 4;
// No step: the step record's value when its file is missing, and the
// transfer's step before the target acknowledged any.
inline constexpr int FW_STEP_NONE = 7;
inline constexpr uint8_t FW_STATUS_REPORT = 15;      // target_system of a status report
inline constexpr float FW_NO_INDEX = 4294967296.0f;  // a parameter without a package index

// Packages sent to the other boards: a 32-bit big-endian index and 240 bytes.
inline constexpr uint32_t FW_PKG_DATA_SIZE = 240;
inline constexpr uint32_t FW_PKG_SIZE = FW_PKG_DATA_SIZE + 4;

// Upload frame: "@#$&", type (1 byte), payload length n (2 bytes LE), payload,
// Internet checksum of the payload (2 bytes LE).
inline constexpr uint8_t FW_UPLOAD_MAGIC[4] = {'@', '#', '$', '&'};
inline constexpr uint8_t FW_UPLOAD_TYPE_DATA = 1;
inline constexpr size_t FW_UPLOAD_HEADER_LEN = 7;
inline constexpr size_t FW_UPLOAD_CKSUM_LEN = 2;
inline constexpr uint16_t FW_UPLOAD_PAYLOAD_MAX = 2053;
// File data payload: file id (1), package index (4, LE), up to 2048 bytes.
inline constexpr size_t FW_UPLOAD_DATA_HEADER_LEN = 5;
inline constexpr uint32_t FW_UPLOAD_PKG_SIZE = 2048;
static_assert(FW_UPLOAD_DATA_HEADER_LEN + FW_UPLOAD_PKG_SIZE == FW_UPLOAD_PAYLOAD_MAX);

// Bounds on what the phone uploads, checked at the announcement before
// anything is allocated, and again before a file is installed or sent: one
// limit per board. The video board's image goes to the update engine (at most
// 64 MiB, what the video board holds in memory to send a file on); the other
// boards are told the file size as a float, which is exact only up to 2^24
// bytes, so their files are at most 16 MiB.
inline constexpr uint64_t FW_UPLOAD_FILE_MAX = 64ULL * 1024 * 1024;
inline constexpr uint64_t FW_BOARD_FILE_MAX = 1ULL << 24;
static_assert(FW_BOARD_FILE_MAX % FW_UPLOAD_PKG_SIZE == 0);
// The largest file for board `sys`, and its number of upload packages.
constexpr uint64_t fw_file_size_max(uint32_t sys) {
    return sys == FW_SYS_VIDEO ? FW_UPLOAD_FILE_MAX : FW_BOARD_FILE_MAX;
}
constexpr uint32_t fw_upload_packages_max(uint32_t sys) {
    return static_cast<uint32_t>(fw_file_size_max(sys) / FW_UPLOAD_PKG_SIZE);
}
// A detached signature of a firmware file: uploaded beside it under its name
// with this suffix; never installed or sent itself.
inline constexpr const char* FW_SIG_SUFFIX = ".sig";
inline constexpr uint32_t FW_IMAGE_SIZE_MAX = 16U * 1024 * 1024;
// Names of uploaded files: the file system's limit.
inline constexpr size_t FW_NAME_MAX = 255;
// The total version text is cut to this many characters.
inline constexpr size_t FW_VERSION_MAX = 50;
// Missing-package indices per transfer message (4 bytes each).
inline constexpr size_t FW_IDX_PER_MSG = 62;

enum FwParseResult : int {
    FW_PARSE_MORE = 0,         // the frame is not complete yet
    FW_PARSE_FRAME = 1,        // a frame with a correct checksum is complete
    FW_PARSE_BAD_LENGTH = -1,  // length 2054 or more: dropped, waiting for the next magic
    FW_PARSE_BAD_CKSUM = -2,   // complete, but the checksum differs: dropped
};

// The upload frame parser, fed one byte at a time.
struct FwUploadParser {
    enum State : uint8_t { IDLE, MAGIC, TYPE, LENGTH, PAYLOAD, CKSUM } state = IDLE;
    uint8_t matched = 0;  // magic bytes matched / length or checksum bytes collected
    uint8_t type = 0;
    uint16_t len = 0;
    uint16_t got = 0;
    uint8_t cksum[2] = {};
    uint16_t cksum_calc = 0;  // after FW_PARSE_BAD_CKSUM: the computed value
    uint8_t payload[FW_UPLOAD_PAYLOAD_MAX] = {};
};

// Feeds one byte. After FW_PARSE_FRAME, `type`, `len` and `payload` hold the
// frame until the next byte is fed.
FwParseResult fw_upload_parse_byte(FwUploadParser* parser, uint8_t byte);

// Appends one frame with `payload` (at most FW_UPLOAD_PAYLOAD_MAX bytes) to
// `out`. 0, or -1 when the payload is too long.
int fw_upload_frame_append(uint8_t type, const uint8_t* payload, size_t len,
                           std::vector<uint8_t>* out);
// Appends the data frame of package `index` of file `fileId`.
int fw_upload_data_frame_append(uint8_t fileId, uint32_t index, const uint8_t* data, size_t len,
                                std::vector<uint8_t>* out);

// File announcement (payload of transfer opcode 11): system id, a 32-bit
// value, the package count (32-bit LE), the name's length and the name.
struct FwFileAnnounce {
    uint8_t sys = 0;
    uint32_t value = 0;
    uint32_t packages = 0;
    std::string name;
};
inline constexpr size_t FW_ANNOUNCE_HEADER_LEN = 10;
// Builds the payload into `out` (the transfer message's 251 bytes). The
// payload's length, or -1 when the name does not fit.
int fw_announce_encode(const FwFileAnnounce& a, uint8_t* out, size_t size);
// Reads an announcement of `len` meaningful bytes. 0, or -1 when it is
// shorter than its header or its name runs past `len`.
int fw_announce_decode(const uint8_t* payload, size_t len, FwFileAnnounce* a);

// A file name from the phone is used as one directory entry only: 1 to 255
// bytes of letters, digits, '.', '_', '-' and '+', never "." or "..". Anything
// else (a '/', a control character, shell characters) is refused. "" when
// the name is acceptable, else the reason.
const char* fw_name_refusal(std::string_view name);

// The total version text: the first `len` bytes (at most 50, ending at a NUL)
// must be printable ASCII other than '"' and not empty. "" when acceptable (the text in
// `out`), else the reason.
const char* fw_version_refusal(const uint8_t* bytes, size_t len, std::string* out);

// ceil(size / unit).
constexpr uint64_t fw_div_ceil(uint64_t size, uint64_t unit) {
    return (size + unit - 1) / unit;
}
