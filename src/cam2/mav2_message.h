// The MAVLink 2 messages of the camera endpoint, described by one table: each
// message is a list of fields (name, type, array length, extension or not)
// and its CRC extra, as the public message definitions give them. Packing and
// unpacking read the table, so a new message is a new table row, not code.
//
// A Mav2Message holds one message's full payload in wire layout (little-endian
// fields, base fields sorted by element size, largest first, then the
// extensions in declared order) and reads and writes its fields by name.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

enum class Mav2Type : uint8_t { U8, I8, U16, I16, U32, I32, U64, I64, F32, F64, CHAR };

struct Mav2Field {
    const char* name;
    Mav2Type type;
    uint8_t array_len;  // 0 for a single value
    bool extension;
};

struct Mav2MessageDef {
    uint32_t id;
    const char* name;
    uint8_t crc_extra;
    std::span<const Mav2Field> fields;
};

inline constexpr size_t MAV2_MAX_PAYLOAD = 255;

// The table's entry of a message id or name; null when the table has none.
const Mav2MessageDef* mav2_find_message(uint32_t id);
const Mav2MessageDef* mav2_find_message(std::string_view name);
// Every message of the table.
std::span<const Mav2MessageDef> mav2_messages();

// The CRC extra that the definition's name and base fields call for (the
// published seed: name, then each base field's type, name and array length).
uint8_t mav2_compute_crc_extra(const Mav2MessageDef& def);
// The full payload length, extensions included.
size_t mav2_payload_size(const Mav2MessageDef& def);

class Mav2Message {
public:
    // A zeroed message of the table's id `id`; valid() is false for an id the
    // table does not have.
    explicit Mav2Message(uint32_t id);
    // A received payload: the bytes on the wire, zero-filled to the full
    // length (senders cut trailing zero bytes). Longer input is cut.
    Mav2Message(uint32_t id, std::span<const uint8_t> wire);

    bool valid() const { return def_ != nullptr; }
    uint32_t id() const { return id_; }
    const Mav2MessageDef* def() const { return def_; }

    // Field access by name; element `index` of an array field. Integers are
    // range-checked against the field's type, floats converted. A name the
    // message does not have, an index past the array or a value out of range
    // returns false and changes nothing.
    bool set(std::string_view field, double value, size_t index = 0);
    bool set_int(std::string_view field, int64_t value, size_t index = 0);
    // A char array: the text, cut to the array and zero-padded.
    bool set_text(std::string_view field, std::string_view text);
    // 0 for a name the message does not have.
    double get(std::string_view field, size_t index = 0) const;
    int64_t get_int(std::string_view field, size_t index = 0) const;
    uint64_t get_u64(std::string_view field) const;
    // A char array up to its first zero byte.
    std::string get_text(std::string_view field) const;

    // The full payload and the length on the wire (trailing zeros cut, at
    // least one byte).
    std::span<const uint8_t> payload() const { return {bytes_.data(), size_}; }
    size_t wire_length() const;

private:
    struct Slot {
        Mav2Type type;
        size_t offset;
        size_t count;
    };
    bool find(std::string_view field, size_t index, Slot* slot) const;

    uint32_t id_;
    const Mav2MessageDef* def_;
    size_t size_ = 0;
    std::array<uint8_t, MAV2_MAX_PAYLOAD> bytes_{};
};
