// CRC-16/X-25 closing every BFB data block (reflected 0x1021, init and final XOR 0xFFFF).
#pragma once

#include <cstddef>
#include <cstdint>

namespace phonesim {

std::uint16_t crc16X25(const std::uint8_t *data, std::size_t size);

} // namespace phonesim
