#include "core/slave/dictionary/fsoe_static_map.hpp"

namespace brisel {

namespace {

fsoe_static_map MAP = {};

constexpr unsigned BITS_PER_WORD = 16;
// Objects are at most 32 bits wide: the widest value an item moves.
constexpr unsigned VALUE_BYTES = 4;

FSOE_EStaticMapRet set_count(fsoe_static_map_list& list, uint16_t count) {
    if (MAP.locked) return FSOE_STATIC_MAP_UNAVAILABLE;
    if (count > FSOE_STATIC_MAP_MAX_ITEMS) return FSOE_STATIC_MAP_INVALID_VALUE;
    list.count = count;
    return FSOE_STATIC_MAP_SUCCESS;
}

FSOE_EStaticMapRet set_item(fsoe_static_map_list& list, uint16_t index, uint32_t item) {
    if (MAP.locked) return FSOE_STATIC_MAP_UNAVAILABLE;
    // Index 0 wraps to 0xFFFF and is refused with the others.
    uint16_t slot = static_cast<uint16_t>(index - 1);
    if (slot >= FSOE_STATIC_MAP_MAX_ITEMS) return FSOE_STATIC_MAP_INVALID_VALUE;
    list.items[slot].mapped_item = item;
    return FSOE_STATIC_MAP_SUCCESS;
}

uint32_t item_at(const fsoe_static_map_list& list, uint16_t index) {
    uint16_t slot = static_cast<uint16_t>(index - 1);
    return slot < FSOE_STATIC_MAP_MAX_ITEMS ? list.items[slot].mapped_item : 0;
}

unsigned count_of(const fsoe_static_map_list& list) {
    return list.count > FSOE_STATIC_MAP_MAX_ITEMS ? FSOE_STATIC_MAP_MAX_ITEMS : list.count;
}

using find_object_fn = const fsoe_dict_object* (*)(uint16_t key, uint16_t size_bits);

bool validate_list(fsoe_static_map_list& list, find_object_fn find) {
    for (unsigned i = 0; i < count_of(list); ++i) {
        fsoe_static_map_item& it = list.items[i];
        it.size_bits = fsoe_static_map_item_size_bits(it.mapped_item);
        list.total_bits = static_cast<uint16_t>(list.total_bits + it.size_bits);
        if (it.size_bits < BITS_PER_WORD) it.mask = static_cast<uint16_t>((1u << it.size_bits) - 1);
        it.object = nullptr;
        if (fsoe_static_map_item_is_padding(it.mapped_item)) continue;
        it.object = find(fsoe_static_map_item_key(it.mapped_item), it.size_bits);
        if (!it.object) return false;
    }
    return true;
}

// `size` bits (at most 32) of the image from bit `bit` on, least significant first.
uint32_t extract_bits(const uint16_t* words, unsigned count, unsigned bit, unsigned size) {
    uint32_t v = 0;
    for (unsigned done = 0; done < size;) {
        unsigned b = bit + done;
        if (b / BITS_PER_WORD >= count) break;
        unsigned shift = b % BITS_PER_WORD;
        unsigned take = BITS_PER_WORD - shift;
        if (take > size - done) take = size - done;
        uint32_t chunk = (words[b / BITS_PER_WORD] >> shift) & ((1u << take) - 1);
        v |= chunk << done;
        done += take;
    }
    return v;
}

void insert_bits(uint16_t* words, unsigned count, unsigned bit, unsigned size, uint32_t v) {
    for (unsigned done = 0; done < size;) {
        unsigned b = bit + done;
        if (b / BITS_PER_WORD >= count) break;
        unsigned shift = b % BITS_PER_WORD;
        unsigned take = BITS_PER_WORD - shift;
        if (take > size - done) take = size - done;
        uint32_t chunk = (v >> done) & ((1u << take) - 1);
        words[b / BITS_PER_WORD] = static_cast<uint16_t>(words[b / BITS_PER_WORD] | chunk << shift);
        done += take;
    }
}

void put_value(uint8_t* buf, uint32_t v) {
    for (unsigned i = 0; i < VALUE_BYTES; ++i)
        buf[i] = static_cast<uint8_t>(v >> (8 * i));
}

uint32_t get_value(const uint8_t* buf) {
    uint32_t v = 0;
    for (unsigned i = 0; i < VALUE_BYTES; ++i)
        v |= static_cast<uint32_t>(buf[i]) << (8 * i);
    return v;
}

unsigned frame_size_op() {
    return MAP.locked ? MAP.frame_size : 0;
}

const fsoe_process_data_ops PROCESS_DATA_OPS = {
    fsoe_static_map_write_rx_image,
    fsoe_static_map_read_tx_image,
    frame_size_op,
};

} // namespace

void fsoe_static_map_init(const varn_dict* dict) {
    MAP = fsoe_static_map{};
    MAP.dict = dict;
}

FSOE_EStaticMapRet fsoe_static_map_set_rx_count(uint16_t count) {
    return set_count(MAP.rx, count);
}

FSOE_EStaticMapRet fsoe_static_map_set_tx_count(uint16_t count) {
    return set_count(MAP.tx, count);
}

FSOE_EStaticMapRet fsoe_static_map_set_rx_item(uint16_t index, uint32_t item) {
    return set_item(MAP.rx, index, item);
}

FSOE_EStaticMapRet fsoe_static_map_set_tx_item(uint16_t index, uint32_t item) {
    return set_item(MAP.tx, index, item);
}

uint16_t fsoe_static_map_rx_count() {
    return MAP.rx.count;
}

uint16_t fsoe_static_map_tx_count() {
    return MAP.tx.count;
}

uint32_t fsoe_static_map_rx_item(uint16_t index) {
    return item_at(MAP.rx, index);
}

uint32_t fsoe_static_map_tx_item(uint16_t index) {
    return item_at(MAP.tx, index);
}

uint16_t fsoe_static_map_item_key(uint32_t item) {
    return static_cast<uint16_t>(item & FSOE_ITEM_KEY_MASK);
}

bool fsoe_static_map_item_is_padding(uint32_t item) {
    return (item & FSOE_ITEM_PADDING) != 0;
}

uint16_t fsoe_static_map_item_size_bits(uint32_t item) {
    uint16_t size = static_cast<uint16_t>((item >> FSOE_ITEM_SIZE_SHIFT) & FSOE_ITEM_SIZE_MASK);
    return (item & FSOE_ITEM_SIZE_IN_BITS) ? size : static_cast<uint16_t>(size * 8);
}

bool fsoe_static_map_validate() {
    MAP.rx.total_bits = 0;
    MAP.tx.total_bits = 0;
    bool ok = MAP.dict != nullptr && validate_list(MAP.rx, MAP.dict->find_rx_object) &&
              validate_list(MAP.tx, MAP.dict->find_tx_object);
    if (!ok) {
        MAP.frame_size = 0;
        MAP.rx.total_bits = 0;
        MAP.tx.total_bits = 0;
        return false;
    }
    unsigned bits = MAP.rx.total_bits > MAP.tx.total_bits ? MAP.rx.total_bits : MAP.tx.total_bits;
    MAP.frame_size = static_cast<uint16_t>((bits + BITS_PER_WORD - 1) / BITS_PER_WORD);
    return true;
}

void fsoe_static_map_lock() {
    MAP.locked = true;
}

void fsoe_static_map_unlock() {
    MAP.locked = false;
    MAP.frame_size = 0;
}

bool fsoe_static_map_locked() {
    return MAP.locked;
}

uint16_t fsoe_static_map_frame_size() {
    return MAP.frame_size;
}

void fsoe_static_map_write_rx_image(const uint16_t* words, unsigned count) {
    if (!MAP.dict) return;
    unsigned bit = 0;
    for (unsigned i = 0; i < count_of(MAP.rx); ++i) {
        const fsoe_static_map_item& it = MAP.rx.items[i];
        // An item left unresolved (padding, or not validated yet) moves nothing.
        if (it.object) {
            unsigned size = it.size_bits > 32 ? 32 : it.size_bits;
            uint8_t buf[VALUE_BYTES];
            put_value(buf, extract_bits(words, count, bit, size));
            MAP.dict->fast_write(it.object, buf, sizeof buf);
        }
        bit += it.size_bits;
    }
}

void fsoe_static_map_read_tx_image(uint16_t* words, unsigned count) {
    for (unsigned w = 0; w < count; ++w)
        words[w] = 0;
    if (!MAP.dict) return;
    unsigned bit = 0;
    for (unsigned i = 0; i < count_of(MAP.tx); ++i) {
        const fsoe_static_map_item& it = MAP.tx.items[i];
        if (it.object) {
            unsigned size = it.size_bits > 32 ? 32 : it.size_bits;
            uint8_t buf[VALUE_BYTES] = {};
            MAP.dict->read_object_value(it.object, buf, sizeof buf);
            insert_bits(words, count, bit, size, get_value(buf));
        }
        bit += it.size_bits;
    }
}

const fsoe_process_data_ops& fsoe_static_map_process_data_ops() {
    return PROCESS_DATA_OPS;
}

} // namespace brisel
