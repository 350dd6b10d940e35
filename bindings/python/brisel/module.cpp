// The virtual slave's Python face: module-level functions over one simulated slave,
// a VirtualSlave the module owns.
#include "brisel/binding.hpp"

namespace nb = nanobind;

namespace brisel::py {

namespace {

// The declared upper bound of dictionary keys; no function checks keys against it.
constexpr unsigned MAX_DICT_KEY = 1000;

} // namespace

ModuleState& state() {
    static ModuleState s;
    return s;
}

tarnwick::VirtualSlave& slave() {
    static tarnwick::VirtualSlave s = tarnwick::VirtualSlave::uninitialised();
    return s;
}

nb::object module_global(const char* name) {
    PyObject* value = PyDict_GetItemString(state().module_dict, name);
    if (!value) {
        PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
        raise_pending();
    }
    return nb::borrow(value);
}

void print_line(const char* text) {
    nb::str line(text);
    PyObject* r = PyObject_CallOneArg(state().print, line.ptr());
    if (!r) raise_pending();
    Py_DECREF(r);
}

} // namespace brisel::py

NB_MODULE(brisel, m) {
    using namespace brisel::py;
    ModuleState& s = state();
    s.module_dict = nb::borrow(PyModule_GetDict(m.ptr())).release().ptr();
    s.print = nb::object(nb::module_::import_("builtins").attr("print")).release().ptr();
    m.doc() = "Virtual FSoE slave";
    m.attr("MAX_DICT_KEY") = MAX_DICT_KEY;
    m.attr("VARN_SIZE_FORMAT_BYTES") = tarnwick::VirtualSlave::SIZE_FORMAT_BYTES;
    m.attr("VARN_SIZE_FORMAT_BITS") = tarnwick::VirtualSlave::SIZE_FORMAT_BITS;
    init_function_type(m);
    init_mock(m);
    init_dictionary(m);
    init_static_map(m);
    init_engine(m);
    init_device(m);
    init_network_step(m);
}
