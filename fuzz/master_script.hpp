// The operation script fuzz_master reads, shared with fuzz_master_seeds, which writes
// its seed corpus from real exchanges.
//
// Input: a shape byte (frame sizes and parameters, from SHAPES), the watchdog time in
// ms (2 bytes, 0 read as 1) and a session-id seed byte; then operations, each an
// opcode byte (taken modulo OP_COUNT) and its arguments. Missing bytes read as 0.
//   REPLY     length byte (mod MAX_REPLY), that many bytes: set_reply
//   ANSWER    command byte, input byte, mutation byte: the scripted slave's answer,
//             protected by valid CRCs, with the expected command (0) or
//             COMMANDS[command - 1], then bit (mutation - 1) flipped unless it is 0
//   TIME      4 bytes little-endian added to the clock, then poll
//   RESET, STOP, START, EXPIRE (on_watchdog_expired), REPEAT (the last reply again)
//   FAIL_SAFE byte: set_fail_safe(bit 0)     OUTPUT byte: written to output byte 0
//   ACT       byte: the next report runs reset() (even) or stop() (odd) from inside
#pragma once

#include "tarnwick/master.hpp"

#include <cstddef>
#include <cstdint>

namespace fuzz_master {

enum Op : uint8_t {
    REPLY,
    ANSWER,
    TIME,
    RESET,
    STOP,
    START,
    EXPIRE,
    REPEAT,
    FAIL_SAFE,
    OUTPUT,
    ACT,
    OP_COUNT,
};

// Replies up to 39 bytes: past the 36 a frame may take, so refusals are reached too.
constexpr unsigned MAX_REPLY = 40;
// Not 0 and not all-zero: an input dropped to fail-safe is told apart from a zero one.
constexpr uint8_t FAIL_SAFE_BYTE = 0xA5;
constexpr uint16_t CONNECTION_ID = 0x0101;

// Every command and a byte that is none: a slave's answer may carry any of them.
constexpr uint16_t COMMANDS[] = {0x2A, 0x4E, 0x64, 0x52, 0x36, 0x08, 0x77};
constexpr unsigned COMMAND_COUNT = sizeof COMMANDS / sizeof COMMANDS[0];

struct Shape {
    unsigned output_bytes;
    unsigned input_bytes;
    unsigned parameters;
};
// The common sizes, unequal ones (the smaller carries the connection data), 16 bytes
// and the most parameters a master takes.
constexpr Shape SHAPES[] = {{1, 1, 1}, {2, 2, 2}, {2, 4, 0}, {4, 2, 3}, {16, 16, 1}, {6, 6, 47}};
constexpr unsigned SHAPE_COUNT = sizeof SHAPES / sizeof SHAPES[0];

// Runs reset() (act 0) or stop() (act 1) from inside the next report, as ACT asks.
struct ActOnReport : tarnwick::MasterListener {
    int act = -1; // none
    tarnwick::Micros now = 0;

    void on_error(tarnwick::Master& m, tarnwick::Transition, const char*) override {
        int a = act;
        act = -1;
        if (a == 0) m.reset(now);
        if (a == 1) m.stop(now);
    }
};

inline tarnwick::MasterConfig config_for(uint8_t shape, uint16_t watchdog_ms, uint8_t seed) {
    const Shape& s = SHAPES[shape % SHAPE_COUNT];
    tarnwick::MasterConfig c;
    c.slave_address = 0x0007;
    c.connection_id = CONNECTION_ID;
    c.watchdog_ms = watchdog_ms == 0 ? 1 : watchdog_ms;
    c.output_bytes = s.output_bytes;
    c.input_bytes = s.input_bytes;
    c.session_id_seed = seed;
    c.fail_safe_inputs.fill(FAIL_SAFE_BYTE);
    for (unsigned i = 0; i < s.parameters; ++i)
        c.parameters.push_back({0x01020304u * (i + 1), 4, {}});
    return c;
}

} // namespace fuzz_master
