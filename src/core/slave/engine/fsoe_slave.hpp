// The whole virtual slave in one context: object dictionary, static map, protocol
// engine and the mock surroundings they read, put together the way init, start and
// stop need them. Every function takes the context first; contexts share nothing.
#pragma once

#include "core/slave/dictionary/fsoe_dict.hpp"
#include "core/slave/dictionary/fsoe_static_map.hpp"
#include "core/slave/engine/fsoe_engine.hpp"

#include <cstdint>

namespace brisel {

// The random source's state before it is seeded.
constexpr uint64_t FSOE_MOCK_RANDOM_START = 1;

// The mock clock, random source and expected SRA CRC: values the caller sets, read
// in place of a real clock and random source. init() keeps them.
struct fsoe_mock {
    uint32_t clock_us;
    uint64_t random_state;
    uint32_t sra_crc;
};

struct fsoe_slave_context {
    fsoe_engine_record engine;
    fsoe_dict_record dict;
    fsoe_static_map map;
    fsoe_mock mock;
};

// Ties the parts of `s` to one another and leaves everything else as it is, so a
// zeroed context is a slave before its first init (with the areas of a 4-byte
// frame). `s` must not move afterwards.
void fsoe_slave_link(fsoe_slave_context& s);

// Every object to its initial value, the map cleared and attached to the
// dictionary, the engine back in Reset with `sources` bound and own address
// `slave_address`. The mock keeps its values.
void fsoe_slave_init(fsoe_slave_context& s, const fsoe_engine_sources& sources,
                     uint16_t slave_address);

// Validates the map. A valid map whose frame fits the engine's areas is locked
// and activates the engine; any other map is unlocked with frame size 0, so the
// engine stays inactive. Returns whether the engine was activated.
bool fsoe_slave_start(fsoe_slave_context& s);

// Deactivates the engine and unlocks the map.
void fsoe_slave_stop(fsoe_slave_context& s);

// Advances the random state and returns it (always below 45678).
uint16_t fsoe_mock_random_u16(fsoe_mock& m);

} // namespace brisel
