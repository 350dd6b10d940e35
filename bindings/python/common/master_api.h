// The tarnwick module's C-level interface to its MasterHandler, for a native loop in
// another extension (the virtual slave's network steps every pair in one call). It
// travels as the capsule `tarnwick._master_api`; every function runs with the
// interpreter lock held and returns -1 with a Python exception set on failure.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>

namespace tarnwick::py {

constexpr const char* MASTER_API_CAPSULE = "tarnwick._master_api";
constexpr unsigned MASTER_API_VERSION = 1;

struct MasterApi {
    unsigned version;
    // The handler's current request: valid until its next event.
    int (*request)(PyObject* handler, const uint8_t** data, std::size_t* size);
    // set_reply() with the bytes as given.
    int (*set_reply)(PyObject* handler, const uint8_t* data, std::size_t size);
    // poll(): 1 when an expiry was delivered, 0 when not.
    int (*poll)(PyObject* handler);
    // The class of the handler's current state instance (a borrowed reference).
    PyObject* (*state_class)(PyObject* handler);
    // A ManualClock: its time in microseconds (-1 for another object), and a step on.
    int (*clock_now)(PyObject* clock, uint64_t* now_us);
    int (*clock_advance)(PyObject* clock, uint64_t us);
};

} // namespace tarnwick::py
