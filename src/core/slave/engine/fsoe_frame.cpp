#include "core/slave/engine/fsoe_frame.hpp"

#include "core/slave/engine/fsoe_crc.hpp"

#include <cstring>
#include <type_traits>

namespace brisel {

namespace {

// Every CRC input ends with three zero bytes.
constexpr unsigned CRC_TRAILER_BYTES = 3;
// Reference CRC, connection id, sequence number and command open every CRC input.
constexpr unsigned CRC_CONTROL_BYTES = 7;
// Longest CRC input: control bytes, block index, two data bytes, trailer.
constexpr unsigned CRC_INPUT_BYTES = CRC_CONTROL_BYTES + 2 + 2 + CRC_TRAILER_BYTES;
static_assert(CRC_INPUT_BYTES <= FSOE_CRC16_SPAN_BYTES);

// Two-byte data blocks on the wire; a single byte travels without a block partner.
constexpr unsigned block_count(unsigned n) {
    return n == 1 ? 0 : (n + 1) / 2;
}

uint8_t byte_of(const uint16_t* words, unsigned count, unsigned i) {
    return i / 2 < count ? static_cast<uint8_t>(words[i / 2] >> (8 * (i % 2))) : 0;
}

constexpr unsigned BITS_PER_BYTE = 8;

uint8_t lane_byte(const fsoe_lanes& l, unsigned i) {
    return static_cast<uint8_t>(fsoe_lanes_bits(l, BITS_PER_BYTE * i, BITS_PER_BYTE));
}

// The little-endian word from byte `i` on.
uint16_t lane_word(const fsoe_lanes& l, unsigned i) {
    return static_cast<uint16_t>(fsoe_lanes_bits(l, BITS_PER_BYTE * i, 2 * BITS_PER_BYTE));
}

// Lays bytes out one after another from byte 0 on.
struct lane_writer {
    fsoe_lanes l{};
    unsigned pos = 0;
    void byte(uint8_t b) { fsoe_lanes_or_bits(l, BITS_PER_BYTE * pos++, BITS_PER_BYTE, b); }
    void word(uint16_t v) {
        fsoe_lanes_or_bits(l, BITS_PER_BYTE * pos, 2 * BITS_PER_BYTE, v);
        pos += 2;
    }
};

} // namespace

uint16_t fsoe_frame_data_length_for(unsigned frame_words) {
    return static_cast<uint16_t>(frame_words >= 3 ? frame_words - 2 : 0);
}

uint8_t fsoe_frame_data_byte(const fsoe_frame& f, unsigned k) {
    return byte_of(f.data, FSOE_FRAME_DATA_WORDS, k);
}

void fsoe_frame_set_data_byte(fsoe_frame& f, unsigned k, uint8_t b) {
    if (k / 2 >= FSOE_FRAME_DATA_WORDS) return;
    unsigned shift = 8 * (k % 2);
    f.data[k / 2] = static_cast<uint16_t>((f.data[k / 2] & ~(0xFF << shift)) | b << shift);
}

namespace {

// CRC_i of `f` over an input of `Len` bytes before the trailer: with the length
// fixed, every byte's distance from the end, and so its table, is known here.
template <unsigned Len> uint16_t frame_crc_of(const fsoe_frame& f, unsigned i, bool two_bytes) {
    fsoe_crc16_shares s{Len - 1 + CRC_TRAILER_BYTES};
    s.word(f.reference_crc);
    s.word(f.connection_id);
    s.word(f.sequence_number);
    s.byte(static_cast<uint8_t>(f.command));
    if (i > 0) s.word(static_cast<uint16_t>(i));
    s.byte(byte_of(f.data, FSOE_FRAME_DATA_WORDS, 2 * i));
    if (two_bytes) s.byte(byte_of(f.data, FSOE_FRAME_DATA_WORDS, 2 * i + 1));
    return s.crc;
}

} // namespace

uint16_t fsoe_frame_crc(const fsoe_frame& f, unsigned i) {
    // A one-byte frame protects only its single byte; blocks after the first carry
    // their index.
    if (i > 0) return frame_crc_of<CRC_CONTROL_BYTES + 2 + 2>(f, i, true);
    if (fsoe_frame_data_length(f) == 1) return frame_crc_of<CRC_CONTROL_BYTES + 1>(f, i, false);
    return frame_crc_of<CRC_CONTROL_BYTES + 2>(f, i, true);
}

namespace {

// The codec for frames of N safe-data bytes: with N fixed, every field's place in
// the lanes is known here.
template <unsigned N> void decode_fixed(fsoe_frame& f, const fsoe_lanes& in) {
    f.command = lane_byte(in, 0);
    if (N == 1) {
        f.data[0] = lane_byte(in, 1);
        f.crc[0] = lane_word(in, 2);
        f.connection_id = lane_word(in, 4);
        return;
    }
    constexpr unsigned m = block_count(N);
    for (unsigned j = 0; j < m; ++j) {
        f.data[j] = lane_word(in, 4 * j + 1);
        f.crc[j] = lane_word(in, 4 * j + 3);
    }
    f.connection_id = lane_word(in, 4 * m + 1);
}

template <unsigned N> void encode_fixed(const fsoe_frame& f, lane_writer& w) {
    w.byte(static_cast<uint8_t>(f.command));
    if (N == 1) {
        w.byte(static_cast<uint8_t>(f.data[0]));
        w.word(f.crc[0]);
    } else {
        for (unsigned j = 0; j < block_count(N); ++j) {
            w.word(f.data[j]);
            w.word(f.crc[j]);
        }
    }
    w.word(f.connection_id);
}

// Calls `codec` with the frame's safe-data length as a compile-time constant.
template <typename Codec> void with_fixed_length(const fsoe_frame& f, Codec&& codec) {
    static_assert(FSOE_MAX_SAFE_DATA_BYTES == 4, "one case per length");
    switch (fsoe_frame_data_length(f)) {
    case 0:
        return codec(std::integral_constant<unsigned, 0>{});
    case 1:
        return codec(std::integral_constant<unsigned, 1>{});
    case 2:
        return codec(std::integral_constant<unsigned, 2>{});
    case 3:
        return codec(std::integral_constant<unsigned, 3>{});
    }
    return codec(std::integral_constant<unsigned, 4>{});
}

} // namespace

void fsoe_frame_decode(fsoe_frame& f, fsoe_lanes in) {
    std::memset(f.data, 0, sizeof f.data);
    std::memset(f.crc, 0, sizeof f.crc);
    with_fixed_length(f, [&](auto n) { decode_fixed<decltype(n)::value>(f, in); });
}

fsoe_lanes fsoe_frame_encode(const fsoe_frame& f) {
    lane_writer w;
    with_fixed_length(f, [&](auto len) { encode_fixed<decltype(len)::value>(f, w); });
    // The longest frame fills 11 bytes: nothing lands beyond the area.
    return w.l;
}

} // namespace brisel
