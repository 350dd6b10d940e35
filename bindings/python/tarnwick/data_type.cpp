// DataType, DICTIONARY_VALUE_TYPES and the conversions between natural values and
// frame patterns. Exact bool, int and float take the C++ table; any other object
// follows the same rules through the interpreter's own comparisons and arithmetic,
// so the errors are those of the plain rule.
#include "tarnwick/data_binding.hpp"

#include <array>

namespace tarnwick::py {

namespace {

using data::DataType;
using data::Status;

constexpr std::array<const char*, data::DATA_TYPE_COUNT> MEMBER_NAMES = {
    "BOOL", "FLOAT", "UINT8", "INT8", "UINT16", "INT16", "UINT32", "INT32"};

// Objects kept for the life of the process (never released, see ModuleState).
std::array<PyObject*, data::DATA_TYPE_COUNT> members{};
std::array<PyObject*, data::DATA_TYPE_COUNT> min_objects{};
std::array<PyObject*, data::DATA_TYPE_COUNT> max_objects{};
std::array<PyObject*, data::DATA_TYPE_COUNT> span_objects{};     // 1 << bits
std::array<PyObject*, data::DATA_TYPE_COUNT> sign_bit_objects{}; // 1 << (bits - 1)
PyObject* zero = nullptr;
PyObject* one = nullptr;
PyObject* sixty_four = nullptr;
PyObject* struct_error = nullptr; // the float packing's own exception class

constexpr unsigned index_of(DataType t) {
    return static_cast<unsigned>(t) - 1;
}

nb::object checked(PyObject* result) {
    if (!result) raise_pending();
    return nb::steal(result);
}

bool compare(PyObject* a, PyObject* b, int op) {
    int r = PyObject_RichCompareBool(a, b, op);
    if (r < 0) raise_pending();
    return r != 0;
}

[[noreturn]] void raise_none(PyObject* type) {
    PyErr_SetNone(type);
    raise_pending();
}

// The packing reports an int it cannot convert as its own error, a real as OverflowError.
[[noreturn]] void raise_float_overflow(PyObject* value) {
    if (PyLong_Check(value))
        PyErr_SetString(struct_error, "int too large to convert");
    else
        PyErr_SetString(PyExc_OverflowError, "float too large to pack with f format");
    raise_pending();
}

[[noreturn]] void raise_status(Status st, PyObject* value) {
    switch (st) {
    case Status::INVALID_BOOL: // raised as a Python error, so a map can name the item in it
        PyErr_SetString(PyExc_ValueError, "Invalid value for BOOL type");
        raise_pending();
    case Status::OUT_OF_RANGE:
        raise_none(PyExc_ValueError);
    case Status::NOT_INTEGER:
        raise_expected("int", value); // the result keeps the value's type
    case Status::FLOAT_OVERFLOW:
        raise_float_overflow(value);
    case Status::TOO_BIG:
    case Status::OK:
        break;
    }
    PyErr_SetString(PyExc_OverflowError, "int too big to convert");
    raise_pending();
}

nb::object natural_object(const data::Natural& n) {
    switch (n.kind) {
    case data::Natural::BOOL:
        return nb::borrow(n.i ? Py_True : Py_False);
    case data::Natural::INT:
        return checked(PyLong_FromLongLong(n.i));
    case data::Natural::BIG:
        return checked(PyLong_FromUnsignedLongLong(n.u));
    case data::Natural::REAL:
        break;
    }
    return checked(PyFloat_FromDouble(n.r));
}

nb::object serialize_general(DataType t, nb::handle value) {
    PyObject* v = value.ptr();
    const data::TypeInfo& ti = data::info(t);
    unsigned i = index_of(t);
    if (t == DataType::FLOAT) {
        double x = PyFloat_AsDouble(v);
        if (x == -1.0 && PyErr_Occurred()) {
            PyErr_SetString(struct_error, "required argument is not a float");
            raise_pending();
        }
        uint32_t raw = 0;
        if (data::pack_single(x, raw) != Status::OK) raise_float_overflow(v);
        return checked(PyLong_FromUnsignedLong(raw));
    }
    if (t == DataType::BOOL) {
        if (compare(v, Py_True, Py_EQ) || compare(v, one, Py_EQ)) return nb::borrow(one);
        if (compare(v, Py_False, Py_EQ) || compare(v, zero, Py_EQ)) return nb::borrow(zero);
        raise_status(Status::INVALID_BOOL, v);
    }
    if (compare(v, min_objects[i], Py_LT)) raise_none(PyExc_ValueError);
    if (compare(v, max_objects[i], Py_GT)) raise_none(PyExc_ValueError);
    nb::object result = nb::borrow(value);
    if (ti.is_signed && compare(v, zero, Py_LT)) result = checked(PyNumber_Add(v, span_objects[i]));
    if (!result.is_none() && !PyLong_CheckExact(result.ptr())) raise_expected("int", result.ptr());
    return result;
}

// An int outside [0, 2^64): the plain rule in interpreter arithmetic.
nb::object unserialize_general(DataType t, nb::handle value, bool negative) {
    PyObject* v = value.ptr();
    unsigned i = index_of(t);
    if (t == DataType::BOOL) {
        int truth = PyObject_IsTrue(v);
        if (truth < 0) raise_pending();
        return nb::borrow(truth ? Py_True : Py_False);
    }
    if (t == DataType::FLOAT) {
        PyErr_SetString(PyExc_OverflowError, negative ? "can't convert negative int to unsigned"
                                                      : "int too big to convert");
        raise_pending();
    }
    if (data::info(t).is_signed) {
        nb::object sign = checked(PyNumber_And(v, sign_bit_objects[i]));
        int set = PyObject_IsTrue(sign.ptr());
        if (set < 0) raise_pending();
        if (set) return checked(PyNumber_Subtract(v, span_objects[i]));
    }
    return nb::borrow(value);
}

nb::object natural_of(DataType t, uint64_t raw) {
    data::Natural n;
    Status st = data::unserialize(t, raw, n);
    if (st != Status::OK) raise_status(st, nullptr);
    return natural_object(n);
}

// --- The DataType enumeration -------------------------------------------------------

DataType self_type(nb::handle self) {
    DataType t;
    if (!data_type_of(self, t))
        raise_arg_type("self", reinterpret_cast<PyTypeObject*>(data_classes().data_type),
                       self.ptr());
    return t;
}

nb::object limit(nb::handle self, bool upper) {
    DataType t = self_type(self);
    if (!data::info(t).is_integer) raise_none(PyExc_NotImplementedError);
    const data::TypeInfo& ti = data::info(t);
    return checked(PyLong_FromLongLong(upper ? ti.max_value : ti.min_value));
}

void def_cached_property(nb::handle cls, const char* name, nb::object getter, const char* doc) {
    nb::object cached_property = nb::module_::import_("functools").attr("cached_property");
    nb::object prop = cached_property(getter);
    prop.attr("__doc__") = doc; // without the getter's signature line
    nb::setattr(cls, name, prop);
    // Attached after class creation, so the owner and name are given by hand.
    prop.attr("__set_name__")(cls, name);
}

void def_properties(nb::handle cls) {
    def_cached_property(
        cls, "bits",
        nb::cpp_function([](nb::handle self) { return data::info(self_type(self)).bits; },
                         nb::arg("self").none(), nb::name("bits")),
        "Number of bits of a value of this type");
    def_cached_property(
        cls, "bytes",
        nb::cpp_function([](nb::handle self) { return data::bytes_of(self_type(self)); },
                         nb::arg("self").none(), nb::name("bytes")),
        "Number of bytes a value of this type occupies");
    def_cached_property(
        cls, "is_integer",
        nb::cpp_function([](nb::handle self) { return data::info(self_type(self)).is_integer; },
                         nb::arg("self").none(), nb::name("is_integer")),
        "True for the integer types (UINT8 to INT32)");
    def_cached_property(
        cls, "is_signed",
        nb::cpp_function([](nb::handle self) { return data::info(self_type(self)).is_signed; },
                         nb::arg("self").none(), nb::name("is_signed")),
        "True for the signed integer types");
    def_cached_property(cls, "max_value",
                        nb::cpp_function([](nb::handle self) { return limit(self, true); },
                                         nb::arg("self").none(), nb::name("max_value")),
                        "Largest value of an integer type; NotImplementedError for BOOL and "
                        "FLOAT");
    def_cached_property(cls, "min_value",
                        nb::cpp_function([](nb::handle self) { return limit(self, false); },
                                         nb::arg("self").none(), nb::name("min_value")),
                        "Smallest value of an integer type; NotImplementedError for BOOL and "
                        "FLOAT");
}

void def_method(nb::handle cls, const char* name, nb::object fn) {
    nb::setattr(cls, name, fn);
}

void def_methods(nb::handle cls) {
    def_method(cls, "get_initial_value",
               nb::cpp_function(
                   [](nb::handle self) -> nb::object {
                       switch (self_type(self)) {
                       case DataType::BOOL:
                           return nb::borrow(Py_False);
                       case DataType::FLOAT:
                           return checked(PyFloat_FromDouble(0.0));
                       default:
                           return nb::borrow(zero);
                       }
                   },
                   nb::is_method(), nb::scope(cls), nb::name("get_initial_value"),
                   nb::sig("def get_initial_value(self) -> DICTIONARY_VALUE_TYPES"),
                   "Initial value of an item of this type"));
    def_method(
        cls, "serialize_value",
        nb::cpp_function([](nb::handle self,
                            nb::handle value) { return serialize_object(self_type(self), value); },
                         nb::is_method(), nb::scope(cls), nb::name("serialize_value"),
                         nb::arg("value").none(),
                         nb::sig("def serialize_value(self, value: DICTIONARY_VALUE_TYPES) -> int"),
                         "Convert a natural value to the unsigned bit pattern of a frame"));
    def_method(cls, "unserialize_value",
               nb::cpp_function(
                   [](nb::handle self, nb::handle value) {
                       DataType t = self_type(self);
                       require_exact(value, &PyLong_Type, "value");
                       return unserialize_object(t, value);
                   },
                   nb::is_method(), nb::scope(cls), nb::name("unserialize_value"),
                   nb::arg("value").none(),
                   nb::sig("def unserialize_value(self, value: int) -> DICTIONARY_VALUE_TYPES"),
                   "Convert the unsigned bit pattern of a frame to a natural value"));
}

PyObject* leak_int(long long v) {
    PyObject* o = PyLong_FromLongLong(v);
    if (!o) raise_pending();
    return o;
}

void init_constants() {
    zero = leak_int(0);
    one = leak_int(1);
    sixty_four = leak_int(64);
    for (unsigned i = 0; i < data::DATA_TYPE_COUNT; ++i) {
        const data::TypeInfo& ti = data::TYPE_TABLE[i];
        min_objects[i] = leak_int(ti.min_value);
        max_objects[i] = leak_int(ti.max_value);
        span_objects[i] = leak_int(1LL << ti.bits);
        sign_bit_objects[i] = leak_int(1LL << (ti.bits - 1));
    }
    struct_error = nb::object(nb::module_::import_("struct").attr("error")).release().ptr();
}

} // namespace

DataClasses& data_classes() {
    static DataClasses classes;
    return classes;
}

void raise_expected(const char* expected, PyObject* got) {
    PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", expected, Py_TYPE(got)->tp_name);
    raise_pending();
}

PyObject* data_type_member(DataType t) {
    return members[index_of(t)];
}

bool data_type_of(nb::handle obj, DataType& out) {
    for (unsigned i = 0; i < data::DATA_TYPE_COUNT; ++i) {
        if (obj.ptr() == members[i]) {
            out = static_cast<DataType>(i + 1);
            return true;
        }
    }
    return false;
}

bool serialize_fast(DataType t, PyObject* v, uint32_t& raw) {
    Status st;
    if (PyBool_Check(v)) {
        // An integer type would return the bool itself, which is no int.
        if (data::info(t).is_integer) raise_expected("int", v);
        st = data::serialize_integer(t, v == Py_True ? 1 : 0, raw);
    } else if (PyLong_CheckExact(v)) {
        int overflow = 0;
        long long i = PyLong_AsLongLongAndOverflow(v, &overflow);
        if (overflow) {
            if (t == DataType::FLOAT) return false; // a huge int is packed as a real
            st = t == DataType::BOOL ? Status::INVALID_BOOL : Status::OUT_OF_RANGE;
        } else {
            st = data::serialize_integer(t, i, raw);
        }
    } else if (PyFloat_CheckExact(v)) {
        st = data::serialize_real(t, PyFloat_AS_DOUBLE(v), raw);
    } else {
        return false;
    }
    if (st != Status::OK) raise_status(st, v);
    return true;
}

nb::object serialize_object(DataType t, nb::handle value) {
    uint32_t raw = 0;
    if (serialize_fast(t, value.ptr(), raw)) return checked(PyLong_FromUnsignedLong(raw));
    return serialize_general(t, value);
}

uint32_t serialize_u32(DataType t, nb::handle value) {
    uint32_t raw = 0;
    if (serialize_fast(t, value.ptr(), raw)) return raw;
    return to_u32(serialize_object(t, value));
}

nb::object unserialize_object(DataType t, nb::handle value) {
    PyObject* v = value.ptr();
    int overflow = 0;
    long long s = PyLong_AsLongLongAndOverflow(v, &overflow);
    if (s == -1 && PyErr_Occurred()) raise_pending();
    if (overflow == 0 && s >= 0) return natural_of(t, static_cast<uint64_t>(s));
    if (overflow > 0) {
        unsigned long long u = PyLong_AsUnsignedLongLong(v);
        if (!(u == static_cast<unsigned long long>(-1) && PyErr_Occurred()))
            return natural_of(t, u);
        PyErr_Clear();
        return unserialize_general(t, value, false);
    }
    return unserialize_general(t, value, true);
}

nb::object unserialize_raw(DataType t, uint32_t raw) {
    return natural_of(t, raw);
}

nb::object int_from_u128(data::U128 v) {
    nb::object lo = checked(PyLong_FromUnsignedLongLong(v.lo));
    if (v.hi == 0) return lo;
    nb::object hi = checked(PyLong_FromUnsignedLongLong(v.hi));
    nb::object shifted = checked(PyNumber_Lshift(hi.ptr(), sixty_four));
    return checked(PyNumber_Or(shifted.ptr(), lo.ptr()));
}

data::U128 u128_from_int(nb::handle value) {
    PyObject* v = value.ptr();
    if (!PyLong_Check(v)) raise_expected("int", v);
    data::U128 out;
    out.lo = PyLong_AsUnsignedLongLongMask(v);
    if (out.lo == ~uint64_t{0} && PyErr_Occurred()) raise_pending();
    int overflow = 0;
    long long s = PyLong_AsLongLongAndOverflow(v, &overflow);
    if (overflow == 0) {
        out.hi = s < 0 ? ~uint64_t{0} : 0; // sign extension
        return out;
    }
    nb::object high = checked(PyNumber_Rshift(v, sixty_four));
    out.hi = PyLong_AsUnsignedLongLongMask(high.ptr());
    if (out.hi == ~uint64_t{0} && PyErr_Occurred()) raise_pending();
    return out;
}

void init_data_type(nb::module_& m) {
    init_constants();
    nb::list pairs;
    for (unsigned i = 0; i < data::DATA_TYPE_COUNT; ++i)
        pairs.append(nb::make_tuple(MEMBER_NAMES[i], i + 1));
    nb::object enum_cls = nb::module_::import_("enum").attr("Enum");
    nb::object cls = enum_cls("DataType", pairs, nb::arg("module") = "tarnwick",
                              nb::arg("qualname") = "DataType");
    cls.attr("__doc__") = "Type of dictionary item";
    for (unsigned i = 0; i < data::DATA_TYPE_COUNT; ++i)
        members[i] = nb::object(cls.attr(MEMBER_NAMES[i])).release().ptr();
    data_classes().data_type = nb::object(cls).release().ptr();
    def_properties(cls);
    def_methods(cls);
    m.attr("DataType") = cls;

    nb::object union_ = nb::module_::import_("typing").attr("Union");
    m.attr("DICTIONARY_VALUE_TYPES") =
        union_[nb::make_tuple(nb::handle(reinterpret_cast<PyObject*>(&PyFloat_Type)),
                              nb::handle(reinterpret_cast<PyObject*>(&PyLong_Type)),
                              nb::handle(reinterpret_cast<PyObject*>(&PyBool_Type)))];
}

void init_data(nb::module_& m) {
    init_data_type(m);
    init_dictionary(m);
    init_dictionary_map(m);
    init_dynamic_map(m);
}

} // namespace tarnwick::py
