// The static map over a map record: its setters, validation and the bit-level
// packing of frame images.
#include "core/slave/dictionary/fsoe_static_map.hpp"

namespace brisel {

namespace {

constexpr unsigned BITS_PER_WORD = 16;
// Objects are at most 32 bits wide: the widest value an item moves.
constexpr unsigned VALUE_BYTES = 4;

FSOE_EStaticMapRet set_count(const fsoe_static_map& m, fsoe_static_map_list& list, uint16_t count) {
    if (m.locked) return FSOE_STATIC_MAP_UNAVAILABLE;
    if (count > FSOE_STATIC_MAP_MAX_ITEMS) return FSOE_STATIC_MAP_INVALID_VALUE;
    list.count = count;
    return FSOE_STATIC_MAP_SUCCESS;
}

FSOE_EStaticMapRet set_item(const fsoe_static_map& m, fsoe_static_map_list& list, uint16_t index,
                            uint32_t item) {
    if (m.locked) return FSOE_STATIC_MAP_UNAVAILABLE;
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

fsoe_static_map& map_of(void* context) {
    return *static_cast<fsoe_static_map*>(context);
}

void write_rx_image_op(void* context, const uint16_t* words, unsigned count) {
    fsoe_static_map_write_rx_image(map_of(context), words, count);
}

void read_tx_image_op(void* context, uint16_t* words, unsigned count) {
    fsoe_static_map_read_tx_image(map_of(context), words, count);
}

unsigned frame_size_op(void* context) {
    const fsoe_static_map& m = map_of(context);
    return m.locked ? m.frame_size : 0;
}

const fsoe_process_data_ops PROCESS_DATA_OPS = {
    write_rx_image_op,
    read_tx_image_op,
    frame_size_op,
};

} // namespace

void fsoe_static_map_init(fsoe_static_map& m, const varn_dict* dict, fsoe_dict_record* record) {
    m = fsoe_static_map{};
    m.dict = dict;
    m.dict_record = record;
}

FSOE_EStaticMapRet fsoe_static_map_set_rx_count(fsoe_static_map& m, uint16_t count) {
    return set_count(m, m.rx, count);
}

FSOE_EStaticMapRet fsoe_static_map_set_tx_count(fsoe_static_map& m, uint16_t count) {
    return set_count(m, m.tx, count);
}

FSOE_EStaticMapRet fsoe_static_map_set_rx_item(fsoe_static_map& m, uint16_t index, uint32_t item) {
    return set_item(m, m.rx, index, item);
}

FSOE_EStaticMapRet fsoe_static_map_set_tx_item(fsoe_static_map& m, uint16_t index, uint32_t item) {
    return set_item(m, m.tx, index, item);
}

uint16_t fsoe_static_map_rx_count(const fsoe_static_map& m) {
    return m.rx.count;
}

uint16_t fsoe_static_map_tx_count(const fsoe_static_map& m) {
    return m.tx.count;
}

uint32_t fsoe_static_map_rx_item(const fsoe_static_map& m, uint16_t index) {
    return item_at(m.rx, index);
}

uint32_t fsoe_static_map_tx_item(const fsoe_static_map& m, uint16_t index) {
    return item_at(m.tx, index);
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

bool fsoe_static_map_validate(fsoe_static_map& m) {
    m.rx.total_bits = 0;
    m.tx.total_bits = 0;
    bool ok = m.dict != nullptr && validate_list(m.rx, m.dict->find_rx_object) &&
              validate_list(m.tx, m.dict->find_tx_object);
    if (!ok) {
        m.frame_size = 0;
        m.rx.total_bits = 0;
        m.tx.total_bits = 0;
        return false;
    }
    unsigned bits = m.rx.total_bits > m.tx.total_bits ? m.rx.total_bits : m.tx.total_bits;
    m.frame_size = static_cast<uint16_t>((bits + BITS_PER_WORD - 1) / BITS_PER_WORD);
    return true;
}

void fsoe_static_map_lock(fsoe_static_map& m) {
    m.locked = true;
}

void fsoe_static_map_unlock(fsoe_static_map& m) {
    m.locked = false;
    m.frame_size = 0;
}

bool fsoe_static_map_locked(const fsoe_static_map& m) {
    return m.locked;
}

uint16_t fsoe_static_map_frame_size(const fsoe_static_map& m) {
    return m.frame_size;
}

void fsoe_static_map_write_rx_image(fsoe_static_map& m, const uint16_t* words, unsigned count) {
    if (!m.dict) return;
    unsigned bit = 0;
    for (unsigned i = 0; i < count_of(m.rx); ++i) {
        const fsoe_static_map_item& it = m.rx.items[i];
        // An item left unresolved (padding, or not validated yet) moves nothing.
        if (it.object) {
            unsigned size = it.size_bits > 32 ? 32 : it.size_bits;
            uint8_t buf[VALUE_BYTES];
            put_value(buf, extract_bits(words, count, bit, size));
            m.dict->fast_write(*m.dict_record, it.object, buf, sizeof buf);
        }
        bit += it.size_bits;
    }
}

void fsoe_static_map_read_tx_image(const fsoe_static_map& m, uint16_t* words, unsigned count) {
    for (unsigned w = 0; w < count; ++w)
        words[w] = 0;
    if (!m.dict) return;
    unsigned bit = 0;
    for (unsigned i = 0; i < count_of(m.tx); ++i) {
        const fsoe_static_map_item& it = m.tx.items[i];
        if (it.object) {
            unsigned size = it.size_bits > 32 ? 32 : it.size_bits;
            uint8_t buf[VALUE_BYTES] = {};
            m.dict->read_object_value(*m.dict_record, it.object, buf, sizeof buf);
            insert_bits(words, count, bit, size, get_value(buf));
        }
        bit += it.size_bits;
    }
}

const fsoe_process_data_ops& fsoe_static_map_process_data_ops() {
    return PROCESS_DATA_OPS;
}

} // namespace brisel
