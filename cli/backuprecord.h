#pragma once

#include <QMap>
#include <QString>

#include <optional>

// What backups wrote into their folder, so that --delete removes nothing else: the
// file ".tarvel-backup" in the folder, UTF-8 text. The first line is
// "tarvel-backup 1"; then one line per file: its size in bytes, its modification
// time in seconds since 1970 (UTC) and its path below the folder, percent-encoded
// (RFC 3986, "/" kept), separated by single spaces. It is replaced whole (a
// temporary file renamed over it), so an interrupted backup leaves the last record.
class BackupRecord
{
public:
    static constexpr char FileName[] = ".tarvel-backup";

    struct Entry
    {
        qint64 size = 0;
        qint64 modified = 0; // seconds since 1970

        bool operator==(const Entry &) const = default;
    };

    enum class State {
        Missing,
        Kept,
        Foreign, // a file of that name that is no record (or a link): never written
    };

    // Reads the record of folder, if any. Lines that make no sense are left out.
    explicit BackupRecord(const QString &folder);

    State state() const { return m_state; }
    QString path() const;
    const QMap<QString, Entry> &entries() const { return m_entries; }
    bool lists(const QString &relative) const { return m_entries.contains(relative); }
    void set(const QString &relative, const Entry &entry);
    void remove(const QString &relative);
    // Writes the record when it changed; false with *error when it cannot.
    bool save(QString *error);

    // A regular file's size and time; nothing for anything else (a link included).
    static std::optional<Entry> regularFile(const QString &path);

private:
    QString m_folder;
    State m_state = State::Missing;
    QMap<QString, Entry> m_entries;
    bool m_changed = false;
};
