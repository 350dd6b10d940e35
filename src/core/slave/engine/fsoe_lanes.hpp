// Frame words held in 64-bit lanes, so the codec and the static map shift fields in
// and out in registers instead of staging them byte by byte in memory.
#pragma once

#include <array>
#include <cstdint>

namespace brisel {

// The words of a request or reply area, the most a frame image holds.
constexpr unsigned FSOE_LANES_WORDS = 6;
constexpr unsigned FSOE_LANE_BITS = 64;
constexpr unsigned FSOE_WORD_BITS = 16;
constexpr unsigned FSOE_WORDS_PER_LANE = FSOE_LANE_BITS / FSOE_WORD_BITS;

// Word k at bits 16k. The last lane lies beyond any image and stays 0 for reads,
// so a field read across the area's end sees zeros; writes there are dropped.
struct fsoe_lanes {
    uint64_t lane[(FSOE_LANES_WORDS + FSOE_WORDS_PER_LANE - 1) / FSOE_WORDS_PER_LANE + 1];
};
constexpr unsigned FSOE_LANES_COUNT = sizeof(fsoe_lanes::lane) / sizeof(uint64_t);

inline uint64_t fsoe_lanes_mask(unsigned width) {
    return width >= FSOE_LANE_BITS ? ~uint64_t{0} : (uint64_t{1} << width) - 1;
}

// The first `count` words (at most an area's); the rest read as 0.
inline fsoe_lanes fsoe_lanes_from_words(const uint16_t* words, unsigned count) {
    fsoe_lanes l{};
    unsigned n = count < FSOE_LANES_WORDS ? count : FSOE_LANES_WORDS;
    for (unsigned w = 0; w < n; ++w)
        l.lane[w / FSOE_WORDS_PER_LANE] |= uint64_t{words[w]}
                                           << (FSOE_WORD_BITS * (w % FSOE_WORDS_PER_LANE));
    return l;
}

// Entry [count][k]: the bits of lane k that the first `count` words cover.
constexpr std::array<std::array<uint64_t, FSOE_LANES_COUNT>, FSOE_LANES_WORDS + 1>
fsoe_lanes_make_keep_masks() {
    std::array<std::array<uint64_t, FSOE_LANES_COUNT>, FSOE_LANES_WORDS + 1> t{};
    for (unsigned count = 0; count <= FSOE_LANES_WORDS; ++count)
        for (unsigned k = 0; k < FSOE_LANES_COUNT; ++k) {
            unsigned first = k * FSOE_WORDS_PER_LANE;
            unsigned kept = count <= first ? 0 : count - first;
            t[count][k] = kept >= FSOE_WORDS_PER_LANE
                              ? ~uint64_t{0}
                              : (uint64_t{1} << (FSOE_WORD_BITS * kept)) - 1;
        }
    return t;
}
inline constexpr auto FSOE_LANES_KEEP_MASKS = fsoe_lanes_make_keep_masks();

// Words from `count` on (count at most FSOE_LANES_WORDS) to 0.
inline void fsoe_lanes_keep(fsoe_lanes& l, unsigned count) {
    for (unsigned k = 0; k < FSOE_LANES_COUNT; ++k)
        l.lane[k] &= FSOE_LANES_KEEP_MASKS[count][k];
}

// Writes the first `count` words (at most an area's).
inline void fsoe_lanes_to_words(const fsoe_lanes& l, uint16_t* words, unsigned count) {
    unsigned n = count < FSOE_LANES_WORDS ? count : FSOE_LANES_WORDS;
    for (unsigned w = 0; w < n; ++w)
        words[w] = static_cast<uint16_t>(l.lane[w / FSOE_WORDS_PER_LANE] >>
                                         (FSOE_WORD_BITS * (w % FSOE_WORDS_PER_LANE)));
}

// Where a field of at most 32 bits lies: worked out once, read and written often.
struct fsoe_lanes_field {
    uint8_t lane;  // holding its first bit
    uint8_t shift; // of its first bit in that lane; the rest spills into the next
    uint64_t mask; // of its width
};

// The field of `width` bits (at most 32) from bit `bit` on, which lies within the image.
inline fsoe_lanes_field fsoe_lanes_field_at(unsigned bit, unsigned width) {
    return {static_cast<uint8_t>(bit / FSOE_LANE_BITS), static_cast<uint8_t>(bit % FSOE_LANE_BITS),
            fsoe_lanes_mask(width)};
}

// The next lane's share moves by 64 - shift bits, taken as 1 and 63 - shift, so a
// field that does not spill (shift 0) takes nothing from it.
inline uint32_t fsoe_lanes_get(const fsoe_lanes& l, const fsoe_lanes_field& f) {
    unsigned s = f.shift;
    uint64_t v = l.lane[f.lane] >> s | (l.lane[f.lane + 1] << 1) << (FSOE_LANE_BITS - 1 - s);
    return static_cast<uint32_t>(v & f.mask);
}

// ORs the field's share of `v` in.
inline void fsoe_lanes_or(fsoe_lanes& l, const fsoe_lanes_field& f, uint32_t v) {
    unsigned s = f.shift;
    uint64_t x = v & f.mask;
    l.lane[f.lane] |= x << s;
    l.lane[f.lane + 1] |= (x >> 1) >> (FSOE_LANE_BITS - 1 - s);
}

inline uint32_t fsoe_lanes_bits(const fsoe_lanes& l, unsigned bit, unsigned width) {
    return fsoe_lanes_get(l, fsoe_lanes_field_at(bit, width));
}

inline void fsoe_lanes_or_bits(fsoe_lanes& l, unsigned bit, unsigned width, uint32_t v) {
    fsoe_lanes_or(l, fsoe_lanes_field_at(bit, width), v);
}

} // namespace brisel
