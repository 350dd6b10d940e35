// DynamicMappableItem and FSOEDynamicMap: values that travel a few bytes per frame
// (session id, connection data, parameters) before process data flows. The queue
// itself is plain C++ (data/dynamic_queue.hpp) and moves bytes of the items' raw
// values in place.
#include "tarnwick/data_binding.hpp"
#include "tarnwick/dynamic_map.hpp"
#include "tarnwick/frame_binding.hpp"

#include <array>

namespace tarnwick::py {

namespace {

constexpr const char* FULL_MESSAGE = "Could not add item to map";
constexpr const char* TOO_WIDE_MESSAGE = "Cannot handle more than 4 bytes";
constexpr unsigned MAX_NATIVE_TYPES = 8;

PyTypeObject* frame_type = nullptr;
PyTypeObject* map_type = nullptr;
// DynamicMappableItem and the subclasses that keep its get() and value.
std::array<PyTypeObject*, MAX_NATIVE_TYPES> native_types{};
unsigned native_type_count = 0;

PyTypeObject* item_type() {
    return data_classes().dynamic_item;
}

bool is_native_type(PyTypeObject* tp) {
    for (unsigned i = 0; i < native_type_count; ++i)
        if (native_types[i] == tp) return true;
    return false;
}

// An initialised item whose get() and value are the base ones.
bool is_native(PyObject* obj) {
    return is_native_type(Py_TYPE(obj)) && nb::inst_ready(obj);
}

PyDynamicItem& dynamic_item(nb::handle obj, const char* arg) {
    return bound_arg<PyDynamicItem>(obj, item_type(), arg);
}

frame::FrameRecord& frame_arg(nb::handle obj) {
    return bound_arg<PyFrame>(obj, frame_type, "frame").r();
}

nb::object call_method(nb::handle obj, const char* name, PyObject* arg = nullptr) {
    nb::str method(name);
    PyObject* r = arg ? PyObject_CallMethodObjArgs(obj.ptr(), method.ptr(), arg, nullptr)
                      : PyObject_CallMethodObjArgs(obj.ptr(), method.ptr(), nullptr);
    if (!r) raise_pending();
    return nb::steal(r);
}

nb::object value_of(nb::handle item) {
    dynamic_item(item, "self");
    if (is_native(item.ptr())) return nb::inst_ptr<PyDynamicItem>(item)->get();
    return call_method(item, "get");
}

// _items[i] of a list (None counts as empty); IndexError outside it, negative i included.
nb::object list_item(const nb::object& list, Py_ssize_t i) {
    if (list.is_none() || i < 0 || i >= PyList_GET_SIZE(list.ptr()))
        throw nb::index_error("list index out of range");
    return nb::borrow(PyList_GET_ITEM(list.ptr(), i));
}

bool compare_objects(PyObject* a, PyObject* b, int op) {
    int r = PyObject_RichCompareBool(a, b, op);
    if (r < 0) raise_pending();
    return r != 0;
}

bool same_value(nb::handle a, nb::handle b) {
    if (is_native(a.ptr()) && is_native(b.ptr())) {
        const PyDynamicItem& x = *nb::inst_ptr<PyDynamicItem>(a);
        const PyDynamicItem& y = *nb::inst_ptr<PyDynamicItem>(b);
        return data::same_value(x.type, x.raw(), y.type, y.raw());
    }
    nb::object va = a.attr("value"), vb = b.attr("value");
    return !compare_objects(va.ptr(), vb.ptr(), Py_NE);
}

// A partly received item: only its first `bytes` bytes are compared. For the
// module's items these are the low bytes of the raw values, which equal the low
// bytes of the natural value for every integer and boolean type and also give a
// FLOAT item a defined meaning.
bool same_low_bytes(nb::handle a, nb::handle b, unsigned bytes) {
    if (is_native(a.ptr()) && is_native(b.ptr()))
        return data::same_low_bytes(nb::inst_ptr<PyDynamicItem>(a)->raw(),
                                    nb::inst_ptr<PyDynamicItem>(b)->raw(), bytes);
    uint64_t mask = (uint64_t{1} << (data::BITS_PER_BYTE * bytes)) - 1;
    nb::object m = nb::steal(PyLong_FromUnsignedLongLong(mask));
    nb::object va = a.attr("value") & m, vb = b.attr("value") & m;
    return !compare_objects(va.ptr(), vb.ptr(), Py_NE);
}

// --- GC support: the map holds its items and an arbitrary _items list --------------

int map_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    if (!nb::inst_ready(self)) return 0;
    PyDynamicMap& map = *nb::inst_ptr<PyDynamicMap>(self);
    Py_VISIT(map.items.ptr());
    for (const nb::object& item : map.added)
        Py_VISIT(item.ptr());
    return 0;
}

int map_clear(PyObject* self) {
    if (!nb::inst_ready(self)) return 0;
    PyDynamicMap& map = *nb::inst_ptr<PyDynamicMap>(self);
    map.queue.clear(); // no entry may outlive the items it points into
    std::vector<nb::object> added;
    added.swap(map.added);
    map.items = nb::none();
    return 0;
}

PyType_Slot map_slots[] = {{Py_tp_traverse, reinterpret_cast<void*>(map_traverse)},
                           {Py_tp_clear, reinterpret_cast<void*>(map_clear)},
                           {0, nullptr}};

// --- bindings -------------------------------------------------------------------------

void bind_item(nb::module_& m) {
    nb::class_<PyDynamicItem> cls(m, "DynamicMappableItem",
                                  "Item that can be mapped to a dynamic map");
    cls.def(
        "__init__",
        [](PyDynamicItem* self, nb::handle initial_value, nb::handle data_type) {
            new (self) PyDynamicItem(initial_value, data_type);
        },
        nb::arg("initial_value").none(), nb::arg("data_type").none(),
        nb::sig("def __init__(self, initial_value: DICTIONARY_VALUE_TYPES, data_type: DataType) "
                "-> None"),
        "A value of `data_type` (at most 4 bytes) that a dynamic map carries byte by byte.");
    cls.def(
        "set", [](PyDynamicItem& it, nb::handle value) { it.set(value); }, nb::arg("value").none(),
        nb::sig("def set(self, value: DICTIONARY_VALUE_TYPES) -> None"), "Set value of the item");
    cls.def(
        "get", [](PyDynamicItem& it) { return it.get(); },
        nb::sig("def get(self) -> DICTIONARY_VALUE_TYPES"), "Get value of the item");
    auto getter = [](auto fn) { return nb::cpp_function(fn, nb::arg("self").none()); };
    def_property(cls, "value", getter([](nb::handle self) { return value_of(self); }),
                 nb::cpp_function(
                     [](nb::handle self, nb::handle value) {
                         PyDynamicItem& it = dynamic_item(self, "self");
                         // A subclass may refuse the change in its own set().
                         if (Py_TYPE(self.ptr()) == item_type())
                             it.set(value);
                         else
                             call_method(self, "set", value.ptr());
                     },
                     nb::arg("self").none(), nb::arg("value").none()),
                 "Value of the item");
    def_property(cls, "n_bytes",
                 getter([](nb::handle self) { return dynamic_item(self, "self").n_bytes(); }),
                 nb::handle(), "Number of bytes of the item");
    def_property(cls, "raw_value",
                 getter([](nb::handle self) { return dynamic_item(self, "self").raw(); }),
                 nb::handle(), "Value of the item in frame form");
    def_property(cls, "data_type", getter([](nb::handle self) {
                     return nb::borrow(data_type_member(dynamic_item(self, "self").type));
                 }),
                 nb::handle(), "Data Type of the item");
    data_classes().dynamic_item = reinterpret_cast<PyTypeObject*>(cls.ptr());
    native_types[native_type_count++] = item_type();
}

void set_items(PyDynamicMap& map, nb::handle value) {
    if (!value.is_none() && !PyList_CheckExact(value.ptr())) raise_expected("list", value.ptr());
    map.items = nb::borrow(value);
}

void bind_map(nb::module_& m) {
    nb::class_<PyDynamicMap> cls(m, "FSOEDynamicMap", "FSoE Dynamic Map",
                                 nb::type_slots(map_slots));
    cls.def(nb::init<>(), "An empty dynamic map.");
    cls.def_prop_rw(
        "_items", [](PyDynamicMap& map) { return map.items; }, &set_items, nb::arg("value").none(),
        "Items added since the last clear, transferred or pending");
    cls.def("clear", &PyDynamicMap::clear, "Clear the dynamic map");
    cls.def("add", &PyDynamicMap::add, nb::arg("item").none(),
            nb::sig("def add(self, item: DynamicMappableItem) -> None"),
            "Add item to the dynamic map");
    cls.def("pending", &PyDynamicMap::pending, "Determines whether there is pending data");
    cls.def("total_items", &PyDynamicMap::total_items,
            "Number of items on the dynamic map, transferred or pending");
    cls.def("pending_items", &PyDynamicMap::pending_items,
            "Number of Items pending to be sent or received");
    cls.def("byte_index", &PyDynamicMap::byte_index,
            "Index of the current byte to be processed in the first element");
    cls.def(
        "set_data_to_frame",
        [](PyDynamicMap& map, nb::handle frame, nb::handle valid_data_bytes) {
            frame::FrameRecord& f = frame_arg(frame);
            map.set_data_to_frame(f, to_u16(valid_data_bytes));
        },
        nb::arg("frame").none(), nb::arg("valid_data_bytes").none(),
        nb::sig("def set_data_to_frame(self, frame: FSOEFrame, valid_data_bytes: int) -> None"),
        "Gets data from the variables in the map and puts it into a frame");
    cls.def(
        "get_data_from_frame",
        [](PyDynamicMap& map, nb::handle frame, nb::handle valid_data_bytes) {
            frame::FrameRecord& f = frame_arg(frame);
            map.get_data_from_frame(f, to_u16(valid_data_bytes));
        },
        nb::arg("frame").none(), nb::arg("valid_data_bytes").none(),
        nb::sig("def get_data_from_frame(self, frame: FSOEFrame, valid_data_bytes: int) -> None"),
        "Sets data from a received frame to the variables in the map");
    cls.def(
        "is_safedata_correct",
        [](PyDynamicMap& map, nb::handle expected_map) {
            return map.is_safedata_correct(
                bound_arg<PyDynamicMap>(expected_map, map_type, "expected_map"));
        },
        nb::arg("expected_map").none(),
        nb::sig("def is_safedata_correct(self, expected_map: FSOEDynamicMap) -> bool"),
        "Compares the data processed so far with the same items of the expected map");
    map_type = reinterpret_cast<PyTypeObject*>(cls.ptr());
}

} // namespace

PyDynamicItem::PyDynamicItem(nb::handle initial_value, nb::handle data_type)
    : type(data::DataType::BOOL) {
    if (!data_type_of(data_type, type))
        raise_arg_type("data_type", reinterpret_cast<PyTypeObject*>(data_classes().data_type),
                       data_type.ptr());
    own_ = serialize_u32(type, initial_value);
    if (data::bytes_of(type) > data::DynamicQueue::MAX_ITEM_BYTES) {
        PyErr_SetString(PyExc_NotImplementedError, TOO_WIDE_MESSAGE);
        raise_pending();
    }
}

void raise_dynamic_map_full() {
    throw nb::index_error(FULL_MESSAGE);
}

void mark_native_dynamic_item_type(nb::handle type) {
    if (!PyType_Check(type.ptr()) ||
        !PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(type.ptr()), item_type()))
        raise_arg_type("type", item_type(), type.ptr());
    if (is_native_type(reinterpret_cast<PyTypeObject*>(type.ptr()))) return;
    if (native_type_count == MAX_NATIVE_TYPES)
        throw nb::index_error("Too many native DynamicMappableItem subclasses");
    native_types[native_type_count++] =
        reinterpret_cast<PyTypeObject*>(nb::borrow(type).release().ptr()); // kept for good
}

PyDynamicMap::PyDynamicMap() : items(nb::list()) {}

void PyDynamicMap::clear() {
    queue.clear();
    std::vector<nb::object> released;
    released.swap(added); // dropped after the map is consistent
    if (items.is_none())
        items = nb::list();
    else if (PyList_SetSlice(items.ptr(), 0, PyList_GET_SIZE(items.ptr()), nullptr) < 0)
        raise_pending();
}

void PyDynamicMap::add(nb::handle item) {
    PyDynamicItem& it = dynamic_item(item, "item");
    uint16_t n = static_cast<uint16_t>(it.n_bytes());
    if (queue.pending_count() >= data::DynamicQueue::CAPACITY) raise_dynamic_map_full();
    reserve_one(added); // nothing below can fail once the list took the item
    if (items.is_none()) items = nb::list();
    if (PyList_Append(items.ptr(), item.ptr()) < 0) raise_pending();
    added.push_back(nb::borrow(item));
    queue.push(&it.raw(), n);
}

std::size_t PyDynamicMap::total_items() const {
    return items.is_none() ? 0 : static_cast<std::size_t>(PyList_GET_SIZE(items.ptr()));
}

bool PyDynamicMap::is_safedata_correct(const PyDynamicMap& expected) const {
    // Held: a Python `value` may replace either list while we compare.
    nb::object mine = items, theirs = expected.items;
    Py_ssize_t done = static_cast<Py_ssize_t>(total_items()) - pending_items();
    for (Py_ssize_t i = 0; i < done; ++i)
        if (!same_value(list_item(mine, i), list_item(theirs, i))) return false;
    unsigned k = byte_index();
    if (k != 0 && !same_low_bytes(list_item(mine, done), list_item(theirs, done), k)) return false;
    return true;
}

void init_dynamic_map(nb::module_& m) {
    frame_type = reinterpret_cast<PyTypeObject*>(nb::type<PyFrame>().ptr());
    bind_item(m);
    bind_map(m);
}

} // namespace tarnwick::py
