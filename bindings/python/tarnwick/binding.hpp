// Shared pieces of the tarnwick binding: the per-subsystem init functions, the
// module-wide cached objects and small helpers for building Python-visible types.
#pragma once

#include <utility>

#include "common/pyargs.hpp"

#include <nanobind/nanobind.h>

namespace tarnwick::py {

namespace nb = nanobind;
using namespace fsoe_py;

// Objects created at module init and kept for the life of the process. They are
// strong references that are deliberately never released: the module is never
// unloaded, and releasing them after interpreter shutdown would crash.
struct ModuleState {
    PyObject* module = nullptr;
    PyObject* module_dict = nullptr;
    PyObject* tarnwick_exception = nullptr;
    PyObject* running_exception = nullptr;
    PyObject* print = nullptr;
};
ModuleState& state();

// Raises TarnwickRunningException with `message`.
[[noreturn]] void raise_running(const char* message);

// A property whose deletion raises NotImplementedError (as for every property of
// the module); setter may be none for a read-only property.
void def_property(nb::handle cls, const char* name, nb::handle getter, nb::handle setter,
                  const char* doc);

// A property setter that receives any value, None included, so that its own checks
// (not the binding layer's) decide what is refused and with which message.
template <typename F> nb::object setter(F&& f) {
    return nb::cpp_function(std::forward<F>(f), nb::arg("self"), nb::arg("value").none());
}

// Python truth value of obj; raises what its __bool__ raises.
inline bool truthy(nb::handle obj) {
    int t = PyObject_IsTrue(obj.ptr());
    if (t < 0) raise_pending();
    return t == 1;
}

// Calls Python's print with one line of text.
void print_line(const char* text);

void init_exceptions(nb::module_& m);
void init_log(nb::module_& m);
void init_frame(nb::module_& m);
void init_sra_crc(nb::module_& m);
void init_watchdog(nb::module_& m);
void init_clock_watchdog(nb::module_& m);
void init_errors(nb::module_& m);
void init_data(nb::module_& m);
void init_records(nb::module_& m);
void init_states(nb::module_& m);
void init_handler(nb::module_& m);
void init_diagnostics(nb::module_& m);
void init_log_bridge(nb::module_& m);

} // namespace tarnwick::py
