#include "brisel/mock.hpp"

namespace brisel {

namespace {

// Linear congruential step; the product wraps modulo 2^64 before the addition.
constexpr uint64_t RANDOM_MULTIPLIER = 75241467858ull;
constexpr uint64_t RANDOM_INCREMENT = 12345;
constexpr uint64_t RANDOM_MODULUS = 45678;

uint32_t clock_us = 0;
uint64_t random_state = 1;
uint32_t sra_crc = 0;

} // namespace

void mock_set_time(uint32_t us) {
    clock_us = us;
}

uint32_t mock_time() {
    return clock_us;
}

void mock_seed_random(uint64_t seed) {
    random_state = seed;
}

uint16_t mock_random_u16() {
    random_state = (random_state * RANDOM_MULTIPLIER + RANDOM_INCREMENT) % RANDOM_MODULUS;
    return static_cast<uint16_t>(random_state);
}

void mock_set_sra_crc(uint32_t sra) {
    sra_crc = sra;
}

uint32_t mock_sra_crc() {
    return sra_crc;
}

} // namespace brisel
