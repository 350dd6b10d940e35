// Shared pieces of the brisel binding: the module's slave, module-wide cached
// objects, argument conversions and the per-concern init functions.
#pragma once

#include "common/pyargs.hpp"
#include "tarnwick/virtual_slave.hpp"

#include <nanobind/nanobind.h>

#include <initializer_list>
#include <utility>

namespace brisel::py {

namespace nb = nanobind;
using namespace fsoe_py;

// Objects created at module init and kept for the life of the process. They are
// strong references that are deliberately never released: the module is never
// unloaded, and releasing them after interpreter shutdown would crash.
struct ModuleState {
    PyObject* module_dict = nullptr;
    PyObject* print = nullptr;
    PyObject* function_type = nullptr;
    // The module's own get_frame_size_words, so get_reply can tell whether the
    // global name still refers to it.
    PyObject* get_frame_size_words = nullptr;
    PyObject* get_frame_size_words_name = nullptr; // interned: looked up every cycle
};
ModuleState& state();

// The slave the module functions drive, as the module holds it from load on.
tarnwick::VirtualSlave& slave();

// The module global `name`, looked up at call time; NameError if it is gone.
nb::object module_global(const char* name);

// Calls Python's print with one line of text.
void print_line(const char* text);

// Unsigned arguments declared with a C width: objects with __index__ convert,
// others raise TypeError "an integer is required"; the range checks are pyargs'.
template <typename T> T c_unsigned(nb::handle obj) {
    if (!PyIndex_Check(obj.ptr())) {
        PyErr_SetString(PyExc_TypeError, "an integer is required");
        raise_pending();
    }
    return to_unsigned<T>(obj);
}

// An argument typed `int`: exactly an int (bool and other subclasses refused).
inline void require_int_exact(nb::handle obj, const char* arg) {
    require_exact(obj, &PyLong_Type, arg);
}

// One entry of a function's __annotations__: parameter (or "return") and its type.
struct Annotation {
    const char* name;
    const char* type;
};

// Wraps the nanobind function `impl` into a module function that also carries
// string __annotations__ (nanobind functions have no attribute dictionary).
nb::object make_function(nb::handle impl, const char* name, const char* doc,
                         std::initializer_list<Annotation> annotations);

// Defines module function `name`. Parameters are nb::handle, each named with
// nb::arg(...).none() so the function checks types itself, with exact messages.
template <typename Func, typename... Extra>
nb::object def(nb::module_& m, const char* name, Func&& f, const char* doc,
               std::initializer_list<Annotation> annotations, const Extra&... extra) {
    nb::object impl =
        nb::cpp_function(std::forward<Func>(f), nb::name(name), nb::scope(m), extra...);
    nb::object fn = make_function(impl, name, doc, annotations);
    m.attr(name) = fn;
    return fn;
}

void init_function_type(nb::module_& m);
void init_mock(nb::module_& m);
void init_dictionary(nb::module_& m);
void init_static_map(nb::module_& m);
void init_engine(nb::module_& m);
void init_device(nb::module_& m);
void init_network_step(nb::module_& m);

// The FSOEState member of `state`.
nb::object state_member(tarnwick::VirtualSlave::State state);

} // namespace brisel::py
