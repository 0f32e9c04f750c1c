#include "localfilewriter.h"

#include "temporaryfiles.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>

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

bool writeAll(int fd, QByteArrayView bytes)
{
    const char *data = bytes.data();
    qsizetype left = bytes.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, data, size_t(left));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        if (n == 0) {
            errno = EIO;
            return false;
        }
        data += n;
        left -= n;
    }
    return true;
}

timespec timeFor(const QDateTime &moment)
{
    timespec value{};
    if (moment.isValid())
        value.tv_sec = time_t(moment.toSecsSinceEpoch());
    else
        value.tv_nsec = UTIME_OMIT;
    return value;
}

} // namespace

LocalFileError LocalFileError::fromErrno(int errorNumber)
{
    using enum Kind;
    switch (errorNumber) {
    case ENOSPC:
        return {NoSpace, errorNumber};
    case EDQUOT:
        return {QuotaExceeded, errorNumber};
    case EACCES:
    case EPERM:
        return {NoPermission, errorNumber};
    case EROFS:
        return {ReadOnly, errorNumber};
    case ENOENT:
    case ENOTDIR:
        return {FolderMissing, errorNumber};
    case EISDIR:
        return {FolderInTheWay, errorNumber};
    case ENAMETOOLONG:
        return {NameTooLong, errorNumber};
    case EFBIG:
        return {TooLarge, errorNumber};
    case EIO:
        return {InputOutput, errorNumber};
    default:
        return {Other, errorNumber};
    }
}

std::unique_ptr<LocalFileWriter> LocalFileWriter::open(const QString &path, LocalFileError *error)
{
    struct stat info
    {};
    if (::stat(native(path).constData(), &info) == 0) {
        if (S_ISDIR(info.st_mode)) {
            *error = LocalFileError::fromErrno(EISDIR);
            return nullptr;
        }
        if (!S_ISREG(info.st_mode))
            return std::unique_ptr<LocalFileWriter>(new LocalFileWriter(Kind::Stream, path));
    } else if (errno != ENOENT) {
        *error = LocalFileError::fromErrno(errno);
        return nullptr;
    }

    std::unique_ptr<LocalFileWriter> writer(new LocalFileWriter(Kind::File, path));
    writer->m_target = native(path);
    if (S_ISREG(info.st_mode)) {
        writer->m_mode = int(info.st_mode & 07777);
        if (char *real = ::realpath(writer->m_target.constData(), nullptr)) {
            writer->m_target = real;
            std::free(real);
        }
    } else {
        writer->m_mode = int(creationMode());
    }
    // Beside the file, hidden; split by hand (Qt takes a leading ':' for a resource).
    const QByteArray &target = writer->m_target;
    const qsizetype slash = target.lastIndexOf('/');
    const QByteArray folder = slash < 0 ? QByteArray(".") : target.left(slash);
    QByteArray temporary = folder + "/." + target.mid(slash + 1) + ".tarvel-XXXXXX";
    // Longer than a name may be: the shortest that still names the file.
    if (temporary.size() - folder.size() - 1 > NAME_MAX)
        temporary = folder + "/.tarvel-XXXXXX";
    writer->m_fd = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (writer->m_fd < 0) {
        *error = LocalFileError::fromErrno(errno);
        return nullptr;
    }
    writer->m_temporaryPath = temporary;
    writer->m_guard = TemporaryFiles::guard(temporary);
    return writer;
}

std::unique_ptr<LocalFileWriter> LocalFileWriter::standardOutput()
{
    return std::unique_ptr<LocalFileWriter>(new LocalFileWriter(Kind::StandardOutput, QStringLiteral("-")));
}

LocalFileWriter::~LocalFileWriter()
{
    if (m_fd >= 0 && m_kind != Kind::StandardOutput)
        ::close(m_fd);
    removeTemporary();
}

void LocalFileWriter::removeTemporary()
{
    if (m_temporaryPath.isEmpty())
        return;
    ::unlink(m_temporaryPath.constData());
    TemporaryFiles::release(m_guard);
    m_guard = -1;
    m_temporaryPath.clear();
}

bool LocalFileWriter::fail(int errorNumber)
{
    if (!m_error)
        m_error = LocalFileError::fromErrno(errorNumber);
    if (m_fd >= 0 && m_kind != Kind::StandardOutput)
        ::close(m_fd);
    m_fd = -1;
    removeTemporary();
    return false;
}

bool LocalFileWriter::write(QByteArrayView piece)
{
    if (m_error)
        return false;
    if (m_fd < 0) {
        if (m_kind == Kind::StandardOutput) {
            std::fflush(stdout);
            m_fd = STDOUT_FILENO;
        } else if (m_kind == Kind::Stream) {
            m_fd = ::open(native(m_path).constData(), O_WRONLY | O_NOCTTY | O_CLOEXEC);
            if (m_fd < 0)
                return fail(errno);
        } else {
            return fail(EBADF); // committed already
        }
    }
    if (!writeAll(m_fd, piece))
        return fail(errno);
    m_written += piece.size();
    if (m_kind == Kind::File)
        m_hash.addData(piece);
    return true;
}

bool LocalFileWriter::commit(const QDateTime &modified)
{
    if (m_error)
        return false;
    if (m_kind == Kind::File)
        return commitFile(modified);
    // An empty download still opens a device or FIFO, as writing it would.
    if (m_fd < 0 && !write({}))
        return false;
    if (m_kind == Kind::StandardOutput)
        return true;
    const int fd = m_fd;
    m_fd = -1;
    // close() reports what a file system noticed only at the end.
    return ::close(fd) == 0 || fail(errno);
}

bool LocalFileWriter::commitFile(const QDateTime &modified)
{
    const timespec times[2] = {timespec{0, UTIME_NOW}, timeFor(modified)};
    if (::fchmod(m_fd, mode_t(m_mode)) != 0 || ::fsync(m_fd) != 0)
        return fail(errno);
    errno = 0;
    if (!readBackMatches()) {
        if (errno == 0)
            m_error = LocalFileError{LocalFileError::Kind::ReadBackDiffers, 0};
        return fail(errno);
    }
    // After the read-back: reading sets the access time, and the times go last.
    if (::futimens(m_fd, times) != 0)
        return fail(errno);
    const int fd = m_fd;
    m_fd = -1;
    if (::close(fd) != 0)
        return fail(errno);
    if (::rename(m_temporaryPath.constData(), m_target.constData()) != 0)
        return fail(errno);
    TemporaryFiles::release(m_guard);
    m_guard = -1;
    m_temporaryPath.clear();
    return true;
}

bool LocalFileWriter::readBackMatches()
{
    struct stat status
    {};
    if (::fstat(m_fd, &status) != 0)
        return false;
    errno = 0;
    if (status.st_size != m_written)
        return false;
    QCryptographicHash readBack(QCryptographicHash::Sha1);
    QByteArray buffer(64 * 1024, Qt::Uninitialized);
    for (qint64 offset = 0; offset < m_written;) {
        const ssize_t got = ::pread(m_fd, buffer.data(), size_t(buffer.size()), off_t(offset));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return false;
        readBack.addData(QByteArrayView(buffer.constData(), got));
        offset += got;
    }
    return readBack.result() == m_hash.result();
}

std::optional<LocalFileError> writeLocalFile(const QString &path, QByteArrayView content, const QDateTime &modified)
{
    LocalFileError error;
    const std::unique_ptr<LocalFileWriter> writer = LocalFileWriter::open(path, &error);
    if (!writer)
        return error;
    if (!writer->write(content) || !writer->commit(modified))
        return writer->error();
    return std::nullopt;
}

std::optional<LocalFileError> makeLocalFolder(const QString &path)
{
    const QFileInfo folder(path);
    if (folder.isDir())
        return std::nullopt;
    if (folder.exists())
        return LocalFileError{LocalFileError::Kind::FileInTheWay, EEXIST};
    errno = 0;
    if (QDir().mkpath(path))
        return std::nullopt;
    return LocalFileError::fromErrno(errno != 0 ? errno : EACCES);
}

bool setModificationTime(const QString &path, const QDateTime &modified)
{
    const timespec times[2] = {timespec{0, UTIME_NOW}, timeFor(modified)};
    return ::utimensat(AT_FDCWD, native(path).constData(), times, 0) == 0;
}
