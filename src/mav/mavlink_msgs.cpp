#include "mav/mavlink_msgs.h"

#include <bit>
#include <cstring>

// ---------------------------------------------------------------------------
// Field access

namespace {

// Payload byte at `offset`, or 0 beyond the received length.
uint8_t byte_at(const mavlink_message_t* msg, size_t offset) {
    return offset < msg->len ? msg->payload[offset] : 0;
}

template <typename T>
void put_le(mavlink_message_t* msg, size_t offset, T value) {
    if (msg == nullptr || offset + sizeof(T) > MAVLINK_PAYLOAD_SPACE) return;
    for (size_t i = 0; i < sizeof(T); ++i) {
        msg->payload[offset + i] = static_cast<uint8_t>(value >> (8 * i));
    }
}

template <typename T>
T get_le(const mavlink_message_t* msg, size_t offset) {
    if (msg == nullptr) return 0;
    T value = 0;
    for (size_t i = 0; i < sizeof(T); ++i) {
        value = static_cast<T>(value | (static_cast<T>(byte_at(msg, offset + i)) << (8 * i)));
    }
    return value;
}

}  // namespace

void mavlink_put_u8(mavlink_message_t* msg, size_t offset, uint8_t value) {
    put_le(msg, offset, value);
}
void mavlink_put_u16(mavlink_message_t* msg, size_t offset, uint16_t value) {
    put_le(msg, offset, value);
}
void mavlink_put_u32(mavlink_message_t* msg, size_t offset, uint32_t value) {
    put_le(msg, offset, value);
}
void mavlink_put_u64(mavlink_message_t* msg, size_t offset, uint64_t value) {
    put_le(msg, offset, value);
}
void mavlink_put_i16(mavlink_message_t* msg, size_t offset, int16_t value) {
    put_le(msg, offset, static_cast<uint16_t>(value));
}
void mavlink_put_i32(mavlink_message_t* msg, size_t offset, int32_t value) {
    put_le(msg, offset, static_cast<uint32_t>(value));
}
void mavlink_put_i64(mavlink_message_t* msg, size_t offset, int64_t value) {
    put_le(msg, offset, static_cast<uint64_t>(value));
}
void mavlink_put_f32(mavlink_message_t* msg, size_t offset, float value) {
    put_le(msg, offset, std::bit_cast<uint32_t>(value));
}

void mavlink_put_bytes(mavlink_message_t* msg, size_t offset, const void* bytes, size_t size) {
    if (msg == nullptr || offset + size > MAVLINK_PAYLOAD_SPACE) return;
    if (bytes == nullptr) {
        memset(&msg->payload[offset], 0, size);
    } else {
        memcpy(&msg->payload[offset], bytes, size);
    }
}

void mavlink_put_text(mavlink_message_t* msg, size_t offset, size_t size, const char* text,
                      bool terminate) {
    if (msg == nullptr || size == 0 || offset + size > MAVLINK_PAYLOAD_SPACE) return;
    memset(&msg->payload[offset], 0, size);
    if (text == nullptr) return;
    const size_t length = strnlen(text, terminate ? size - 1 : size);
    memcpy(&msg->payload[offset], text, length);
}

uint8_t mavlink_get_u8(const mavlink_message_t* msg, size_t offset) {
    return get_le<uint8_t>(msg, offset);
}
uint16_t mavlink_get_u16(const mavlink_message_t* msg, size_t offset) {
    return get_le<uint16_t>(msg, offset);
}
uint32_t mavlink_get_u32(const mavlink_message_t* msg, size_t offset) {
    return get_le<uint32_t>(msg, offset);
}
uint64_t mavlink_get_u64(const mavlink_message_t* msg, size_t offset) {
    return get_le<uint64_t>(msg, offset);
}
int16_t mavlink_get_i16(const mavlink_message_t* msg, size_t offset) {
    return static_cast<int16_t>(get_le<uint16_t>(msg, offset));
}
int32_t mavlink_get_i32(const mavlink_message_t* msg, size_t offset) {
    return static_cast<int32_t>(get_le<uint32_t>(msg, offset));
}
int64_t mavlink_get_i64(const mavlink_message_t* msg, size_t offset) {
    return static_cast<int64_t>(get_le<uint64_t>(msg, offset));
}
float mavlink_get_f32(const mavlink_message_t* msg, size_t offset) {
    return std::bit_cast<float>(get_le<uint32_t>(msg, offset));
}

void mavlink_get_bytes(const mavlink_message_t* msg, size_t offset, void* bytes, size_t size) {
    if (bytes == nullptr) return;
    auto* out = static_cast<uint8_t*>(bytes);
    for (size_t i = 0; i < size; ++i) out[i] = msg != nullptr ? byte_at(msg, offset + i) : 0;
}

void mavlink_get_text(const mavlink_message_t* msg, size_t offset, size_t size, char* text) {
    if (text == nullptr) return;
    mavlink_get_bytes(msg, offset, text, size);
    text[size] = '\0';
}

void mavlink_msg_clear(mavlink_message_t* msg) {
    if (msg != nullptr) *msg = mavlink_message_t{};
}

const char* mavlink_msg_name(uint8_t msgid) {
    switch (msgid) {
        case MAVLINK_MSG_ID_HEARTBEAT:
            return "HEARTBEAT";
        case MAVLINK_MSG_ID_PARAM_REQUEST_LIST:
            return "PARAM_REQUEST_LIST";
        case MAVLINK_MSG_ID_PELORA_PARAM_VALUE:
            return "PELORA_PARAM_VALUE";
        case MAVLINK_MSG_ID_GPS_RAW_INT:
            return "GPS_RAW_INT";
        case MAVLINK_MSG_ID_LOCAL_POSITION_NED:
            return "LOCAL_POSITION_NED";
        case MAVLINK_MSG_ID_PELORA_ACK:
            return "PELORA_ACK";
        case MAVLINK_MSG_ID_PELORA_SD_REQUEST:
            return "PELORA_SD_REQUEST";
        case MAVLINK_MSG_ID_PELORA_SD_STATUS:
            return "PELORA_SD_STATUS";
        case MAVLINK_MSG_ID_PELORA_QUAD_STATUS:
            return "PELORA_QUAD_STATUS";
        case MAVLINK_MSG_ID_PELORA_CUSTOM_CONFIG:
            return "PELORA_CUSTOM_CONFIG";
        case MAVLINK_MSG_ID_DATA_STREAM:
            return "DATA_STREAM";
        case MAVLINK_MSG_ID_COMMAND_LONG:
            return "COMMAND_LONG";
        case MAVLINK_MSG_ID_COMMAND_ACK:
            return "COMMAND_ACK";
        case MAVLINK_MSG_ID_HIL_STATE:
            return "HIL_STATE";
        case MAVLINK_MSG_ID_VISION_POSITION_ESTIMATE:
            return "VISION_POSITION_ESTIMATE";
        case MAVLINK_MSG_ID_HIGHRES_IMU:
            return "HIGHRES_IMU";
        case MAVLINK_MSG_ID_HIL_SENSOR:
            return "HIL_SENSOR";
        case MAVLINK_MSG_ID_FILE_TRANSFER_PROTOCOL:
            return "FILE_TRANSFER_PROTOCOL";
        case MAVLINK_MSG_ID_TIMESYNC:
            return "TIMESYNC";
        case MAVLINK_MSG_ID_CAMERA_TRIGGER:
            return "CAMERA_TRIGGER";
        case MAVLINK_MSG_ID_LOG_DATA:
            return "LOG_DATA";
        case MAVLINK_MSG_ID_LOG_REQUEST_END:
            return "LOG_REQUEST_END";
        case MAVLINK_MSG_ID_PELORA_GPS_INFO:
            return "PELORA_GPS_INFO";
        case MAVLINK_MSG_ID_RESOURCE_REQUEST:
            return "RESOURCE_REQUEST";
        default:
            return nullptr;
    }
}

// ---------------------------------------------------------------------------
// Pack and decode

namespace {

template <typename T, typename Write>
int pack(uint8_t msgid, uint8_t len, uint8_t sysid, uint8_t compid, uint8_t seq, const T* in,
         mavlink_message_t* msg, Write write) {
    if (in == nullptr || msg == nullptr) return -1;
    mavlink_msg_clear(msg);
    write(*in, msg);
    mavlink_finalize_message(msg, sysid, compid, seq, msgid, len);
    return len + static_cast<int>(MAVLINK_NUM_NON_PAYLOAD_BYTES);
}

template <typename T, typename Read>
int decode(uint8_t msgid, const mavlink_message_t* msg, T* out, Read read) {
    if (msg == nullptr || out == nullptr || msg->msgid != msgid) return -1;
    *out = T{};
    read(msg, *out);
    return 0;
}

// The thirteen floats of HIGHRES_IMU and HIL_SENSOR, from offset 8.
void put_imu_floats(mavlink_message_t* msg, const float* values) {
    for (size_t i = 0; i < MAVLINK_IMU_FLOATS; ++i) mavlink_put_f32(msg, 8 + 4 * i, values[i]);
}

void get_imu_floats(const mavlink_message_t* msg, float* values) {
    for (size_t i = 0; i < MAVLINK_IMU_FLOATS; ++i) values[i] = mavlink_get_f32(msg, 8 + 4 * i);
}

}  // namespace

// HEARTBEAT: 0 custom_mode u32, 4 type, 5 autopilot, 6 base_mode,
// 7 system_status, 8 mavlink_version.
int mavlink_msg_heartbeat_pack(uint8_t sysid, uint8_t compid, uint8_t seq,
                               const mavlink_heartbeat_t* in, mavlink_message_t* msg) {
    return pack(MAVLINK_MSG_ID_HEARTBEAT, MAVLINK_MSG_LEN_HEARTBEAT, sysid, compid, seq, in, msg,
                [](const mavlink_heartbeat_t& v, mavlink_message_t* m) {
                    mavlink_put_u32(m, 0, v.custom_mode);
                    mavlink_put_u8(m, 4, v.type);
                    mavlink_put_u8(m, 5, v.autopilot);
                    mavlink_put_u8(m, 6, v.base_mode);
                    mavlink_put_u8(m, 7, v.system_status);
                    mavlink_put_u8(m, 8, v.mavlink_version);
                });
}

int mavlink_msg_heartbeat_decode(const mavlink_message_t* msg, mavlink_heartbeat_t* out) {
    return decode(MAVLINK_MSG_ID_HEARTBEAT, msg, out,
                  [](const mavlink_message_t* m, mavlink_heartbeat_t& v) {
                      v.custom_mode = mavlink_get_u32(m, 0);
                      v.type = mavlink_get_u8(m, 4);
                      v.autopilot = mavlink_get_u8(m, 5);
                      v.base_mode = mavlink_get_u8(m, 6);
                      v.system_status = mavlink_get_u8(m, 7);
                      v.mavlink_version = mavlink_get_u8(m, 8);
                  });
}

// PARAM_REQUEST_LIST: 0 target_system, 1 target_component.
int mavlink_msg_param_request_list_pack(uint8_t sysid, uint8_t compid, uint8_t seq,
                                        const mavlink_param_request_list_t* in,
                                        mavlink_message_t* msg) {
    return pack(MAVLINK_MSG_ID_PARAM_REQUEST_LIST, MAVLINK_MSG_LEN_PARAM_REQUEST_LIST, sysid,
                compid, seq, in, msg,
                [](const mavlink_param_request_list_t& v, mavlink_message_t* m) {
                    mavlink_put_u8(m, 0, v.target_system);
                    mavlink_put_u8(m, 1, v.target_component);
                });
}

int mavlink_msg_param_request_list_decode(const mavlink_message_t* msg,
                                          mavlink_param_request_list_t* out) {
    return decode(MAVLINK_MSG_ID_PARAM_REQUEST_LIST, msg, out,
                  [](const mavlink_message_t* m, mavlink_param_request_list_t& v) {
                      v.target_system = mavlink_get_u8(m, 0);
                      v.target_component = mavlink_get_u8(m, 1);
                  });
}

// GPS_RAW_INT: 0 time_usec u64, 8 lat, 12 lon, 16 alt (i32), 20 eph, 22 epv,
// 24 vel, 26 cog (u16), 28 fix_type, 29 satellites_visible.
int mavlink_msg_gps_raw_int_pack(uint8_t sysid, uint8_t compid, uint8_t seq,
                                 const mavlink_gps_raw_int_t* in, mavlink_message_t* msg) {
    return pack(MAVLINK_MSG_ID_GPS_RAW_INT, MAVLINK_MSG_LEN_GPS_RAW_INT, sysid, compid, seq, in,
                msg, [](const mavlink_gps_raw_int_t& v, mavlink_message_t* m) {
                    mavlink_put_u64(m, 0, v.time_usec);
                    mavlink_put_i32(m, 8, v.lat);
                    mavlink_put_i32(m, 12, v.lon);
                    mavlink_put_i32(m, 16, v.alt);
                    mavlink_put_u16(m, 20, v.eph);
                    mavlink_put_u16(m, 22, v.epv);
                    mavlink_put_u16(m, 24, v.vel);
                    mavlink_put_u16(m, 26, v.cog);
                    mavlink_put_u8(m, 28, v.fix_type);
                    mavlink_put_u8(m, 29, v.satellites_visible);
                });
}

int mavlink_msg_gps_raw_int_decode(const mavlink_message_t* msg, mavlink_gps_raw_int_t* out) {
    return decode(MAVLINK_MSG_ID_GPS_RAW_INT, msg, out,
                  [](const mavlink_message_t* m, mavlink_gps_raw_int_t& v) {
                      v.time_usec = mavlink_get_u64(m, 0);
                      v.lat = mavlink_get_i32(m, 8);
                      v.lon = mavlink_get_i32(m, 12);
                      v.alt = mavlink_get_i32(m, 16);
                      v.eph = mavlink_get_u16(m, 20);
                      v.epv = mavlink_get_u16(m, 22);
                      v.vel = mavlink_get_u16(m, 24);
                      v.cog = mavlink_get_u16(m, 26);
                      v.fix_type = mavlink_get_u8(m, 28);
                      v.satellites_visible = mavlink_get_u8(m, 29);
                  });
}

// LOCAL_POSITION_NED: 0 time_boot_ms u32, then x, y, z, vx, vy, vz (f32).
int mavlink_msg_local_position_ned_pack(uint8_t sysid, uint8_t compid, uint8_t seq,
                                        const mavlink_local_position_ned_t* in,
                                        mavlink_message_t* msg) {
    return pack(MAVLINK_MSG_ID_LOCAL_POSITION_NED, MAVLINK_MSG_LEN_LOCAL_POSITION_NED, sysid,
                compid, seq, in, msg,
                [](const mavlink_local_position_ned_t& v, mavlink_message_t* m) {
                    mavlink_put_u32(m, 0, v.time_boot_ms);
                    const float fields[] = {v.x, v.y, v.z, v.vx, v.vy, v.vz};
                    for (size_t i = 0; i < 6; ++i) mavlink_put_f32(m, 4 + 4 * i, fields[i]);
                });
}

int mavlink_msg_local_position_ned_decode(const mavlink_message_t* msg,
                                          mavlink_local_position_ned_t* out) {
    return decode(MAVLINK_MSG_ID_LOCAL_POSITION_NED, msg, out,
                  [](const mavlink_message_t* m, mavlink_local_position_ned_t& v) {
                      v.time_boot_ms = mavlink_get_u32(m, 0);
                      float* fields[] = {&v.x, &v.y, &v.z, &v.vx, &v.vy, &v.vz};
                      for (size_t i = 0; i < 6; ++i) *fields[i] = mavlink_get_f32(m, 4 + 4 * i);
                  });
}

// DATA_STREAM: 0 message_rate u16, 2 stream_id, 3 on_off.
int mavlink_msg_data_stream_pack(uint8_t sysid, uint8_t compid, uint8_t seq,
                                 const mavlink_data_stream_t* in, mavlink_message_t* msg) {
    return pack(MAVLINK_MSG_ID_DATA_STREAM, MAVLINK_MSG_LEN_DATA_STREAM, sysid, compid, seq, in,
                msg, [](const mavlink_data_stream_t& v, mavlink_message_t* m) {
                    mavlink_put_u16(m, 0, v.message_rate);
                    mavlink_put_u8(m, 2, v.stream_id);
                    mavlink_put_u8(m, 3, v.on_off);
                });
}

int mavlink_msg_data_stream_decode(const mavlink_message_t* msg, mavlink_data_stream_t* out) {
    return decode(MAVLINK_MSG_ID_DATA_STREAM, msg, out,
                  [](const mavlink_message_t* m, mavlink_data_stream_t& v) {
                      v.message_rate = mavlink_get_u16(m, 0);
                      v.stream_id = mavlink_get_u8(m, 2);
                      v.on_off = mavlink_get_u8(m, 3);
                  });
}

// COMMAND_LONG: 0..27 param1..param7 (f32), 28 command u16, 30 target_system,
// 31 target_component, 32 confirmation.
int mavlink_msg_command_long_pack(uint8_t sysid, uint8_t compid, uint8_t seq,
                                  const mavlink_command_long_t* in, mavlink_message_t* msg) {
    return pack(MAVLINK_MSG_ID_COMMAND_LONG, MAVLINK_MSG_LEN_COMMAND_LONG, sysid, compid, seq, in,
                msg, [](const mavlink_command_long_t& v, mavlink_message_t* m) {
                    const float params[] = {v.param1, v.param2, v.param3, v.param4,
                                            v.param5, v.param6, v.param7};
                    for (size_t i = 0; i < 7; ++i) mavlink_put_f32(m, 4 * i, params[i]);
                    mavlink_put_u16(m, 28, v.command);
                    mavlink_put_u8(m, 30, v.target_system);
                    mavlink_put_u8(m, 31, v.target_component);
                    mavlink_put_u8(m, 32, v.confirmation);
                });
}

int mavlink_msg_command_long_decode(const mavlink_message_t* msg, mavlink_command_long_t* out) {
    return decode(MAVLINK_MSG_ID_COMMAND_LONG, msg, out,
                  [](const mavlink_message_t* m, mavlink_command_long_t& v) {
                      float* params[] = {&v.param1, &v.param2, &v.param3, &v.param4,
                                         &v.param5, &v.param6, &v.param7};
                      for (size_t i = 0; i < 7; ++i) *params[i] = mavlink_get_f32(m, 4 * i);
                      v.command = mavlink_get_u16(m, 28);
                      v.target_system = mavlink_get_u8(m, 30);
                      v.target_component = mavlink_get_u8(m, 31);
                      v.confirmation = mavlink_get_u8(m, 32);
                  });
}

// COMMAND_ACK: 0 command u16, 2 result.
int mavlink_msg_command_ack_pack(uint8_t sysid, uint8_t compid, uint8_t seq,
                                 const mavlink_command_ack_t* in, mavlink_message_t* msg) {
    return pack(MAVLINK_MSG_ID_COMMAND_ACK, MAVLINK_MSG_LEN_COMMAND_ACK, sysid, compid, seq, in,
                msg, [](const mavlink_command_ack_t& v, mavlink_message_t* m) {
                    mavlink_put_u16(m, 0, v.command);
                    mavlink_put_u8(m, 2, v.result);
                });
}

int mavlink_msg_command_ack_decode(const mavlink_message_t* msg, mavlink_command_ack_t* out) {
    return decode(MAVLINK_MSG_ID_COMMAND_ACK, msg, out,
                  [](const mavlink_message_t* m, mavlink_command_ack_t& v) {
                      v.command = mavlink_get_u16(m, 0);
                      v.result = mavlink_get_u8(m, 2);
                  });
}

// HIL_STATE: 0 time_usec u64; 8..28 roll, pitch, yaw, rollspeed, pitchspeed,
// yawspeed (f32); 32 lat, 36 lon, 40 alt (i32); 44..54 vx, vy, vz, xacc,
// yacc, zacc (i16).
int mavlink_msg_hil_state_pack(uint8_t sysid, uint8_t compid, uint8_t seq,
                               const mavlink_hil_state_t* in, mavlink_message_t* msg) {
    return pack(MAVLINK_MSG_ID_HIL_STATE, MAVLINK_MSG_LEN_HIL_STATE, sysid, compid, seq, in, msg,
                [](const mavlink_hil_state_t& v, mavlink_message_t* m) {
                    mavlink_put_u64(m, 0, v.time_usec);
                    const float angles[] = {v.roll,      v.pitch,      v.yaw,
                                            v.rollspeed, v.pitchspeed, v.yawspeed};
                    for (size_t i = 0; i < 6; ++i) mavlink_put_f32(m, 8 + 4 * i, angles[i]);
                    mavlink_put_i32(m, 32, v.lat);
                    mavlink_put_i32(m, 36, v.lon);
                    mavlink_put_i32(m, 40, v.alt);
                    const int16_t motion[] = {v.vx, v.vy, v.vz, v.xacc, v.yacc, v.zacc};
                    for (size_t i = 0; i < 6; ++i) mavlink_put_i16(m, 44 + 2 * i, motion[i]);
                });
}

int mavlink_msg_hil_state_decode(const mavlink_message_t* msg, mavlink_hil_state_t* out) {
    return decode(
        MAVLINK_MSG_ID_HIL_STATE, msg, out, [](const mavlink_message_t* m, mavlink_hil_state_t& v) {
            v.time_usec = mavlink_get_u64(m, 0);
            float* angles[] = {&v.roll, &v.pitch, &v.yaw, &v.rollspeed, &v.pitchspeed, &v.yawspeed};
            for (size_t i = 0; i < 6; ++i) *angles[i] = mavlink_get_f32(m, 8 + 4 * i);
            v.lat = mavlink_get_i32(m, 32);
            v.lon = mavlink_get_i32(m, 36);
            v.alt = mavlink_get_i32(m, 40);
            int16_t* motion[] = {&v.vx, &v.vy, &v.vz, &v.xacc, &v.yacc, &v.zacc};
            for (size_t i = 0; i < 6; ++i) *motion[i] = mavlink_get_i16(m, 44 + 2 * i);
        });
}

// VISION_POSITION_ESTIMATE: 0 usec u64, then x, y, z, roll, pitch, yaw (f32).
int mavlink_msg_vision_position_estimate_pack(uint8_t sysid, uint8_t compid, uint8_t seq,
                                              const mavlink_vision_position_estimate_t* in,
                                              mavlink_message_t* msg) {
    return pack(MAVLINK_MSG_ID_VISION_POSITION_ESTIMATE, MAVLINK_MSG_LEN_VISION_POSITION_ESTIMATE,
                sysid, compid, seq, in, msg,
                [](const mavlink_vision_position_estimate_t& v, mavlink_message_t* m) {
                    mavlink_put_u64(m, 0, v.usec);
                    const float fields[] = {v.x, v.y, v.z, v.roll, v.pitch, v.yaw};
                    for (size_t i = 0; i < 6; ++i) mavlink_put_f32(m, 8 + 4 * i, fields[i]);
                });
}

int mavlink_msg_vision_position_estimate_decode(const mavlink_message_t* msg,
                                                mavlink_vision_position_estimate_t* out) {
    return decode(MAVLINK_MSG_ID_VISION_POSITION_ESTIMATE, msg, out,
                  [](const mavlink_message_t* m, mavlink_vision_position_estimate_t& v) {
                      v.usec = mavlink_get_u64(m, 0);
                      float* fields[] = {&v.x, &v.y, &v.z, &v.roll, &v.pitch, &v.yaw};
                      for (size_t i = 0; i < 6; ++i) *fields[i] = mavlink_get_f32(m, 8 + 4 * i);
                  });
}

// HIGHRES_IMU: 0 time_usec u64, 8..56 thirteen f32, 60 fields_updated u16.
int mavlink_msg_highres_imu_pack(uint8_t sysid, uint8_t compid, uint8_t seq,
                                 const mavlink_highres_imu_t* in, mavlink_message_t* msg) {
    return pack(MAVLINK_MSG_ID_HIGHRES_IMU, MAVLINK_MSG_LEN_HIGHRES_IMU, sysid, compid, seq, in,
                msg, [](const mavlink_highres_imu_t& v, mavlink_message_t* m) {
                    mavlink_put_u64(m, 0, v.time_usec);
                    put_imu_floats(m, v.values);
                    mavlink_put_u16(m, 60, v.fields_updated);
                });
}

int mavlink_msg_highres_imu_decode(const mavlink_message_t* msg, mavlink_highres_imu_t* out) {
    return decode(MAVLINK_MSG_ID_HIGHRES_IMU, msg, out,
                  [](const mavlink_message_t* m, mavlink_highres_imu_t& v) {
                      v.time_usec = mavlink_get_u64(m, 0);
                      get_imu_floats(m, v.values);
                      v.fields_updated = mavlink_get_u16(m, 60);
                  });
}

// HIL_SENSOR: 0 time_usec u64, 8..56 thirteen f32, 60 fields_updated u32.
int mavlink_msg_hil_sensor_pack(uint8_t sysid, uint8_t compid, uint8_t seq,
                                const mavlink_hil_sensor_t* in, mavlink_message_t* msg) {
    return pack(MAVLINK_MSG_ID_HIL_SENSOR, MAVLINK_MSG_LEN_HIL_SENSOR, sysid, compid, seq, in, msg,
                [](const mavlink_hil_sensor_t& v, mavlink_message_t* m) {
                    mavlink_put_u64(m, 0, v.time_usec);
                    put_imu_floats(m, v.values);
                    mavlink_put_u32(m, 60, v.fields_updated);
                });
}

int mavlink_msg_hil_sensor_decode(const mavlink_message_t* msg, mavlink_hil_sensor_t* out) {
    return decode(MAVLINK_MSG_ID_HIL_SENSOR, msg, out,
                  [](const mavlink_message_t* m, mavlink_hil_sensor_t& v) {
                      v.time_usec = mavlink_get_u64(m, 0);
                      get_imu_floats(m, v.values);
                      v.fields_updated = mavlink_get_u32(m, 60);
                  });
}

// FILE_TRANSFER_PROTOCOL: 0 target_network, 1 target_system,
// 2 target_component, 3 payload[251].
int mavlink_msg_file_transfer_protocol_pack(uint8_t sysid, uint8_t compid, uint8_t seq,
                                            const mavlink_file_transfer_protocol_t* in,
                                            mavlink_message_t* msg) {
    return pack(MAVLINK_MSG_ID_FILE_TRANSFER_PROTOCOL, MAVLINK_MSG_LEN_FILE_TRANSFER_PROTOCOL,
                sysid, compid, seq, in, msg,
                [](const mavlink_file_transfer_protocol_t& v, mavlink_message_t* m) {
                    mavlink_put_u8(m, 0, v.target_network);
                    mavlink_put_u8(m, 1, v.target_system);
                    mavlink_put_u8(m, 2, v.target_component);
                    mavlink_put_bytes(m, 3, v.payload, MAVLINK_FTP_PAYLOAD_LEN);
                });
}

int mavlink_msg_file_transfer_protocol_decode(const mavlink_message_t* msg,
                                              mavlink_file_transfer_protocol_t* out) {
    return decode(MAVLINK_MSG_ID_FILE_TRANSFER_PROTOCOL, msg, out,
                  [](const mavlink_message_t* m, mavlink_file_transfer_protocol_t& v) {
                      v.target_network = mavlink_get_u8(m, 0);
                      v.target_system = mavlink_get_u8(m, 1);
                      v.target_component = mavlink_get_u8(m, 2);
                      mavlink_get_bytes(m, 3, v.payload, MAVLINK_FTP_PAYLOAD_LEN);
                  });
}

// TIMESYNC: 0 tc1 i64, 8 ts1 i64.
int mavlink_msg_timesync_pack(uint8_t sysid, uint8_t compid, uint8_t seq,
                              const mavlink_timesync_t* in, mavlink_message_t* msg) {
    return pack(MAVLINK_MSG_ID_TIMESYNC, MAVLINK_MSG_LEN_TIMESYNC, sysid, compid, seq, in, msg,
                [](const mavlink_timesync_t& v, mavlink_message_t* m) {
                    mavlink_put_i64(m, 0, v.tc1);
                    mavlink_put_i64(m, 8, v.ts1);
                });
}

int mavlink_msg_timesync_decode(const mavlink_message_t* msg, mavlink_timesync_t* out) {
    return decode(MAVLINK_MSG_ID_TIMESYNC, msg, out,
                  [](const mavlink_message_t* m, mavlink_timesync_t& v) {
                      v.tc1 = mavlink_get_i64(m, 0);
                      v.ts1 = mavlink_get_i64(m, 8);
                  });
}

// CAMERA_TRIGGER: 0 time_usec u64, 8 seq u32.
int mavlink_msg_camera_trigger_pack(uint8_t sysid, uint8_t compid, uint8_t seq,
                                    const mavlink_camera_trigger_t* in, mavlink_message_t* msg) {
    return pack(MAVLINK_MSG_ID_CAMERA_TRIGGER, MAVLINK_MSG_LEN_CAMERA_TRIGGER, sysid, compid, seq,
                in, msg, [](const mavlink_camera_trigger_t& v, mavlink_message_t* m) {
                    mavlink_put_u64(m, 0, v.time_usec);
                    mavlink_put_u32(m, 8, v.seq);
                });
}

int mavlink_msg_camera_trigger_decode(const mavlink_message_t* msg, mavlink_camera_trigger_t* out) {
    return decode(MAVLINK_MSG_ID_CAMERA_TRIGGER, msg, out,
                  [](const mavlink_message_t* m, mavlink_camera_trigger_t& v) {
                      v.time_usec = mavlink_get_u64(m, 0);
                      v.seq = mavlink_get_u32(m, 8);
                  });
}

// LOG_DATA: 0 ofs u32, 4 id u16, 6 count, 7 data[90].
int mavlink_msg_log_data_pack(uint8_t sysid, uint8_t compid, uint8_t seq,
                              const mavlink_log_data_t* in, mavlink_message_t* msg) {
    return pack(MAVLINK_MSG_ID_LOG_DATA, MAVLINK_MSG_LEN_LOG_DATA, sysid, compid, seq, in, msg,
                [](const mavlink_log_data_t& v, mavlink_message_t* m) {
                    mavlink_put_u32(m, 0, v.ofs);
                    mavlink_put_u16(m, 4, v.id);
                    mavlink_put_u8(m, 6, v.count);
                    mavlink_put_bytes(m, 7, v.data, MAVLINK_LOG_DATA_LEN);
                });
}

int mavlink_msg_log_data_decode(const mavlink_message_t* msg, mavlink_log_data_t* out) {
    return decode(MAVLINK_MSG_ID_LOG_DATA, msg, out,
                  [](const mavlink_message_t* m, mavlink_log_data_t& v) {
                      v.ofs = mavlink_get_u32(m, 0);
                      v.id = mavlink_get_u16(m, 4);
                      v.count = mavlink_get_u8(m, 6);
                      mavlink_get_bytes(m, 7, v.data, MAVLINK_LOG_DATA_LEN);
                  });
}

// LOG_REQUEST_END: 0 target_system, 1 target_component.
int mavlink_msg_log_request_end_pack(uint8_t sysid, uint8_t compid, uint8_t seq,
                                     const mavlink_log_request_end_t* in, mavlink_message_t* msg) {
    return pack(MAVLINK_MSG_ID_LOG_REQUEST_END, MAVLINK_MSG_LEN_LOG_REQUEST_END, sysid, compid, seq,
                in, msg, [](const mavlink_log_request_end_t& v, mavlink_message_t* m) {
                    mavlink_put_u8(m, 0, v.target_system);
                    mavlink_put_u8(m, 1, v.target_component);
                });
}

int mavlink_msg_log_request_end_decode(const mavlink_message_t* msg,
                                       mavlink_log_request_end_t* out) {
    return decode(MAVLINK_MSG_ID_LOG_REQUEST_END, msg, out,
                  [](const mavlink_message_t* m, mavlink_log_request_end_t& v) {
                      v.target_system = mavlink_get_u8(m, 0);
                      v.target_component = mavlink_get_u8(m, 1);
                  });
}

// RESOURCE_REQUEST: 0 request_id, 1 uri_type, 2 uri[120], 122 transfer_type,
// 123 storage[120].
int mavlink_msg_resource_request_pack(uint8_t sysid, uint8_t compid, uint8_t seq,
                                      const mavlink_resource_request_t* in,
                                      mavlink_message_t* msg) {
    return pack(MAVLINK_MSG_ID_RESOURCE_REQUEST, MAVLINK_MSG_LEN_RESOURCE_REQUEST, sysid, compid,
                seq, in, msg, [](const mavlink_resource_request_t& v, mavlink_message_t* m) {
                    mavlink_put_u8(m, 0, v.request_id);
                    mavlink_put_u8(m, 1, v.uri_type);
                    mavlink_put_bytes(m, 2, v.uri, MAVLINK_RESOURCE_URI_LEN);
                    mavlink_put_u8(m, 122, v.transfer_type);
                    mavlink_put_bytes(m, 123, v.storage, MAVLINK_RESOURCE_URI_LEN);
                });
}

int mavlink_msg_resource_request_decode(const mavlink_message_t* msg,
                                        mavlink_resource_request_t* out) {
    return decode(MAVLINK_MSG_ID_RESOURCE_REQUEST, msg, out,
                  [](const mavlink_message_t* m, mavlink_resource_request_t& v) {
                      v.request_id = mavlink_get_u8(m, 0);
                      v.uri_type = mavlink_get_u8(m, 1);
                      mavlink_get_bytes(m, 2, v.uri, MAVLINK_RESOURCE_URI_LEN);
                      v.transfer_type = mavlink_get_u8(m, 122);
                      mavlink_get_bytes(m, 123, v.storage, MAVLINK_RESOURCE_URI_LEN);
                  });
}

// PELORA_PARAM_VALUE: 0 value f32, 4 count u16, 6 index u16, 8 name[16],
// 24 text[30], 54 type.
int mavlink_msg_pelora_param_value_pack(uint8_t sysid, uint8_t compid, uint8_t seq,
                                        const mavlink_pelora_param_value_t* in,
                                        mavlink_message_t* msg) {
    return pack(MAVLINK_MSG_ID_PELORA_PARAM_VALUE, MAVLINK_MSG_LEN_PELORA_PARAM_VALUE, sysid,
                compid, seq, in, msg,
                [](const mavlink_pelora_param_value_t& v, mavlink_message_t* m) {
                    mavlink_put_f32(m, 0, v.value);
                    mavlink_put_u16(m, 4, v.count);
                    mavlink_put_u16(m, 6, v.index);
                    mavlink_put_text(m, 8, MAVLINK_PARAM_NAME_LEN, v.name, true);
                    mavlink_put_text(m, 24, MAVLINK_PARAM_TEXT_LEN, v.text, true);
                    mavlink_put_u8(m, 54, v.type);
                });
}

int mavlink_msg_pelora_param_value_decode(const mavlink_message_t* msg,
                                          mavlink_pelora_param_value_t* out) {
    return decode(MAVLINK_MSG_ID_PELORA_PARAM_VALUE, msg, out,
                  [](const mavlink_message_t* m, mavlink_pelora_param_value_t& v) {
                      v.value = mavlink_get_f32(m, 0);
                      v.count = mavlink_get_u16(m, 4);
                      v.index = mavlink_get_u16(m, 6);
                      mavlink_get_text(m, 8, MAVLINK_PARAM_NAME_LEN, v.name);
                      mavlink_get_text(m, 24, MAVLINK_PARAM_TEXT_LEN, v.text);
                      v.type = mavlink_get_u8(m, 54);
                  });
}

// PELORA_ACK: seven bytes.
int mavlink_msg_pelora_ack_pack(uint8_t sysid, uint8_t compid, uint8_t seq,
                                const mavlink_pelora_ack_t* in, mavlink_message_t* msg) {
    return pack(MAVLINK_MSG_ID_PELORA_ACK, MAVLINK_MSG_LEN_PELORA_ACK, sysid, compid, seq, in, msg,
                [](const mavlink_pelora_ack_t& v, mavlink_message_t* m) {
                    mavlink_put_bytes(m, 0, v.data, MAVLINK_PELORA_ACK_LEN);
                });
}

int mavlink_msg_pelora_ack_decode(const mavlink_message_t* msg, mavlink_pelora_ack_t* out) {
    return decode(MAVLINK_MSG_ID_PELORA_ACK, msg, out,
                  [](const mavlink_message_t* m, mavlink_pelora_ack_t& v) {
                      mavlink_get_bytes(m, 0, v.data, MAVLINK_PELORA_ACK_LEN);
                  });
}

// PELORA_SD_STATUS: 0 capacity f32, 4 free space f32, 8 and 9 zero, 10 state.
int mavlink_msg_pelora_sd_status_pack(uint8_t sysid, uint8_t compid, uint8_t seq,
                                      const mavlink_pelora_sd_status_t* in,
                                      mavlink_message_t* msg) {
    return pack(MAVLINK_MSG_ID_PELORA_SD_STATUS, MAVLINK_MSG_LEN_PELORA_SD_STATUS, sysid, compid,
                seq, in, msg, [](const mavlink_pelora_sd_status_t& v, mavlink_message_t* m) {
                    mavlink_put_f32(m, 0, v.capacity);
                    mavlink_put_f32(m, 4, v.free_space);
                    mavlink_put_u8(m, 10, v.state);
                });
}

int mavlink_msg_pelora_sd_status_decode(const mavlink_message_t* msg,
                                        mavlink_pelora_sd_status_t* out) {
    return decode(MAVLINK_MSG_ID_PELORA_SD_STATUS, msg, out,
                  [](const mavlink_message_t* m, mavlink_pelora_sd_status_t& v) {
                      v.capacity = mavlink_get_f32(m, 0);
                      v.free_space = mavlink_get_f32(m, 4);
                      v.state = mavlink_get_u8(m, 10);
                  });
}

// PELORA_QUAD_STATUS: 2 link status; the other bytes are zero.
int mavlink_msg_pelora_quad_status_pack(uint8_t sysid, uint8_t compid, uint8_t seq,
                                        const mavlink_pelora_quad_status_t* in,
                                        mavlink_message_t* msg) {
    return pack(MAVLINK_MSG_ID_PELORA_QUAD_STATUS, MAVLINK_MSG_LEN_PELORA_QUAD_STATUS, sysid,
                compid, seq, in, msg,
                [](const mavlink_pelora_quad_status_t& v, mavlink_message_t* m) {
                    mavlink_put_u8(m, 2, v.status);
                });
}

int mavlink_msg_pelora_quad_status_decode(const mavlink_message_t* msg,
                                          mavlink_pelora_quad_status_t* out) {
    return decode(MAVLINK_MSG_ID_PELORA_QUAD_STATUS, msg, out,
                  [](const mavlink_message_t* m, mavlink_pelora_quad_status_t& v) {
                      v.status = mavlink_get_u8(m, 2);
                  });
}

// PELORA_CUSTOM_CONFIG: 0 zero, 1 setting type, 2 text[30], 32..43 zero.
int mavlink_msg_pelora_custom_config_pack(uint8_t sysid, uint8_t compid, uint8_t seq,
                                          const mavlink_pelora_custom_config_t* in,
                                          mavlink_message_t* msg) {
    return pack(MAVLINK_MSG_ID_PELORA_CUSTOM_CONFIG, MAVLINK_MSG_LEN_PELORA_CUSTOM_CONFIG, sysid,
                compid, seq, in, msg,
                [](const mavlink_pelora_custom_config_t& v, mavlink_message_t* m) {
                    mavlink_put_u8(m, 1, v.setting_type);
                    mavlink_put_text(m, 2, MAVLINK_CUSTOM_CONFIG_TEXT_LEN, v.text, true);
                });
}

int mavlink_msg_pelora_custom_config_decode(const mavlink_message_t* msg,
                                            mavlink_pelora_custom_config_t* out) {
    return decode(MAVLINK_MSG_ID_PELORA_CUSTOM_CONFIG, msg, out,
                  [](const mavlink_message_t* m, mavlink_pelora_custom_config_t& v) {
                      v.setting_type = mavlink_get_u8(m, 1);
                      mavlink_get_text(m, 2, MAVLINK_CUSTOM_CONFIG_TEXT_LEN, v.text);
                  });
}

// PELORA_GPS_INFO: 4 altitude f32; the other bytes are zero.
int mavlink_msg_pelora_gps_info_pack(uint8_t sysid, uint8_t compid, uint8_t seq,
                                     const mavlink_pelora_gps_info_t* in, mavlink_message_t* msg) {
    return pack(MAVLINK_MSG_ID_PELORA_GPS_INFO, MAVLINK_MSG_LEN_PELORA_GPS_INFO, sysid, compid, seq,
                in, msg, [](const mavlink_pelora_gps_info_t& v, mavlink_message_t* m) {
                    mavlink_put_f32(m, 4, v.altitude);
                });
}

int mavlink_msg_pelora_gps_info_decode(const mavlink_message_t* msg,
                                       mavlink_pelora_gps_info_t* out) {
    return decode(MAVLINK_MSG_ID_PELORA_GPS_INFO, msg, out,
                  [](const mavlink_message_t* m, mavlink_pelora_gps_info_t& v) {
                      v.altitude = mavlink_get_f32(m, 4);
                  });
}

int mavlink_msg_pelora_sd_request_pack(uint8_t sysid, uint8_t compid, uint8_t seq,
                                       mavlink_message_t* msg) {
    if (msg == nullptr) return -1;
    mavlink_msg_clear(msg);
    mavlink_finalize_message(msg, sysid, compid, seq, MAVLINK_MSG_ID_PELORA_SD_REQUEST,
                             MAVLINK_MSG_LEN_PELORA_SD_REQUEST);
    return static_cast<int>(MAVLINK_NUM_NON_PAYLOAD_BYTES);
}
