// BaseError and FSOEError, with O(1) lookups from a code to its member.
#pragma once

#include "tarnwick/binding.hpp"

#include <cstdint>

namespace tarnwick::py {

// The FSOEError member for a code, or nullptr when the code has none (12 to 127).
PyObject* fsoe_error_member(uint16_t code);
// The BaseError member for a code 0 to 11.
PyObject* base_error_member(uint16_t code);
// "INVALID_CRC" for 4; for a code without a member, a readable stand-in.
nb::str error_name(uint16_t code);

void init_errors(nb::module_& m);

} // namespace tarnwick::py
