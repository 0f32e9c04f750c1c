// CRC-16/X-25, the checksum closing every BFB data block: polynomial 0x1021 processed
// reflected (0x8408), initial value 0xFFFF, final complement. Header-only and fixed at
// compile time; the component and the emulated phone both use it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace sumlet {

constexpr std::array<std::uint16_t, 256> makeCrc16Table()
{
    std::array<std::uint16_t, 256> table{};
    for (unsigned i = 0; i < 256; ++i) {
        std::uint16_t value = static_cast<std::uint16_t>(i);
        for (int bit = 0; bit < 8; ++bit)
            value = (value & 1) ? static_cast<std::uint16_t>((value >> 1) ^ 0x8408)
                                : static_cast<std::uint16_t>(value >> 1);
        table[i] = value;
    }
    return table;
}

inline constexpr std::array<std::uint16_t, 256> crc16Table = makeCrc16Table();
static_assert(crc16Table[1] == 0x1189 && crc16Table[255] == 0x0F78);

// Byte: char or std::uint8_t.
template<class Byte>
constexpr std::uint16_t crc16X25(const Byte *data, std::size_t size)
{
    std::uint16_t crc = 0xFFFF;
    for (std::size_t i = 0; i < size; ++i)
        crc = static_cast<std::uint16_t>((crc >> 8) ^ crc16Table[(crc ^ static_cast<std::uint8_t>(data[i])) & 0xFF]);
    return static_cast<std::uint16_t>(crc ^ 0xFFFF);
}

static_assert(crc16X25("123456789", 9) == 0x906E);

} // namespace sumlet
