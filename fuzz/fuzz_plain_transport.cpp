// One plain OBEX exchange against anything a phone might answer. The request goes out
// on a pseudo-terminal; once it is on the line, the input arrives as the phone's
// answer, all at once. The transport hands back a packet only when the input is one
// whole, well-headed packet and nothing more; anything else ends the link (LinkLost)
// with the port closed. Nothing may crash or hang.

#include "fuzzapplication.h"
#include "fuzzsupport.h"

#include "plaintransport.h"

#include <QMetaObject>

namespace {

struct Harness
{
    PhoneEnd phone;
    PhoneEvents events; // shows nothing
};

// A listing request for the current folder, as the recorded M56 sends it.
const QByteArray Request = QByteArray::fromHex("83001c420019782d6f6265782f666f6c6465722d6c697374696e6700");

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    static Harness harness;
    if (size > MaxInput)
        size = MaxInput;
    const QByteArray input(reinterpret_cast<const char *>(data), qsizetype(size));

    auto link = openLine(harness.phone, harness.events);
    PlainTransport transport(*link, harness.events);
    // The phone answers once the request has reached it: the transport's first wait for
    // a byte runs this posted call.
    bool answered = false;
    QMetaObject::invokeMethod(
        qApp,
        [&] {
            FUZZ_EXPECT(harness.phone.receive(int(Request.size()), 1000) == Request);
            harness.phone.send(data, size);
            answered = true;
        },
        Qt::QueuedConnection);

    try {
        const QByteArray answer = transport.exchange(Request);
        FUZZ_EXPECT(answer == input);
        FUZZ_EXPECT(answer.size() >= PlainTransport::HeadSize && (quint8(answer.at(0)) & 0x80));
        FUZZ_EXPECT((quint8(answer.at(1)) << 8 | quint8(answer.at(2))) == answer.size());
        FUZZ_EXPECT(link->isPortOpen());
    } catch (const LinkLost &) {
        FUZZ_EXPECT(!link->isPortOpen());
    }
    FUZZ_EXPECT(answered);
    link.reset();
    return 0;
}
