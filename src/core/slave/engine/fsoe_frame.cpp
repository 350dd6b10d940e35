#include "core/slave/engine/fsoe_frame.hpp"

#include "core/slave/engine/fsoe_crc.hpp"

#include <cstring>

namespace brisel {

namespace {

// Every CRC input ends with three zero bytes.
constexpr unsigned CRC_TRAILER_BYTES = 3;
// Longest CRC input: control words (7 bytes), block index, two data bytes, trailer.
constexpr unsigned CRC_INPUT_BYTES = 14;
static_assert(CRC_INPUT_BYTES <= FSOE_CRC16_SPAN_BYTES);

unsigned data_length_of(const fsoe_frame& f) {
    return f.data_length > FSOE_MAX_SAFE_DATA_BYTES ? FSOE_MAX_SAFE_DATA_BYTES : f.data_length;
}

// Two-byte data blocks on the wire; a single byte travels without a block partner.
unsigned block_count(unsigned n) {
    return n == 1 ? 0 : (n + 1) / 2;
}

uint8_t byte_of(const uint16_t* words, unsigned count, unsigned i) {
    return i / 2 < count ? static_cast<uint8_t>(words[i / 2] >> (8 * (i % 2))) : 0;
}

// The little-endian word at `p`.
uint16_t le_word(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}

// The first `count` words of a frame as its bytes, zero beyond them; no field of a
// frame lies beyond an area.
struct frame_bytes {
    uint8_t b[FSOE_AREA_BYTES];
};

frame_bytes bytes_of(const uint16_t* words, unsigned count) {
    frame_bytes out{};
    unsigned n = count < FSOE_AREA_WORDS ? count : FSOE_AREA_WORDS;
    for (unsigned w = 0; w < n; ++w) {
        out.b[2 * w] = static_cast<uint8_t>(words[w]);
        out.b[2 * w + 1] = static_cast<uint8_t>(words[w] >> 8);
    }
    return out;
}

uint8_t* put_word(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    return p + 2;
}

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

unsigned fsoe_frame_crc_count(const fsoe_frame& f) {
    return (data_length_of(f) + 1) / 2;
}

uint16_t fsoe_frame_crc(const fsoe_frame& f, unsigned i) {
    uint8_t buf[CRC_INPUT_BYTES];
    uint8_t* p = put_word(buf, f.reference_crc);
    p = put_word(p, f.connection_id);
    p = put_word(p, f.sequence_number);
    *p++ = static_cast<uint8_t>(f.command);
    if (i > 0) p = put_word(p, static_cast<uint16_t>(i));
    *p++ = fsoe_frame_data_byte(f, 2 * i);
    // A one-byte frame protects only its single byte.
    if (i > 0 || data_length_of(f) != 1) *p++ = fsoe_frame_data_byte(f, 2 * i + 1);
    return fsoe_crc16_span(buf, static_cast<std::size_t>(p - buf), CRC_TRAILER_BYTES);
}

void fsoe_frame_decode(fsoe_frame& f, const uint16_t* words, unsigned count) {
    unsigned n = data_length_of(f);
    std::memset(f.data, 0, sizeof f.data);
    std::memset(f.crc, 0, sizeof f.crc);
    const frame_bytes in = bytes_of(words, count);
    const uint8_t* b = in.b;
    f.command = b[0];
    if (n == 1) {
        f.data[0] = b[1];
        f.crc[0] = le_word(b + 2);
        f.connection_id = le_word(b + 4);
        return;
    }
    unsigned m = block_count(n);
    for (unsigned j = 0; j < m; ++j) {
        f.data[j] = le_word(b + 4 * j + 1);
        f.crc[j] = le_word(b + 4 * j + 3);
    }
    f.connection_id = le_word(b + 4 * m + 1);
}

unsigned fsoe_frame_encode(const fsoe_frame& f, uint16_t out[FSOE_AREA_WORDS]) {
    unsigned n = data_length_of(f);
    // One spare byte: an odd n above 1 lays out a full last block.
    uint8_t buf[FSOE_AREA_BYTES + 2] = {};
    uint8_t* p = buf;
    *p++ = static_cast<uint8_t>(f.command);
    if (n == 1) {
        *p++ = static_cast<uint8_t>(f.data[0]);
        p = put_word(p, f.crc[0]);
    } else {
        for (unsigned j = 0; j < block_count(n); ++j) {
            p = put_word(p, f.data[j]);
            p = put_word(p, f.crc[j]);
        }
    }
    put_word(p, f.connection_id);
    for (unsigned w = 0; w < FSOE_AREA_WORDS; ++w)
        out[w] = static_cast<uint16_t>(buf[2 * w] | buf[2 * w + 1] << 8);
    return (n + 2 * ((n + 1) / 2) + 4) / 2;
}

} // namespace brisel
