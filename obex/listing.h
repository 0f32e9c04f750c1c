#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

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

    bool operator==(const ListingRow &) const = default;
};

// The text of the parent row: "../" and ten spaces.
extern const QByteArray ParentRowText;

// Cuts a folder listing into rows by keyword search: the parent row unless the
// text names "Bitmap" or "Ringing tone" (the root), then folders, then files.
// An entry whose size or modification time is missing shows the last ones found.
QList<ListingRow> parseListing(const QByteArray &text);

bool isRootListing(const QByteArray &text);
