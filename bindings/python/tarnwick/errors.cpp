// The FSoE error codes: BaseError (0 to 11) and FSOEError (those, plus the
// device-specific 128 to 255).
#include "tarnwick/errors_binding.hpp"

#include "core/master/reports.hpp"

#include <array>
#include <string>

namespace tarnwick::py {

namespace {

using states::BASE_ERROR_COUNT;
using states::LAST_DEVICE_ERROR;

std::array<PyObject*, LAST_DEVICE_ERROR + 1> fsoe_members{};
std::array<PyObject*, BASE_ERROR_COUNT> base_members{};

// The members' names come from the library, which names the codes in its reports.
nb::list error_pairs(bool with_device_errors) {
    nb::list pairs;
    unsigned last = with_device_errors ? LAST_DEVICE_ERROR : BASE_ERROR_COUNT - 1;
    char name[states::ERROR_NAME_BYTES];
    for (unsigned code = 0; code <= last; ++code)
        if (states::error_code_name(static_cast<uint16_t>(code), name))
            pairs.append(nb::make_tuple(name, code));
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
