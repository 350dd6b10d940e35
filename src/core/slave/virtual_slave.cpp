// tarnwick::VirtualSlave over one slave context: settings, hooks and the calls
// each forwarded to the context's engine, dictionary, map or mock.
#include "tarnwick/virtual_slave.hpp"

#include "core/slave/dictionary/fsoe_data_map.hpp"
#include "core/slave/engine/fsoe_slave.hpp"

#include <array>
#include <cstddef>
#include <stdexcept>

namespace tarnwick {

namespace {

using namespace brisel;

static_assert(VirtualSlave::REQUEST_BUFFER_BYTES == FSOE_REQUEST_BUFFER_BYTES);
static_assert(VirtualSlave::REPLY_AREA_WORDS == FSOE_AREA_WORDS);
static_assert(VirtualSlave::MAX_MAP_ITEMS == FSOE_STATIC_MAP_MAX_ITEMS);
static_assert(VirtualSlave::SIZE_FORMAT_BYTES == VARN_SIZE_FORMAT_BYTES &&
              VirtualSlave::SIZE_FORMAT_BITS == VARN_SIZE_FORMAT_BITS);
static_assert(VirtualSlave::ITEM_KEY_MASK == FSOE_ITEM_KEY_MASK &&
              VirtualSlave::ITEM_PADDING_SHIFT == FSOE_ITEM_PADDING_SHIFT &&
              VirtualSlave::ITEM_SIZE_SHIFT == FSOE_ITEM_SIZE_SHIFT &&
              VirtualSlave::ITEM_FORMAT_SHIFT == FSOE_ITEM_FORMAT_SHIFT);
static_assert(static_cast<unsigned>(VirtualSlave::MapResult::InvalidValue) ==
                  FSOE_STATIC_MAP_INVALID_VALUE &&
              static_cast<unsigned>(VirtualSlave::MapResult::Unavailable) ==
                  FSOE_STATIC_MAP_UNAVAILABLE);
static_assert(static_cast<unsigned>(VirtualSlave::State::Data) == FSOE_STATE_DATA);
static_assert(VirtualSlave::WIDE_REQUEST_BUFFER_BYTES == FSOE_WIDE_REQUEST_BUFFER_BYTES &&
              VirtualSlave::WIDE_AREA_WORDS == FSOE_WIDE_AREA_WORDS &&
              VirtualSlave::MAX_SAFE_DATA_BYTES == FSOE_DATA_MAP_MAX_BYTES &&
              VirtualSlave::MAX_SAFE_DATA_BYTES == FSOE_MAX_SAFE_DATA_BYTES);
static_assert(VirtualSlave::MAX_APPLICATION_OBJECTS == FSOE_APP_OBJECTS_MAX &&
              VirtualSlave::MAX_OBJECT_BITS == FSOE_APP_OBJECT_MAX_BITS &&
              VirtualSlave::MAX_DATA_MAP_ITEMS == FSOE_DATA_MAP_MAX_ITEMS);
static_assert(static_cast<unsigned>(VirtualSlave::ConfigResult::TooLarge) == FSOE_DATA_TOO_LARGE);

// Map items are sized in bits, frames in bytes.
constexpr unsigned BITS_PER_BYTE = 8;
// The STO status (object 0x040) is one bit: the lowest of the first safe-data byte.
constexpr uint16_t KEY_STO = 0x040;
constexpr unsigned STO_BITS = 1;
// The command and connection-id objects of each direction, which the standard map names.
constexpr uint16_t KEY_RX_COMMAND = 0x171;
constexpr uint16_t KEY_RX_CONNECTION_ID = 0x172;
constexpr uint16_t KEY_TX_COMMAND = 0x161;
constexpr uint16_t KEY_TX_CONNECTION_ID = 0x162;
// Each CRC word protects two safe-data bytes; the connection id is one word too.
constexpr unsigned CRC_BYTES = 2;
constexpr unsigned CONNECTION_ID_BITS = 16;
// Command, STO bit, rest of its byte, padding, connection id.
constexpr unsigned STANDARD_MAP_ITEMS = 5;

struct MapEntry {
    uint16_t key;
    unsigned bits;
    bool padding;
};

// Wire bytes between the first safe-data byte and the connection id: the other
// safe-data bytes and the CRC words, one per two safe-data bytes.
unsigned middle_bytes(unsigned safe_data_bytes) {
    return safe_data_bytes - 1 + CRC_BYTES * ((safe_data_bytes + 1) / 2);
}

// The standard map of one direction: command, the STO bit and the rest of the first
// safe-data byte, padding up to the connection id, the connection id.
std::array<MapEntry, STANDARD_MAP_ITEMS> standard_map(unsigned safe_data_bytes, uint16_t command,
                                                      uint16_t conn_id) {
    return {{{command, BITS_PER_BYTE, false},
             {KEY_STO, STO_BITS, false},
             {0, BITS_PER_BYTE - STO_BITS, true},
             {0, BITS_PER_BYTE * middle_bytes(safe_data_bytes), true},
             {conn_id, CONNECTION_ID_BITS, false}}};
}

void lay_standard_map(VirtualSlave& slave, unsigned safe_data_bytes) {
    using Direction = VirtualSlave::Direction;
    const struct {
        Direction direction;
        uint16_t command, conn_id;
    } halves[] = {{Direction::Rx, KEY_RX_COMMAND, KEY_RX_CONNECTION_ID},
                  {Direction::Tx, KEY_TX_COMMAND, KEY_TX_CONNECTION_ID}};
    for (const auto& half : halves) {
        auto items = standard_map(safe_data_bytes, half.command, half.conn_id);
        slave.set_map_count(half.direction, static_cast<uint16_t>(items.size()));
        for (unsigned i = 0; i < items.size(); ++i)
            slave.set_map_item(
                half.direction, static_cast<uint16_t>(i + 1),
                VirtualSlave::map_item(items[i].key, items[i].bits, items[i].padding));
    }
}

bool standard_size(unsigned safe_data_bytes) {
    return safe_data_bytes == 0 || safe_data_bytes == 1 || safe_data_bytes == 2 ||
           safe_data_bytes == 4;
}

} // namespace

struct VirtualSlave::Impl {
    fsoe_slave_context slave{};
    fsoe_data_map data{};
    Hooks hooks{};
    uint16_t slave_address = FSOE_DEFAULT_SLAVE_ADDRESS;

    // The engine's sources: a hook where one is set, the slave's own mock otherwise.
    static uint32_t clock(void* self) {
        Impl& i = *static_cast<Impl*>(self);
        return i.hooks.clock_us ? i.hooks.clock_us(i.hooks.context) : i.slave.mock.clock_us;
    }
    static uint16_t session_id(void* self) {
        Impl& i = *static_cast<Impl*>(self);
        return i.hooks.session_id ? i.hooks.session_id(i.hooks.context)
                                  : fsoe_mock_random_u16(i.slave.mock);
    }
    static uint32_t sra_crc(void* self) {
        Impl& i = *static_cast<Impl*>(self);
        return i.hooks.sra_crc ? i.hooks.sra_crc(i.hooks.context) : i.slave.mock.sra_crc;
    }

    void init() {
        fsoe_slave_init(slave, fsoe_engine_sources{this, clock, session_id, sra_crc},
                        slave_address);
        fsoe_data_map_restore(data);
    }

    bool data_mapped() const { return data.rx.count > 0 || data.tx.count > 0; }
    bool running() const { return fsoe_engine_frame_words(slave.engine) != 0; }
};

VirtualSlave::VirtualSlave(Uninitialised) : impl_(std::make_unique<Impl>()) {
    fsoe_slave_link(impl_->slave);
    fsoe_data_map_init(impl_->data, &impl_->slave.dict);
    impl_->slave.mock.random_state = FSOE_MOCK_RANDOM_START;
}

VirtualSlave VirtualSlave::uninitialised() {
    return VirtualSlave(Uninitialised{});
}

VirtualSlave::VirtualSlave(const Settings& settings) : VirtualSlave(Uninitialised{}) {
    if (!standard_size(settings.safe_data_bytes))
        throw std::invalid_argument("safe_data_bytes must be 0, 1, 2 or 4");
    impl_->slave_address = settings.slave_address;
    impl_->slave.mock = fsoe_mock{settings.time_us, settings.random_seed, settings.sra_crc};
    fsoe_engine_set_wide(impl_->slave.engine, settings.wide);
    init();
    if (settings.safe_data_bytes == 0) return;
    lay_standard_map(*this, settings.safe_data_bytes);
    start();
}

VirtualSlave::VirtualSlave() : VirtualSlave(Settings{}) {}

VirtualSlave::~VirtualSlave() = default;
VirtualSlave::VirtualSlave(VirtualSlave&&) noexcept = default;
VirtualSlave& VirtualSlave::operator=(VirtualSlave&&) noexcept = default;

// --- life cycle and the bus cycle ---

void VirtualSlave::init() {
    impl_->init();
}

bool VirtualSlave::start() {
    if (!impl_->data_mapped()) return fsoe_slave_start(impl_->slave);
    fsoe_data_map& d = impl_->data;
    return fsoe_engine_start_sized(impl_->slave.engine, fsoe_data_map_bytes(d.rx),
                                   fsoe_data_map_bytes(d.tx), &fsoe_data_map_process_data_ops(),
                                   &d);
}

void VirtualSlave::stop() {
    fsoe_slave_stop(impl_->slave);
}

bool VirtualSlave::set_request(const uint8_t* data, std::size_t length) {
    return fsoe_engine_set_request(impl_->slave.engine, data, length) == FSOE_REQUEST_OK;
}

void VirtualSlave::process() {
    fsoe_engine_process(impl_->slave.engine);
}

std::size_t VirtualSlave::reply(uint8_t* out, unsigned words) const {
    const fsoe_engine_record& e = impl_->slave.engine;
    if (words > fsoe_engine_area_words(e)) words = fsoe_engine_area_words(e);
    const fsoe_lanes area = fsoe_engine_reply(e);
    unsigned head = fsoe_head_words(words);
    for (unsigned w = 0; w < head; ++w) {
        uint16_t word = fsoe_lanes_word(area, w);
        out[2 * w] = static_cast<uint8_t>(word);
        out[2 * w + 1] = static_cast<uint8_t>(word >> BITS_PER_BYTE);
    }
    // A wide frame's tail, byte by byte.
    const fsoe_tail& tail = fsoe_engine_reply_tail(e);
    for (std::size_t i = 2 * std::size_t{head}; i < 2 * std::size_t{words}; ++i)
        out[i] = fsoe_image_byte(area, tail, i);
    return 2 * std::size_t{words};
}

std::size_t VirtualSlave::reply(uint8_t* out) const {
    return reply(out, reply_words());
}

unsigned VirtualSlave::request_words() const {
    return fsoe_engine_rx_words(impl_->slave.engine);
}

unsigned VirtualSlave::reply_words() const {
    return fsoe_engine_tx_words(impl_->slave.engine);
}

bool VirtualSlave::wide() const {
    return fsoe_engine_area_words(impl_->slave.engine) == FSOE_WIDE_AREA_WORDS;
}

unsigned VirtualSlave::frame_words() const {
    return fsoe_engine_frame_words(impl_->slave.engine);
}

VirtualSlave::State VirtualSlave::state() const {
    return static_cast<State>(fsoe_engine_state(impl_->slave.engine));
}

// --- surroundings ---

void VirtualSlave::set_time(uint32_t us) {
    impl_->slave.mock.clock_us = us;
}

void VirtualSlave::advance_time(uint32_t us) {
    impl_->slave.mock.clock_us += us;
}

uint32_t VirtualSlave::time() const {
    return impl_->slave.mock.clock_us;
}

void VirtualSlave::seed_random(uint64_t seed) {
    impl_->slave.mock.random_state = seed;
}

uint16_t VirtualSlave::next_random() {
    return fsoe_mock_random_u16(impl_->slave.mock);
}

void VirtualSlave::set_sra_crc(uint32_t sra_crc) {
    impl_->slave.mock.sra_crc = sra_crc;
}

uint32_t VirtualSlave::sra_crc() const {
    return impl_->slave.mock.sra_crc;
}

void VirtualSlave::set_hooks(const Hooks& hooks) {
    impl_->hooks = hooks;
}

// --- object dictionary ---

uint32_t VirtualSlave::read_object(uint16_t key, uint8_t* buffer, std::size_t capacity,
                                   uint16_t* size) const {
    return fsoe_dict_interface().read(impl_->slave.dict, key, buffer, capacity, size);
}

uint32_t VirtualSlave::write_object(uint16_t key, const uint8_t* data, std::size_t size) {
    return fsoe_dict_interface().write(impl_->slave.dict, key, data, size);
}

bool VirtualSlave::fast_write32(uint16_t key, uint32_t value) {
    constexpr unsigned WIDTH = 32;
    const fsoe_dict_object* obj = fsoe_dict_interface().find_rx_object(key, WIDTH);
    if (!obj) return false;
    uint8_t bytes[WIDTH / BITS_PER_BYTE];
    for (unsigned i = 0; i < sizeof bytes; ++i)
        bytes[i] = static_cast<uint8_t>(value >> (BITS_PER_BYTE * i));
    fsoe_dict_interface().fast_write(impl_->slave.dict, obj, bytes, sizeof bytes);
    return true;
}

bool VirtualSlave::sto_status() const {
    return fsoe_dict_sto_status(impl_->slave.dict);
}

// --- static map ---

VirtualSlave::MapResult VirtualSlave::set_map_count(Direction direction, uint16_t count) {
    fsoe_static_map& m = impl_->slave.map;
    return static_cast<MapResult>(direction == Direction::Rx
                                      ? fsoe_static_map_set_rx_count(m, count)
                                      : fsoe_static_map_set_tx_count(m, count));
}

VirtualSlave::MapResult VirtualSlave::set_map_item(Direction direction, uint16_t index,
                                                   uint32_t item) {
    fsoe_static_map& m = impl_->slave.map;
    return static_cast<MapResult>(direction == Direction::Rx
                                      ? fsoe_static_map_set_rx_item(m, index, item)
                                      : fsoe_static_map_set_tx_item(m, index, item));
}

uint16_t VirtualSlave::map_count(Direction direction) const {
    const fsoe_static_map& m = impl_->slave.map;
    return direction == Direction::Rx ? fsoe_static_map_rx_count(m) : fsoe_static_map_tx_count(m);
}

bool VirtualSlave::validate_map() {
    return fsoe_static_map_validate(impl_->slave.map);
}

void VirtualSlave::lock_map(bool locked) {
    if (locked)
        fsoe_static_map_lock(impl_->slave.map);
    else
        fsoe_static_map_unlock(impl_->slave.map);
}

uint32_t VirtualSlave::map_item(uint16_t key, unsigned size_bits, bool padding) {
    bool whole_bytes = size_bits % BITS_PER_BYTE == 0;
    uint32_t size = whole_bytes ? size_bits / BITS_PER_BYTE : size_bits;
    uint32_t format = whole_bytes ? SIZE_FORMAT_BYTES : SIZE_FORMAT_BITS;
    return (key & ITEM_KEY_MASK) | (padding ? FSOE_ITEM_PADDING : 0) |
           (size & FSOE_ITEM_SIZE_MASK) << ITEM_SIZE_SHIFT | format << ITEM_FORMAT_SHIFT;
}

// --- application objects and the data map ---

VirtualSlave::ConfigResult VirtualSlave::add_application_object(uint16_t key, unsigned bits,
                                                                uint32_t initial) {
    return static_cast<ConfigResult>(fsoe_data_map_add_object(impl_->data, key, bits, initial));
}

bool VirtualSlave::application_value(uint16_t key, uint32_t& value) const {
    const fsoe_app_object* obj = fsoe_data_map_object(impl_->data, key);
    if (!obj) return false;
    value = obj->value;
    return true;
}

VirtualSlave::ConfigResult VirtualSlave::set_application_value(uint16_t key, uint32_t value) {
    return static_cast<ConfigResult>(fsoe_data_map_write(impl_->data, key, value));
}

VirtualSlave::ConfigResult VirtualSlave::set_data_map(Direction direction, const DataItem* items,
                                                      std::size_t count, std::size_t* failed) {
    if (impl_->running()) return ConfigResult::Running;
    bool rx = direction == Direction::Rx;
    if (count > MAX_DATA_MAP_ITEMS) {
        fsoe_data_map_set(impl_->data, rx, nullptr, 0, nullptr);
        if (failed) *failed = MAX_DATA_MAP_ITEMS;
        return ConfigResult::Full;
    }
    std::array<fsoe_data_map_item, MAX_DATA_MAP_ITEMS> own{};
    for (std::size_t i = 0; i < count; ++i)
        own[i] = fsoe_data_map_item{items[i].key, items[i].bits, items[i].padding};
    fsoe_data_result r = fsoe_data_map_set(impl_->data, rx, own.data(), count, failed);
    if (r != FSOE_DATA_OK) return static_cast<ConfigResult>(r);
    const fsoe_data_map_list& list = rx ? impl_->data.rx : impl_->data.tx;
    if (fsoe_frame_words_for(fsoe_data_map_bytes(list)) >
        fsoe_engine_area_words(impl_->slave.engine)) {
        fsoe_data_map_set(impl_->data, rx, nullptr, 0, nullptr);
        if (failed) *failed = count;
        return ConfigResult::TooWide;
    }
    return ConfigResult::Ok;
}

unsigned VirtualSlave::data_map_bytes(Direction direction) const {
    return fsoe_data_map_bytes(direction == Direction::Rx ? impl_->data.rx : impl_->data.tx);
}

} // namespace tarnwick
