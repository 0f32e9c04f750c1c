#include "model.h"

#include <algorithm>
#include <array>
#include <cctype>

namespace phonesim {

namespace {

// Figures from the traces (x55/x60: M56v06, C60v26; x65: S66v34, SL65v53; x75: S75v47,
// EL71v45). The M55 keeps its demo folders, its listing without indentation, its final
// GET answer carrying the last data and no 00 byte on opening (the M56 sends one), as
// phonesim has always served it.
const std::array<Model, 4> models = {{
    {.name = "M55",
     .rootFolders = {},
     .packet = 474,
     .connectionId = 0x100,
     .fixedPiece = 0,
     .firstSpare = 18, // 456 body bytes at 474, then 465, as recorded
     .nextSpare = 9,
     .listingEndsEmpty = false,
     .fileEndsEmpty = false,
     .overwrite = Overwrite::Append,
     .missingCode = 0xC3,
     .missingFileEmpty = false,
     .connectAnswerMs = 0,
     .firstDisconnectMs = 0,
     .errorAt230400 = false,
     .zeroByteOnOpen = false,
     .listingIndent = "",
     .answersBfb = true,
     .answersEscape = true},
    // C60v26: an x55/x60 phone as recorded, whose GET of a missing file (obex.codes) is
    // answered A0 00 06 49 00 03, an empty file, as the A56v25 does too.
    {.name = "C60",
     .rootFolders = {"Pictures", "PersistentData", "Data inbox", "Internet", "Cache", "Java", "Sounds", "tmp",
                     "Animations"},
     .packet = 474,
     .connectionId = 0x100,
     .fixedPiece = 0,
     .firstSpare = 18,
     .nextSpare = 9,
     .listingEndsEmpty = true,
     .fileEndsEmpty = true,
     .overwrite = Overwrite::Append,
     .missingCode = 0xC3,
     .missingFileEmpty = true,
     .connectAnswerMs = 0,
     .firstDisconnectMs = 0,
     .errorAt230400 = false,
     .zeroByteOnOpen = true,
     .listingIndent = "   ",
     .answersBfb = true,
     .answersEscape = true},
    // S66v34 obex.files: 1024 body bytes in every answer, so the first, with its Length
    // header, is 1035 bytes long, beyond the 1030 announced.
    {.name = "S65",
     .rootFolders = {"Data", "MMCard"},
     .packet = 1030,
     .connectionId = 0x100,
     .fixedPiece = 1024,
     .firstSpare = 11,
     .nextSpare = 6,
     .listingEndsEmpty = true,
     .fileEndsEmpty = true,
     .overwrite = Overwrite::Append,
     .missingCode = 0xC3,
     .missingFileEmpty = false,
     .connectAnswerMs = 0,
     .firstDisconnectMs = 0,
     .errorAt230400 = true,
     .zeroByteOnOpen = true,
     .listingIndent = "   ",
     .answersBfb = false,
     .answersEscape = false},
    // S75v47 obex.files: the 3000-byte file in one A0 answer, while listings end with an
    // empty End-of-Body. EL71v45 answered its CONNECT after 160 ms, S75v47 after 62; the
    // first DISCONNECT is slow too, the next ones answered at once.
    {.name = "S75",
     .rootFolders = {"Data", "Cache", "Config", "MMCard"},
     .packet = 8208,
     .connectionId = 0x400,
     .fixedPiece = 0,
     .firstSpare = 11, // the packet filled: 3 + Length 5 + Body header 3
     .nextSpare = 6,
     .listingEndsEmpty = true,
     .fileEndsEmpty = false,
     .overwrite = Overwrite::Replace,
     .missingCode = 0xC4,
     .missingFileEmpty = false,
     .connectAnswerMs = 160,
     .firstDisconnectMs = 170, // S75v47 obex.codes: 169 ms; EL71v45: 95
     .errorAt230400 = true,
     .zeroByteOnOpen = true,
     .listingIndent = "",
     .answersBfb = false,
     .answersEscape = false},
}};

} // namespace

const Model *findModel(std::string_view name)
{
    auto same = [&](const Model &model) {
        return std::equal(name.begin(), name.end(), model.name.begin(), model.name.end(),
                          [](char a, char b) { return std::toupper((unsigned char)a) == b; });
    };
    auto found = std::find_if(models.begin(), models.end(), same);
    return found == models.end() ? nullptr : &*found;
}

const Model &defaultModel()
{
    return models.front();
}

std::string modelNames()
{
    std::string names;
    for (const Model &model : models)
        names += (names.empty() ? "" : "|") + model.name;
    return names;
}

} // namespace phonesim
