#pragma once

// A phone held in memory behind PhoneStore, for the mount's logic without FUSE or a
// line: files and folders, names compared without regard to case as a phone compares
// them, downloads in pieces of PieceSize bytes, a file written over another through
// the hidden names ".~new~" and ".~old~" as the serial store writes it, and counts of
// what was asked. Each connection the factory makes is a new store on the same phone.

#include "phonestore.h"

#include <QFile>
#include <QMap>

#include <memory>

struct MemoryPhone
{
    static constexpr int PieceSize = 100;

    struct File
    {
        QByteArray content;
        QDateTime modified;
        bool operator==(const File &) const = default;
    };
    // By path joined with "/"; a folder is an entry without file.
    QMap<QString, std::optional<File>> entries;
    qint64 maxFileSize = 1000000;
    quint64 freeMemory = 500000;

    // What was asked.
    int connects = 0;
    int reads = 0; // downloads started
    int pieces = 0; // download answers
    int stops = 0;
    QStringList uploads; // paths, in order
    int callsDuringRead = 0; // anything but readMore and stopRead while a download is open

    // Faults: the answer to the next upload (a part of the file arrives first on LinkLost).
    std::optional<StoreFailure> uploadFailure;
    // The link goes after this many moves of the next write over another file (-1: never).
    int movesBeforeLoss = -1;
    // The download of this path fails after this many answers.
    QString failingRead;
    int failAfterPieces = 0;

    int clock = 0;
    QDateTime nextDate() { return QDateTime::fromSecsSinceEpoch(1050000000 + 60 * ++clock); }

    void putFile(const QString &path, const QByteArray &content) { entries[path] = File{content, nextDate()}; }
    void putFolder(const QString &path) { entries[path] = std::nullopt; }
    QByteArray content(const QString &path) const
    {
        const auto found = entries.value(path);
        return found ? found->content : QByteArray("<none>");
    }
    PhoneStoreFactory factory()
    {
        return [this]() -> StoreResult<std::unique_ptr<PhoneStore>> {
            ++connects;
            return std::unique_ptr<PhoneStore>(std::make_unique<Store>(*this));
        };
    }

    static QString key(const StorePath &path) { return path.join(u'/'); }
    static QString parentOf(const QString &key) { return key.section(u'/', 0, -2); }

    // The path of ".~new~a.txt" beside file, or of ".~new2~a.txt" when that is taken, ...
    QString freeHidden(StorePath file, const QString &tag) const
    {
        const QString name = file.last();
        for (int n = 1; n == 1 || !held(file).isEmpty(); ++n)
            file.last() = QStringLiteral(".~%1%2~%3").arg(tag, n > 1 ? QString::number(n) : QString(), name);
        return key(file);
    }

    // The entry the phone finds for path, in any letter case.
    QString held(const StorePath &path) const
    {
        const QString wanted = key(path);
        for (auto it = entries.begin(); it != entries.end(); ++it) {
            if (it.key().compare(wanted, Qt::CaseInsensitive) == 0)
                return it.key();
        }
        return {};
    }

    class Store : public PhoneStore
    {
    public:
        explicit Store(MemoryPhone &p) : phone(p) {}

        // The phone's own name checks are the serial store's.
        bool canName(const QString &name, NameFor) const override { return !name.isEmpty(); }
        bool sameName(const QString &a, const QString &b) const override
        {
            return a.compare(b, Qt::CaseInsensitive) == 0;
        }
        bool canMove(const StorePath &, const StorePath &) const override { return true; }
        qint64 maxFileSize() const override { return phone.maxFileSize; }
        QString identity() const override { return QStringLiteral("memory"); }

        StoreResult<QList<PhoneEntry>> list(const StorePath &folder) override
        {
            noted();
            const QString at = key(folder);
            if (!folder.isEmpty() && (!phone.entries.contains(at) || phone.entries.value(at)))
                return StoreError{StoreFailure::Refused, {}};
            QList<PhoneEntry> rows;
            for (auto it = phone.entries.begin(); it != phone.entries.end(); ++it) {
                if (parentOf(it.key()) != at || it.key() == at)
                    continue;
                const std::optional<File> &file = it.value();
                rows.append(PhoneEntry{it.key().section(u'/', -1), !file, file ? file->content.size() : 0,
                                       file ? std::optional(file->modified) : std::nullopt});
            }
            return rows;
        }
        StoreResult<ReadState> startRead(const StorePath &file, const PartReceiver &receive) override
        {
            noted();
            const QString at = phone.held(file);
            if (at.isEmpty() || !phone.entries.value(at))
                return StoreError{StoreFailure::Refused, {}};
            ++phone.reads;
            reading = phone.entries.value(at)->content;
            readPath = at;
            sent = 0;
            receiver = receive;
            return step();
        }
        StoreResult<ReadState> readMore() override { return step(); }
        StoreResult<ReadState> stopRead() override
        {
            ++phone.stops;
            receiver = {};
            return ReadState::Stopped;
        }
        StoreResult<> write(const StorePath &file, const QString &localPath) override
        {
            noted();
            QFile source(localPath);
            if (!source.open(QIODevice::ReadOnly))
                return StoreError{StoreFailure::Refused, {}};
            phone.uploads << key(file);
            const QByteArray content = source.readAll();
            const QString old = phone.held(file);
            const QString put = old.isEmpty() ? key(file) : phone.freeHidden(file, "new");
            if (const auto failure = std::exchange(phone.uploadFailure, std::nullopt)) {
                // A broken upload may leave its start on the phone.
                if (*failure == StoreFailure::LinkLost)
                    phone.putFile(put, content.left(content.size() / 2));
                return StoreError{*failure, {}};
            }
            phone.putFile(put, content);
            if (old.isEmpty())
                return {};
            // Moved in place: the old file aside, the new one under the name, the aside deleted.
            const QString aside = phone.freeHidden(file, "old");
            const std::pair<QString, QString> moves[] = {{old, aside}, {put, key(file)}, {aside, {}}};
            for (const auto &[from, to] : moves) {
                if (phone.movesBeforeLoss-- == 0)
                    return StoreError{StoreFailure::LinkLost, {}};
                const auto moved = phone.entries.take(from);
                if (!to.isEmpty())
                    phone.entries.insert(to, moved);
            }
            return {};
        }
        StoreResult<> makeFolder(const StorePath &folder) override
        {
            noted();
            if (!phone.held(folder).isEmpty())
                return StoreError{StoreFailure::Refused, {}};
            phone.putFolder(key(folder));
            return {};
        }
        StoreResult<> remove(const StorePath &path) override
        {
            noted();
            const QString at = phone.held(path);
            if (at.isEmpty())
                return StoreError{StoreFailure::Refused, {}};
            phone.entries.remove(at);
            return {};
        }
        StoreResult<> move(const StorePath &from, const StorePath &to) override
        {
            noted();
            const QString source = phone.held(from);
            if (source.isEmpty())
                return StoreError{StoreFailure::Refused, {}};
            if (const QString old = phone.held(to); !old.isEmpty() && old != source)
                phone.entries.remove(old);
            QMap<QString, std::optional<File>> moved;
            for (auto it = phone.entries.begin(); it != phone.entries.end(); ++it) {
                const bool inside = it.key() == source || it.key().startsWith(source + u'/');
                moved.insert(inside ? key(to) + it.key().mid(source.size()) : it.key(), it.value());
            }
            phone.entries = moved;
            return {};
        }
        StoreResult<MemoryFigures> memory() override
        {
            noted();
            return MemoryFigures{1000000, phone.freeMemory};
        }

    private:
        void noted()
        {
            if (receiver)
                ++phone.callsDuringRead;
        }
        StoreResult<ReadState> step()
        {
            ++phone.pieces;
            if (readPath == phone.failingRead && phone.pieces > phone.failAfterPieces) {
                receiver = {};
                return StoreError{StoreFailure::Refused, QStringLiteral("the file did not come whole")};
            }
            const QByteArray piece = reading.mid(sent, PieceSize);
            sent += piece.size();
            if (!piece.isEmpty() && !receiver(piece)) {
                receiver = {};
                return StoreError{StoreFailure::Refused, {}};
            }
            if (sent < reading.size())
                return ReadState::More;
            receiver = {};
            return ReadState::Whole;
        }

        MemoryPhone &phone;
        QByteArray reading;
        QString readPath;
        qsizetype sent = 0;
        PartReceiver receiver; // set while a download is open
    };
};
