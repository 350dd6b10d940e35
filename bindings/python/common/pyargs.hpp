// Argument checks shared by both extension modules.
//
// The texts are part of the modules' interface: callers match on them, so every
// binding goes through these helpers instead of formatting its own messages.
#pragma once

#include <nanobind/nanobind.h>

#include <cstdint>
#include <cstring>
#include <limits>

namespace fsoe_py {

namespace nb = nanobind;

// Raises the pending Python error as a C++ exception nanobind passes through.
[[noreturn]] inline void raise_pending() {
    throw nb::python_error();
}

// The pending Python error as one normalised exception object with its traceback
// attached; the error indicator is cleared.
inline nb::object take_pending_exception() {
#if PY_VERSION_HEX >= 0x030C0000
    return nb::steal(PyErr_GetRaisedException());
#else
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback) PyException_SetTraceback(value, traceback);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    return nb::steal(value);
#endif
}

// Raises that very exception object, unchanged, with the traceback it carries.
[[noreturn]] inline void raise_exception(nb::handle exception) {
    PyErr_Restore(nb::handle(exception.type()).inc_ref().ptr(), exception.inc_ref().ptr(),
                  PyException_GetTraceback(exception.ptr()));
    raise_pending();
}

// The modules' own classes: the nanobind ones, and those made with Python's own
// machinery at import (the enumerations, the states, the watchdog thread).
inline bool is_own_class(nb::handle type, nb::handle module) {
    if (nb::type_check(type)) return true;
    if (!PyUnicode_Check(module.ptr())) return false;
    const char* name = PyUnicode_AsUTF8(module.ptr());
    if (!name) raise_pending();
    return std::strcmp(name, "tarnwick") == 0 || std::strcmp(name, "virtual_slave.brisel") == 0;
}

// The type's name as CPython reports an extension type: "module.Name" for the
// modules' own classes, tp_name ("bytes", "NoneType") for the others.
inline nb::str type_display_name(PyTypeObject* type) {
    nb::handle t(reinterpret_cast<PyObject*>(type));
    if (!std::strchr(type->tp_name, '.')) {
        nb::object module = nb::getattr(t, "__module__", nb::none());
        nb::object qualname = nb::getattr(t, "__qualname__", nb::none());
        if (is_own_class(t, module) && PyUnicode_Check(qualname.ptr()))
            return nb::str("{}.{}").format(module, qualname);
    }
    return nb::str(type->tp_name);
}

[[noreturn]] inline void raise_arg_type(const char* arg, PyTypeObject* expected, PyObject* got) {
    nb::str expected_name = type_display_name(expected);
    nb::str got_name = type_display_name(Py_TYPE(got));
    PyErr_Format(PyExc_TypeError,
                 "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", arg,
                 expected_name.c_str(), got_name.c_str());
    raise_pending();
}

// Exact-type check: subclasses are refused like any other type.
inline void require_exact(nb::handle obj, PyTypeObject* expected, const char* arg) {
    if (Py_TYPE(obj.ptr()) != expected) raise_arg_type(arg, expected, obj.ptr());
}

// Instance check for the module's own classes (subclasses allowed).
template <typename T> T& require_instance(nb::handle obj, const char* arg) {
    if (!nb::isinstance<T>(obj))
        raise_arg_type(arg, reinterpret_cast<PyTypeObject*>(nb::type<T>().ptr()), obj.ptr());
    return nb::cast<T&>(obj);
}

inline void require_int(nb::handle obj, const char* arg) {
    if (!PyLong_Check(obj.ptr())) raise_arg_type(arg, &PyLong_Type, obj.ptr());
}

template <typename T> struct unsigned_name;
template <> struct unsigned_name<uint8_t> {
    static constexpr const char* value = "uint8_t";
};
template <> struct unsigned_name<uint16_t> {
    static constexpr const char* value = "uint16_t";
};
template <> struct unsigned_name<uint32_t> {
    static constexpr const char* value = "uint32_t";
};
template <> struct unsigned_name<uint64_t> {
    static constexpr const char* value = "uint64_t";
};

[[noreturn]] inline void raise_negative(const char* tname) {
    PyErr_Format(PyExc_OverflowError, "can't convert negative value to %s", tname);
    raise_pending();
}

[[noreturn]] inline void raise_too_large(const char* tname) {
    PyErr_Format(PyExc_OverflowError, "value too large to convert to %s", tname);
    raise_pending();
}

// Converts an integer (or an object with __index__) to an unsigned C type of the
// given width. Non-integers raise the interpreter's own TypeError.
template <typename T> T to_unsigned(nb::handle obj) {
    static_assert(std::is_unsigned_v<T>);
    constexpr const char* tname = unsigned_name<T>::value;
    PyObject* index = PyNumber_Index(obj.ptr());
    if (!index) raise_pending();
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(index, &overflow);
    if (v == -1 && PyErr_Occurred()) {
        Py_DECREF(index);
        raise_pending();
    }
    if (overflow < 0 || (overflow == 0 && v < 0)) {
        Py_DECREF(index);
        raise_negative(tname);
    }
    if (overflow > 0) {
        // Above LLONG_MAX: only a 64-bit target may still hold it.
        unsigned long long u = PyLong_AsUnsignedLongLong(index);
        Py_DECREF(index);
        if (u == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
            PyErr_Clear();
            raise_too_large(tname);
        }
        if (u > std::numeric_limits<T>::max()) raise_too_large(tname);
        return static_cast<T>(u);
    }
    Py_DECREF(index);
    if (static_cast<unsigned long long>(v) > std::numeric_limits<T>::max()) raise_too_large(tname);
    return static_cast<T>(v);
}

inline uint8_t to_u8(nb::handle obj) {
    return to_unsigned<uint8_t>(obj);
}
inline uint16_t to_u16(nb::handle obj) {
    return to_unsigned<uint16_t>(obj);
}
inline uint32_t to_u32(nb::handle obj) {
    return to_unsigned<uint32_t>(obj);
}
inline uint64_t to_u64(nb::handle obj) {
    return to_unsigned<uint64_t>(obj);
}

// An int argument that must be exactly an integer (TypeError naming the argument
// otherwise), then range-checked as an unsigned value.
template <typename T> T int_arg_unsigned(nb::handle obj, const char* arg) {
    require_int(obj, arg);
    return to_unsigned<T>(obj);
}

// Raises IndexError with no message, as the sequence protocol expects.
[[noreturn]] inline void raise_index_error() {
    PyErr_SetNone(PyExc_IndexError);
    raise_pending();
}

} // namespace fsoe_py
