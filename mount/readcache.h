#pragma once

#include "phonestore.h"

#include <QDateTime>
#include <QFile>
#include <QHash>
#include <QString>

#include <cstdint>
#include <memory>
#include <optional>

// What was downloaded through the mount, kept on disk file by file, so that a second
// open of an unchanged file costs no transfer and the start of a file read earlier
// serves reads inside it. An entry stands for one file as its folder's listing showed
// it (path, size and date): a listing with another size or date, or a change through
// the mount, drops it. The bytes held are always the file's first ones. Bounded: past
// the limit the entries used longest ago go first, except those an open file reads.
//
// The folder is a new one below $XDG_CACHE_HOME/tarvel for each mount, removed when the
// cache goes, or one the user names, kept with its index for the next mount (a kept
// folder recorded for another phone starts empty). Either is locked while in use.
class ReadCache
{
public:
    static constexpr qint64 DefaultLimit = 64 * 1024 * 1024;

    struct Settings
    {
        qint64 limit = DefaultLimit; // bytes
        QString folder; // kept across mounts; empty: a folder of this mount alone
    };

    class Entry
    {
    public:
        Entry(StorePath path, const PhoneEntry &listed, QString dataPath);
        ~Entry();
        Entry(const Entry &) = delete;
        Entry &operator=(const Entry &) = delete;

        const StorePath &path() const { return m_path; }
        // The bytes of the file's start held so far.
        qint64 held() const { return m_held; }
        // Held to the file's end.
        bool complete() const { return m_complete; }

    private:
        friend class ReadCache;
        // The data file, opened when first needed; false when it cannot be.
        bool open();

        StorePath m_path;
        qint64 m_size; // as listed: with the date, what the entry stands for
        std::optional<QDateTime> m_modified;
        QFile m_data;
        qint64 m_held = 0;
        bool m_complete = false;
        std::uint64_t m_used = 0; // when last used, by the cache's clock
    };
    using EntryPtr = std::shared_ptr<Entry>;

    explicit ReadCache(Settings settings);
    // Removes the mount's own folder, or writes the index of a kept one.
    ~ReadCache();
    ReadCache(const ReadCache &) = delete;
    ReadCache &operator=(const ReadCache &) = delete;

    // Makes or takes the folder (a kept one with what it holds); false with the reason.
    bool open(QString *problem);
    QString folder() const { return m_folder; }
    // The phone the entries come from: a kept folder recorded for another one starts empty.
    void setPhone(const QString &identity);

    // The entry of the file as its listing shows it: the one held when size and date
    // agree, otherwise a new empty one (the old one dropped).
    EntryPtr entry(const StorePath &path, const PhoneEntry &listed);
    // Puts a piece of the file at offset (at most held() bytes in); false when the disk
    // will not take it.
    bool write(Entry &entry, qint64 offset, QByteArrayView piece);
    // Up to size held bytes from offset; a negative errno when the disk fails.
    qint64 read(Entry &entry, char *data, qint64 size, qint64 offset);
    // The file came whole.
    void complete(Entry &entry);
    // An open file's reference given back: once no other open file reads the entry its
    // data file is closed, and the cache kept within its limit.
    void release(EntryPtr entry);

    // The entry at path and every entry below it go (a change through the mount).
    void drop(const StorePath &path);
    // A fresh listing of folder: entries of files it no longer shows as they were go.
    void listed(const StorePath &folder, const QList<PhoneEntry> &entries);
    // Bytes held in all.
    qint64 heldBytes() const;

private:
    static QString key(const StorePath &path);
    static bool matches(const Entry &entry, const PhoneEntry &listed);
    void remove(const QString &key);
    void trim();
    void readIndex();
    void writeIndex() const;

    Settings m_settings;
    QString m_folder;
    bool m_ownFolder = false; // made for this mount, removed with it
    int m_lock = -1;
    QString m_phone;
    QHash<QString, EntryPtr> m_entries;
    std::uint64_t m_clock = 0;
    std::uint64_t m_nextData = 1;
};
