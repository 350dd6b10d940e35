// The slave's mock object dictionary: a fixed table of typed objects reached by a
// 16-bit key, each served by a getter and a setter over one dictionary record.
// The table is shared and constant; each slave keeps its values in a record of its own.
//
// Failures are abort codes, never exceptions: the module functions ignore them.
#pragma once

#include "core/slave/engine/fsoe_engine_record.hpp"

#include <array>
#include <cstddef>
#include <cstdint>

namespace brisel {

struct fsoe_engine_record;
struct fsoe_static_map;

enum fsoe_dict_type : uint8_t {
    FSOE_TYPE_BOOLEAN = 0,
    FSOE_TYPE_UNSIGNED8 = 1,
    FSOE_TYPE_UNSIGNED16 = 2,
    FSOE_TYPE_UNSIGNED32 = 3,
    FSOE_TYPE_INTEGER8 = 4,
    FSOE_TYPE_INTEGER16 = 5,
    FSOE_TYPE_INTEGER32 = 6,
    FSOE_TYPE_REAL32 = 7,
    FSOE_TYPE_VISIBLE_STRING = 8,
};
constexpr uint8_t FSOE_TYPE_LAST = FSOE_TYPE_VISIBLE_STRING;

enum fsoe_dict_access : uint8_t {
    FSOE_ACCESS_RO = 1,
    FSOE_ACCESS_WO = 2,
    FSOE_ACCESS_RW = 3,
};

// Which map may carry the object; the values are bit flags.
enum fsoe_dict_map_permission : uint8_t {
    FSOE_MAP_NONE = 0,
    FSOE_MAP_TX = 1,
    FSOE_MAP_RX = 2,
    FSOE_MAP_BOTH = 3,
};

// Abort codes.
constexpr uint32_t FSOE_ABORT_NONE = 0;
constexpr uint32_t FSOE_ABORT_NO_OBJECT = 0x06020000;
constexpr uint32_t FSOE_ABORT_ACCESS = 0x06010000;
constexpr uint32_t FSOE_ABORT_SIZE_TOO_SMALL = 0x06070010;
constexpr uint32_t FSOE_ABORT_UNKNOWN_TYPE = 0x08000000;
constexpr uint32_t FSOE_ABORT_VALUE_NOT_ACCEPTED = 0x060A0000;
constexpr uint32_t FSOE_ABORT_MAP_LOCKED = 0x7503;

// Keys 0 .. 1757 index the table directly; larger keys find nothing.
constexpr unsigned FSOE_DICT_KEY_SLOTS = 1758;
constexpr unsigned FSOE_DICT_OBJECT_COUNT = 63;
// The string object: up to 8 words, two characters per word, first in the low byte.
constexpr unsigned FSOE_DICT_STRING_WORDS = 8;
constexpr unsigned FSOE_DICT_STRING_BYTES = FSOE_DICT_STRING_WORDS * 2;

// A value as getters deliver and setters take it.
struct fsoe_dict_value {
    uint32_t number; // boolean 0/1, integers, the raw bits of a float
    uint16_t text[FSOE_DICT_STRING_WORDS];
};

// One slave's dictionary values, and the engine and map behind the objects that
// mirror them (tied by fsoe_dict_link).
struct fsoe_dict_record {
    bool sto_status;
    std::array<uint32_t, FSOE_DICT_OBJECT_COUNT> plain_values; // by object index
    uint16_t string_value[FSOE_DICT_STRING_WORDS];
    fsoe_engine_record* engine;
    fsoe_static_map* map;
};

struct fsoe_dict_object;
using fsoe_dict_getter = uint32_t (*)(const fsoe_dict_record& d, const fsoe_dict_object& obj,
                                      fsoe_dict_value& out);
using fsoe_dict_setter = uint32_t (*)(fsoe_dict_record& d, const fsoe_dict_object& obj,
                                      const fsoe_dict_value& in);

struct fsoe_dict_object {
    uint16_t key;
    uint8_t access;
    uint8_t map_permission;
    uint8_t type;
    uint32_t initial;         // numeric initial value
    const char* initial_text; // initial value of a string object
    bool persistent;          // read by the store command
    fsoe_dict_getter get;
    fsoe_dict_setter set;
    uint8_t field; // engine field behind an engine-backed object
};

// A value taken in as `type` from its little-endian bytes `raw` (missing bytes 0):
// a boolean keeps bit 0, an 8-bit value its low byte (a signed one sign-extended to
// 16 bits), a 16-bit value its low word; 32-bit values travel unchanged.
inline uint32_t fsoe_dict_number_in(uint8_t type, uint32_t raw) {
    constexpr uint32_t SIGN_EXTENSION_16 = 0xFF00; // an INTEGER8 fills a 16-bit word
    switch (type) {
    case FSOE_TYPE_BOOLEAN:
        return raw & 1;
    case FSOE_TYPE_UNSIGNED8:
        return raw & 0xFF;
    case FSOE_TYPE_INTEGER8:
        return (raw & 0x80) ? SIGN_EXTENSION_16 | (raw & 0xFF) : raw & 0xFF;
    case FSOE_TYPE_UNSIGNED16:
    case FSOE_TYPE_INTEGER16:
        return raw & 0xFFFF;
    }
    return raw;
}

// A stored number as `type` delivers it: a boolean as 0 or 1, 8- and 16-bit values
// cut to their width (a signed 8-bit one not sign-extended).
inline uint32_t fsoe_dict_number_out(uint8_t type, uint32_t number) {
    switch (type) {
    case FSOE_TYPE_BOOLEAN:
        return number != 0 ? 1 : 0;
    case FSOE_TYPE_UNSIGNED8:
    case FSOE_TYPE_INTEGER8:
        return number & 0xFF;
    case FSOE_TYPE_UNSIGNED16:
    case FSOE_TYPE_INTEGER16:
        return number & 0xFFFF;
    }
    return number;
}

// Where a numeric object keeps its value in one record, so the static map moves it
// without the getter, setter and byte buffers. No field: the object is served
// otherwise and goes through the dictionary operations.
// The type's cuts are worked out once, so a move is a mask rather than a type switch.
struct fsoe_dict_slot {
    fsoe_field_ref ref;
    uint8_t type;
    uint32_t in_mask;  // what fsoe_dict_number_in keeps of a value
    uint32_t out_mask; // what fsoe_dict_number_out keeps of a value
};

constexpr uint32_t FSOE_DICT_ALL_BITS = 0xFFFFFFFF;

inline fsoe_dict_slot fsoe_dict_make_slot(fsoe_field_ref ref, uint8_t type) {
    return {ref, type, fsoe_dict_number_in(type, FSOE_DICT_ALL_BITS),
            fsoe_dict_number_out(type, FSOE_DICT_ALL_BITS)};
}

// What the object's getter and the delivery as its type would give: a boolean
// delivers 0 or 1, every other type its cut.
inline uint32_t fsoe_dict_slot_read(const fsoe_dict_slot& s) {
    uint32_t v = fsoe_field_load(s.ref);
    return s.type == FSOE_TYPE_BOOLEAN ? (v != 0 ? 1 : 0) : v & s.out_mask;
}

// What taking `raw` as the object's type and its setter would store: its cut, but
// a signed 8-bit value is sign-extended.
inline void fsoe_dict_slot_write(const fsoe_dict_slot& s, uint32_t raw) {
    fsoe_field_store(s.ref, s.type == FSOE_TYPE_INTEGER8 ? fsoe_dict_number_in(s.type, raw)
                                                         : raw & s.in_mask);
}

// The dictionary operations the static map works through.
struct varn_dict {
    // Reads object `key` into `buffer` (at most `capacity` bytes are written);
    // `size` receives the object's size: in bytes, but in words for a string.
    uint32_t (*read)(const fsoe_dict_record& d, uint16_t key, uint8_t* buffer, std::size_t capacity,
                     uint16_t* size);
    // Writes `size` bytes from `buffer` to object `key`.
    uint32_t (*write)(fsoe_dict_record& d, uint16_t key, const uint8_t* buffer, std::size_t size);
    // The object the tx (rx) map may carry with an item of `size_bits` bits, or none.
    const fsoe_dict_object* (*find_tx_object)(uint16_t key, uint16_t size_bits);
    const fsoe_dict_object* (*find_rx_object)(uint16_t key, uint16_t size_bits);
    // The object's value as the type table lays it out; strings deliver nothing.
    void (*read_object_value)(const fsoe_dict_record& d, const fsoe_dict_object* obj,
                              uint8_t* buffer, std::size_t capacity);
    // Stores a value taken from `buffer` through the object's setter, bypassing the
    // access rights (the rx map writes read-only objects this way).
    void (*fast_write)(fsoe_dict_record& d, const fsoe_dict_object* obj, const uint8_t* buffer,
                       std::size_t size);
    // Where the object keeps its value in `d`, for the map to resolve once.
    fsoe_dict_slot (*slot_of)(fsoe_dict_record& d, const fsoe_dict_object* obj);
};

// Ties the record to the engine and map its objects mirror; the values are left as they are.
void fsoe_dict_link(fsoe_dict_record& d, fsoe_engine_record* engine, fsoe_static_map* map);
// Every object's setter with its initial value, in key order.
void fsoe_dict_init(fsoe_dict_record& d);
const varn_dict& fsoe_dict_interface();

const fsoe_dict_object* fsoe_dict_lookup(uint16_t key);
// The object with the smallest key above `key`, or none.
const fsoe_dict_object* fsoe_dict_next(uint16_t key);
// Bits an item must have to carry an object of this type (0: not mappable).
uint16_t fsoe_dict_type_width(uint8_t type);

// The STO status held by the dictionary (object 0x040).
bool fsoe_dict_sto_status(const fsoe_dict_record& d);

} // namespace brisel
