// libFuzzer harness over the master's frame codec: arbitrary wire bytes are parsed,
// serialised, parsed again and CRC-checked. Any crash, sanitizer report or broken
// round trip is a finding.
#include "tarnwick/frame.hpp"

#include <cstdlib>
#include <cstring>

using namespace tarnwick::frame;

namespace {

void require(bool condition) {
    if (!condition) std::abort();
}

// The fields a serialise/parse round trip keeps for a frame of n safe-data bytes.
// An odd n above 1 travels as n + 1 and comes back as that size.
bool same_wire_content(const FrameRecord& a, const FrameRecord& b) {
    unsigned n = a.safe_data_size;
    unsigned data_bytes = n == 1 ? 1 : n + (n % 2);
    if ((a.control.command & 0xFF) != (b.control.command & 0xFF)) return false;
    if (a.control.connection_id != b.control.connection_id) return false;
    if (b.safe_data_size != (n == 1 ? 1 : data_bytes)) return false;
    for (unsigned k = 0; k < data_bytes; ++k)
        if (data_byte(a, k) != data_byte(b, k)) return false;
    for (unsigned i = 0; i < crc_word_count(a); ++i)
        if (a.crcs[i] != b.crcs[i]) return false;
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The binding refuses anything beyond the record before parsing; so do we.
    if (size_for_length(size) > MAX_DATA_BYTES) return 0;

    FrameRecord f;
    clear(f);
    parse(f, data, size);
    require(f.safe_data_size <= MAX_DATA_BYTES);

    uint8_t wire[MAX_FRAME_BYTES];
    std::size_t len = serialise(f, wire);
    require(len == wire_length(f.safe_data_size) && len <= MAX_FRAME_BYTES);

    FrameRecord again;
    clear(again);
    parse(again, wire, len);
    require(same_wire_content(f, again));

    // A check agrees with a fresh generation, word for word.
    uint16_t calc[MAX_CRC_WORDS];
    bool received_ok = check_crcs(f, calc);
    FrameRecord fixed = f;
    generate_crcs(fixed);
    uint16_t calc_fixed[MAX_CRC_WORDS];
    require(check_crcs(fixed, calc_fixed));
    require(std::memcmp(calc, calc_fixed, sizeof calc) == 0);
    bool all_match = true;
    for (unsigned i = 0; i < crc_word_count(f); ++i)
        all_match = all_match && f.crcs[i] == fixed.crcs[i];
    require(received_ok == all_match);

    // The sender never repeats the CRC_0 it sent last. CRC_0 is a bijection of the
    // sequence number, so the rule steps it at most once, and the receiver's rule
    // steps the expected number alike.
    uint16_t last_sent = size >= 2 ? static_cast<uint16_t>(data[0] | data[1] << 8) : 0;
    uint16_t start_seq = size >= 4 ? static_cast<uint16_t>(data[2] | data[3] << 8) : 0;
    FrameRecord cyclic = f;
    cyclic.control.sequence_number = start_seq;
    bool repeats = calc_crc0(cyclic) == last_sent;
    generate_crcs_cyclic(cyclic, last_sent);
    require(calc_crc0(cyclic) != last_sent);
    FrameControl stepped = f.control;
    stepped.sequence_number = start_seq;
    if (repeats) increment_sequence_number(stepped);
    require(cyclic.control.sequence_number == stepped.sequence_number);

    FrameRecord expected = f;
    expected.control.sequence_number = start_seq;
    step_past_repeated_crc0(expected, last_sent);
    require(expected.control.sequence_number == cyclic.control.sequence_number);
    return 0;
}
