#include "tarnwick/sra_crc.hpp"

#include "core/frame/crc.hpp"

namespace tarnwick::frame {

uint32_t sra_crc_update(uint32_t c, uint16_t word) {
    c = crc::crc32_sra_update(c, static_cast<uint8_t>(word & 0xFF));
    return crc::crc32_sra_update(c, static_cast<uint8_t>(word >> 8));
}

uint32_t sra_crc(const uint16_t* params, std::size_t count) {
    uint32_t c = 0;
    for (std::size_t i = 0; i < count; ++i)
        c = sra_crc_update(c, params[i]);
    return c;
}

} // namespace tarnwick::frame
