// The recorded phone families as data: one row per family, from byte traces of real
// phones (M56, C60 and CF62 for the x55/x60 rows, S66 and SL65 for x65, S75 and EL71 for
// x75). The M55 row keeps what phonesim always did where no recording says otherwise.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace phonesim {

// What a PUT of a name the folder holds already does: the recorded x55/x60/x65 phones
// append to the file, the x75 family replaces it.
enum class Overwrite {
    Append,
    Replace
};

struct Model
{
    std::string name; // answered to AT+CGMM
    // Folders at the root of the demo content, the demo files in the first; empty: the
    // M55's folders at the root.
    std::vector<std::string> rootFolders;
    unsigned packet; // largest OBEX packet, announced in the CONNECT answer
    std::uint32_t connectionId;
    // Body bytes per GET answer: a fixed piece, or (fixedPiece 0) the packet less a spare
    // for the first answer (which carries the Length header) and the next ones.
    unsigned fixedPiece;
    unsigned firstSpare, nextSpare;
    // A GET answered in pieces ends with an empty End-of-Body in its final answer.
    bool listingEndsEmpty, fileEndsEmpty;
    Overwrite overwrite;
    std::uint8_t missingCode; // a SETPATH into a missing folder, a DELETE of a missing file
    bool missingFileEmpty; // a GET of a missing file answers an empty file, not C4
    unsigned connectAnswerMs; // the answer time to a plain-mode CONNECT; 0: --obex-latency
    unsigned firstDisconnectMs; // to the first DISCONNECT in plain mode; 0: --obex-latency
    bool errorAt230400; // every AT command at 230400 is answered ERROR
    bool zeroByteOnOpen; // one 00 byte about 140 ms after the port opens (in AT mode)
    std::string listingIndent; // before each entry of a folder listing
    bool answersBfb; // false: AT^SBFB=1 gets OK, and no BFB frame an answer
    bool answersEscape; // +++ is answered OK as the phone goes back to AT mode
};

// nullptr for a name not in the table (letter case does not matter).
const Model *findModel(std::string_view name);
const Model &defaultModel();
std::string modelNames(); // "M55|C60|S65|S75"

} // namespace phonesim
