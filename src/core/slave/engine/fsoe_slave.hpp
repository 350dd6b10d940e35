// The whole virtual slave: object dictionary, static map and protocol engine put
// together the way the module's init, start and stop need them.
#pragma once

#include "core/slave/engine/fsoe_engine.hpp"

namespace brisel {

// Every object to its initial value, the map cleared and attached to the
// dictionary, the engine back in Reset with `sources` bound.
void fsoe_slave_init(const fsoe_engine_sources& sources);

// Validates the map. A valid map whose frame fits the engine's areas is locked
// and activates the engine; any other map is unlocked with frame size 0, so the
// engine stays inactive. Returns whether the engine was activated.
bool fsoe_slave_start();

// Deactivates the engine and unlocks the map.
void fsoe_slave_stop();

} // namespace brisel
