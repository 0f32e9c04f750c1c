#include "listing.h"

#include "cp1251.h"

#include <QXmlStreamReader>

#include <algorithm>
#include <span>

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

namespace {

constexpr char FolderKeyword[] = "folder name=";
constexpr char FileKeyword[] = "file name=";

// Positions are 1-based, 0 meaning "not found", as the keyword search counts them.
class ListingText
{
public:
    explicit ListingText(const QByteArray &bytes) : text(bytes) {}

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
        return text.mid(at - 1, valueEnd(at) - at);
    }

    // The position of the quote that ends the value at `at`, or one past the text.
    int valueEnd(int at) const
    {
        const int quote = find("\"", at + 1);
        return quote > 0 ? quote : int(text.size()) + 1;
    }

    QByteArray charactersAt(int at, int count) const
    {
        if (at < 1 || at > text.size())
            return {};
        return text.mid(at - 1, count);
    }

    // The rest of an entry's tag after its name value, up to the tag's closing '>'.
    QByteArray tagRestAfter(int nameValueEnd) const
    {
        const qsizetype from = nameValueEnd; // 0-based index just after the closing quote
        if (from >= text.size())
            return {};
        const qsizetype close = text.indexOf('>', from);
        return text.mid(from, close < 0 ? -1 : close - from);
    }

private:
    const QByteArray &text;
};

struct Modified
{
    QString date;
    QString time;
};

// A modified value (YYYYMMDDTHHMMSS) as the list shows it.
Modified shownModified(const QString &value)
{
    return {value.mid(6, 2) + u'.' + value.mid(4, 2) + u'.' + value.mid(0, 4),
            value.mid(9, 2) + u':' + value.mid(11, 2)};
}

// The modified value at keyword position m. The time is taken at fixed places after the
// keyword, which are characters 10 to 13 of a value that has its opening quote.
void readModified(const ListingText &text, int m, Modified &modified)
{
    const QByteArray value = text.valueAt(m + 10);
    modified.date = Cp1251::decode(value.mid(6, 2) + '.' + value.mid(4, 2) + '.' + value.mid(0, 4));
    modified.time = Cp1251::decode(text.charactersAt(m + 19, 2) + ':' + text.charactersAt(m + 21, 2));
}

std::optional<quint64> sizeNumber(QStringView value)
{
    if (value.isEmpty())
        return std::nullopt;
    for (const QChar c : value) {
        if (c < u'0' || c > u'9')
            return std::nullopt;
    }
    bool ok = false;
    const quint64 number = value.toULongLong(&ok);
    if (!ok)
        return std::nullopt;
    return number;
}

// YYYYMMDDTHHMMSS, in UTC with a trailing Z and in the phone's local time without.
QDateTime modifiedTime(QStringView value)
{
    const bool utc = value.endsWith(u'Z');
    const QStringView stamp = utc ? value.chopped(1) : value;
    if (stamp.size() != 15 || stamp[8] != u'T')
        return {};
    const auto number = [&stamp](qsizetype at, qsizetype count) {
        const QStringView digits = stamp.mid(at, count);
        for (const QChar c : digits) {
            if (c < u'0' || c > u'9')
                return -1;
        }
        return digits.toInt();
    };
    const QDate date(number(0, 4), number(4, 2), number(6, 2));
    const QTime time(number(9, 2), number(11, 2), number(13, 2));
    if (!date.isValid() || !time.isValid())
        return {};
    return QDateTime(date, time, utc ? Qt::UTC : Qt::LocalTime);
}

// The value of `attribute="..."` in the rest of an entry's own tag.
std::optional<QString> tagAttribute(const QByteArray &tagRest, const QByteArray &attribute)
{
    const QByteArray opening = ' ' + attribute + "=\"";
    const qsizetype at = tagRest.indexOf(opening);
    if (at < 0)
        return std::nullopt;
    const qsizetype from = at + opening.size();
    const qsizetype quote = tagRest.indexOf('"', from);
    if (quote < 0)
        return std::nullopt;
    return Cp1251::decode(tagRest.mid(from, quote - from));
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

struct NamedKind
{
    const char *name;
    EntryKind kind;
};

constexpr NamedKind FolderKinds[] = {
    {"Bitmap", EntryKind::BitmapFolder}, {"Ringing tone", EntryKind::RingingToneFolder},
    {"java", EntryKind::JavaFolder},     {"Animation", EntryKind::AnimationFolder},
    {"Sms", EntryKind::SmsFolder},       {"Internet", EntryKind::InternetFolder},
};

// By the name's last three characters.
constexpr NamedKind FileKinds[] = {
    {"bmp", EntryKind::BmpFile}, {"mid", EntryKind::MidFile}, {"jar", EntryKind::JarFile},
    {"jad", EntryKind::JadFile}, {"bmx", EntryKind::BmxFile},
};

EntryKind kindNamed(std::span<const NamedKind> kinds, const QByteArray &name, EntryKind otherwise)
{
    const auto found =
        std::find_if(kinds.begin(), kinds.end(), [&name](const NamedKind &known) { return name == known.name; });
    return found == kinds.end() ? otherwise : found->kind;
}

EntryKind folderKind(const QByteArray &name)
{
    return kindNamed(FolderKinds, name, EntryKind::Folder);
}

EntryKind fileKind(const QByteArray &name)
{
    if (name.size() < 3)
        return EntryKind::OtherFile;
    return kindNamed(FileKinds, name.right(3), EntryKind::OtherFile);
}

// An XML reader turns tab, line feed and carriage return inside attribute values into
// spaces; as character references they stay what they are. Only the values of element
// tags are touched: whitespace between tags and attributes is XML's own.
QByteArray referencesForValueWhitespace(const QByteArray &text)
{
    QByteArray out;
    out.reserve(text.size());
    bool inTag = false;
    char quote = 0;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (quote) {
            if (c == quote) {
                quote = 0;
            } else if (c == '\t' || c == '\n' || c == '\r') {
                out += "&#" + QByteArray::number(int(c)) + ';';
                continue;
            }
        } else if (inTag) {
            if (c == '"' || c == '\'')
                quote = c;
            else if (c == '>')
                inTag = false;
        } else if (c == '<' && i + 1 < text.size()) {
            const char next = text[i + 1];
            inTag = (next >= 'A' && next <= 'Z') || (next >= 'a' && next <= 'z') || next == '_' || next == ':';
        }
        out += c;
    }
    return out;
}

// A value the XML reader resolved, back in the phone's bytes. Every byte of the text was
// decoded as Windows-1251 (0x98, which has no character, as U+FFFD), so each character
// has its byte again; a reference to a character outside the code page stays a reference.
QByteArray phoneBytes(QStringView value)
{
    if (auto bytes = Cp1251::encode(value.toString()))
        return *bytes;
    QByteArray bytes;
    for (const uint code : value.toUcs4()) {
        const char32_t c = code;
        const QString character = QString::fromUcs4(&c, 1);
        if (c == 0xFFFD)
            bytes += char(0x98);
        else if (const auto byte = Cp1251::encode(character))
            bytes += *byte;
        else
            bytes += "&#x" + QByteArray::number(uint(c), 16).toUpper() + ';';
    }
    return bytes;
}

} // namespace

ListingRow parentRow()
{
    ListingRow row;
    row.name = ParentRowText;
    row.kind = EntryKind::Parent;
    return row;
}

QList<ListingRow> parseListing(const QByteArray &text)
{
    if (auto rows = parseListingXml(text))
        return *rows;
    return parseListingKeywords(text);
}

std::optional<QList<ListingRow>> parseListingXml(const QByteArray &text)
{
    // Given as text, the reader ignores the encoding the declaration names.
    QXmlStreamReader reader(Cp1251::decode(referencesForValueWhitespace(text)));
    QList<ListingRow> folders;
    QList<ListingRow> files;
    while (!reader.atEnd()) {
        if (reader.readNext() != QXmlStreamReader::StartElement)
            continue;
        const QStringView element = reader.name();
        const bool folder = element == u"folder";
        if (!folder && element != u"file")
            continue;
        const QXmlStreamAttributes attributes = reader.attributes();
        const auto attribute = [&attributes](const char *name) -> std::optional<QStringView> {
            const QLatin1StringView key(name);
            if (!attributes.hasAttribute(key))
                return std::nullopt;
            return attributes.value(key);
        };
        const auto name = attribute("name");
        if (!name)
            continue;
        ListingRow row;
        row.name = phoneBytes(*name);
        row.kind = folder ? folderKind(row.name) : fileKind(row.name);
        if (const auto size = attribute("size"); size && !folder) {
            row.size = size->toString() + u'b';
            row.byteCount = sizeNumber(*size);
        }
        if (const auto modified = attribute("modified")) {
            const Modified shown = shownModified(modified->toString());
            row.date = shown.date;
            row.time = shown.time;
            row.modified = modifiedTime(*modified);
        }
        (folder ? folders : files).append(row);
    }
    if (reader.hasError())
        return std::nullopt;
    return folders + files;
}

QList<ListingRow> parseListingKeywords(const QByteArray &bytes)
{
    const ListingText text(bytes);
    QList<ListingRow> rows;

    Modified modified;
    for (int p = text.find(FolderKeyword, 1); p > 0; p = text.find(FolderKeyword, p + 1)) {
        ListingRow row;
        row.name = unescapedName(text.valueAt(p + 13));
        row.kind = folderKind(row.name);
        if (const int m = text.find("modified=", p + 1); m > 0)
            readModified(text, m, modified);
        row.date = modified.date;
        row.time = modified.time;
        if (const auto own = tagAttribute(text.tagRestAfter(text.valueEnd(p + 13)), "modified"))
            row.modified = modifiedTime(*own);
        rows.append(row);
    }

    QString size;
    for (int h = text.find(FileKeyword, 1); h > 0; h = text.find(FileKeyword, h + 1)) {
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
        const QByteArray tagRest = text.tagRestAfter(text.valueEnd(h + 11));
        if (const auto own = tagAttribute(tagRest, "size"))
            row.byteCount = sizeNumber(*own);
        if (const auto own = tagAttribute(tagRest, "modified"))
            row.modified = modifiedTime(*own);
        rows.append(row);
    }
    return rows;
}
