#include "tarnwick/sra_crc.hpp"
#include "tarnwick/binding.hpp"

namespace tarnwick::py {

void init_sra_crc(nb::module_& m) {
    m.def(
        "calculate_sra_crc",
        [](nb::handle params) -> uint32_t {
            require_exact(params, &PyList_Type, "params");
            uint32_t c = 0;
            // The size is re-read each step: converting an element may run Python code.
            for (Py_ssize_t i = 0; i < PyList_GET_SIZE(params.ptr()); ++i) {
                nb::object item = nb::borrow(PyList_GET_ITEM(params.ptr(), i));
                c = frame::sra_crc_update(c, to_u16(item));
            }
            return c;
        },
        nb::arg("params").none(), nb::sig("def calculate_sra_crc(params: list[int]) -> int"),
        "Calculate the SRA CRC (32-bit) of the safety-related application parameters.");
}

} // namespace tarnwick::py
