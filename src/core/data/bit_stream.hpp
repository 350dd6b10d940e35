// The safe data of a frame as one bit stream, least significant bit first: stream
// bit s is bit s % 16 of safe-data word s / 16. The 8 words are handled as one
// 128-bit value so that an entry straddling words is one shift and one mask.
#pragma once

#include "tarnwick/frame.hpp"

#include <cstdint>

namespace tarnwick::data {

constexpr unsigned BITS_PER_WORD = 16;
constexpr unsigned STREAM_BITS = frame::MAX_DATA_WORDS * BITS_PER_WORD;
constexpr unsigned WORDS_PER_HALF = 4; // 16-bit words in each 64-bit half

struct U128 {
    uint64_t lo = 0;
    uint64_t hi = 0;
};

inline U128 operator|(U128 a, U128 b) {
    return {a.lo | b.lo, a.hi | b.hi};
}
inline U128 operator&(U128 a, U128 b) {
    return {a.lo & b.lo, a.hi & b.hi};
}
inline bool operator==(U128 a, U128 b) {
    return a.lo == b.lo && a.hi == b.hi;
}
inline U128 operator~(U128 a) {
    return {~a.lo, ~a.hi};
}

// Shifts that drop whatever leaves the 128 bits; n may be anything.
inline U128 shl(U128 v, unsigned n) {
    if (n == 0) return v;
    if (n >= 128) return {};
    if (n >= 64) return {0, v.lo << (n - 64)};
    return {v.lo << n, (v.hi << n) | (v.lo >> (64 - n))};
}
inline U128 shr(U128 v, unsigned n) {
    if (n == 0) return v;
    if (n >= 128) return {};
    if (n >= 64) return {v.hi >> (n - 64), 0};
    return {(v.lo >> n) | (v.hi << (64 - n)), v.hi >> n};
}

// The low `bits` bits set (all 128 for 128 or more).
inline U128 low_mask(unsigned bits) {
    if (bits >= 128) return {~uint64_t{0}, ~uint64_t{0}};
    if (bits >= 64) return {~uint64_t{0}, bits == 64 ? 0 : ~uint64_t{0} >> (128 - bits)};
    return {bits == 0 ? 0 : ~uint64_t{0} >> (64 - bits), 0};
}

inline U128 load_stream(const frame::FrameRecord& f) {
    U128 s;
    for (unsigned k = 0; k < WORDS_PER_HALF; ++k) {
        s.lo |= uint64_t{f.safe_data[k]} << (BITS_PER_WORD * k);
        s.hi |= uint64_t{f.safe_data[k + WORDS_PER_HALF]} << (BITS_PER_WORD * k);
    }
    return s;
}

inline void store_stream(frame::FrameRecord& f, U128 s) {
    for (unsigned k = 0; k < WORDS_PER_HALF; ++k) {
        f.safe_data[k] = static_cast<uint16_t>(s.lo >> (BITS_PER_WORD * k));
        f.safe_data[k + WORDS_PER_HALF] = static_cast<uint16_t>(s.hi >> (BITS_PER_WORD * k));
    }
}

// A `width`-bit two's complement pattern sign-extended to 128 bits; a value that is
// no such pattern (it has bits at or above `width`) is kept as it stands.
inline U128 sign_extend(U128 v, unsigned width) {
    if (width == 0 || width >= STREAM_BITS || !(v == (v & low_mask(width)))) return v;
    bool negative = (shr(v, width - 1).lo & 1) != 0;
    return negative ? (v | ~low_mask(width)) : v;
}

// True when a field of `bits` bits carries the value whole. An unsigned value
// (signed_width 0) fits 0 ... 2^bits - 1. A signed one, given as the two's
// complement pattern of `signed_width` bits, fits -2^(bits-1) ... 2^(bits-1) - 1:
// the bits it loses are copies of its sign. A field of 0 bits carries nothing and
// one of the whole stream carries anything, so both take every value.
inline bool fits_field(U128 value, unsigned bits, unsigned signed_width) {
    if (bits == 0 || bits >= STREAM_BITS) return true;
    if (signed_width == 0) return (value & ~low_mask(bits)) == U128{};
    U128 above = shr(sign_extend(value, signed_width), bits - 1);
    return above == U128{} || above == low_mask(STREAM_BITS - bits + 1);
}

// ORs the low `bits` bits of value in at stream bit pos. Only the entry's own bits
// are written (the map refuses a value they cannot carry), and nothing lands past
// the end of the stream.
inline void insert_field(U128& stream, unsigned pos, unsigned bits, U128 value) {
    stream = stream | shl(value & low_mask(bits), pos);
}

// Stream bits pos ... pos+bits-1 as an unsigned value; bits past the end read as 0.
inline U128 extract_field(U128 stream, unsigned pos, unsigned bits) {
    return shr(stream, pos) & low_mask(bits);
}

} // namespace tarnwick::data
