// The FSoE error codes: BaseError (0 to 11) and FSOEError (those, plus the
// device-specific 128 to 255).
#include "tarnwick/errors_binding.hpp"

#include <array>
#include <string>

namespace tarnwick::py {

namespace {

constexpr const char* BASE_ERRORS[] = {
    "RESET",           "INVALID_CMD",         "UNKNOWN_CMD",
    "INVALID_CONNID",  "INVALID_CRC",         "WD_EXPIRED",
    "INVALID_ADDRESS", "INVALID_DATA",        "INVALID_COMMPARALEN",
    "INVALID_COMPARA", "INVALID_USERPARALEN", "INVALID_USERPARA",
};
constexpr unsigned BASE_ERROR_COUNT = sizeof BASE_ERRORS / sizeof BASE_ERRORS[0];
constexpr unsigned FIRST_DEVICE_ERROR = 128;
constexpr unsigned LAST_DEVICE_ERROR = 255;
constexpr const char* DEVICE_ERROR_PREFIX = "INVALID_SAFEPARA_";

std::array<PyObject*, LAST_DEVICE_ERROR + 1> fsoe_members{};
std::array<PyObject*, BASE_ERROR_COUNT> base_members{};

nb::list error_pairs(bool with_device_errors) {
    nb::list pairs;
    for (unsigned code = 0; code < BASE_ERROR_COUNT; ++code)
        pairs.append(nb::make_tuple(BASE_ERRORS[code], code));
    if (with_device_errors)
        for (unsigned code = FIRST_DEVICE_ERROR; code <= LAST_DEVICE_ERROR; ++code)
            pairs.append(nb::make_tuple(
                nb::str((DEVICE_ERROR_PREFIX + std::to_string(code)).c_str()), code));
    return pairs;
}

} // namespace

PyObject* fsoe_error_member(uint16_t code) {
    return code <= LAST_DEVICE_ERROR ? fsoe_members[code] : nullptr;
}

PyObject* base_error_member(uint16_t code) {
    return code < BASE_ERROR_COUNT ? base_members[code] : nullptr;
}

nb::str error_name(uint16_t code) {
    PyObject* member = fsoe_error_member(code);
    if (member) return nb::str(nb::handle(member).attr("name"));
    return nb::str(("UNKNOWN_ERROR_" + std::to_string(code)).c_str());
}

void init_errors(nb::module_& m) {
    nb::module_ enum_mod = nb::module_::import_("enum");
    nb::object base =
        enum_mod.attr("IntEnum")("BaseError", error_pairs(false), nb::arg("module") = "tarnwick",
                                 nb::arg("qualname") = "BaseError");
    base.attr("__doc__") = "Basic FSoE Error";
    nb::object fsoe = enum_mod.attr("Enum")(
        "FSOEError", error_pairs(true), nb::arg("module") = "tarnwick",
        nb::arg("qualname") = "FSOEError", nb::arg("type") = nb::handle(&PyLong_Type));
    fsoe.attr("__doc__") = "FSoE error codes: the basic codes and the device-specific codes";
    for (unsigned code = 0; code < BASE_ERROR_COUNT; ++code)
        base_members[code] = base(code).release().ptr();
    for (nb::handle member : fsoe) {
        long code = PyLong_AsLong(nb::object(member.attr("value")).ptr());
        if (code < 0 || code > static_cast<long>(LAST_DEVICE_ERROR)) raise_pending();
        fsoe_members[static_cast<unsigned>(code)] = member.inc_ref().ptr();
    }
    m.attr("BaseError") = base;
    m.attr("FSOEError") = fsoe;
}

} // namespace tarnwick::py
