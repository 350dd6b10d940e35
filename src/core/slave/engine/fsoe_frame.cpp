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

// Reads a frame image's fields: from the head alone, or for a wide frame (above 6
// safe-data bytes) from the head and its tail.
template <bool Wide> struct image_reader {
    fsoe_lanes head;
    const fsoe_tail& tail;
    uint32_t bits(unsigned bit, unsigned width) const {
        if (Wide) return fsoe_image_bits(head, tail, bit, width);
        return fsoe_lanes_bits(head, bit, width);
    }
    uint8_t byte(unsigned i) const {
        return static_cast<uint8_t>(bits(BITS_PER_BYTE * i, BITS_PER_BYTE));
    }
    // The little-endian word from byte `i` on.
    uint16_t word(unsigned i) const {
        return static_cast<uint16_t>(bits(BITS_PER_BYTE * i, 2 * BITS_PER_BYTE));
    }
};

// Lays bytes out one after another from byte 0 on: a frame within the head in its
// lanes, a wide one (above 6 safe-data bytes) byte by byte, moved to head and tail once.
template <bool Wide> struct image_writer;

template <> struct image_writer<false> {
    fsoe_lanes head{};
    unsigned pos = 0;
    void byte(uint8_t b) { fsoe_lanes_or_bits(head, BITS_PER_BYTE * pos++, BITS_PER_BYTE, b); }
    void word(uint16_t v) {
        fsoe_lanes_or_bits(head, BITS_PER_BYTE * pos, 2 * BITS_PER_BYTE, v);
        pos += 2;
    }
    fsoe_lanes finish(fsoe_tail&) const { return head; }
};

template <> struct image_writer<true> {
    uint8_t bytes[2 * FSOE_IMAGE_WORDS] = {};
    unsigned pos = 0;
    void byte(uint8_t b) { bytes[pos++] = b; }
    void word(uint16_t v) {
        bytes[pos++] = static_cast<uint8_t>(v);
        bytes[pos++] = static_cast<uint8_t>(v >> BITS_PER_BYTE);
    }
    fsoe_lanes finish(fsoe_tail& tail) const {
        fsoe_lanes head;
        fsoe_image_from_bytes(bytes, pos, head, tail);
        return head;
    }
};

// Frames above this many safe-data bytes reach past the head.
constexpr unsigned HEAD_SAFE_DATA_BYTES = 6;

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
// the image is known here.
template <unsigned N, typename Reader> void decode_fixed(fsoe_frame& f, const Reader& in) {
    f.command = in.byte(0);
    if (N == 1) {
        f.data[0] = in.byte(1);
        f.crc[0] = in.word(2);
        f.connection_id = in.word(4);
        return;
    }
    constexpr unsigned m = block_count(N);
    for (unsigned j = 0; j < m; ++j) {
        f.data[j] = in.word(4 * j + 1);
        f.crc[j] = in.word(4 * j + 3);
    }
    f.connection_id = in.word(4 * m + 1);
}

template <unsigned N, typename Writer> void encode_fixed(const fsoe_frame& f, Writer& w) {
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
    static_assert(FSOE_MAX_SAFE_DATA_BYTES == 16, "one case per length");
    switch (fsoe_frame_data_length(f)) {
    case 0:
        return codec(std::integral_constant<unsigned, 0>{});
    case 1:
        return codec(std::integral_constant<unsigned, 1>{});
    case 2:
        return codec(std::integral_constant<unsigned, 2>{});
    case 3:
        return codec(std::integral_constant<unsigned, 3>{});
    case 4:
        return codec(std::integral_constant<unsigned, 4>{});
    case 5:
        return codec(std::integral_constant<unsigned, 5>{});
    case 6:
        return codec(std::integral_constant<unsigned, 6>{});
    case 7:
        return codec(std::integral_constant<unsigned, 7>{});
    case 8:
        return codec(std::integral_constant<unsigned, 8>{});
    case 9:
        return codec(std::integral_constant<unsigned, 9>{});
    case 10:
        return codec(std::integral_constant<unsigned, 10>{});
    case 11:
        return codec(std::integral_constant<unsigned, 11>{});
    case 12:
        return codec(std::integral_constant<unsigned, 12>{});
    case 13:
        return codec(std::integral_constant<unsigned, 13>{});
    case 14:
        return codec(std::integral_constant<unsigned, 14>{});
    case 15:
        return codec(std::integral_constant<unsigned, 15>{});
    }
    return codec(std::integral_constant<unsigned, 16>{});
}

} // namespace

void fsoe_frame_decode(fsoe_frame& f, fsoe_lanes in, const fsoe_tail& tail) {
    std::memset(f.data, 0, sizeof f.data);
    std::memset(f.crc, 0, sizeof f.crc);
    with_fixed_length(f, [&](auto n) {
        constexpr unsigned N = decltype(n)::value;
        decode_fixed<N>(f, image_reader<(N > HEAD_SAFE_DATA_BYTES)>{in, tail});
    });
}

void fsoe_frame_decode(fsoe_frame& f, fsoe_lanes in) {
    static constexpr fsoe_tail NO_TAIL{};
    fsoe_frame_decode(f, in, NO_TAIL);
}

fsoe_lanes fsoe_frame_encode(const fsoe_frame& f, fsoe_tail& tail) {
    fsoe_lanes head{};
    with_fixed_length(f, [&](auto n) {
        constexpr unsigned N = decltype(n)::value;
        image_writer<(N > HEAD_SAFE_DATA_BYTES)> w;
        encode_fixed<N>(f, w);
        head = w.finish(tail);
    });
    // The longest frame fills 35 bytes: nothing lands beyond head and tail.
    return head;
}

fsoe_lanes fsoe_frame_encode(const fsoe_frame& f) {
    fsoe_tail dropped{};
    return fsoe_frame_encode(f, dropped);
}

} // namespace brisel
