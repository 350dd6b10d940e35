// The SRA CRC is public: include "tarnwick/sra_crc.hpp". This forwarder keeps the
// library's own sources that still name the old path building.
#pragma once

#include "tarnwick/sra_crc.hpp"
