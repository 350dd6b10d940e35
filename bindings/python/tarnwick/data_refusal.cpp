// The errors of an output value refused while a request is built: its data type
// refused it, or its map entry has too few bits to carry it. The error names the
// item and its value, and the values that would have been accepted. Only the
// failure path comes here, so building the texts may allocate.
#include "tarnwick/data_binding.hpp"

#include <array>

namespace tarnwick::py {

namespace {

nb::object checked(PyObject* result) {
    if (!result) raise_pending();
    return nb::steal(result);
}

// The conversions' own error classes, exactly: a subclass may format its text from
// other fields, and anything else (an interrupt, a value's own exception) is not
// the data type's refusal.
bool is_conversion_error(nb::handle exc) {
    nb::object struct_error = nb::module_::import_("struct").attr("error");
    const std::array<PyObject*, 4> classes = {PyExc_ValueError, PyExc_TypeError,
                                              PyExc_OverflowError, struct_error.ptr()};
    for (PyObject* cls : classes)
        if (reinterpret_cast<PyObject*>(Py_TYPE(exc.ptr())) == cls) return true;
    return false;
}

// ", accepted MIN to MAX" for an integer type; empty for BOOL, FLOAT and a data
// type that is no DataType member.
nb::object type_range(const PyDictionaryItem& it) {
    if (!it.typed || !data::info(it.type).is_integer) return nb::str("");
    const data::TypeInfo& ti = data::info(it.type);
    return checked(PyUnicode_FromFormat(", accepted %lld to %lld",
                                        static_cast<long long>(ti.min_value),
                                        static_cast<long long>(ti.max_value)));
}

// ", accepted MIN to MAX": the values an entry of `bits` bits (1 to 127) carries
// whole. None are listed for FLOAT, whose bit pattern must fit instead.
nb::object width_range(const PyDictionaryItem& it, unsigned bits) {
    if (it.typed && it.type == data::DataType::FLOAT) return nb::str("");
    bool is_signed = it.signed_width() != 0;
    nb::object one = nb::int_(1);
    nb::object magnitude = nb::int_(bits - (is_signed ? 1 : 0));
    nb::object span = checked(PyNumber_Lshift(one.ptr(), magnitude.ptr()));
    nb::object low = is_signed ? checked(PyNumber_Negative(span.ptr())) : nb::int_(0);
    nb::object high = checked(PyNumber_Subtract(span.ptr(), one.ptr()));
    return checked(PyUnicode_FromFormat(", accepted %S to %S", low.ptr(), high.ptr()));
}

// A refusal without a text of its own (an integer out of range) reads as BOOL's does.
nb::object refusal_text(nb::handle exc, const PyDictionaryItem& it) {
    nb::str text(exc);
    if (PyUnicode_GetLength(text.ptr()) != 0) return std::move(text);
    if (!it.typed) return nb::str("Invalid value");
    return checked(PyUnicode_FromFormat("Invalid value for %s type", data::info(it.type).name));
}

void name_item_in(nb::handle exc, const PyDictionaryItem& it, nb::handle value) {
    nb::object text =
        checked(PyUnicode_FromFormat("%U (item %U: %R%U)", refusal_text(exc, it).ptr(),
                                     it.name.ptr(), value.ptr(), type_range(it).ptr()));
    nb::object args = nb::make_tuple(text);
    if (PyObject_SetAttrString(exc.ptr(), "args", args.ptr()) < 0) raise_pending();
}

} // namespace

void raise_naming_item(const PyDictionaryItem& it, nb::handle value) {
    nb::object exc = take_pending_exception();
    try {
        if (is_conversion_error(exc)) name_item_in(exc, it, value);
    } catch (nb::python_error&) {
        // Naming failed (a value whose repr raises): the refusal goes out as it came.
    }
    raise_exception(exc);
}

void raise_too_wide(const PyDictionaryItem& it, nb::handle value, unsigned bits) {
    nb::object text = checked(PyUnicode_FromFormat(
        "Invalid value for its mapped width (item %U: %R does not fit %u %s%U)", it.name.ptr(),
        value.ptr(), bits, bits == 1 ? "bit" : "bits", width_range(it, bits).ptr()));
    PyErr_SetObject(PyExc_ValueError, text.ptr());
    raise_pending();
}

} // namespace tarnwick::py
