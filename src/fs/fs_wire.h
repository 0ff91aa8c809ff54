// Bytes of the media file service on the wire, as pure functions: the
// reliable transport's frame and acknowledgement records, its round-trip
// estimator, and the file service's list entries, answer texts and request
// fields. No I/O and no clock: the board's service and vbctl both use them,
// and the tests drive them with given bytes and times.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>

#include "mav/mavlink_msgs.h"

// ---------------------------------------------------------------------------
// Reliable datagram transport.

inline constexpr uint16_t FS_FILE_PORT = 8857;  // requests in, frames out
inline constexpr uint16_t RTT_ACK_PORT = 8866;  // acknowledgements in (UDP)

// Frame: "C0XF", time stamp (u32 LE), payload length (u16 LE), checksum (u16
// LE), payload, "FX0C".
inline constexpr uint8_t UDP_FRAME_MAGIC[4] = {0x43, 0x30, 0x58, 0x46};
inline constexpr uint8_t UDP_FRAME_TRAILER[4] = {0x46, 0x58, 0x30, 0x43};
inline constexpr size_t UDP_FRAME_HEADER_LEN = 12;
inline constexpr size_t UDP_FRAME_OVERHEAD = 16;
// Largest payload a frame may carry: the length field is 16 bits and the
// frame must stay one UDP datagram.
inline constexpr size_t UDP_MAX_PAYLOAD = 65507 - UDP_FRAME_OVERHEAD;

// Acknowledgement record: "FF" and the acknowledged frame's time stamp (LE).
inline constexpr size_t RTT_ACK_RECORD_LEN = 6;

// Retransmission timeout limits and start values, microseconds.
inline constexpr int32_t RTT_RTO_MAX = 200000;
inline constexpr int32_t RTT_RTO_MIN = 5000;
inline constexpr float RTT_RTTVAR_INIT = 0.75f;
inline constexpr int32_t RTT_MAX_TRANSMISSIONS = 5;

// 16-bit one's-complement checksum of the payload (little-endian words, an
// odd last byte as the low byte of a word). Stored little-endian it gives the
// bytes of the Internet checksum: "abc" -> 3B 9D.
uint16_t udp_gen_cksum(const void* data, size_t len);

// Writes the frame of `payload` with time stamp `stamp` to `out`. Returns the
// frame length (payload + 16), or 0 if the payload is empty or too long or
// `out` is too small.
size_t udp_build_frame(std::span<uint8_t> out, uint32_t stamp, std::span<const uint8_t> payload);

// Builds the frame around a payload already in place at
// `frame + UDP_FRAME_HEADER_LEN` (`len` bytes, 1..UDP_MAX_PAYLOAD, with room
// for the trailer after it): magic, length, checksum and trailer; the time
// stamp is left for udp_stamp_frame. Returns the frame length, or 0 for a bad
// length.
size_t udp_prepare_frame(uint8_t* frame, size_t len);
// Writes the time stamp of a frame.
void udp_stamp_frame(uint8_t* frame, uint32_t stamp);

// A frame as received. `payload` points into the datagram.
struct UdpFrame {
    uint32_t stamp;
    std::span<const uint8_t> payload;
};
enum UdpFrameCheck : int {
    UDP_FRAME_OK = 0,
    UDP_FRAME_MALFORMED = -1,  // magic, length or trailer wrong
    UDP_FRAME_BAD_CKSUM = -2,
};
// Checks one datagram as a frame.
int udp_parse_frame(std::span<const uint8_t> datagram, UdpFrame* out);

// Writes the acknowledgement record of `stamp` (6 bytes).
void rtt_build_ack(uint32_t stamp, uint8_t out[RTT_ACK_RECORD_LEN]);

// Scans an acknowledgement datagram: records may be preceded or separated by
// stray bytes, which are skipped one at a time; "FF" with fewer than four
// bytes after it is not a record. Returns the number of records and stores the
// last record's stamp in `last_stamp` (untouched when there is none).
int rtt_ack_scan(std::span<const uint8_t> bytes, uint32_t* last_stamp);

// The retransmission-timeout estimator of the transport.
struct RttEstimator {
    float rtt;     // last measured round trip, us
    float srtt;    // smoothed round trip, us
    float rttvar;  // round-trip variation, us
    int32_t rto;   // retransmission timeout, us
    int32_t retries;
};
// srtt 0, rttvar 0.75, rto 200000, no retries.
void rtt_estimator_init(RttEstimator* est);
// Clamps a timeout to 5000..200000 us.
int32_t rtt_minmax(int64_t rto);
// One measured round trip of `rtt_us`: srtt += delta/8, rttvar += (|delta| -
// rttvar)/4, rto = clamp(srtt + 4 rttvar), retries 0.
void rtt_estimator_update(RttEstimator* est, int32_t rtt_us);
// One timeout: rto doubled and clamped, retries + 1. Returns the retries.
int32_t rtt_estimator_timeout(RttEstimator* est);

// ---------------------------------------------------------------------------
// File service.

// First byte of every transport payload the service sends.
enum FsFileTag : uint8_t {
    FS_TAG_NOTIFY = 0,  // MAVLink frame(s): notifications and file-list entries
    FS_TAG_INFO = 1,    // MAVLink frame answering a file-information request
    FS_TAG_DATA = 2,    // file bytes of a download
    FS_TAG_STREAM = 3,  // playback byte stream
};

// URI types of requests and catalogue lists.
enum FsUriType : uint16_t {
    FS_URI_PIC = 1,
    FS_URI_THUMB = 2,
    FS_URI_VIDEO = 3,
};

// transfer_type of RESOURCE_REQUEST.
enum FsTransferType : uint8_t {
    FS_TRANS_INFO = 0,
    FS_TRANS_DOWNLOAD = 1,
    FS_TRANS_DELETE = 2,
    FS_TRANS_CANCEL = 4,
    FS_TRANS_PLAY = 5,
    FS_TRANS_RESUME = 6,
    FS_TRANS_PAUSE = 7,
    FS_TRANS_SEEK = 8,
};

// The service's own MAVLink identity.
inline constexpr uint8_t FS_SYSID = 36;
inline constexpr uint8_t FS_COMPID = 100;
// A file list request from this component lists photos; any other, videos.
inline constexpr uint8_t FS_PIC_LIST_COMPID = 195;

// Transport payloads of the service: a tag byte and 59287 bytes.
inline constexpr size_t FS_BUFFER_SIZE = 59288;
inline constexpr size_t FS_DATA_BLOCK = FS_BUFFER_SIZE - 1;
// One list entry in a batch: tag byte 0 and a PARAM_VALUE frame (55 + 8).
inline constexpr size_t FS_LIST_ENTRY_LEN = 1 + MAVLINK_MSG_LEN_PELORA_PARAM_VALUE + 8;
// Longest answer text in FILE_TRANSFER_PROTOCOL.
inline constexpr size_t FS_ANSWER_TEXT_MAX = 249;

// Why a download or playback could not start or go on, in the answer
// "TRANSCANCELED:<name>;REASON:<why>" (a plain TRANSCANCELED is the phone's
// own doing: a cancel, a new request, the live stream switched on); a failed
// deletion answers "REMOVEFAILED:<name>", with ";REASON:BUSY" for a file
// being recorded.
inline constexpr const char* FS_REASON_BUSY = "BUSY";  // being recorded or awaiting its repair
inline constexpr const char* FS_REASON_READ_ERROR = "READERROR";  // the card failed a read
inline constexpr const char* FS_REASON_DAMAGED = "DAMAGED";       // no playable H.264 track
inline constexpr const char* FS_REASON_OFFSET = "OFFSET";         // resume offset past the end

// Packs one file-list entry (PARAM_VALUE): value = uri type, count, 1-based
// index, id "PIC<index>" or "VIDEO<index>", the name cut to 29 characters.
int fs_pack_list_entry(uint8_t seq, uint16_t uri_type, uint16_t count, uint16_t index,
                       const char* name, mavlink_message_t* msg);

// Packs the list entries of `count` files (name_at(i) for i = 0..count-1) into
// batches of at most FS_BUFFER_SIZE bytes, each entry a tag byte 0 and its
// frame; `seq` is the running sequence number. Before each entry `stop()` is
// asked; `flush(batch)` is called when the next entry would not fit and after
// the last; a false result from flush also stops. Returns true when every
// entry was flushed.
bool fs_list_pack(size_t count, const std::function<const char*(size_t)>& name_at,
                  uint16_t uri_type, uint8_t* seq, const std::function<bool()>& stop,
                  const std::function<bool(std::span<const uint8_t>)>& flush);

// Packs an answer text (FILE_TRANSFER_PROTOCOL, targets 0, text cut to 249
// characters, rest zero) with the service's identity.
int fs_pack_answer(uint8_t seq, const char* text, mavlink_message_t* msg);
// The text of an answer frame (NUL-terminated, at most 251 characters), or -1
// if the message is not an answer.
int fs_answer_text(const mavlink_message_t* msg, char* text, size_t size);

// A request's text field (uri or storage, 120 bytes, NUL not guaranteed) as a
// terminated string in `out` (at least 121 bytes).
void fs_request_text(const uint8_t field[MAVLINK_RESOURCE_URI_LEN],
                     char out[MAVLINK_RESOURCE_URI_LEN + 1]);
// A storage text as a number: leading decimal digits with an optional sign;
// negative, empty or non-numeric texts give 0, values beyond the 64-bit range
// saturate.
int64_t fs_storage_number(const uint8_t storage[MAVLINK_RESOURCE_URI_LEN]);
