// The data of a multi-packet GET, gathered from the phone's responses: from their
// Body and End-of-Body headers, or by the fixed cuts when the headers do not parse.
// The collector never keeps more than the announced Length or 16 MiB.
// Input: one byte for the kind of transfer, then responses, each preceded by its
// length in two bytes (big-endian); the rest of the input is the last response.

#include "fuzzsupport.h"

#include "obexresponses.h"

#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size < 1)
        return 0;
    using ObexResponse::GetDataCollector;
    const auto transfer = data[0] & 1 ? GetDataCollector::Transfer::File : GetDataCollector::Transfer::Listing;
    GetDataCollector collector(transfer);

    std::size_t pos = 1;
    qsizetype responseBytes = 0;
    int responses = 0;
    // Responses go in until the collector sees an overrun, as in the transfer loop.
    while (pos < size && !collector.overrun()) {
        std::size_t length = size - pos;
        std::size_t start = pos;
        if (size - pos >= 2) {
            const std::size_t announced = std::size_t(data[pos]) << 8 | data[pos + 1];
            if (announced <= size - pos - 2) {
                length = announced;
                start = pos + 2;
            }
        }
        const QByteArray response(reinterpret_cast<const char *>(data + start), qsizetype(length));
        pos = start + length;

        if (const auto body = ObexResponse::bodyData(response))
            FUZZ_EXPECT(body->size() + 3 <= response.size());
        collector.addResponse(response);
        responseBytes += response.size();
        ++responses;
        FUZZ_EXPECT(collector.responseCount() == responses);
        // Data is only ever taken out of responses, never made up, and never grows unbounded.
        FUZZ_EXPECT(collector.data().size() <= responseBytes);
        FUZZ_EXPECT(collector.data().size() <= GetDataCollector::TransferLimit);
        if (collector.overrun())
            FUZZ_EXPECT(collector.data().isEmpty() && !collector.complete());
        if (collector.complete() && collector.announcedLength())
            FUZZ_EXPECT(collector.data().size() == qsizetype(*collector.announcedLength()));
        if (length == 0 && start == pos)
            break;
    }
    return 0;
}
