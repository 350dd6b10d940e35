// libFuzzer harness over the virtual slave: a VirtualSlave of its own per input,
// its engine, static map and object dictionary driven by a script of operations
// taken from the input.
//
// Input: one byte choosing the map (0-2: the standard 3-, 4- or 6-word maps that
// carry the STO flag in the first safe-data byte; 0xF0 and above: a wide slave with
// data maps, its sizes (rx 1 + low nibble, tx 1 + high nibble) and its SRA CRC
// (4 bytes) following; anything else: a map read from the input), then operations,
// each one opcode byte and its arguments:
//   0 request: length byte (mod 32), that many bytes; then a process step
//   1 clock: 4 bytes little-endian added to the mock clock; then a process step
//   2 dictionary read: key (2 bytes), capacity byte (mod 17)
//   3 dictionary write: key (2 bytes), length byte (mod 17), that many bytes
//   4 stop    5 start    6 map setter: selector, index, 4-byte item
//   7 map lock toggle or validation (selector byte)
// A wide slave takes requests up to 48 bytes; 6 writes its tx object (4-byte
// value), 7 sets a 1-byte rx data map, which a running slave refuses.
// Missing argument bytes read as 0. The seed corpus beside this file holds whole
// connections recorded from a master, so mutations start deep in the protocol.
#include "core/slave/dictionary/fsoe_dict.hpp"
#include "fuzz_input.hpp"
#include "tarnwick/frame.hpp"
#include "tarnwick/virtual_slave.hpp"

#include <cstdlib>
#include <vector>

using tarnwick::VirtualSlave;
using Direction = VirtualSlave::Direction;

namespace {

using fuzz_input::Reader;
using fuzz_input::require;

constexpr unsigned MAX_REQUEST_BYTES = 32; // beyond the 24-byte buffer: refused
constexpr unsigned MAX_VALUE_BYTES = 17;
constexpr uint16_t KEY_STO = 0x040;
// Map choices below this pick a standard map of 1, 2 or 4 safe-data bytes.
constexpr unsigned STANDARD_MAPS = 3;
constexpr unsigned STANDARD_BYTES[STANDARD_MAPS] = {1, 2, 4};
constexpr uint8_t RESET_COMMAND = 0x2A;
// A wide slave: an 8-bit object on the first safe-data byte each way, padding after.
constexpr uint8_t WIDE_MAPS = 0xF0;
constexpr unsigned MAX_WIDE_REQUEST_BYTES = 48; // beyond the 36-byte buffer: refused
constexpr uint16_t KEY_WIDE_OUT = 0x001;
constexpr uint16_t KEY_WIDE_IN = 0x100;
constexpr unsigned BYTE_BITS = 8;

void wide_maps(VirtualSlave& slave, Reader& in) {
    uint8_t sizes = in.byte();
    unsigned rx = 1 + (sizes & 0x0F), tx = 1 + (sizes >> 4);
    slave.set_sra_crc(in.u32());
    slave.stop();
    require(slave.add_application_object(KEY_WIDE_OUT, BYTE_BITS, 0) ==
            VirtualSlave::ConfigResult::Ok);
    require(slave.add_application_object(KEY_WIDE_IN, BYTE_BITS, 0) ==
            VirtualSlave::ConfigResult::Ok);
    const struct {
        Direction direction;
        uint16_t key;
        unsigned bytes;
    } halves[] = {{Direction::Rx, KEY_WIDE_OUT, rx}, {Direction::Tx, KEY_WIDE_IN, tx}};
    for (const auto& h : halves) {
        VirtualSlave::DataItem items[] = {
            {h.key, BYTE_BITS, false}, {0, static_cast<uint16_t>(BYTE_BITS * (h.bytes - 1)), true}};
        require(slave.set_data_map(h.direction, items, h.bytes > 1 ? 2 : 1) ==
                VirtualSlave::ConfigResult::Ok);
    }
    require(slave.start());
    require(slave.request_words() == (rx == 1 ? 3 : (rx + 1) / 2 * 2 + 2));
    require(slave.reply_words() == (tx == 1 ? 3 : (tx + 1) / 2 * 2 + 2));
}

// A wide slave's operations 6 and 7.
void wide_operation(VirtualSlave& slave, uint8_t op, Reader& in) {
    if (op == 6) {
        uint32_t value = in.u32();
        auto result = slave.set_application_value(KEY_WIDE_IN, value);
        require((result == VirtualSlave::ConfigResult::Ok) == (value <= 0xFF));
        return;
    }
    VirtualSlave::DataItem item{KEY_WIDE_OUT, BYTE_BITS, false};
    auto result = slave.set_data_map(Direction::Rx, &item, 1);
    // A running slave keeps its maps; a stopped one takes the new map for its next start.
    require((result == VirtualSlave::ConfigResult::Running) == (slave.frame_words() != 0));
    require(result == VirtualSlave::ConfigResult::Running ||
            result == VirtualSlave::ConfigResult::Ok);
}

void custom_map(VirtualSlave& slave, Reader& in) {
    slave.set_map_count(Direction::Rx, in.byte() % 16);
    slave.set_map_count(Direction::Tx, in.byte() % 16);
    unsigned items = in.byte() % 8;
    for (unsigned i = 0; i < items; ++i) {
        uint8_t selector = in.byte();
        Direction direction = selector & 1 ? Direction::Tx : Direction::Rx;
        slave.set_map_item(direction, static_cast<uint16_t>(selector >> 1), in.u32());
    }
}

// A Reset reply is protected with sequence number 1, no seed and connection id 0:
// the master's own codec must accept it.
void check_reset_reply(const VirtualSlave& slave) {
    uint8_t wire[2 * VirtualSlave::WIDE_AREA_WORDS];
    std::size_t length = slave.reply(wire);
    if (length == 0 || wire[0] != RESET_COMMAND) return;
    tarnwick::frame::FrameRecord f;
    tarnwick::frame::clear(f);
    tarnwick::frame::parse(f, wire, length);
    f.control.sequence_number = 1;
    uint16_t calc[tarnwick::frame::MAX_CRC_WORDS];
    require(tarnwick::frame::check_crcs(f, calc));
    require(f.control.connection_id == 0);
}

bool sto(const VirtualSlave& slave) {
    uint8_t b = 0;
    uint16_t size = 0;
    slave.read_object(KEY_STO, &b, 1, &size);
    return b != 0;
}

void check_invariants(const VirtualSlave& slave, bool standard) {
    require(slave.state() <= VirtualSlave::State::Data);
    require(slave.frame_words() <=
            (slave.wide() ? VirtualSlave::WIDE_AREA_WORDS : VirtualSlave::REPLY_AREA_WORDS));
    // Outputs carry process data only in the Data state; elsewhere they are 0.
    uint32_t out = 0;
    if (slave.application_value(KEY_WIDE_OUT, out))
        require(out == 0 || slave.state() == VirtualSlave::State::Data);
    check_reset_reply(slave);
    // With the standard maps the STO flag rides in the process data: it can be set
    // only by an accepted data frame.
    if (standard) require(!sto(slave) || slave.state() == VirtualSlave::State::Data);
    require(sto(slave) == slave.sto_status());
}

// The next object is the first one found counting up from the key.
void check_next_object(uint16_t key) {
    const brisel::fsoe_dict_object* next = brisel::fsoe_dict_next(key);
    uint32_t k = key + 1u;
    while (k < brisel::FSOE_DICT_KEY_SLOTS && !brisel::fsoe_dict_lookup(static_cast<uint16_t>(k)))
        ++k;
    require(next == (k < brisel::FSOE_DICT_KEY_SLOTS
                         ? brisel::fsoe_dict_lookup(static_cast<uint16_t>(k))
                         : nullptr));
}

void change_map(VirtualSlave& slave, Reader& in) {
    uint8_t selector = in.byte();
    uint16_t index = in.byte();
    uint32_t item = in.u32();
    Direction direction = selector % 2 ? Direction::Tx : Direction::Rx;
    if (selector % 4 < 2)
        slave.set_map_count(direction, static_cast<uint16_t>(item));
    else
        slave.set_map_item(direction, index, item);
}

void lock_or_validate(VirtualSlave& slave, uint8_t selector) {
    if (selector % 3 == 0) slave.lock_map(true);
    if (selector % 3 == 1) slave.lock_map(false);
    if (selector % 3 == 2) slave.validate_map();
}

// One operation of the script; returns whether the standard map still holds.
bool run_operation(VirtualSlave& slave, Reader& in, bool standard) {
    uint8_t op = in.byte() % 8;
    if (slave.wide() && (op == 6 || op == 7)) {
        wide_operation(slave, op, in);
        return standard;
    }
    switch (op) {
    case 0: {
        bool wide = slave.wide();
        std::vector<uint8_t> request =
            in.bytes(in.byte() % (wide ? MAX_WIDE_REQUEST_BYTES : MAX_REQUEST_BYTES));
        bool taken = slave.set_request(request.data(), request.size());
        require(taken == (request.size() <= (wide ? VirtualSlave::WIDE_REQUEST_BUFFER_BYTES
                                                  : VirtualSlave::REQUEST_BUFFER_BYTES)));
        slave.process();
        break;
    }
    case 1:
        slave.advance_time(in.u32());
        slave.process();
        break;
    case 2: {
        uint16_t key = in.u16();
        std::vector<uint8_t> buffer(in.byte() % MAX_VALUE_BYTES);
        uint16_t got = 0;
        slave.read_object(key, buffer.data(), buffer.size(), &got);
        require(got <= brisel::FSOE_DICT_STRING_BYTES);
        check_next_object(key);
        break;
    }
    case 3: {
        uint16_t key = in.u16();
        std::vector<uint8_t> value = in.bytes(in.byte() % MAX_VALUE_BYTES);
        slave.write_object(key, value.data(), value.size());
        break;
    }
    case 4:
        slave.stop();
        require(slave.frame_words() == 0 && slave.state() == VirtualSlave::State::Reset);
        break;
    case 5:
        slave.start();
        break;
    case 6:
        // The standard map may have been changed: the STO rule no longer holds.
        change_map(slave, in);
        return false;
    case 7:
        lock_or_validate(slave, in.byte());
        return false;
    }
    return standard;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Reader in(data, size);
    uint8_t map_choice = in.byte();
    bool standard = map_choice < STANDARD_MAPS;
    bool wide = map_choice >= WIDE_MAPS;
    // The default settings hold the module's mock values as after load, so recorded
    // connections replay exactly.
    VirtualSlave::Settings settings;
    settings.safe_data_bytes = standard ? STANDARD_BYTES[map_choice] : 0;
    settings.wide = wide;
    VirtualSlave slave(settings);
    if (standard) {
        require(slave.frame_words() == STANDARD_BYTES[map_choice] + 2);
    } else if (wide) {
        wide_maps(slave, in);
    } else {
        custom_map(slave, in);
        slave.start();
    }
    while (!in.done()) {
        standard = run_operation(slave, in, standard);
        check_invariants(slave, standard);
    }
    slave.stop();
    require(!slave.sto_status() || !standard);
    return 0;
}
