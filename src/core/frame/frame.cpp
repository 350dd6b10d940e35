#include "tarnwick/frame.hpp"

#include "core/frame/crc.hpp"

#include <cstring>

namespace tarnwick::frame {

namespace {

// Every CRC block ends with three zero bytes.
constexpr unsigned CRC_TRAILER_BYTES = 3;
// A CRC block starts with CRC_0, connection id, sequence number (2 bytes each), command.
constexpr unsigned CRC_CONTROL_BYTES = 7;
// The longest block before its zeros: the control bytes, the block index, 2 data bytes.
constexpr unsigned CRC_MESSAGE_BYTES = CRC_CONTROL_BYTES + 2 + 2;
static_assert(CRC_MESSAGE_BYTES + CRC_TRAILER_BYTES <= crc::CRC16_DISTANCES);

uint8_t byte_at(const uint8_t* data, std::size_t len, std::size_t i) {
    return i < len ? data[i] : 0;
}

uint16_t word_at(const uint8_t* data, std::size_t len, std::size_t i) {
    return static_cast<uint16_t>(byte_at(data, len, i) | (byte_at(data, len, i + 1) << 8));
}

uint8_t* put_word(uint8_t* out, uint16_t v) {
    out[0] = static_cast<uint8_t>(v);
    out[1] = static_cast<uint8_t>(v >> 8);
    return out + 2;
}

// Number of two-byte data blocks on the wire; an odd n above 1 counts as n + 1.
unsigned block_count(unsigned n) {
    return n == 1 ? 0 : (n + 1) / 2;
}

} // namespace

bool command_is_valid(uint16_t word) {
    switch (static_cast<Command>(word)) {
    case Command::PROCESS_DATA:
    case Command::RESET:
    case Command::SESSION:
    case Command::CONNECTION:
    case Command::PARAMETER:
    case Command::FAILSAFE_DATA:
        return true;
    }
    return false;
}

std::size_t wire_length(unsigned n) {
    if (n == 0) return 3;
    if (n == 1) return 6;
    return 4u * block_count(n) + 3;
}

void clear(FrameRecord& f) {
    std::memset(&f, 0, sizeof f);
}

void parse(FrameRecord& f, const uint8_t* data, std::size_t len) {
    unsigned n = size_for_length(len);
    std::memset(f.safe_data, 0, sizeof f.safe_data);
    std::memset(f.crcs, 0, sizeof f.crcs);
    f.control.command = byte_at(data, len, 0);
    f.safe_data_size = static_cast<uint16_t>(n);
    if (n == 1) {
        f.safe_data[0] = byte_at(data, len, 1);
        f.crcs[0] = word_at(data, len, 2);
        f.control.connection_id = word_at(data, len, 4);
        return;
    }
    unsigned m = block_count(n);
    for (unsigned j = 0; j < m; ++j) {
        f.safe_data[j] = word_at(data, len, 4 * j + 1);
        f.crcs[j] = word_at(data, len, 4 * j + 3);
    }
    f.control.connection_id = word_at(data, len, 4 * m + 1);
}

std::size_t serialise(const FrameRecord& f, uint8_t* out) {
    unsigned n = f.safe_data_size > MAX_DATA_BYTES ? MAX_DATA_BYTES : f.safe_data_size;
    uint8_t* p = out;
    *p++ = static_cast<uint8_t>(f.control.command);
    if (n == 1) {
        *p++ = static_cast<uint8_t>(f.safe_data[0]);
        p = put_word(p, f.crcs[0]);
    } else {
        for (unsigned j = 0; j < block_count(n); ++j) {
            p = put_word(p, f.safe_data[j]);
            p = put_word(p, f.crcs[j]);
        }
    }
    p = put_word(p, f.control.connection_id);
    return static_cast<std::size_t>(p - out);
}

uint16_t crc_word(const FrameRecord& f, unsigned i) {
    // crc0, connection id, sequence number, command, [i], data bytes, 3 zero bytes. The
    // message sits at the end of a zeroed buffer: leading zero bytes leave a CRC from 0
    // unchanged, so every word takes the same fixed run of independent look-ups.
    bool indexed = i >= 1;
    bool two_data_bytes = indexed || f.safe_data_size != 1;
    unsigned length = CRC_CONTROL_BYTES + (indexed ? 2 : 0) + (two_data_bytes ? 2 : 1);
    uint8_t buf[CRC_MESSAGE_BYTES] = {};
    uint8_t* p = buf + (CRC_MESSAGE_BYTES - length);
    p = put_word(p, f.control.crc0);
    p = put_word(p, f.control.connection_id);
    p = put_word(p, f.control.sequence_number);
    *p++ = static_cast<uint8_t>(f.control.command);
    if (indexed) p = put_word(p, static_cast<uint16_t>(i));
    *p++ = data_byte(f, 2 * i);
    if (two_data_bytes) *p = data_byte(f, 2 * i + 1);
    return crc::crc16_short(buf, CRC_MESSAGE_BYTES, CRC_TRAILER_BYTES);
}

void generate_crcs(FrameRecord& f) {
    unsigned m = crc_word_count(f);
    for (unsigned i = 0; i < m; ++i)
        f.crcs[i] = crc_word(f, i);
}

bool check_crcs(const FrameRecord& f, uint16_t calc[MAX_CRC_WORDS]) {
    return check_crcs(f, calc, calc_crc0(f));
}

bool check_crcs(const FrameRecord& f, uint16_t calc[MAX_CRC_WORDS], uint16_t crc0) {
    unsigned m = crc_word_count(f);
    bool ok = true;
    for (unsigned i = 0; i < MAX_CRC_WORDS; ++i) {
        calc[i] = i >= m ? 0 : i == 0 ? crc0 : crc_word(f, i);
        if (i < m && calc[i] != f.crcs[i]) ok = false;
    }
    return ok;
}

uint16_t step_past_repeated_crc0(FrameRecord& f, uint16_t last_sent_crc_0) {
    uint16_t crc0 = calc_crc0(f);
    while (crc0 == last_sent_crc_0) {
        increment_sequence_number(f.control);
        crc0 = calc_crc0(f);
    }
    return crc0;
}

} // namespace tarnwick::frame
