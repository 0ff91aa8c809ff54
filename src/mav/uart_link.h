// The flight-controller side of the MAVLink links as the rest of the board
// sees it: relayed messages, raw stick datagrams and the camera's messages to
// the flight controller. Until the serial link is connected (uart_set_writer)
// every write goes nowhere, and the trace says so once.
#pragma once

#include <cstddef>
#include <cstdint>

#include "mav/mavlink_frame.h"

// Writes a byte block to the flight controller; returns the count written.
using UartWriter = int (*)(const uint8_t* bytes, size_t length);
// Connects the writer of the serial link (null: not connected).
void uart_set_writer(UartWriter writer);

// Serialises a message record and writes it in one write. Returns the count
// written, 0 when the link is not connected, -1 for a null message.
int uart_mavlink_send(const mavlink_message_t* msg);
// Writes raw bytes unchanged; nothing for null bytes or a length <= 0.
int uart_mavlink_send_buff(const uint8_t* bytes, int32_t length);

// COMMAND_LONG (system id 35, confirmation 0) to the flight controller.
int uart_mavlink_command_long_send(uint8_t targetSystem, uint8_t targetComponent, uint16_t command,
                                   float p1, float p2, float p3, float p4, float p5, float p6,
                                   float p7);
// Camera state: COMMAND_LONG to 100/0, command 2, param1 = state.
int uart_mavlink_camera_state_send(uint32_t state);
// Time-lapse state: COMMAND_LONG to 100/0, command 2, param1 11, params 2..7 = a..f.
int uart_mavlink_camera_tlapse_send(float a, float b, float c, float d, float e, float f);

// Distance from LOCAL_POSITION_NED (x, truncated).
int uart_mavlink_local_position_ned_process(const mavlink_message_t* msg);
int32_t uart_get_cur_distance();

// Returns the link to its state at program load (writer, sequence, distance,
// the once-only log line). For tests.
void uart_link_reset();
