#include "cam2/mav2_message.h"

#include <bit>
#include <cmath>
#include <cstring>
#include <limits>

#include "mav/mavlink_frame.h"

namespace {

using T = Mav2Type;

// Rows list the fields in wire order; the layout sorts them anyway, so the
// declared order of the public definitions gives the same result.
constexpr Mav2Field kHeartbeat[] = {
    {"custom_mode", T::U32, 0, false}, {"type", T::U8, 0, false},
    {"autopilot", T::U8, 0, false},    {"base_mode", T::U8, 0, false},
    {"system_status", T::U8, 0, false}, {"mavlink_version", T::U8, 0, false},
};
constexpr Mav2Field kGlobalPositionInt[] = {
    {"time_boot_ms", T::U32, 0, false}, {"lat", T::I32, 0, false},
    {"lon", T::I32, 0, false},          {"alt", T::I32, 0, false},
    {"relative_alt", T::I32, 0, false}, {"vx", T::I16, 0, false},
    {"vy", T::I16, 0, false},           {"vz", T::I16, 0, false},
    {"hdg", T::U16, 0, false},
};
constexpr Mav2Field kCommandLong[] = {
    {"param1", T::F32, 0, false},  {"param2", T::F32, 0, false},
    {"param3", T::F32, 0, false},  {"param4", T::F32, 0, false},
    {"param5", T::F32, 0, false},  {"param6", T::F32, 0, false},
    {"param7", T::F32, 0, false},  {"command", T::U16, 0, false},
    {"target_system", T::U8, 0, false}, {"target_component", T::U8, 0, false},
    {"confirmation", T::U8, 0, false},
};
constexpr Mav2Field kCommandAck[] = {
    {"command", T::U16, 0, false},        {"result", T::U8, 0, false},
    {"progress", T::U8, 0, true},         {"result_param2", T::I32, 0, true},
    {"target_system", T::U8, 0, true},    {"target_component", T::U8, 0, true},
};
constexpr Mav2Field kCameraInformation[] = {
    {"time_boot_ms", T::U32, 0, false},
    {"firmware_version", T::U32, 0, false},
    {"focal_length", T::F32, 0, false},
    {"sensor_size_h", T::F32, 0, false},
    {"sensor_size_v", T::F32, 0, false},
    {"flags", T::U32, 0, false},
    {"resolution_h", T::U16, 0, false},
    {"resolution_v", T::U16, 0, false},
    {"cam_definition_version", T::U16, 0, false},
    {"vendor_name", T::U8, 32, false},
    {"model_name", T::U8, 32, false},
    {"lens_id", T::U8, 0, false},
    {"cam_definition_uri", T::CHAR, 140, false},
    {"gimbal_device_id", T::U8, 0, true},
    {"camera_device_id", T::U8, 0, true},
};
constexpr Mav2Field kCameraSettings[] = {
    {"time_boot_ms", T::U32, 0, false}, {"mode_id", T::U8, 0, false},
    {"zoomLevel", T::F32, 0, true},     {"focusLevel", T::F32, 0, true},
    {"camera_device_id", T::U8, 0, true},
};
constexpr Mav2Field kStorageInformation[] = {
    {"time_boot_ms", T::U32, 0, false},      {"total_capacity", T::F32, 0, false},
    {"used_capacity", T::F32, 0, false},     {"available_capacity", T::F32, 0, false},
    {"read_speed", T::F32, 0, false},        {"write_speed", T::F32, 0, false},
    {"storage_id", T::U8, 0, false},         {"storage_count", T::U8, 0, false},
    {"status", T::U8, 0, false},             {"type", T::U8, 0, true},
    {"name", T::CHAR, 32, true},             {"storage_usage", T::U8, 0, true},
};
constexpr Mav2Field kCameraCaptureStatus[] = {
    {"time_boot_ms", T::U32, 0, false},       {"image_interval", T::F32, 0, false},
    {"recording_time_ms", T::U32, 0, false},  {"available_capacity", T::F32, 0, false},
    {"image_status", T::U8, 0, false},        {"video_status", T::U8, 0, false},
    {"image_count", T::I32, 0, true},         {"camera_device_id", T::U8, 0, true},
};
constexpr Mav2Field kCameraImageCaptured[] = {
    {"time_utc", T::U64, 0, false},     {"time_boot_ms", T::U32, 0, false},
    {"lat", T::I32, 0, false},          {"lon", T::I32, 0, false},
    {"alt", T::I32, 0, false},          {"relative_alt", T::I32, 0, false},
    {"q", T::F32, 4, false},            {"image_index", T::I32, 0, false},
    {"camera_id", T::U8, 0, false},     {"capture_result", T::I8, 0, false},
    {"file_url", T::CHAR, 205, false},
};
constexpr Mav2Field kVideoStreamInformation[] = {
    {"framerate", T::F32, 0, false},    {"bitrate", T::U32, 0, false},
    {"flags", T::U16, 0, false},        {"resolution_h", T::U16, 0, false},
    {"resolution_v", T::U16, 0, false}, {"rotation", T::U16, 0, false},
    {"hfov", T::U16, 0, false},         {"stream_id", T::U8, 0, false},
    {"count", T::U8, 0, false},         {"type", T::U8, 0, false},
    {"name", T::CHAR, 32, false},       {"uri", T::CHAR, 160, false},
    {"encoding", T::U8, 0, true},       {"camera_device_id", T::U8, 0, true},
};
constexpr Mav2Field kVideoStreamStatus[] = {
    {"framerate", T::F32, 0, false},    {"bitrate", T::U32, 0, false},
    {"flags", T::U16, 0, false},        {"resolution_h", T::U16, 0, false},
    {"resolution_v", T::U16, 0, false}, {"rotation", T::U16, 0, false},
    {"hfov", T::U16, 0, false},         {"stream_id", T::U8, 0, false},
    {"camera_device_id", T::U8, 0, true},
};

constexpr Mav2MessageDef kMessages[] = {
    {0, "HEARTBEAT", 50, kHeartbeat},
    {33, "GLOBAL_POSITION_INT", 104, kGlobalPositionInt},
    {76, "COMMAND_LONG", 152, kCommandLong},
    {77, "COMMAND_ACK", 143, kCommandAck},
    {259, "CAMERA_INFORMATION", 92, kCameraInformation},
    {260, "CAMERA_SETTINGS", 146, kCameraSettings},
    {261, "STORAGE_INFORMATION", 179, kStorageInformation},
    {262, "CAMERA_CAPTURE_STATUS", 12, kCameraCaptureStatus},
    {263, "CAMERA_IMAGE_CAPTURED", 133, kCameraImageCaptured},
    {269, "VIDEO_STREAM_INFORMATION", 109, kVideoStreamInformation},
    {270, "VIDEO_STREAM_STATUS", 59, kVideoStreamStatus},
};

size_t type_size(Mav2Type t) {
    switch (t) {
        case T::U8:
        case T::I8:
        case T::CHAR:
            return 1;
        case T::U16:
        case T::I16:
            return 2;
        case T::U32:
        case T::I32:
        case T::F32:
            return 4;
        case T::U64:
        case T::I64:
        case T::F64:
            return 8;
    }
    return 1;
}

const char* type_name(Mav2Type t) {
    switch (t) {
        case T::U8:
            return "uint8_t";
        case T::I8:
            return "int8_t";
        case T::U16:
            return "uint16_t";
        case T::I16:
            return "int16_t";
        case T::U32:
            return "uint32_t";
        case T::I32:
            return "int32_t";
        case T::U64:
            return "uint64_t";
        case T::I64:
            return "int64_t";
        case T::F32:
            return "float";
        case T::F64:
            return "double";
        case T::CHAR:
            return "char";
    }
    return "";
}

size_t field_bytes(const Mav2Field& f) {
    return type_size(f.type) * (f.array_len == 0 ? 1 : f.array_len);
}

// Calls visit(field, offset) for every field in wire order: base fields by
// element size, largest first (stable), then the extensions as declared.
template <typename Visit>
void for_each_in_wire_order(const Mav2MessageDef& def, Visit visit) {
    size_t offset = 0;
    for (const size_t size : {8U, 4U, 2U, 1U}) {
        for (const Mav2Field& f : def.fields) {
            if (f.extension || type_size(f.type) != size) continue;
            visit(f, offset);
            offset += field_bytes(f);
        }
    }
    for (const Mav2Field& f : def.fields) {
        if (!f.extension) continue;
        visit(f, offset);
        offset += field_bytes(f);
    }
}

uint16_t crc_text(const char* text, uint16_t crc) {
    for (; *text != '\0'; ++text) crc = mavlink_crc_accumulate(static_cast<uint8_t>(*text), crc);
    return mavlink_crc_accumulate(' ', crc);
}

template <typename V>
void store_le(uint8_t* at, V value) {
    // The payload is little-endian on every host.
    for (size_t i = 0; i < sizeof(V); ++i) at[i] = static_cast<uint8_t>(value >> (8 * i));
}

template <typename V>
V load_le(const uint8_t* at) {
    V value = 0;
    for (size_t i = 0; i < sizeof(V); ++i) value |= static_cast<V>(V{at[i]} << (8 * i));
    return value;
}

bool int_fits(Mav2Type t, int64_t v) {
    switch (t) {
        case T::U8:
        case T::CHAR:
            return v >= 0 && v <= 0xFF;
        case T::I8:
            return v >= -128 && v <= 127;
        case T::U16:
            return v >= 0 && v <= 0xFFFF;
        case T::I16:
            return v >= -32768 && v <= 32767;
        case T::U32:
            return v >= 0 && v <= 0xFFFFFFFFLL;
        case T::I32:
            return v >= std::numeric_limits<int32_t>::min() &&
                   v <= std::numeric_limits<int32_t>::max();
        case T::U64:
            return v >= 0;
        case T::I64:
        case T::F32:
        case T::F64:
            return true;
    }
    return false;
}

}  // namespace

const Mav2MessageDef* mav2_find_message(uint32_t id) {
    for (const Mav2MessageDef& def : kMessages)
        if (def.id == id) return &def;
    return nullptr;
}

const Mav2MessageDef* mav2_find_message(std::string_view name) {
    for (const Mav2MessageDef& def : kMessages)
        if (name == def.name) return &def;
    return nullptr;
}

std::span<const Mav2MessageDef> mav2_messages() {
    return kMessages;
}

uint8_t mav2_compute_crc_extra(const Mav2MessageDef& def) {
    uint16_t crc = crc_text(def.name, MAVLINK_CRC_INIT);
    for_each_in_wire_order(def, [&crc](const Mav2Field& f, size_t) {
        if (f.extension) return;
        crc = crc_text(type_name(f.type), crc);
        crc = crc_text(f.name, crc);
        if (f.array_len != 0) crc = mavlink_crc_accumulate(f.array_len, crc);
    });
    return static_cast<uint8_t>((crc & 0xFF) ^ (crc >> 8));
}

size_t mav2_payload_size(const Mav2MessageDef& def) {
    size_t size = 0;
    for (const Mav2Field& f : def.fields) size += field_bytes(f);
    return size;
}

Mav2Message::Mav2Message(uint32_t id) : id_(id), def_(mav2_find_message(id)) {
    if (def_ != nullptr) size_ = mav2_payload_size(*def_);
}

Mav2Message::Mav2Message(uint32_t id, std::span<const uint8_t> wire) : Mav2Message(id) {
    const size_t n = wire.size() < size_ ? wire.size() : size_;
    if (n > 0) std::memcpy(bytes_.data(), wire.data(), n);
}

bool Mav2Message::find(std::string_view field, size_t index, Slot* slot) const {
    if (def_ == nullptr) return false;
    bool found = false;
    for_each_in_wire_order(*def_, [&](const Mav2Field& f, size_t offset) {
        if (found || field != f.name) return;
        found = true;
        slot->type = f.type;
        slot->count = f.array_len == 0 ? 1 : f.array_len;
        slot->offset = offset;
    });
    if (!found || index >= slot->count) return false;
    slot->offset += index * type_size(slot->type);
    return true;
}

bool Mav2Message::set_int(std::string_view field, int64_t value, size_t index) {
    Slot s{};
    if (!find(field, index, &s) || !int_fits(s.type, value)) return false;
    uint8_t* at = bytes_.data() + s.offset;
    switch (s.type) {
        case T::F32:
            store_le(at, std::bit_cast<uint32_t>(static_cast<float>(value)));
            break;
        case T::F64:
            store_le(at, std::bit_cast<uint64_t>(static_cast<double>(value)));
            break;
        default:
            // Two's complement: the low bytes of the value are the field's.
            for (size_t i = 0; i < type_size(s.type); ++i)
                at[i] = static_cast<uint8_t>(static_cast<uint64_t>(value) >> (8 * i));
    }
    return true;
}

bool Mav2Message::set(std::string_view field, double value, size_t index) {
    Slot s{};
    if (!find(field, index, &s)) return false;
    uint8_t* at = bytes_.data() + s.offset;
    if (s.type == T::F32) {
        store_le(at, std::bit_cast<uint32_t>(static_cast<float>(value)));
        return true;
    }
    if (s.type == T::F64) {
        store_le(at, std::bit_cast<uint64_t>(value));
        return true;
    }
    if (!std::isfinite(value) || std::fabs(value) > 9.2e18) return false;
    return set_int(field, static_cast<int64_t>(std::llround(value)), index);
}

bool Mav2Message::set_text(std::string_view field, std::string_view text) {
    Slot s{};
    if (!find(field, 0, &s) || s.type != T::CHAR) return false;
    uint8_t* at = bytes_.data() + s.offset;
    std::memset(at, 0, s.count);
    std::memcpy(at, text.data(), text.size() < s.count ? text.size() : s.count);
    return true;
}

int64_t Mav2Message::get_int(std::string_view field, size_t index) const {
    Slot s{};
    if (!find(field, index, &s)) return 0;
    const uint8_t* at = bytes_.data() + s.offset;
    switch (s.type) {
        case T::U8:
        case T::CHAR:
            return at[0];
        case T::I8:
            return static_cast<int8_t>(at[0]);
        case T::U16:
            return load_le<uint16_t>(at);
        case T::I16:
            return static_cast<int16_t>(load_le<uint16_t>(at));
        case T::U32:
            return load_le<uint32_t>(at);
        case T::I32:
            return static_cast<int32_t>(load_le<uint32_t>(at));
        case T::U64:
        case T::I64:
            return static_cast<int64_t>(load_le<uint64_t>(at));
        case T::F32:
        case T::F64:
            return static_cast<int64_t>(get(field, index));
    }
    return 0;
}

uint64_t Mav2Message::get_u64(std::string_view field) const {
    Slot s{};
    if (!find(field, 0, &s) || type_size(s.type) != 8) return static_cast<uint64_t>(get_int(field));
    return load_le<uint64_t>(bytes_.data() + s.offset);
}

double Mav2Message::get(std::string_view field, size_t index) const {
    Slot s{};
    if (!find(field, index, &s)) return 0;
    const uint8_t* at = bytes_.data() + s.offset;
    if (s.type == T::F32) return std::bit_cast<float>(load_le<uint32_t>(at));
    if (s.type == T::F64) return std::bit_cast<double>(load_le<uint64_t>(at));
    return static_cast<double>(get_int(field, index));
}

std::string Mav2Message::get_text(std::string_view field) const {
    Slot s{};
    if (!find(field, 0, &s)) return {};
    const char* at = reinterpret_cast<const char*>(bytes_.data() + s.offset);
    return {at, strnlen(at, s.count)};
}

size_t Mav2Message::wire_length() const {
    size_t n = size_;
    while (n > 1 && bytes_[n - 1] == 0) --n;
    return n;
}
