// Routing and local handling of every MAVLink message from the phone (TCP) and
// the flight controller (UART): relays between the two, camera commands turned
// into camera events, clock setting, configuration list, flight and gimbal
// data logs. Handlers run on the thread that received the message and never
// wait for the camera; results come back through the event bridge.
#pragma once

#include <cstdint>

#include "mav/mav_bridge.h"
#include "mav/mavlink_msgs.h"

// Entry from the phone: addressed to board 2 or 5 handled, else relayed to the
// flight controller. -1 for null, else 0.
int MavlinkMessageDispatch(const mavlink_message_t* msg);
// Entry from the flight controller: link status and GPS first, then addressed
// to board 2 or 5 handled, else relayed to the phone. -1 for null, else 0.
int uart_message_dispatch(const mavlink_message_t* msg);
// Local handling by message id; unknown ids go to the flight controller.
int MavlinkMessageProcess(const mavlink_message_t* msg);

int MavlinkCommandLongHandle(const mavlink_message_t* msg);

// The link a message came in on.
enum MavSource : uint8_t { MAV_FROM_PHONE, MAV_FROM_UART };
// An upgrade command (COMMAND_LONG 4): from the phone to the upgrade's
// command handler while no board is upgrading (status queries always); from
// the upgrading board, on its own link, to the transfer's answer handler;
// anything else is dropped (-1).
int MavlinkFirmwareCommandRoute(const mavlink_message_t* msg, MavSource from);
int MavlinkMediaCommandHandle(int32_t command, int32_t argument);
int MavlinkSetParameterHandle(const mavlink_command_long_t* cmd);
int mavlink_do_digctrl_handler(const mavlink_command_long_t* cmd);
int mavlink_do_uart_cam_control(const mavlink_command_long_t* cmd);
int mavlink_do_cam_bitrate_control(const mavlink_command_long_t* cmd);
int mavlink_do_set_fpv_bitrate(uint32_t rate);
int MavlinkTimeSyncHandle(const mavlink_message_t* msg);
int MavlinkRepeaterHBHandle(const mavlink_message_t* msg);
int MavlinkQuadStatusHandle(const mavlink_message_t* msg);
int MavlinkParamRequestListHandle(const mavlink_message_t* msg);
int mavlinkConfigParamListHandle();
int MavlinkDataStreamProcess(const mavlink_message_t* msg);
int MavlinkVisionPositionProcess(const mavlink_message_t* msg);
// Tracking and landing-pad switches (COMMAND_LONG 203, components 11 and 12).
int MavlinkVisionWorkProcess(const mavlink_command_long_t* cmd);
int MavlinkApronWorkProcess(const mavlink_command_long_t* cmd);
int MavlinkFlyctlDataHandle(const mavlink_message_t* msg);
int MavlinkGimbalDataHandle(const mavlink_message_t* msg);
int MavlinkLogDataHandle(const mavlink_message_t* msg);
int MavlinkLogReqEndHandle(const mavlink_message_t* msg);
int MavlinkCamTriggerHandle(const mavlink_message_t* msg);
int MavlinkSdCardRequestHandle(const mavlink_message_t* msg);

// Forgets the last link status and the bitrate advisory's counters. For tests.
void MavlinkDispatchReset();
