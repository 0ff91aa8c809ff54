// Reception of firmware from the phone, two ways:
// - upgrade files: announced with a transfer message (opcode 11), their
//   bytes sent as upload frames to the file port 8857 while upload mode is
//   on, checked by MD5 (opcode 12, answered with the missing packages until
//   the file is complete) and moved into their board's firmware directory;
// - a single image sent in transfer messages of 240-byte packages (opcodes 2
//   and 3), written to the card as "/tmp/SD0/firmware" and, when meant for
//   this board, moved to "/tmp/SD0/AmbaSysFW.bin".
// Opcode 6 sets the total version text in the configuration.
#pragma once

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "fw/fw_wire.h"
#include "mav/mavlink_msgs.h"

inline constexpr const char* FW_UPLOAD_TMP_FILE = "/userdata/BINARY_FILE";
inline constexpr const char* FW_IMAGE_FILE = "/tmp/SD0/firmware";
inline constexpr const char* FW_IMAGE_INSTALL_FILE = "/tmp/SD0/AmbaSysFW.bin";
inline constexpr uint32_t FW_IMAGE_PKG_SIZE = 240;

// Results of the file check (FsRecvFileMD5Process).
enum FwMd5Result : int {
    FW_MD5_OK = 0,        // the file is in place
    FW_MD5_BAD_FILE = 1,  // not the announced file, or nothing announced
    FW_MD5_MISSING = 2,   // missing packages were listed (no answer)
    FW_MD5_NO_FILE = 3,   // the temporary file is gone
    FW_MD5_MISMATCH = 4,  // MD5 differs or cannot be computed; the file was dropped
    FW_MD5_BUSY = 5,      // the file is being moved into place (no answer)
};

// Results of the announcement (FsRecvFileNameProcess).
enum FwAnnounceResult : int {
    FW_ANNOUNCE_OK = 0,
    FW_ANNOUNCE_BAD_SYS = 1,  // unknown system id
    FW_ANNOUNCE_NO_TMP = 2,   // the temporary file cannot be created
    FW_ANNOUNCE_REFUSED = 3,  // a name or package count that is not accepted
};

// The transfer message handler: 0, or -1 when no answer is due.
int mavlink_file_transfer_handler(const mavlink_message_t* msg);

// One datagram from the file port while upload mode is on: every complete
// type-1 frame goes to FsRecvFileDataProcess.
void FsRxDataHandler(const uint8_t* data, size_t len, const sockaddr_in* from);
// The upload frame parser of the file port (one byte); 1 when a frame with a
// correct checksum is complete, else 0. Logs dropped frames.
int Fs_Parse_Msg(uint8_t byte);

int FsRecvFileNameProcess(const uint8_t* payload, size_t len, uint8_t fileId);
void FsRecvFileDataProcess(const uint8_t* payload, size_t len);
int FsRecvFileMD5Process(const uint8_t* payload, size_t len, uint8_t opcode, uint8_t fileId);
// Sends one transfer message to the phone on its MAVLink link (system id 36).
int FsFileTransIdxSend(const mavlink_file_transfer_protocol_t* ftp);

// The single image (upgrade commands PREPARE, BEGIN and END).
// Drops the image; counters to "none".
void PLR_FW_ImageReset();
// Announces an image for `target` (0 = this board) of `size` bytes (param1 of
// BEGIN): for this board the size must be a whole number of 1 to 16 MiB,
// checked before anything is allocated, and the board must hold no firmware
// key (a single image cannot carry a signature). 0, or -1 when refused.
int PLR_FW_ImageBegin(uint8_t target, float size);
int PLR_FW_GetImageState();
void PLR_FW_SetImageState(int state);
// Bytes written (units of 32768 bytes, then the rest).
size_t PLR_FW_WriteFile(const uint8_t* buffer, size_t length, FILE* fp);

// Upload mode of the file port. On: only datagrams from `phone` (the phone
// link's peer; null when it has no IPv4 address) count, and the mode ends by
// itself when the phone's client goes or FW_UPLOAD_IDLE_MS pass without
// upload data or upload messages (PLR_FW_UploadWatch, once a second). Off: the
// file port serves the file service again.
inline constexpr int64_t FW_UPLOAD_IDLE_MS = 10000;
void PLR_FW_UploadModeOn(const in_addr* phone);
void PLR_FW_UploadModeOff();
// An upload message from the phone (announcement, MD5 check) keeps the mode.
void PLR_FW_UploadNoteActivity();
void PLR_FW_UploadWatch(int64_t nowMs);

// Starts / stops the upload's state and threads (move thread, image check).
void PLR_FW_UploadInit();
void PLR_FW_UploadDeinit();
