// The TCP link of vbctl to the board: connect with a time-out, send framed
// messages, and pump the socket until an answer, a deadline or Ctrl-C,
// sending the phone's heartbeat whenever it is due.
#pragma once

#include <csignal>
#include <cstddef>
#include <cstdint>
#include <deque>

#include "mav/mavlink_frame.h"

struct VbctlLink {
    int fd = -1;
    uint8_t seq = 0;  // outgoing sequence, 8 bits, wrapping
    mavlink_status_t parser{};
    std::deque<mavlink_message_t> pending;  // parsed, not yet handed out
    int64_t next_heartbeat_ms = 0;
    uint64_t bytes_received = 0;
};

// Set by the SIGINT/SIGTERM handler that vbctl_install_signals installs.
extern volatile sig_atomic_t g_vbctlInterrupted;
void vbctl_install_signals();

// Milliseconds of the monotonic clock.
int64_t vbctl_now_ms();

// Connects to host:port within timeout_ms, from the local address `source`
// when one is given (the board sends the live view to the address the link
// comes from). 0, or -1 with the reason in `error` ("cannot connect to
// 127.0.0.1:8866: Connection refused").
int vbctl_link_connect(VbctlLink* link, const char* host, uint16_t port, int timeout_ms,
                       char* error, size_t error_size, const char* source = nullptr);
void vbctl_link_close(VbctlLink* link);

// The sequence number for the next message built.
uint8_t vbctl_link_next_seq(VbctlLink* link);

// Writes one message. 0, or -1 when the link is gone.
int vbctl_link_send(VbctlLink* link, const mavlink_message_t* msg);

// Sends the phone's heartbeat when one is due, so that a long upload on the
// file port keeps the link alive. 0, or -1 when the link is gone.
int vbctl_link_keepalive(VbctlLink* link);

enum VbctlPump : int {
    VBCTL_PUMP_DEADLINE = 0,      // the deadline passed
    VBCTL_PUMP_CLOSED = -1,       // the board closed the link or a socket error
    VBCTL_PUMP_INTERRUPTED = -2,  // Ctrl-C
};

// Called for every message received; a non-zero return ends the pump with it.
using VbctlOnMessage = int (*)(const mavlink_message_t* msg, void* context);

// Pumps until `on_message` returns non-zero (that value is returned), the
// monotonic deadline passes, the link closes, or Ctrl-C. Heartbeats go out
// every VBCTL_HEARTBEAT_MS meanwhile.
int vbctl_link_pump(VbctlLink* link, int64_t deadline_ms, VbctlOnMessage on_message, void* context);
