// Frame words held in 64-bit lanes, so the codec and the static map shift fields in
// and out in registers instead of staging them byte by byte in memory.
#pragma once

#include "core/slave/engine/fsoe_frame.hpp"

#include <cstdint>

namespace brisel {

constexpr unsigned FSOE_LANE_BITS = 64;
constexpr unsigned FSOE_WORD_BITS = 16;
constexpr unsigned FSOE_WORDS_PER_LANE = FSOE_LANE_BITS / FSOE_WORD_BITS;

// Word k at bits 16k. The last lane lies beyond any area and stays 0 for reads,
// so a field read across the area's end sees zeros; writes there are dropped.
struct fsoe_lanes {
    uint64_t lane[(FSOE_AREA_WORDS + FSOE_WORDS_PER_LANE - 1) / FSOE_WORDS_PER_LANE + 1];
};

inline uint64_t fsoe_lanes_mask(unsigned width) {
    return width >= FSOE_LANE_BITS ? ~uint64_t{0} : (uint64_t{1} << width) - 1;
}

// The first `count` words (at most an area's); the rest read as 0.
inline fsoe_lanes fsoe_lanes_from_words(const uint16_t* words, unsigned count) {
    fsoe_lanes l{};
    unsigned n = count < FSOE_AREA_WORDS ? count : FSOE_AREA_WORDS;
    for (unsigned w = 0; w < n; ++w)
        l.lane[w / FSOE_WORDS_PER_LANE] |= uint64_t{words[w]}
                                           << (FSOE_WORD_BITS * (w % FSOE_WORDS_PER_LANE));
    return l;
}

// Writes the first `count` words (at most an area's).
inline void fsoe_lanes_to_words(const fsoe_lanes& l, uint16_t* words, unsigned count) {
    unsigned n = count < FSOE_AREA_WORDS ? count : FSOE_AREA_WORDS;
    for (unsigned w = 0; w < n; ++w)
        words[w] = static_cast<uint16_t>(l.lane[w / FSOE_WORDS_PER_LANE] >>
                                         (FSOE_WORD_BITS * (w % FSOE_WORDS_PER_LANE)));
}

// `width` bits (at most 32) from bit `bit` on, which lies within the area.
inline uint32_t fsoe_lanes_bits(const fsoe_lanes& l, unsigned bit, unsigned width) {
    unsigned k = bit / FSOE_LANE_BITS, s = bit % FSOE_LANE_BITS;
    uint64_t v = l.lane[k] >> s;
    if (s != 0) v |= l.lane[k + 1] << (FSOE_LANE_BITS - s);
    return static_cast<uint32_t>(v & fsoe_lanes_mask(width));
}

// ORs the low `width` bits (at most 32) of `v` in from bit `bit` on, within the area.
inline void fsoe_lanes_or_bits(fsoe_lanes& l, unsigned bit, unsigned width, uint32_t v) {
    unsigned k = bit / FSOE_LANE_BITS, s = bit % FSOE_LANE_BITS;
    uint64_t x = v & fsoe_lanes_mask(width);
    l.lane[k] |= x << s;
    if (s != 0) l.lane[k + 1] |= x >> (FSOE_LANE_BITS - s);
}

} // namespace brisel
