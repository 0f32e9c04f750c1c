// Command line of the emulated phone.
#pragma once

#include "faults.h"

#include <cstdint>
#include <optional>
#include <string>

namespace phonesim {

struct Options
{
    std::string root; // flash memory folder; empty: a demo folder made at start
    std::string link; // symbolic link to the device, removed at exit
    std::string model = "M55";
    std::uint32_t memory = 1572864;
    unsigned baud = 0; // 0: no pacing
    unsigned packet = 1024; // largest OBEX packet the phone sends and accepts
    unsigned frame = 32; // largest payload of a frame the phone sends
    std::string log; // request log; "-" for standard error
    bool trace = false; // raw bytes of both directions into the log
    bool emptyFinal = false; // final GET response carries no data
    FaultOptions faults;
};

struct ParseResult
{
    std::optional<Options> options; // nullopt: stop (help shown or an error)
    int exitCode = 0;
};

ParseResult parseOptions(int argc, char **argv);
const char *helpText();

} // namespace phonesim
