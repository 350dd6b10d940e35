// The static map over a map record: its setters, validation and the bit-level
// packing of frame images.
#include "core/slave/dictionary/fsoe_static_map.hpp"

namespace brisel {

namespace {

constexpr unsigned BITS_PER_WORD = 16;
// Objects are at most 32 bits wide: the widest value an item moves.
constexpr unsigned VALUE_BYTES = 4;
constexpr unsigned VALUE_BITS = VALUE_BYTES * 8;

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

// Each item's size, object and the slot of its value, resolved once here so the
// frame images never look an object up.
bool validate_list(const fsoe_static_map& m, fsoe_static_map_list& list, find_object_fn find) {
    for (unsigned i = 0; i < count_of(list); ++i) {
        fsoe_static_map_item& it = list.items[i];
        it.size_bits = fsoe_static_map_item_size_bits(it.mapped_item);
        list.total_bits = static_cast<uint16_t>(list.total_bits + it.size_bits);
        if (it.size_bits < BITS_PER_WORD) it.mask = static_cast<uint16_t>((1u << it.size_bits) - 1);
        it.object = nullptr;
        it.slot = fsoe_dict_make_slot({nullptr, 0}, 0);
        if (fsoe_static_map_item_is_padding(it.mapped_item)) continue;
        it.object = find(fsoe_static_map_item_key(it.mapped_item), it.size_bits);
        if (!it.object) return false;
        it.slot = m.dict->slot_of(*m.dict_record, it.object);
    }
    return true;
}

// The move's bits of the image, least significant first; 0 from beyond the image.
uint32_t extract_move(const fsoe_lanes& image, unsigned count, const fsoe_static_map_move& mv) {
    return mv.word < count ? fsoe_lanes_get(image, mv.field) : 0;
}

// ORs the value into the image; bits beyond its `count` words are not written.
void insert_move(fsoe_lanes& image, unsigned count, const fsoe_static_map_move& mv, uint32_t v) {
    if (mv.word < count) fsoe_lanes_or(image, mv.field, v);
}

// The moves of a list from its items as they stand.
void lay_out_moves(fsoe_static_map_list& list) {
    unsigned bit = 0;
    list.move_count = 0;
    for (unsigned i = 0; i < count_of(list); ++i) {
        const fsoe_static_map_item& it = list.items[i];
        if (it.object) {
            unsigned width = it.size_bits > VALUE_BITS ? VALUE_BITS : it.size_bits;
            // A move from beyond the image never reads or writes its lanes.
            unsigned lanes_bit = bit < FSOE_AREA_WORDS * BITS_PER_WORD ? bit : 0;
            list.moves[list.move_count++] =
                fsoe_static_map_move{static_cast<uint16_t>(bit / BITS_PER_WORD),
                                     fsoe_lanes_field_at(lanes_bit, width), it.object, it.slot};
        }
        bit += it.size_bits;
    }
}

FSOE_EStaticMapRet set_count(const fsoe_static_map& m, fsoe_static_map_list& list, uint16_t count) {
    if (m.locked) return FSOE_STATIC_MAP_UNAVAILABLE;
    if (count > FSOE_STATIC_MAP_MAX_ITEMS) return FSOE_STATIC_MAP_INVALID_VALUE;
    list.count = count;
    lay_out_moves(list);
    return FSOE_STATIC_MAP_SUCCESS;
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

// The item's value straight from its slot, else through the dictionary.
uint32_t read_item(const fsoe_static_map& m, const fsoe_static_map_move& it) {
    if (it.slot.ref.field) return fsoe_dict_slot_read(it.slot);
    uint8_t buf[VALUE_BYTES] = {};
    m.dict->read_object_value(*m.dict_record, it.object, buf, sizeof buf);
    return get_value(buf);
}

void write_item(const fsoe_static_map& m, const fsoe_static_map_move& it, uint32_t v) {
    if (it.slot.ref.field) {
        fsoe_dict_slot_write(it.slot, v);
        return;
    }
    uint8_t buf[VALUE_BYTES];
    put_value(buf, v);
    m.dict->fast_write(*m.dict_record, it.object, buf, sizeof buf);
}

fsoe_static_map& map_of(void* context) {
    return *static_cast<fsoe_static_map*>(context);
}

void write_rx_image_op(void* context, fsoe_lanes image, unsigned count) {
    fsoe_static_map_write_rx_image(map_of(context), image, count);
}

fsoe_lanes read_tx_image_op(void* context, unsigned count) {
    return fsoe_static_map_read_tx_image(map_of(context), count);
}

unsigned frame_size_op(void* context) {
    const fsoe_static_map& m = map_of(context);
    return m.locked ? m.frame_size : 0;
}

const fsoe_process_data_ops PROCESS_DATA_OPS = {
    write_rx_image_op, read_tx_image_op, frame_size_op, nullptr, nullptr,
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
    bool ok = m.dict != nullptr && validate_list(m, m.rx, m.dict->find_rx_object) &&
              validate_list(m, m.tx, m.dict->find_tx_object);
    lay_out_moves(m.rx);
    lay_out_moves(m.tx);
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

void fsoe_static_map_write_rx_image(fsoe_static_map& m, fsoe_lanes frame, unsigned count) {
    if (!m.dict) return;
    if (count > FSOE_AREA_WORDS) count = FSOE_AREA_WORDS; // the lanes' size
    const fsoe_lanes image = fsoe_lanes_kept(frame, count);
    for (unsigned i = 0; i < m.rx.move_count; ++i)
        write_item(m, m.rx.moves[i], extract_move(image, count, m.rx.moves[i]));
}

fsoe_lanes fsoe_static_map_read_tx_image(const fsoe_static_map& m, unsigned count) {
    if (count > FSOE_AREA_WORDS) count = FSOE_AREA_WORDS; // the lanes' size
    fsoe_lanes image{};
    if (m.dict)
        for (unsigned i = 0; i < m.tx.move_count; ++i)
            insert_move(image, count, m.tx.moves[i], read_item(m, m.tx.moves[i]));
    return fsoe_lanes_kept(image, count);
}

const fsoe_process_data_ops& fsoe_static_map_process_data_ops() {
    return PROCESS_DATA_OPS;
}

} // namespace brisel
