// Table-driven MSB-first CRCs with tables built at compile time.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace tarnwick::crc {

// FSoE block CRC: x^16+x^13+x^12+x^11+x^8+x^7+x^5+x^4+x^2+x+1, not reflected,
// initial value 0, no final XOR.
constexpr uint16_t CRC16_POLY = 0x39B7;
// SRA parameter CRC: CRC-32/AIXM (CRC-32Q), not reflected, initial 0, no final XOR.
constexpr uint32_t CRC32_SRA_POLY = 0x814141ABu;

template <typename T, T Poly> constexpr std::array<T, 256> make_msb_table() {
    constexpr unsigned width = sizeof(T) * 8;
    constexpr T top = static_cast<T>(T{1} << (width - 1));
    std::array<T, 256> table{};
    for (unsigned i = 0; i < 256; ++i) {
        T c = static_cast<T>(static_cast<T>(i) << (width - 8));
        for (int bit = 0; bit < 8; ++bit)
            c = static_cast<T>((c & top) ? static_cast<T>(c << 1) ^ Poly : static_cast<T>(c << 1));
        table[i] = c;
    }
    return table;
}

inline constexpr auto CRC16_TABLE = make_msb_table<uint16_t, CRC16_POLY>();
inline constexpr auto CRC32_SRA_TABLE = make_msb_table<uint32_t, CRC32_SRA_POLY>();

static_assert(CRC16_TABLE[1] == 0x39B7 && CRC16_TABLE[2] == 0x736E && CRC16_TABLE[4] == 0xE6DC);

// Entry i is the register after feeding byte i and then a zero byte: with it two
// input bytes take two independent look-ups (CRCs are linear over XOR).
constexpr std::array<uint16_t, 256> make_crc16_pair_table() {
    std::array<uint16_t, 256> table{};
    for (unsigned i = 0; i < 256; ++i) {
        uint16_t c = CRC16_TABLE[i];
        table[i] = static_cast<uint16_t>((c << 8) ^ CRC16_TABLE[c >> 8]);
    }
    return table;
}
inline constexpr auto CRC16_PAIR_TABLE = make_crc16_pair_table();
static_assert(CRC32_SRA_TABLE[1] == 0x814141ABu);

constexpr uint16_t crc16_update(uint16_t c, uint8_t b) {
    return static_cast<uint16_t>((c << 8) ^ CRC16_TABLE[((c >> 8) ^ b) & 0xFF]);
}

// Two bytes b0, b1 at once: with c = (h << 8) | l, the register becomes
// PAIR[h ^ b0] ^ TABLE[l ^ b1], two independent look-ups instead of a chain of two.
constexpr uint16_t crc16_update_pair(uint16_t c, uint8_t b0, uint8_t b1) {
    return static_cast<uint16_t>(CRC16_PAIR_TABLE[((c >> 8) ^ b0) & 0xFF] ^
                                 CRC16_TABLE[(c ^ b1) & 0xFF]);
}

constexpr uint16_t crc16(const uint8_t* data, std::size_t len, uint16_t c = 0) {
    std::size_t i = 0;
    for (; i + 1 < len; i += 2)
        c = crc16_update_pair(c, data[i], data[i + 1]);
    if (i < len) c = crc16_update(c, data[i]);
    return c;
}

constexpr uint32_t crc32_sra_update(uint32_t c, uint8_t b) {
    return (c << 8) ^ CRC32_SRA_TABLE[((c >> 24) ^ b) & 0xFF];
}

// Entry [d][b] is the register after feeding byte b and then d zero bytes, from 0.
// A CRC is linear over XOR, so the CRC of a short message is the XOR of its bytes'
// entries at their distances from the end: independent look-ups that the processor
// overlaps, where the byte loop waits on each step. 16 rows cover the block CRCs.
constexpr unsigned CRC16_DISTANCES = 16;
using Crc16DistanceTable = std::array<std::array<uint16_t, 256>, CRC16_DISTANCES>;
constexpr Crc16DistanceTable make_crc16_distance_table() {
    Crc16DistanceTable table{};
    for (unsigned b = 0; b < 256; ++b) {
        uint16_t c = CRC16_TABLE[b];
        for (unsigned d = 0; d < CRC16_DISTANCES; ++d) {
            table[d][b] = c;
            c = crc16_update(c, 0);
        }
    }
    return table;
}
inline constexpr Crc16DistanceTable CRC16_BY_DISTANCE = make_crc16_distance_table();

// CRC-16 (from 0) of `len` bytes followed by `zeros` zero bytes; len + zeros must not
// exceed CRC16_DISTANCES.
constexpr uint16_t crc16_short(const uint8_t* data, std::size_t len, unsigned zeros) {
    uint16_t c = 0;
    for (std::size_t i = 0; i < len; ++i)
        c = static_cast<uint16_t>(c ^ CRC16_BY_DISTANCE[len - 1 - i + zeros][data[i]]);
    return c;
}

} // namespace tarnwick::crc
