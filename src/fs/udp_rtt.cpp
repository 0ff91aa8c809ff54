#include "fs/udp_rtt.h"

#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <arpa/inet.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

#include "board/board.h"
#include "core/realtime.h"
#include "core/trace_log.h"

namespace {

using Clock = std::chrono::steady_clock;

// The transport's state. Time stamps identify frames on the wire; round trips
// are measured on the monotonic clock, so that a clock set from the phone in
// the middle of a transfer does not corrupt the estimator.
struct RttInfo {
    RttEstimator est{};
    uint32_t send_stamp = 0;
    Clock::time_point send_time{};
    std::mutex rtt_lock;  // guards the acknowledgement fields and the kept frame
    std::condition_variable ack_cond;
    uint32_t ack_stamp = 0;
    Clock::time_point ack_time{};
    bool ack_seen = false;
    std::vector<uint8_t> last_pkg;  // the kept frame, empty when none
    uint32_t last_pkg_stamp = 0;
    uint32_t last_stamp = 0;  // stamp of the latest frame built
    // The IPv4 address (network order) of the frame's peer: only its
    // acknowledgements count.
    std::atomic<uint32_t> peer_ip{0};
    std::vector<uint8_t> tx;  // frame buffer of udp_send, reused (the caller serialises sends)
    std::atomic<int> ack_sock{-1};
    std::thread recv_thread;
    std::atomic<bool> stop{false};
    // True while a sender waits for its acknowledgement: the sender then reads
    // the acknowledgement socket itself (one thread hop less per frame) and
    // the acknowledgement thread stands aside.
    std::atomic<bool> sending{false};
};

RttInfo r_info;

constexpr int kAckWaitMs = 250;  // slice of the acknowledgement thread's wait

void rtt_reset_stamp() {
    std::lock_guard<std::mutex> lock(r_info.rtt_lock);
    r_info.ack_stamp = 0;
    r_info.ack_seen = false;
}

// A stamp for a new frame: the clock's, but never 0 and never the previous
// frame's, so that a late acknowledgement cannot acknowledge a new frame.
uint32_t new_frame_stamp() {
    uint32_t stamp = udp_get_time_stamp32();
    if (stamp == 0 || stamp == r_info.last_stamp) stamp = r_info.last_stamp + 1;
    if (stamp == 0) stamp = 1;
    r_info.last_stamp = stamp;
    return stamp;
}

void rtt_ack_sock_init() {
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        PLR_TRACE(PLR_LOG_E, "Error can not create socket!!");
        PLR_TRACE(PLR_LOG_E, "rtt_ack_sock_init failed!");
        return;
    }
    const int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(RTT_ACK_PORT);
    inet_pton(AF_INET, board_listen_address(), &addr.sin_addr);
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        PLR_TRACE(PLR_LOG_E, "bind fail!");
        PLR_TRACE(PLR_LOG_E, "rtt_ack_sock_init failed!");
        close(fd);
        return;
    }
    r_info.ack_sock = fd;
}

// Reads one acknowledgement datagram without waiting and hands it on with
// its sender's address.
void ack_receive(int fd, uint8_t* buf, size_t size) {
    sockaddr_in from{};
    socklen_t fromLen = sizeof from;
    const ssize_t n =
        recvfrom(fd, buf, size, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&from), &fromLen);
    if (n <= 0 || fromLen != sizeof from || from.sin_family != AF_INET) return;
    rtt_ack_process(buf, static_cast<size_t>(n), &from);
}

// One log line for the first send failure of an outage, then at most one a
// second with the count of the failures in between.
void log_send_failure(int err) {
    static std::atomic<int64_t> last{0};
    static std::atomic<uint32_t> quiet{0};
    const int64_t now =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch())
            .count();
    const int64_t before = last.load();
    if (before != 0 && now - before < 1000) {
        quiet.fetch_add(1);
        return;
    }
    last.store(now);
    PLR_TRACE(PLR_LOG_D, "send failed %s!!! (%u more since the last line)", strerror(err),
              quiet.exchange(0));
}

void udpAckRecvThread() {
    plr_set_realtime("udpAckRecvThread", 2);
    if (r_info.ack_sock < 0) return;
    std::vector<uint8_t> buf(4096);
    while (!r_info.stop.load()) {
        if (r_info.sending.load()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            continue;
        }
        pollfd pfd{r_info.ack_sock, POLLIN, 0};
        const int rc = poll(&pfd, 1, kAckWaitMs);
        if (rc < 0) {
            if (errno != EINTR) PLR_TRACE(PLR_LOG_D, "select failed!!!");
            continue;
        }
        // A sender that began meanwhile reads the datagram itself (its
        // acknowledgement arrived after it set the flag). It may also begin
        // between this check and the read and take the datagram first, so
        // the read does not wait: a blocked read would hold up shutdown.
        if (rc == 0 || r_info.sending.load()) continue;
        ack_receive(r_info.ack_sock, buf.data(), buf.size());
    }
}

bool acked_locked(uint32_t stamp) {
    return r_info.ack_seen && r_info.ack_stamp == stamp;
}

// Waits until the frame `stamp` is acknowledged or the deadline passes. The
// acknowledgement socket is read here directly, in slices of at most 1 ms; an
// acknowledgement that the acknowledgement thread took just before it stood
// aside is seen through the shared fields.
bool wait_ack(uint32_t stamp, Clock::time_point deadline) {
    const int fd = r_info.ack_sock;
    if (fd < 0) {
        std::unique_lock<std::mutex> lock(r_info.rtt_lock);
        return r_info.ack_cond.wait_until(lock, deadline, [stamp] { return acked_locked(stamp); });
    }
    uint8_t buf[4096];
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(r_info.rtt_lock);
            if (acked_locked(stamp)) return true;
        }
        const auto left =
            std::chrono::duration_cast<std::chrono::microseconds>(deadline - Clock::now());
        if (left.count() <= 0) return false;
        const long slice = left.count() < 1000 ? static_cast<long>(left.count()) : 1000;
        const timespec ts{0, slice * 1000};
        pollfd pfd{fd, POLLIN, 0};
        if (ppoll(&pfd, 1, &ts, nullptr) <= 0) continue;
        ack_receive(fd, buf, sizeof buf);
    }
}

// Sends the frame and waits for its acknowledgement, retransmitting on each
// timeout. `meanwhile` runs once after the first transmission, while the
// acknowledgement is on its way. Returns 0 when acknowledged, the send call's
// result when sending failed, or -110 after the last transmission.
//
// Karn's rule: only a frame acknowledged at its first transmission gives a
// round-trip sample. After a retransmission nobody knows which transmission
// the acknowledgement answers; sampling from the first send would inflate the
// timeout after every loss. The backed-off timeout then stays until the next
// clean sample. A resend of a kept frame (`first` false) is a retransmission
// from its start.
int send_and_wait(const uint8_t* frame, size_t size, uint32_t stamp, int sock,
                  const sockaddr_in* peer, bool first, const std::function<void()>& meanwhile) {
    struct Sending {
        Sending() { r_info.sending.store(true); }
        ~Sending() { r_info.sending.store(false); }
    } sending;
    r_info.est.retries = 0;
    rtt_reset_stamp();
    r_info.peer_ip.store(peer->sin_addr.s_addr);
    r_info.send_stamp = stamp;
    r_info.send_time = Clock::now();
    bool clean = first;
    bool ran_meanwhile = meanwhile == nullptr;
    for (;;) {
        const ssize_t sent = sendto(sock, frame, size, MSG_NOSIGNAL,
                                    reinterpret_cast<const sockaddr*>(peer), sizeof *peer);
        if (sent <= 0) {
            log_send_failure(errno);
            return sent < 0 ? static_cast<int>(sent) : -1;
        }
        const auto deadline = Clock::now() + std::chrono::microseconds(r_info.est.rto);
        if (!ran_meanwhile) {
            ran_meanwhile = true;
            meanwhile();
        }
        const bool acked = wait_ack(stamp, deadline);
        std::unique_lock<std::mutex> lock(r_info.rtt_lock);
        if (acked) {
            const auto rtt = std::chrono::duration_cast<std::chrono::microseconds>(r_info.ack_time -
                                                                                   r_info.send_time)
                                 .count();
            lock.unlock();
            if (clean) {
                rtt_estimator_update(&r_info.est,
                                     static_cast<int32_t>(rtt > INT32_MAX ? INT32_MAX : rtt));
            }
            r_info.est.retries = 0;
            return 0;
        }
        lock.unlock();
        clean = false;
        const int32_t retries = rtt_estimator_timeout(&r_info.est);
        if (retries >= RTT_MAX_TRANSMISSIONS) {
            errno = ETIMEDOUT;
            return -110;
        }
        plr_trace_logf(PLR_LOG_D, "%s(line=%d):retransmit:%d,timeout:%ld,timestamp:%lu", __func__,
                       __LINE__, static_cast<int>(retries), static_cast<long>(r_info.est.rto),
                       static_cast<unsigned long>(stamp));
    }
}

bool valid_target(int sock, const sockaddr_in* peer) {
    return sock > 0 && peer != nullptr;
}

}  // namespace

uint32_t udp_get_time_stamp32() {
    timeval tv{};
    board_clock_gettimeofday(&tv);
    return static_cast<uint32_t>(static_cast<uint64_t>(tv.tv_sec) * 1000000u +
                                 static_cast<uint64_t>(tv.tv_usec));
}

void rtt_ack_process(const uint8_t* data, size_t len, const sockaddr_in* from) {
    if (data == nullptr || from == nullptr) return;
    // A stranger's acknowledgement of a frame the phone never took would
    // leave a hole in the phone's file.
    if (from->sin_addr.s_addr != r_info.peer_ip.load()) return;
    uint32_t stamp = 0;
    if (rtt_ack_scan(std::span(data, len), &stamp) == 0) return;
    {
        std::lock_guard<std::mutex> lock(r_info.rtt_lock);
        r_info.ack_stamp = stamp;
        r_info.ack_time = Clock::now();
        r_info.ack_seen = true;
    }
    r_info.ack_cond.notify_all();
}

int udp_send_prepared(uint8_t* frame, size_t len, int sock, const sockaddr_in* peer,
                      const std::function<void()>& meanwhile) {
    if (frame == nullptr || len < 1 || len > UDP_MAX_PAYLOAD || !valid_target(sock, peer)) {
        return -22;
    }
    {
        // Only the latest frame may be resent: a frame kept from an earlier
        // call is stale once a new one is sent.
        std::lock_guard<std::mutex> lock(r_info.rtt_lock);
        r_info.last_pkg.clear();
        r_info.last_pkg_stamp = 0;
    }
    const uint32_t stamp = new_frame_stamp();
    udp_stamp_frame(frame, stamp);
    const size_t size = len + UDP_FRAME_OVERHEAD;
    const int rc = send_and_wait(frame, size, stamp, sock, peer, true, meanwhile);
    if (rc == 0) return static_cast<int>(len);
    // Not acknowledged: the phone may hold it all the same (its
    // acknowledgements lost), so only these bytes under this stamp may ever
    // go again, after a timeout as after a failed send.
    std::lock_guard<std::mutex> lock(r_info.rtt_lock);
    r_info.last_pkg.assign(frame, frame + size);
    r_info.last_pkg_stamp = stamp;
    if (rc == -110) {
        plr_trace_logf(PLR_LOG_D, "%s(line=%d):backup pkg :%lu", __func__, __LINE__,
                       static_cast<unsigned long>(stamp));
        errno = ETIMEDOUT;
    }
    return rc;
}

int udp_send(const void* payload, size_t len, int sock, const sockaddr_in* peer) {
    if (payload == nullptr || len < 1 || len > UDP_MAX_PAYLOAD || !valid_target(sock, peer)) {
        return -22;
    }
    std::vector<uint8_t>& frame = r_info.tx;
    try {
        if (frame.size() < len + UDP_FRAME_OVERHEAD) frame.resize(len + UDP_FRAME_OVERHEAD);
    } catch (const std::bad_alloc&) {
        return -12;
    }
    udp_build_frame(frame, 0, std::span(static_cast<const uint8_t*>(payload), len));
    return udp_send_prepared(frame.data(), len, sock, peer, nullptr);
}

int udp_resend_last_pkg(int sock, const sockaddr_in* peer) {
    std::vector<uint8_t> frame;
    uint32_t stamp = 0;
    {
        std::lock_guard<std::mutex> lock(r_info.rtt_lock);
        if (r_info.last_pkg.size() <= UDP_FRAME_OVERHEAD || r_info.last_pkg_stamp == 0 ||
            !valid_target(sock, peer)) {
            return -22;
        }
        frame = r_info.last_pkg;
        stamp = r_info.last_pkg_stamp;
    }
    // The kept frame stays kept until it is acknowledged.
    const int rc = send_and_wait(frame.data(), frame.size(), stamp, sock, peer, false, nullptr);
    if (rc == -110) errno = ETIMEDOUT;
    if (rc != 0) return rc;
    std::lock_guard<std::mutex> lock(r_info.rtt_lock);
    r_info.last_pkg.clear();
    r_info.last_pkg_stamp = 0;
    return static_cast<int>(frame.size() - UDP_FRAME_OVERHEAD);
}

RttEstimator rtt_get_estimator() {
    return r_info.est;
}

int PLR_UDP_Init() {
    rtt_estimator_init(&r_info.est);
    r_info.send_stamp = 0;
    rtt_reset_stamp();
    {
        std::lock_guard<std::mutex> lock(r_info.rtt_lock);
        r_info.last_pkg.clear();
        r_info.last_pkg_stamp = 0;
    }
    r_info.stop.store(false);
    rtt_ack_sock_init();
    r_info.recv_thread = std::thread(udpAckRecvThread);
    return 0;
}

int PLR_UDP_Deinit() {
    r_info.stop.store(true);
    if (r_info.recv_thread.joinable()) r_info.recv_thread.join();
    if (r_info.ack_sock > 0) close(r_info.ack_sock);
    r_info.ack_sock = -1;
    std::lock_guard<std::mutex> lock(r_info.rtt_lock);
    r_info.last_pkg.clear();
    r_info.last_pkg.shrink_to_fit();
    r_info.last_pkg_stamp = 0;
    r_info.tx.clear();
    r_info.tx.shrink_to_fit();
    return 0;
}
