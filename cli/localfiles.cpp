#include "localfiles.h"

#include "stopsignals.h"

#include <QFile>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QByteArray native(const QString &path)
{
    return QFile::encodeName(path);
}

mode_t creationMode()
{
    static const mode_t mask = [] {
        const mode_t value = ::umask(0);
        ::umask(value);
        return value;
    }();
    return 0666 & ~mask;
}

bool writeAll(int fd, const QByteArray &content)
{
    const char *data = content.constData();
    qsizetype left = content.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, data, size_t(left));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        left -= n;
    }
    return true;
}

timespec timeFor(const QDateTime &moment)
{
    timespec value{};
    if (moment.isValid()) {
        value.tv_sec = time_t(moment.toSecsSinceEpoch());
    } else {
        value.tv_nsec = UTIME_OMIT;
    }
    return value;
}

QString cannotWrite(const QString &path, int error)
{
    return QStringLiteral("cannot write %1: %2").arg(path, systemError(error));
}

} // namespace

QString systemError(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

std::unique_ptr<Destination> Destination::open(const QString &path, QString *error)
{
    if (path == u"-")
        return std::unique_ptr<Destination>(new Destination(Kind::StandardOutput, path));
    struct stat info
    {};
    if (::stat(native(path).constData(), &info) == 0) {
        if (S_ISDIR(info.st_mode)) {
            *error = cannotWrite(path, EISDIR);
            return nullptr;
        }
        if (!S_ISREG(info.st_mode))
            return std::unique_ptr<Destination>(new Destination(Kind::Stream, path));
    } else if (errno != ENOENT) {
        *error = cannotWrite(path, errno);
        return nullptr;
    }

    std::unique_ptr<Destination> destination(new Destination(Kind::File, path));
    destination->m_target = path;
    if (S_ISREG(info.st_mode)) {
        // A replaced file keeps its permissions, and a link to it stays a link.
        destination->m_mode = int(info.st_mode & 07777);
        if (char *real = ::realpath(native(path).constData(), nullptr)) {
            destination->m_target = QFile::decodeName(real);
            std::free(real);
        }
    } else {
        destination->m_mode = int(creationMode());
    }
    // Beside the file, hidden; split by hand (Qt takes a leading ':' for a resource).
    const QString &target = destination->m_target;
    const qsizetype slash = target.lastIndexOf(u'/');
    const QString folder = slash < 0 ? QStringLiteral(".") : target.left(slash);
    QByteArray temporary =
        native(folder + QStringLiteral("/.") + target.mid(slash + 1) + QStringLiteral(".tarvel-XXXXXX"));
    destination->m_fd = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (destination->m_fd < 0) {
        *error = cannotWrite(path, errno);
        return nullptr;
    }
    destination->m_temporaryPath = QFile::decodeName(temporary);
    destination->m_removedOnSignal = StopSignals::armTemporaryFile(temporary);
    return destination;
}

Destination::~Destination()
{
    if (m_fd >= 0)
        ::close(m_fd);
    if (m_removedOnSignal)
        StopSignals::disarmTemporaryFile();
    if (!m_temporaryPath.isEmpty())
        ::unlink(native(m_temporaryPath).constData());
}

bool Destination::finish(const QByteArray &content, const QDateTime &modified, QString *error)
{
    switch (m_kind) {
    case Kind::File:
        return finishFile(content, modified, error);
    case Kind::StandardOutput:
        std::cout.flush();
        std::fflush(stdout);
        if (!writeAll(STDOUT_FILENO, content)) {
            *error = QStringLiteral("cannot write to standard output: %1").arg(systemError(errno));
            return false;
        }
        return true;
    case Kind::Stream:
        break;
    }
    // A FIFO waits here for its reader.
    const int fd = ::open(native(m_path).constData(), O_WRONLY | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        *error = cannotWrite(m_path, errno);
        return false;
    }
    const bool written = writeAll(fd, content);
    const int writeError = errno;
    if (!written || ::close(fd) != 0) {
        *error = cannotWrite(m_path, written ? errno : writeError);
        return false;
    }
    return true;
}

bool Destination::finishFile(const QByteArray &content, const QDateTime &modified, QString *error)
{
    const timespec times[2] = {timespec{0, UTIME_NOW}, timeFor(modified)};
    bool done = writeAll(m_fd, content) && ::fchmod(m_fd, mode_t(m_mode)) == 0 && ::futimens(m_fd, times) == 0;
    int failure = errno;
    // close() reports what a file system noticed only at the end (quota, NFS).
    if (::close(m_fd) != 0 && done) {
        done = false;
        failure = errno;
    }
    m_fd = -1;
    if (done && ::rename(native(m_temporaryPath).constData(), native(m_target).constData()) != 0) {
        done = false;
        failure = errno;
    }
    if (!done) {
        *error = cannotWrite(m_path, failure);
        return false;
    }
    if (m_removedOnSignal)
        StopSignals::disarmTemporaryFile();
    m_removedOnSignal = false;
    m_temporaryPath.clear();
    return true;
}

bool writeLocalFile(const QString &path, const QByteArray &content, const QDateTime &modified, QString *error)
{
    const std::unique_ptr<Destination> destination = Destination::open(path, error);
    return destination && destination->finish(content, modified, error);
}

std::optional<QString> uploadSourceProblem(const QString &path)
{
    struct stat info
    {};
    if (::stat(native(path).constData(), &info) != 0) {
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

bool setModificationTime(const QString &path, const QDateTime &modified)
{
    const timespec times[2] = {timespec{0, UTIME_NOW}, timeFor(modified)};
    return ::utimensat(AT_FDCWD, native(path).constData(), times, 0) == 0;
}
