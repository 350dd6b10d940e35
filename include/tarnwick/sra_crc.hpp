// 32-bit CRC over safety-related application (SRA) parameters: the value a device
// checks its safety parameters with, sent to it as an application parameter.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tarnwick::frame {

// One parameter word into the register, low byte first.
uint32_t sra_crc_update(uint32_t c, uint16_t word);

// Feeds each parameter word low byte first, in order; register starts at 0.
uint32_t sra_crc(const uint16_t* params, std::size_t count);

} // namespace tarnwick::frame
