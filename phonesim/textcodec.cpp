#include "textcodec.h"

#include <array>

namespace phonesim {

namespace {

// 0x80 to 0xBF; 0xC0 to 0xFF are the contiguous letters U+0410 to U+044F.
constexpr std::array<char16_t, 64> upperHalf = {
    0x0402, 0x0403, 0x201A, 0x0453, 0x201E, 0x2026, 0x2020, 0x2021, 0x20AC, 0x2030, 0x0409, 0x2039, 0x040A,
    0x040C, 0x040B, 0x040F, 0x0452, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014, 0x0000, 0x2122,
    0x0459, 0x203A, 0x045A, 0x045C, 0x045B, 0x045F, 0x00A0, 0x040E, 0x045E, 0x0408, 0x00A4, 0x0490, 0x00A6,
    0x00A7, 0x0401, 0x00A9, 0x0404, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x0407, 0x00B0, 0x00B1, 0x0406, 0x0456,
    0x0491, 0x00B5, 0x00B6, 0x00B7, 0x0451, 0x2116, 0x0454, 0x00BB, 0x0458, 0x0405, 0x0455, 0x0457,
};

} // namespace

std::optional<char32_t> cp1251ToUnicode(std::uint8_t byte)
{
    if (byte < 0x80)
        return byte;
    if (byte >= 0xC0)
        return char32_t(0x0410 + (byte - 0xC0));
    char16_t code = upperHalf[byte - 0x80];
    if (code == 0)
        return std::nullopt;
    return code;
}

std::optional<std::uint8_t> unicodeToCp1251(char32_t code)
{
    if (code < 0x80)
        return static_cast<std::uint8_t>(code);
    if (code >= 0x0410 && code <= 0x044F)
        return static_cast<std::uint8_t>(0xC0 + (code - 0x0410));
    for (std::size_t i = 0; i < upperHalf.size(); ++i)
        if (upperHalf[i] != 0 && upperHalf[i] == code)
            return static_cast<std::uint8_t>(0x80 + i);
    return std::nullopt;
}

std::optional<std::u32string> decodeUtf8(std::string_view utf8)
{
    std::u32string out;
    for (std::size_t i = 0; i < utf8.size();) {
        auto lead = static_cast<std::uint8_t>(utf8[i]);
        int extra;
        char32_t code;
        if (lead < 0x80) {
            extra = 0;
            code = lead;
        } else if ((lead & 0xE0) == 0xC0) {
            extra = 1;
            code = lead & 0x1F;
        } else if ((lead & 0xF0) == 0xE0) {
            extra = 2;
            code = lead & 0x0F;
        } else if ((lead & 0xF8) == 0xF0) {
            extra = 3;
            code = lead & 0x07;
        } else {
            return std::nullopt;
        }
        if (i + extra >= utf8.size())
            return std::nullopt;
        for (int k = 1; k <= extra; ++k) {
            auto next = static_cast<std::uint8_t>(utf8[i + k]);
            if ((next & 0xC0) != 0x80)
                return std::nullopt;
            code = (code << 6) | (next & 0x3F);
        }
        static constexpr char32_t smallest[] = {0, 0x80, 0x800, 0x10000};
        if (code < smallest[extra] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
            return std::nullopt;
        out.push_back(code);
        i += extra + 1;
    }
    return out;
}

std::string encodeUtf8(std::u32string_view text)
{
    std::string out;
    for (char32_t code : text) {
        if (code < 0x80) {
            out.push_back(static_cast<char>(code));
        } else if (code < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (code >> 6)));
            out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
        } else if (code < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (code >> 12)));
            out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (code >> 18)));
            out.push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
        }
    }
    return out;
}

std::optional<std::string> utf8ToCp1251(std::string_view utf8)
{
    auto text = decodeUtf8(utf8);
    if (!text)
        return std::nullopt;
    std::string out;
    for (char32_t code : *text) {
        auto byte = unicodeToCp1251(code);
        if (!byte)
            return std::nullopt;
        out.push_back(static_cast<char>(*byte));
    }
    return out;
}

std::string cp1251ToUtf8(std::string_view bytes)
{
    std::u32string text;
    for (char c : bytes)
        text.push_back(cp1251ToUnicode(static_cast<std::uint8_t>(c)).value_or(U'\uFFFD'));
    return encodeUtf8(text);
}

std::optional<std::string> decodeWireName(const std::uint8_t *data, std::size_t size)
{
    if (size % 2 != 0)
        return std::nullopt;
    std::size_t units = size / 2;
    if (units > 0 && get16(data + 2 * (units - 1)) == 0)
        --units;
    std::u32string text;
    for (std::size_t i = 0; i < units; ++i) {
        unsigned unit = get16(data + 2 * i);
        if (unit == 0)
            return std::nullopt;
        if (unit < 0x100) {
            auto code = cp1251ToUnicode(static_cast<std::uint8_t>(unit));
            if (!code)
                return std::nullopt;
            text.push_back(*code);
        } else if (unit >= 0xD800 && unit <= 0xDBFF) {
            if (i + 1 >= units)
                return std::nullopt;
            unsigned low = get16(data + 2 * (i + 1));
            if (low < 0xDC00 || low > 0xDFFF)
                return std::nullopt;
            text.push_back(0x10000 + ((char32_t(unit) - 0xD800) << 10) + (low - 0xDC00));
            ++i;
        } else if (unit >= 0xDC00 && unit <= 0xDFFF) {
            return std::nullopt;
        } else {
            text.push_back(unit);
        }
    }
    return encodeUtf8(text);
}

std::string hexBytes(const std::uint8_t *data, std::size_t size, const char *separator)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (std::size_t i = 0; i < size; ++i) {
        if (i > 0)
            out += separator;
        out.push_back(digits[data[i] >> 4]);
        out.push_back(digits[data[i] & 0x0F]);
    }
    return out;
}

} // namespace phonesim
