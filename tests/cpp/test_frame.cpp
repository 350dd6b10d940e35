// The master's frame codec: wire layout, block CRCs, the CRC_0 rule, the SRA CRC.
#include "core/frame/crc.hpp"
#include "tarnwick/frame.hpp"
#include "tarnwick/sra_crc.hpp"

#include <doctest/doctest.h>

#include <cstring>
#include <random>
#include <vector>

using namespace tarnwick::frame;

namespace {

constexpr unsigned SIZES[] = {0, 1, 2, 4, 6, 8, 10, 12, 14, 16};

FrameRecord random_frame(unsigned size, std::mt19937& rng) {
    FrameRecord f{};
    f.safe_data_size = static_cast<uint16_t>(size);
    f.control.command = static_cast<uint16_t>(Command::PROCESS_DATA);
    f.control.sequence_number = static_cast<uint16_t>(1 + rng() % 0xFFFE);
    f.control.connection_id = static_cast<uint16_t>(rng());
    f.control.crc0 = static_cast<uint16_t>(rng());
    for (unsigned k = 0; k < (size + 1) / 2; ++k)
        f.safe_data[k] = static_cast<uint16_t>(rng());
    if (size % 2) f.safe_data[size / 2] &= 0x00FF; // an odd size's last byte stands alone
    return f;
}

// The receiver's record: it knows the counters, and learns the rest from the wire.
FrameRecord received(const FrameRecord& sent, const uint8_t* wire, std::size_t len) {
    FrameRecord r{};
    r.control.sequence_number = sent.control.sequence_number;
    r.control.crc0 = sent.control.crc0;
    parse(r, wire, len);
    return r;
}

// CRC-32 of the SRA parameters, one bit at a time: an independent check of the table.
uint32_t sra_crc_bitwise(const std::vector<uint16_t>& words) {
    constexpr uint32_t POLY = 0x814141ABu;
    uint32_t c = 0;
    for (uint16_t w : words) {
        for (uint8_t byte : {static_cast<uint8_t>(w & 0xFF), static_cast<uint8_t>(w >> 8)}) {
            c ^= static_cast<uint32_t>(byte) << 24;
            for (int bit = 0; bit < 8; ++bit)
                c = (c & 0x80000000u) ? (c << 1) ^ POLY : c << 1;
        }
    }
    return c;
}

// The block CRC one bit at a time: an independent check of the two-byte step.
uint16_t crc16_bitwise(const std::vector<uint8_t>& bytes) {
    uint16_t c = 0;
    for (uint8_t byte : bytes) {
        c ^= static_cast<uint16_t>(byte << 8);
        for (int bit = 0; bit < 8; ++bit)
            c = static_cast<uint16_t>((c & 0x8000u) ? (c << 1) ^ tarnwick::crc::CRC16_POLY
                                                    : c << 1);
    }
    return c;
}

} // namespace

TEST_CASE("every size survives serialise and parse with valid CRCs") {
    std::mt19937 rng(1);
    for (unsigned size : SIZES) {
        CAPTURE(size);
        FrameRecord f = random_frame(size, rng);
        generate_crcs(f);
        uint8_t wire[MAX_FRAME_BYTES];
        std::size_t len = serialise(f, wire);
        CHECK(len == wire_length(size));
        CHECK(size_for_length(len) == (size % 2 && size > 1 ? size + 1 : size));
        FrameRecord r = received(f, wire, len);
        uint16_t calc[MAX_CRC_WORDS];
        CHECK(check_crcs(r, calc));
        CHECK(std::memcmp(r.safe_data, f.safe_data, sizeof f.safe_data) == 0);
        CHECK(r.control.connection_id == f.control.connection_id);
    }
}

TEST_CASE("a flipped bit anywhere on the wire fails the CRC check") {
    std::mt19937 rng(2);
    for (unsigned size : {1u, 2u, 4u, 16u}) {
        FrameRecord f = random_frame(size, rng);
        generate_crcs(f);
        uint8_t wire[MAX_FRAME_BYTES];
        std::size_t len = serialise(f, wire);
        for (std::size_t byte = 0; byte < len; ++byte) {
            for (int bit = 0; bit < 8; ++bit) {
                CAPTURE(size);
                CAPTURE(byte);
                uint8_t bad[MAX_FRAME_BYTES];
                std::memcpy(bad, wire, len);
                bad[byte] ^= static_cast<uint8_t>(1u << bit);
                FrameRecord r = received(f, bad, len);
                uint16_t calc[MAX_CRC_WORDS];
                CHECK_FALSE(check_crcs(r, calc));
            }
        }
    }
}

TEST_CASE("sender and receiver step past a repeated CRC_0 alike") {
    std::mt19937 rng(3);
    for (int trial = 0; trial < 200; ++trial) {
        FrameRecord f = random_frame(2, rng);
        FrameRecord first = f;
        generate_crcs(first);
        uint16_t repeated = generated_crc0(first); // force the rule to act
        uint16_t sequence = f.control.sequence_number;
        generate_crcs_cyclic(f, repeated);
        CHECK(generated_crc0(f) != repeated);
        CHECK(f.control.sequence_number != sequence);
        FrameRecord r = f;
        r.control.sequence_number = sequence;
        uint16_t expected = step_past_repeated_crc0(r, repeated);
        CHECK(r.control.sequence_number == f.control.sequence_number);
        CHECK(expected == generated_crc0(f));
    }
}

TEST_CASE("the sequence number wraps from 0xFFFF to 1, never 0") {
    FrameControl c{};
    c.sequence_number = 0xFFFF;
    increment_sequence_number(c);
    CHECK(c.sequence_number == 1);
}

TEST_CASE("the block CRC, by pairs or by distances, agrees with a bitwise CRC-16") {
    std::mt19937 rng(5);
    for (std::size_t count : {0u, 1u, 2u, 11u, 12u, 13u, 33u}) { // odd and even lengths
        std::vector<uint8_t> bytes(count);
        for (uint8_t& b : bytes)
            b = static_cast<uint8_t>(rng());
        CAPTURE(count);
        CHECK(tarnwick::crc::crc16(bytes.data(), bytes.size()) == crc16_bitwise(bytes));
        if (count + 3 > tarnwick::crc::CRC16_DISTANCES) continue;
        std::vector<uint8_t> padded = bytes; // the three zero bytes every block ends with
        padded.resize(count + 3);
        CHECK(tarnwick::crc::crc16_short(bytes.data(), bytes.size(), 3) == crc16_bitwise(padded));
    }
}

TEST_CASE("the SRA CRC table agrees with a bitwise CRC-32") {
    std::mt19937 rng(4);
    for (std::size_t count : {0u, 1u, 3u, 17u, 64u}) {
        std::vector<uint16_t> words(count);
        for (uint16_t& w : words)
            w = static_cast<uint16_t>(rng());
        CAPTURE(count);
        CHECK(sra_crc(words.data(), words.size()) == sra_crc_bitwise(words));
    }
}
