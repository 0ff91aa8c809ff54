#include "vbctl/vbctl_link.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "vbctl/vbctl_proto.h"

volatile sig_atomic_t g_vbctlInterrupted = 0;

namespace {

void on_signal(int) {
    g_vbctlInterrupted = 1;
}

// Connects one resolved address within the time left; 0 or an errno value.
int connect_one(int fd, const addrinfo* ai, int timeout_ms) {
    const int flags = fcntl(fd, F_GETFL, 0);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) return errno;
    if (connect(fd, ai->ai_addr, ai->ai_addrlen) == 0) return 0;
    if (errno != EINPROGRESS) return errno;
    pollfd pfd{fd, POLLOUT, 0};
    const int ready = poll(&pfd, 1, timeout_ms);
    if (ready == 0) return ETIMEDOUT;
    if (ready < 0) return errno;
    int soerr = 0;
    socklen_t len = sizeof soerr;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &soerr, &len) < 0) return errno;
    return soerr;
}

// Binds the socket to the local address `source` (any port); 0 when none is
// given, else 0 or an errno value.
int bind_source(int fd, int family, const char* source) {
    if (source == nullptr || *source == '\0') return 0;
    sockaddr_storage local{};
    socklen_t length = 0;
    if (family == AF_INET) {
        auto* in = reinterpret_cast<sockaddr_in*>(&local);
        in->sin_family = AF_INET;
        if (inet_pton(AF_INET, source, &in->sin_addr) != 1) return EAFNOSUPPORT;
        length = sizeof *in;
    } else if (family == AF_INET6) {
        auto* in6 = reinterpret_cast<sockaddr_in6*>(&local);
        in6->sin6_family = AF_INET6;
        if (inet_pton(AF_INET6, source, &in6->sin6_addr) != 1) return EAFNOSUPPORT;
        length = sizeof *in6;
    } else {
        return EAFNOSUPPORT;
    }
    return bind(fd, reinterpret_cast<sockaddr*>(&local), length) == 0 ? 0 : errno;
}

void collect(const mavlink_message_t* msg, void* context) {
    static_cast<VbctlLink*>(context)->pending.push_back(*msg);
}

int send_heartbeat_if_due(VbctlLink* link) {
    const int64_t now = vbctl_now_ms();
    if (now < link->next_heartbeat_ms) return 0;
    link->next_heartbeat_ms = now + VBCTL_HEARTBEAT_MS;
    mavlink_message_t hb;
    vbctl_build_heartbeat(vbctl_link_next_seq(link), &hb);
    return vbctl_link_send(link, &hb);
}

}  // namespace

void vbctl_install_signals() {
    struct sigaction sa {};
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;  // no SA_RESTART: poll returns at once on Ctrl-C
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

int64_t vbctl_now_ms() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

int vbctl_link_connect(VbctlLink* link, const char* host, uint16_t port, int timeout_ms,
                       char* error, size_t error_size, const char* source) {
    if (link == nullptr || host == nullptr) return -1;
    vbctl_link_close(link);
    char service[8];
    snprintf(service, sizeof service, "%u", port);
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    const int gai = getaddrinfo(host, service, &hints, &list);
    if (gai != 0) {
        snprintf(error, error_size, "cannot resolve %s: %s", host, gai_strerror(gai));
        return -1;
    }
    const int64_t deadline = vbctl_now_ms() + timeout_ms;
    int err = EHOSTUNREACH;
    for (const addrinfo* ai = list; ai != nullptr; ai = ai->ai_next) {
        const int fd = socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC, ai->ai_protocol);
        if (fd < 0) {
            err = errno;
            continue;
        }
        err = bind_source(fd, ai->ai_family, source);
        if (err == 0) {
            err = connect_one(fd, ai,
                              static_cast<int>(std::max<int64_t>(0, deadline - vbctl_now_ms())));
        }
        if (err == 0) {
            const int one = 1;
            setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            link->fd = fd;
            break;
        }
        close(fd);
    }
    freeaddrinfo(list);
    if (link->fd < 0) {
        snprintf(error, error_size, "cannot connect to %s:%u: %s", host, port, strerror(err));
        return -1;
    }
    mavlink_parser_reset(&link->parser);
    link->pending.clear();
    link->next_heartbeat_ms = 0;  // the first heartbeat goes out with the first pump
    link->bytes_received = 0;
    return 0;
}

void vbctl_link_close(VbctlLink* link) {
    if (link == nullptr || link->fd < 0) return;
    close(link->fd);
    link->fd = -1;
}

uint8_t vbctl_link_next_seq(VbctlLink* link) {
    return link->seq++;
}

int vbctl_link_send(VbctlLink* link, const mavlink_message_t* msg) {
    if (link == nullptr || link->fd < 0) return -1;
    std::array<uint8_t, MAVLINK_MAX_PACKET_LEN> frame{};
    const int length = mavlink_msg_to_send_buffer(frame, msg);
    if (length < 0) return -1;
    size_t done = 0;
    const int64_t deadline = vbctl_now_ms() + 2000;
    while (done < static_cast<size_t>(length)) {
        const ssize_t n =
            send(link->fd, frame.data() + done, static_cast<size_t>(length) - done, MSG_NOSIGNAL);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && vbctl_now_ms() < deadline) {
            pollfd pfd{link->fd, POLLOUT, 0};
            poll(&pfd, 1, 100);
            continue;
        }
        return -1;
    }
    return 0;
}

int vbctl_link_keepalive(VbctlLink* link) {
    return send_heartbeat_if_due(link);
}

int vbctl_link_pump(VbctlLink* link, int64_t deadline_ms, VbctlOnMessage on_message,
                    void* context) {
    if (link == nullptr || link->fd < 0) return VBCTL_PUMP_CLOSED;
    for (;;) {
        while (!link->pending.empty()) {
            const mavlink_message_t msg = link->pending.front();
            link->pending.pop_front();
            const int verdict = on_message != nullptr ? on_message(&msg, context) : 0;
            if (verdict != 0) return verdict;
        }
        if (g_vbctlInterrupted != 0) return VBCTL_PUMP_INTERRUPTED;
        if (send_heartbeat_if_due(link) != 0) return VBCTL_PUMP_CLOSED;
        const int64_t now = vbctl_now_ms();
        if (now >= deadline_ms) return VBCTL_PUMP_DEADLINE;
        const int64_t wait = std::min(deadline_ms, link->next_heartbeat_ms) - now;
        pollfd pfd{link->fd, POLLIN, 0};
        const int ready = poll(&pfd, 1, static_cast<int>(std::clamp<int64_t>(wait, 0, 1000)));
        if (ready < 0) {
            if (errno == EINTR) continue;
            return VBCTL_PUMP_CLOSED;
        }
        if (ready == 0) continue;
        std::array<uint8_t, 4096> buf{};
        const ssize_t n = recv(link->fd, buf.data(), buf.size(), 0);
        if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
        if (n <= 0) return VBCTL_PUMP_CLOSED;
        link->bytes_received += static_cast<uint64_t>(n);
        mavlink_parse_bytes(&link->parser,
                            std::span<const uint8_t>(buf.data(), static_cast<size_t>(n)), collect,
                            link);
    }
}
