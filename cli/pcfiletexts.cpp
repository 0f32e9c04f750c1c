#include "pcfiletexts.h"

#include <QFile>

#include <cerrno>
#include <cstring>

#include <dirent.h>
#include <sys/stat.h>

QString systemError(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

QString writeReason(const LocalFileError &error)
{
    return error.kind == LocalFileError::Kind::ReadBackDiffers
        ? QStringLiteral("the file read back differs from what was written")
        : systemError(error.errorNumber);
}

QString writeProblem(const QString &path, const LocalFileError &error)
{
    return QStringLiteral("cannot write %1: %2").arg(path, writeReason(error));
}

std::optional<QString> uploadSourceProblem(const QString &path)
{
    struct stat info
    {};
    if (::stat(QFile::encodeName(path).constData(), &info) != 0) {
        if (errno == ENOENT || errno == ENOTDIR)
            return QStringLiteral("cannot find the file %1").arg(path);
        return QStringLiteral("cannot read %1: %2").arg(path, systemError(errno));
    }
    if (S_ISREG(info.st_mode))
        return std::nullopt;
    if (S_ISDIR(info.st_mode))
        return QStringLiteral("%1 is a folder; put -r copies a folder").arg(path);
    if (S_ISFIFO(info.st_mode))
        return QStringLiteral("%1 is a FIFO (named pipe), not a file").arg(path);
    if (S_ISCHR(info.st_mode) || S_ISBLK(info.st_mode))
        return QStringLiteral("%1 is a device, not a file").arg(path);
    if (S_ISSOCK(info.st_mode))
        return QStringLiteral("%1 is a socket, not a file").arg(path);
    return QStringLiteral("%1 is not a file").arg(path);
}

QList<QByteArray> namesNotUtf8(const QString &folder)
{
    QList<QByteArray> names;
    DIR *entries = ::opendir(QFile::encodeName(folder).constData());
    if (!entries)
        return names;
    while (const dirent *entry = ::readdir(entries)) {
        const QByteArrayView name(entry->d_name);
        if (!name.isValidUtf8())
            names.append(name.toByteArray());
    }
    ::closedir(entries);
    return names;
}

QString notUtf8Problem(const QByteArray &name)
{
    QString shown;
    for (qsizetype i = 0; i < name.size();) {
        // The shortest piece from here that is valid UTF-8 is one character.
        qsizetype length = 1;
        while (length <= 4 && !QByteArrayView(name).sliced(i, std::min(length, name.size() - i)).isValidUtf8())
            ++length;
        if (length > 4 || i + length > name.size()) {
            shown += QStringLiteral("\\x") + QString::number(quint8(name[i]), 16).toUpper().rightJustified(2, u'0');
            ++i;
        } else {
            shown += QString::fromUtf8(name.mid(i, length));
            i += length;
        }
    }
    return QStringLiteral(
               "%1: not valid UTF-8 (names on the PC must be UTF-8 to reach the phone; convmv renames files)")
        .arg(shown);
}
