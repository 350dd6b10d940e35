// The virtual slave's parts tied together, and its mock random source.
#include "core/slave/engine/fsoe_slave.hpp"

namespace brisel {

namespace {

// Linear congruential step; the product wraps modulo 2^64 before the addition.
constexpr uint64_t RANDOM_MULTIPLIER = 75241467858ull;
constexpr uint64_t RANDOM_INCREMENT = 12345;
constexpr uint64_t RANDOM_MODULUS = 45678;

} // namespace

void fsoe_slave_link(fsoe_slave_context& s) {
    fsoe_dict_link(s.dict, &s.engine, &s.map);
    if (fsoe_engine_area_words(s.engine) == 0) fsoe_engine_set_wide(s.engine, false);
}

void fsoe_slave_init(fsoe_slave_context& s, const fsoe_engine_sources& sources,
                     uint16_t slave_address) {
    fsoe_dict_init(s.dict);
    fsoe_static_map_init(s.map, &fsoe_dict_interface(), &s.dict);
    fsoe_engine_init(s.engine, sources, slave_address);
}

bool fsoe_slave_start(fsoe_slave_context& s) {
    // A frame above the request and reply areas cannot be exchanged at all.
    if (!fsoe_static_map_validate(s.map) ||
        fsoe_static_map_frame_size(s.map) > fsoe_engine_area_words(s.engine)) {
        fsoe_static_map_unlock(s.map);
        return false;
    }
    fsoe_static_map_lock(s.map);
    fsoe_engine_start(s.engine, fsoe_static_map_frame_size(s.map),
                      &fsoe_static_map_process_data_ops(), &s.map);
    return true;
}

void fsoe_slave_stop(fsoe_slave_context& s) {
    fsoe_engine_stop(s.engine);
    fsoe_static_map_unlock(s.map);
}

uint16_t fsoe_mock_random_u16(fsoe_mock& m) {
    m.random_state = (m.random_state * RANDOM_MULTIPLIER + RANDOM_INCREMENT) % RANDOM_MODULUS;
    return static_cast<uint16_t>(m.random_state);
}

} // namespace brisel
