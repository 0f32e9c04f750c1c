#include "pcfiletexts.h"

#include <QFile>

#include <cerrno>
#include <cstring>

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
