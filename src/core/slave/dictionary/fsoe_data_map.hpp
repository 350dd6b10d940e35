// Application objects and the data map: a device's own values (up to 32 bits each)
// beside the protocol's objects, and a map that places them in the safe data alone.
//
// Where the static map covers a whole frame, command, CRCs and connection id
// included, the data map covers only the safe data, bit by bit from bit 0 of the
// first byte, least significant bit first: the engine lays out the rest of the
// frame. So a frame of any size up to 16 bytes takes any number of items, and the
// request and reply are sized independently, each by its own map.
#pragma once

#include "core/slave/dictionary/fsoe_dict.hpp"
#include "core/slave/engine/fsoe_engine_record.hpp"

#include <cstddef>
#include <cstdint>

namespace brisel {

constexpr unsigned FSOE_APP_OBJECTS_MAX = 256;
constexpr unsigned FSOE_APP_OBJECT_MAX_BITS = 32;
// Sixteen bytes of one-bit items.
constexpr unsigned FSOE_DATA_MAP_MAX_ITEMS = 128;
constexpr unsigned FSOE_DATA_MAP_MAX_BYTES = 16;

enum fsoe_data_result : uint8_t {
    FSOE_DATA_OK = 0,
    FSOE_DATA_RESERVED_KEY,   // the key is one of the protocol's objects
    FSOE_DATA_DUPLICATE_KEY,  // an application object has it already
    FSOE_DATA_INVALID_WIDTH,  // not 1 to 32 bits (an item: 0 bits, or an object's above 32)
    FSOE_DATA_VALUE_TOO_WIDE, // the value does not fit the object's width
    FSOE_DATA_FULL,           // no room for another object or item
    FSOE_DATA_NO_OBJECT,      // no object of that key to map, read or write
    FSOE_DATA_WIDTH_MISMATCH, // the item's width is not its object's
    FSOE_DATA_TOO_LARGE,      // the map's items exceed 16 bytes
};

struct fsoe_app_object {
    uint16_t key;
    uint8_t bits;
    uint32_t initial;
    uint32_t value;
};

struct fsoe_data_map_item {
    uint16_t key;
    uint16_t bits;
    bool padding;
};

// An item that moves a value: where its bits lie and the field that holds it.
struct fsoe_data_move {
    uint16_t bit;
    uint8_t bits;
    fsoe_field_ref ref;
};

struct fsoe_data_map_list {
    uint16_t count;
    uint16_t total_bits;
    fsoe_data_map_item items[FSOE_DATA_MAP_MAX_ITEMS];
    uint16_t move_count;
    fsoe_data_move moves[FSOE_DATA_MAP_MAX_ITEMS];
};

struct fsoe_data_map {
    uint16_t object_count;
    fsoe_app_object objects[FSOE_APP_OBJECTS_MAX]; // in the order added
    fsoe_data_map_list rx;                         // the master's outputs
    fsoe_data_map_list tx;                         // the device's inputs
    fsoe_dict_record* dict; // the protocol objects a map may carry (the STO status)
};

// No objects, both maps empty, protocol objects from `dict`. `m` must not move
// afterwards: the maps point into it.
void fsoe_data_map_init(fsoe_data_map& m, fsoe_dict_record* dict);
// Every application object back to its initial value.
void fsoe_data_map_restore(fsoe_data_map& m);

fsoe_data_result fsoe_data_map_add_object(fsoe_data_map& m, uint16_t key, unsigned bits,
                                          uint32_t initial);
const fsoe_app_object* fsoe_data_map_object(const fsoe_data_map& m, uint16_t key);
fsoe_data_result fsoe_data_map_write(fsoe_data_map& m, uint16_t key, uint32_t value);

// Replaces one direction's map (rx: true). An item names an application object of
// its width, a protocol object the direction may carry with its width (the STO
// status on 1 bit), or padding. On failure the map is left empty and `failed`
// receives the index of the item refused.
fsoe_data_result fsoe_data_map_set(fsoe_data_map& m, bool rx, const fsoe_data_map_item* items,
                                   std::size_t count, std::size_t* failed);
// Safe-data bytes the map covers, 0 when it is empty.
unsigned fsoe_data_map_bytes(const fsoe_data_map_list& list);

// The process-data operations the engine binds, with the data map as their context.
const fsoe_process_data_ops& fsoe_data_map_process_data_ops();

} // namespace brisel
