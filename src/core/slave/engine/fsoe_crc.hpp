// The FSoE block CRC of the slave, table-driven with the tables built at compile time.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace brisel {

// x^16+x^13+x^12+x^11+x^8+x^7+x^5+x^4+x^2+x+1, processed most significant bit
// first, initial value 0, no final XOR.
constexpr uint16_t FSOE_CRC16_POLY = 0x39B7;

using fsoe_crc16_table = std::array<uint16_t, 256>;

// Entry i: the register after byte i enters a zero register.
constexpr fsoe_crc16_table fsoe_crc16_make_table() {
    fsoe_crc16_table table{};
    for (unsigned i = 0; i < 256; ++i) {
        uint16_t c = static_cast<uint16_t>(i << 8);
        for (int bit = 0; bit < 8; ++bit)
            c = static_cast<uint16_t>((c & 0x8000) ? (c << 1) ^ FSOE_CRC16_POLY : c << 1);
        table[i] = c;
    }
    return table;
}

// Entry i: the register after byte i and then a zero byte. With it two bytes are
// processed per step, as two independent look-ups (the CRC is linear).
constexpr fsoe_crc16_table fsoe_crc16_make_pair_table(const fsoe_crc16_table& t) {
    fsoe_crc16_table pair{};
    for (unsigned i = 0; i < 256; ++i)
        pair[i] = static_cast<uint16_t>((t[i] << 8) ^ t[t[i] >> 8]);
    return pair;
}

inline constexpr fsoe_crc16_table FSOE_CRC16_TABLE = fsoe_crc16_make_table();
inline constexpr fsoe_crc16_table FSOE_CRC16_PAIR_TABLE =
    fsoe_crc16_make_pair_table(FSOE_CRC16_TABLE);
static_assert(FSOE_CRC16_TABLE[1] == 0x39B7 && FSOE_CRC16_TABLE[2] == 0x736E &&
              FSOE_CRC16_TABLE[4] == 0xE6DC);

constexpr uint16_t fsoe_crc16(const uint8_t* data, std::size_t len) {
    uint16_t c = 0;
    std::size_t i = 0;
    for (; i + 1 < len; i += 2)
        c = static_cast<uint16_t>(FSOE_CRC16_PAIR_TABLE[((c >> 8) ^ data[i]) & 0xFF] ^
                                  FSOE_CRC16_TABLE[(c ^ data[i + 1]) & 0xFF]);
    if (i < len)
        c = static_cast<uint16_t>((c << 8) ^ FSOE_CRC16_TABLE[((c >> 8) ^ data[i]) & 0xFF]);
    return c;
}

// The same CRC one byte at a time, straight from the definition.
constexpr uint16_t fsoe_crc16_bytewise(const uint8_t* data, std::size_t len) {
    uint16_t c = 0;
    for (std::size_t i = 0; i < len; ++i)
        c = static_cast<uint16_t>((c << 8) ^ FSOE_CRC16_TABLE[((c >> 8) ^ data[i]) & 0xFF]);
    return c;
}

// Longest input (bytes and trailing zeros) the positional tables cover: a frame
// CRC's input is at most 14 bytes.
constexpr unsigned FSOE_CRC16_SPAN_BYTES = 16;
using fsoe_crc16_span_tables = std::array<fsoe_crc16_table, FSOE_CRC16_SPAN_BYTES>;

// Entry [d][b]: the register after byte b and then d zero bytes enter a zero
// register. The CRC is linear with a zero start, so each byte's share depends only
// on its value and its distance from the end: the shares are independent look-ups.
constexpr fsoe_crc16_span_tables fsoe_crc16_make_span_tables(const fsoe_crc16_table& t) {
    fsoe_crc16_span_tables span{};
    span[0] = t;
    for (unsigned d = 1; d < FSOE_CRC16_SPAN_BYTES; ++d)
        for (unsigned b = 0; b < 256; ++b) {
            uint16_t c = span[d - 1][b];
            span[d][b] = static_cast<uint16_t>((c << 8) ^ t[c >> 8]);
        }
    return span;
}

inline constexpr fsoe_crc16_span_tables FSOE_CRC16_SPAN_TABLES =
    fsoe_crc16_make_span_tables(FSOE_CRC16_TABLE);

// Takes an input's bytes in order, each by its distance from the end, starting from
// the first one's distance: no byte waits for the register the others leave.
struct fsoe_crc16_shares {
    std::size_t distance; // of the next byte, below FSOE_CRC16_SPAN_BYTES
    uint16_t crc = 0;
    constexpr void byte(uint8_t b) {
        crc = static_cast<uint16_t>(crc ^ FSOE_CRC16_SPAN_TABLES[distance--][b]);
    }
    constexpr void word(uint16_t v) { // little-endian
        byte(static_cast<uint8_t>(v));
        byte(static_cast<uint8_t>(v >> 8));
    }
};

// The CRC of `len` bytes followed by `zeros` zero bytes, len + zeros at most
// FSOE_CRC16_SPAN_BYTES: the same value as fsoe_crc16 over the whole input.
constexpr uint16_t fsoe_crc16_span(const uint8_t* data, std::size_t len, std::size_t zeros) {
    if (len == 0) return 0;
    fsoe_crc16_shares s{len - 1 + zeros};
    for (std::size_t i = 0; i < len; ++i)
        s.byte(data[i]);
    return s.crc;
}

constexpr uint8_t FSOE_CRC16_CHECK_INPUT[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
static_assert(fsoe_crc16(FSOE_CRC16_CHECK_INPUT, 9) == 0xDDE2);
static_assert(fsoe_crc16(FSOE_CRC16_CHECK_INPUT, 8) ==
              fsoe_crc16_bytewise(FSOE_CRC16_CHECK_INPUT, 8));
static_assert(fsoe_crc16_span(FSOE_CRC16_CHECK_INPUT, 9, 0) == 0xDDE2);
// Trailing zeros enter the span CRC by distance only.
constexpr uint8_t FSOE_CRC16_CHECK_ZEROS[] = {'1', '2', '3', '4', '5', '6', 0, 0, 0};
static_assert(fsoe_crc16_span(FSOE_CRC16_CHECK_INPUT, 6, 3) ==
              fsoe_crc16_bytewise(FSOE_CRC16_CHECK_ZEROS, 9));

} // namespace brisel
