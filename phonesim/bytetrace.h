// Byte traces: every byte between the computer and the phone, one line per read or
// write, as the computer's port saw it. tarvel-cli and the window write the same format:
//
//   # any comment line
//   PC 0 61 74 0D 0A
//   PHONE 12 61 74 0D 0D 0A 4F 4B 0D 0A
//
// A record is the party that sent the bytes (PC: the computer, PHONE: the phone), the
// milliseconds since the trace began (a whole number, never decreasing) and the bytes,
// each as two hexadecimal digits; single spaces between the fields, one record per
// line. Lines starting with '#' and empty lines are comments. Written in capitals, read
// in either case.
#pragma once

#include "bytes.h"
#include "linefile.h"

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace phonesim {

enum class Party {
    Computer,
    Phone
};

class ByteTrace
{
public:
    // "-" is standard error.
    bool open(const std::string &path);
    void record(Party from, const std::uint8_t *data, std::size_t size);

private:
    LineFile file_;
    std::chrono::steady_clock::time_point start_;
};

struct TraceRecord
{
    Party from = Party::Computer;
    Bytes bytes;
};

// The records of a trace file in order; nullopt with a reason ("line 7: ...").
std::optional<std::vector<TraceRecord>> readTrace(const std::string &path, std::string &error);

} // namespace phonesim
