#include "tarnwick/binding.hpp"

namespace tarnwick::py {

void raise_running(const char* message) {
    PyErr_SetString(state().running_exception, message);
    raise_pending();
}

void init_exceptions(nb::module_& m) {
    ModuleState& s = state();
    s.tarnwick_exception = PyErr_NewExceptionWithDoc("tarnwick.TarnwickException",
                                                     "Exception of the tarnwick FSoE master.",
                                                     PyExc_Exception, nullptr);
    if (!s.tarnwick_exception) raise_pending();
    s.running_exception = PyErr_NewExceptionWithDoc(
        "tarnwick.TarnwickRunningException",
        "Raised when an operation is refused because the master is running or its maps are locked.",
        s.tarnwick_exception, nullptr);
    if (!s.running_exception) raise_pending();
    m.attr("TarnwickException") = nb::borrow(s.tarnwick_exception);
    m.attr("TarnwickRunningException") = nb::borrow(s.running_exception);
}

} // namespace tarnwick::py
