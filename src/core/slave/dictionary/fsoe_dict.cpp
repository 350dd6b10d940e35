// The mock dictionary's object table, its getters and setters over a dictionary
// record, and the read, write and map operations.
#include "core/slave/dictionary/fsoe_dict.hpp"

#include "core/slave/dictionary/fsoe_static_map.hpp"
#include "core/slave/engine/fsoe_engine.hpp"

#include <array>

namespace brisel {

namespace {

// Signatures of the store and restore commands: "save" and "load" read as
// little-endian 32-bit values.
constexpr uint32_t STORE_SIGNATURE = 0x65766173;
constexpr uint32_t RESTORE_SIGNATURE = 0x64616F6C;
constexpr uint32_t COMMAND_READ_VALUE = 1;

constexpr uint16_t KEY_STO = 0x040;
constexpr uint16_t KEY_RX_COUNT = 0x650;
constexpr uint16_t KEY_TX_COUNT = 0x660;
constexpr uint16_t KEY_STORE = 0x6DB;
constexpr uint16_t KEY_RESTORE = 0x6DD;

// --- backing values ------------------------------------------------------------

std::size_t index_of(const fsoe_dict_object& obj);

// A string ends with the first word holding a zero byte; it fills 8 words at most,
// and a full string has its last byte forced to 0.
void copy_string(uint16_t* dst, const uint16_t* src) {
    unsigned w = 0;
    for (; w < FSOE_DICT_STRING_WORDS; ++w) {
        dst[w] = src[w];
        if ((src[w] & 0xFF) == 0 || (src[w] >> 8) == 0) break;
    }
    if (w == FSOE_DICT_STRING_WORDS) dst[FSOE_DICT_STRING_WORDS - 1] &= 0x00FF;
    for (++w; w < FSOE_DICT_STRING_WORDS; ++w)
        dst[w] = 0;
}

unsigned string_words(const uint16_t* text) {
    for (unsigned w = 0; w < FSOE_DICT_STRING_WORDS; ++w)
        if ((text[w] & 0xFF) == 0 || (text[w] >> 8) == 0) return w + 1;
    return FSOE_DICT_STRING_WORDS;
}

// --- getters and setters ---------------------------------------------------------

uint32_t get_plain(const fsoe_dict_record& d, const fsoe_dict_object& obj, fsoe_dict_value& out) {
    out.number = d.plain_values[index_of(obj)];
    return FSOE_ABORT_NONE;
}

uint32_t set_plain(fsoe_dict_record& d, const fsoe_dict_object& obj, const fsoe_dict_value& in) {
    d.plain_values[index_of(obj)] = in.number;
    return FSOE_ABORT_NONE;
}

uint32_t get_string(const fsoe_dict_record& d, const fsoe_dict_object&, fsoe_dict_value& out) {
    copy_string(out.text, d.string_value);
    return FSOE_ABORT_NONE;
}

uint32_t set_string(fsoe_dict_record& d, const fsoe_dict_object&, const fsoe_dict_value& in) {
    copy_string(d.string_value, in.text);
    return FSOE_ABORT_NONE;
}

uint32_t get_sto(const fsoe_dict_record& d, const fsoe_dict_object&, fsoe_dict_value& out) {
    out.number = d.sto_status ? 1 : 0;
    return FSOE_ABORT_NONE;
}

uint32_t set_sto(fsoe_dict_record& d, const fsoe_dict_object&, const fsoe_dict_value& in) {
    d.sto_status = in.number != 0;
    return FSOE_ABORT_NONE;
}

uint32_t get_engine(const fsoe_dict_record& d, const fsoe_dict_object& obj, fsoe_dict_value& out) {
    out.number = fsoe_engine_read_field(*d.engine, static_cast<fsoe_engine_field>(obj.field));
    return FSOE_ABORT_NONE;
}

uint32_t set_engine(fsoe_dict_record& d, const fsoe_dict_object& obj, const fsoe_dict_value& in) {
    fsoe_engine_write_field(*d.engine, static_cast<fsoe_engine_field>(obj.field), in.number);
    return FSOE_ABORT_NONE;
}

uint32_t map_abort(FSOE_EStaticMapRet code) {
    switch (code) {
    case FSOE_STATIC_MAP_SUCCESS:
        return FSOE_ABORT_NONE;
    case FSOE_STATIC_MAP_UNAVAILABLE:
        return FSOE_ABORT_MAP_LOCKED;
    case FSOE_STATIC_MAP_INVALID_VALUE:
        break;
    }
    return FSOE_ABORT_VALUE_NOT_ACCEPTED;
}

uint32_t get_rx_count(const fsoe_dict_record& d, const fsoe_dict_object&, fsoe_dict_value& out) {
    out.number = fsoe_static_map_rx_count(*d.map);
    return FSOE_ABORT_NONE;
}

uint32_t set_rx_count(fsoe_dict_record& d, const fsoe_dict_object&, const fsoe_dict_value& in) {
    return map_abort(fsoe_static_map_set_rx_count(*d.map, static_cast<uint16_t>(in.number)));
}

uint32_t get_tx_count(const fsoe_dict_record& d, const fsoe_dict_object&, fsoe_dict_value& out) {
    out.number = fsoe_static_map_tx_count(*d.map);
    return FSOE_ABORT_NONE;
}

uint32_t set_tx_count(fsoe_dict_record& d, const fsoe_dict_object&, const fsoe_dict_value& in) {
    return map_abort(fsoe_static_map_set_tx_count(*d.map, static_cast<uint16_t>(in.number)));
}

// Item mirrors: keys count + 1 .. count + 15 are items 1 .. 15.
uint32_t get_rx_item(const fsoe_dict_record& d, const fsoe_dict_object& obj, fsoe_dict_value& out) {
    out.number = fsoe_static_map_rx_item(*d.map, static_cast<uint16_t>(obj.key - KEY_RX_COUNT));
    return FSOE_ABORT_NONE;
}

uint32_t set_rx_item(fsoe_dict_record& d, const fsoe_dict_object& obj, const fsoe_dict_value& in) {
    return map_abort(fsoe_static_map_set_rx_item(
        *d.map, static_cast<uint16_t>(obj.key - KEY_RX_COUNT), in.number));
}

uint32_t get_tx_item(const fsoe_dict_record& d, const fsoe_dict_object& obj, fsoe_dict_value& out) {
    out.number = fsoe_static_map_tx_item(*d.map, static_cast<uint16_t>(obj.key - KEY_TX_COUNT));
    return FSOE_ABORT_NONE;
}

uint32_t set_tx_item(fsoe_dict_record& d, const fsoe_dict_object& obj, const fsoe_dict_value& in) {
    return map_abort(fsoe_static_map_set_tx_item(
        *d.map, static_cast<uint16_t>(obj.key - KEY_TX_COUNT), in.number));
}

uint32_t get_command(const fsoe_dict_record&, const fsoe_dict_object&, fsoe_dict_value& out) {
    out.number = COMMAND_READ_VALUE;
    return FSOE_ABORT_NONE;
}

uint32_t set_store(fsoe_dict_record&, const fsoe_dict_object&, const fsoe_dict_value& in);

uint32_t set_restore(fsoe_dict_record&, const fsoe_dict_object&, const fsoe_dict_value& in) {
    // Nothing is persisted, so there is nothing to restore.
    return in.number == RESTORE_SIGNATURE ? FSOE_ABORT_NONE : FSOE_ABORT_VALUE_NOT_ACCEPTED;
}

// --- the object table ------------------------------------------------------------

constexpr fsoe_dict_object plain(uint16_t key, uint8_t type, uint32_t initial) {
    return {key,     FSOE_ACCESS_RO, FSOE_MAP_NONE, type,      initial,
            nullptr, false,          get_plain,     set_plain, 0};
}

constexpr fsoe_dict_object engine(uint16_t key, uint8_t type, uint8_t access, uint8_t map,
                                  uint32_t initial, fsoe_engine_field field) {
    return {key,     access, map,        type,       initial,
            nullptr, false,  get_engine, set_engine, static_cast<uint8_t>(field)};
}

constexpr fsoe_dict_object read_write(uint16_t key, uint8_t type, fsoe_dict_getter get,
                                      fsoe_dict_setter set) {
    return {key, FSOE_ACCESS_RW, FSOE_MAP_NONE, type, 0, nullptr, false, get, set, 0};
}

constexpr std::array<fsoe_dict_object, FSOE_DICT_OBJECT_COUNT> make_objects() {
    constexpr uint8_t RO = FSOE_ACCESS_RO;
    std::array<fsoe_dict_object, FSOE_DICT_OBJECT_COUNT> t{};
    unsigned n = 0;
    t[n++] = {KEY_STO, RO,    FSOE_MAP_BOTH, FSOE_TYPE_BOOLEAN, 0,
              nullptr, false, get_sto,       set_sto,           0};
    t[n++] = plain(0x160, FSOE_TYPE_UNSIGNED16, 2);
    t[n++] = engine(0x161, FSOE_TYPE_UNSIGNED8, RO, FSOE_MAP_TX, 0x2A, FSOE_FIELD_REPLY_COMMAND);
    t[n++] =
        engine(0x162, FSOE_TYPE_UNSIGNED16, RO, FSOE_MAP_TX, 0, FSOE_FIELD_REPLY_CONNECTION_ID);
    t[n++] =
        engine(0x163, FSOE_TYPE_UNSIGNED16, RO, FSOE_MAP_TX, 0, FSOE_FIELD_REPLY_REFERENCE_CRC);
    t[n++] = plain(0x170, FSOE_TYPE_UNSIGNED16, 2);
    t[n++] = engine(0x171, FSOE_TYPE_UNSIGNED8, RO, FSOE_MAP_RX, 0x2A, FSOE_FIELD_RX_COMMAND);
    t[n++] = engine(0x172, FSOE_TYPE_UNSIGNED16, RO, FSOE_MAP_RX, 0, FSOE_FIELD_RX_CONNECTION_ID);
    t[n++] = engine(0x173, FSOE_TYPE_UNSIGNED16, RO, FSOE_MAP_RX, 0, FSOE_FIELD_RX_REFERENCE_CRC);
    t[n++] = plain(0x191, FSOE_TYPE_UNSIGNED8, 9);
    t[n++] = {0x192,      RO, FSOE_MAP_NONE, FSOE_TYPE_VISIBLE_STRING, 0, "01", false, get_string,
              set_string, 0};
    t[n++] = engine(0x193, FSOE_TYPE_UNSIGNED16, FSOE_ACCESS_RW, FSOE_MAP_NONE, 0,
                    FSOE_FIELD_OWN_SLAVE_ADDRESS);
    t[n - 1].persistent = true;
    t[n++] =
        engine(0x194, FSOE_TYPE_UNSIGNED16, RO, FSOE_MAP_NONE, 0, FSOE_FIELD_OWN_CONNECTION_ID);
    t[n++] =
        engine(0x195, FSOE_TYPE_UNSIGNED16, RO, FSOE_MAP_NONE, 0, FSOE_FIELD_OWN_WATCHDOG_TIME);
    t[n++] = plain(0x197, FSOE_TYPE_UNSIGNED16, 1);
    t[n++] = engine(0x198, FSOE_TYPE_UNSIGNED16, RO, FSOE_MAP_NONE, 2,
                    FSOE_FIELD_EXPECTED_COMM_PARAM_LENGTH);
    t[n++] = engine(0x199, FSOE_TYPE_UNSIGNED16, RO, FSOE_MAP_NONE, 2,
                    FSOE_FIELD_EXPECTED_APP_PARAM_LENGTH);
    t[n++] =
        engine(0x19A, FSOE_TYPE_UNSIGNED32, RO, FSOE_MAP_NONE, 0, FSOE_FIELD_EXPECTED_APP_PARAM);
    t[n++] = plain(0x300, FSOE_TYPE_UNSIGNED8, 1);
    t[n++] = plain(0x301, FSOE_TYPE_UNSIGNED16, 0x1E00);
    t[n++] = plain(0x310, FSOE_TYPE_UNSIGNED8, 1);
    t[n++] = plain(0x311, FSOE_TYPE_UNSIGNED16, 0x1D00);
    t[n++] = plain(0x3B0, FSOE_TYPE_UNSIGNED8, 1);
    t[n++] = plain(0x3B1, FSOE_TYPE_UNSIGNED32, 0x67910210);
    t[n++] = plain(0x4B0, FSOE_TYPE_UNSIGNED8, 1);
    t[n++] = plain(0x4B1, FSOE_TYPE_UNSIGNED32, 0x67910710);
    t[n++] = plain(0x4B2, FSOE_TYPE_UNSIGNED32, 0x67910410);
    t[n++] = plain(0x4B3, FSOE_TYPE_UNSIGNED32, 0x67910810);
    t[n++] = plain(0x4B4, FSOE_TYPE_UNSIGNED32, 0x67910920);
    t[n++] = read_write(KEY_RX_COUNT, FSOE_TYPE_UNSIGNED16, get_rx_count, set_rx_count);
    for (uint16_t i = 1; i <= FSOE_STATIC_MAP_MAX_ITEMS; ++i)
        t[n++] = read_write(KEY_RX_COUNT + i, FSOE_TYPE_UNSIGNED32, get_rx_item, set_rx_item);
    t[n++] = read_write(KEY_TX_COUNT, FSOE_TYPE_UNSIGNED16, get_tx_count, set_tx_count);
    for (uint16_t i = 1; i <= FSOE_STATIC_MAP_MAX_ITEMS; ++i)
        t[n++] = read_write(KEY_TX_COUNT + i, FSOE_TYPE_UNSIGNED32, get_tx_item, set_tx_item);
    t[n++] = read_write(KEY_STORE, FSOE_TYPE_UNSIGNED32, get_command, set_store);
    t[n++] = read_write(KEY_RESTORE, FSOE_TYPE_UNSIGNED32, get_command, set_restore);
    return t;
}

constexpr std::array<fsoe_dict_object, FSOE_DICT_OBJECT_COUNT> OBJECTS = make_objects();

constexpr bool keys_ascending() {
    for (std::size_t i = 1; i < OBJECTS.size(); ++i)
        if (OBJECTS[i - 1].key >= OBJECTS[i].key) return false;
    return OBJECTS.back().key < FSOE_DICT_KEY_SLOTS;
}
static_assert(keys_ascending(), "object table: every slot filled, keys ascending and in range");

// Key -> object index + 1 (0: no object).
constexpr std::array<uint8_t, FSOE_DICT_KEY_SLOTS> make_key_index() {
    std::array<uint8_t, FSOE_DICT_KEY_SLOTS> index{};
    for (std::size_t i = 0; i < OBJECTS.size(); ++i)
        index[OBJECTS[i].key] = static_cast<uint8_t>(i + 1);
    return index;
}
constexpr std::array<uint8_t, FSOE_DICT_KEY_SLOTS> KEY_INDEX = make_key_index();

std::size_t index_of(const fsoe_dict_object& obj) {
    return static_cast<std::size_t>(&obj - OBJECTS.data());
}

uint32_t set_store(fsoe_dict_record& d, const fsoe_dict_object&, const fsoe_dict_value& in) {
    if (in.number != STORE_SIGNATURE) return FSOE_ABORT_VALUE_NOT_ACCEPTED;
    // Persistent values are read as a store would; nothing is kept.
    for (const fsoe_dict_object& obj : OBJECTS) {
        if (!obj.persistent) continue;
        fsoe_dict_value v{};
        obj.get(d, obj, v);
    }
    return FSOE_ABORT_NONE;
}

// --- the type table --------------------------------------------------------------

// The size a read reports: bytes, or for a string the words up to its end.
uint16_t read_size(uint8_t type, const fsoe_dict_value& v) {
    switch (type) {
    case FSOE_TYPE_BOOLEAN:
        return 1;
    case FSOE_TYPE_UNSIGNED8:
    case FSOE_TYPE_UNSIGNED16:
    case FSOE_TYPE_INTEGER8:
    case FSOE_TYPE_INTEGER16:
        return 2;
    case FSOE_TYPE_UNSIGNED32:
    case FSOE_TYPE_INTEGER32:
    case FSOE_TYPE_REAL32:
        return 4;
    case FSOE_TYPE_VISIBLE_STRING:
        return static_cast<uint16_t>(string_words(v.text));
    }
    return 0;
}

// Bytes a write needs at least.
std::size_t write_minimum(uint8_t type) {
    switch (type) {
    case FSOE_TYPE_BOOLEAN:
        return 1;
    case FSOE_TYPE_UNSIGNED32:
    case FSOE_TYPE_INTEGER32:
    case FSOE_TYPE_REAL32:
        return 4;
    case FSOE_TYPE_VISIBLE_STRING:
        return 0;
    }
    return 2;
}

// Lays a value out as the type table says; at most `capacity` bytes are written.
void deliver(uint8_t type, const fsoe_dict_value& v, uint8_t* buffer, std::size_t capacity) {
    uint8_t bytes[FSOE_DICT_STRING_BYTES] = {};
    uint32_t number = fsoe_dict_number_out(type, v.number);
    if (type == FSOE_TYPE_VISIBLE_STRING) {
        for (unsigned w = 0; w < FSOE_DICT_STRING_WORDS; ++w) {
            bytes[2 * w] = static_cast<uint8_t>(v.text[w]);
            bytes[2 * w + 1] = static_cast<uint8_t>(v.text[w] >> 8);
        }
    } else {
        for (unsigned i = 0; i < 4; ++i)
            bytes[i] = static_cast<uint8_t>(number >> (8 * i));
    }
    std::size_t size = read_size(type, v);
    for (std::size_t i = 0; i < size && i < capacity; ++i)
        buffer[i] = bytes[i];
}

// Takes a value from `size` bytes as the type table says; missing bytes read as 0.
fsoe_dict_value take(uint8_t type, const uint8_t* buffer, std::size_t size) {
    auto byte = [&](std::size_t i) -> uint32_t { return i < size ? buffer[i] : 0; };
    fsoe_dict_value v{};
    if (type == FSOE_TYPE_VISIBLE_STRING) {
        for (unsigned w = 0; w < FSOE_DICT_STRING_WORDS; ++w)
            v.text[w] = static_cast<uint16_t>(byte(2 * w) | byte(2 * w + 1) << 8);
    } else if (type <= FSOE_TYPE_LAST) {
        v.number =
            fsoe_dict_number_in(type, byte(0) | byte(1) << 8 | byte(2) << 16 | byte(3) << 24);
    }
    return v;
}

bool readable(const fsoe_dict_object& obj) {
    return obj.access == FSOE_ACCESS_RO || obj.access == FSOE_ACCESS_RW;
}

bool writable(const fsoe_dict_object& obj) {
    return obj.access == FSOE_ACCESS_WO || obj.access == FSOE_ACCESS_RW;
}

// --- the operations ------------------------------------------------------------------

uint32_t op_read(const fsoe_dict_record& d, uint16_t key, uint8_t* buffer, std::size_t capacity,
                 uint16_t* size) {
    const fsoe_dict_object* obj = fsoe_dict_lookup(key);
    if (!obj) return FSOE_ABORT_NO_OBJECT;
    if (!readable(*obj)) return FSOE_ABORT_ACCESS;
    if (obj->type > FSOE_TYPE_LAST) return FSOE_ABORT_UNKNOWN_TYPE;
    fsoe_dict_value v{};
    uint32_t code = obj->get(d, *obj, v);
    deliver(obj->type, v, buffer, capacity);
    if (size) *size = read_size(obj->type, v);
    return code;
}

uint32_t op_write(fsoe_dict_record& d, uint16_t key, const uint8_t* buffer, std::size_t size) {
    const fsoe_dict_object* obj = fsoe_dict_lookup(key);
    if (!obj) return FSOE_ABORT_NO_OBJECT;
    if (!writable(*obj)) return FSOE_ABORT_ACCESS;
    if (obj->type > FSOE_TYPE_LAST) return FSOE_ABORT_UNKNOWN_TYPE;
    if (size < write_minimum(obj->type)) return FSOE_ABORT_SIZE_TOO_SMALL;
    return obj->set(d, *obj, take(obj->type, buffer, size));
}

const fsoe_dict_object* find_mappable(uint16_t key, uint16_t size_bits, uint8_t direction) {
    const fsoe_dict_object* obj = fsoe_dict_lookup(key);
    if (!obj || (obj->map_permission & direction) == 0) return nullptr;
    return fsoe_dict_type_width(obj->type) == size_bits ? obj : nullptr;
}

const fsoe_dict_object* op_find_tx_object(uint16_t key, uint16_t size_bits) {
    return find_mappable(key, size_bits, FSOE_MAP_TX);
}

const fsoe_dict_object* op_find_rx_object(uint16_t key, uint16_t size_bits) {
    return find_mappable(key, size_bits, FSOE_MAP_RX);
}

void op_read_object_value(const fsoe_dict_record& d, const fsoe_dict_object* obj, uint8_t* buffer,
                          std::size_t capacity) {
    if (!obj || obj->type >= FSOE_TYPE_VISIBLE_STRING) return;
    fsoe_dict_value v{};
    obj->get(d, *obj, v);
    deliver(obj->type, v, buffer, capacity);
}

void op_fast_write(fsoe_dict_record& d, const fsoe_dict_object* obj, const uint8_t* buffer,
                   std::size_t size) {
    if (!obj || obj->type > FSOE_TYPE_LAST) return;
    obj->set(d, *obj, take(obj->type, buffer, size));
}

// Plain values, the STO status and engine fields have a field of their own; the
// others (strings, map mirrors, commands) keep their getters and setters.
fsoe_dict_slot op_slot_of(fsoe_dict_record& d, const fsoe_dict_object* obj) {
    fsoe_dict_slot none = fsoe_dict_make_slot({nullptr, 0}, 0);
    if (!obj || obj->type >= FSOE_TYPE_VISIBLE_STRING) return none;
    if (obj->get == get_plain && obj->set == set_plain)
        return fsoe_dict_make_slot({&d.plain_values[index_of(*obj)], sizeof(uint32_t)}, obj->type);
    // A bool of one byte holds 0 or 1, as a boolean's value is; set_sto stores just that.
    static_assert(sizeof(bool) == 1, "the STO status is moved as one byte");
    if (obj->get == get_sto && obj->set == set_sto && obj->type == FSOE_TYPE_BOOLEAN)
        return fsoe_dict_make_slot({&d.sto_status, sizeof(bool)}, obj->type);
    if (obj->get == get_engine && obj->set == set_engine)
        return fsoe_dict_make_slot(
            fsoe_engine_field_ref(*d.engine, static_cast<fsoe_engine_field>(obj->field)),
            obj->type);
    return none;
}

const varn_dict DICT_INTERFACE = {
    op_read,       op_write,   op_find_tx_object, op_find_rx_object, op_read_object_value,
    op_fast_write, op_slot_of,
};

} // namespace

void fsoe_dict_link(fsoe_dict_record& d, fsoe_engine_record* engine, fsoe_static_map* map) {
    d.engine = engine;
    d.map = map;
}

void fsoe_dict_init(fsoe_dict_record& d) {
    const fsoe_dict_object* first = fsoe_dict_lookup(0);
    for (const fsoe_dict_object* o = first ? first : fsoe_dict_next(0); o;
         o = fsoe_dict_next(o->key)) {
        const fsoe_dict_object& obj = *o;
        fsoe_dict_value v{};
        v.number = obj.initial;
        if (obj.initial_text) {
            const char* s = obj.initial_text;
            for (unsigned i = 0; i < FSOE_DICT_STRING_BYTES && s[i]; ++i)
                v.text[i / 2] = static_cast<uint16_t>(v.text[i / 2] | static_cast<uint8_t>(s[i])
                                                                          << (8 * (i % 2)));
        }
        obj.set(d, obj, v);
    }
    d.sto_status = false;
}

const varn_dict& fsoe_dict_interface() {
    return DICT_INTERFACE;
}

const fsoe_dict_object* fsoe_dict_lookup(uint16_t key) {
    if (key >= FSOE_DICT_KEY_SLOTS || KEY_INDEX[key] == 0) return nullptr;
    return &OBJECTS[KEY_INDEX[key] - 1u];
}

const fsoe_dict_object* fsoe_dict_next(uint16_t key) {
    for (unsigned k = key + 1u; k < FSOE_DICT_KEY_SLOTS; ++k)
        if (KEY_INDEX[k] != 0) return &OBJECTS[KEY_INDEX[k] - 1u];
    return nullptr;
}

uint16_t fsoe_dict_type_width(uint8_t type) {
    switch (type) {
    case FSOE_TYPE_BOOLEAN:
        return 1;
    case FSOE_TYPE_UNSIGNED8:
    case FSOE_TYPE_INTEGER8:
        return 8;
    case FSOE_TYPE_UNSIGNED16:
    case FSOE_TYPE_INTEGER16:
        return 16;
    case FSOE_TYPE_UNSIGNED32:
    case FSOE_TYPE_INTEGER32:
    case FSOE_TYPE_REAL32:
        return 32;
    }
    return 0;
}

bool fsoe_dict_sto_status(const fsoe_dict_record& d) {
    return d.sto_status;
}

} // namespace brisel
