// Frame words held in two 64-bit lanes, so the codec and the static map shift fields
// in and out in registers instead of staging them byte by byte in memory.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace brisel {

// The words two lanes hold: a whole frame of up to 6 safe-data bytes, the head of
// a wider one.
constexpr unsigned FSOE_LANES_WORDS = 8;
constexpr unsigned FSOE_LANE_BITS = 64;
constexpr unsigned FSOE_WORD_BITS = 16;
constexpr unsigned FSOE_WORDS_PER_LANE = FSOE_LANE_BITS / FSOE_WORD_BITS;
constexpr unsigned FSOE_LANES_COUNT = 2;
static_assert(FSOE_LANES_COUNT * FSOE_WORDS_PER_LANE >= FSOE_LANES_WORDS, "lanes hold an image");

// Word k at bits 16k. Sixteen bytes pass in registers; lanes are chosen by value,
// never by index, so a local image stays in registers. A field read past the lanes
// sees zeros; what is written past them is dropped.
struct fsoe_lanes {
    uint64_t lane[FSOE_LANES_COUNT];
};

inline uint64_t fsoe_lanes_mask(unsigned width) {
    return width >= FSOE_LANE_BITS ? ~uint64_t{0} : (uint64_t{1} << width) - 1;
}

// Lane k; 0 past the lanes.
inline uint64_t fsoe_lanes_at(const fsoe_lanes& l, unsigned k) {
    return k == 0 ? l.lane[0] : k == 1 ? l.lane[1] : 0;
}

// ORs `v` into lane k; nothing past the lanes.
inline void fsoe_lanes_or_at(fsoe_lanes& l, unsigned k, uint64_t v) {
    l.lane[0] |= k == 0 ? v : 0;
    l.lane[1] |= k == 1 ? v : 0;
}

// Word w (below FSOE_LANES_WORDS).
inline uint16_t fsoe_lanes_word(const fsoe_lanes& l, unsigned w) {
    return static_cast<uint16_t>(fsoe_lanes_at(l, w / FSOE_WORDS_PER_LANE) >>
                                 (FSOE_WORD_BITS * (w % FSOE_WORDS_PER_LANE)));
}

// ORs `v` in as word w (below FSOE_LANES_WORDS).
inline void fsoe_lanes_or_word(fsoe_lanes& l, unsigned w, uint16_t v) {
    fsoe_lanes_or_at(l, w / FSOE_WORDS_PER_LANE,
                     uint64_t{v} << (FSOE_WORD_BITS * (w % FSOE_WORDS_PER_LANE)));
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

// The image with the words from `count` on (count at most FSOE_LANES_WORDS) at 0.
inline fsoe_lanes fsoe_lanes_kept(fsoe_lanes l, unsigned count) {
    l.lane[0] &= FSOE_LANES_KEEP_MASKS[count][0];
    l.lane[1] &= FSOE_LANES_KEEP_MASKS[count][1];
    return l;
}

// `old` with its first `count` words (at most FSOE_LANES_WORDS) taken from `fresh`.
inline fsoe_lanes fsoe_lanes_replaced(fsoe_lanes old, fsoe_lanes fresh, unsigned count) {
    for (unsigned k = 0; k < FSOE_LANES_COUNT; ++k) {
        uint64_t keep = FSOE_LANES_KEEP_MASKS[count][k];
        old.lane[k] = (old.lane[k] & ~keep) | (fresh.lane[k] & keep);
    }
    return old;
}

// Whether the first `count` words (at most FSOE_LANES_WORDS) differ.
inline bool fsoe_lanes_differ(const fsoe_lanes& a, const fsoe_lanes& b, unsigned count) {
    uint64_t diff = 0;
    for (unsigned k = 0; k < FSOE_LANES_COUNT; ++k)
        diff |= (a.lane[k] ^ b.lane[k]) & FSOE_LANES_KEEP_MASKS[count][k];
    return diff != 0;
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
    uint64_t v = fsoe_lanes_at(l, f.lane) >> s | (fsoe_lanes_at(l, f.lane + 1u) << 1)
                                                     << (FSOE_LANE_BITS - 1 - s);
    return static_cast<uint32_t>(v & f.mask);
}

// ORs the field's share of `v` in.
inline void fsoe_lanes_or(fsoe_lanes& l, const fsoe_lanes_field& f, uint32_t v) {
    unsigned s = f.shift;
    uint64_t x = v & f.mask;
    fsoe_lanes_or_at(l, f.lane, x << s);
    fsoe_lanes_or_at(l, f.lane + 1u, (x >> 1) >> (FSOE_LANE_BITS - 1 - s));
}

inline uint32_t fsoe_lanes_bits(const fsoe_lanes& l, unsigned bit, unsigned width) {
    return fsoe_lanes_get(l, fsoe_lanes_field_at(bit, width));
}

inline void fsoe_lanes_or_bits(fsoe_lanes& l, unsigned bit, unsigned width, uint32_t v) {
    fsoe_lanes_or(l, fsoe_lanes_field_at(bit, width), v);
}

// --- the tail of a wide frame --------------------------------------------------
//
// A frame above 6 safe-data bytes continues past the two lanes: words 8 to 19 lie
// in a tail of three more lanes, which only such frames touch. Its lanes are indexed
// (a wide frame is moved through memory anyway); the head keeps to registers.
constexpr unsigned FSOE_TAIL_LANES = 3;
constexpr unsigned FSOE_IMAGE_WORDS = FSOE_LANES_WORDS + FSOE_TAIL_LANES * FSOE_WORDS_PER_LANE;

struct fsoe_tail {
    uint64_t lane[FSOE_TAIL_LANES];
};

// Bits of lane k of the tail that the image's first `count` words cover.
inline uint64_t fsoe_tail_keep_mask(unsigned count, unsigned k) {
    unsigned first = FSOE_LANES_WORDS + k * FSOE_WORDS_PER_LANE;
    unsigned kept = count <= first ? 0 : count - first;
    return kept >= FSOE_WORDS_PER_LANE ? ~uint64_t{0}
                                       : (uint64_t{1} << (FSOE_WORD_BITS * kept)) - 1;
}

inline unsigned fsoe_head_words(unsigned count) {
    return count < FSOE_LANES_WORDS ? count : FSOE_LANES_WORDS;
}

// Whether the first `count` words of two images (head and tail) differ.
inline bool fsoe_image_differ(const fsoe_lanes& a, const fsoe_tail& at, const fsoe_lanes& b,
                              const fsoe_tail& bt, unsigned count) {
    if (fsoe_lanes_differ(a, b, fsoe_head_words(count))) return true;
    if (count <= FSOE_LANES_WORDS) return false;
    uint64_t diff = 0;
    for (unsigned k = 0; k < FSOE_TAIL_LANES; ++k)
        diff |= (at.lane[k] ^ bt.lane[k]) & fsoe_tail_keep_mask(count, k);
    return diff != 0;
}

// The tail with the image's words from `count` on at 0.
inline void fsoe_tail_keep(fsoe_tail& t, unsigned count) {
    for (unsigned k = 0; k < FSOE_TAIL_LANES; ++k)
        t.lane[k] &= fsoe_tail_keep_mask(count, k);
}

// Lane k of the image, 0 past it: the head's by value, the tail's by index.
inline uint64_t fsoe_image_lane(const fsoe_lanes& head, const fsoe_tail& tail, unsigned k) {
    if (k < FSOE_LANES_COUNT) return fsoe_lanes_at(head, k);
    k -= FSOE_LANES_COUNT;
    return k < FSOE_TAIL_LANES ? tail.lane[k] : 0;
}

// `width` bits (at most 32) from bit `bit` on.
inline uint32_t fsoe_image_bits(const fsoe_lanes& head, const fsoe_tail& tail, unsigned bit,
                                unsigned width) {
    unsigned k = bit / FSOE_LANE_BITS, s = bit % FSOE_LANE_BITS;
    uint64_t v = fsoe_image_lane(head, tail, k) >> s | (fsoe_image_lane(head, tail, k + 1) << 1)
                                                           << (FSOE_LANE_BITS - 1 - s);
    return static_cast<uint32_t>(v & fsoe_lanes_mask(width));
}

// The image's byte i (wire order), 0 past it.
inline uint8_t fsoe_image_byte(const fsoe_lanes& head, const fsoe_tail& tail, std::size_t i) {
    constexpr std::size_t LANE_BYTES = FSOE_LANE_BITS / 8;
    return static_cast<uint8_t>(
        fsoe_image_lane(head, tail, static_cast<unsigned>(i / LANE_BYTES)) >>
        (8 * (i % LANE_BYTES)));
}

// Whether a lane in memory holds its bytes in wire order: then frames move whole.
constexpr bool FSOE_LANES_WIRE_ORDER = __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__;

// Head and tail from `len` wire bytes (at most FSOE_IMAGE_WORDS words), zero behind them.
inline void fsoe_image_from_bytes(const uint8_t* bytes, std::size_t len, fsoe_lanes& head,
                                  fsoe_tail& tail) {
    constexpr std::size_t LANE_BYTES = FSOE_LANE_BITS / 8;
    constexpr std::size_t HEAD_BYTES = LANE_BYTES * FSOE_LANES_COUNT;
    head = fsoe_lanes{};
    tail = fsoe_tail{};
    if (FSOE_LANES_WIRE_ORDER) {
        std::memcpy(head.lane, bytes, len < HEAD_BYTES ? len : HEAD_BYTES);
        if (len > HEAD_BYTES) std::memcpy(tail.lane, bytes + HEAD_BYTES, len - HEAD_BYTES);
        return;
    }
    for (std::size_t i = 0; i < len; ++i) {
        uint64_t b = uint64_t{bytes[i]} << (8 * (i % LANE_BYTES));
        std::size_t k = i / LANE_BYTES;
        if (k < FSOE_LANES_COUNT)
            head.lane[k] |= b;
        else
            tail.lane[k - FSOE_LANES_COUNT] |= b;
    }
}

} // namespace brisel
