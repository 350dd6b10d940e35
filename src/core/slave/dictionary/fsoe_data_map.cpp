// Application objects and the data map's moves between safe data and values.
#include "core/slave/dictionary/fsoe_data_map.hpp"

#include "core/slave/engine/fsoe_frame.hpp"

namespace brisel {

namespace {

constexpr unsigned BITS_PER_BYTE = 8;
constexpr unsigned WORD_BITS = 16;
// A value of at most 32 bits from any bit offset lies within three data words.
constexpr unsigned SPAN_WORDS = 3;

uint32_t width_mask(unsigned bits) {
    return bits >= FSOE_APP_OBJECT_MAX_BITS ? ~uint32_t{0} : (uint32_t{1} << bits) - 1;
}

fsoe_app_object* find(fsoe_data_map& m, uint16_t key) {
    for (unsigned i = 0; i < m.object_count; ++i)
        if (m.objects[i].key == key) return &m.objects[i];
    return nullptr;
}

// The field an item names: an application object's value, or a protocol object
// the direction may carry on that many bits and keeps in a field of its own.
fsoe_data_result resolve(fsoe_data_map& m, bool rx, const fsoe_data_map_item& item,
                         fsoe_field_ref& ref) {
    if (fsoe_app_object* obj = find(m, item.key)) {
        if (obj->bits != item.bits) return FSOE_DATA_WIDTH_MISMATCH;
        ref = fsoe_field_ref{&obj->value, sizeof obj->value};
        return FSOE_DATA_OK;
    }
    const varn_dict& dict = fsoe_dict_interface();
    const fsoe_dict_object* own = fsoe_dict_lookup(item.key);
    if (!own) return FSOE_DATA_NO_OBJECT;
    const fsoe_dict_object* mappable =
        rx ? dict.find_rx_object(item.key, item.bits) : dict.find_tx_object(item.key, item.bits);
    if (!mappable || !m.dict) return FSOE_DATA_WIDTH_MISMATCH;
    fsoe_dict_slot slot = dict.slot_of(*m.dict, mappable);
    if (!slot.ref.field) return FSOE_DATA_WIDTH_MISMATCH;
    ref = slot.ref;
    return FSOE_DATA_OK;
}

uint64_t span_at(const uint16_t* data, unsigned bit) {
    unsigned w = bit / WORD_BITS;
    uint64_t span = 0;
    for (unsigned k = 0; k < SPAN_WORDS && w + k < FSOE_FRAME_DATA_WORDS; ++k)
        span |= uint64_t{data[w + k]} << (WORD_BITS * k);
    return span >> (bit % WORD_BITS);
}

void or_at(uint16_t* data, unsigned bit, uint64_t v) {
    unsigned w = bit / WORD_BITS;
    v <<= bit % WORD_BITS;
    for (unsigned k = 0; k < SPAN_WORDS && w + k < FSOE_FRAME_DATA_WORDS; ++k)
        data[w + k] = static_cast<uint16_t>(data[w + k] | (v >> (WORD_BITS * k)));
}

fsoe_data_map& map_of(void* context) {
    return *static_cast<fsoe_data_map*>(context);
}

void write_rx_image_op(void*, fsoe_lanes, unsigned) {}

fsoe_lanes read_tx_image_op(void*, unsigned) {
    return fsoe_lanes{};
}

// The map never changes while the engine runs: it reports the frame it started with.
unsigned frame_size_op(void* context) {
    const fsoe_data_map& m = map_of(context);
    unsigned rx = fsoe_frame_words_for(fsoe_data_map_bytes(m.rx));
    unsigned tx = fsoe_frame_words_for(fsoe_data_map_bytes(m.tx));
    return rx > tx ? rx : tx;
}

void write_rx_data_op(void* context, const uint16_t* data, unsigned) {
    const fsoe_data_map_list& list = map_of(context).rx;
    for (unsigned i = 0; i < list.move_count; ++i) {
        const fsoe_data_move& mv = list.moves[i];
        fsoe_field_store(mv.ref,
                         static_cast<uint32_t>(span_at(data, mv.bit)) & width_mask(mv.bits));
    }
}

void read_tx_data_op(void* context, uint16_t* data, unsigned) {
    const fsoe_data_map_list& list = map_of(context).tx;
    for (unsigned i = 0; i < list.move_count; ++i) {
        const fsoe_data_move& mv = list.moves[i];
        or_at(data, mv.bit, fsoe_field_load(mv.ref) & width_mask(mv.bits));
    }
}

const fsoe_process_data_ops DATA_MAP_OPS = {
    write_rx_image_op, read_tx_image_op, frame_size_op, write_rx_data_op, read_tx_data_op,
};

} // namespace

void fsoe_data_map_init(fsoe_data_map& m, fsoe_dict_record* dict) {
    m.object_count = 0;
    m.rx.count = m.rx.total_bits = m.rx.move_count = 0;
    m.tx.count = m.tx.total_bits = m.tx.move_count = 0;
    m.dict = dict;
}

void fsoe_data_map_restore(fsoe_data_map& m) {
    for (unsigned i = 0; i < m.object_count; ++i)
        m.objects[i].value = m.objects[i].initial;
}

fsoe_data_result fsoe_data_map_add_object(fsoe_data_map& m, uint16_t key, unsigned bits,
                                          uint32_t initial) {
    if (fsoe_dict_lookup(key)) return FSOE_DATA_RESERVED_KEY;
    if (find(m, key)) return FSOE_DATA_DUPLICATE_KEY;
    if (bits == 0 || bits > FSOE_APP_OBJECT_MAX_BITS) return FSOE_DATA_INVALID_WIDTH;
    if ((initial & ~width_mask(bits)) != 0) return FSOE_DATA_VALUE_TOO_WIDE;
    if (m.object_count >= FSOE_APP_OBJECTS_MAX) return FSOE_DATA_FULL;
    m.objects[m.object_count++] =
        fsoe_app_object{key, static_cast<uint8_t>(bits), initial, initial};
    return FSOE_DATA_OK;
}

const fsoe_app_object* fsoe_data_map_object(const fsoe_data_map& m, uint16_t key) {
    return find(const_cast<fsoe_data_map&>(m), key); // only read through
}

fsoe_data_result fsoe_data_map_write(fsoe_data_map& m, uint16_t key, uint32_t value) {
    fsoe_app_object* obj = find(m, key);
    if (!obj) return FSOE_DATA_NO_OBJECT;
    if ((value & ~width_mask(obj->bits)) != 0) return FSOE_DATA_VALUE_TOO_WIDE;
    obj->value = value;
    return FSOE_DATA_OK;
}

fsoe_data_result fsoe_data_map_set(fsoe_data_map& m, bool rx, const fsoe_data_map_item* items,
                                   std::size_t count, std::size_t* failed) {
    fsoe_data_map_list& list = rx ? m.rx : m.tx;
    list.count = list.total_bits = list.move_count = 0;
    auto refuse = [&](std::size_t index, fsoe_data_result why) {
        list.count = list.total_bits = list.move_count = 0;
        if (failed) *failed = index;
        return why;
    };
    if (count > FSOE_DATA_MAP_MAX_ITEMS) return refuse(FSOE_DATA_MAP_MAX_ITEMS, FSOE_DATA_FULL);
    unsigned bit = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const fsoe_data_map_item& item = items[i];
        if (item.bits == 0 || (!item.padding && item.bits > FSOE_APP_OBJECT_MAX_BITS))
            return refuse(i, FSOE_DATA_INVALID_WIDTH);
        if (bit + item.bits > BITS_PER_BYTE * FSOE_DATA_MAP_MAX_BYTES)
            return refuse(i, FSOE_DATA_TOO_LARGE);
        if (!item.padding) {
            fsoe_field_ref ref{nullptr, 0};
            fsoe_data_result r = resolve(m, rx, item, ref);
            if (r != FSOE_DATA_OK) return refuse(i, r);
            list.moves[list.move_count++] =
                fsoe_data_move{static_cast<uint16_t>(bit), static_cast<uint8_t>(item.bits), ref};
        }
        list.items[list.count++] = item;
        bit += item.bits;
    }
    list.total_bits = static_cast<uint16_t>(bit);
    return FSOE_DATA_OK;
}

unsigned fsoe_data_map_bytes(const fsoe_data_map_list& list) {
    return (list.total_bits + BITS_PER_BYTE - 1) / BITS_PER_BYTE;
}

const fsoe_process_data_ops& fsoe_data_map_process_data_ops() {
    return DATA_MAP_OPS;
}

} // namespace brisel
