// The reliable datagram transport of the file service: every payload is sent
// as one frame (fs_wire.h) and sent again until the phone acknowledges its
// time stamp on UDP port 8866, with a retransmission timeout that follows the
// measured round trip. One frame is in flight at a time; the caller
// serialises udp_send and udp_resend_last_pkg. After the fifth transmission
// the frame is kept so that the caller can send it once more later.
//
// A frame acknowledged only after a retransmission gives no round-trip sample
// (Karn's rule); its backed-off timeout stays until the next clean sample.
//
// The retransmission timeout is a deadline of the sending call itself (it
// waits on a condition that the acknowledgement thread signals), not a
// process-wide timer signal: a signal would interrupt blocking calls of
// unrelated threads (card writes, UART reads).
#pragma once

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <functional>

#include "fs/fs_wire.h"

// Starts the transport: estimator reset, acknowledgement socket on UDP 8866
// and its receive thread. Returns 0.
int PLR_UDP_Init();
// Stops the acknowledgement thread, closes its socket and frees the kept
// frame. Returns 0.
int PLR_UDP_Deinit();

// Sends `len` bytes (1..UDP_MAX_PAYLOAD) as one frame to `peer` from socket
// `sock` and waits for its acknowledgement. Returns len; -22 for a bad
// argument; -12 if the frame cannot be allocated; the send call's result when
// sending fails; -110 (errno ETIMEDOUT) after the fifth transmission without
// acknowledgement, the frame then being kept.
int udp_send(const void* payload, size_t len, int sock, const struct sockaddr_in* peer);
// Sends a frame the caller prepared in its own buffer (udp_prepare_frame:
// `frame` holds the whole frame of a `len`-byte payload): the transport
// gives it its time stamp, sends it and waits as udp_send does. `meanwhile`,
// when given, runs once right after the first transmission, while the
// acknowledgement is on its way (the caller prepares its next frame there).
// Same results as udp_send.
int udp_send_prepared(uint8_t* frame, size_t len, int sock, const struct sockaddr_in* peer,
                      const std::function<void()>& meanwhile);
// A frame that was not acknowledged (a timeout or a failed send) is kept, so
// that it can only ever go again with its own bytes and stamp: the phone may
// have taken it although its acknowledgements were lost.
//
// Sends the kept frame again with its time stamp (same retries). Returns its
// payload length (the frame is then dropped); -22 when nothing is kept or an
// argument is bad; the send call's result or -110 after the last retry (the
// frame stays kept in both cases).
int udp_resend_last_pkg(int sock, const struct sockaddr_in* peer);

// The 32-bit microsecond wall-clock time stamp (board clock).
uint32_t udp_get_time_stamp32();

// Handles one acknowledgement datagram from `from` (the acknowledgement
// thread's step): when it comes from the IP address of the latest frame's
// peer, the last record's stamp and its arrival time become the transport's
// latest acknowledgement and wake the sender. Others are ignored.
void rtt_ack_process(const uint8_t* data, size_t len, const struct sockaddr_in* from);

// The transport's estimator as it stands (for logs and tests).
RttEstimator rtt_get_estimator();
