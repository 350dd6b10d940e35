// brisel._VirtualSlave's instance data, shared by the device's binding and the
// network's native step.
#pragma once

#include "brisel/binding.hpp"

namespace brisel::py {

struct PyDevice {
    tarnwick::VirtualSlave slave;
    nb::object on_cycle; // None or a callable, called with the device after process()
};

// The _VirtualSlave class (set when the module loads).
extern PyTypeObject* device_type;

// The reply frame's length in bytes (without the reply area's padding byte).
std::size_t reply_size(const PyDevice& d);
// One engine step, then the device's on_cycle hook; false with the hook's exception
// pending.
bool process_device(PyObject* self, PyDevice& d);

} // namespace brisel::py
