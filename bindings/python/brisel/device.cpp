// brisel._VirtualSlave: a whole simulated device per Python object, over a wide
// tarnwick::VirtualSlave with application objects and data maps of its own.
//
// Configuration is checked here, at construction, with texts naming the problem;
// the bus cycle (set_request, process, get_reply) goes straight to the library.
// The package's virtual_slave.VirtualSlave derives from this class.
#include "brisel/device_binding.hpp"

#include <algorithm>
#include <array>
#include <cstdio>
#include <string>
#include <vector>

namespace brisel::py {

namespace {

using Slave = tarnwick::VirtualSlave;
using Result = Slave::ConfigResult;
using Direction = Slave::Direction;

constexpr unsigned DEFAULT_SLAVE_ADDRESS = 0x1234;
constexpr uint16_t KEY_DEVICE_NAME = 0x192; // the protocol's one string object
constexpr unsigned long long MAX_KEY = 0xFFFF;
constexpr unsigned long long MAX_U32 = 0xFFFFFFFF;
constexpr unsigned long long MAX_U64 = ~0ull;
constexpr unsigned BITS_PER_BYTE = 8;
constexpr std::size_t VALUE_BYTES = 4;
// A frame of 1 safe-data byte: command, the byte, its CRC, the connection id.
constexpr std::size_t SHORT_FRAME_BYTES = 6;
// Otherwise the command and the connection id around 2-byte blocks, each with its CRC.
constexpr std::size_t FRAME_OVERHEAD_BYTES = 3;
constexpr std::size_t REPLY_AREA_BYTES = 2 * Slave::WIDE_AREA_WORDS;

[[noreturn]] void raise(PyObject* type, const std::string& text) {
    PyErr_SetString(type, text.c_str());
    raise_pending();
}

std::string hex_key(unsigned long long key) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%03llX", key);
    return text;
}

std::string shown_type(nb::handle obj) {
    return nb::str(type_display_name(Py_TYPE(obj.ptr()))).c_str();
}

// An int (a bool is refused: it is no key, width or count) from 0 to `max`.
unsigned long long whole(nb::handle obj, const std::string& what, unsigned long long max,
                         bool bool_ok = false) {
    if (!PyLong_Check(obj.ptr()) || (!bool_ok && PyBool_Check(obj.ptr())))
        raise(PyExc_TypeError, what + " must be an int, not " + shown_type(obj));
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(obj.ptr(), &overflow);
    if (v == -1 && PyErr_Occurred()) raise_pending();
    unsigned long long u = static_cast<unsigned long long>(v);
    if (overflow > 0) {
        u = PyLong_AsUnsignedLongLong(obj.ptr());
        if (u == MAX_U64 && PyErr_Occurred()) {
            PyErr_Clear();
            overflow = 1;
        } else {
            overflow = 0;
        }
    }
    if (overflow != 0 || v < 0 || u > max) {
        nb::str shown = nb::repr(obj);
        raise(PyExc_ValueError,
              what + " must be 0 to " + std::to_string(max) + ", got " + shown.c_str());
    }
    return u;
}

uint32_t width_limit(unsigned bits) {
    return bits >= Slave::MAX_OBJECT_BITS ? 0xFFFFFFFFu : (1u << bits) - 1;
}

// The items of a sequence, each a tuple of `arity` entries; TypeError otherwise.
std::vector<nb::object> entries(nb::handle seq, const std::string& what, std::size_t arity,
                                const char* shape) {
    if (!PySequence_Check(seq.ptr()) || PyUnicode_Check(seq.ptr()) || PyBytes_Check(seq.ptr()))
        raise(PyExc_TypeError,
              what + " must be a sequence of " + shape + ", not " + shown_type(seq));
    nb::object fast = nb::steal(PySequence_Fast(seq.ptr(), "a sequence"));
    if (!fast.is_valid()) raise_pending();
    std::vector<nb::object> out;
    Py_ssize_t n = PySequence_Fast_GET_SIZE(fast.ptr());
    for (Py_ssize_t i = 0; i < n; ++i) {
        nb::handle e = PySequence_Fast_GET_ITEM(fast.ptr(), i);
        if (!PyTuple_Check(e.ptr()) || static_cast<std::size_t>(PyTuple_GET_SIZE(e.ptr())) != arity)
            raise(PyExc_TypeError, what + " entry " + std::to_string(i + 1) + " must be " + shape +
                                       ", not " + std::string(nb::str(nb::repr(e)).c_str()));
        out.push_back(nb::borrow(e));
    }
    return out;
}

void add_objects(Slave& slave, nb::handle objects) {
    for (const nb::object& o : entries(objects, "objects", 3, "a (key, bits, initial) tuple")) {
        unsigned long long key = whole(o[0], "object key", MAX_KEY);
        std::string name = "object " + hex_key(key);
        unsigned bits = static_cast<unsigned>(whole(o[1], name + " width", MAX_KEY));
        uint32_t initial = static_cast<uint32_t>(whole(o[2], name + " value", MAX_U32, true));
        switch (slave.add_application_object(static_cast<uint16_t>(key), bits, initial)) {
        case Result::Ok:
            break;
        case Result::ReservedKey:
            raise(PyExc_ValueError,
                  "object key " + hex_key(key) + " is reserved for the protocol's own objects");
        case Result::DuplicateKey:
            raise(PyExc_ValueError, "object key " + hex_key(key) + " is given twice");
        case Result::InvalidWidth:
            raise(PyExc_ValueError, name + ": width " + std::to_string(bits) +
                                        " bits, objects are 1 to 32 bits wide");
        case Result::ValueTooWide:
            raise(PyExc_ValueError, name + ": value " + std::to_string(initial) + " does not fit " +
                                        std::to_string(bits) + " bits (0 to " +
                                        std::to_string(width_limit(bits)) + ")");
        default:
            raise(PyExc_ValueError, "more than " + std::to_string(Slave::MAX_APPLICATION_OBJECTS) +
                                        " application objects");
        }
    }
}

void set_map(Slave& slave, Direction direction, nb::handle map) {
    const std::string dir = direction == Direction::Rx ? "rx map" : "tx map";
    std::vector<Slave::DataItem> items;
    unsigned long long bits_total = 0;
    for (const nb::object& e : entries(map, dir, 2, "a (key, bits) pair, key None for padding")) {
        std::string where = dir + " item " + std::to_string(items.size() + 1);
        bool padding = e[0].is_none();
        unsigned long long key = padding ? 0 : whole(e[0], where + " key", MAX_KEY);
        unsigned long long bits = whole(e[1], where + " width", MAX_KEY);
        bits_total += bits;
        items.push_back({static_cast<uint16_t>(key), static_cast<uint16_t>(bits), padding});
    }
    if (bits_total > BITS_PER_BYTE * Slave::MAX_SAFE_DATA_BYTES)
        raise(PyExc_ValueError, dir + " of " + std::to_string(bits_total) +
                                    " bits is larger than a frame's 16 safe-data bytes");
    if (bits_total == 0)
        raise(PyExc_ValueError, dir + " is empty: a frame carries at least 1 safe-data byte");
    std::size_t failed = 0;
    Result r = slave.set_data_map(direction, items.data(), items.size(), &failed);
    if (r == Result::Ok) return;
    if (failed >= items.size())
        raise(PyExc_ValueError,
              dir + " has more than " + std::to_string(Slave::MAX_DATA_MAP_ITEMS) + " items");
    const Slave::DataItem& item = items[failed];
    std::string where = dir + " item " + std::to_string(failed + 1) + ": ";
    std::string object = "object " + hex_key(item.key);
    uint32_t value = 0;
    switch (r) {
    case Result::InvalidWidth:
        raise(PyExc_ValueError, where + std::to_string(item.bits) +
                                    " bits (items are 1 to 32 bits wide, padding at least 1)");
    case Result::NoObject:
        raise(PyExc_ValueError, where + "no " + object + " in the dictionary");
    case Result::WidthMismatch:
        if (slave.application_value(item.key, value))
            raise(PyExc_ValueError, where + object + " is mapped on " + std::to_string(item.bits) +
                                        " bits but is not that wide");
        raise(PyExc_ValueError, where + "the protocol's " + object + " cannot be mapped on " +
                                    std::to_string(item.bits) + " bits");
    default:
        raise(PyExc_ValueError, where + "the map does not fit the frame");
    }
}

void require_callable(nb::handle on_cycle) {
    if (!on_cycle.is_none() && !PyCallable_Check(on_cycle.ptr()))
        raise(PyExc_TypeError, "on_cycle must be callable or None, not " + shown_type(on_cycle));
}

void device_init(PyDevice* self, nb::handle rx_map, nb::handle tx_map, nb::handle objects,
                 nb::handle sra_crc, nb::handle slave_address, nb::handle seed, nb::handle time_us,
                 nb::handle on_cycle) {
    Slave::Settings settings;
    settings.wide = true;
    settings.sra_crc = static_cast<uint32_t>(whole(sra_crc, "sra_crc", MAX_U32));
    settings.slave_address = static_cast<uint16_t>(whole(slave_address, "slave_address", MAX_KEY));
    settings.random_seed = whole(seed, "seed", MAX_U64);
    settings.time_us = static_cast<uint32_t>(whole(time_us, "time_us", MAX_U32));
    require_callable(on_cycle);
    Slave slave(settings);
    add_objects(slave, objects);
    set_map(slave, Direction::Rx, rx_map);
    set_map(slave, Direction::Tx, tx_map);
    if (!slave.start()) raise(PyExc_ValueError, "the maps do not fit the device's frames");
    new (self) PyDevice{std::move(slave), nb::borrow(on_cycle)};
}

PyDevice& device(nb::handle self) {
    return *nb::inst_ptr<PyDevice>(self);
}

void set_request(PyDevice& d, nb::handle data) {
    require_exact(data, &PyBytes_Type, "data");
    const auto* p = reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(data.ptr()));
    Py_ssize_t len = PyBytes_GET_SIZE(data.ptr());
    if (!d.slave.set_request(p, static_cast<std::size_t>(len))) {
        PyErr_Format(PyExc_ValueError, "Request of %zd bytes is longer than the %u-byte buffer",
                     len, static_cast<unsigned>(Slave::WIDE_REQUEST_BUFFER_BYTES));
        raise_pending();
    }
}

void process(nb::handle self) {
    if (!process_device(self.ptr(), device(self))) raise_pending();
}

nb::object get_reply(PyDevice& d) {
    std::array<uint8_t, REPLY_AREA_BYTES> area; // the reply area is written in whole words
    d.slave.reply(area.data(), d.slave.reply_words());
    PyObject* out = PyBytes_FromStringAndSize(reinterpret_cast<const char*>(area.data()),
                                              static_cast<Py_ssize_t>(reply_size(d)));
    if (!out) raise_pending();
    return nb::steal(out);
}

nb::object cycle(nb::handle self, nb::handle request) {
    set_request(device(self), request);
    process(self);
    return get_reply(device(self));
}

// A protocol object's numeric value and size in bytes; KeyError for a key no
// object has, ValueError for the string object.
uint32_t read_protocol(const Slave& slave, uint16_t key, uint16_t& size) {
    if (key == KEY_DEVICE_NAME)
        raise(PyExc_ValueError, "object " + hex_key(key) + " is a string, not a number");
    std::array<uint8_t, VALUE_BYTES> bytes{};
    size = 0;
    if (slave.read_object(key, bytes.data(), bytes.size(), &size) != 0) {
        PyErr_SetObject(PyExc_KeyError, nb::str(("no object " + hex_key(key)).c_str()).ptr());
        raise_pending();
    }
    uint32_t v = 0;
    for (std::size_t i = 0; i < bytes.size(); ++i)
        v |= uint32_t{bytes[i]} << (BITS_PER_BYTE * i);
    return v;
}

nb::object read(PyDevice& d, nb::handle key_obj) {
    uint16_t key = static_cast<uint16_t>(whole(key_obj, "key", MAX_KEY));
    uint32_t value = 0;
    if (d.slave.application_value(key, value)) return nb::int_(value);
    uint16_t size = 0;
    return nb::int_(read_protocol(d.slave, key, size));
}

void write(PyDevice& d, nb::handle key_obj, nb::handle value_obj) {
    uint16_t key = static_cast<uint16_t>(whole(key_obj, "key", MAX_KEY));
    std::string name = "object " + hex_key(key);
    uint32_t current = 0;
    if (d.slave.application_value(key, current)) {
        uint32_t value = static_cast<uint32_t>(whole(value_obj, name + " value", MAX_U32, true));
        if (d.slave.set_application_value(key, value) != Result::Ok) {
            nb::str shown = nb::repr(value_obj);
            raise(PyExc_ValueError, name + ": value " + shown.c_str() + " is too wide");
        }
        return;
    }
    uint16_t size = 0;
    read_protocol(d.slave, key, size);
    unsigned long long limit = size >= VALUE_BYTES ? MAX_U32 : (1ull << (BITS_PER_BYTE * size)) - 1;
    uint32_t value = static_cast<uint32_t>(whole(value_obj, name + " value", limit, true));
    std::array<uint8_t, VALUE_BYTES> bytes{};
    for (std::size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<uint8_t>(value >> (BITS_PER_BYTE * i));
    uint32_t abort = d.slave.write_object(key, bytes.data(), bytes.size());
    if (abort != 0) {
        char code[16];
        std::snprintf(code, sizeof code, "0x%08X", static_cast<unsigned>(abort));
        raise(PyExc_ValueError, name + " refused the write (abort code " + code + ")");
    }
}

int device_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    if (!nb::inst_ready(self)) return 0;
    Py_VISIT(nb::inst_ptr<PyDevice>(self)->on_cycle.ptr());
    return 0;
}

int device_clear(PyObject* self) {
    if (!nb::inst_ready(self)) return 0;
    nb::object hook = nb::none();
    std::swap(hook, nb::inst_ptr<PyDevice>(self)->on_cycle); // released after the swap
    return 0;
}

PyType_Slot device_slots[] = {{Py_tp_traverse, reinterpret_cast<void*>(device_traverse)},
                              {Py_tp_clear, reinterpret_cast<void*>(device_clear)},
                              {0, nullptr}};

} // namespace

// The frame itself: the reply area is whole words, so a frame of an odd length (every
// one but the 6-byte frame of 1 byte) would carry a padding byte no CRC covers.
std::size_t reply_size(const PyDevice& d) {
    unsigned n = d.slave.data_map_bytes(Direction::Tx);
    std::size_t frame = n <= 1 ? SHORT_FRAME_BYTES : FRAME_OVERHEAD_BYTES + 2 * (n + n % 2);
    return std::min<std::size_t>(frame, 2 * std::size_t{d.slave.reply_words()});
}

bool process_device(PyObject* self, PyDevice& d) {
    d.slave.process();
    if (d.on_cycle.is_none()) return true;
    nb::object hook = d.on_cycle; // kept alive even if the hook replaces itself
    PyObject* r = PyObject_CallOneArg(hook.ptr(), self);
    Py_XDECREF(r);
    return r != nullptr;
}

PyTypeObject* device_type = nullptr;

void init_device(nb::module_& m) {
    nb::class_<PyDevice> cls(m, "_VirtualSlave",
                             "A simulated FSoE device of its own: engine, object dictionary, "
                             "data maps, mock clock and random source.",
                             nb::type_slots(device_slots));
    cls.def("__init__", &device_init, nb::arg("rx_map").none(), nb::arg("tx_map").none(),
            nb::kw_only(), nb::arg("objects").none() = nb::tuple(), nb::arg("sra_crc").none() = 0,
            nb::arg("slave_address").none() = DEFAULT_SLAVE_ADDRESS, nb::arg("seed").none() = 1,
            nb::arg("time_us").none() = 0, nb::arg("on_cycle").none() = nb::none(),
            nb::sig("def __init__(self, rx_map: Sequence[tuple[int | None, int]], "
                    "tx_map: Sequence[tuple[int | None, int]], *, "
                    "objects: Sequence[tuple[int, int, int]] = (), sra_crc: int = 0, "
                    "slave_address: int = 0x1234, seed: int = 1, time_us: int = 0, "
                    "on_cycle: Callable[[Self], object] | None = None) -> None"),
            "A started device: application objects `objects` (key, bits, initial), the rx "
            "map over the master's outputs and the tx map over the device's inputs.");
    cls.def("set_request", &set_request, nb::arg("data").none(),
            nb::sig("def set_request(self, data: bytes) -> None"),
            "Take the master's request frame (at most 36 bytes).");
    cls.def("process", &process, "One engine step (watchdog, request, reply), then on_cycle.");
    cls.def("get_reply", &get_reply, "The device's current reply frame.");
    cls.def("cycle", &cycle, nb::arg("request").none(),
            nb::sig("def cycle(self, request: bytes) -> bytes"),
            "set_request(request), process() and get_reply() in one call.");
    cls.def(
        "start", [](PyDevice& d) { return d.slave.start(); },
        "Activate the engine with the device's maps (after stop()).");
    cls.def(
        "stop", [](PyDevice& d) { d.slave.stop(); },
        "Deactivate the engine: outputs to 0, back to Reset.");
    cls.def_prop_ro(
        "state", [](PyDevice& d) { return state_member(d.slave.state()); },
        nb::sig("def state(self) -> FSOEState"), "The engine's current state.");
    cls.def_prop_rw(
        "time_us", [](PyDevice& d) { return d.slave.time(); },
        [](PyDevice& d, nb::handle us) {
            d.slave.set_time(static_cast<uint32_t>(whole(us, "time_us", MAX_U32)));
        },
        nb::arg("us").none(), nb::sig("def time_us(self) -> int"),
        "The mock clock in microseconds (32 bits, wraps); only the Data-state watchdog reads it.");
    cls.def(
        "advance",
        [](PyDevice& d, nb::handle us) {
            d.slave.advance_time(static_cast<uint32_t>(whole(us, "us", MAX_U32)));
        },
        nb::arg("us").none(), nb::sig("def advance(self, us: int) -> None"),
        "Move the mock clock on by `us` microseconds.");
    cls.def(
        "seed_random",
        [](PyDevice& d, nb::handle seed) { d.slave.seed_random(whole(seed, "seed", MAX_U64)); },
        nb::arg("seed").none(), nb::sig("def seed_random(self, seed: int) -> None"),
        "Set the state of the random source behind the device's session ids.");
    cls.def("read", &read, nb::arg("key").none(), nb::sig("def read(self, key: int) -> int"),
            "An object's value: an application object's, or a numeric protocol object's.");
    cls.def("write", &write, nb::arg("key").none(), nb::arg("value").none(),
            nb::sig("def write(self, key: int, value: int) -> None"),
            "Set an application object, or a writable protocol object (ValueError when refused).");
    cls.def_prop_ro(
        "sto", [](PyDevice& d) { return d.slave.sto_status(); }, "The STO status (object 0x040).");
    cls.def_prop_ro(
        "rx_bytes", [](PyDevice& d) { return d.slave.data_map_bytes(Direction::Rx); },
        "Safe-data bytes of the master's requests (the rx map's size).");
    cls.def_prop_ro(
        "tx_bytes", [](PyDevice& d) { return d.slave.data_map_bytes(Direction::Tx); },
        "Safe-data bytes of the device's replies (the tx map's size).");
    cls.def_prop_rw(
        "on_cycle", [](PyDevice& d) { return d.on_cycle; },
        [](PyDevice& d, nb::handle hook) {
            require_callable(hook);
            nb::object old = nb::borrow(hook);
            std::swap(old, d.on_cycle);
        },
        nb::arg("hook").none(), nb::sig("def on_cycle(self) -> Callable[[Self], object] | None"),
        "Called with the device after each process(); None for none.");
    device_type = reinterpret_cast<PyTypeObject*>(cls.ptr());
}

} // namespace brisel::py
