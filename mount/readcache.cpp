#include "readcache.h"

#include <QDataStream>
#include <QDir>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace {

constexpr quint32 IndexMagic = 0x54524331; // "TRC1"
const QString IndexName = QStringLiteral("index");
const QString LockName = QStringLiteral("lock");
const QString OwnPrefix = QStringLiteral("mount-");

// The folder's lock, held while the descriptor stays open; -1 when another holds it.
int lockFolder(const QString &folder)
{
    const int fd = ::open(QFile::encodeName(folder + u'/' + LockName).constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0)
        return -1;
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

bool below(const StorePath &path, const StorePath &prefix)
{
    return path.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), path.begin());
}

} // namespace

ReadCache::Entry::Entry(StorePath path, const PhoneEntry &listed, QString dataPath)
    : m_path(std::move(path)), m_size(listed.size), m_modified(listed.modified), m_data(dataPath)
{}

ReadCache::Entry::~Entry() = default;

bool ReadCache::Entry::open()
{
    return m_data.isOpen() || m_data.open(QIODevice::ReadWrite);
}

ReadCache::ReadCache(Settings settings) : m_settings(std::move(settings)) {}

ReadCache::~ReadCache()
{
    if (m_folder.isEmpty())
        return;
    if (m_ownFolder) {
        m_entries.clear();
        QDir(m_folder).removeRecursively();
    } else {
        writeIndex();
    }
    if (m_lock >= 0)
        ::close(m_lock);
}

bool ReadCache::open(QString *problem)
{
    if (!m_settings.folder.isEmpty()) {
        m_folder = QFileInfo(m_settings.folder).absoluteFilePath();
        if (!QDir().mkpath(m_folder)) {
            *problem = QStringLiteral("cannot make the cache folder %1").arg(m_folder);
            return false;
        }
        m_lock = lockFolder(m_folder);
        if (m_lock < 0) {
            *problem = QStringLiteral("the cache folder %1 is in use by another mount").arg(m_folder);
            m_folder.clear();
            return false;
        }
        readIndex();
        return true;
    }
    const QString base =
        QStandardPaths::writableLocation(QStandardPaths::GenericCacheLocation) + QStringLiteral("/tarvel");
    QDir().mkpath(base);
    // Folders of mounts that ended without removing theirs hold no lock any more.
    for (const QString &name : QDir(base).entryList({OwnPrefix + u'*'}, QDir::Dirs | QDir::NoDotAndDotDot)) {
        const QString stale = base + u'/' + name;
        const int lock = lockFolder(stale);
        if (lock >= 0) {
            QDir(stale).removeRecursively();
            ::close(lock);
        }
    }
    QTemporaryDir made(base + u'/' + OwnPrefix + QStringLiteral("XXXXXX"));
    if (!made.isValid()) {
        *problem = QStringLiteral("cannot make a cache folder in %1").arg(base);
        return false;
    }
    made.setAutoRemove(false);
    m_folder = made.path();
    m_ownFolder = true;
    m_lock = lockFolder(m_folder);
    return true;
}

void ReadCache::setPhone(const QString &identity)
{
    if (!m_phone.isEmpty() && m_phone != identity) {
        for (const QString &k : m_entries.keys())
            remove(k);
    }
    m_phone = identity;
}

QString ReadCache::key(const StorePath &path)
{
    return path.join(u'/');
}

bool ReadCache::matches(const Entry &entry, const PhoneEntry &listed)
{
    // A file without a date could change unseen at the same size.
    return !listed.isFolder && entry.m_size == listed.size && entry.m_modified && entry.m_modified == listed.modified;
}

ReadCache::EntryPtr ReadCache::entry(const StorePath &path, const PhoneEntry &listed)
{
    const QString k = key(path);
    if (const auto found = m_entries.constFind(k); found != m_entries.constEnd()) {
        if (matches(**found, listed)) {
            (*found)->m_used = ++m_clock;
            return *found;
        }
        remove(k);
    }
    auto made = std::make_shared<Entry>(path, listed, m_folder + QStringLiteral("/%1.data").arg(m_nextData++));
    made->m_used = ++m_clock;
    m_entries.insert(k, made);
    return made;
}

bool ReadCache::write(Entry &entry, qint64 offset, QByteArrayView piece)
{
    if (offset > entry.m_held || !entry.open())
        return false;
    if (::pwrite(entry.m_data.handle(), piece.data(), size_t(piece.size()), off_t(offset)) != piece.size())
        return false;
    entry.m_held = std::max(entry.m_held, offset + piece.size());
    entry.m_used = ++m_clock;
    if (heldBytes() > m_settings.limit)
        trim();
    return true;
}

qint64 ReadCache::read(Entry &entry, char *data, qint64 size, qint64 offset)
{
    if (offset >= entry.m_held)
        return 0;
    if (!entry.open())
        return -EIO;
    entry.m_used = ++m_clock;
    const ssize_t got = ::pread(entry.m_data.handle(), data, size_t(std::min(size, entry.m_held - offset)), offset);
    return got < 0 ? -errno : got;
}

void ReadCache::complete(Entry &entry)
{
    entry.m_complete = true;
}

void ReadCache::release(EntryPtr entry)
{
    const auto held = m_entries.constFind(key(entry->path()));
    // Held by the cache and by this reference alone: no open file reads it any more.
    if (held != m_entries.constEnd() && *held == entry && entry.use_count() == 2)
        entry->m_data.close();
    entry.reset();
    trim();
}

void ReadCache::drop(const StorePath &path)
{
    for (const QString &k : m_entries.keys()) {
        if (below(m_entries.value(k)->path(), path))
            remove(k);
    }
}

void ReadCache::listed(const StorePath &folder, const QList<PhoneEntry> &entries)
{
    for (const QString &k : m_entries.keys()) {
        const Entry &held = *m_entries.value(k);
        if (held.path().size() != folder.size() + 1 || !below(held.path(), folder))
            continue;
        const auto row = std::find_if(entries.begin(), entries.end(),
                                      [&](const PhoneEntry &listed) { return listed.name == held.path().last(); });
        if (row == entries.end() || !matches(held, *row))
            remove(k);
    }
}

qint64 ReadCache::heldBytes() const
{
    qint64 total = 0;
    for (const EntryPtr &entry : m_entries)
        total += entry->held();
    return total;
}

void ReadCache::remove(const QString &k)
{
    const EntryPtr entry = m_entries.take(k);
    // An open file still reads it through its open descriptor.
    if (entry)
        QFile::remove(entry->m_data.fileName());
}

void ReadCache::trim()
{
    for (qint64 total = heldBytes(); total > m_settings.limit;) {
        EntryPtr oldest;
        for (const EntryPtr &entry : std::as_const(m_entries)) {
            // Held by the cache alone: no open file reads it.
            if (entry.use_count() == 1 && (!oldest || entry->m_used < oldest->m_used))
                oldest = entry;
        }
        if (!oldest)
            return;
        total -= oldest->held();
        const QString k = key(oldest->path());
        oldest.reset();
        remove(k);
    }
}

void ReadCache::readIndex()
{
    QFile index(m_folder + u'/' + IndexName);
    QHash<QString, bool> kept;
    if (index.open(QIODevice::ReadOnly)) {
        QDataStream in(&index);
        quint32 magic = 0;
        qint32 count = 0;
        in >> magic;
        if (magic == IndexMagic) {
            in >> m_phone >> count;
            for (qint32 i = 0; i < count && in.status() == QDataStream::Ok; ++i) {
                StorePath path;
                PhoneEntry listed;
                bool dated = false;
                QDateTime modified;
                qint64 held = 0;
                bool complete = false;
                QString data;
                in >> path >> listed.size >> dated >> modified >> held >> complete >> data;
                if (in.status() != QDataStream::Ok || data.contains(u'/'))
                    break;
                if (dated)
                    listed.modified = modified;
                const QString dataPath = m_folder + u'/' + data;
                if (QFileInfo(dataPath).size() < held)
                    continue;
                auto entry = std::make_shared<Entry>(path, listed, dataPath);
                entry->m_held = held;
                entry->m_complete = complete;
                m_entries.insert(key(path), entry);
                kept.insert(data, true);
                m_nextData = std::max<std::uint64_t>(m_nextData, data.section(u'.', 0, 0).toULongLong() + 1);
            }
        }
    }
    // Data files no index names are left from a mount that ended unexpectedly.
    for (const QString &name : QDir(m_folder).entryList({QStringLiteral("*.data")}, QDir::Files)) {
        if (!kept.contains(name))
            QFile::remove(m_folder + u'/' + name);
    }
}

void ReadCache::writeIndex() const
{
    QSaveFile index(m_folder + u'/' + IndexName);
    if (!index.open(QIODevice::WriteOnly))
        return;
    QDataStream out(&index);
    out << IndexMagic << m_phone << qint32(m_entries.size());
    for (const EntryPtr &entry : m_entries) {
        out << entry->path() << entry->m_size << bool(entry->m_modified) << entry->m_modified.value_or(QDateTime())
            << entry->held() << entry->complete() << QFileInfo(entry->m_data.fileName()).fileName();
    }
    index.commit();
}
