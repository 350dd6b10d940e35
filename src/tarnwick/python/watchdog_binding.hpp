// The Watchdog Python class (a threading.Thread) and its C++ core.
#pragma once

#include "tarnwick/handler/watchdog_core.hpp"
#include "tarnwick/python/binding.hpp"

namespace tarnwick::py {

// The C++ core behind a Watchdog instance (the handler calls it directly).
handler::WatchdogCore& watchdog_core(nb::handle watchdog);

// A timeout in seconds as a double (the interpreter's TypeError for a non-number).
double to_seconds(nb::handle timeout_s);
// Refuses a timeout that is not a finite positive number of seconds.
void check_timeout(double timeout_s);

// The Watchdog class object.
nb::handle watchdog_class();

void init_watchdog(nb::module_& m);

} // namespace tarnwick::py
