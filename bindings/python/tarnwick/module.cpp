// The tarnwick extension module: each subsystem registers its own names.
#include "tarnwick/binding.hpp"

namespace tarnwick::py {

ModuleState& state() {
    static ModuleState s;
    return s;
}

void def_property(nb::handle cls, const char* name, nb::handle getter, nb::handle setter,
                  const char* doc) {
    // Created once and never released (see ModuleState).
    static PyObject* refuse_delete = nb::cpp_function(
                                         [](nb::handle) -> void {
                                             PyErr_SetString(PyExc_NotImplementedError, "__del__");
                                             raise_pending();
                                         },
                                         nb::arg("self"))
                                         .release()
                                         .ptr();
    nb::object property = nb::module_::import_("builtins").attr("property");
    nb::object setter_or_none = setter.is_valid() ? nb::borrow(setter) : nb::none();
    nb::setattr(cls, name, property(getter, setter_or_none, nb::handle(refuse_delete), doc));
}

void print_line(const char* text) {
    nb::str line(text);
    PyObject* r = PyObject_CallOneArg(state().print, line.ptr());
    if (!r) raise_pending();
    Py_DECREF(r);
}

} // namespace tarnwick::py

NB_MODULE(tarnwick, m) {
    using namespace tarnwick::py;
    ModuleState& s = state();
    s.module = m.ptr();
    s.module_dict = nb::borrow(PyModule_GetDict(m.ptr())).release().ptr();
    s.print = nb::object(nb::module_::import_("builtins").attr("print")).release().ptr();
    m.doc() = "FSoE master connection handler";
    m.attr("__version__") = FSOE_VERSION;
    // Enumerations, state classes and user objects reachable from module globals may
    // outlive nanobind's shutdown check; they are released with the process.
    nb::set_leak_warnings(false);
    init_exceptions(m);
    init_log(m);
    init_frame(m);
    init_sra_crc(m);
    init_watchdog(m);
    init_clock_watchdog(m);
    init_errors(m);
    init_data(m);
    init_records(m);
    init_states(m);
    init_diagnostics(m);
    init_log_bridge(m);
    init_handler(m);
}
