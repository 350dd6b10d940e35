// DictionaryMappedItem and DictionaryMap: dictionary items placed bit by bit in the
// safe data of a frame. The frame loops work on the 8 safe-data words as one
// 128-bit stream (data/bit_stream.hpp).
#include "tarnwick/data_binding.hpp"
#include "tarnwick/frame_binding.hpp"

namespace tarnwick::py {

namespace {

constexpr const char* LOCKED_MESSAGE = "Mapping is locked, cannot be modified";
constexpr const char* ALIGNMENT_MESSAGE =
    "Variables with more than 8 bits must be aligned in 8-bit safe-data slots";
// Items wider than one byte start on a byte boundary.
constexpr unsigned ALIGNMENT_BITS = 8;

PyTypeObject* mapped_item_type = nullptr;
PyTypeObject* frame_type = nullptr;

frame::FrameRecord& frame_arg(nb::handle obj) {
    return bound_arg<PyFrame>(obj, frame_type, "frame").r();
}

void require_item_or_none(nb::handle obj, const char* arg) {
    if (!obj.is_none()) bound_arg<PyDictionaryItem>(obj, data_classes().item_base, arg);
}

// The width of the item's data type: from the table for a DataType member,
// otherwise from the object's own `bits`.
bool wider_than_a_byte(nb::handle dict_item) {
    PyDictionaryItem& it = *nb::inst_ptr<PyDictionaryItem>(dict_item);
    if (it.typed) return data::info(it.type).bits > ALIGNMENT_BITS;
    nb::object bits = it.data_type.attr("bits");
    int wider = PyObject_RichCompareBool(bits.ptr(), nb::int_(ALIGNMENT_BITS).ptr(), Py_GT);
    if (wider < 0) raise_pending();
    return wider != 0;
}

// How the fit of the item's integer form in its entry is judged (see fits_field).
unsigned signed_width(PyObject* item) {
    return nb::inst_ptr<PyDictionaryItem>(item)->signed_width();
}

nb::object make_entry(nb::handle item, nb::handle bits, nb::handle position_bits) {
    PyMappedItem entry{nb::borrow(item), to_u8(bits), to_u8(position_bits)};
    return nb::cast(std::move(entry), nb::rv_policy::move);
}

// --- GC support ---------------------------------------------------------------------

int entry_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    if (!nb::inst_ready(self)) return 0;
    Py_VISIT(nb::inst_ptr<PyMappedItem>(self)->item.ptr());
    return 0;
}

int entry_clear(PyObject* self) {
    if (!nb::inst_ready(self)) return 0;
    nb::inst_ptr<PyMappedItem>(self)->item = nb::none();
    return 0;
}

PyType_Slot entry_slots[] = {{Py_tp_traverse, reinterpret_cast<void*>(entry_traverse)},
                             {Py_tp_clear, reinterpret_cast<void*>(entry_clear)},
                             {0, nullptr}};

int map_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    if (!nb::inst_ready(self)) return 0;
    PyDictionaryMap& map = *nb::inst_ptr<PyDictionaryMap>(self);
    Py_VISIT(map.dictionary.ptr());
    Py_VISIT(map.types_accepted.ptr());
    for (const nb::object& entry : map.entries)
        Py_VISIT(entry.ptr());
    return 0;
}

int map_clear(PyObject* self) {
    if (!nb::inst_ready(self)) return 0;
    PyDictionaryMap& map = *nb::inst_ptr<PyDictionaryMap>(self);
    map.slots.clear();
    std::vector<nb::object> entries;
    entries.swap(map.entries); // released after the map is consistent again
    map.dictionary = nb::none();
    map.types_accepted = nb::none();
    return 0;
}

PyType_Slot map_slots[] = {{Py_tp_traverse, reinterpret_cast<void*>(map_traverse)},
                           {Py_tp_clear, reinterpret_cast<void*>(map_clear)},
                           {0, nullptr}};

// --- bindings -------------------------------------------------------------------------

nb::object entry_read(const PyMappedItem& e) {
    if (e.item.is_none()) return nb::int_(0);
    return e.item.attr("_read")();
}

void entry_write(const PyMappedItem& e, nb::handle value) {
    require_int(value, "value");
    if (!e.item.is_none()) e.item.attr("_write")(value);
}

void bind_mapped_item(nb::module_& m) {
    nb::class_<PyMappedItem> cls(m, "DictionaryMappedItem", "Dictionary Item mapped to a safe data",
                                 nb::type_slots(entry_slots));
    cls.def(
        "__init__",
        [](PyMappedItem* self, nb::handle item, nb::handle bits, nb::handle position_bits) {
            uint8_t b = to_u8(bits);
            uint8_t p = to_u8(position_bits);
            require_item_or_none(item, "item");
            new (self) PyMappedItem{nb::borrow(item), b, p};
        },
        nb::arg("item").none(), nb::arg("bits").none(), nb::arg("position_bits").none(),
        nb::sig("def __init__(self, item: DictionaryItem | None, bits: int, position_bits: int) "
                "-> None"),
        "One entry of a map: `bits` bits of `item` (None for padding) from safe-data bit "
        "`position_bits` on.");
    cls.def_prop_ro(
        "item", [](PyMappedItem& e) { return e.item; },
        nb::sig("def item(self) -> DictionaryItem | None"),
        "Reference to dictionary item. If None represents a padding on safe_data");
    cls.def_prop_ro(
        "bits", [](PyMappedItem& e) { return e.bits; }, "Number of bits the item takes up");
    cls.def_prop_ro(
        "position_bits", [](PyMappedItem& e) { return e.position_bits; },
        "Position in safe data in bits");
    cls.def("_read", &entry_read, "Read value of the item in integer form");
    cls.def("_write", &entry_write, nb::arg("value").none(),
            "Write value of the item from integer form");
    mapped_item_type = reinterpret_cast<PyTypeObject*>(cls.ptr());
}

void bind_map(nb::module_& m) {
    nb::class_<PyDictionaryMap> cls(m, "DictionaryMap", "Map of dictionary to safe data",
                                    nb::type_slots(map_slots));
    cls.def(
        "__init__",
        [](PyDictionaryMap* self, nb::handle dictionary, nb::handle item_types_accepted) {
            bound_arg<PyDictionary>(dictionary, data_classes().dictionary, "dictionary");
            require_exact(item_types_accepted, &PySet_Type, "item_types_accepted");
            new (self) PyDictionaryMap{};
            self->dictionary = nb::borrow(dictionary);
            self->types_accepted = nb::borrow(item_types_accepted);
        },
        nb::arg("dictionary").none(), nb::arg("item_types_accepted").none(),
        nb::sig("def __init__(self, dictionary: Dictionary, "
                "item_types_accepted: set[type[DictionaryItem]]) -> None"),
        "An empty, unlocked map over `dictionary` for items of the classes in "
        "`item_types_accepted`.");
    cls.def_prop_ro(
        "_items",
        [](PyDictionaryMap& map) {
            nb::list items; // a copy: the entries change only through the map's methods
            for (const nb::object& entry : map.entries)
                items.append(entry);
            return items;
        },
        nb::sig("def _items(self) -> list[DictionaryMappedItem]"), "The entries, in order");
    cls.def_prop_ro(
        "_locked", [](PyDictionaryMap& map) { return map.locked; },
        "True while the map is locked (the master is running)");
    def_property(cls, "safety_bits",
                 nb::cpp_function([](PyDictionaryMap& map) { return map.safety_bits(); }),
                 nb::handle(), "Number of bits mapped");
    def_property(cls, "safety_bytes",
                 nb::cpp_function([](PyDictionaryMap& map) { return map.safety_bytes(); }),
                 nb::handle(), "Number of bytes mapped");
    cls.def(
        "add",
        [](PyDictionaryMap& map, nb::handle dict_item, nb::handle bits) {
            map.add(dict_item, to_u16(bits));
        },
        nb::arg("dict_item").none(), nb::arg("bits").none(),
        nb::sig("def add(self, dict_item: DictionaryItem | None, bits: int) -> None"),
        "Add item from the dictionary to the map");
    cls.def(
        "add_by_key",
        [](PyDictionaryMap& map, nb::handle key, nb::handle bits) {
            require_int(key, "key");
            PyDictionary& d =
                bound_arg<PyDictionary>(map.dictionary, data_classes().dictionary, "dictionary");
            nb::object item = d.key_map[key]; // an unknown key is refused whatever `bits` is
            map.add(item, to_u16(bits));
        },
        nb::arg("key").none(), nb::arg("bits").none(),
        nb::sig("def add_by_key(self, key: int, bits: int) -> None"),
        "Add item from the dictionary to the map, selecting by key");
    cls.def(
        "add_padding",
        [](PyDictionaryMap& map, nb::handle bits) { map.add(nb::none(), to_u16(bits)); },
        nb::arg("bits").none(), nb::sig("def add_padding(self, bits: int) -> None"),
        "Add padding to the map");
    cls.def("clear", &PyDictionaryMap::clear, "Clear the map");
    cls.def(
        "_lock",
        [](PyDictionaryMap& map, nb::handle active) {
            int truth = PyObject_IsTrue(active.ptr());
            if (truth < 0) raise_pending();
            map.lock(truth != 0);
        },
        nb::arg("active").none() = true, "Lock the map");
    cls.def(
        "_set_data_to_frame",
        [](PyDictionaryMap& map, nb::handle frame) { map.set_data_to_frame(frame_arg(frame)); },
        nb::arg("frame").none(),
        "Set data from the map dictionary items to the frame. A value that its data type or "
        "its mapped bits cannot carry raises, naming the item; nothing is ever cut.");
    cls.def(
        "_get_data_from_frame",
        [](PyDictionaryMap& map, nb::handle frame) { map.get_data_from_frame(frame_arg(frame)); },
        nb::arg("frame").none(), "Get data from frame and save it to the mapped dictionary items");
}

} // namespace

unsigned PyDictionaryMap::safety_bits() const {
    if (slots.empty()) return 0;
    const MapSlot& last = slots.back();
    return unsigned{last.position_bits} + last.bits;
}

unsigned PyDictionaryMap::safety_bytes() const {
    return (safety_bits() + data::BITS_PER_BYTE - 1) / data::BITS_PER_BYTE;
}

void PyDictionaryMap::add(nb::handle dict_item, uint16_t bits) {
    require_item_or_none(dict_item, "dict_item");
    if (locked) raise_running(LOCKED_MESSAGE);
    unsigned position = safety_bits();
    if (!dict_item.is_none()) {
        int accepted = PySet_Contains(types_accepted.ptr(),
                                      reinterpret_cast<PyObject*>(Py_TYPE(dict_item.ptr())));
        if (accepted < 0) raise_pending();
        if (!accepted) {
            PyErr_SetNone(PyExc_PermissionError);
            raise_pending();
        }
        if (position % ALIGNMENT_BITS != 0 && wider_than_a_byte(dict_item))
            throw nb::index_error(ALIGNMENT_MESSAGE);
    }
    nb::object entry = make_entry(dict_item, nb::int_(bits), nb::int_(position));
    const PyMappedItem& e = *nb::inst_ptr<PyMappedItem>(entry);
    MapSlot slot{e.item.is_none() ? nullptr : e.item.ptr(), e.bits, e.position_bits};
    reserve_one(slots); // both vectors grow, or neither does
    reserve_one(entries);
    slots.push_back(slot);
    entries.push_back(std::move(entry));
}

void PyDictionaryMap::clear() {
    if (locked) raise_running(LOCKED_MESSAGE);
    slots.clear();
    std::vector<nb::object> old;
    old.swap(entries); // released once the map is consistent
}

void PyDictionaryMap::set_data_to_frame(frame::FrameRecord& f) {
    data::U128 stream;
    try {
        // Index loop, slot copied: a Python _read may change the map under us.
        for (std::size_t i = 0; i < slots.size(); ++i) {
            MapSlot s = slots[i];
            if (s.item == nullptr || s.bits == 0)
                continue; // padding and 0-bit entries carry nothing
            data::U128 form = item_read(s.item);
            if (!data::fits_field(form, s.bits, signed_width(s.item)))
                raise_entry_too_wide(s.item, form, s.bits);
            data::insert_field(stream, s.position_bits, s.bits, form);
        }
    } catch (...) {
        data::store_stream(f, stream); // the entries packed so far stay in the frame
        throw;
    }
    data::store_stream(f, stream);
}

void PyDictionaryMap::get_data_from_frame(const frame::FrameRecord& f) {
    data::U128 stream = data::load_stream(f);
    for (std::size_t i = 0; i < slots.size(); ++i) {
        MapSlot s = slots[i];
        if (s.item == nullptr || s.bits == 0) continue;
        item_write(s.item, data::extract_field(stream, s.position_bits, s.bits));
    }
}

void init_dictionary_map(nb::module_& m) {
    frame_type = reinterpret_cast<PyTypeObject*>(nb::type<PyFrame>().ptr());
    bind_mapped_item(m);
    bind_map(m);
}

} // namespace tarnwick::py
