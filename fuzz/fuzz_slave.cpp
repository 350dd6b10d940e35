// libFuzzer harness over the virtual slave: engine, static map and object
// dictionary driven by a script of operations taken from the input.
//
// Input: one byte choosing the map (0-2: the standard 3-, 4- or 6-word maps that
// carry the STO flag in the first safe-data byte; anything else: a map read from
// the input), then operations, each one opcode byte and its arguments:
//   0 request: length byte (mod 32), that many bytes; then a process step
//   1 clock: 4 bytes little-endian added to the mock clock; then a process step
//   2 dictionary read: key (2 bytes), capacity byte (mod 17)
//   3 dictionary write: key (2 bytes), length byte (mod 17), that many bytes
//   4 stop    5 start    6 map setter: selector, index, 4-byte item
//   7 map lock toggle or validation (selector byte)
// Missing argument bytes read as 0. The seed corpus beside this file holds whole
// connections recorded from a master, so mutations start deep in the protocol.
#include "core/frame/frame.hpp"
#include "core/slave/dictionary/fsoe_dict.hpp"
#include "core/slave/dictionary/fsoe_static_map.hpp"
#include "core/slave/engine/fsoe_slave.hpp"

#include <cstdlib>
#include <vector>

using namespace brisel;

namespace {

constexpr unsigned MAX_REQUEST_BYTES = 32; // beyond the 24-byte buffer: refused
constexpr unsigned MAX_VALUE_BYTES = 17;
constexpr uint16_t KEY_STO = 0x040;

void require(bool condition) {
    if (!condition) std::abort();
}

class Reader {
  public:
    Reader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    bool done() const { return pos_ >= size_; }
    uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }
    uint16_t u16() { return static_cast<uint16_t>(byte() | byte() << 8); }
    uint32_t u32() { return u16() | static_cast<uint32_t>(u16()) << 16; }
    std::vector<uint8_t> bytes(unsigned n) {
        std::vector<uint8_t> v(n);
        for (uint8_t& b : v)
            b = byte();
        return v;
    }

  private:
    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
};

// The module's mock sources as after load, so recorded connections replay exactly.
uint32_t clock_us = 0;
uint64_t random_state = 1;
uint32_t now() {
    return clock_us;
}
uint16_t next_session_id() {
    random_state = (random_state * 75241467858ull + 12345) % 45678;
    return static_cast<uint16_t>(random_state);
}
uint32_t sra() {
    return 0;
}

// key, size in bits, padding: command, STO bit, padding, body, connection id.
struct Item {
    uint16_t key;
    uint8_t bits;
    bool padding;
};
uint32_t encode(const Item& it) {
    uint32_t size = it.bits % 8 == 0 ? it.bits / 8u : it.bits;
    uint32_t format = it.bits % 8 == 0 ? VARN_SIZE_FORMAT_BYTES : VARN_SIZE_FORMAT_BITS;
    return (it.key & FSOE_ITEM_KEY_MASK) | (it.padding ? FSOE_ITEM_PADDING : 0) |
           size << FSOE_ITEM_SIZE_SHIFT | format << FSOE_ITEM_FORMAT_SHIFT;
}

void standard_map(unsigned words, uint16_t command_key, uint16_t conn_key, bool rx) {
    std::vector<Item> items = {{command_key, 8, false}, {KEY_STO, 1, false}, {0, 7, true}};
    if (words == 3) items.push_back({0, 16, true});
    if (words >= 4) items.push_back({0, 8, true});
    for (unsigned w = 4; w <= words; w += 2)
        items.push_back({0, 16, true});
    if (words == 6) items.push_back({0, 16, true});
    items.push_back({conn_key, 16, false});
    auto set_count = rx ? fsoe_static_map_set_rx_count : fsoe_static_map_set_tx_count;
    auto set_item = rx ? fsoe_static_map_set_rx_item : fsoe_static_map_set_tx_item;
    set_count(static_cast<uint16_t>(items.size()));
    for (unsigned i = 0; i < items.size(); ++i)
        set_item(static_cast<uint16_t>(i + 1), encode(items[i]));
}

void custom_map(Reader& in) {
    fsoe_static_map_set_rx_count(in.byte() % 16);
    fsoe_static_map_set_tx_count(in.byte() % 16);
    unsigned items = in.byte() % 8;
    for (unsigned i = 0; i < items; ++i) {
        uint8_t selector = in.byte();
        auto set_item = selector & 1 ? fsoe_static_map_set_tx_item : fsoe_static_map_set_rx_item;
        set_item(static_cast<uint16_t>(selector >> 1), in.u32());
    }
}

// A Reset reply is protected with sequence number 1, no seed and connection id 0:
// the master's own codec must accept it.
void check_reset_reply() {
    unsigned words = fsoe_engine_frame_words();
    const uint16_t* reply = fsoe_engine_reply_words();
    if (words == 0 || (reply[0] & 0xFF) != FSOE_CMD_RESET) return;
    uint8_t wire[2 * FSOE_AREA_WORDS];
    for (unsigned w = 0; w < words; ++w) {
        wire[2 * w] = static_cast<uint8_t>(reply[w]);
        wire[2 * w + 1] = static_cast<uint8_t>(reply[w] >> 8);
    }
    tarnwick::frame::FrameRecord f;
    tarnwick::frame::clear(f);
    tarnwick::frame::parse(f, wire, 2 * words);
    f.control.sequence_number = 1;
    uint16_t calc[tarnwick::frame::MAX_CRC_WORDS];
    require(tarnwick::frame::check_crcs(f, calc));
    require(f.control.connection_id == 0);
}

bool sto() {
    uint8_t b = 0;
    uint16_t size = 0;
    fsoe_dict_interface().read(KEY_STO, &b, 1, &size);
    return b != 0;
}

void check_invariants(bool standard) {
    require(fsoe_engine_state() < FSOE_STATE_COUNT);
    require(fsoe_engine_frame_words() <= FSOE_AREA_WORDS);
    check_reset_reply();
    // With the standard maps the STO flag rides in the process data: it can be set
    // only by an accepted data frame.
    if (standard) require(!sto() || fsoe_engine_state() == FSOE_STATE_DATA);
    require(sto() == fsoe_dict_sto_status());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Reader in(data, size);
    clock_us = 0;
    random_state = 1;
    fsoe_slave_init(fsoe_engine_sources{now, next_session_id, sra});

    uint8_t map_choice = in.byte();
    static const unsigned STANDARD_WORDS[] = {3, 4, 6};
    bool standard = map_choice < 3;
    if (standard) {
        standard_map(STANDARD_WORDS[map_choice], 0x171, 0x172, true);
        standard_map(STANDARD_WORDS[map_choice], 0x161, 0x162, false);
    } else {
        custom_map(in);
    }
    fsoe_slave_start();
    if (standard) require(fsoe_engine_frame_words() == STANDARD_WORDS[map_choice]);

    while (!in.done()) {
        switch (in.byte() % 8) {
        case 0: {
            std::vector<uint8_t> request = in.bytes(in.byte() % MAX_REQUEST_BYTES);
            fsoe_request_result r = fsoe_engine_set_request(request.data(), request.size());
            require((r == FSOE_REQUEST_OK) == (request.size() <= FSOE_REQUEST_BUFFER_BYTES));
            fsoe_engine_process();
            break;
        }
        case 1:
            clock_us += in.u32();
            fsoe_engine_process();
            break;
        case 2: {
            uint16_t key = in.u16();
            std::vector<uint8_t> buffer(in.byte() % MAX_VALUE_BYTES);
            uint16_t got = 0;
            fsoe_dict_interface().read(key, buffer.data(), buffer.size(), &got);
            require(got <= FSOE_DICT_STRING_BYTES);
            // The next object is the first one found counting up from the key.
            const fsoe_dict_object* next = fsoe_dict_next(key);
            uint32_t k = key + 1u;
            while (k < FSOE_DICT_KEY_SLOTS && !fsoe_dict_lookup(static_cast<uint16_t>(k)))
                ++k;
            require(next == (k < FSOE_DICT_KEY_SLOTS ? fsoe_dict_lookup(static_cast<uint16_t>(k))
                                                     : nullptr));
            break;
        }
        case 3: {
            uint16_t key = in.u16();
            std::vector<uint8_t> value = in.bytes(in.byte() % MAX_VALUE_BYTES);
            fsoe_dict_interface().write(key, value.data(), value.size());
            break;
        }
        case 4:
            fsoe_slave_stop();
            require(fsoe_engine_frame_words() == 0 && fsoe_engine_state() == FSOE_STATE_RESET);
            break;
        case 5:
            fsoe_slave_start();
            break;
        case 6: {
            uint8_t selector = in.byte();
            uint16_t index = in.byte();
            uint32_t item = in.u32();
            switch (selector % 4) {
            case 0:
                fsoe_static_map_set_rx_count(static_cast<uint16_t>(item));
                break;
            case 1:
                fsoe_static_map_set_tx_count(static_cast<uint16_t>(item));
                break;
            case 2:
                fsoe_static_map_set_rx_item(index, item);
                break;
            case 3:
                fsoe_static_map_set_tx_item(index, item);
                break;
            }
            // The standard map may have been changed: the STO rule no longer holds.
            standard = false;
            break;
        }
        case 7: {
            uint8_t selector = in.byte();
            if (selector % 3 == 0) fsoe_static_map_lock();
            if (selector % 3 == 1) fsoe_static_map_unlock();
            if (selector % 3 == 2) fsoe_static_map_validate();
            standard = false;
            break;
        }
        }
        check_invariants(standard);
    }
    fsoe_slave_stop();
    require(!fsoe_dict_sto_status() || !standard);
    return 0;
}
