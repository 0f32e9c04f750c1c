// A memory figure out of the phone's answer to a memory query: the full four-byte
// application parameter when the headers parse, else the three bytes at offsets 9-11.

#include "fuzzsupport.h"

#include "obexresponses.h"

#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QByteArray response(reinterpret_cast<const char *>(data), qsizetype(size));
    const auto figure = ObexResponse::memoryFigure(response);
    if (size < 12 || data[0] != 0xA0) {
        FUZZ_EXPECT(!figure);
        return 0;
    }
    FUZZ_EXPECT(figure.has_value());
    const quint32 fixedCut = quint32(data[9]) << 16 | quint32(data[10]) << 8 | data[11];
    // Otherwise the value of a tag of length 4, as it stands in the answer.
    if (*figure != fixedCut) {
        QByteArray parameter(1, '\x04');
        for (int shift = 24; shift >= 0; shift -= 8)
            parameter.append(char(*figure >> shift));
        FUZZ_EXPECT(response.indexOf(parameter, 3) >= 0);
    }
    return 0;
}
