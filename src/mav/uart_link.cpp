#include "mav/uart_link.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <system_error>
#include <utility>

#include "board/board.h"
#include "core/trace_log.h"
#include "mav/mav_input.h"
#include "mav/mavlink_msgs.h"
#include "state/drone_position.h"

UartCtx UartContext;

namespace {

std::atomic<UartMessageHandler> g_messageHandler{nullptr};

constexpr int kSelectTimeoutMs = 2000;
// How long one frame may wait for room on the line. At 460800 baud a frame
// leaves in under 6 ms and the driver's whole buffer in well under this; a
// line that takes nothing for this long is stalled, and the frame is dropped
// instead of holding every writer (the phone link's receive thread among
// them) behind the write lock.
constexpr int kWriteTimeoutMs = 50;
constexpr size_t kReadChunk = 1024;
constexpr int kRtPriority = 2;
constexpr uint8_t kCamTarget = 100;
constexpr uint16_t kCmdMedia = 2;
constexpr uint16_t kCmdFwVersion = 520;
constexpr float kTlapseState = 11.0F;
constexpr size_t kSsidMax = 29;
constexpr uint8_t kAckSysid = 3;
// Line speeds the link knows; any other gives 9600.
constexpr std::pair<int, speed_t> kSpeeds[] = {
    {2400, B2400},     {4800, B4800},     {9600, B9600},
    {115200, B115200}, {230400, B230400}, {460800, B460800},
};

std::mutex g_lifeLock;  // UartInit and UartExit
std::atomic<UartWriter> g_writer{nullptr};
std::atomic<uint8_t> g_seq{0};
std::atomic<int32_t> g_distance{0};
std::atomic<bool> g_closedLogged{false};
std::atomic<bool> g_lineStalled{false};   // the last write found no room on the line
std::atomic<bool> g_stallChanged{false};  // to be logged outside the write lock
std::atomic<uint32_t> g_framesDropped{0};
mavlink_status_t g_uartParser{};  // only the read thread parses

UartCtx& ctx() {
    return UartContext;
}

uint8_t next_seq() {
    return g_seq.fetch_add(1);
}

uint8_t own_sysid() {
    return mavlink_sysid(MAV_BOARD_VIDEO, MAV_BOARD_FLYCTRL);
}

void set_realtime() {
    sched_param param{};
    param.sched_priority = kRtPriority;
    const int rc = pthread_setschedparam(pthread_self(), SCHED_RR, &param);
    if (rc != 0) {
        plr_trace_logf(PLR_LOG_D,
                       "UartReadThread keeps the default policy: SCHED_RR priority %d refused (%s)",
                       kRtPriority, strerror(rc));
    }
}

// Sleeps up to `ms`, or until UartExit writes to the wake pipe. True when woken.
bool wait_wake(int ms) {
    pollfd p{ctx().WakeFd[0], POLLIN, 0};
    return poll(&p, 1, ms) > 0;
}

// Writes all bytes to the non-blocking port; called under the write lock.
// Waits for room at most kWriteTimeoutMs per frame, and not at all while the
// line is known to be stalled (the last frame found no room): then only what
// fits at once is written. Bytes written, or -1 when nothing could be written.
int write_all(int fd, const uint8_t* bytes, size_t length) {
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(kWriteTimeoutMs);
    size_t done = 0;
    while (done < length) {
        const ssize_t n = write(fd, bytes + done, length - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN) break;
        if (g_lineStalled.load()) break;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        if (left <= 0) break;
        pollfd p{fd, POLLOUT, 0};
        if (poll(&p, 1, static_cast<int>(left)) < 0 && errno != EINTR) break;
    }
    const bool stalled = done < length;
    if (stalled != g_lineStalled.exchange(stalled)) {
        g_stallChanged.store(true);
    }
    if (stalled) g_framesDropped.fetch_add(1);
    return done > 0 ? static_cast<int>(done) : -1;
}

void dispatch_one(const mavlink_message_t* msg, void* /*context*/) {
    if (mavlink_sysid_sender(msg->sysid) == MAV_BOARD_FLYCTRL) MavlinkFlyctrlHeard();
    if (const UartMessageHandler handler = g_messageHandler.load()) handler(msg);
}

void close_wake_pipe() {
    for (int& fd : ctx().WakeFd) {
        if (fd >= 0) close(fd);
        fd = -1;
    }
}

void UartReadThread() {
    set_realtime();
    std::array<uint8_t, kReadChunk> buf{};
    const int fd = ctx().PortFd.load();
    bool hungUp = false;
    while (ctx().ReadExit.load() == 0) {
        std::array<pollfd, 2> fds{{{fd, POLLIN, 0}, {ctx().WakeFd[0], POLLIN, 0}}};
        const int n = poll(fds.data(), fds.size(), kSelectTimeoutMs);
        if (n < 0) {
            if (errno == EINTR) continue;
            PLR_TRACE(PLR_LOG_E, "select failed!: %s", strerror(errno));
            if (wait_wake(kSelectTimeoutMs)) break;
            continue;
        }
        if ((fds[1].revents & POLLIN) != 0) break;
        if (n == 0) continue;
        const ssize_t got = read(fd, buf.data(), buf.size());
        if (got > 0) {
            hungUp = false;
            uart_message_handler(buf.data(), static_cast<size_t>(got));
            continue;
        }
        if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        // The other end hung up (a pseudo-terminal whose master went away):
        // the descriptor stays readable with nothing to read. Look again now
        // and then instead of spinning; the line may come back.
        if (!hungUp) {
            PLR_TRACE(PLR_LOG_E, "flight-controller line hung up: %s",
                      got < 0 ? strerror(errno) : "end of file");
            hungUp = true;
        }
        if (wait_wake(kSelectTimeoutMs)) break;
    }
}

}  // namespace

void uart_set_message_handler(UartMessageHandler handler) {
    g_messageHandler.store(handler);
}

void uart_clear_message_handler() {
    g_messageHandler.store(nullptr);
}

// ---- life cycle ----

int OpenUartPort() {
    const std::string device = board_path(ttydev);
    const int fd = open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        const int err = errno;
        PLR_TRACE(PLR_LOG_E, "can't open seria port ttyS1");
        errno = err;
        return -1;
    }
    plr_trace_logf(PLR_LOG_D, "open %s success!\n", ttydev);
    // The port stays non-blocking: a missing carrier cannot hold the open, the
    // read thread polls before it reads, and a write to a stalled line returns
    // at once instead of holding the write lock until the line moves.
    if (fcntl(fd, F_SETFL, O_NONBLOCK) < 0) plr_trace_log(PLR_LOG_E, "fcntl failed!");
    if (isatty(fd) != 0) {
        plr_trace_log(PLR_LOG_D, "isatty success!");
    } else {
        plr_trace_log(PLR_LOG_D, "standard input is not a terminal device");
    }
    ctx().PortFd.store(fd);
    return 0;
}

int SetUartOpt(int speed, int bits, char parity, int stop) {
    const int fd = ctx().PortFd.load();
    termios oldtio{};
    if (tcgetattr(fd, &oldtio) != 0) {
        const int err = errno;
        PLR_TRACE(PLR_LOG_E, "setup serial: %s", strerror(err));
        errno = err;
        return -1;
    }
    // A fresh, all-zero set: no input, output or local processing (raw).
    termios newtio{};
    newtio.c_cflag |= CLOCAL | CREAD;
    newtio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | CRTSCTS);
    if (bits == 7) {
        newtio.c_cflag |= CS7;
    } else if (bits == 8) {
        newtio.c_cflag |= CS8;
    }
    switch (parity) {
        case 'O':
            newtio.c_cflag |= PARENB | PARODD;
            newtio.c_iflag |= INPCK | ISTRIP;
            break;
        case 'E':
            newtio.c_cflag |= PARENB;
            newtio.c_cflag &= ~static_cast<tcflag_t>(PARODD);
            newtio.c_iflag |= INPCK | ISTRIP;
            break;
        case 'N':
            newtio.c_cflag &= ~static_cast<tcflag_t>(PARENB);
            newtio.c_iflag &= ~static_cast<tcflag_t>(INPCK);
            break;
        default:
            break;
    }
    speed_t baud = B9600;
    for (const auto& [rate, code] : kSpeeds) {
        if (rate == speed) baud = code;
    }
    cfsetispeed(&newtio, baud);
    cfsetospeed(&newtio, baud);
    if (stop == 1) {
        newtio.c_cflag &= ~static_cast<tcflag_t>(CSTOPB);
    } else if (stop == 2) {
        newtio.c_cflag |= CSTOPB;
    }
    newtio.c_cc[VTIME] = 0;
    newtio.c_cc[VMIN] = 0;
    tcflush(fd, TCIFLUSH);
    if (tcsetattr(fd, TCSANOW, &newtio) != 0) {
        const int err = errno;
        plr_trace_log(PLR_LOG_E, "com set error");
        errno = err;
        return -1;
    }
    plr_trace_log(PLR_LOG_D, "set done!");
    return 0;
}

int UartInit() {
    std::lock_guard life(g_lifeLock);
    if (board_file_exists(UART_TESTMODE_FILE)) return 0;
    UartCtx& c = ctx();
    if (c.ReadThread.joinable()) return -1;  // already running
    {
        std::lock_guard lock(c.WriteLock);
        c.PortFd.store(-1);
    }
    c.ReadExit.store(0);
    mavlink_parser_reset(&g_uartParser);
    if (OpenUartPort() != 0) {
        PLR_TRACE(PLR_LOG_E, "open_port error: %s", strerror(errno));
        return -1;
    }
    if (SetUartOpt(UART_BAUD_RATE, 8, 'N', 1) != 0) {
        PLR_TRACE(PLR_LOG_E, "set_opt error: %s", strerror(errno));
        std::lock_guard lock(c.WriteLock);
        close(c.PortFd.exchange(-1));
        return -1;
    }
    if (pipe2(c.WakeFd, O_CLOEXEC) != 0) {
        PLR_TRACE(PLR_LOG_E, "pipe: %s", strerror(errno));
        std::lock_guard lock(c.WriteLock);
        close(c.PortFd.exchange(-1));
        return -1;
    }
    try {
        c.ReadThread = std::thread(UartReadThread);
    } catch (const std::system_error& e) {
        PLR_TRACE(PLR_LOG_E, "create UartReadThread failed: %s", e.what());
        close_wake_pipe();
        std::lock_guard lock(c.WriteLock);
        close(c.PortFd.exchange(-1));
        return -1;
    }
    return 0;
}

int UartExit() {
    std::lock_guard life(g_lifeLock);
    UartCtx& c = ctx();
    if (c.ReadThread.joinable()) {
        c.ReadExit.store(1);
        const uint8_t wake = 1;
        if (write(c.WakeFd[1], &wake, 1) < 0)
            PLR_TRACE(PLR_LOG_E, "wake read thread: %s", strerror(errno));
        c.ReadThread.join();
    }
    close_wake_pipe();
    std::lock_guard lock(c.WriteLock);
    const int fd = c.PortFd.exchange(-1);
    if (fd >= 0) close(fd);
    return 0;
}

// ---- receiving ----

int uart_message_handler(const uint8_t* bytes, size_t length) {
    if (bytes == nullptr) return 0;
    return mavlink_parse_bytes(&g_uartParser, std::span(bytes, length), dispatch_one, nullptr);
}

// ---- sending ----

int UartWrite(const uint8_t* bytes, size_t length) {
    bool open = false;
    int written = 0;
    {
        std::lock_guard lock(ctx().WriteLock);
        const UartWriter writer = g_writer.load();
        if (writer != nullptr) return writer(bytes, length);
        const int fd = ctx().PortFd.load();
        open = fd >= 0;
        if (open) written = write_all(fd, bytes, length);
    }
    if (open) {
        // Logged outside the write lock: no lock is held while taking another.
        if (g_stallChanged.exchange(false)) {
            if (g_lineStalled.load()) {
                PLR_TRACE(PLR_LOG_E, "flight-controller line stalled: frames are dropped");
            } else {
                PLR_TRACE(PLR_LOG_D, "flight-controller line moves again (%u frames dropped)",
                          g_framesDropped.load());
            }
        }
        return written;
    }
    // Logged outside the write lock: no lock is held while taking another.
    if (!g_closedLogged.exchange(true))
        PLR_TRACE(PLR_LOG_D, "flight-controller link closed, frames go nowhere");
    return 0;
}

int uart_mavlink_send(const mavlink_message_t* msg) {
    if (msg == nullptr) return -1;
    std::array<uint8_t, MAVLINK_MAX_PACKET_LEN> frame{};
    const int n = mavlink_msg_to_send_buffer(frame, msg);
    if (n < 0) return -1;
    return UartWrite(frame.data(), static_cast<size_t>(n));
}

int uart_mavlink_send_buff(const uint8_t* bytes, int32_t length) {
    if (bytes == nullptr || length <= 0) return 0;
    return UartWrite(bytes, static_cast<size_t>(length));
}

int uart_mavlink_command_long_send(uint8_t targetSystem, uint8_t targetComponent, uint16_t command,
                                   float p1, float p2, float p3, float p4, float p5, float p6,
                                   float p7) {
    const mavlink_command_long_t cmd{
        p1, p2, p3, p4, p5, p6, p7, command, targetSystem, targetComponent, 0};
    mavlink_message_t msg;
    mavlink_msg_command_long_pack(own_sysid(), 0, next_seq(), &cmd, &msg);
    return uart_mavlink_send(&msg);
}

int uart_mavlink_camera_state_send(uint32_t state) {
    return uart_mavlink_command_long_send(kCamTarget, 0, kCmdMedia, static_cast<float>(state), 0, 0,
                                          0, 0, 0, 0);
}

int uart_mavlink_camera_tlapse_send(float a, float b, float c, float d, float e, float f) {
    return uart_mavlink_command_long_send(kCamTarget, 0, kCmdMedia, kTlapseState, a, b, c, d, e, f);
}

int uart_mavlink_get_fw_version() {
    return uart_mavlink_command_long_send(kCamTarget, 0, kCmdFwVersion, 1.0F, 0, 0, 0, 0, 0, 0);
}

int uart_mavlink_send_ssid() {
    const std::string command = "/bin/cat " + board_path("/tmp/hostapd.conf") +
                                "  | /bin/grep ssid | /usr/bin/awk 'BEGIN{FS=\"=\"}{print $2}'";
    std::string output;
    if (board_run_command(command, &output) < 0) {
        plr_trace_logf(PLR_LOG_E, "%s(line=%d):popen error!\n", __func__, __LINE__);
        return -1;
    }
    // The first line, at most 29 characters; its line feed, if read, stays.
    const size_t lineEnd = output.find('\n');
    std::string ssid = output.substr(0, lineEnd == std::string::npos ? output.size() : lineEnd + 1);
    if (ssid.size() > kSsidMax) ssid.resize(kSsidMax);
    plr_trace_logf(PLR_LOG_D, "Send ssid to uart:%s", ssid.c_str());
    mavlink_pelora_custom_config_t config{};
    config.setting_type = 0;
    snprintf(config.text, sizeof config.text, "%s", ssid.c_str());
    mavlink_message_t msg;
    mavlink_msg_pelora_custom_config_pack(own_sysid(), 0, next_seq(), &config, &msg);
    uart_mavlink_send(&msg);
    return 0;
}

int uart_mavlink_pelora_ack_send(uint16_t command, uint8_t result) {
    const mavlink_command_ack_t ack{command, result};
    mavlink_message_t msg;
    mavlink_msg_command_ack_pack(kAckSysid, 0, next_seq(), &ack, &msg);
    return uart_mavlink_send(&msg);
}

int mavlink_command_long_send2flyctrl(uint8_t targetSystem, uint8_t targetComponent,
                                      uint16_t command, float p1, float p2, float p3, float p4,
                                      float p5, float p6, float p7) {
    plr_trace_logf(PLR_LOG_D, "mavlink_command_long_send %d,%f,%f,%f,%f,%f,%f,%f",
                   static_cast<int>(command), double{p1}, double{p2}, double{p3}, double{p4},
                   double{p5}, double{p6}, double{p7});
    return uart_mavlink_command_long_send(targetSystem, targetComponent, command, p1, p2, p3, p4,
                                          p5, p6, p7);
}

int mavlink_camera_state_send2flyctrl(uint32_t state) {
    return uart_mavlink_camera_state_send(state);
}

int uart_mavlink_local_position_ned_process(const mavlink_message_t* msg) {
    mavlink_local_position_ned_t pos{};
    if (mavlink_msg_local_position_ned_decode(msg, &pos) != 0) return -1;
    // A value without an integer (NaN, infinite, beyond int32) keeps the last distance.
    int32_t distance = 0;
    if (MavlinkParamToInt(pos.x, INT32_MIN, INT32_MAX, &distance) != 0) return -1;
    g_distance.store(distance);
    return 0;
}

int32_t uart_get_cur_distance() {
    return g_distance.load();
}

void uart_HB_timer_handler(void* /*arg*/) {}

void uart_set_writer(UartWriter writer) {
    g_writer.store(writer);
}

void uart_link_reset() {
    g_writer.store(nullptr);
    g_seq.store(0);
    g_distance.store(0);
    g_closedLogged.store(false);
    g_lineStalled.store(false);
    g_stallChanged.store(false);
    g_framesDropped.store(0);
}

uint32_t uart_frames_dropped() {
    return g_framesDropped.load();
}
