#include "listing.h"

#include "cp1251.h"

const QByteArray ParentRowText("../          ");

bool isFolderKind(EntryKind kind)
{
    switch (kind) {
    case EntryKind::Folder:
    case EntryKind::BitmapFolder:
    case EntryKind::RingingToneFolder:
    case EntryKind::JavaFolder:
    case EntryKind::AnimationFolder:
    case EntryKind::SmsFolder:
    case EntryKind::InternetFolder:
        return true;
    default:
        return false;
    }
}

bool isFileKind(EntryKind kind)
{
    switch (kind) {
    case EntryKind::BmpFile:
    case EntryKind::MidFile:
    case EntryKind::JarFile:
    case EntryKind::JadFile:
    case EntryKind::BmxFile:
    case EntryKind::OtherFile:
        return true;
    default:
        return false;
    }
}

bool isRootListing(const QByteArray &text)
{
    return text.contains("Bitmap") || text.contains("Ringing tone");
}

namespace {

// Positions are 1-based, 0 meaning "not found", as the keyword search counts them.
class ListingText
{
public:
    explicit ListingText(const QByteArray &text) : text(text) {}

    int find(const char *keyword, int from) const
    {
        if (from < 1)
            from = 1;
        return int(text.indexOf(keyword, from - 1)) + 1;
    }

    // From `at` up to the first double quote found from at + 1; an unclosed value
    // runs to the end of the text.
    QByteArray valueAt(int at) const
    {
        if (at < 1 || at > text.size())
            return {};
        const int quote = find("\"", at + 1);
        const int end = quote > 0 ? quote : int(text.size()) + 1;
        return text.mid(at - 1, end - at);
    }

    QByteArray charactersAt(int at, int count) const
    {
        if (at < 1 || at > text.size())
            return {};
        return text.mid(at - 1, count);
    }

private:
    const QByteArray &text;
};

struct Modified
{
    QString date;
    QString time;
};

// The modified value (YYYYMMDDTHHMMSS) at keyword position m.
void readModified(const ListingText &text, int m, Modified &modified)
{
    const QByteArray value = text.valueAt(m + 10);
    modified.date = Cp1251::decode(value.mid(6, 2) + '.' + value.mid(4, 2) + '.' + value.mid(0, 4));
    modified.time = Cp1251::decode(text.charactersAt(m + 19, 2) + ':' + text.charactersAt(m + 21, 2));
}

// Listings are XML, so a name holding & < > " ' arrives as a character reference.
// The phone knows the file by its plain name: that is what is shown and sent back.
// A reference that names no Windows-1251 character is kept as it stands.
QByteArray unescapedName(const QByteArray &value)
{
    if (!value.contains('&'))
        return value;
    static const QList<std::pair<QByteArray, char>> named = {
        {"amp", '&'}, {"lt", '<'}, {"gt", '>'}, {"quot", '"'}, {"apos", '\''}};
    QByteArray name;
    qsizetype at = 0;
    while (at < value.size()) {
        const qsizetype semicolon = value.indexOf(';', at);
        if (value[at] != '&' || semicolon < 0) {
            name += value[at++];
            continue;
        }
        const QByteArray reference = value.mid(at + 1, semicolon - at - 1);
        std::optional<QByteArray> character;
        for (const auto &[entity, plain] : named)
            if (reference == entity)
                character = QByteArray(1, plain);
        if (!character && reference.startsWith('#')) {
            bool ok = false;
            const uint code = reference.startsWith("#x") || reference.startsWith("#X")
                ? reference.mid(2).toUInt(&ok, 16)
                : reference.mid(1).toUInt(&ok, 10);
            if (ok && code > 0 && code <= 0x10FFFF)
                character = Cp1251::encode(QString::fromUcs4(reinterpret_cast<const char32_t *>(&code), 1));
        }
        if (character && character->size() == 1) {
            name += *character;
            at = semicolon + 1;
        } else {
            name += value[at++];
        }
    }
    return name;
}

EntryKind folderKind(const QByteArray &name)
{
    if (name == "Bitmap")
        return EntryKind::BitmapFolder;
    if (name == "Ringing tone")
        return EntryKind::RingingToneFolder;
    if (name == "java")
        return EntryKind::JavaFolder;
    if (name == "Animation")
        return EntryKind::AnimationFolder;
    if (name == "Sms")
        return EntryKind::SmsFolder;
    if (name == "Internet")
        return EntryKind::InternetFolder;
    return EntryKind::Folder;
}

EntryKind fileKind(const QByteArray &name)
{
    if (name.size() < 3)
        return EntryKind::OtherFile;
    const QByteArray ending = name.right(3);
    if (ending == "bmp")
        return EntryKind::BmpFile;
    if (ending == "mid")
        return EntryKind::MidFile;
    if (ending == "jar")
        return EntryKind::JarFile;
    if (ending == "jad")
        return EntryKind::JadFile;
    if (ending == "bmx")
        return EntryKind::BmxFile;
    return EntryKind::OtherFile;
}

} // namespace

QList<ListingRow> parseListing(const QByteArray &bytes)
{
    const ListingText text(bytes);
    QList<ListingRow> rows;
    if (!isRootListing(bytes))
        rows.append(ListingRow{ParentRowText, EntryKind::Parent, {}, {}, {}});

    Modified modified;
    for (int p = text.find("folder name=", 1); p > 0; p = text.find("folder name=", p + 1)) {
        ListingRow row;
        row.name = unescapedName(text.valueAt(p + 13));
        row.kind = folderKind(row.name);
        if (const int m = text.find("modified=", p + 1); m > 0)
            readModified(text, m, modified);
        row.date = modified.date;
        row.time = modified.time;
        rows.append(row);
    }

    QString size;
    for (int h = text.find("file name=", 1); h > 0; h = text.find("file name=", h + 1)) {
        ListingRow row;
        row.name = unescapedName(text.valueAt(h + 11));
        row.kind = fileKind(row.name);
        if (const int s = text.find("size=", h + 1); s > 0) {
            size = Cp1251::decode(text.valueAt(s + 6));
            if (const int m = text.find("modified=", s + 1); m > 0)
                readModified(text, m, modified);
        }
        row.size = size + u'b';
        row.date = modified.date;
        row.time = modified.time;
        rows.append(row);
    }
    return rows;
}
