// The folder listing as the phone sends it, cut into rows by keyword search; every
// row name then goes the ways a phone name goes on the PC: shown (Windows-1251),
// typed back (encoded again) and used as a local file name.

#include "fuzzsupport.h"

#include "cp1251.h"
#include "listing.h"
#include "workingfiles.h"

#include <QDir>
#include <QFileInfo>

#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QByteArray text(reinterpret_cast<const char *>(data), qsizetype(size));
    const QList<ListingRow> rows = parseListing(text);

    const bool root = isRootListing(text);
    FUZZ_EXPECT(root == (text.contains("Bitmap") || text.contains("Ringing tone")));
    if (!root)
        FUZZ_EXPECT(!rows.isEmpty() && rows.first().kind == EntryKind::Parent);
    // One row per keyword at most: each needs its own keyword start.
    FUZZ_EXPECT(std::size_t(rows.size()) <= size / 10 + 1);

    for (const ListingRow &row : rows) {
        if (row.kind == EntryKind::Parent) {
            FUZZ_EXPECT(row.name == ParentRowText);
            continue;
        }
        FUZZ_EXPECT(isFolderKind(row.kind) || isFileKind(row.kind));
        FUZZ_EXPECT(row.name.size() <= text.size());
        if (!text.contains('&')) {
            // Without character references a name is a piece of the text, and a value
            // runs to the next quote: only its first character may be one.
            FUZZ_EXPECT(text.contains(row.name));
            FUZZ_EXPECT(!row.name.mid(1).contains('"'));
        }
        FUZZ_EXPECT(row.date.isEmpty() || row.date.size() <= 10);
        FUZZ_EXPECT(row.time.isEmpty() || row.time.size() <= 5);

        const QString shown = Cp1251::decode(row.name);
        FUZZ_EXPECT(shown.size() == row.name.size());
        if (!row.name.contains('\x98'))
            FUZZ_EXPECT(Cp1251::encode(shown) == row.name);

        if (const auto local = safeLocalName(row.name)) {
            // A plain file name: it names an entry of the chosen folder and nothing else.
            FUZZ_EXPECT(!local->isEmpty() && !local->contains(u'/') && !local->contains(QChar(0)));
            FUZZ_EXPECT(*local != u"." && *local != u"..");
            const QString path = localFilePath(QStringLiteral("/pc/folder"), *local);
            FUZZ_EXPECT(QDir::cleanPath(path) == path);
            FUZZ_EXPECT(QFileInfo(path).absolutePath() == u"/pc/folder");
        }
    }
    return 0;
}
