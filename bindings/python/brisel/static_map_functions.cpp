// Static map configuration. The setters reach _handle_static_map_return,
// _format_mapped_item and the item setters through the module's global names at
// call time, so a script may replace them.
#include "brisel/binding.hpp"

namespace brisel::py {

namespace {

using namespace nb::literals;

using tarnwick::VirtualSlave;
using Direction = VirtualSlave::Direction;
using MapResult = VirtualSlave::MapResult;

constexpr unsigned FIRST_ITEM_INDEX = 1;
constexpr unsigned LAST_ITEM_INDEX = VirtualSlave::MAX_MAP_ITEMS;
constexpr long BITS_PER_BYTE = 8;

[[noreturn]] void raise_value_error(const char* message) {
    if (message)
        PyErr_SetString(PyExc_ValueError, message);
    else
        PyErr_SetNone(PyExc_ValueError);
    raise_pending();
}

void handle_return(nb::handle value) {
    if (!PyIndex_Check(value.ptr())) {
        PyErr_SetString(PyExc_TypeError, "an integer is required");
        raise_pending();
    }
    nb::object code = nb::steal(PyNumber_Index(value.ptr()));
    if (!code.is_valid()) raise_pending();
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(code.ptr(), &overflow);
    if (v == -1 && PyErr_Occurred()) raise_pending();
    if (overflow == 0) {
        switch (v) {
        case static_cast<long long>(MapResult::Success):
            return;
        case static_cast<long long>(MapResult::InvalidValue):
            raise_value_error("Static Map Invalid Value");
        case static_cast<long long>(MapResult::Unavailable):
            raise_value_error("Static Map Unavailable");
        }
    }
    PyErr_SetNone(PyExc_NotImplementedError);
    raise_pending();
}

void report(MapResult code) {
    module_global("_handle_static_map_return")(static_cast<unsigned>(code));
}

// The 32-bit item encoding in unbounded integer arithmetic: a size too large for
// its field spills into higher bits, and the item setters' conversion to 32 bits
// refuses the result.
nb::object format_item(nb::handle register_address, nb::handle size_in_bits, nb::handle padding) {
    uint16_t address = c_unsigned<uint16_t>(register_address);
    require_int_exact(size_in_bits, "size_in_bits");
    nb::object pad = nb::steal(PyNumber_Long(padding.ptr()));
    if (!pad.is_valid()) raise_pending();

    nb::int_ bits_per_byte(BITS_PER_BYTE);
    nb::object size = nb::borrow(size_in_bits);
    unsigned format = VirtualSlave::SIZE_FORMAT_BITS;
    nb::object remainder = size % bits_per_byte;
    if (PyLong_AsLong(remainder.ptr()) == 0) {
        size = size.floor_div(bits_per_byte);
        format = VirtualSlave::SIZE_FORMAT_BYTES;
    }
    nb::object item = nb::int_(address & VirtualSlave::ITEM_KEY_MASK);
    item = item | (pad << nb::int_(VirtualSlave::ITEM_PADDING_SHIFT));
    item = item | (size << nb::int_(VirtualSlave::ITEM_SIZE_SHIFT));
    return item | (nb::int_(format) << nb::int_(VirtualSlave::ITEM_FORMAT_SHIFT));
}

void set_item(nb::handle index, nb::handle register_address, nb::handle size_in_bits,
              nb::handle padding, Direction direction) {
    uint16_t i = c_unsigned<uint16_t>(index);
    uint16_t address = c_unsigned<uint16_t>(register_address);
    require_int_exact(size_in_bits, "size_in_bits");
    if (i < FIRST_ITEM_INDEX || i > LAST_ITEM_INDEX) raise_value_error(nullptr);
    nb::object item = module_global("_format_mapped_item")(address, size_in_bits, padding);
    report(slave().set_map_item(direction, i, c_unsigned<uint32_t>(item)));
}

void set_padding(nb::handle index, nb::handle size_in_bits, const char* item_setter) {
    uint16_t i = c_unsigned<uint16_t>(index);
    require_int_exact(size_in_bits, "size_in_bits");
    module_global(item_setter)("index"_a = i, "register_address"_a = 0,
                               "size_in_bits"_a = size_in_bits, "padding"_a = true);
}

void set_count(nb::handle count, Direction direction) {
    report(slave().set_map_count(direction, c_unsigned<uint16_t>(count)));
}

// The rx (master to slave) and tx (slave to master) halves of the map have the same
// four functions; only the names, texts and the direction differ.
struct MapHalf {
    const char* get_count_name;
    const char* get_count_doc;
    const char* set_count_name;
    const char* set_count_doc;
    const char* set_item_name;
    const char* set_item_doc;
    const char* set_padding_name;
    const char* set_padding_doc;
    Direction direction;
};

const MapHalf MAP_HALVES[] = {
    {"static_map_get_rx_count", "Number of rx (master to slave) items.", "static_map_set_rx_count",
     "Set the number of rx (master to slave) items.", "static_map_set_rx_item",
     "Set rx item `index` (1 to 15).", "static_map_set_rx_padding",
     "Set rx item `index` (1 to 15) to padding of `size_in_bits` bits.", Direction::Rx},
    {"static_map_get_tx_count", "Number of tx (slave to master) items.", "static_map_set_tx_count",
     "Set the number of tx (slave to master) items.", "static_map_set_tx_item",
     "Set tx item `index` (1 to 15).", "static_map_set_tx_padding",
     "Set tx item `index` (1 to 15) to padding of `size_in_bits` bits.", Direction::Tx},
};

void def_map_half(nb::module_& m, const MapHalf& half) {
    def(m, half.get_count_name,
        [direction = half.direction] { return slave().map_count(direction); }, half.get_count_doc,
        {});
    def(
        m, half.set_count_name,
        [direction = half.direction](nb::handle count) { set_count(count, direction); },
        half.set_count_doc, {{"count", "uint16_t"}}, nb::arg("count").none());
    def(
        m, half.set_item_name,
        [direction = half.direction](nb::handle index, nb::handle address, nb::handle size,
                                     nb::handle padding) {
            set_item(index, address, size, padding, direction);
        },
        half.set_item_doc,
        {{"index", "uint16_t"},
         {"register_address", "uint16_t"},
         {"size_in_bits", "int"},
         {"padding", "bool"}},
        nb::arg("index").none(), nb::arg("register_address").none(), nb::arg("size_in_bits").none(),
        nb::arg("padding").none() = false);
    // Padding goes through the module's item setter by name, so a replaced one is used.
    def(
        m, half.set_padding_name,
        [item_setter = half.set_item_name](nb::handle index, nb::handle size) {
            set_padding(index, size, item_setter);
        },
        half.set_padding_doc, {{"index", "uint16_t"}, {"size_in_bits", "int"}},
        nb::arg("index").none(), nb::arg("size_in_bits").none());
}

} // namespace

void init_static_map(nb::module_& m) {
    def(
        m, "static_map_set_lock",
        [](nb::handle locked) {
            int truth = PyObject_IsTrue(locked.ptr());
            if (truth < 0) raise_pending();
            slave().lock_map(truth != 0);
        },
        "Lock or unlock the static map; unlocking sets its frame size to 0.", {{"locked", "bool"}},
        nb::arg("locked").none() = true);
    def(m, "static_map_validate",
        [] {
            if (!slave().validate_map()) raise_value_error("Invalid Map");
        },
        "Validate the static map; raises ValueError if it is invalid. Does not lock it.", {});
    def(m, "_handle_static_map_return", &handle_return,
        "Turn a static map return code into None or an exception.",
        {{"value", "FSOE_EStaticMapRet"}}, nb::arg("value").none());

    def(m, "_format_mapped_item", &format_item, "The 32-bit encoding of a mapped item.",
        {{"register_address", "uint16_t"}, {"size_in_bits", "int"}, {"padding", "bool"}},
        nb::arg("register_address").none(), nb::arg("size_in_bits").none(),
        nb::arg("padding").none() = false);
    for (const MapHalf& half : MAP_HALVES)
        def_map_half(m, half);
}

} // namespace brisel::py
