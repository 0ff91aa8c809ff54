// Message payloads: every message the board builds or reads survives pack,
// serialisation, parsing and decoding; short payloads and text fields.
#include "mav/mavlink_msgs.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

template <typename T>
using PackFn = int (*)(uint8_t, uint8_t, uint8_t, const T*, mavlink_message_t*);
template <typename T>
using DecodeFn = int (*)(const mavlink_message_t*, T*);

template <typename T>
void expect_round_trip(uint8_t msgid, uint8_t len, PackFn<T> pack, DecodeFn<T> decode,
                       const T& in) {
    SCOPED_TRACE(mavlink_msg_name(msgid));
    mavlink_message_t packed;
    ASSERT_EQ(pack(0x24, 7, 99, &in, &packed), len + 8);
    EXPECT_EQ(packed.msgid, msgid);
    EXPECT_EQ(packed.len, len);

    uint8_t wire[MAVLINK_MAX_PACKET_LEN];
    const int length = mavlink_msg_to_send_buffer(wire, &packed);
    ASSERT_EQ(length, len + 8);
    mavlink_status_t status{};
    mavlink_message_t received;
    int frames = 0;
    for (int i = 0; i < length; ++i) frames += mavlink_parse_char(&status, wire[i], &received);
    ASSERT_EQ(frames, 1);
    EXPECT_EQ(received.sysid, 0x24);
    EXPECT_EQ(received.compid, 7);
    EXPECT_EQ(received.seq, 99);

    T out{};
    ASSERT_EQ(decode(&received, &out), 0);
    EXPECT_TRUE(out == in);
    received.msgid = static_cast<uint8_t>(msgid + 1);
    EXPECT_EQ(decode(&received, &out), -1);
    EXPECT_EQ(decode(nullptr, &out), -1);
    EXPECT_EQ(pack(1, 1, 1, nullptr, &packed), -1);
}

TEST(MavlinkMsgs, EveryMessageRoundTrips) {
    expect_round_trip<mavlink_heartbeat_t>(MAVLINK_MSG_ID_HEARTBEAT, 9, mavlink_msg_heartbeat_pack,
                                           mavlink_msg_heartbeat_decode, {62723, 1, 2, 3, 95, 3});
    expect_round_trip<mavlink_param_request_list_t>(
        MAVLINK_MSG_ID_PARAM_REQUEST_LIST, 2, mavlink_msg_param_request_list_pack,
        mavlink_msg_param_request_list_decode, {2, 192});
    expect_round_trip<mavlink_gps_raw_int_t>(
        MAVLINK_MSG_ID_GPS_RAW_INT, 30, mavlink_msg_gps_raw_int_pack,
        mavlink_msg_gps_raw_int_decode,
        {0x0102030405060708ull, 488566000, -23522000, -12345, 1, 2, 3, 65535, 3, 17});
    expect_round_trip<mavlink_local_position_ned_t>(
        MAVLINK_MSG_ID_LOCAL_POSITION_NED, 28, mavlink_msg_local_position_ned_pack,
        mavlink_msg_local_position_ned_decode,
        {4000000000u, 1.5f, -2.5f, 3.25f, -0.125f, 1e6f, -1e-6f});
    expect_round_trip<mavlink_data_stream_t>(MAVLINK_MSG_ID_DATA_STREAM, 4,
                                             mavlink_msg_data_stream_pack,
                                             mavlink_msg_data_stream_decode, {513, 7, 1});
    expect_round_trip<mavlink_command_long_t>(
        MAVLINK_MSG_ID_COMMAND_LONG, 33, mavlink_msg_command_long_pack,
        mavlink_msg_command_long_decode,
        {5, 640, 360, -1, 4294967296.0f, 0.5f, 3, 203, 100, 14, 4});
    expect_round_trip<mavlink_command_ack_t>(MAVLINK_MSG_ID_COMMAND_ACK, 3,
                                             mavlink_msg_command_ack_pack,
                                             mavlink_msg_command_ack_decode, {2501, 4});
    expect_round_trip<mavlink_hil_state_t>(
        MAVLINK_MSG_ID_HIL_STATE, 56, mavlink_msg_hil_state_pack, mavlink_msg_hil_state_decode,
        {123456789012ull, 0.1f, 0.2f, 0.3f, 0.4f, 0.5f, 0.6f, 1, -2, 3, -4, 5, -6, 7, -8, 32767});
    expect_round_trip<mavlink_vision_position_estimate_t>(
        MAVLINK_MSG_ID_VISION_POSITION_ESTIMATE, 32, mavlink_msg_vision_position_estimate_pack,
        mavlink_msg_vision_position_estimate_decode, {99, 1, 2, 3, 4, 5, 6});
    expect_round_trip<mavlink_highres_imu_t>(
        MAVLINK_MSG_ID_HIGHRES_IMU, 62, mavlink_msg_highres_imu_pack,
        mavlink_msg_highres_imu_decode, {77, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13}, 0x1FFF});
    expect_round_trip<mavlink_hil_sensor_t>(
        MAVLINK_MSG_ID_HIL_SENSOR, 64, mavlink_msg_hil_sensor_pack, mavlink_msg_hil_sensor_decode,
        {0xFFFFFFFF12345678ull,
         {-1, -2, -3, -4, -5, -6, -7, -8, -9, 1013.25f, 0, 120.5f, 21.5f},
         0x80001FFFu});
    mavlink_file_transfer_protocol_t ftp{12, 8, 3, {}};
    for (size_t i = 0; i < MAVLINK_FTP_PAYLOAD_LEN; ++i)
        ftp.payload[i] = static_cast<uint8_t>(i * 7);
    expect_round_trip<mavlink_file_transfer_protocol_t>(
        MAVLINK_MSG_ID_FILE_TRANSFER_PROTOCOL, 254, mavlink_msg_file_transfer_protocol_pack,
        mavlink_msg_file_transfer_protocol_decode, ftp);
    expect_round_trip<mavlink_timesync_t>(MAVLINK_MSG_ID_TIMESYNC, 16, mavlink_msg_timesync_pack,
                                          mavlink_msg_timesync_decode, {1700000000000ll, -8});
    expect_round_trip<mavlink_camera_trigger_t>(MAVLINK_MSG_ID_CAMERA_TRIGGER, 12,
                                                mavlink_msg_camera_trigger_pack,
                                                mavlink_msg_camera_trigger_decode, {5, 6});
    mavlink_log_data_t log{1, 2, 3, {}};
    memcpy(log.data, "log text from the phone", 23);
    expect_round_trip<mavlink_log_data_t>(MAVLINK_MSG_ID_LOG_DATA, 97, mavlink_msg_log_data_pack,
                                          mavlink_msg_log_data_decode, log);
    expect_round_trip<mavlink_log_request_end_t>(MAVLINK_MSG_ID_LOG_REQUEST_END, 2,
                                                 mavlink_msg_log_request_end_pack,
                                                 mavlink_msg_log_request_end_decode, {3, 7});
    mavlink_resource_request_t resource{1, 3, {}, 9, {}};
    memcpy(resource.uri, "VID_0001.MP4", 12);
    memcpy(resource.storage, "1024", 4);
    resource.storage[119] = 0xEE;
    expect_round_trip<mavlink_resource_request_t>(MAVLINK_MSG_ID_RESOURCE_REQUEST, 243,
                                                  mavlink_msg_resource_request_pack,
                                                  mavlink_msg_resource_request_decode, resource);
    expect_round_trip<mavlink_pelora_param_value_t>(
        MAVLINK_MSG_ID_PELORA_PARAM_VALUE, 55, mavlink_msg_pelora_param_value_pack,
        mavlink_msg_pelora_param_value_decode,
        {1.0f, 14, 3, "123456789012345", "12345678901234567890123456789", 11});
    expect_round_trip<mavlink_pelora_ack_t>(
        MAVLINK_MSG_ID_PELORA_ACK, 7, mavlink_msg_pelora_ack_pack, mavlink_msg_pelora_ack_decode,
        {{0, 0, 111, 4, 0, 0, 0}});
    expect_round_trip<mavlink_pelora_sd_status_t>(
        MAVLINK_MSG_ID_PELORA_SD_STATUS, 11, mavlink_msg_pelora_sd_status_pack,
        mavlink_msg_pelora_sd_status_decode, {29800.5f, 1024.0f, 2});
    expect_round_trip<mavlink_pelora_quad_status_t>(MAVLINK_MSG_ID_PELORA_QUAD_STATUS, 4,
                                                    mavlink_msg_pelora_quad_status_pack,
                                                    mavlink_msg_pelora_quad_status_decode, {5});
    expect_round_trip<mavlink_pelora_custom_config_t>(
        MAVLINK_MSG_ID_PELORA_CUSTOM_CONFIG, 44, mavlink_msg_pelora_custom_config_pack,
        mavlink_msg_pelora_custom_config_decode, {2, "PeloraAP_1234"});
    expect_round_trip<mavlink_pelora_gps_info_t>(MAVLINK_MSG_ID_PELORA_GPS_INFO, 24,
                                                 mavlink_msg_pelora_gps_info_pack,
                                                 mavlink_msg_pelora_gps_info_decode, {123.45f});

    mavlink_message_t request;
    EXPECT_EQ(mavlink_msg_pelora_sd_request_pack(0x42, 0, 1, &request), 8);
    EXPECT_EQ(request.msgid, MAVLINK_MSG_ID_PELORA_SD_REQUEST);
    EXPECT_EQ(request.len, 0);
}

TEST(MavlinkMsgs, WireOffsetsOfTheDialect) {
    mavlink_message_t m;
    const mavlink_pelora_sd_status_t sd{.capacity = 1.0f, .free_space = -2.0f, .state = 1};
    mavlink_msg_pelora_sd_status_pack(36, 0, 0, &sd, &m);
    const uint8_t sdBytes[] = {0x00, 0x00, 0x80, 0x3F, 0x00, 0x00, 0x00, 0xC0, 0, 0, 1};
    EXPECT_EQ(memcmp(m.payload.data(), sdBytes, sizeof sdBytes), 0);

    const mavlink_pelora_gps_info_t gps{.altitude = 2.0f};
    mavlink_msg_pelora_gps_info_pack(35, 0, 0, &gps, &m);
    EXPECT_EQ(mavlink_get_u32(&m, 4), 0x40000000u);
    EXPECT_EQ(mavlink_get_u32(&m, 0), 0u);

    const mavlink_pelora_quad_status_t quad{.status = 4};
    mavlink_msg_pelora_quad_status_pack(35, 0, 0, &quad, &m);
    EXPECT_EQ(mavlink_get_u32(&m, 0), 0x00040000u);

    mavlink_pelora_custom_config_t config{.setting_type = 3, .text = {}};
    memset(config.text, 'x', MAVLINK_CUSTOM_CONFIG_TEXT_LEN);  // 30 characters: 29 are sent
    mavlink_msg_pelora_custom_config_pack(37, 0, 0, &config, &m);
    EXPECT_EQ(mavlink_get_u8(&m, 0), 0);
    EXPECT_EQ(mavlink_get_u8(&m, 1), 3);
    EXPECT_EQ(mavlink_get_u8(&m, 30), 'x');
    EXPECT_EQ(mavlink_get_u8(&m, 31), 0);
}

TEST(MavlinkMsgs, TextFieldsAreCutAndShortPayloadsReadAsZero) {
    mavlink_pelora_param_value_t value{};
    const char longName[] = "a_key_longer_than_fifteen";
    memcpy(value.name, longName, MAVLINK_PARAM_NAME_LEN);  // not terminated within the field
    mavlink_message_t m;
    mavlink_msg_pelora_param_value_pack(36, 0, 0, &value, &m);
    mavlink_pelora_param_value_t out{};
    ASSERT_EQ(mavlink_msg_pelora_param_value_decode(&m, &out), 0);
    EXPECT_STREQ(out.name, "a_key_longer_th");  // 15 characters and the terminator

    // A short COMMAND_LONG over a record that held a longer frame before:
    // fields past the received length are 0, not left-over bytes.
    m.payload.fill(0xAA);
    m.msgid = MAVLINK_MSG_ID_COMMAND_LONG;
    m.len = 30;
    mavlink_command_long_t cmd{};
    ASSERT_EQ(mavlink_msg_command_long_decode(&m, &cmd), 0);
    EXPECT_EQ(cmd.command, 0xAAAA);
    EXPECT_EQ(cmd.target_system, 0);
    EXPECT_EQ(cmd.target_component, 0);
    EXPECT_EQ(cmd.confirmation, 0);
}

}  // namespace
