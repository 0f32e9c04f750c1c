// Names cross three encodings: UTF-8 on the host, Windows-1251 bytes in listings, and
// 16-bit code units in OBEX Name headers.
#pragma once

#include "bytes.h"

#include <optional>
#include <string>
#include <string_view>

namespace phonesim {

// Unicode code point of a Windows-1251 byte, or nullopt for the one unassigned byte 0x98.
std::optional<char32_t> cp1251ToUnicode(std::uint8_t byte);
// Windows-1251 byte of a code point, or nullopt when the code page has none.
std::optional<std::uint8_t> unicodeToCp1251(char32_t code);

std::optional<std::u32string> decodeUtf8(std::string_view utf8);
std::string encodeUtf8(std::u32string_view text);

// Host name (UTF-8) to the single-byte form that listings carry; nullopt when a
// character has no Windows-1251 code.
std::optional<std::string> utf8ToCp1251(std::string_view utf8);
std::string cp1251ToUtf8(std::string_view bytes);

// A Name header value (16-bit big-endian units, optionally ending in a zero unit) to
// UTF-8. Units below 0x100 are Windows-1251 bytes behind a zero byte (how the program
// sends names); larger units are real UTF-16, surrogate pairs included (how obexftp
// sends them). nullopt for an odd length, an embedded zero unit, a broken surrogate or
// the unassigned byte 0x98.
std::optional<std::string> decodeWireName(const std::uint8_t *data, std::size_t size);

} // namespace phonesim
