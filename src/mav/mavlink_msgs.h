// Payloads of the MAVLink messages the board builds or reads: the common
// messages it uses and its own dialect. Fields are written and read
// explicitly, little-endian, at their wire offsets; never by copying a struct.
//
// Every pack function fills the payload (unused bytes zero), the header and
// the checksum, and returns the frame length (payload + 8), or -1 for a null
// argument. Every decode function returns 0, or -1 for a null argument or a
// message of another id; payload bytes beyond the received length read as 0.
#pragma once

#include <cstddef>
#include <cstdint>

#include "mav/mavlink_frame.h"

// Message ids.
enum : uint8_t {
    MAVLINK_MSG_ID_HEARTBEAT = 0,
    MAVLINK_MSG_ID_PARAM_REQUEST_LIST = 21,
    MAVLINK_MSG_ID_PELORA_PARAM_VALUE = 22,
    MAVLINK_MSG_ID_GPS_RAW_INT = 24,
    MAVLINK_MSG_ID_LOCAL_POSITION_NED = 32,
    MAVLINK_MSG_ID_PELORA_ACK = 52,
    MAVLINK_MSG_ID_PELORA_SD_REQUEST = 56,
    MAVLINK_MSG_ID_PELORA_SD_STATUS = 57,
    MAVLINK_MSG_ID_PELORA_QUAD_STATUS = 58,
    MAVLINK_MSG_ID_PELORA_CUSTOM_CONFIG = 59,
    MAVLINK_MSG_ID_DATA_STREAM = 67,
    MAVLINK_MSG_ID_COMMAND_LONG = 76,
    MAVLINK_MSG_ID_COMMAND_ACK = 77,
    MAVLINK_MSG_ID_HIL_STATE = 90,
    MAVLINK_MSG_ID_VISION_POSITION_ESTIMATE = 102,
    MAVLINK_MSG_ID_HIGHRES_IMU = 105,
    MAVLINK_MSG_ID_HIL_SENSOR = 107,
    MAVLINK_MSG_ID_FILE_TRANSFER_PROTOCOL = 110,
    MAVLINK_MSG_ID_TIMESYNC = 111,
    MAVLINK_MSG_ID_CAMERA_TRIGGER = 112,
    MAVLINK_MSG_ID_LOG_DATA = 120,
    MAVLINK_MSG_ID_LOG_REQUEST_END = 122,
    MAVLINK_MSG_ID_PELORA_GPS_INFO = 141,
    MAVLINK_MSG_ID_RESOURCE_REQUEST = 142,
};

// Payload lengths.
enum : uint8_t {
    MAVLINK_MSG_LEN_HEARTBEAT = 9,
    MAVLINK_MSG_LEN_PARAM_REQUEST_LIST = 2,
    MAVLINK_MSG_LEN_PELORA_PARAM_VALUE = 55,
    MAVLINK_MSG_LEN_GPS_RAW_INT = 30,
    MAVLINK_MSG_LEN_LOCAL_POSITION_NED = 28,
    MAVLINK_MSG_LEN_PELORA_ACK = 7,
    MAVLINK_MSG_LEN_PELORA_SD_REQUEST = 0,
    MAVLINK_MSG_LEN_PELORA_SD_STATUS = 11,
    MAVLINK_MSG_LEN_PELORA_QUAD_STATUS = 4,
    MAVLINK_MSG_LEN_PELORA_CUSTOM_CONFIG = 44,
    MAVLINK_MSG_LEN_DATA_STREAM = 4,
    MAVLINK_MSG_LEN_COMMAND_LONG = 33,
    MAVLINK_MSG_LEN_COMMAND_ACK = 3,
    MAVLINK_MSG_LEN_HIL_STATE = 56,
    MAVLINK_MSG_LEN_VISION_POSITION_ESTIMATE = 32,
    MAVLINK_MSG_LEN_HIGHRES_IMU = 62,
    MAVLINK_MSG_LEN_HIL_SENSOR = 64,
    MAVLINK_MSG_LEN_FILE_TRANSFER_PROTOCOL = 254,
    MAVLINK_MSG_LEN_TIMESYNC = 16,
    MAVLINK_MSG_LEN_CAMERA_TRIGGER = 12,
    MAVLINK_MSG_LEN_LOG_DATA = 97,
    MAVLINK_MSG_LEN_LOG_REQUEST_END = 2,
    MAVLINK_MSG_LEN_PELORA_GPS_INFO = 24,
    MAVLINK_MSG_LEN_RESOURCE_REQUEST = 243,
};

// Name of a message id of the table above ("HEARTBEAT", "PELORA_ACK", ...), or
// null for an id the board does not build or read.
const char* mavlink_msg_name(uint8_t msgid);

// ---------------------------------------------------------------------------
// Little-endian field access at payload offsets. Writes beyond the payload
// space are ignored; reads at or beyond msg->len give 0.

void mavlink_put_u8(mavlink_message_t* msg, size_t offset, uint8_t value);
void mavlink_put_u16(mavlink_message_t* msg, size_t offset, uint16_t value);
void mavlink_put_u32(mavlink_message_t* msg, size_t offset, uint32_t value);
void mavlink_put_u64(mavlink_message_t* msg, size_t offset, uint64_t value);
void mavlink_put_i16(mavlink_message_t* msg, size_t offset, int16_t value);
void mavlink_put_i32(mavlink_message_t* msg, size_t offset, int32_t value);
void mavlink_put_i64(mavlink_message_t* msg, size_t offset, int64_t value);
void mavlink_put_f32(mavlink_message_t* msg, size_t offset, float value);
// Copies `size` bytes from `bytes` (null: zeros).
void mavlink_put_bytes(mavlink_message_t* msg, size_t offset, const void* bytes, size_t size);
// Copies text into a `size`-byte field: at most size - 1 characters when
// `terminate`, else at most size; the rest of the field is zero.
void mavlink_put_text(mavlink_message_t* msg, size_t offset, size_t size, const char* text,
                      bool terminate);

uint8_t mavlink_get_u8(const mavlink_message_t* msg, size_t offset);
uint16_t mavlink_get_u16(const mavlink_message_t* msg, size_t offset);
uint32_t mavlink_get_u32(const mavlink_message_t* msg, size_t offset);
uint64_t mavlink_get_u64(const mavlink_message_t* msg, size_t offset);
int16_t mavlink_get_i16(const mavlink_message_t* msg, size_t offset);
int32_t mavlink_get_i32(const mavlink_message_t* msg, size_t offset);
int64_t mavlink_get_i64(const mavlink_message_t* msg, size_t offset);
float mavlink_get_f32(const mavlink_message_t* msg, size_t offset);
void mavlink_get_bytes(const mavlink_message_t* msg, size_t offset, void* bytes, size_t size);
// Reads a `size`-byte text field into `text` (size + 1 bytes), zero-terminated.
void mavlink_get_text(const mavlink_message_t* msg, size_t offset, size_t size, char* text);

// Starts a message: clears the record (so unused payload bytes are zero).
void mavlink_msg_clear(mavlink_message_t* msg);

// ---------------------------------------------------------------------------
// Common messages.

struct mavlink_heartbeat_t {
    uint32_t custom_mode;
    uint8_t type;
    uint8_t autopilot;
    uint8_t base_mode;
    uint8_t system_status;
    uint8_t mavlink_version;
    bool operator==(const mavlink_heartbeat_t&) const = default;
};

struct mavlink_param_request_list_t {
    uint8_t target_system;
    uint8_t target_component;
    bool operator==(const mavlink_param_request_list_t&) const = default;
};

struct mavlink_gps_raw_int_t {
    uint64_t time_usec;
    int32_t lat;  // degrees * 1e7
    int32_t lon;
    int32_t alt;  // millimetres
    uint16_t eph;
    uint16_t epv;
    uint16_t vel;
    uint16_t cog;
    uint8_t fix_type;
    uint8_t satellites_visible;
    bool operator==(const mavlink_gps_raw_int_t&) const = default;
};

struct mavlink_local_position_ned_t {
    uint32_t time_boot_ms;
    float x, y, z;
    float vx, vy, vz;
    bool operator==(const mavlink_local_position_ned_t&) const = default;
};

struct mavlink_data_stream_t {
    uint16_t message_rate;
    uint8_t stream_id;
    uint8_t on_off;
    bool operator==(const mavlink_data_stream_t&) const = default;
};

struct mavlink_command_long_t {
    float param1, param2, param3, param4, param5, param6, param7;
    uint16_t command;
    uint8_t target_system;
    uint8_t target_component;
    uint8_t confirmation;
    bool operator==(const mavlink_command_long_t&) const = default;
};

struct mavlink_command_ack_t {
    uint16_t command;
    uint8_t result;  // 0 accepted, 4 failed
    bool operator==(const mavlink_command_ack_t&) const = default;
};

struct mavlink_hil_state_t {
    uint64_t time_usec;
    float roll, pitch, yaw;
    float rollspeed, pitchspeed, yawspeed;
    int32_t lat, lon, alt;
    int16_t vx, vy, vz;
    int16_t xacc, yacc, zacc;
    bool operator==(const mavlink_hil_state_t&) const = default;
};

struct mavlink_vision_position_estimate_t {
    uint64_t usec;
    float x, y, z;
    float roll, pitch, yaw;
    bool operator==(const mavlink_vision_position_estimate_t&) const = default;
};

// HIGHRES_IMU and HIL_SENSOR share thirteen floats after the time.
inline constexpr size_t MAVLINK_IMU_FLOATS = 13;

struct mavlink_highres_imu_t {
    uint64_t time_usec;
    // xacc, yacc, zacc, xgyro, ygyro, zgyro, xmag, ymag, zmag, abs_pressure,
    // diff_pressure, pressure_alt, temperature
    float values[MAVLINK_IMU_FLOATS];
    uint16_t fields_updated;
    bool operator==(const mavlink_highres_imu_t&) const = default;
};

struct mavlink_hil_sensor_t {
    uint64_t time_usec;
    float values[MAVLINK_IMU_FLOATS];  // same order as mavlink_highres_imu_t
    uint32_t fields_updated;
    bool operator==(const mavlink_hil_sensor_t&) const = default;
};

inline constexpr size_t MAVLINK_FTP_PAYLOAD_LEN = 251;

struct mavlink_file_transfer_protocol_t {
    uint8_t target_network;
    uint8_t target_system;
    uint8_t target_component;
    uint8_t payload[MAVLINK_FTP_PAYLOAD_LEN];
    bool operator==(const mavlink_file_transfer_protocol_t&) const = default;
};

struct mavlink_timesync_t {
    int64_t tc1;
    int64_t ts1;
    bool operator==(const mavlink_timesync_t&) const = default;
};

struct mavlink_camera_trigger_t {
    uint64_t time_usec;
    uint32_t seq;
    bool operator==(const mavlink_camera_trigger_t&) const = default;
};

inline constexpr size_t MAVLINK_LOG_DATA_LEN = 90;

struct mavlink_log_data_t {
    uint32_t ofs;
    uint16_t id;
    uint8_t count;
    uint8_t data[MAVLINK_LOG_DATA_LEN];
    bool operator==(const mavlink_log_data_t&) const = default;
};

struct mavlink_log_request_end_t {
    uint8_t target_system;
    uint8_t target_component;
    bool operator==(const mavlink_log_request_end_t&) const = default;
};

inline constexpr size_t MAVLINK_RESOURCE_URI_LEN = 120;

struct mavlink_resource_request_t {
    uint8_t request_id;
    uint8_t uri_type;
    uint8_t uri[MAVLINK_RESOURCE_URI_LEN];
    uint8_t transfer_type;
    uint8_t storage[MAVLINK_RESOURCE_URI_LEN];
    bool operator==(const mavlink_resource_request_t&) const = default;
};

// ---------------------------------------------------------------------------
// The dialect.

inline constexpr size_t MAVLINK_PARAM_NAME_LEN = 16;  // name field; at most 15 characters sent
inline constexpr size_t MAVLINK_PARAM_TEXT_LEN = 30;  // text field; at most 29 characters sent
inline constexpr uint8_t MAVLINK_PARAM_TYPE_TEXT = 11;

struct mavlink_pelora_param_value_t {
    float value;
    uint16_t count;
    uint16_t index;
    char name[MAVLINK_PARAM_NAME_LEN + 1];  // zero-terminated in memory
    char text[MAVLINK_PARAM_TEXT_LEN + 1];
    uint8_t type;
    bool operator==(const mavlink_pelora_param_value_t&) const = default;
};

inline constexpr size_t MAVLINK_PELORA_ACK_LEN = 7;

// Seven bytes: 0 always 0, 1 the item, 2 the id of the acknowledged message,
// 3 and following as the acknowledgement calls for.
struct mavlink_pelora_ack_t {
    uint8_t data[MAVLINK_PELORA_ACK_LEN];
    bool operator==(const mavlink_pelora_ack_t&) const = default;
};

struct mavlink_pelora_sd_status_t {
    float capacity;
    float free_space;
    uint8_t state;  // 0 ready, 1 no card, 2 any other state
    bool operator==(const mavlink_pelora_sd_status_t&) const = default;
};

struct mavlink_pelora_quad_status_t {
    uint8_t status;  // 3 unbind, 4 or 5 bind
    bool operator==(const mavlink_pelora_quad_status_t&) const = default;
};

inline constexpr size_t MAVLINK_CUSTOM_CONFIG_TEXT_LEN = 30;

struct mavlink_pelora_custom_config_t {
    uint8_t setting_type;
    char text[MAVLINK_CUSTOM_CONFIG_TEXT_LEN + 1];  // at most 29 characters sent
    bool operator==(const mavlink_pelora_custom_config_t&) const = default;
};

struct mavlink_pelora_gps_info_t {
    float altitude;
    bool operator==(const mavlink_pelora_gps_info_t&) const = default;
};

// ---------------------------------------------------------------------------
// Pack and decode.

int mavlink_msg_heartbeat_pack(uint8_t sysid, uint8_t compid, uint8_t seq,
                               const mavlink_heartbeat_t* in, mavlink_message_t* msg);
int mavlink_msg_heartbeat_decode(const mavlink_message_t* msg, mavlink_heartbeat_t* out);

int mavlink_msg_param_request_list_pack(uint8_t sysid, uint8_t compid, uint8_t seq,
                                        const mavlink_param_request_list_t* in,
                                        mavlink_message_t* msg);
int mavlink_msg_param_request_list_decode(const mavlink_message_t* msg,
                                          mavlink_param_request_list_t* out);

int mavlink_msg_gps_raw_int_pack(uint8_t sysid, uint8_t compid, uint8_t seq,
                                 const mavlink_gps_raw_int_t* in, mavlink_message_t* msg);
int mavlink_msg_gps_raw_int_decode(const mavlink_message_t* msg, mavlink_gps_raw_int_t* out);

int mavlink_msg_local_position_ned_pack(uint8_t sysid, uint8_t compid, uint8_t seq,
                                        const mavlink_local_position_ned_t* in,
                                        mavlink_message_t* msg);
int mavlink_msg_local_position_ned_decode(const mavlink_message_t* msg,
                                          mavlink_local_position_ned_t* out);

int mavlink_msg_data_stream_pack(uint8_t sysid, uint8_t compid, uint8_t seq,
                                 const mavlink_data_stream_t* in, mavlink_message_t* msg);
int mavlink_msg_data_stream_decode(const mavlink_message_t* msg, mavlink_data_stream_t* out);

int mavlink_msg_command_long_pack(uint8_t sysid, uint8_t compid, uint8_t seq,
                                  const mavlink_command_long_t* in, mavlink_message_t* msg);
int mavlink_msg_command_long_decode(const mavlink_message_t* msg, mavlink_command_long_t* out);

int mavlink_msg_command_ack_pack(uint8_t sysid, uint8_t compid, uint8_t seq,
                                 const mavlink_command_ack_t* in, mavlink_message_t* msg);
int mavlink_msg_command_ack_decode(const mavlink_message_t* msg, mavlink_command_ack_t* out);

int mavlink_msg_hil_state_pack(uint8_t sysid, uint8_t compid, uint8_t seq,
                               const mavlink_hil_state_t* in, mavlink_message_t* msg);
int mavlink_msg_hil_state_decode(const mavlink_message_t* msg, mavlink_hil_state_t* out);

int mavlink_msg_vision_position_estimate_pack(uint8_t sysid, uint8_t compid, uint8_t seq,
                                              const mavlink_vision_position_estimate_t* in,
                                              mavlink_message_t* msg);
int mavlink_msg_vision_position_estimate_decode(const mavlink_message_t* msg,
                                                mavlink_vision_position_estimate_t* out);

int mavlink_msg_highres_imu_pack(uint8_t sysid, uint8_t compid, uint8_t seq,
                                 const mavlink_highres_imu_t* in, mavlink_message_t* msg);
int mavlink_msg_highres_imu_decode(const mavlink_message_t* msg, mavlink_highres_imu_t* out);

int mavlink_msg_hil_sensor_pack(uint8_t sysid, uint8_t compid, uint8_t seq,
                                const mavlink_hil_sensor_t* in, mavlink_message_t* msg);
int mavlink_msg_hil_sensor_decode(const mavlink_message_t* msg, mavlink_hil_sensor_t* out);

int mavlink_msg_file_transfer_protocol_pack(uint8_t sysid, uint8_t compid, uint8_t seq,
                                            const mavlink_file_transfer_protocol_t* in,
                                            mavlink_message_t* msg);
int mavlink_msg_file_transfer_protocol_decode(const mavlink_message_t* msg,
                                              mavlink_file_transfer_protocol_t* out);

int mavlink_msg_timesync_pack(uint8_t sysid, uint8_t compid, uint8_t seq,
                              const mavlink_timesync_t* in, mavlink_message_t* msg);
int mavlink_msg_timesync_decode(const mavlink_message_t* msg, mavlink_timesync_t* out);

int mavlink_msg_camera_trigger_pack(uint8_t sysid, uint8_t compid, uint8_t seq,
                                    const mavlink_camera_trigger_t* in, mavlink_message_t* msg);
int mavlink_msg_camera_trigger_decode(const mavlink_message_t* msg, mavlink_camera_trigger_t* out);

int mavlink_msg_log_data_pack(uint8_t sysid, uint8_t compid, uint8_t seq,
                              const mavlink_log_data_t* in, mavlink_message_t* msg);
int mavlink_msg_log_data_decode(const mavlink_message_t* msg, mavlink_log_data_t* out);

int mavlink_msg_log_request_end_pack(uint8_t sysid, uint8_t compid, uint8_t seq,
                                     const mavlink_log_request_end_t* in, mavlink_message_t* msg);
int mavlink_msg_log_request_end_decode(const mavlink_message_t* msg,
                                       mavlink_log_request_end_t* out);

int mavlink_msg_resource_request_pack(uint8_t sysid, uint8_t compid, uint8_t seq,
                                      const mavlink_resource_request_t* in, mavlink_message_t* msg);
int mavlink_msg_resource_request_decode(const mavlink_message_t* msg,
                                        mavlink_resource_request_t* out);

int mavlink_msg_pelora_param_value_pack(uint8_t sysid, uint8_t compid, uint8_t seq,
                                        const mavlink_pelora_param_value_t* in,
                                        mavlink_message_t* msg);
int mavlink_msg_pelora_param_value_decode(const mavlink_message_t* msg,
                                          mavlink_pelora_param_value_t* out);

int mavlink_msg_pelora_ack_pack(uint8_t sysid, uint8_t compid, uint8_t seq,
                                const mavlink_pelora_ack_t* in, mavlink_message_t* msg);
int mavlink_msg_pelora_ack_decode(const mavlink_message_t* msg, mavlink_pelora_ack_t* out);

int mavlink_msg_pelora_sd_status_pack(uint8_t sysid, uint8_t compid, uint8_t seq,
                                      const mavlink_pelora_sd_status_t* in, mavlink_message_t* msg);
int mavlink_msg_pelora_sd_status_decode(const mavlink_message_t* msg,
                                        mavlink_pelora_sd_status_t* out);

int mavlink_msg_pelora_quad_status_pack(uint8_t sysid, uint8_t compid, uint8_t seq,
                                        const mavlink_pelora_quad_status_t* in,
                                        mavlink_message_t* msg);
int mavlink_msg_pelora_quad_status_decode(const mavlink_message_t* msg,
                                          mavlink_pelora_quad_status_t* out);

int mavlink_msg_pelora_custom_config_pack(uint8_t sysid, uint8_t compid, uint8_t seq,
                                          const mavlink_pelora_custom_config_t* in,
                                          mavlink_message_t* msg);
int mavlink_msg_pelora_custom_config_decode(const mavlink_message_t* msg,
                                            mavlink_pelora_custom_config_t* out);

int mavlink_msg_pelora_gps_info_pack(uint8_t sysid, uint8_t compid, uint8_t seq,
                                     const mavlink_pelora_gps_info_t* in, mavlink_message_t* msg);
int mavlink_msg_pelora_gps_info_decode(const mavlink_message_t* msg,
                                       mavlink_pelora_gps_info_t* out);

// The SD card status request carries no payload the board reads; it is sent
// empty.
int mavlink_msg_pelora_sd_request_pack(uint8_t sysid, uint8_t compid, uint8_t seq,
                                       mavlink_message_t* msg);
