// The live view for ground stations: the live-view encoder's frames (the same
// pictures the phone gets) as RTP H.264, packetised by libavformat's RTP
// muxer, to port 5600 of each destination. Each destination starts at a key
// frame, and every key frame goes with the stream's SPS and PPS in band, so
// that a receiver without an SDP can decode from any key frame.
//
// Frames come from the live view's observer on the camera's stream thread:
// they are copied into a short queue (the oldest dropped when full) and sent
// on the sender's own thread, so a slow network never holds up the camera.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <vector>

// Starts the sender thread and registers the live-view observer. 0, or -1
// when it runs already or cannot start.
int cam2_rtp_start();
// Unregisters the observer, stops the thread and closes every destination.
void cam2_rtp_stop();
// The destinations (IPv4 addresses; the port is 5600). Destinations no
// longer listed are closed; new ones start at the next key frame.
void cam2_rtp_set_destinations(const std::vector<in_addr_t>& addresses);

struct Cam2RtpStats {
    uint64_t frames_in;       // handed over by the live view
    uint64_t frames_dropped;  // pushed out of the full queue
    uint64_t frames_sent;     // muxed for at least one destination
};
Cam2RtpStats cam2_rtp_stats();
