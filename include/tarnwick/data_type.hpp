// Value types of safe data: widths, ranges, and the conversions between a natural
// value (bool, integer, real) and the unsigned bit pattern that travels in a frame.
//
// Plain C++: the binding converts Python objects to the C++ values used here and
// turns a Status into the matching Python error.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>

namespace tarnwick::data {

// Codes are the enumeration values the Python side shows (1 to 8, in this order).
enum class DataType : uint8_t { BOOL = 1, FLOAT, UINT8, INT8, UINT16, INT16, UINT32, INT32 };
constexpr unsigned DATA_TYPE_COUNT = 8;
constexpr unsigned BITS_PER_BYTE = 8;

struct TypeInfo {
    const char* name;
    unsigned bits;
    bool is_integer;
    bool is_signed;
    int64_t min_value; // integer types only
    int64_t max_value;
};

constexpr TypeInfo TYPE_TABLE[DATA_TYPE_COUNT] = {
    {"BOOL", 1, false, false, 0, 0},
    {"FLOAT", 32, false, false, 0, 0},
    {"UINT8", 8, true, false, 0, 0xFF},
    {"INT8", 8, true, true, -0x80, 0x7F},
    {"UINT16", 16, true, false, 0, 0xFFFF},
    {"INT16", 16, true, true, -0x8000, 0x7FFF},
    {"UINT32", 32, true, false, 0, 0xFFFFFFFF},
    {"INT32", 32, true, true, -0x80000000LL, 0x7FFFFFFF},
};

constexpr bool is_code(unsigned code) {
    return code >= 1 && code <= DATA_TYPE_COUNT;
}
constexpr const TypeInfo& info(DataType t) {
    return TYPE_TABLE[static_cast<unsigned>(t) - 1];
}
// Bytes an item of the type occupies: ceil(bits / 8).
constexpr unsigned bytes_of(DataType t) {
    return (info(t).bits + BITS_PER_BYTE - 1) / BITS_PER_BYTE;
}

enum class Status : uint8_t {
    OK,
    INVALID_BOOL,   // a BOOL value that is neither 0 nor 1
    OUT_OF_RANGE,   // an integer type given a value outside [min_value, max_value]
    NOT_INTEGER,    // an integer type given a real inside its range: the result is no int
    FLOAT_OVERFLOW, // a finite real beyond the single-precision range
    TOO_BIG,        // a FLOAT pattern wider than 32 bits
};

inline uint32_t float_bits(float f) {
    uint32_t u;
    std::memcpy(&u, &f, sizeof u);
    return u;
}
inline float float_from_bits(uint32_t u) {
    float f;
    std::memcpy(&f, &u, sizeof f);
    return f;
}

// Smallest magnitude that rounds to infinity as a single: FLT_MAX plus half an ulp
// (the tie rounds up, FLT_MAX having an odd significand).
constexpr double SINGLE_OVERFLOW_BOUND = 0x1.ffffffp+127;

// binary32 pattern of x, rounded to nearest as the interpreter's float packing does.
inline Status pack_single(double x, uint32_t& raw) {
    if (std::isfinite(x) && std::fabs(x) >= SINGLE_OVERFLOW_BOUND) return Status::FLOAT_OVERFLOW;
    raw = float_bits(static_cast<float>(x));
    return Status::OK;
}

// Natural integer to frame pattern.
inline Status serialize_integer(DataType t, int64_t v, uint32_t& raw) {
    const TypeInfo& ti = info(t);
    if (t == DataType::FLOAT) return pack_single(static_cast<double>(v), raw);
    if (t == DataType::BOOL) {
        if (v != 0 && v != 1) return Status::INVALID_BOOL;
        raw = static_cast<uint32_t>(v);
        return Status::OK;
    }
    if (v < ti.min_value || v > ti.max_value) return Status::OUT_OF_RANGE;
    // Two's complement in `bits` bits for a negative value.
    raw = static_cast<uint32_t>(v < 0 ? v + (int64_t{1} << ti.bits) : v);
    return Status::OK;
}

// Natural real to frame pattern. An integer type takes no real: inside its range
// the result would be a real, which is refused as NOT_INTEGER.
inline Status serialize_real(DataType t, double x, uint32_t& raw) {
    const TypeInfo& ti = info(t);
    if (t == DataType::FLOAT) return pack_single(x, raw);
    if (t == DataType::BOOL) {
        if (x == 1.0)
            raw = 1;
        else if (x == 0.0)
            raw = 0;
        else
            return Status::INVALID_BOOL;
        return Status::OK;
    }
    // The bounds are exact in double, so these comparisons are exact.
    if (x < static_cast<double>(ti.min_value) || x > static_cast<double>(ti.max_value))
        return Status::OUT_OF_RANGE;
    return Status::NOT_INTEGER;
}

// A natural value as unserialize produces it.
struct Natural {
    enum Kind : uint8_t { BOOL, INT, BIG, REAL } kind;
    int64_t i;  // BOOL (0 or 1) and INT
    uint64_t u; // BIG: a non-negative value above INT64_MAX
    double r;   // REAL
};

// Frame pattern (any width up to 64 bits) to natural value. No range check: a
// pattern wider than the type (an entry mapped on more bits) is kept, as the
// interpreter's integer arithmetic would keep it.
inline Status unserialize(DataType t, uint64_t raw, Natural& out) {
    const TypeInfo& ti = info(t);
    if (t == DataType::BOOL) {
        out = {Natural::BOOL, raw != 0, 0, 0.0};
        return Status::OK;
    }
    if (t == DataType::FLOAT) {
        if (raw > 0xFFFFFFFFu) return Status::TOO_BIG;
        out = {Natural::REAL, 0, 0,
               static_cast<double>(float_from_bits(static_cast<uint32_t>(raw)))};
        return Status::OK;
    }
    const uint64_t span = uint64_t{1} << ti.bits;
    if (ti.is_signed && (raw & (span >> 1))) {
        if (raw < span) {
            out = {Natural::INT, static_cast<int64_t>(raw) - static_cast<int64_t>(span), 0, 0.0};
            return Status::OK;
        }
        raw -= span; // a wider pattern stays non-negative
    }
    if (raw > static_cast<uint64_t>(INT64_MAX))
        out = {Natural::BIG, 0, raw, 0.0};
    else
        out = {Natural::INT, static_cast<int64_t>(raw), 0, 0.0};
    return Status::OK;
}

} // namespace tarnwick::data
