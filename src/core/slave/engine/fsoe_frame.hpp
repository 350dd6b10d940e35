// The slave's frame record, its codec over the 16-bit words of the request and reply
// areas, and its block CRCs.
//
// The slave carries its own copy of the FSoE wire format: it must keep working
// against any master, so it shares no code with one.
#pragma once

#include "core/slave/engine/fsoe_lanes.hpp"

#include <cstdint>

namespace brisel {

// Command codes; only the low byte of the command word travels.
enum fsoe_command : uint8_t {
    FSOE_CMD_FAILSAFE_DATA = 0x08,
    FSOE_CMD_RESET = 0x2A,
    FSOE_CMD_PROCESS_DATA = 0x36,
    FSOE_CMD_SESSION = 0x4E,
    FSOE_CMD_PARAMETER = 0x52,
    FSOE_CMD_CONNECTION = 0x64,
};

// Error codes carried by a Reset frame. 7 (invalid data) exists but is never sent.
enum fsoe_error : uint8_t {
    FSOE_ERR_RESET = 0,
    FSOE_ERR_INVALID_CMD = 1,
    FSOE_ERR_UNKNOWN_CMD = 2,
    FSOE_ERR_INVALID_CONNID = 3,
    FSOE_ERR_INVALID_CRC = 4,
    FSOE_ERR_WD_EXPIRED = 5,
    FSOE_ERR_INVALID_ADDRESS = 6,
    FSOE_ERR_INVALID_DATA = 7,
    FSOE_ERR_INVALID_COMMPARALEN = 8,
    FSOE_ERR_INVALID_COMPARA = 9,
    FSOE_ERR_INVALID_USERPARALEN = 10,
    FSOE_ERR_INVALID_USERPARA = 11,
};

// The request and reply areas of a slave hold 6 words by default: command, two blocks
// of (2 data bytes, CRC word) and the connection id, so at most 4 safe-data bytes.
// A wide slave's areas hold 18 words: 8 blocks, 16 safe-data bytes.
constexpr unsigned FSOE_AREA_WORDS = 6;
constexpr unsigned FSOE_AREA_BYTES = FSOE_AREA_WORDS * 2;
constexpr unsigned FSOE_WIDE_AREA_WORDS = 18;
constexpr unsigned FSOE_MAX_SAFE_DATA_BYTES = FSOE_WIDE_AREA_WORDS - 2;
static_assert(FSOE_IMAGE_WORDS >= FSOE_WIDE_AREA_WORDS, "head and tail hold the widest area");
static_assert(FSOE_LANES_WORDS >= FSOE_AREA_WORDS, "the head holds a default area");
// Word capacity of the record's data and CRC arrays.
constexpr unsigned FSOE_FRAME_DATA_WORDS = FSOE_MAX_SAFE_DATA_BYTES / 2;
constexpr unsigned FSOE_FRAME_CRC_WORDS = FSOE_FRAME_DATA_WORDS;

struct fsoe_frame {
    uint16_t command;         // command code in the low byte
    uint16_t sequence_number; // virtual: enters the CRCs, never travels
    uint16_t connection_id;
    uint16_t reference_crc; // CRC_0 of the partner's last frame; seeds this frame's CRCs
    uint16_t data[FSOE_FRAME_DATA_WORDS]; // safe-data byte 2k is the low byte of word k
    uint16_t crc[FSOE_FRAME_CRC_WORDS];   // CRC_i protects data block i
    uint16_t data_length;                 // safe-data bytes, never above FSOE_MAX_SAFE_DATA_BYTES
};

// The record's safe-data bytes, data_length held to what a frame carries.
inline unsigned fsoe_frame_data_length(const fsoe_frame& f) {
    return f.data_length > FSOE_MAX_SAFE_DATA_BYTES ? FSOE_MAX_SAFE_DATA_BYTES : f.data_length;
}

// Safe-data bytes of a frame of `frame_words` words: w - 2 from 3 words on, else none.
uint16_t fsoe_frame_data_length_for(unsigned frame_words);
// Words of a frame carrying `n` safe-data bytes (an odd n above 1 travels as n + 1).
inline unsigned fsoe_frame_words_for(unsigned n) {
    return n == 0 ? 0 : n == 1 ? 3 : (n + 1) / 2 * 2 + 2;
}

// 0xFFFF steps to 1: a counting sequence number is never 0.
inline uint16_t fsoe_frame_next_sequence(uint16_t s) {
    return s == 0xFFFF ? 1 : static_cast<uint16_t>(s + 1);
}

// Safe-data byte k of the record (0 outside the data words).
uint8_t fsoe_frame_data_byte(const fsoe_frame& f, unsigned k);
void fsoe_frame_set_data_byte(fsoe_frame& f, unsigned k, uint8_t b);

// Number of CRC words a frame carries: one per data block, ceil(n / 2).
inline unsigned fsoe_frame_crc_count(const fsoe_frame& f) {
    return (fsoe_frame_data_length(f) + 1) / 2;
}

// CRC_i over the reference CRC, connection id, sequence number, command and data block i.
uint16_t fsoe_frame_crc(const fsoe_frame& f, unsigned i);

// Parses a frame image (little-endian bytes) into the record for its data_length.
// Sequence number and reference CRC are kept. The tail is read only by frames
// above 6 safe-data bytes; without one it reads as 0.
void fsoe_frame_decode(fsoe_frame& f, fsoe_lanes image, const fsoe_tail& tail);
void fsoe_frame_decode(fsoe_frame& f, fsoe_lanes image);

// The record laid out as a frame image, zero behind the frame. A frame above 6
// safe-data bytes writes its tail (zeroed first) to `tail`, which other frames
// leave as it is; without one it is dropped.
fsoe_lanes fsoe_frame_encode(const fsoe_frame& f, fsoe_tail& tail);
fsoe_lanes fsoe_frame_encode(const fsoe_frame& f);

// Words the encoded frame takes, (n + 2 * ceil(n / 2) + 4) / 2.
inline unsigned fsoe_frame_encoded_words(const fsoe_frame& f) {
    unsigned n = fsoe_frame_data_length(f);
    return (n + 2 * ((n + 1) / 2) + 4) / 2;
}

} // namespace brisel
