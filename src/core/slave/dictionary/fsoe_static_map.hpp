// The static safe-data map: which dictionary objects the slave's frame carries,
// bit by bit. The rx map unpacks the master's frame into objects, the tx map packs
// objects into the reply. Both cover the whole frame from the command byte on.
// Every function works on the map record it is given.
#pragma once

#include "core/slave/dictionary/fsoe_dict.hpp"
#include "core/slave/engine/fsoe_engine.hpp"
#include "core/slave/engine/fsoe_lanes.hpp"

#include <cstdint>

namespace brisel {

// Return codes of the map's setters.
enum FSOE_EStaticMapRet : uint8_t {
    FSOE_STATIC_MAP_SUCCESS = 0,
    FSOE_STATIC_MAP_INVALID_VALUE = 1,
    FSOE_STATIC_MAP_UNAVAILABLE = 2, // the map is locked
};

constexpr unsigned FSOE_STATIC_MAP_MAX_ITEMS = 15;

// Size formats of a mapped item: the size field counts bytes or bits.
constexpr unsigned VARN_SIZE_FORMAT_BYTES = 0;
constexpr unsigned VARN_SIZE_FORMAT_BITS = 1;

// Mapped item encoding (32 bits).
constexpr uint32_t FSOE_ITEM_KEY_MASK = 0x0FFF;  // bits 0-11: object key
constexpr unsigned FSOE_ITEM_PADDING_SHIFT = 15; // bit 15: padding, no object
constexpr uint32_t FSOE_ITEM_PADDING = 1u << FSOE_ITEM_PADDING_SHIFT;
constexpr unsigned FSOE_ITEM_SIZE_SHIFT = 16; // bits 16-30: size, low 8 bits used
constexpr uint32_t FSOE_ITEM_SIZE_MASK = 0xFF;
constexpr unsigned FSOE_ITEM_FORMAT_SHIFT = 31; // bit 31: the size format
constexpr uint32_t FSOE_ITEM_SIZE_IN_BITS = uint32_t{VARN_SIZE_FORMAT_BITS}
                                            << FSOE_ITEM_FORMAT_SHIFT;

struct fsoe_static_map_item {
    uint32_t mapped_item;
    uint16_t size_bits;             // set by validation
    uint16_t mask;                  // (1 << size) - 1 for sizes below 16, set by validation
    const fsoe_dict_object* object; // set by validation; none for padding
    fsoe_dict_slot slot;            // set by validation: where the object's value lives
};

// An item that moves a value, as the frame images walk it: the items with an object,
// laid out again whenever the count or a validation changes them.
struct fsoe_static_map_move {
    uint16_t word;          // of its first bit in the frame image
    fsoe_lanes_field field; // its bits, at most a 32-bit value
    const fsoe_dict_object* object;
    fsoe_dict_slot slot;
};

struct fsoe_static_map_list {
    uint16_t count;
    uint16_t total_bits; // set by validation
    fsoe_static_map_item items[FSOE_STATIC_MAP_MAX_ITEMS];
    uint8_t move_count;
    fsoe_static_map_move moves[FSOE_STATIC_MAP_MAX_ITEMS];
};

struct fsoe_static_map {
    bool locked;
    const varn_dict* dict;         // none before init: the map counts as invalid
    fsoe_dict_record* dict_record; // the values the dictionary operations work on
    fsoe_static_map_list rx;
    fsoe_static_map_list tx;
    uint16_t frame_size; // words, set by validation; 0 when invalid or unlocked
};

// Clears the map (unlocked, counts and items 0, frame size 0) and attaches `dict`
// over the values of `record`.
void fsoe_static_map_init(fsoe_static_map& m, const varn_dict* dict, fsoe_dict_record* record);

FSOE_EStaticMapRet fsoe_static_map_set_rx_count(fsoe_static_map& m, uint16_t count);
FSOE_EStaticMapRet fsoe_static_map_set_tx_count(fsoe_static_map& m, uint16_t count);
// `index` counts from 1.
FSOE_EStaticMapRet fsoe_static_map_set_rx_item(fsoe_static_map& m, uint16_t index, uint32_t item);
FSOE_EStaticMapRet fsoe_static_map_set_tx_item(fsoe_static_map& m, uint16_t index, uint32_t item);

uint16_t fsoe_static_map_rx_count(const fsoe_static_map& m);
uint16_t fsoe_static_map_tx_count(const fsoe_static_map& m);
// Raw mapped item at `index` (from 1); 0 outside 1..15.
uint32_t fsoe_static_map_rx_item(const fsoe_static_map& m, uint16_t index);
uint32_t fsoe_static_map_tx_item(const fsoe_static_map& m, uint16_t index);

// Resolves every item's size and object and computes the frame size. Fails (and
// zeroes the totals and frame size) when an item names no suitable object or no
// dictionary is attached. It neither locks the map nor limits the frame size.
bool fsoe_static_map_validate(fsoe_static_map& m);

void fsoe_static_map_lock(fsoe_static_map& m);
void fsoe_static_map_unlock(fsoe_static_map& m); // also sets the frame size to 0
bool fsoe_static_map_locked(const fsoe_static_map& m);
uint16_t fsoe_static_map_frame_size(const fsoe_static_map& m);

// The item fields of a 32-bit mapped item.
uint16_t fsoe_static_map_item_key(uint32_t item);
bool fsoe_static_map_item_is_padding(uint32_t item);
uint16_t fsoe_static_map_item_size_bits(uint32_t item);

// Unpacks a received frame image into the rx objects / packs the tx objects into a
// frame image, over `count` words (at most FSOE_AREA_WORDS). Bits beyond the image
// read as 0 and are not written.
void fsoe_static_map_write_rx_image(fsoe_static_map& m, fsoe_lanes image, unsigned count);
fsoe_lanes fsoe_static_map_read_tx_image(const fsoe_static_map& m, unsigned count);

// The process-data operations the engine binds at start, with the map as their context.
const fsoe_process_data_ops& fsoe_static_map_process_data_ops();

} // namespace brisel
