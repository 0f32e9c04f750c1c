// Byte buffers and the big-endian helpers every layer of the phone uses.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace phonesim {

using Bytes = std::vector<std::uint8_t>;

inline void put16(Bytes &out, unsigned value)
{
    out.push_back(static_cast<std::uint8_t>(value >> 8));
    out.push_back(static_cast<std::uint8_t>(value));
}

inline void put32(Bytes &out, std::uint32_t value)
{
    put16(out, value >> 16);
    put16(out, value & 0xFFFF);
}

inline unsigned get16(const std::uint8_t *p)
{
    return (unsigned(p[0]) << 8) | p[1];
}

inline std::uint32_t get32(const std::uint8_t *p)
{
    return (std::uint32_t(get16(p)) << 16) | get16(p + 2);
}

inline void append(Bytes &out, std::string_view text)
{
    out.insert(out.end(), text.begin(), text.end());
}

inline void append(Bytes &out, const Bytes &more)
{
    out.insert(out.end(), more.begin(), more.end());
}

// "02 0C AA": the form in which bytes appear in the request log.
std::string hexBytes(const std::uint8_t *data, std::size_t size, const char *separator = " ");
inline std::string hexBytes(const Bytes &data, const char *separator = " ")
{
    return hexBytes(data.data(), data.size(), separator);
}

} // namespace phonesim
