// The FSoE block CRC of the slave, table-driven with the table built at compile time.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace brisel {

// x^16+x^13+x^12+x^11+x^8+x^7+x^5+x^4+x^2+x+1, processed most significant bit
// first, initial value 0, no final XOR.
constexpr uint16_t FSOE_CRC16_POLY = 0x39B7;

constexpr std::array<uint16_t, 256> fsoe_crc16_make_table() {
    std::array<uint16_t, 256> table{};
    for (unsigned i = 0; i < 256; ++i) {
        uint16_t c = static_cast<uint16_t>(i << 8);
        for (int bit = 0; bit < 8; ++bit)
            c = static_cast<uint16_t>((c & 0x8000) ? (c << 1) ^ FSOE_CRC16_POLY : c << 1);
        table[i] = c;
    }
    return table;
}

inline constexpr std::array<uint16_t, 256> FSOE_CRC16_TABLE = fsoe_crc16_make_table();
static_assert(FSOE_CRC16_TABLE[1] == 0x39B7 && FSOE_CRC16_TABLE[2] == 0x736E &&
              FSOE_CRC16_TABLE[4] == 0xE6DC);

constexpr uint16_t fsoe_crc16(const uint8_t* data, std::size_t len) {
    uint16_t c = 0;
    for (std::size_t i = 0; i < len; ++i)
        c = static_cast<uint16_t>((c << 8) ^ FSOE_CRC16_TABLE[((c >> 8) ^ data[i]) & 0xFF]);
    return c;
}

constexpr uint8_t FSOE_CRC16_CHECK_INPUT[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
static_assert(fsoe_crc16(FSOE_CRC16_CHECK_INPUT, sizeof FSOE_CRC16_CHECK_INPUT) == 0xDDE2);

} // namespace brisel
