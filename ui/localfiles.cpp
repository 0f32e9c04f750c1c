#include "localfiles.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace LocalFiles {

namespace {

// Closes and removes the unfinished file on every way out but success.
class PartFile
{
public:
    explicit PartFile(const QString &folder) : m_path(QFile::encodeName(folder + QStringLiteral("/.tarvel-XXXXXX")))
    {
        m_fd = ::mkstemp(m_path.data());
    }
    ~PartFile()
    {
        if (m_fd >= 0)
            ::close(m_fd);
        if (!m_kept)
            ::unlink(m_path.constData());
    }
    PartFile(const PartFile &) = delete;
    PartFile &operator=(const PartFile &) = delete;

    int fd() const { return m_fd; }
    const QByteArray &path() const { return m_path; }
    // Closes the file, reporting errors a delayed write shows only now.
    bool close()
    {
        const int fd = m_fd;
        m_fd = -1;
        return ::close(fd) == 0;
    }
    void keep() { m_kept = true; }

private:
    QByteArray m_path;
    int m_fd = -1;
    bool m_kept = false;
};

bool writeAll(int fd, const QByteArray &bytes)
{
    const char *data = bytes.constData();
    qint64 left = bytes.size();
    while (left > 0) {
        const ssize_t written = ::write(fd, data, size_t(left));
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data += written;
        left -= written;
    }
    return true;
}

// Reads the file back and compares; errno is 0 for a mere difference.
bool sameContent(int fd, const QByteArray &bytes)
{
    struct stat status;
    if (::fstat(fd, &status) != 0)
        return false;
    errno = 0;
    if (status.st_size != bytes.size())
        return false;
    QByteArray buffer(64 * 1024, Qt::Uninitialized);
    qint64 offset = 0;
    while (offset < bytes.size()) {
        const ssize_t got =
            ::pread(fd, buffer.data(), size_t(qMin<qint64>(buffer.size(), bytes.size() - offset)), off_t(offset));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return false;
        if (std::memcmp(buffer.constData(), bytes.constData() + offset, size_t(got)) != 0) {
            errno = 0;
            return false;
        }
        offset += got;
    }
    return true;
}

mode_t permissionsFor(const QByteArray &target)
{
    struct stat status;
    if (::stat(target.constData(), &status) == 0 && S_ISREG(status.st_mode))
        return status.st_mode & 07777; // a replaced file keeps its permissions
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return 0666 & ~mask;
}

QString failure()
{
    return errno == 0 ? QCoreApplication::translate("LocalFiles", "записанный файл не совпадает с полученным")
                      : reasonFor(errno);
}

} // namespace

std::optional<QString> writeWhole(const QString &path, const QByteArray &bytes)
{
    QFileInfo target(path);
    if (target.isSymLink() && target.exists())
        target = QFileInfo(target.canonicalFilePath());
    const QByteArray targetName = QFile::encodeName(target.absoluteFilePath());

    PartFile part(target.absolutePath());
    if (part.fd() < 0)
        return reasonFor(errno);
    if (!writeAll(part.fd(), bytes) || ::fchmod(part.fd(), permissionsFor(targetName)) != 0 || ::fsync(part.fd()) != 0)
        return reasonFor(errno);
    if (!sameContent(part.fd(), bytes))
        return failure();
    if (!part.close() || ::rename(part.path().constData(), targetName.constData()) != 0)
        return reasonFor(errno);
    part.keep();
    return std::nullopt;
}

std::optional<QString> makeFolder(const QString &path)
{
    const QFileInfo folder(path);
    if (folder.isDir())
        return std::nullopt;
    if (folder.exists())
        return QCoreApplication::translate("LocalFiles", "на этом месте уже есть файл с таким именем");
    errno = 0;
    if (QDir().mkpath(path))
        return std::nullopt;
    return reasonFor(errno != 0 ? errno : EACCES);
}

QString reasonFor(int errorNumber)
{
    switch (errorNumber) {
    case ENOSPC:
        return QCoreApplication::translate("LocalFiles", "на диске нет места");
    case EDQUOT:
        return QCoreApplication::translate("LocalFiles", "превышена дисковая квота");
    case EACCES:
    case EPERM:
        return QCoreApplication::translate("LocalFiles", "нет прав на запись в эту папку");
    case EROFS:
        return QCoreApplication::translate("LocalFiles", "диск доступен только для чтения");
    case ENOENT:
    case ENOTDIR:
        return QCoreApplication::translate("LocalFiles", "папка не найдена");
    case EISDIR:
        return QCoreApplication::translate("LocalFiles", "на этом месте уже есть папка с таким именем");
    case ENAMETOOLONG:
        return QCoreApplication::translate("LocalFiles", "слишком длинное имя");
    case EFBIG:
        return QCoreApplication::translate("LocalFiles", "файл слишком большой для этого диска");
    case EIO:
        return QCoreApplication::translate("LocalFiles", "ошибка ввода-вывода");
    default:
        return QString::fromLocal8Bit(std::strerror(errorNumber));
    }
}

} // namespace LocalFiles
