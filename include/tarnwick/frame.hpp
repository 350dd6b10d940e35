// The FSoE frame record, its wire codec and its block CRCs.
//
// Plain C++: the Python binding, the handler and the fuzz harnesses all work on
// FrameRecord directly.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tarnwick::frame {

constexpr unsigned BYTES_PER_WORD = 2;
constexpr unsigned MAX_DATA_WORDS = 8;
constexpr unsigned MAX_DATA_BYTES = MAX_DATA_WORDS * BYTES_PER_WORD;
constexpr unsigned MAX_CRC_WORDS = 8;
// Command byte + 8 blocks of (2 data bytes, CRC word) + connection id.
constexpr std::size_t MAX_FRAME_BYTES = 1 + MAX_DATA_WORDS * 4 + 2;

// Command codes: only the low byte travels.
enum class Command : uint16_t {
    PROCESS_DATA = 0x36,
    RESET = 0x2A,
    SESSION = 0x4E,
    CONNECTION = 0x64,
    PARAMETER = 0x52,
    FAILSAFE_DATA = 0x08,
};

bool command_is_valid(uint16_t word);

// The four control words. sequence_number and crc0 never travel: they only
// seed the CRCs, so both sides must keep them in step.
struct FrameControl {
    uint16_t command;
    uint16_t sequence_number;
    uint16_t connection_id;
    uint16_t crc0;
};

struct FrameRecord {
    FrameControl control;
    uint16_t safe_data[MAX_DATA_WORDS];
    uint16_t crcs[MAX_CRC_WORDS];
    uint16_t safe_data_size; // n, in bytes; never above MAX_DATA_BYTES
};
static_assert(sizeof(FrameRecord) == 21 * sizeof(uint16_t), "frame record is 21 words");

// 0xFFFF steps to 1: a stepped sequence number is never 0.
inline void increment_sequence_number(FrameControl& c) {
    c.sequence_number =
        c.sequence_number == 0xFFFF ? 1 : static_cast<uint16_t>(c.sequence_number + 1);
}

// Safe-data byte k (0..15): byte 2k is the low byte of word k.
inline uint8_t data_byte(const FrameRecord& f, unsigned k) {
    return static_cast<uint8_t>(f.safe_data[k / 2] >> (8 * (k % 2)));
}

// Number of CRC words in use, m = ceil(n / 2), bounded by the record.
inline unsigned crc_word_count(const FrameRecord& f) {
    unsigned m = (f.safe_data_size + 1u) / 2u;
    return m > MAX_CRC_WORDS ? MAX_CRC_WORDS : m;
}

// Safe-data size for a frame of `words` 16-bit words: n = w - 2 if w >= 3, else 0.
inline unsigned size_for_words(unsigned words) {
    return words >= 3 ? words - 2 : 0;
}

// Safe-data size a wire length gives; lengths above MAX_FRAME_BYTES + 1 give n > 16.
inline unsigned size_for_length(std::size_t length) {
    std::size_t words = (length + BYTES_PER_WORD - 1) / BYTES_PER_WORD;
    return words > 0xFFFF ? 0xFFFF : size_for_words(static_cast<unsigned>(words));
}

// Wire length of a frame with n safe-data bytes. An odd n above 1 is laid out as n + 1.
std::size_t wire_length(unsigned n);

void clear(FrameRecord& f);

// Parses wire bytes into f: missing bytes read as 0, sequence_number and crc0 are
// kept. The caller guarantees size_for_length(len) <= MAX_DATA_BYTES.
void parse(FrameRecord& f, const uint8_t* data, std::size_t len);

// Writes the wire bytes of f into out (at least MAX_FRAME_BYTES long); returns the length.
std::size_t serialise(const FrameRecord& f, uint8_t* out);

// CRC_i over the control words and the i-th pair of safe-data bytes.
uint16_t crc_word(const FrameRecord& f, unsigned i);
inline uint16_t calc_crc0(const FrameRecord& f) {
    return crc_word(f, 0);
}

void generate_crcs(FrameRecord& f);
// Fills calc[0..7] (unused positions 0) and compares the m words in use.
bool check_crcs(const FrameRecord& f, uint16_t calc[MAX_CRC_WORDS]);
// The same, with CRC_0 already computed by the caller.
bool check_crcs(const FrameRecord& f, uint16_t calc[MAX_CRC_WORDS], uint16_t crc0);

// CRC_0 of a frame whose CRCs were just generated: the stored word when the frame
// has one, computed otherwise.
inline uint16_t generated_crc0(const FrameRecord& f) {
    return crc_word_count(f) ? f.crcs[0] : calc_crc0(f);
}

// The sender never repeats the CRC_0 it sent last; it steps the sequence number instead.
// `generate` is called for every generation (the binding traces each one). The
// computed CRC_0 is compared rather than crcs[0]: a frame without safe data writes
// no CRC word, and the receiver's rule below compares the computed value too. A
// CRC-16 tells apart any two 16-bit sequence numbers, so one step always suffices.
template <typename Generate>
void generate_crcs_cyclic(FrameRecord& f, uint16_t last_sent_crc_0, Generate&& generate) {
    generate(f);
    while (generated_crc0(f) == last_sent_crc_0) {
        increment_sequence_number(f.control);
        generate(f);
    }
}
inline void generate_crcs_cyclic(FrameRecord& f, uint16_t last_sent_crc_0) {
    generate_crcs_cyclic(f, last_sent_crc_0, [](FrameRecord& r) { generate_crcs(r); });
}
// The receiver steps its expected sequence number the same way before checking;
// returns the CRC_0 it then expects.
uint16_t step_past_repeated_crc0(FrameRecord& f, uint16_t last_sent_crc_0);

} // namespace tarnwick::frame
