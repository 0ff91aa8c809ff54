// udp-relay: a lossy relay between a file-service client and the board, for
// tests of the reliable transport. Datagrams to --file-listen go to the
// board's file port and the board's answers come back to the client;
// datagrams to --ack-listen go to the board's acknowledgement port. Every
// datagram, in both directions and acknowledgements included, is dropped with
// probability --loss, drawn from a generator with a fixed --seed, so that a
// run can be repeated. Loopback only.
//
//   udp-relay --file-listen P --ack-listen Q [--file-port 8857] [--ack-port 8866]
//             [--loss 0.05] [--seed 1]
//
// On SIGINT or SIGTERM it prints what it forwarded and dropped and exits 0.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

namespace {

volatile sig_atomic_t g_stop = 0;

void on_signal(int) {
    g_stop = 1;
}

sockaddr_in loopback(uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

int udp_socket(uint16_t bind_port) {
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    const int size = 8 << 20;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
    const sockaddr_in a = loopback(bind_port);
    if (bind(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

bool port_arg(const char* text, uint16_t* port) {
    char* end = nullptr;
    const long v = strtol(text, &end, 10);
    if (*end != '\0' || v < 1 || v > 65535) return false;
    *port = static_cast<uint16_t>(v);
    return true;
}

struct Counts {
    unsigned long long forwarded = 0;
    unsigned long long dropped = 0;
};

}  // namespace

int main(int argc, char** argv) {
    uint16_t file_listen = 0;
    uint16_t ack_listen = 0;
    uint16_t file_port = 8857;
    uint16_t ack_port = 8866;
    double loss = 0.05;
    unsigned long seed = 1;
    for (int i = 1; i + 1 < argc; i += 2) {
        const char* opt = argv[i];
        const char* val = argv[i + 1];
        bool ok = true;
        if (strcmp(opt, "--file-listen") == 0) {
            ok = port_arg(val, &file_listen);
        } else if (strcmp(opt, "--ack-listen") == 0) {
            ok = port_arg(val, &ack_listen);
        } else if (strcmp(opt, "--file-port") == 0) {
            ok = port_arg(val, &file_port);
        } else if (strcmp(opt, "--ack-port") == 0) {
            ok = port_arg(val, &ack_port);
        } else if (strcmp(opt, "--loss") == 0) {
            loss = strtod(val, nullptr);
            ok = loss >= 0 && loss < 1;
        } else if (strcmp(opt, "--seed") == 0) {
            seed = strtoul(val, nullptr, 10);
        } else {
            ok = false;
        }
        if (!ok) {
            fprintf(stderr, "udp-relay: bad option %s %s\n", opt, val);
            return 2;
        }
    }
    if (file_listen == 0 || ack_listen == 0 || argc % 2 == 0) {
        fprintf(stderr,
                "usage: udp-relay --file-listen P --ack-listen Q [--file-port N] [--ack-port N] "
                "[--loss F] [--seed N]\n");
        return 2;
    }
    signal(SIGINT, on_signal);
    signal(SIGTERM, on_signal);
    const int client_side = udp_socket(file_listen);  // client <-> relay
    const int board_side = udp_socket(0);             // relay <-> board file port
    const int ack_side = udp_socket(ack_listen);      // client acks -> board
    if (client_side < 0 || board_side < 0 || ack_side < 0) {
        fprintf(stderr, "udp-relay: cannot bind: %s\n", strerror(errno));
        return 1;
    }
    const sockaddr_in board_file = loopback(file_port);
    const sockaddr_in board_ack = loopback(ack_port);
    sockaddr_in client{};
    bool have_client = false;
    std::mt19937 rng(static_cast<std::mt19937::result_type>(seed));
    std::uniform_real_distribution<double> draw(0.0, 1.0);
    Counts up, down, acks;
    std::vector<uint8_t> buf(65536);
    printf("udp-relay: %u -> %u, acks %u -> %u, loss %.3f, seed %lu\n", file_listen, file_port,
           ack_listen, ack_port, loss, seed);
    fflush(stdout);
    while (g_stop == 0) {
        pollfd fds[3] = {{client_side, POLLIN, 0}, {board_side, POLLIN, 0}, {ack_side, POLLIN, 0}};
        if (poll(fds, 3, 200) <= 0) continue;
        for (int i = 0; i < 3; ++i) {
            if ((fds[i].revents & POLLIN) == 0) continue;
            sockaddr_in from{};
            socklen_t len = sizeof from;
            const ssize_t n = recvfrom(fds[i].fd, buf.data(), buf.size(), 0,
                                       reinterpret_cast<sockaddr*>(&from), &len);
            if (n <= 0) continue;
            Counts& counts = i == 0 ? up : (i == 1 ? down : acks);
            if (i == 0) {
                client = from;
                have_client = true;
            }
            if (draw(rng) < loss) {
                ++counts.dropped;
                continue;
            }
            const int out = i == 1 ? client_side : (i == 0 ? board_side : ack_side);
            const sockaddr_in* to = i == 0 ? &board_file : (i == 1 ? &client : &board_ack);
            if (i == 1 && !have_client) continue;
            sendto(out, buf.data(), static_cast<size_t>(n), 0, reinterpret_cast<const sockaddr*>(to),
                   sizeof *to);
            ++counts.forwarded;
        }
    }
    printf("udp-relay: requests %llu forwarded %llu dropped; frames %llu forwarded %llu dropped; "
           "acks %llu forwarded %llu dropped\n",
           up.forwarded, up.dropped, down.forwarded, down.dropped, acks.forwarded, acks.dropped);
    close(client_side);
    close(board_side);
    close(ack_side);
    return 0;
}
