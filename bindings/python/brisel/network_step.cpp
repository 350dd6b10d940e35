// brisel._step_pairs: one bus cycle of every master/device pair of a network in one
// call, for virtual_slave.Network when no connection has a link.
//
// The masters are tarnwick.MasterHandler objects of the other extension module,
// reached through its C-level interface (the capsule tarnwick._master_api): the same
// set_reply, poll and request a Python call would run, without a Python call per
// pair. The order is the Python network's: each pair exchanges (request to the
// device, its step and on_cycle hook, its reply to the master), then the clock and
// every device's clock move on, then every master polls. A pair that raises is
// recorded and skipped for the rest of that phase; the others go on.
#include "brisel/device_binding.hpp"
#include "common/master_api.h"

#include <cstdint>

namespace brisel::py {

namespace {

using tarnwick::py::MasterApi;

// Frames are at most 35 bytes; the reply area is read in whole words.
constexpr std::size_t REPLY_BUFFER_BYTES = 36;

const MasterApi* master_api() {
    static const MasterApi* api = nullptr;
    if (api) return api;
    nb::module_::import_("tarnwick");
    auto* found =
        static_cast<const MasterApi*>(PyCapsule_Import(tarnwick::py::MASTER_API_CAPSULE, 0));
    if (!found) raise_pending();
    if (found->version != tarnwick::py::MASTER_API_VERSION)
        throw nb::import_error("tarnwick's master interface has another version");
    api = found;
    return api;
}

PyDevice& device_arg(PyObject* obj) {
    if (!PyObject_TypeCheck(obj, device_type))
        throw nb::type_error("devices must be virtual_slave.VirtualSlave objects");
    return *nb::inst_ptr<PyDevice>(obj);
}

// The request to the device, its step, its reply to the master; false with the
// exception pending when one of them raised.
bool exchange(const MasterApi& api, PyObject* master, PyObject* device, PyDevice& d) {
    const uint8_t* request = nullptr;
    std::size_t size = 0;
    if (api.request(master, &request, &size) < 0) return false;
    if (!d.slave.set_request(request, size)) {
        PyErr_Format(PyExc_ValueError, "Request of %zu bytes is longer than the device takes",
                     size);
        return false;
    }
    if (!process_device(device, d)) return false;
    uint8_t reply[REPLY_BUFFER_BYTES];
    d.slave.reply(reply, d.slave.reply_words());
    return api.set_reply(master, reply, reply_size(d)) >= 0;
}

// Whether the master's state class changed since `classes[i]`, which then holds it.
bool state_changed(const MasterApi& api, PyObject* master, nb::list& classes, std::size_t i) {
    PyObject* cls = api.state_class(master);
    if (!cls) {
        PyErr_Clear();
        return false;
    }
    if (PyList_GET_ITEM(classes.ptr(), i) == cls) return false;
    PyList_SetItem(classes.ptr(), static_cast<Py_ssize_t>(i), nb::borrow(cls).release().ptr());
    return true;
}

nb::tuple step_pairs(nb::handle masters_obj, nb::handle devices_obj, nb::handle clock,
                     nb::handle cycle_us_obj, nb::handle classes_obj) {
    require_exact(masters_obj, &PyList_Type, "masters");
    require_exact(devices_obj, &PyList_Type, "devices");
    require_exact(classes_obj, &PyList_Type, "classes");
    nb::list masters = nb::borrow<nb::list>(masters_obj);
    nb::list devices = nb::borrow<nb::list>(devices_obj);
    nb::list classes = nb::borrow<nb::list>(classes_obj);
    uint32_t cycle_us = c_unsigned<uint32_t>(cycle_us_obj);
    const MasterApi& api = *master_api();
    std::size_t n = nb::len(masters);
    if (nb::len(devices) != n || nb::len(classes) != n)
        throw nb::value_error("masters, devices and classes must be as long");
    uint64_t now = 0;
    if (api.clock_now(clock.ptr(), &now) < 0) raise_pending();
    for (std::size_t i = 0; i < n; ++i)
        device_arg(PyList_GET_ITEM(devices.ptr(), i));
    nb::list failures, changed;
    auto fail = [&](std::size_t i) {
        failures.append(nb::make_tuple(i, take_pending_exception()));
    };
    for (std::size_t i = 0; i < n; ++i) {
        PyObject* device = PyList_GET_ITEM(devices.ptr(), i);
        if (!exchange(api, PyList_GET_ITEM(masters.ptr(), i), device, device_arg(device))) fail(i);
    }
    if (api.clock_advance(clock.ptr(), cycle_us) < 0) raise_pending();
    for (std::size_t i = 0; i < n; ++i) {
        PyObject* master = PyList_GET_ITEM(masters.ptr(), i);
        device_arg(PyList_GET_ITEM(devices.ptr(), i)).slave.advance_time(cycle_us);
        if (api.poll(master) < 0) fail(i);
        if (state_changed(api, master, classes, i)) changed.append(i);
    }
    return nb::make_tuple(failures, changed);
}

} // namespace

void init_network_step(nb::module_& m) {
    def(m, "_step_pairs", &step_pairs,
        "One bus cycle of every master/device pair (virtual_slave.Network's native step): "
        "returns (failures as (index, exception), indices whose master changed state)",
        {{"masters", "list[object]"},
         {"devices", "list[_VirtualSlave]"},
         {"clock", "object"},
         {"cycle_us", "int"},
         {"classes", "list[object]"},
         {"return", "tuple[list[tuple[int, BaseException]], list[int]]"}},
        nb::arg("masters").none(), nb::arg("devices").none(), nb::arg("clock").none(),
        nb::arg("cycle_us").none(), nb::arg("classes").none());
}

} // namespace brisel::py
