// Command line of the emulated phone.
#pragma once

#include "faults.h"
#include "model.h"

#include <cstdint>
#include <optional>
#include <string>

namespace phonesim {

// How the phone cuts its blocks into frames: Blind cuts every --frame bytes whatever
// the fields (so the header or one or both CRC bytes may travel alone), as the program
// cuts its own; CrcLast keeps both CRC bytes together in the last frame.
enum class Cut {
    CrcLast,
    Blind
};
// Phones cut blindly; CrcLast keeps the shape some older readers insist on.
constexpr Cut defaultCut = Cut::Blind;

// How the phone answers an ABORT in the middle of a GET (no recording shows one;
// idle, the recorded phones answer A0 00 03).
enum class AbortGet {
    AtOnce, // A0 00 03 at once; the GET is over
    Finish, // first the GET answer it was sending, then A0 00 03
    Refuse, // D1 Not Implemented; the GET goes on
};

// The interface the phone is reached on, as AT^SIFS names it: a serial cable (DCA-500,
// DCA-510), USB (DCA-540), Bluetooth or infrared.
enum class Interface {
    Wire,
    Usb,
    Blue,
    Irda
};

struct Options
{
    std::string root; // flash memory folder; empty: a demo folder made at start
    std::string link; // symbolic link to the device, removed at exit
    // The recorded family's figures, with --packet, --overwrite and --empty-final applied.
    Model model = defaultModel();
    std::uint32_t memory = 1572864;
    unsigned baud = 0; // 0: no pacing
    unsigned frame = 32; // largest payload of a frame the phone sends
    Cut cut = defaultCut;
    unsigned resendAfterMs = 3000; // 0: never send a block again
    unsigned resends = 3; // at most this many times per block
    // As recorded from real phones: about 40 ms for an AT command, a few for a block.
    unsigned atLatencyMs = 40; // from the end of an AT command to its answer
    unsigned obexLatencyMs = 5; // from the end of a block or BFB frame to the answer
    std::string log; // request log; "-" for standard error
    std::string trace; // byte trace file; "-" for standard error
    std::string replay; // answer from this trace instead of emulating the phone
    AbortGet abortGet = AbortGet::AtOnce;
    Interface interface = Interface::Wire;
    FaultOptions faults;
};

struct ParseResult
{
    std::optional<Options> options; // nullopt: stop (help shown or an error)
    int exitCode = 0;
};

ParseResult parseOptions(int argc, char **argv);
std::string helpText();

} // namespace phonesim
