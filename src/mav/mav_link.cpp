#include "mav/mav_link.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <bit>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "board/board.h"
#include "core/realtime.h"
#include "core/timer.h"
#include "core/trace_log.h"
#include "fpv/fpv_stream.h"
#include "mav/mav_bridge.h"
#include "mav/uart_link.h"
#include "state/drone_position.h"
#include "state/fs_stream.h"
#include "vps/vcs.h"

MavlinkCtx MavlinkContext;

namespace {

constexpr int kAcceptTimeoutMs = 6000;
constexpr int kSelectTimeoutMs = 2000;
constexpr int kRetryPauseMs = 1000;
constexpr int kSockBufSize = 204800;
constexpr int kSendTimeoutS =
    2;  // a phone that stops reading is dropped instead of blocking senders
constexpr size_t kRecvChunk = 4096;
constexpr size_t kStickChunk = 1024;
constexpr int kRtPriority = 2;

std::mutex g_lifeLock;           // Init and Deinit
mavlink_status_t g_tcpParser{};  // only the receive thread parses
std::atomic<MavMessageHandler> g_messageHandler{nullptr};

MavlinkCtx& ctx() {
    return MavlinkContext;
}

// Sleeps up to `ms`, or until Deinit writes to the wake pipe. True when woken.
bool wait_wake(int ms) {
    pollfd p{ctx().WakeFd[0], POLLIN, 0};
    return poll(&p, 1, ms) > 0;
}

bool wake_pending() {
    return wait_wake(0);
}

// Waits for `fd` to become readable, or a wake-up. 1 readable, 0 timeout, -1
// poll error (errno kept), -2 woken.
int wait_readable(int fd, int ms) {
    std::array<pollfd, 2> fds{{{fd, POLLIN, 0}, {ctx().WakeFd[0], POLLIN, 0}}};
    const int n = poll(fds.data(), fds.size(), ms);
    if (n < 0) return -1;
    if (n == 0) return 0;
    if ((fds[1].revents & POLLIN) != 0) return -2;
    return 1;
}

void heartbeat_timers_stop() {
    MavlinkSetTimer(ctx().HBTimer, 0);
    ctx().DisconnDeadline.store(0);
}

// The watchdog and send failures only mark the connection dead and shut the
// socket down (waking the receive thread); the receive thread closes it.
void client_drop() {
    heartbeat_timers_stop();
    ctx().ConnState.store(MAV_CONN_NONE);
    ctx().SendReady.store(0);
    PLR_FPV_SetClientConn(0);
    std::lock_guard lock(ctx().SendSem);
    const int fd = ctx().HBConnFd.load();
    if (fd >= 0) shutdown(fd, SHUT_RDWR);
}

// Writes all bytes to the client under SendSem. Bytes written, or -1 (errno kept).
int client_write(const uint8_t* bytes, size_t length, int* fdOut) {
    std::lock_guard lock(ctx().SendSem);
    const int fd = ctx().HBConnFd.load();
    *fdOut = fd;
    if (fd < 0) {
        errno = ENOTCONN;
        return -1;
    }
    size_t done = 0;
    while (done < length) {
        const ssize_t n = send(fd, bytes + done, length - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n < 1) return -1;
        done += static_cast<size_t>(n);
    }
    return static_cast<int>(done);
}

int close_fd(std::atomic<int>& fd) {
    const int old = fd.exchange(-1);
    if (old >= 0) close(old);
    return old;
}

// ---- listening socket ----

int PLR_MAV_NetworkInit() {
    close_fd(ctx().HBListenFd);
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    auto fail = [fd](const char* what, int line) {
        plr_trace_logf(PLR_LOG_E, "%s(%d) %s fail!%s", "PLR_MAV_NetworkInit", line, what,
                       strerror(errno));
        if (fd >= 0) close(fd);
        return -1;
    };
    if (fd < 0) return fail("socket", __LINE__);
    const int one = 1;
    if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0)
        return fail("setsockopt reuse", __LINE__);
    timeval tv{kAcceptTimeoutMs / 1000, 0};
    if (setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) != 0)
        return fail("setsockopt recv timeout", __LINE__);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(ctx().TcpPort.load());
    inet_pton(AF_INET, board_listen_address(), &addr.sin_addr);
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
        return fail("bind", __LINE__);
    if (listen(fd, 1) != 0) return fail("listen", __LINE__);
    if (ctx().TcpPort.load() == 0) {
        socklen_t len = sizeof addr;
        getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
        ctx().TcpPort.store(ntohs(addr.sin_port));  // keep it for every later re-creation
    }
    ctx().HBListenFd.store(fd);
    plr_trace_logf(PLR_LOG_D, "%s(%d):mav socket init ok !", __func__, __LINE__);
    return 0;
}

void configure_client(int fd) {
    const int size = kSockBufSize;
    if (setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size) != 0)
        PLR_TRACE(PLR_LOG_E, "set sending buffer error !");
    if (setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size) != 0)
        PLR_TRACE(PLR_LOG_E, "set receive buffer error !");
    const timeval tv{kSendTimeoutS, 0};
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    // The kernel takes the type of service as an int; the value is one byte.
    int tos = 15;
    if (setsockopt(fd, IPPROTO_IP, IP_TOS, &tos, sizeof tos) != 0)
        PLR_TRACE(PLR_LOG_E, "set ip tos error !");
    int got = 0;
    socklen_t len = sizeof got;
    if (getsockopt(fd, IPPROTO_IP, IP_TOS, &got, &len) == 0) {
        PLR_TRACE(PLR_LOG_D, "------TOS,OPTVAL=%d", got);
    } else {
        PLR_TRACE(PLR_LOG_E, "-------TOS,getsockopt error");
    }
}

// The inner loop: reads the client until it goes away. False when the thread
// must end.
bool serve_client(int fd) {
    std::array<uint8_t, kRecvChunk> buf{};
    while (true) {
        if (ctx().RecvExit.load() != 0) return false;
        if (ctx().ConnState.load() == MAV_CONN_NONE) return true;
        const int r = wait_readable(fd, kSelectTimeoutMs);
        if (r == -2) return false;
        if (r == 0) continue;
        if (r < 0) {
            PLR_TRACE(PLR_LOG_E, "select failed!,exit");
            if (errno == EINTR) continue;
            return true;
        }
        const ssize_t n = recv(fd, buf.data(), buf.size(), 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            PLR_TRACE(PLR_LOG_D, "quadrotor disconnected,reset accecpt socket!");
            return true;
        }
        PLR_MAV_MessageProcess(buf.data(), static_cast<size_t>(n));
    }
}

// What a failed accept means for the listening socket.
enum class AcceptFailure { kConnection, kResources, kSocket };

// A connection that went away before it was taken, or an interruption, leaves
// the listening socket as it is; so does a shortage of descriptors or memory,
// which a new socket would not cure. Anything else means the socket itself is
// broken and is made again.
AcceptFailure classify_accept_error(int error) {
    switch (error) {
        case EINTR:
        case EAGAIN:
#if EWOULDBLOCK != EAGAIN
        case EWOULDBLOCK:
#endif
        case ECONNABORTED:
        case EPROTO:
        case ENETDOWN:
        case ENOPROTOOPT:
        case EHOSTDOWN:
        case ENONET:
        case EHOSTUNREACH:
        case EOPNOTSUPP:
        case ENETUNREACH:
            return AcceptFailure::kConnection;
        case EMFILE:
        case ENFILE:
        case ENOBUFS:
        case ENOMEM:
            return AcceptFailure::kResources;
        default:
            return AcceptFailure::kSocket;
    }
}

// The listening socket is made once and kept while it works: a phone that
// connects while the thread serves another client, pauses or times out waits
// in the backlog and is taken by the next accept. Closing it between clients
// would reset such a phone, or refuse it outright while no socket listens.
void PLR_MAV_RecvThread() {
    plr_set_realtime("PLR_MAV_RecvThread", kRtPriority);
    ctx().ConnState.store(MAV_CONN_NONE);
    MavlinkCreateTimer(&ctx().HBTimer, MavlinkTimeoutSendHBHandle, nullptr);
    while (ctx().RecvExit.load() == 0) {
        PLR_MAV_CloseClient();
        if (ctx().HBListenFd.load() < 0 && PLR_MAV_NetworkInit() != 0) {
            PLR_TRACE(PLR_LOG_D, "net init fail!");
            if (wait_wake(kRetryPauseMs)) break;
            continue;
        }
        const int listenFd = ctx().HBListenFd.load();
        const int r = wait_readable(listenFd, kAcceptTimeoutMs);
        if (r == -2) break;
        if (r == 0) {
            PLR_TRACE(PLR_LOG_D, "accept fail!!!");  // time-out: nobody came
            continue;
        }
        sockaddr_in peer{};
        socklen_t len = sizeof peer;
        const int fd =
            r == 1 ? accept4(listenFd, reinterpret_cast<sockaddr*>(&peer), &len, SOCK_CLOEXEC) : -1;
        if (fd < 0) {
            const AcceptFailure failure = classify_accept_error(errno);
            PLR_TRACE(PLR_LOG_D, "accept fail!!!");
            if (failure == AcceptFailure::kConnection) continue;
            if (failure == AcceptFailure::kSocket) close_fd(ctx().HBListenFd);
            if (wait_wake(kRetryPauseMs)) break;
            continue;
        }
        const uint8_t host = static_cast<uint8_t>(ntohl(peer.sin_addr.s_addr) & 0xFF);
        PLR_TRACE(PLR_LOG_D, "MavlinkContext.HBConnFd = %d", fd);
        set_mac_bind(fd);
        PLR_TRACE(PLR_LOG_D, "Server got connet from %d", host);
        configure_client(fd);
        PLR_MAV_AttachClient(fd, host, PLR_MAV_NowMs());
        if (!serve_client(fd)) break;
    }
    PLR_MAV_CloseClient();
    close_fd(ctx().HBListenFd);
    MavlinkDeleteTimer(&ctx().HBTimer);
}

// ---- stick channel ----

int open_stick_socket() {
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        plr_trace_log(PLR_LOG_D, "socket fail!\n");
        return -1;
    }
    const int one = 1;
    if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0) {
        plr_trace_log(PLR_LOG_D, "setsockopt fail!\n");
        close(fd);
        return -1;
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(ctx().StickPort.load());
    inet_pton(AF_INET, board_listen_address(), &addr.sin_addr);
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        plr_trace_log(PLR_LOG_D, "bind fail!\n");
        close(fd);
        return -1;
    }
    if (ctx().StickPort.load() == 0) {
        socklen_t len = sizeof addr;
        getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
        ctx().StickPort.store(ntohs(addr.sin_port));
    }
    return fd;
}

void MavlinkRecvStickThread() {
    plr_set_realtime("MavlinkRecvStickThread", kRtPriority);
    std::array<uint8_t, kStickChunk> buf{};
    while (ctx().StickExit.load() == 0) {
        const int fd = open_stick_socket();
        if (fd < 0) {
            if (wait_wake(kRetryPauseMs)) break;
            continue;
        }
        ctx().StickFd.store(fd);
        while (ctx().StickExit.load() == 0) {
            const int r = wait_readable(fd, kSelectTimeoutMs);
            if (r == -2) break;
            if (r == 0) continue;
            if (r < 0) {
                if (errno == EINTR) continue;
                PLR_TRACE(PLR_LOG_D, "select failed!,exit");
                break;
            }
            const ssize_t n = recv(fd, buf.data(), buf.size(), 0);
            if (n > 0) uart_mavlink_send_buff(buf.data(), static_cast<int32_t>(n));
        }
        close_fd(ctx().StickFd);
        if (wake_pending()) break;
    }
}

}  // namespace

// ---- life cycle ----

// The status report of the settings context goes to the phone through here.
static int vcs_status_send(const VcsStatusParams* p) {
    mavlink_command_long_t cmd{};
    cmd.param1 = std::bit_cast<float>(p->bits1);
    cmd.param2 = std::bit_cast<float>(p->bits2);
    cmd.param3 = p->sdTotal;
    cmd.param4 = p->sdFree;
    cmd.param5 = std::bit_cast<float>(p->bits5);
    cmd.param6 = std::bit_cast<float>(p->bits6);
    cmd.param7 = std::bit_cast<float>(p->bits7);
    cmd.command = 2;
    return mavlink_pelora_command_long_send(&cmd);
}

int PLR_MAV_Init(uint16_t tcpPort, uint16_t stickPort) {
    std::lock_guard life(g_lifeLock);
    MavlinkCtx& c = ctx();
    if (c.Running.load() != 0) return -1;
    c.HBListenFd = -1;
    c.HBConnFd = -1;
    c.StickFd = -1;
    c.DisconnDeadline = 0;
    c.RecvExit = 0;
    c.StickExit = 0;
    c.ConnState = MAV_CONN_NONE;
    c.SendReady = 0;
    c.RepeaterState = 0;
    MavlinkResetGPSInfo();
    c.FlyctrlTimestamp = 0;
    c.RecSeconds = 0;
    {
        std::lock_guard lock(c.RecLock);
        c.RecFileName[0] = '\0';
    }
    c.Recording = 0;
    c.PhoneDirect = 0;
    c.BridgeExit = 0;
    c.Seq = 0;
    c.TcpPort = tcpPort;
    c.StickPort = stickPort;
    PLR_FPV_ClientReset();
    PLR_MAV_ResetParser();
    if (pipe2(c.WakeFd, O_CLOEXEC) != 0) {
        PLR_TRACE(PLR_LOG_E, "wake pipe: %s", strerror(errno));
        return -1;
    }
    MavlinkCreateTimer(&c.RecTimer, PLR_MAV_RecTimerHandler, nullptr);
    try {
        c.RecvThread = std::thread(PLR_MAV_RecvThread);
        c.StickThread = std::thread(MavlinkRecvStickThread);
    } catch (const std::system_error&) {
        PLR_TRACE(PLR_LOG_E, "MAVLink threads could not be started");
        c.RecvExit = 1;
        c.StickExit = 1;
        if (write(c.WakeFd[1], "x", 1) < 0) {
        }
        if (c.RecvThread.joinable()) c.RecvThread.join();
        MavlinkDeleteTimer(&c.RecTimer);
        close(c.WakeFd[0]);
        close(c.WakeFd[1]);
        c.WakeFd[0] = c.WakeFd[1] = -1;
        return -1;
    }
    PLR_VCS_SetStatusSender(vcs_status_send);
    c.Running = 1;
    PLR_MAV_VPS_EvtInit();
    return 0;
}

int PLR_MAV_Deinit() {
    std::lock_guard life(g_lifeLock);
    MavlinkCtx& c = ctx();
    if (c.Running.load() == 0) return 0;
    c.RecvExit = 1;
    c.StickExit = 1;
    if (write(c.WakeFd[1], "x", 1) < 0) {
        PLR_TRACE(PLR_LOG_E, "wake pipe: %s", strerror(errno));
    }
    // Stops the bridge first: it is the one that arms the recording timer.
    PLR_MAV_VPS_EvtDeinit();
    PLR_VCS_SetStatusSender(nullptr);
    if (c.RecvThread.joinable()) c.RecvThread.join();
    if (c.StickThread.joinable()) c.StickThread.join();
    MavlinkDeleteTimer(&c.RecTimer);
    c.Recording = 0;
    close(c.WakeFd[0]);
    close(c.WakeFd[1]);
    c.WakeFd[0] = c.WakeFd[1] = -1;
    c.Running = 0;
    return 0;
}

uint16_t PLR_MAV_GetTcpPort() {
    return ctx().TcpPort.load();
}
uint16_t PLR_MAV_GetStickPort() {
    return ctx().StickPort.load();
}

int64_t PLR_MAV_NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// ---- client and heartbeats ----

void PLR_MAV_AttachClient(int fd, uint8_t host, int64_t now) {
    MavlinkCtx& c = ctx();
    // Each connection starts a new byte stream: half a frame left by a client
    // that went away must not swallow the first bytes of the next one.
    PLR_MAV_ResetParser();
    {
        std::lock_guard lock(c.SendSem);
        c.HBConnFd.store(fd);
    }
    c.ConnState.store(MAV_CONN_ACCEPTED);
    c.PhoneDirect.store(host == MAV_REPEATER_HOST ? 0 : 1);
    PLR_FPV_SetClient(host);
    // A client that never sends a heartbeat is dropped like one that stops.
    c.DisconnDeadline.store(now + MAV_HEARTBEAT_LOSS_MS);
    MavlinkSetTimer(c.HBTimer, MAV_HEARTBEAT_PERIOD_MS);
    c.SendReady.store(1);
}

void PLR_MAV_CloseClient() {
    MavlinkCtx& c = ctx();
    heartbeat_timers_stop();
    c.ConnState.store(MAV_CONN_NONE);
    c.SendReady.store(0);
    PLR_FPV_SetClientConn(0);
    std::lock_guard lock(c.SendSem);
    const int fd = c.HBConnFd.exchange(-1);
    if (fd >= 0) {
        shutdown(fd, SHUT_RDWR);
        close(fd);
    }
}

void MavlinkHeartbeatSeen(int64_t now) {
    ctx().DisconnDeadline.store(now + MAV_HEARTBEAT_LOSS_MS);
    ctx().ConnState.store(MAV_CONN_HEARTBEAT);
}

int MavlinkTimeoutDisconn(int64_t now) {
    const int64_t deadline = ctx().DisconnDeadline.load();
    if (deadline == 0 || now < deadline) return 0;
    PLR_TRACE(PLR_LOG_D, "timeout disconnected!close fd=%d", ctx().HBConnFd.load());
    client_drop();
    return 1;
}

void MavlinkTimeoutSendHBHandle(void* /*arg*/) {
    if (ctx().PhoneDirect.load() == 1) {
        MavlinkHeartBeatSend();
    } else {
        MavlinkVideoSendHB2Repeater();
    }
    MavlinkTimeoutDisconn(PLR_MAV_NowMs());
}

// ---- parser ----

void PLR_MAV_SetMessageHandler(MavMessageHandler handler) {
    g_messageHandler.store(handler);
}

void PLR_MAV_ClearMessageHandler() {
    g_messageHandler.store(nullptr);
}

int PLR_MAV_MessageProcess(const uint8_t* bytes, size_t length) {
    if (bytes == nullptr) return 0;
    return mavlink_parse_bytes(
        &g_tcpParser, std::span<const uint8_t>(bytes, length),
        [](const mavlink_message_t* msg, void*) {
            if (const MavMessageHandler handler = g_messageHandler.load()) handler(msg);
        },
        nullptr);
}

void PLR_MAV_ResetParser() {
    mavlink_parser_reset(&g_tcpParser);
}

// ---- sending ----

int PLR_MAV_SendMessage(const mavlink_message_t* msg) {
    if (msg == nullptr) return -1;
    MavlinkCtx& c = ctx();
    if (c.HBConnFd.load() < 0) return -1;
    if (msg->msgid != MAVLINK_MSG_ID_HEARTBEAT &&
        (c.ConnState.load() == MAV_CONN_NONE || c.SendReady.load() == 0))
        return -1;
    std::array<uint8_t, MAVLINK_MAX_PACKET_LEN> frame{};
    const int n = mavlink_msg_to_send_buffer(frame, msg);
    if (n < 0) return -1;
    int fd = -1;
    const int written = client_write(frame.data(), static_cast<size_t>(n), &fd);
    if (written < 1) {
        PLR_TRACE(PLR_LOG_E, "Send error,%s close fd=%d!", strerror(errno), fd);
        if (fd >= 0) client_drop();
        return -1;
    }
    return written;
}

int PLR_MAV_Sendbuffer(const uint8_t* bytes, size_t length) {
    MavlinkCtx& c = ctx();
    if (bytes == nullptr || c.HBConnFd.load() < 0 || c.ConnState.load() == MAV_CONN_NONE ||
        c.SendReady.load() == 0)
        return -1;
    if (length == 0) return 0;
    int fd = -1;
    const int written = client_write(bytes, length, &fd);
    if (written < 1) {
        PLR_TRACE(PLR_LOG_E, "Send error,%s!", strerror(errno));
        if (fd >= 0) client_drop();
        return -1;
    }
    return written;
}

uint8_t PLR_MAV_NextSeq() {
    return ctx().Seq.fetch_add(1);
}

namespace {

constexpr uint8_t kToPhone = mavlink_sysid(MAV_BOARD_VIDEO, MAV_BOARD_PHONE);  // 36

}  // namespace

int MavlinkHeartBeatSend() {
    mavlink_heartbeat_t hb{};
    hb.system_status = static_cast<uint8_t>((ctx().Recording.load() != 0 ? 1 : 0) |
                                            (fs_is_stream_on() != 0 ? 2 : 0));
    hb.mavlink_version = 3;
    mavlink_message_t msg;
    mavlink_msg_heartbeat_pack(mavlink_sysid(MAV_BOARD_VIDEO, MAV_BOARD_DIRECT), 0,
                               PLR_MAV_NextSeq(), &hb, &msg);
    return PLR_MAV_SendMessage(&msg);
}

int MavlinkVideoSendHB2Repeater() {
    mavlink_heartbeat_t hb{};
    // Bit 0 says the live view is being sent: exactly when the live-view server
    // sends, a client ready for it (state 2) and the stream switch on.
    const bool fpv = PLR_FPV_GetClientConn() != 0 && fs_is_stream_on() != 0;
    hb.system_status = static_cast<uint8_t>((fpv ? 1 : 0) | (ctx().Recording.load() != 0 ? 4 : 0));
    mavlink_message_t msg;
    mavlink_msg_heartbeat_pack(mavlink_sysid(MAV_BOARD_VIDEO, MAV_BOARD_REPEATER), 0,
                               PLR_MAV_NextSeq(), &hb, &msg);
    return PLR_MAV_SendMessage(&msg);
}

int MavlinkPeloraAckSend(const mavlink_pelora_ack_t* ack) {
    if (ack == nullptr) return -1;
    mavlink_message_t msg;
    mavlink_msg_pelora_ack_pack(kToPhone, 0, PLR_MAV_NextSeq(), ack, &msg);
    return PLR_MAV_SendMessage(&msg);
}

int mavlink_pelora_ack_send(const mavlink_pelora_ack_t* ack) {
    return MavlinkPeloraAckSend(ack);
}

int MavlinkPeloraSdStatusSend(float capacity, float free, uint8_t state) {
    const mavlink_pelora_sd_status_t sd{capacity, free, state};
    mavlink_message_t msg;
    mavlink_msg_pelora_sd_status_pack(kToPhone, 0, PLR_MAV_NextSeq(), &sd, &msg);
    return PLR_MAV_SendMessage(&msg);
}

int MavlinkParamValueSend(const mavlink_pelora_param_value_t* value) {
    if (value == nullptr) return -1;
    mavlink_message_t msg;
    mavlink_msg_pelora_param_value_pack(kToPhone, 0, PLR_MAV_NextSeq(), value, &msg);
    return PLR_MAV_SendMessage(&msg);
}

int mavlink_pelora_command_long_send(const mavlink_command_long_t* cmd) {
    if (cmd == nullptr) return -1;
    mavlink_message_t msg;
    mavlink_msg_command_long_pack(kToPhone, 0, PLR_MAV_NextSeq(), cmd, &msg);
    return PLR_MAV_SendMessage(&msg);
}

int mavlink_pelora_command_ack_send(uint16_t command, uint8_t result) {
    return mavlink_command_ack_send(kToPhone, command, result);
}

int mavlink_command_ack_send(uint8_t sysid, uint16_t command, uint8_t result) {
    const mavlink_command_ack_t ack{command, result};
    mavlink_message_t msg;
    mavlink_msg_command_ack_pack(sysid, 0, PLR_MAV_NextSeq(), &ack, &msg);
    return PLR_MAV_SendMessage(&msg);
}

int mavlink_time_sync_send(int64_t tc1, int64_t ts1) {
    const mavlink_timesync_t ts{tc1, ts1};
    mavlink_message_t msg;
    mavlink_msg_timesync_pack(kToPhone, 0, PLR_MAV_NextSeq(), &ts, &msg);
    return PLR_MAV_SendMessage(&msg);
}

// ---- state queries, recording time ----

uint32_t PLR_MAV_GetRecTime() {
    return ctx().RecSeconds.load();
}
uint32_t PLR_MAV_GetFlyctrlTimestamp() {
    return ctx().FlyctrlTimestamp.load();
}

uint32_t MavlinkGetTimeStamp() {
    timeval tv{};
    board_clock_gettimeofday(&tv);
    return static_cast<uint32_t>(tv.tv_usec / 1000);
}

void PLR_MAV_RecTimerHandler(void* /*arg*/) {
    const uint32_t seconds = ctx().RecSeconds.fetch_add(1) + 1;
    mavlink_time_sync_send(0, seconds);
}

// ---- timers and locks ----

int MavlinkCreateTimer(PlrTimer** timer, void (*handler)(void*), void* arg) {
    if (timer == nullptr || handler == nullptr) return -1;
    PLR_Timer_Create(timer, handler, arg);
    if (*timer == nullptr) {
        plr_trace_log(PLR_LOG_D, "timer_create error!");
        return -1;
    }
    return 0;
}

int MavlinkSetTimer(PlrTimer* timer, uint32_t milliseconds) {
    if (timer == nullptr) return -1;
    PLR_Timer_SetIntval(timer, static_cast<int32_t>(milliseconds));
    return 0;
}

void MavlinkDeleteTimer(PlrTimer** timer) {
    if (timer != nullptr && *timer != nullptr) PLR_Timer_Deinit(timer);
}

int mavlink_mutex_try_lock(std::mutex& mutex, int tries) {
    int failed = 0;
    while (!mutex.try_lock()) {
        if (tries > 0 && ++failed >= tries) return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return 0;
}

int mavlink_mutex_unlock(std::mutex& mutex) {
    mutex.unlock();
    return 0;
}

// ---- socket utilities ----

int set_socket_nonblock(int fd) {
    const int opts = fcntl(fd, F_GETFL);
    if (opts < 0) {
        plr_trace_log(PLR_LOG_E, "fcntl(sock,GETFL)");
        return -1;
    }
    if (fcntl(fd, F_SETFL, opts | O_NONBLOCK) < 0) {
        plr_trace_log(PLR_LOG_E, "fcntl(sock,SETFL,opts)");
        return -1;
    }
    int on = 1;
    ioctl(fd, FIONBIO, &on);
    return 0;
}

int set_socket_nodelay(int fd) {
    const int on = 1;
    if (setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) != 0) {
        plr_trace_log(PLR_LOG_D, "Couldn't setsockopt(TCP_NODELAY)");
        return -1;
    }
    return 0;
}

int set_socket_nolinger(int fd) {
    const linger lg{1, 0};
    if (setsockopt(fd, SOL_SOCKET, SO_LINGER, &lg, sizeof lg) != 0) {
        plr_trace_log(PLR_LOG_D, "Couldn't setsockopt(nolinger)");
        return -1;
    }
    return 0;
}

// ---- MAC binding ----

namespace {

constexpr const char* kMacSetFile = "/tmp/macset.txt";
constexpr size_t kMacListMax = 399;

}  // namespace

int set_mac_bind(int fd) {
    sockaddr_in peer{};
    socklen_t len = sizeof peer;
    if (getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &len) != 0) {
        printf("getpeername: %s\n", strerror(errno));
        return -1;
    }
    std::array<uint8_t, 6> mac{};
    if (board_arp_lookup(peer.sin_addr, &mac) != 0) return -1;
    char text[18];
    snprintf(text, sizeof text, "%02x:%02x:%02x:%02x:%02x:%02x", mac[0], mac[1], mac[2], mac[3],
             mac[4], mac[5]);
    PLR_TRACE(PLR_LOG_D, "peer macaddr:%s", text);
    return save_macaddr(text);
}

int save_macaddr(const char* mac) {
    if (mac == nullptr) return -1;
    // The list holds the one bound phone; readers split it at ';'.
    std::string list(mac);
    if (list.size() > kMacListMax) list.resize(kMacListMax);
    PLR_TRACE(PLR_LOG_D, "%s", list.c_str());
    std::ofstream out(board_path(kMacSetFile), std::ios::trunc);
    if (!out) {
        PLR_TRACE(PLR_LOG_E, "cannot write %s", kMacSetFile);
        return -1;
    }
    out << list << '\n';
    plr_trace_logf(PLR_LOG_D, "%s(line=%d) save mac:%s > %s", __func__, __LINE__, list.c_str(),
                   kMacSetFile);
    return 0;
}

int MavlinkBindClient() {
    std::vector<std::string> macs;
    std::ifstream in(board_path(kMacSetFile));
    std::string line;
    while (std::getline(in, line)) {
        size_t start = 0;
        while (start <= line.size()) {
            const size_t end = line.find(';', start);
            std::string mac = line.substr(start, end == std::string::npos ? end : end - start);
            if (mac.size() > 49) mac.resize(49);
            if (!mac.empty()) macs.push_back(mac);
            if (end == std::string::npos) break;
            start = end + 1;
        }
    }
    std::vector<std::string> commands;
    const int ret = board_firewall_bind_macs(macs, &commands);
    for (const std::string& command : commands) PLR_TRACE(PLR_LOG_D, "%s", command.c_str());
    return ret;
}

int MavlinkUnbindClient() {
    std::vector<std::string> commands;
    const int ret = board_firewall_unbind(&commands);
    for (const std::string& command : commands) PLR_TRACE(PLR_LOG_D, "%s", command.c_str());
    return ret;
}
