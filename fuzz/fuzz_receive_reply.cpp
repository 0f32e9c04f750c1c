// ReceiveReply against anything a phone might send. The bytes reach the real port
// code through a pseudo-terminal; replies are read one after another until the
// input is used up. A receive error ends only the current input (the link throws
// LinkLost), a short input ends in the receive time-out, scaled down
// to a few milliseconds. Nothing may crash, hang, or hand back more packet bytes
// than were sent.

#include "fuzzapplication.h"
#include "fuzzsupport.h"

#include "bfblink.h"

namespace {

struct Harness
{
    PhoneEnd phone;
    PhoneEvents events; // shows nothing
    UnusedChecksum crc;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    static Harness harness;
    if (size > MaxInput)
        size = MaxInput;

    auto line = openLine(harness.phone, harness.events);
    BfbLink link(*line, harness.crc, harness.events);
    harness.phone.send(data, size);

    std::size_t replies = 0;
    try {
        do {
            const BfbLink::Reply reply = link.ReceiveReply();
            ++replies;
            // An acknowledgement takes five bytes; a data block ten more than its packet
            // (frame header, block header, CRC).
            FUZZ_EXPECT(replies * 5 <= size);
            if (!reply.isAcknowledge())
                FUZZ_EXPECT(std::size_t(reply.packet.size()) + 10 <= size);
        } while (line->bytesWaiting() > 0);
    } catch (const LinkLost &) {
        // A receive error or time-out ended the link here: the port must be closed.
        FUZZ_EXPECT(!line->isPortOpen());
    }
    line.reset();
    return 0;
}
