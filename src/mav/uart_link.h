// The flight-controller link: MAVLink 1.0 over the serial line "/dev/ttyS5"
// at 460800 baud, 8N1, raw. A read thread parses the incoming bytes and hands
// every valid message to the message handler; the write operations below
// are how the rest of the board reaches the flight controller (relayed phone
// messages, raw stick datagrams, camera state, firmware and settings traffic).
// Every write holds the write lock for the whole frame, so frames from
// different threads never interleave on the line.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <thread>

#include "mav/mavlink_frame.h"

// The serial device of the flight controller (a board path).
inline constexpr char ttydev[] = "/dev/ttyS5";
inline constexpr int UART_BAUD_RATE = 460800;
// Marker of the factory test mode: the link stays closed while it exists.
inline constexpr char UART_TESTMODE_FILE[] = "/tmp/SD0/picture/testmode.conf";

// The link's global record. PortFd is written only under WriteLock (and by
// UartInit before the read thread exists); the read thread is the only reader
// of the line and is joined before the port is closed.
struct UartCtx {
    std::atomic<int> PortFd{-1};  // -1 while closed
    std::thread ReadThread;
    std::mutex WriteLock;  // one write to the line at a time
    std::atomic<uint32_t> ReadExit{0};
    int WakeFd[2] = {-1, -1};  // pipe: UartExit wakes the read thread through it
};

extern UartCtx UartContext;

// Opens and configures the port and starts the read thread (SCHED_RR 2 when
// allowed). In factory test mode returns 0 with the port closed. 0, or -1
// when the port cannot be opened or configured (the link then stays closed).
int UartInit();
// Stops and joins the read thread and closes the port. 0.
int UartExit();

// Opens ttydev read-write, without becoming its controlling terminal, then
// switches it to blocking. 0 or -1.
int OpenUartPort();
// Line settings of the open port: speed (2400, 4800, 9600, 115200, 230400 or
// 460800; anything else is 9600), data bits 7 or 8, parity 'N', 'O' or 'E',
// stop bits 1 or 2. Raw mode, no flow control, pending input discarded. 0 or -1.
int SetUartOpt(int speed, int bits, char parity, int stop);

// Writes bytes to the port under the write lock. Returns the count written,
// 0 when the link is closed, -1 on a write error. A line with no room drops the
// frame after a short wait, and while it stays stalled without waiting, so a
// flight controller that stops reading never holds the other writers up.
// (A frame cut by a stall leaves a fragment the receiver's parser skips.)
int UartWrite(const uint8_t* bytes, size_t length);

// Where the flight controller's messages go: the application registers the
// command dispatch before the read thread starts. Without a handler messages
// are dropped.
using UartMessageHandler = int (*)(const mavlink_message_t* msg);
void uart_set_message_handler(UartMessageHandler handler);
void uart_clear_message_handler();

// Feeds bytes received from the flight controller to the link's parser; every
// valid message goes to the message handler. Returns the messages handed on.
// Called by the read thread only (the parse state is the link's own).
int uart_message_handler(const uint8_t* bytes, size_t length);

// Serialises a message record unchanged and writes it in one piece. Returns
// the count written, 0 when the link is closed, -1 for a null message.
int uart_mavlink_send(const mavlink_message_t* msg);
// Writes raw bytes unchanged; nothing for null bytes or a length <= 0.
int uart_mavlink_send_buff(const uint8_t* bytes, int32_t length);

// COMMAND_LONG (system id 35, component 0, confirmation 0).
int uart_mavlink_command_long_send(uint8_t targetSystem, uint8_t targetComponent, uint16_t command,
                                   float p1, float p2, float p3, float p4, float p5, float p6,
                                   float p7);
// Camera state: COMMAND_LONG to 100/0, command 2, param1 = state.
int uart_mavlink_camera_state_send(uint32_t state);
// Time-lapse state: COMMAND_LONG to 100/0, command 2, param1 11, params 2..7 = a..f.
int uart_mavlink_camera_tlapse_send(float a, float b, float c, float d, float e, float f);
// Asks the flight controller for its firmware version: COMMAND_LONG to 100/0,
// command 520, param1 1.
int uart_mavlink_get_fw_version();
// Sends the access point's SSID (PELORA_CUSTOM_CONFIG, setting 0). 0, or -1
// when the configuration cannot be read.
int uart_mavlink_send_ssid();
// COMMAND_ACK with system id 3.
int uart_mavlink_pelora_ack_send(uint16_t command, uint8_t result);
// COMMAND_LONG to the flight controller, logged first.
int mavlink_command_long_send2flyctrl(uint8_t targetSystem, uint8_t targetComponent,
                                      uint16_t command, float p1, float p2, float p3, float p4,
                                      float p5, float p6, float p7);
int mavlink_camera_state_send2flyctrl(uint32_t state);

// Distance from LOCAL_POSITION_NED (x, truncated).
int uart_mavlink_local_position_ned_process(const mavlink_message_t* msg);
int32_t uart_get_cur_distance();
// Heartbeat timer handler of the link: there is nothing to do on expiry.
void uart_HB_timer_handler(void* arg);

// Writes a byte block to the flight controller in place of the port; returns
// the count written. Tests use it to record what the link writes.
using UartWriter = int (*)(const uint8_t* bytes, size_t length);
// Installs a writer (null: write to the port again). It runs under the write lock.
void uart_set_writer(UartWriter writer);

// Returns the link's send side to its state at program load (writer,
// sequence, distance). For tests.
void uart_link_reset();
// Frames dropped because the line had no room (since the last reset).
uint32_t uart_frames_dropped();
