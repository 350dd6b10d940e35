// The virtual slave's mock clock, mock random source and expected SRA CRC: values
// the caller sets, read by the engine in place of a real clock and random source.
// They keep their values across init().
#pragma once

#include <cstdint>

namespace brisel {

void mock_set_time(uint32_t us);
uint32_t mock_time();

void mock_seed_random(uint64_t seed);
// Advances the random state and returns it (always below 45678).
uint16_t mock_random_u16();

void mock_set_sra_crc(uint32_t sra);
uint32_t mock_sra_crc();

} // namespace brisel
