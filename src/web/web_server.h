// The web ground station: an HTTP/1.1 and WebSocket server (libwebsockets)
// that serves the board's page and its API to any browser: the status and
// its changes, the camera commands and settings, the card's media (with
// ranges, for resuming and seeking), thumbnails, deletion, and the live view
// as fragmented MP4. See docs/http-api.md.
//
// One service thread runs every connection without blocking: a slow or
// vanished client only holds its own connection. At most WEB_CLIENTS_MAX
// connections are open at once; the next one is closed at once. Request
// headers and bodies are bounded. Requests that change something (POST, PUT,
// DELETE, and the WebSocket upgrade) from another web site's page (a foreign
// Origin) get 403.
#pragma once

#include <cstdint>

inline constexpr int WEB_CLIENTS_MAX = 8;
inline constexpr uint16_t WEB_DEFAULT_PORT = 80;
// Configuration keys: "http_server=off" switches the server off; "http_port"
// sets its port (the simulated board's launcher sets 8080).
inline constexpr const char* WEB_CONF_SWITCH = "http_server";
inline constexpr const char* WEB_CONF_PORT = "http_port";

// Reads the configuration and starts the server on the board's listening
// address unless it is switched off. 0 (also when switched off), -1 when it
// could not start.
int PLR_WEB_Init();
// Starts on an explicit address and port (tests; port 0 picks a free one).
int PLR_WEB_Start(const char* address, uint16_t port);
// The port listened on, 0 when not running.
uint16_t PLR_WEB_Port();
// Stops the service thread and closes every connection. 0.
int PLR_WEB_Deinit();
