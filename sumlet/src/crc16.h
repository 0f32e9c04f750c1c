#pragma once

#include <array>
#include <cstdint>

namespace sumlet {

// CRC-16/X-25: polynomial 0x1021 processed reflected (0x8408), initial value
// 0xFFFF, final complement. The table is fixed at compile time.
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

// Covers the first len bytes of data; the counter and len are signed 16-bit,
// so a len of 0 or below covers nothing and at most 32767 bytes count. The
// caller guarantees that data holds at least len bytes.
constexpr std::uint16_t crc16X25(const char *data, std::int16_t len)
{
    std::uint16_t crc = 0xFFFF;
    for (std::int16_t i = 0; i < len; ++i)
        crc = static_cast<std::uint16_t>((crc >> 8) ^ crc16Table[(crc ^ static_cast<std::uint8_t>(data[i])) & 0xFF]);
    return static_cast<std::uint16_t>(crc ^ 0xFFFF);
}

static_assert(crc16X25("123456789", 9) == 0x906E);

} // namespace sumlet
