// Whole phone operations against anything a phone might answer. The first input
// byte picks the operation (download, listing with memory figures, upload, enter a
// folder, make a folder, delete); the rest is everything the phone sends, queued at
// once on a pseudo-terminal. Nothing may crash or hang; no operation hands back
// more bytes than the phone sent; PathStack follows only the steps the phone took.

#include "fuzzapplication.h"
#include "fuzzsupport.h"

#include "bfblink.h"
#include "bfbtransport.h"
#include "phonefiles.h"

#include <QFile>
#include <QTemporaryDir>

namespace {

struct Harness
{
    PhoneEnd phone;
    PhoneEvents events; // shows nothing, answers the size question yes
    UnusedChecksum crc;
    QTemporaryDir dir;
    QString source;

    Harness()
    {
        // Three records: a first, a middle and a last packet.
        source = dir.filePath(QStringLiteral("a.txt"));
        QFile file(source);
        if (!file.open(QIODevice::WriteOnly) || file.write(QByteArray(1200, 'a')) != 1200)
            std::abort();
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    static Harness harness;
    if (size < 1)
        return 0;
    if (size > MaxInput)
        size = MaxInput;

    auto link = openLine(harness.phone, harness.events);
    BfbLink bfb(*link, harness.crc, harness.events);
    BfbTransport transport(bfb, harness.events);
    PhoneFiles files(*link, transport, harness.events, harness.events);
    files.setWorkingDirectory(harness.dir.path());
    harness.phone.send(data + 1, size - 1);

    const qsizetype depth = files.pathStack().size();
    try {
        switch (data[0] % 6) {
        case 0:
            if (const auto content = files.GetFile("pic.bmp"))
                FUZZ_EXPECT(std::size_t(content->size()) < size);
            break;
        case 1: {
            const FolderListing listing = files.RefreshListing();
            FUZZ_EXPECT(std::size_t(listing.text.size()) < size);
            FUZZ_EXPECT(!listing.pathLine.isEmpty());
            break;
        }
        case 2:
            files.PutFile(harness.source);
            break;
        case 3: {
            const bool entered = files.ObexSetPath("Bitmap");
            FUZZ_EXPECT(files.pathStack().size() == depth + (entered ? 1 : 0));
            break;
        }
        case 4:
            // Made and left again, or made and stuck inside it when the step up was refused.
            files.makeFolderAndReturn("New");
            FUZZ_EXPECT(files.pathStack().size() == depth || files.pathStack().size() == depth + 1);
            break;
        default:
            files.DeleteObject("pic.bmp");
            break;
        }
        FUZZ_EXPECT(link->isPortOpen());
    } catch (const LinkLost &) {
        FUZZ_EXPECT(!link->isPortOpen());
    }
    return 0;
}
