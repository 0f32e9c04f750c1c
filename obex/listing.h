#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>

#include <optional>

// The kind of a phone list row; also the index of its icon.
enum class EntryKind {
    Folder = 1,
    BmpFile = 2,
    MidFile = 3,
    JarFile = 4,
    JadFile = 5,
    BmxFile = 6,
    BitmapFolder = 7,
    RingingToneFolder = 8,
    JavaFolder = 9,
    AnimationFolder = 10,
    OtherFile = 11,
    SmsFolder = 12,
    InternetFolder = 13,
    Parent = 14,
    Mobile = 15,
};

bool isFolderKind(EntryKind kind);
bool isFileKind(EntryKind kind);

struct ListingRow
{
    QByteArray name; // as the phone sent it (Windows-1251); "../          " for the parent row
    EntryKind kind = EntryKind::OtherFile;
    QString size; // "1536b"; empty for folders and the parent row
    QString date; // DD.MM.YYYY
    QString time; // HH:MM
    // The entry's own size and modification time, when it gives them in a readable form
    // (a time without a trailing Z is the phone's local time).
    std::optional<quint64> byteCount{};
    QDateTime modified{};

    bool operator==(const ListingRow &) const = default;
};

// The current folder as a refresh reads it.
struct FolderListing
{
    QByteArray text; // the listing as received
    QList<ListingRow> rows; // the parent row (below the root only), folders, files
    QString pathLine; // Mobile:\Root\Bitmap\ (every entry closed by a backslash)
};

// The text of the parent row: "../" and ten spaces.
extern const QByteArray ParentRowText;

// The entries of a folder listing: folders, then files (the parent row is the one who
// knows the folder's place to add). Read as XML when the text parses as XML, else by
// keyword search.
QList<ListingRow> parseListing(const QByteArray &text);

// The listing read as XML: `folder` and `file` elements and their attributes, names
// byte for byte in Windows-1251 whatever the declaration says. Empty when the text is
// not well-formed XML.
std::optional<QList<ListingRow>> parseListingXml(const QByteArray &text);

// The listing cut into rows by keyword search. An entry whose size or modification time
// is missing shows the last ones found; its byteCount and modified come from its own
// tag only.
QList<ListingRow> parseListingKeywords(const QByteArray &text);

// The parent row "../          ", which opens the folder above.
ListingRow parentRow();
