// The standard MAVLink 2 camera endpoint: ground stations (QGroundControl,
// MAVSDK apps, scripts) find, drive and watch the drone's camera over UDP,
// beside the phone link and without changing it.
//
// The board listens on UDP port 14555 and sends from it. Until a station has
// spoken, heartbeats go to port 14550 of the ground-station address; after
// that every station heard in the last 10 s (at most four) gets them, and the
// answers to its requests. The camera is component 100 of one plain system
// id; while the flight controller speaks, component 1 of the same system id
// stands for the vehicle (heartbeat and position), because a station creates
// no vehicle, and so shows no camera, without one.
//
// Configuration keys (board configuration; defaults):
//   Mav2Camera=on          off: the endpoint does not start
//   Mav2SystemId=1         1..255
//   Mav2Port=14555
//   Mav2GroundStation=ADDR default: the board's ground-station address
//   Mav2VideoTo=ADDR       a station that always gets the RTP live view
#pragma once

#include <cstdint>
#include <string>

struct Cam2Config {
    bool enabled = true;
    uint8_t sysid = 1;
    uint16_t port = 14555;
    std::string groundStation;  // IPv4 text
    std::string videoTo;        // IPv4 text or empty
};

// The configuration from the board's configuration store.
Cam2Config cam2_config_load();

// Starts the endpoint (socket, thread, camera and live-view observers)
// unless the configuration switches it off. 0 (also when off), or -1 when
// the socket or the thread cannot be set up.
int PLR_CAM2_Init();
int PLR_CAM2_InitWith(const Cam2Config& config);
// Stops the thread and releases the socket and the observers. 0.
int PLR_CAM2_Deinit();
