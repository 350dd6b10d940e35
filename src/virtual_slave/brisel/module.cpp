// The virtual slave's Python face: module-level functions over one simulated slave.
#include "common/pyargs.hpp"

#include <nanobind/nanobind.h>

namespace nb = nanobind;

namespace {

constexpr unsigned MAX_DICT_KEY = 1000;
constexpr unsigned VARN_SIZE_FORMAT_BYTES = 0;
constexpr unsigned VARN_SIZE_FORMAT_BITS = 1;

} // namespace

NB_MODULE(brisel, m) {
    m.doc() = "Virtual FSoE slave";
    m.attr("MAX_DICT_KEY") = MAX_DICT_KEY;
    m.attr("VARN_SIZE_FORMAT_BYTES") = VARN_SIZE_FORMAT_BYTES;
    m.attr("VARN_SIZE_FORMAT_BITS") = VARN_SIZE_FORMAT_BITS;
}
