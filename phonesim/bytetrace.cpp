#include "bytetrace.h"

#include <cctype>
#include <fstream>
#include <sstream>

namespace phonesim {

namespace {

int hexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    c = char(std::toupper(static_cast<unsigned char>(c)));
    return c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
}

} // namespace

bool ByteTrace::open(const std::string &path)
{
    if (!file_.open(path) || !file_.isOpen())
        return false;
    start_ = std::chrono::steady_clock::now();
    file_.line("# byte trace: PC = sent by the computer, PHONE = sent by the phone; milliseconds since the start; "
               "bytes in hex");
    return true;
}

void ByteTrace::record(Party from, const std::uint8_t *data, std::size_t size)
{
    if (!file_.isOpen() || size == 0)
        return;
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start_).count();
    file_.line((from == Party::Computer ? "PC " : "PHONE ") + std::to_string(ms) + " " + hexBytes(data, size));
}

std::optional<std::vector<TraceRecord>> readTrace(const std::string &path, std::string &error)
{
    std::ifstream in(path);
    if (!in) {
        error = "cannot read " + path;
        return std::nullopt;
    }
    std::vector<TraceRecord> records;
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.empty() || line.front() == '#')
            continue;
        auto fail = [&](const std::string &why) {
            error = path + " line " + std::to_string(number) + ": " + why;
            return std::nullopt;
        };
        std::istringstream fields(line);
        std::string party, ms, byte;
        fields >> party >> ms;
        TraceRecord record;
        if (party == "PC")
            record.from = Party::Computer;
        else if (party == "PHONE")
            record.from = Party::Phone;
        else
            return fail("expected PC or PHONE, found \"" + party + "\"");
        if (ms.empty() || ms.find_first_not_of("0123456789") != std::string::npos)
            return fail("expected milliseconds, found \"" + ms + "\"");
        while (fields >> byte) {
            if (byte.size() != 2 || hexDigit(byte[0]) < 0 || hexDigit(byte[1]) < 0)
                return fail("expected a byte in hex, found \"" + byte + "\"");
            record.bytes.push_back(std::uint8_t(hexDigit(byte[0]) * 16 + hexDigit(byte[1])));
        }
        if (record.bytes.empty())
            return fail("no bytes");
        records.push_back(std::move(record));
    }
    return records;
}

} // namespace phonesim
