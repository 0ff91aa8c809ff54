// The FPV stream server: the low-latency live view to the phone. The camera
// core hands every frame of the live-view encoder (an Annex B access unit) to
// PLR_FPV_AddFrame on its stream thread; the frame is copied into a pooled
// buffer and queued (at most three wait), and the send thread sends it as raw
// UDP datagrams of at most 64512 bytes to port 8856 of the phone. Nothing is
// added to the encoder's bytes. Frames are sent only while the phone link
// reports the client ready (connection state 2) and the live-stream switch is
// on; otherwise they are released unsent at the same pace.
//
// The client's state (connection state and the last byte of its address) is
// kept here; the phone link reports it. The destination is always in the
// board's phone network (board_phone_net_prefix()).
#pragma once

#include <netinet/in.h>

#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "mov/mm_pool.h"

inline constexpr uint16_t FPV_STREAM_PORT = 8856;
inline constexpr uint32_t FPV_DATAGRAM_MAX = 64512;  // bytes of one datagram at most
inline constexpr int32_t FPV_QUEUE_MAX = 3;          // frames waiting at most
inline constexpr int FPV_SNDBUF_SIZE = 1048576;
inline constexpr int32_t FPV_CLIENT_READY = 2;    // connection state: ready for the live view
inline constexpr int32_t FPV_DEFAULT_HOST = 111;  // destination before any phone connected
inline constexpr int FPV_SEND_PRIORITY = 1;       // SCHED_RR priority of the send thread

// The FIFO of waiting frames: pool buffer records chained through `next`.
// Every field is guarded by `lock`; `ready` is signalled on every append.
struct PlrFpvFrameQueue {
    MM_BUFFER_S* head = nullptr;  // oldest frame, null when empty
    MM_BUFFER_S* tail = nullptr;  // newest frame, null when empty
    int32_t count = 0;
    bool open = false;  // takes frames between Init and Destroy
    std::mutex lock;
    std::condition_variable ready;
};

extern PlrFpvFrameQueue g_fpvFrameQueue;

// Counters of the server since its start (diagnostics and tests).
struct PlrFpvStats {
    uint64_t framesQueued;     // appended to the queue
    uint64_t framesDropped;    // refused at append: queue full or no pool buffer
    uint64_t framesSent;       // handed to the network
    uint64_t framesDiscarded;  // released unsent: client not ready or stream off
    uint64_t datagramsSent;
};

// Starts the server: the queue, the UDP socket and the send thread (SCHED_RR
// priority 1 when the system grants it), then registers PLR_FPV_AddFrame as
// the camera core's live-view consumer. `port` is the destination port on the
// phone. Returns the registration's result: 0, or -1 when a consumer was
// already registered; -1 also when the server is already running or its
// thread could not be started.
int PLR_FPV_StreamInit(uint16_t port = FPV_STREAM_PORT);
// Stops and joins the send thread, closes the socket and releases every
// waiting frame. Frames handed over afterwards are refused. Returns 0.
int PLR_FPV_StreamDeinit();

// The live-view consumer: copies the frame into a pooled buffer and queues
// it; never waits for the network. 0; -1 for a null or empty frame, a full
// queue (the new frame is dropped, the waiting ones stay), an exhausted pool,
// or a server that is not running.
int PLR_FPV_AddFrame(const void* data, uint32_t size);

// Observers of the live view: front ends beside the phone link (ground
// stations) get every frame handed to PLR_FPV_AddFrame, on the camera's stream
// thread, before it is queued for the phone, whatever the phone's state. An
// observer copies what it needs and returns; it never waits. At most
// FPV_FRAME_OBSERVER_MAX; 0, or -1 for null, a full list or one already added.
inline constexpr size_t FPV_FRAME_OBSERVER_MAX = 4;
using FpvFrameObserver = void (*)(const uint8_t* data, uint32_t size);
int PLR_FPV_AddFrameObserver(FpvFrameObserver observer);
// Once it returns, the observer is not running and is not called again. 0, or
// -1 when it was not added.
int PLR_FPV_RemoveFrameObserver(FpvFrameObserver observer);

// The client, as the phone link reports it. SetClient ignores host numbers
// outside 1-254 and the current one; SetClientConn stores the state and
// returns 0; GetClientConn is 1 when the client is ready, else 0; ClientReset
// forgets the client (state 0, the default destination).
void PLR_FPV_SetClient(int32_t host);
int PLR_FPV_SetClientConn(uint32_t state);
int PLR_FPV_GetClientConn();
void PLR_FPV_ClientReset();
// The current destination: the phone network's prefix and the client's host
// number (111 until a client is set), the server's port. 0, or -1 for null.
int PLR_FPV_GetServAddr(sockaddr_in* addr);

// Sends one frame to the current destination in datagrams of at most 64512
// bytes; a send that fails (the socket is non-blocking, so a full send buffer
// fails at once) drops the rest of the frame. Returns the last send's result,
// or -1 for a null pointer or an empty frame.
int PLR_FPV_BufferSend(const uint8_t* data, uint32_t size);

void PLR_FPV_GetStats(PlrFpvStats* stats);

// The queue. Append copies the frame (outside the lock) and returns 0 or -1;
// Pop returns the oldest record (the caller owns it and releases it with
// PLR_FPV_FrameFree) or null; Clean releases every waiting record; Destroy
// cleans and closes the queue. Init, Clean and Destroy return 0 (-1 for null).
int PLR_FPV_FrameQueueInit(PlrFpvFrameQueue* queue);
int PLR_FPV_FrameQueueAppend(PlrFpvFrameQueue* queue, const void* data, uint32_t size);
MM_BUFFER_S* PLR_FPV_FrameQueuePop(PlrFpvFrameQueue* queue);
int PLR_FPV_FrameQueueClean(PlrFpvFrameQueue* queue);
int PLR_FPV_FrameQueueDestroy(PlrFpvFrameQueue* queue);
int32_t PLR_FPV_FrameQueueCount(PlrFpvFrameQueue* queue);

MM_BUFFER_S* PLR_FPV_FrameAlloc(uint32_t size);
int PLR_FPV_FrameFree(MM_BUFFER_S* frame);
