// Python-visible safe process-data model: DataType, the dictionary items and the
// Dictionary, the safe-data map (DictionaryMap) and the dynamic map (FSOEDynamicMap).
//
// Other binding files reach these objects with nb::cast<T&>(obj) and call the
// per-cycle operations below on frame records directly. On the normal path those
// operations look up no Python attributes and create no Python objects: natural
// values (bool, int, float) go through the C++ type table, and an object is only
// created when a received value changes an item. Items of a Python subclass (which
// may override get/set/_read/_write/_set_fail_safe) are reached through their
// Python methods instead, so overrides are honoured.
#pragma once

#include "core/data/bit_stream.hpp"
#include "tarnwick/binding.hpp"
#include "tarnwick/data_type.hpp"
#include "tarnwick/dynamic_queue.hpp"
#include "tarnwick/frame.hpp"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace tarnwick::py {

// --- DataType ---------------------------------------------------------------------

// The DataType member for a type (borrowed; lives as long as the process).
PyObject* data_type_member(data::DataType t);
// True, with the type in `out`, when obj is a DataType member.
bool data_type_of(nb::handle obj, data::DataType& out);

// Natural value to frame pattern for the natural kinds (exact bool, int, float):
// returns false, raising nothing, for any other object, which then takes the
// general path of serialize_object. Raises the conversion errors.
bool serialize_fast(data::DataType t, PyObject* value, uint32_t& raw);
// DataType.serialize_value for any object: the result is an int (or None).
nb::object serialize_object(data::DataType t, nb::handle value);
// The frame pattern as an unsigned 32-bit value (what a dynamic item stores).
uint32_t serialize_u32(data::DataType t, nb::handle value);
// DataType.unserialize_value for an exact int of any size.
nb::object unserialize_object(data::DataType t, nb::handle value);
// The natural value of a 32-bit pattern.
nb::object unserialize_raw(data::DataType t, uint32_t raw);

// --- Dictionary items ---------------------------------------------------------------

enum class ItemKind : uint8_t { BASE, INPUT, OUTPUT, INPUT_OUTPUT };

struct PyDictionaryItem {
    int32_t key;
    nb::object name;      // str
    nb::object data_type; // kept as given; converted only when a value is
    bool typed;           // data_type is a DataType member, `type` says which
    data::DataType type;
    ItemKind kind;
    nb::object value;        // _value; value_input of an input-output item
    nb::object value_output; // value_output of an input-output item
    nb::object fail_safe;    // fail_safe_value; fail_safe_input_value

    PyDictionaryItem(ItemKind kind, int32_t key, nb::handle name, nb::handle data_type);
    // Width of the two's complement pattern of a signed data type; 0 for any other
    // type, whose integer form is unsigned.
    unsigned signed_width() const {
        return typed && data::info(type).is_signed ? data::info(type).bits : 0;
    }
};
struct PyDictionaryItemInput : PyDictionaryItem {
    using PyDictionaryItem::PyDictionaryItem;
};
struct PyDictionaryItemOutput : PyDictionaryItem {
    using PyDictionaryItem::PyDictionaryItem;
};
struct PyDictionaryItemInputOutput : PyDictionaryItem {
    using PyDictionaryItem::PyDictionaryItem;
};

// Item operations as the master uses them: C++ for the module's own classes, the
// Python method for a subclass.
nb::object item_get(nb::handle item);
void item_set(nb::handle item, nb::handle value);
void item_set_fail_safe(nb::handle item);
// The item's integer form (its _read), as up to 128 bits, and storing one (its
// _write). For items of map entries: an initialised DictionaryItem is required.
// A value the data type refuses is named in the error (see raise_naming_item).
data::U128 item_read(nb::handle item);
void item_write(nb::handle item, data::U128 value);
// ValueError for an item whose integer form does not fit its entry of `bits` bits.
[[noreturn]] void raise_entry_too_wide(nb::handle item, data::U128 form, unsigned bits);

// --- Values refused while a request is built (data_refusal.cpp) ---------------------

// Raises again the pending error of converting `value`, the output of `it`. A
// conversion error (ValueError, TypeError, OverflowError, struct.error) keeps its
// type and text with " (item NAME: VALUE[, accepted MIN to MAX])" appended; any
// other error passes unchanged.
[[noreturn]] void raise_naming_item(const PyDictionaryItem& it, nb::handle value);
// ValueError "Invalid value for its mapped width (item NAME: VALUE does not fit
// BITS bits[, accepted MIN to MAX])" ("1 bit" for a 1-bit entry).
[[noreturn]] void raise_too_wide(const PyDictionaryItem& it, nb::handle value, unsigned bits);

struct PyDictionary {
    nb::dict key_map;  // key -> item, in the order of the item list
    nb::dict name_map; // name -> item
};

// Every safe input takes its fail-safe value (Dictionary._set_inputs_to_failsafe).
void set_inputs_to_failsafe(PyDictionary& dictionary);

// --- Safe-data map ------------------------------------------------------------------

struct PyMappedItem {
    nb::object item; // a DictionaryItem, or None for padding
    uint8_t bits;
    uint8_t position_bits;
};

// One map entry as the frame loops use it; `item` is owned by the entry object.
struct MapSlot {
    PyObject* item; // nullptr for padding
    uint8_t bits;
    uint8_t position_bits;
};

struct PyDictionaryMap {
    nb::object dictionary;           // the Dictionary add_by_key selects from
    nb::object types_accepted;       // set of item classes
    std::vector<nb::object> entries; // DictionaryMappedItem objects, contiguous, in order
    std::vector<MapSlot> slots;      // the same entries, for the frame loops
    bool locked = false;

    unsigned safety_bits() const;
    unsigned safety_bytes() const;
    void lock(bool active) { locked = active; }

    // Refused while locked (TarnwickRunningException); a failed add changes nothing.
    void add(nb::handle dict_item, uint16_t bits);
    void clear();

    // Packs the entries' integer forms into the 8 safe-data words (all cleared
    // first); each entry writes only its own bits, and a value they cannot carry is
    // refused (ValueError). A refusal or conversion error propagates, the entries
    // packed so far being kept.
    void set_data_to_frame(frame::FrameRecord& f);
    // Unpacks each entry's bits into its item (padding discards them).
    void get_data_from_frame(const frame::FrameRecord& f);
};

// --- Dynamic map --------------------------------------------------------------------

struct PyDynamicItem {
    data::DataType type;

    // Raises the type's conversion error, or TypeError for a data_type that is no
    // DataType member.
    PyDynamicItem(nb::handle initial_value, nb::handle data_type);
    unsigned n_bytes() const { return data::bytes_of(type); }
    // A failed conversion leaves the raw value unchanged.
    void set(nb::handle value) { raw() = serialize_u32(type, value); }
    nb::object get() const { return unserialize_raw(type, raw()); }
    // The value in frame form; the dynamic map moves its bytes in place.
    uint32_t& raw() { return view_ ? *view_ : own_; }
    uint32_t raw() const { return view_ ? *view_ : own_; }
    // From now on the value lives in `storage` (a record of the protocol library),
    // which `keep` keeps alive; the current value moves there.
    void view(uint32_t* storage, std::shared_ptr<void> keep) {
        *storage = raw();
        keep_ = std::move(keep);
        view_ = storage;
    }

  private:
    uint32_t own_ = 0;
    uint32_t* view_ = nullptr; // null: the value is own_
    std::shared_ptr<void> keep_;
};

// IndexError "Could not add item to map": a dynamic map holds 50 pending items.
[[noreturn]] void raise_dynamic_map_full();

// Declares that a subclass of DynamicMappableItem (such as ApplicationParameter)
// keeps the base get() and value, so the dynamic map compares its instances in
// C++. Instances of other subclasses are compared through their Python `value`.
void mark_native_dynamic_item_type(nb::handle type);

struct PyDynamicMap {
    data::DynamicQueue queue;
    // Every item added since the last clear: keeps the queued raw values alive
    // whatever happens to _items.
    std::vector<nb::object> added;
    nb::object items; // _items: a list, or None

    PyDynamicMap();
    void clear();
    // IndexError "Could not add item to map" with 50 items pending; map unchanged.
    void add(nb::handle item);
    bool pending() const { return queue.pending(); }
    std::size_t total_items() const;
    uint16_t pending_items() const { return queue.pending_count(); }
    uint16_t byte_index() const { return queue.byte_index(); }

    void set_data_to_frame(frame::FrameRecord& f, uint16_t valid_data_bytes) {
        queue.set_data_to_frame(f, valid_data_bytes);
    }
    void get_data_from_frame(const frame::FrameRecord& f, uint16_t valid_data_bytes) {
        queue.get_data_from_frame(f, valid_data_bytes);
    }
    // Compares the items processed so far with the same items of `expected`.
    bool is_safedata_correct(const PyDynamicMap& expected) const;
};

// --- Shared by the data binding files ----------------------------------------------

// Classes created at module init (leaked references, see ModuleState).
struct DataClasses {
    PyObject* data_type = nullptr; // the DataType enumeration
    PyTypeObject* item_base = nullptr;
    PyTypeObject* item_input = nullptr;
    PyTypeObject* item_output = nullptr;
    PyTypeObject* item_input_output = nullptr;
    PyTypeObject* dictionary = nullptr;
    PyTypeObject* dynamic_item = nullptr;
};
DataClasses& data_classes();

// TypeError "Expected <expected>, got <type of got>".
[[noreturn]] void raise_expected(const char* expected, PyObject* got);
// A Python int holding the 128-bit value.
nb::object int_from_u128(data::U128 v);
// The low 128 bits (two's complement) of an int; TypeError for anything else.
data::U128 u128_from_int(nb::handle value);

// The C++ object of an initialised instance of the bound class `type` (or of a
// subclass). Anything else, including an instance whose __init__ never ran (its
// C++ object does not exist), is refused with the TypeError naming `arg`.
template <typename T> T& bound_arg(nb::handle obj, PyTypeObject* type, const char* arg) {
    if (!PyObject_TypeCheck(obj.ptr(), type) || !nb::inst_ready(obj))
        raise_arg_type(arg, type, obj.ptr());
    return *nb::inst_ptr<T>(obj);
}

// Room for one more element (growing geometrically), so that the push_back that
// follows cannot fail halfway through an update.
template <typename T> void reserve_one(std::vector<T>& v) {
    if (v.size() == v.capacity()) v.reserve(2 * v.size() + 4);
}

// --- Module init ----------------------------------------------------------------------

void init_data_type(nb::module_& m);
void init_dictionary(nb::module_& m);
void init_dictionary_map(nb::module_& m);
void init_dynamic_map(nb::module_& m);

} // namespace tarnwick::py
