// The app link: the TCP server the phone (directly or through the radio
// repeater) connects to on port 8866, one client at a time, with the 300 ms
// heartbeat and the 4 s heartbeat-loss watchdog; the UDP stick channel on port
// 8867 relayed to the flight controller; the send operations every other
// module uses to reach the phone; the recording-time report; small timer and
// lock utilities.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <thread>

#include "mav/mavlink_frame.h"
#include "mav/mavlink_msgs.h"
#include "vps/vps_event.h"

struct PlrTimer;

inline constexpr uint16_t MAV_TCP_PORT = 8866;
inline constexpr uint16_t MAV_STICK_PORT = 8867;
inline constexpr uint32_t MAV_HEARTBEAT_PERIOD_MS = 300;
inline constexpr int64_t MAV_HEARTBEAT_LOSS_MS = 4000;
inline constexpr uint8_t MAV_REPEATER_HOST = 111;  // last address byte of the radio repeater
inline constexpr size_t MAV_REC_FILE_NAME_SIZE = 256;

// Connection states.
enum MavConnState : int32_t {
    MAV_CONN_NONE = 0,
    MAV_CONN_ACCEPTED = 1,
    MAV_CONN_HEARTBEAT = 2,  // a heartbeat was received from the client
};

// The phone link's global record. Every field another thread reads is atomic;
// the client socket is written and closed only under SendSem.
struct MavlinkCtx {
    std::atomic<int> HBListenFd{-1};
    std::atomic<int> HBConnFd{-1};
    std::atomic<int> StickFd{-1};
    PlrTimer* HBTimer = nullptr;  // 300 ms heartbeat and loss check; receive thread owns it
    // Heartbeat-loss deadline on the monotonic clock in ms; 0 when disarmed.
    std::atomic<int64_t> DisconnDeadline{0};
    std::atomic<uint32_t> RecvExit{0};
    std::thread RecvThread;
    std::atomic<uint32_t> StickExit{0};
    std::thread StickThread;
    std::atomic<int32_t> ConnState{MAV_CONN_NONE};
    std::atomic<int32_t> SendReady{0};  // client socket configured
    std::atomic<int32_t> RepeaterState{0};
    std::mutex SendSem;  // one socket write at a time; also guards closing the client socket
    std::atomic<uint32_t> FlyctrlTimestamp{0};
    PlrTimer* RecTimer = nullptr;  // 1 s recording-time report
    std::atomic<uint32_t> RecSeconds{0};
    std::mutex RecLock;  // guards RecFileName
    char RecFileName[MAV_REC_FILE_NAME_SIZE] = {};
    std::atomic<int32_t> Recording{0};
    VpsEvtQueue BridgeQueue;
    std::thread BridgeThread;
    std::atomic<uint32_t> BridgeRunning{0};  // set by the bridge thread while it runs
    std::atomic<int32_t> PhoneDirect{0};     // 1 when the peer is not the repeater
    std::atomic<uint32_t> BridgeExit{0};

    std::atomic<uint8_t> Seq{0};                  // outgoing sequence of the phone link
    std::atomic<uint16_t> TcpPort{MAV_TCP_PORT};  // 0 until the first bind picks one
    std::atomic<uint16_t> StickPort{MAV_STICK_PORT};
    int WakeFd[2] = {-1, -1};  // pipe: Deinit wakes the socket threads through it
    std::atomic<uint32_t> Running{0};
};

extern MavlinkCtx MavlinkContext;

// Starts the link: the send lock, the recording-time timer, the receive and
// stick threads and the event bridge. Ports 0 pick free ports (tests; see
// PLR_MAV_GetTcpPort). 0; -1 when already running or a thread failed.
int PLR_MAV_Init(uint16_t tcpPort = MAV_TCP_PORT, uint16_t stickPort = MAV_STICK_PORT);
// Stops the bridge and both threads, closes every socket, deletes the timers. 0.
int PLR_MAV_Deinit();
// The ports in use (after a bind chose them, when 0 was given).
uint16_t PLR_MAV_GetTcpPort();
uint16_t PLR_MAV_GetStickPort();

// Monotonic milliseconds (the base of the heartbeat watchdog).
int64_t PLR_MAV_NowMs();

// Takes a connected socket as the client: `host` is the last byte of its
// IPv4 address (111: the repeater). Arms heartbeats and the watchdog at `now`.
void PLR_MAV_AttachClient(int fd, uint8_t host, int64_t now);
// Forgets the client: disarms heartbeats and watchdog, closes the socket.
void PLR_MAV_CloseClient();
// A heartbeat arrived at `now`: the client is alive until now + 4 s.
void MavlinkHeartbeatSeen(int64_t now);
// The watchdog: when the deadline has passed at `now`, drops the client (the
// receive thread then accepts anew) and returns 1; else 0.
int MavlinkTimeoutDisconn(int64_t now);
// The heartbeat timer's handler: heartbeat to the phone or the repeater, then
// the watchdog check.
void MavlinkTimeoutSendHBHandle(void* arg);

// Where the phone's messages go: the application registers the command
// dispatch before the link starts. Without a handler messages are dropped.
using MavMessageHandler = int (*)(const mavlink_message_t* msg);
void PLR_MAV_SetMessageHandler(MavMessageHandler handler);
void PLR_MAV_ClearMessageHandler();

// Feeds bytes received from the phone to the link's parser; every complete
// message goes to the message handler. Returns the number of messages.
int PLR_MAV_MessageProcess(const uint8_t* bytes, size_t length);
void PLR_MAV_ResetParser();

// Sending. Each returns the bytes written, 0 when nothing was sent, -1 when refused.
int PLR_MAV_SendMessage(const mavlink_message_t* msg);
int PLR_MAV_Sendbuffer(const uint8_t* bytes, size_t length);
// The next sequence number of the phone link.
uint8_t PLR_MAV_NextSeq();

int MavlinkHeartBeatSend();
int MavlinkVideoSendHB2Repeater();
int MavlinkPeloraAckSend(const mavlink_pelora_ack_t* ack);
int mavlink_pelora_ack_send(const mavlink_pelora_ack_t* ack);
int MavlinkPeloraSdStatusSend(float capacity, float free, uint8_t state);
int MavlinkParamValueSend(const mavlink_pelora_param_value_t* value);
int mavlink_pelora_command_long_send(const mavlink_command_long_t* cmd);
int mavlink_pelora_command_ack_send(uint16_t command, uint8_t result);
int mavlink_command_ack_send(uint8_t sysid, uint16_t command, uint8_t result);
int mavlink_time_sync_send(int64_t tc1, int64_t ts1);

uint32_t PLR_MAV_GetRecTime();
uint32_t PLR_MAV_GetFlyctrlTimestamp();
// Milliseconds part of the current wall-clock time.
uint32_t MavlinkGetTimeStamp();
// The 1 s recording-time report: RecSeconds + 1, TIMESYNC tc1 0, ts1 seconds.
void PLR_MAV_RecTimerHandler(void* arg);

// Timers whose every expiry runs the handler on a new thread.
int MavlinkCreateTimer(PlrTimer** timer, void (*handler)(void*), void* arg);
// Arms the timer periodically; 0 disarms.
int MavlinkSetTimer(PlrTimer* timer, uint32_t milliseconds);
void MavlinkDeleteTimer(PlrTimer** timer);

// Try-locks `mutex`, retrying every 10 ms; tries > 0 gives up after that many
// failures (-1), tries <= 0 waits as long as it takes. 0 when locked.
int mavlink_mutex_try_lock(std::mutex& mutex, int tries);
int mavlink_mutex_unlock(std::mutex& mutex);

int set_socket_nonblock(int fd);
int set_socket_nodelay(int fd);
int set_socket_nolinger(int fd);

// MAC binding: records the peer's MAC in "/tmp/macset.txt" at each accept;
// on the flight controller's request the packet filter admits only it.
int set_mac_bind(int fd);
int save_macaddr(const char* mac);
int MavlinkBindClient();
int MavlinkUnbindClient();
