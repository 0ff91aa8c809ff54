// The phone's side of the board's MAVLink link, as pure functions: the
// messages vbctl sends, the decoding of the board's 200 ms status report, the
// camera parameter items by name, the matching of the board's answers to the
// command that was sent, and a one-line text form of every message. No I/O:
// the socket loop in vbctl_link/vbctl_main only moves bytes and time.
#pragma once

#include <cstddef>
#include <cstdint>

#include "mav/mavlink_msgs.h"

// The phone is board 4 and addresses the video board (2).
inline constexpr uint8_t VBCTL_SYSID = mavlink_sysid(MAV_BOARD_PHONE, MAV_BOARD_VIDEO);
inline constexpr uint8_t VBCTL_COMPID = 0;
inline constexpr uint16_t VBCTL_DEFAULT_PORT = 8866;
// The board drops a client after 4 s without a heartbeat; send one a second.
inline constexpr int VBCTL_HEARTBEAT_MS = 1000;

// COMMAND_LONG commands of the link.
enum : uint16_t {
    VBCTL_CMD_MEDIA = 2,             // camera media command in param1
    VBCTL_CMD_SET_PARAMETER = 180,   // camera parameter item in target_component
    VBCTL_CMD_SNAP_ACK = 2000,       // answer: photo started (also a time-lapse countdown)
    VBCTL_CMD_SNAP_STOP_ACK = 2001,  // answer: photo finished
    VBCTL_CMD_TLAPSE_PROGRESS = 2003,
    VBCTL_CMD_REC_START_ACK = 2500,
    VBCTL_CMD_REC_STOP_ACK = 2501,
};

// Camera media commands (param1 of command 2).
enum VbctlMedia : uint8_t {
    VBCTL_MEDIA_PHOTO_MODE = 0,
    VBCTL_MEDIA_SNAP = 1,
    VBCTL_MEDIA_RECORD_MODE = 2,
    VBCTL_MEDIA_REC_START = 3,
    VBCTL_MEDIA_REC_STOP = 4,
};

// PELORA_ACK bytes.
enum : size_t {
    VBCTL_ACK_ITEM = 1,
    VBCTL_ACK_MSGID = 2,
    VBCTL_ACK_COMMAND = 3,  // 180 for a camera parameter; result for a time sync
    VBCTL_ACK_RESULT = 4,
    VBCTL_ACK_VALUE1 = 5,
    VBCTL_ACK_VALUE2 = 6,
};
// PELORA_ACK byte 2 of the answer to a time sync (the TIMESYNC message id).
inline constexpr uint8_t VBCTL_ACK_TIMESYNC = MAVLINK_MSG_ID_TIMESYNC;

// ---------------------------------------------------------------------------
// Messages the phone sends. Each fills `msg` with the phone's system id and
// returns the frame length, or -1 for a null message.

int vbctl_build_heartbeat(uint8_t seq, mavlink_message_t* msg);
int vbctl_build_media_command(uint8_t seq, VbctlMedia command, mavlink_message_t* msg);
int vbctl_build_set_parameter(uint8_t seq, uint8_t item, const float params[3],
                              mavlink_message_t* msg);
int vbctl_build_param_request_list(uint8_t seq, mavlink_message_t* msg);
int vbctl_build_sd_request(uint8_t seq, mavlink_message_t* msg);
// tc1 = the phone's wall-clock time in ms since 1970 (UTC), ts1 = its
// time-zone offset in whole hours; the board runs its clock on local time.
int vbctl_build_timesync(uint8_t seq, int64_t utc_ms, int32_t tz_hours, mavlink_message_t* msg);
// The live-stream switch: on_off 1 switches the live view on, 0 off.
int vbctl_build_data_stream(uint8_t seq, uint8_t on_off, mavlink_message_t* msg);

// ---------------------------------------------------------------------------
// The status report: COMMAND_LONG command 2 to target system 0, component 0,
// every 200 ms. Parameters 1, 2, 5, 6 and 7 carry bit fields in the bits of
// the float; 3 and 4 are real floats.

struct VbctlStatus {
    uint32_t res_code;   // phone resolution code 0-13
    uint32_t ae_mode;    // 0 automatic, 1 manual
    uint32_t vps_mode;   // 0 photo, 1 record
    uint32_t sd_status;  // 0 usable, 1 no usable card, 2 mount or write error, 4 formatting
    uint32_t snap_mode;  // picture mode 0-5
    uint32_t iso;        // ISO index
    uint32_t shutter;    // shutter index
    int32_t ev;          // EV step, -9..9
    uint32_t pic_fmt;    // 0 JPEG, else raw
    uint32_t attr2;      // capture attribute 2
    uint32_t cti_shot;   // continuous-shot count
    uint32_t attr6;      // capture attribute 6
    uint32_t pano_mode;  // panorama mode
    float sd_total_mib;
    float sd_free_mib;
    uint32_t snap_tlapse;   // photo time-lapse interval
    uint32_t attr4;         // capture attribute 4
    uint32_t tlapse_state;  // 0 off, 1 paused, 2 running
    uint32_t snap_state;    // 1 while a photo time-lapse runs
    uint32_t time_synced;   // 1 once the phone set the clock
    uint32_t zoom;          // tenths (10 = 1.0x)
    uint32_t video_mode;    // 0 normal, 2 zoom
    uint32_t temperature;   // tenths of a degree Celsius
    uint32_t cct;           // colour temperature / 100
    uint32_t wb_mode;       // low bit of the white-balance mode
    uint32_t dn_mode;       // low bit of the day/night mode
    bool operator==(const VbctlStatus&) const = default;
};

// 1 when the COMMAND_LONG is the board's status report.
int vbctl_is_status_report(const mavlink_command_long_t* cmd);
// Decodes a status report. -1 for a null argument or another COMMAND_LONG.
int vbctl_status_decode(const mavlink_command_long_t* cmd, VbctlStatus* out);
// The bit pattern of a float parameter (the status report's integer words).
uint32_t vbctl_float_bits(float value);

// Readable names of status values (never null).
const char* vbctl_resolution_name(uint32_t code);  // "3840x2160 30 fps"
const char* vbctl_sd_status_name(uint32_t status);
const char* vbctl_sd_report_state_name(uint8_t state);  // PELORA_SD_STATUS state
const char* vbctl_picture_mode_name(uint32_t mode);
const char* vbctl_tlapse_state_name(uint32_t state);

// Writes the decoded report as "key: value" lines. Returns the length
// written (snprintf-like).
int vbctl_status_format(const VbctlStatus* status, char* out, size_t size);

// ---------------------------------------------------------------------------
// What the board answers to a command, and whether a message is that answer.

enum VbctlAnswerKind : uint8_t {
    VBCTL_ANSWER_COMMAND_ACK,  // COMMAND_ACK for `command`; result 0 accepts
    VBCTL_ANSWER_PELORA_ACK,   // PELORA_ACK 0, item, 76, 180, result, value 1, value 2
    VBCTL_ANSWER_STATUS,       // no answer message: the status report shows the value
    VBCTL_ANSWER_TIMESYNC,     // PELORA_ACK 0, 0, 111, result, or the time-synced bit
};

// Fields of the status report that a parameter item changes.
enum VbctlStatusField : uint8_t {
    VBCTL_FIELD_NONE,
    VBCTL_FIELD_RES_CODE,
    VBCTL_FIELD_AE_MODE,
    VBCTL_FIELD_ISO,
    VBCTL_FIELD_SHUTTER,
    VBCTL_FIELD_EV,
    VBCTL_FIELD_SNAP_MODE,
    VBCTL_FIELD_PIC_FMT,
    VBCTL_FIELD_ATTR2,
    VBCTL_FIELD_ATTR4,
    VBCTL_FIELD_CTI_SHOT,
    VBCTL_FIELD_ATTR6,
    VBCTL_FIELD_SNAP_TLAPSE,
    VBCTL_FIELD_PANO_MODE,
    VBCTL_FIELD_ZOOM,
    VBCTL_FIELD_VIDEO_MODE,
    VBCTL_FIELD_WB_MODE,
    VBCTL_FIELD_DN_MODE,
};

// The value of a field in a report.
int32_t vbctl_status_field(const VbctlStatus* status, VbctlStatusField field);

struct VbctlExpect {
    VbctlAnswerKind kind;
    uint16_t command;  // COMMAND_ACK: the acknowledged command
    uint8_t item;      // PELORA_ACK: the parameter item
    // PELORA_ACK: when >= 0, value 1 must equal it before the answer counts
    // (a card format answers 0 when it starts and 1 when it is done).
    int16_t value1;
    VbctlStatusField field;  // STATUS: the field and the value it must show
    int32_t value;
    // STATUS with field EV: the new value is relative to the last report
    // (0 one step up, 1 one step down, 2 back to 0).
    bool ev_step;
};

enum VbctlVerdict : uint8_t {
    VBCTL_WAIT,      // not the answer; keep waiting
    VBCTL_ACCEPTED,  // the board acknowledged the command
    VBCTL_REFUSED,   // the board answered with a failure
};

// Whether `msg` answers `expect`. `result` (may be null) receives the MAVLink
// result or the PELORA_ACK result byte when the message is the answer.
VbctlVerdict vbctl_match(const VbctlExpect* expect, const mavlink_message_t* msg, uint8_t* result);

// Resolves an EV step expectation against the report seen before the
// command: the EV step the board will show afterwards.
int32_t vbctl_ev_after(int32_t ev_before, int32_t step_command);

// ---------------------------------------------------------------------------
// Camera parameter items by name (COMMAND_LONG 180).

struct VbctlItemInfo {
    const char* name;   // vbctl's name for it
    uint8_t item;       // target_component
    const char* usage;  // the values it takes
    const char* help;   // what it does and how the board answers
};

// The items, in item order; `count` receives their number.
const VbctlItemInfo* vbctl_items(size_t* count);

// A parsed `set NAME VALUE...`: the item, its three parameters and the answer
// to wait for.
struct VbctlSetRequest {
    uint8_t item;
    float params[3];
    VbctlExpect expect;
};

// Parses NAME and its values. Returns 0, or -1 with a message in `error` for
// an unknown name or values it does not take.
int vbctl_parse_set(const char* name, int argc, const char* const* argv, VbctlSetRequest* out,
                    char* error, size_t error_size);

// ---------------------------------------------------------------------------
// One line per message: name, system id with its nibbles, component id,
// sequence, and the decoded fields. Returns the length (snprintf-like).
int vbctl_format_message(const mavlink_message_t* msg, char* out, size_t size);

// ---------------------------------------------------------------------------
// The live view: the board's H.264 byte stream (Annex B) arrives in datagrams
// cut anywhere. The scanner counts NAL units and pictures (slices that start
// a picture: first_mb_in_slice 0) across any cut.

struct VbctlH264Scan {
    uint32_t zeros = 0;  // zero bytes in a row just seen
    uint8_t state = 0;   // 0 in a NAL unit, 1 at its header byte, 2 at a slice header's first byte
    uint64_t nal_units = 0;
    uint64_t pictures = 0;
};

void vbctl_h264_scan(VbctlH264Scan* scan, const uint8_t* bytes, size_t length);
// 1 when the bytes begin with a start code and an SPS or IDR NAL unit (where
// a decoder can start), else 0.
int vbctl_h264_starts_key(const uint8_t* bytes, size_t length);
