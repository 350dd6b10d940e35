// The Watchdog Python class (a threading.Thread) and its C++ core.
#pragma once

#include "tarnwick/binding.hpp"
#include "tarnwick/watchdog_core.hpp"

#include <memory>

namespace tarnwick::py {

// The C++ core behind a Watchdog instance (the handler calls it directly).
// The core outlives the Watchdog object for whoever holds it: a collection pass may
// clear the Watchdog before the handler that commands it.
std::shared_ptr<handler::WatchdogCore> watchdog_core(nb::handle watchdog);

// A timeout in seconds as a double (the interpreter's TypeError for a non-number).
double to_seconds(nb::handle timeout_s);
// Refuses a timeout that is not a finite number of seconds, at least 1 ms.
void check_timeout(double timeout_s);

// The Watchdog class object.
nb::handle watchdog_class();

void init_watchdog(nb::module_& m);

} // namespace tarnwick::py
