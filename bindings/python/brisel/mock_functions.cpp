// Mock clock, random source and expected SRA CRC.
#include "brisel/binding.hpp"

namespace brisel::py {

void init_mock(nb::module_& m) {
    def(
        m, "set_mock_time", [](nb::handle t) { slave().set_time(c_unsigned<uint32_t>(t)); },
        "Set the mock clock, in microseconds.", {}, nb::arg("u32SetTimeUs").none());
    def(m, "get_time", [] { return slave().time(); }, "The mock clock, in microseconds.", {});
    def(
        m, "seed_random", [](nb::handle seed) { slave().seed_random(c_unsigned<uint64_t>(seed)); },
        "Set the state of the mock random source.", {}, nb::arg("seed").none());
    def(m, "get_mock_random_u16", [] { return slave().next_random(); },
        "Advance the mock random source and return its new state.", {});
    def(
        m, "set_sra_crc", [](nb::handle sra) { slave().set_sra_crc(c_unsigned<uint32_t>(sra)); },
        "Set the SRA CRC the slave expects as the application parameter.", {},
        nb::arg("new_sra").none());
    def(m, "get_sra_crc", [] { return slave().sra_crc(); },
        "The SRA CRC the slave expects as the application parameter.", {});
}

} // namespace brisel::py
