// The mock object dictionary by 16-bit key. Abort codes are not reported: a
// failed access simply has no effect, and unfilled result bytes read as 0.
#include "brisel/binding.hpp"

#include <cstdio>

namespace brisel::py {

namespace {

constexpr const char* READ_DOC = "Perform a read operation on the slave mock dictionary";
constexpr const char* WRITE_DOC = "Perform a write operation on the slave mock dictionary";
constexpr const char* FAST_WRITE_DOC =
    "Perform a write operation with fast API on the slave mock dictionary";

template <unsigned Bytes> uint32_t read_key(nb::handle key) {
    uint16_t k = c_unsigned<uint16_t>(key);
    uint8_t buf[Bytes] = {};
    uint16_t size = 0;
    slave().read_object(k, buf, Bytes, &size);
    uint32_t v = 0;
    for (unsigned i = 0; i < Bytes; ++i)
        v |= static_cast<uint32_t>(buf[i]) << (8 * i);
    return v;
}

template <unsigned Bytes> void put_le(uint8_t (&buf)[Bytes], uint32_t v) {
    for (unsigned i = 0; i < Bytes; ++i)
        buf[i] = static_cast<uint8_t>(v >> (8 * i));
}

void write16(nb::handle key, nb::handle data) {
    uint16_t k = c_unsigned<uint16_t>(key);
    uint16_t v = c_unsigned<uint16_t>(data);
    char line[16];
    std::snprintf(line, sizeof line, "data %u", static_cast<unsigned>(v));
    print_line(line);
    uint8_t buf[2];
    put_le(buf, v);
    slave().write_object(k, buf, sizeof buf);
}

void write32(nb::handle key, nb::handle data) {
    uint16_t k = c_unsigned<uint16_t>(key);
    uint32_t v = c_unsigned<uint32_t>(data);
    uint8_t buf[4];
    put_le(buf, v);
    slave().write_object(k, buf, sizeof buf);
}

void fast_write32(nb::handle key, nb::handle data) {
    uint16_t k = c_unsigned<uint16_t>(key);
    slave().fast_write32(k, c_unsigned<uint32_t>(data));
}

} // namespace

void init_dictionary(nb::module_& m) {
    def(m, "dict_read16", &read_key<2>, READ_DOC, {}, nb::arg("key").none());
    def(m, "dict_read32", &read_key<4>, READ_DOC, {}, nb::arg("key").none());
    def(m, "dict_write16", &write16, WRITE_DOC, {}, nb::arg("key").none(), nb::arg("data").none());
    def(m, "dict_write32", &write32, WRITE_DOC, {}, nb::arg("key").none(), nb::arg("data").none());
    def(m, "dict_fast_write32", &fast_write32, FAST_WRITE_DOC, {}, nb::arg("key").none(),
        nb::arg("data").none());
    def(m, "get_status_sto", [] { return slave().sto_status(); },
        "The STO status held by the mock dictionary.", {{"return", "bool"}});
}

} // namespace brisel::py
