// The file service: the phone's requests arrive as MAVLink frames in UDP
// datagrams on port 8857; lists, information, downloads, deletions and
// thumbnails run as missions (fs_mission.h) and answer through the reliable
// transport (udp_rtt.h) to the address of the latest request. Every answer
// payload starts with a file tag (FsFileTag).
#pragma once

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>

#include "mav/mavlink_frame.h"

// Starts the service: catalogue scan, mission thread and request thread
// (socket on UDP 8857). Returns 0.
int PLR_FS_Init();
// Stops both threads, closes the socket, frees the catalogue. Returns 0.
int PLR_FS_Deinit();

// Acts on one received request message from `from` (the request thread's
// step); the missions it makes answer `from` (null: nobody).
void FsRequestCmdProcess(const mavlink_message_t* msg, const sockaddr_in* from);
// Parses one received datagram as MAVLink frames and acts on each valid one.
// Only a valid request makes its sender the address of answers, and only of
// the answers to that request.
void FsMessageDispatch(const uint8_t* data, size_t len, const sockaddr_in* from);

// Upload mode of the file port: while the flag is non-zero, every datagram
// goes to the upload handler instead of the request parser.
void FsSetFwFileTransFlag(int flag);
int FsGetFwFileTransFlag();

// The upload handler: the firmware upgrade registers its upload parser
// (FsRxDataHandler) while it runs. It gets each datagram with its sender, so
// that it can take only the phone's. In upload mode without one, datagrams
// are dropped with a log line. Upload datagrams never become the address of
// the service's answers.
using FsUploadHandler = void (*)(const uint8_t* data, size_t len, const sockaddr_in* from);
void FsSetUploadHandler(FsUploadHandler handler);
void FsClearUploadHandler();

// Sends one payload reliably to the running mission's requester. udp_send's
// result.
int FsSendBuffer(const void* payload, size_t len);
// Sends the transport's kept frame again. udp_resend_last_pkg's result.
int FsRetransLastBuffer();

// An answer that stays unacknowledged this long is dropped: its phone is gone.
inline constexpr int FS_ANSWER_DROP_MS = 5000;
enum FsDelivery : int {
    FS_DELIVERED = 0,  // acknowledged
    FS_STOPPED = -1,   // the mission's stop test fired first
    FS_DROPPED = -2,   // unacknowledged for FS_ANSWER_DROP_MS
};
// Sends one payload until the phone acknowledges it. After a failed send or
// a timeout only the very frame kept by the transport goes again (1 ms
// later), with its own bytes and stamp, so that the phone never takes it
// twice. Gives up when the stop test of a mission of that kind fires or after
// FS_ANSWER_DROP_MS.
FsDelivery FsDeliver(const void* payload, size_t len, bool interruptible);
// Sends `text` as an answer frame (FILE_TRANSFER_PROTOCOL) behind `tag`
// until it is acknowledged, or FS_ANSWER_DROP_MS at most (only a shutdown
// stops it earlier). The frame length, or below 1 when it was not delivered.
int FsFileTransProtoMsgSend(const char* text, uint8_t tag);
