#include "backuprecord.h"

#include "localfilewriter.h"
#include "localnames.h"
#include "pcfiletexts.h"

#include <QFile>
#include <QUrl>

#include <sys/stat.h>

namespace {

const QByteArray Header = QByteArrayLiteral("tarvel-backup 1");

// A path below the folder: nothing a changed record could use to reach outside it.
bool isInside(const QString &relative)
{
    if (relative.isEmpty())
        return false;
    const QStringList parts = relative.split(u'/');
    for (const QString &part : parts) {
        if (part.isEmpty() || part == u"." || part == u"..")
            return false;
    }
    return true;
}

} // namespace

BackupRecord::BackupRecord(const QString &folder) : m_folder(folder)
{
    struct stat info
    {};
    if (::lstat(QFile::encodeName(path()).constData(), &info) != 0)
        return;
    m_state = State::Foreign;
    QFile file(path());
    if (!S_ISREG(info.st_mode) || !file.open(QIODevice::ReadOnly) || file.readLine().trimmed() != Header)
        return;
    m_state = State::Kept;
    while (!file.atEnd()) {
        const QList<QByteArray> fields = file.readLine().trimmed().split(' ');
        if (fields.size() != 3)
            continue;
        bool sizeRead = false;
        bool timeRead = false;
        const Entry entry{fields[0].toLongLong(&sizeRead), fields[1].toLongLong(&timeRead)};
        const QString relative = QUrl::fromPercentEncoding(fields[2]);
        if (sizeRead && timeRead && entry.size >= 0 && isInside(relative))
            m_entries.insert(relative, entry);
    }
}

QString BackupRecord::path() const
{
    return localFilePath(m_folder, QLatin1StringView(FileName));
}

void BackupRecord::set(const QString &relative, const Entry &entry)
{
    const auto found = m_entries.constFind(relative);
    if (found != m_entries.constEnd() && *found == entry)
        return;
    m_entries.insert(relative, entry);
    m_changed = true;
}

void BackupRecord::remove(const QString &relative)
{
    if (m_entries.remove(relative))
        m_changed = true;
}

bool BackupRecord::save(QString *error)
{
    if (!m_changed || m_state == State::Foreign)
        return true;
    QByteArray text = Header + '\n';
    for (auto entry = m_entries.cbegin(); entry != m_entries.cend(); ++entry) {
        text += QByteArray::number(entry->size) + ' ' + QByteArray::number(entry->modified) + ' '
            + QUrl::toPercentEncoding(entry.key(), "/") + '\n';
    }
    if (const std::optional<LocalFileError> failure = writeLocalFile(path(), text)) {
        *error = QStringLiteral("cannot write the backup record %1: %2").arg(path(), writeReason(*failure));
        return false;
    }
    m_state = State::Kept;
    m_changed = false;
    return true;
}

std::optional<BackupRecord::Entry> BackupRecord::regularFile(const QString &path)
{
    struct stat info
    {};
    if (::lstat(QFile::encodeName(path).constData(), &info) != 0 || !S_ISREG(info.st_mode))
        return std::nullopt;
    return Entry{qint64(info.st_size), qint64(info.st_mtim.tv_sec)};
}
