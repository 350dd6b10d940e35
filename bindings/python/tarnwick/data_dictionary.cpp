// DictionaryItem, its input / output / input-output classes, and Dictionary.
//
// Items keep whatever value they are given; a value is converted (and may fail)
// only when the master reads or writes it in integer form. The Python methods
// always run the class's own behaviour (so a subclass can call super()); the
// item_* functions used by the maps and the handler go through the Python method
// for a subclass instead, so its overrides are honoured.
#include "tarnwick/data_binding.hpp"

#include <cstring>

namespace tarnwick::py {

namespace {

using data::DataType;

constexpr const char* INPUT_SET_MESSAGE = "Cannot set safe input item ";

// --- small helpers --------------------------------------------------------------------

[[noreturn]] void raise_not_implemented() {
    PyErr_SetNone(PyExc_NotImplementedError);
    raise_pending();
}

nb::object call_method(nb::handle obj, const char* name) {
    PyObject* r = PyObject_CallMethod(obj.ptr(), name, nullptr);
    if (!r) raise_pending();
    return nb::steal(r);
}

nb::object call_method(nb::handle obj, const char* name, nb::handle arg) {
    PyObject* r = PyObject_CallMethodObjArgs(obj.ptr(), nb::str(name).ptr(), arg.ptr(), nullptr);
    if (!r) raise_pending();
    return nb::steal(r);
}

// Keys are 32-bit signed: an int outside that range cannot be a key.
int32_t to_i32(nb::handle key) {
    require_int(key, "key");
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(key.ptr(), &overflow);
    if (v == -1 && PyErr_Occurred()) raise_pending();
    if (overflow != 0 || v < INT32_MIN || v > INT32_MAX) {
        PyErr_SetString(PyExc_OverflowError, "value too large to convert to int32_t");
        raise_pending();
    }
    return static_cast<int32_t>(v);
}

// One of the module's own item classes: their methods cannot have been overridden.
bool is_native_type(PyTypeObject* tp) {
    const DataClasses& c = data_classes();
    return tp == c.item_input || tp == c.item_output || tp == c.item_input_output ||
           tp == c.item_base;
}

// The dictionary's mappings are mutable, so what is found there is checked for an
// initialised instance every time; map entries were checked when they were added.
bool is_native_item(PyObject* obj) {
    return is_native_type(Py_TYPE(obj)) && nb::inst_ready(obj);
}

PyDictionaryItem& cpp_item(nb::handle obj) {
    return *nb::inst_ptr<PyDictionaryItem>(obj);
}

// An int (or None), as the integer form must be.
nb::object require_int_or_none(nb::object result) {
    if (!result.is_none() && !PyLong_CheckExact(result.ptr())) raise_expected("int", result.ptr());
    return result;
}

// --- the class's own behaviour --------------------------------------------------------

nb::object own_get(PyDictionaryItem& it) {
    if (it.kind == ItemKind::BASE) raise_not_implemented();
    return it.value;
}

void own_set(PyDictionaryItem& it, nb::handle value) {
    switch (it.kind) {
    case ItemKind::BASE:
        raise_not_implemented();
    case ItemKind::INPUT: {
        nb::object message = nb::str(INPUT_SET_MESSAGE) + nb::str(it.name);
        PyErr_SetObject(PyExc_PermissionError, message.ptr());
        raise_pending();
    }
    case ItemKind::OUTPUT:
        it.value = nb::borrow(value);
        return;
    case ItemKind::INPUT_OUTPUT:
        it.value_output = nb::borrow(value);
        return;
    }
}

const nb::object& output_value(const PyDictionaryItem& it) {
    return it.kind == ItemKind::OUTPUT ? it.value : it.value_output;
}

nb::object own_read(PyDictionaryItem& it) {
    if (it.kind == ItemKind::BASE || it.kind == ItemKind::INPUT) raise_not_implemented();
    nb::object value = output_value(it); // held: a conversion may run Python code
    if (it.typed) return serialize_object(it.type, value);
    return require_int_or_none(it.data_type.attr("serialize_value")(value));
}

void own_write(PyDictionaryItem& it, nb::handle value) {
    require_int(value, "value");
    if (it.kind == ItemKind::BASE || it.kind == ItemKind::OUTPUT) raise_not_implemented();
    if (it.typed) {
        require_exact(value, &PyLong_Type, "value");
        it.value = unserialize_object(it.type, value);
    } else {
        it.value = it.data_type.attr("unserialize_value")(value);
    }
}

void own_set_fail_safe(PyDictionaryItem& it) {
    if (it.kind == ItemKind::INPUT || it.kind == ItemKind::INPUT_OUTPUT) it.value = it.fail_safe;
}

// --- sent values ------------------------------------------------------------------------

// The integer form of one of the module's own items; exact bool, int and float
// values of a DataType take the C++ table.
data::U128 native_read(PyDictionaryItem& it) {
    uint32_t raw = 0;
    bool output = it.kind == ItemKind::OUTPUT || it.kind == ItemKind::INPUT_OUTPUT;
    if (output && it.typed && serialize_fast(it.type, output_value(it).ptr(), raw))
        return data::U128{raw, 0};
    return u128_from_int(own_read(it));
}

// The integer form a subclass's _read gave, as its 128 bits read back: two's
// complement, so that a negative form is reported as it was given.
nb::object int_from_form(data::U128 form) {
    constexpr unsigned FORM_BITS = 128;
    nb::object v = int_from_u128(form);
    if (static_cast<int64_t>(form.hi) >= 0) return v; // the top bit, the sign, is clear
    nb::object span = nb::steal(PyNumber_Lshift(nb::int_(1).ptr(), nb::int_(FORM_BITS).ptr()));
    if (!span.is_valid()) raise_pending();
    nb::object negative = nb::steal(PyNumber_Subtract(v.ptr(), span.ptr()));
    if (!negative.is_valid()) raise_pending();
    return negative;
}

// --- received values --------------------------------------------------------------------

bool same_natural(PyObject* current, const data::Natural& n) {
    switch (n.kind) {
    case data::Natural::BOOL:
        return current == (n.i ? Py_True : Py_False);
    case data::Natural::INT: {
        if (!PyLong_CheckExact(current)) return false;
        int overflow = 0;
        long long v = PyLong_AsLongLongAndOverflow(current, &overflow);
        return overflow == 0 && v == n.i;
    }
    case data::Natural::REAL: {
        if (!PyFloat_CheckExact(current)) return false;
        double d = PyFloat_AS_DOUBLE(current);
        return std::memcmp(&d, &n.r, sizeof d) == 0; // 0.0 and -0.0 differ
    }
    case data::Natural::BIG:
        break;
    }
    return false;
}

// Stores a received natural value, creating an object only when the value changes.
void store_natural(nb::object& slot, const data::Natural& n) {
    if (slot.is_valid() && same_natural(slot.ptr(), n)) return;
    switch (n.kind) {
    case data::Natural::BOOL:
        slot = nb::borrow(n.i ? Py_True : Py_False);
        return;
    case data::Natural::INT:
        slot = nb::steal(PyLong_FromLongLong(n.i));
        break;
    case data::Natural::BIG:
        slot = nb::steal(PyLong_FromUnsignedLongLong(n.u));
        break;
    case data::Natural::REAL:
        slot = nb::steal(PyFloat_FromDouble(n.r));
        break;
    }
    if (!slot.is_valid()) raise_pending();
}

// --- GC support: items hold arbitrary objects ---------------------------------------

int item_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    if (!nb::inst_ready(self)) return 0;
    PyDictionaryItem& it = cpp_item(self);
    Py_VISIT(it.data_type.ptr());
    Py_VISIT(it.value.ptr());
    Py_VISIT(it.value_output.ptr());
    Py_VISIT(it.fail_safe.ptr());
    return 0;
}

int item_clear(PyObject* self) {
    if (!nb::inst_ready(self)) return 0;
    PyDictionaryItem& it = cpp_item(self);
    it.data_type = nb::none();
    it.typed = false;
    it.value = nb::none();
    it.value_output = nb::none();
    it.fail_safe = nb::none();
    return 0;
}

PyType_Slot item_slots[] = {{Py_tp_traverse, reinterpret_cast<void*>(item_traverse)},
                            {Py_tp_clear, reinterpret_cast<void*>(item_clear)},
                            {0, nullptr}};

int dictionary_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    if (!nb::inst_ready(self)) return 0;
    PyDictionary& d = *nb::inst_ptr<PyDictionary>(self);
    Py_VISIT(d.key_map.ptr());
    Py_VISIT(d.name_map.ptr());
    return 0;
}

int dictionary_clear(PyObject* self) {
    if (!nb::inst_ready(self)) return 0;
    PyDictionary& d = *nb::inst_ptr<PyDictionary>(self);
    d.key_map = nb::dict();
    d.name_map = nb::dict();
    return 0;
}

PyType_Slot dictionary_slots[] = {{Py_tp_traverse, reinterpret_cast<void*>(dictionary_traverse)},
                                  {Py_tp_clear, reinterpret_cast<void*>(dictionary_clear)},
                                  {0, nullptr}};

// --- bindings -------------------------------------------------------------------------

// key and name are checked, in this order, before anything is stored.
template <typename T>
void construct(T* self, ItemKind kind, nb::handle key, nb::handle name, nb::handle data_type) {
    int32_t k = to_i32(key);
    require_exact(name, &PyUnicode_Type, "name");
    new (self) T(kind, k, name, data_type);
}

nb::object initial_value(const PyDictionaryItem& it) {
    if (it.typed) {
        switch (it.type) {
        case DataType::BOOL:
            return nb::borrow(Py_False);
        case DataType::FLOAT:
            return nb::float_(0.0);
        default:
            return nb::int_(0);
        }
    }
    return it.data_type.attr("get_initial_value")();
}

void bind_item_base(nb::module_& m) {
    nb::class_<PyDictionaryItem> cls(m, "DictionaryItem", "Dictionary Item",
                                     nb::type_slots(item_slots));
    cls.def(
        "__init__",
        [](PyDictionaryItem* self, nb::handle key, nb::handle name, nb::handle data_type) {
            construct(self, ItemKind::BASE, key, name, data_type);
        },
        nb::arg("key").none(), nb::arg("name").none(), nb::arg("data_type").none(),
        nb::sig("def __init__(self, key: int, name: str, data_type: DataType) -> None"),
        "An item of the dictionary. The base class holds no value: use DictionaryItemInput, "
        "DictionaryItemOutput or DictionaryItemInputOutput.");
    cls.def_prop_ro(
        "key", [](PyDictionaryItem& it) { return it.key; },
        "Unique integer key that identifies the item");
    cls.def_prop_ro(
        "name", [](PyDictionaryItem& it) { return it.name; }, nb::sig("def name(self) -> str"),
        "Unique string key that identifies the item");
    cls.def_prop_ro(
        "data_type", [](PyDictionaryItem& it) { return it.data_type; },
        nb::sig("def data_type(self) -> DataType"), "Data Type of the item");
    cls.def(
        "get", [](PyDictionaryItem& it) { return own_get(it); },
        nb::sig("def get(self) -> DICTIONARY_VALUE_TYPES"), "Get value of the item");
    cls.def(
        "set", [](PyDictionaryItem& it, nb::handle value) { own_set(it, value); },
        nb::arg("value").none(), nb::sig("def set(self, value: DICTIONARY_VALUE_TYPES) -> None"),
        "Set value of the item");
    cls.def(
        "_read", [](PyDictionaryItem& it) { return own_read(it); },
        "Read value of the item in integer form");
    cls.def(
        "_write", [](PyDictionaryItem& it, nb::handle value) { own_write(it, value); },
        nb::arg("value").none(), "Write value of the item from integer form");
    cls.def(
        "_set_fail_safe", [](PyDictionaryItem& it) { own_set_fail_safe(it); },
        "Set in fail-safe mode.");
    data_classes().item_base = reinterpret_cast<PyTypeObject*>(cls.ptr());
}

void bind_item_classes(nb::module_& m) {
    nb::class_<PyDictionaryItemInput, PyDictionaryItem> input(
        m, "DictionaryItemInput", "Dictionary Item (safe input)", nb::type_slots(item_slots));
    input.def(
        "__init__",
        [](PyDictionaryItemInput* self, nb::handle key, nb::handle name, nb::handle data_type,
           nb::handle fail_safe_value) {
            construct(self, ItemKind::INPUT, key, name, data_type);
            self->value = nb::borrow(fail_safe_value);
            self->fail_safe = nb::borrow(fail_safe_value);
        },
        nb::arg("key").none(), nb::arg("name").none(), nb::arg("data_type").none(),
        nb::arg("fail_safe_value").none(),
        nb::sig("def __init__(self, key: int, name: str, data_type: DataType, "
                "fail_safe_value: DICTIONARY_VALUE_TYPES) -> None"),
        "A safe input, sent by the slave. It starts at `fail_safe_value` and returns to it "
        "whenever the connection is reset.");
    input.def_prop_ro(
        "_value", [](PyDictionaryItem& it) { return it.value; },
        "Value from the latest reply, or the fail-safe value");
    input.def_prop_ro(
        "fail_safe_value", [](PyDictionaryItem& it) { return it.fail_safe; },
        nb::sig("def fail_safe_value(self) -> DICTIONARY_VALUE_TYPES"),
        "Value the input takes while no valid process data arrives");
    data_classes().item_input = reinterpret_cast<PyTypeObject*>(input.ptr());

    nb::class_<PyDictionaryItemOutput, PyDictionaryItem> output(
        m, "DictionaryItemOutput", "Dictionary Item (safe output)", nb::type_slots(item_slots));
    output.def(
        "__init__",
        [](PyDictionaryItemOutput* self, nb::handle key, nb::handle name, nb::handle data_type) {
            construct(self, ItemKind::OUTPUT, key, name, data_type);
            self->value = initial_value(*self);
        },
        nb::arg("key").none(), nb::arg("name").none(), nb::arg("data_type").none(),
        nb::sig("def __init__(self, key: int, name: str, data_type: DataType) -> None"),
        "A safe output, sent by the master. It starts at the data type's initial value.");
    output.def_prop_ro(
        "_value", [](PyDictionaryItem& it) { return it.value; }, "Value the next request carries");
    data_classes().item_output = reinterpret_cast<PyTypeObject*>(output.ptr());

    nb::class_<PyDictionaryItemInputOutput, PyDictionaryItem> io(
        m, "DictionaryItemInputOutput", "Dictionary Item (safe input and output)",
        nb::type_slots(item_slots));
    io.def(
        "__init__",
        [](PyDictionaryItemInputOutput* self, nb::handle key, nb::handle name, nb::handle data_type,
           nb::handle fail_safe_input_value) {
            construct(self, ItemKind::INPUT_OUTPUT, key, name, data_type);
            self->value = nb::borrow(fail_safe_input_value);
            self->fail_safe = nb::borrow(fail_safe_input_value);
            self->value_output = initial_value(*self);
        },
        nb::arg("key").none(), nb::arg("name").none(), nb::arg("data_type").none(),
        nb::arg("fail_safe_input_value").none(),
        nb::sig("def __init__(self, key: int, name: str, data_type: DataType, "
                "fail_safe_input_value: DICTIONARY_VALUE_TYPES) -> None"),
        "A safe input and output under one key: get() reads the slave's side, set() writes "
        "the master's side.");
    io.def_prop_ro(
        "value_input", [](PyDictionaryItem& it) { return it.value; },
        nb::sig("def value_input(self) -> DICTIONARY_VALUE_TYPES"),
        "Value from the latest reply, or the fail-safe input value");
    io.def_prop_ro(
        "value_output", [](PyDictionaryItem& it) { return it.value_output; },
        nb::sig("def value_output(self) -> DICTIONARY_VALUE_TYPES"),
        "Value the next request carries");
    io.def_prop_ro(
        "fail_safe_input_value", [](PyDictionaryItem& it) { return it.fail_safe; },
        nb::sig("def fail_safe_input_value(self) -> DICTIONARY_VALUE_TYPES"),
        "Value the input side takes while no valid process data arrives");
    data_classes().item_input_output = reinterpret_cast<PyTypeObject*>(io.ptr());
}

PyDictionaryItem& require_item(nb::handle obj, const char* arg) {
    return bound_arg<PyDictionaryItem>(obj, data_classes().item_base, arg);
}

nb::handle lookup(const nb::dict& map, nb::handle key) {
    PyObject* item = PyDict_GetItemWithError(map.ptr(), key.ptr());
    if (!item) {
        if (!PyErr_Occurred()) {
            nb::object args = nb::make_tuple(key);
            PyErr_SetObject(PyExc_KeyError, args.ptr());
        }
        raise_pending();
    }
    return item;
}

nb::handle by_name(PyDictionary& d, nb::handle name) {
    require_exact(name, &PyUnicode_Type, "name");
    return lookup(d.name_map, name);
}

nb::handle by_key(PyDictionary& d, nb::handle key) {
    require_int(key, "key");
    return lookup(d.key_map, key);
}

void build_dictionary(PyDictionary* self, nb::handle items) {
    require_exact(items, &PyList_Type, "items");
    nb::dict key_map, name_map;
    nb::list list = nb::borrow<nb::list>(items);
    for (std::size_t i = 0; i < list.size(); ++i) {
        nb::object item = list[i];
        PyDictionaryItem& it = require_item(item, "items");
        nb::int_ key(it.key);
        if (PyDict_Contains(key_map.ptr(), key.ptr()))
            throw nb::value_error(("Duplicated Key " + std::to_string(it.key)).c_str());
        int has_name = PyDict_Contains(name_map.ptr(), it.name.ptr());
        if (has_name < 0) raise_pending();
        if (has_name) {
            nb::object message = nb::str("Duplicated name ") + nb::str(it.name);
            PyErr_SetObject(PyExc_ValueError, message.ptr());
            raise_pending();
        }
        key_map[key] = item;
        name_map[it.name] = item;
    }
    new (self) PyDictionary{std::move(key_map), std::move(name_map)};
}

void bind_dictionary(nb::module_& m) {
    nb::class_<PyDictionary> cls(m, "Dictionary", "Dictionary of safe items of a slave",
                                 nb::type_slots(dictionary_slots));
    cls.def("__init__", &build_dictionary, nb::arg("items").none(),
            nb::sig("def __init__(self, items: list[DictionaryItem]) -> None"),
            "A dictionary of `items`; keys are unique, and so are names.");
    cls.def_prop_ro(
        "key_map", [](PyDictionary& d) { return d.key_map; },
        nb::sig("def key_map(self) -> dict[int, DictionaryItem]"), "The items by key");
    cls.def_prop_ro(
        "name_map", [](PyDictionary& d) { return d.name_map; },
        nb::sig("def name_map(self) -> dict[str, DictionaryItem]"), "The items by name");
    cls.def(
        "set",
        [](PyDictionary& d, nb::handle name, nb::handle value) {
            item_set(by_name(d, name), value);
        },
        nb::arg("name").none(), nb::arg("value").none(),
        nb::sig("def set(self, name: str, value: DICTIONARY_VALUE_TYPES) -> None"),
        "Set value of the item");
    cls.def(
        "get", [](PyDictionary& d, nb::handle name) { return item_get(by_name(d, name)); },
        nb::arg("name").none(), nb::sig("def get(self, name: str) -> DICTIONARY_VALUE_TYPES"),
        "Get value of the item");
    cls.def(
        "_read",
        [](PyDictionary& d, nb::handle key) {
            nb::handle item = by_key(d, key);
            nb::object result =
                is_native_item(item.ptr()) ? own_read(cpp_item(item)) : call_method(item, "_read");
            return require_int_or_none(result);
        },
        nb::arg("key").none(), "Read value of the item in integer form");
    cls.def(
        "_write",
        [](PyDictionary& d, nb::handle key, nb::handle value) {
            nb::handle item = by_key(d, key);
            if (is_native_item(item.ptr()))
                own_write(cpp_item(item), value);
            else
                call_method(item, "_write", value);
        },
        nb::arg("key").none(), nb::arg("value").none(),
        "Write value of the item from integer form");
    cls.def(
        "_set_inputs_to_failsafe", [](PyDictionary& d) { set_inputs_to_failsafe(d); },
        "Set all inputs to fail-safe status");
    data_classes().dictionary = reinterpret_cast<PyTypeObject*>(cls.ptr());
}

} // namespace

PyDictionaryItem::PyDictionaryItem(ItemKind kind_, int32_t key_, nb::handle name_,
                                   nb::handle data_type_)
    : key(key_), name(nb::borrow(name_)), data_type(nb::borrow(data_type_)), typed(false),
      type(DataType::BOOL), kind(kind_), value(nb::none()), value_output(nb::none()),
      fail_safe(nb::none()) {
    typed = data_type_of(data_type_, type);
}

nb::object item_get(nb::handle item) {
    if (is_native_item(item.ptr())) return own_get(cpp_item(item));
    return call_method(item, "get");
}

void item_set(nb::handle item, nb::handle value) {
    if (is_native_item(item.ptr()))
        own_set(cpp_item(item), value);
    else
        call_method(item, "set", value);
}

void item_set_fail_safe(nb::handle item) {
    if (is_native_item(item.ptr()))
        own_set_fail_safe(cpp_item(item));
    else
        call_method(item, "_set_fail_safe");
}

data::U128 item_read(nb::handle item) {
    if (!is_native_type(Py_TYPE(item.ptr()))) return u128_from_int(call_method(item, "_read"));
    PyDictionaryItem& it = cpp_item(item);
    nb::object value = output_value(it); // held for the error: a conversion may run Python code
    try {
        return native_read(it);
    } catch (nb::python_error& e) {
        e.restore();
        raise_naming_item(it, value);
    }
}

void raise_entry_too_wide(nb::handle item, data::U128 form, unsigned bits) {
    PyDictionaryItem& it = cpp_item(item);
    if (is_native_type(Py_TYPE(item.ptr()))) raise_too_wide(it, output_value(it), bits);
    raise_too_wide(it, int_from_form(form), bits);
}

void item_write(nb::handle item, data::U128 value) {
    if (is_native_type(Py_TYPE(item.ptr()))) {
        PyDictionaryItem& it = cpp_item(item);
        bool input = it.kind == ItemKind::INPUT || it.kind == ItemKind::INPUT_OUTPUT;
        if (input && it.typed && value.hi == 0) {
            data::Natural n;
            if (data::unserialize(it.type, value.lo, n) == data::Status::OK) {
                store_natural(it.value, n);
                return;
            }
        }
        own_write(it, int_from_u128(value)); // the plain rule, with its errors
        return;
    }
    call_method(item, "_write", int_from_u128(value));
}

void set_inputs_to_failsafe(PyDictionary& dictionary) {
    nb::dict map = dictionary.key_map; // held: an override may replace nothing we iterate
    Py_ssize_t pos = 0;
    PyObject* key;
    PyObject* item;
    while (PyDict_Next(map.ptr(), &pos, &key, &item)) {
        if (is_native_item(item)) {
            own_set_fail_safe(cpp_item(item));
        } else {
            nb::object held = nb::borrow(item);
            item_set_fail_safe(held);
        }
    }
}

void init_dictionary(nb::module_& m) {
    bind_item_base(m);
    bind_item_classes(m);
    bind_dictionary(m);
}

} // namespace tarnwick::py
