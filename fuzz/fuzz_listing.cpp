// The folder listing as the phone sends it, read as XML or, when it is not XML, cut
// into rows by keyword search; every row name then goes the ways a phone name goes on
// the PC: shown (Windows-1251), typed back (encoded again) and used as a local file
// name. The input also serves as a file name in a listing written by the emulated
// phone: read back as XML it must come out byte for byte.

#include "fuzzsupport.h"

#include "cp1251.h"
#include "folderlisting.h"
#include "listing.h"
#include "localnames.h"

#include <QDir>
#include <QFileInfo>

#include <algorithm>
#include <cstdint>

namespace {

void checkRow(const ListingRow &row, const QByteArray &text)
{
    FUZZ_EXPECT(isFolderKind(row.kind) || isFileKind(row.kind));
    FUZZ_EXPECT(row.name.size() <= text.size());
    FUZZ_EXPECT(row.date.isEmpty() || row.date.size() <= 10);
    FUZZ_EXPECT(row.time.isEmpty() || row.time.size() <= 5);
    if (isFolderKind(row.kind))
        FUZZ_EXPECT(!row.byteCount);

    const QString shown = Cp1251::decode(row.name);
    FUZZ_EXPECT(shown.size() == row.name.size());
    if (!row.name.contains('\x98'))
        FUZZ_EXPECT(Cp1251::encode(shown) == row.name);

    if (const auto local = safeLocalName(shown)) {
        // A plain file name: it names an entry of the chosen folder and nothing else.
        FUZZ_EXPECT(!local->isEmpty() && !local->contains(u'/') && !local->contains(QChar(0)));
        FUZZ_EXPECT(*local != u"." && *local != u"..");
        const QString path = localFilePath(QStringLiteral("/pc/folder"), *local);
        FUZZ_EXPECT(QDir::cleanPath(path) == path);
        FUZZ_EXPECT(QFileInfo(path).absolutePath() == u"/pc/folder");
    }
}

void checkKeywordReading(const QList<ListingRow> &rows, const QByteArray &text)
{
    // One row per keyword at most: each needs its own keyword start.
    FUZZ_EXPECT(std::size_t(rows.size()) <= std::size_t(text.size()) / 10 + 1);
    for (const ListingRow &row : rows) {
        if (text.contains('&'))
            continue;
        // Without character references a name is a piece of the text, and a value
        // runs to the next quote: only its first character may be one.
        FUZZ_EXPECT(text.contains(row.name));
        FUZZ_EXPECT(!row.name.mid(1).contains('"'));
    }
}

void checkXmlReading(const QList<ListingRow> &rows, const QByteArray &text)
{
    // Every entry is an element of its own.
    FUZZ_EXPECT(rows.size() <= text.count('<'));
}

bool validInXml(const QByteArray &name)
{
    return std::none_of(name.begin(), name.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return byte < 0x20 && byte != '\t' && byte != '\n' && byte != '\r';
    });
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QByteArray text(reinterpret_cast<const char *>(data), qsizetype(size));
    const QList<ListingRow> rows = parseListing(text);
    const auto xml = parseListingXml(text);
    if (xml) {
        FUZZ_EXPECT(rows == *xml);
        checkXmlReading(rows, text);
    } else {
        FUZZ_EXPECT(rows == parseListingKeywords(text));
        checkKeywordReading(rows, text);
    }
    // The parent row is not the text's: the folder's place decides it.
    for (const ListingRow &row : rows) {
        FUZZ_EXPECT(row.kind != EntryKind::Parent);
        checkRow(row, text);
    }

    if (validInXml(text)) {
        phonesim::FlashEntry file;
        file.wireName = text.toStdString();
        file.size = size;
        const QByteArray listing = QByteArray::fromStdString(phonesim::folderListingXml({file}, std::string()));
        const auto named = parseListingXml(listing);
        FUZZ_EXPECT(named && named->size() == 1);
        FUZZ_EXPECT(named->at(0).name == text);
        FUZZ_EXPECT(named->at(0).byteCount == quint64(size));
    }
    return 0;
}
