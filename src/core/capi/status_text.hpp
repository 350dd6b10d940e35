// The texts of the C API's status codes. Each library compiles its own copy (internal
// linkage), so the master's and the virtual slave's libraries share no symbol.
#pragma once

#include "tarnwick/status.h"

namespace {

const char* status_text(tarnwick_status status) {
    switch (status) {
    case TARNWICK_OK:
        return "success";
    case TARNWICK_E_NULL:
        return "a required pointer argument is NULL";
    case TARNWICK_E_INVALID:
        return "invalid argument or configuration";
    case TARNWICK_E_VERSION:
        return "struct_size does not match this library's structure (header and library "
               "versions differ)";
    case TARNWICK_E_BUFFER_TOO_SMALL:
        return "buffer too small";
    case TARNWICK_E_SIZE:
        return "wrong size";
    case TARNWICK_E_RUNNING:
        return "not allowed while running";
    case TARNWICK_E_NOT_STARTED:
        return "not started: nothing to send before the first start or reset";
    case TARNWICK_E_IN_CALLBACK:
        return "not allowed inside the object's own callback";
    case TARNWICK_E_NO_MEMORY:
        return "out of memory";
    case TARNWICK_E_OBJECT:
        return "the object dictionary refused the access";
    case TARNWICK_E_INTERNAL:
        return "internal error";
    default:
        return "unknown status";
    }
}

} // namespace
