#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QCryptographicHash>
#include <QDateTime>
#include <QString>

#include <memory>
#include <optional>

// Why a file on the PC could not be written; each front end words it.
struct LocalFileError
{
    enum class Kind {
        NoSpace, // the disk is full (ENOSPC)
        QuotaExceeded,
        NoPermission,
        ReadOnly, // a read-only file system
        FolderMissing, // a folder of the path does not exist
        FolderInTheWay, // a folder stands where the file should go
        FileInTheWay, // a file stands where a folder should go
        NameTooLong,
        TooLarge, // larger than the file system or the process may write (EFBIG)
        InputOutput,
        ReadBackDiffers, // what was read back is not what was written
        Other, // see errorNumber
    };
    Kind kind = Kind::Other;
    int errorNumber = 0; // errno, 0 for ReadBackDiffers

    static LocalFileError fromErrno(int errorNumber);
};

// Writes one file on the PC piece by piece. A regular file (or a new one) is written
// under a hidden temporary name in its folder, flushed, synced, read back and only
// then renamed onto its name, so that the name holds either its old content or the
// whole new content; until then a signal, a failure or the writer's end removes the
// temporary file. A replaced file keeps its permissions, and a link to it stays a
// link. A device or FIFO is written into as it is, and standard output too.
class LocalFileWriter
{
public:
    // Makes the temporary file (or checks the device), so that a target that cannot be
    // written is found before the phone is asked for anything.
    static std::unique_ptr<LocalFileWriter> open(const QString &path, LocalFileError *error);
    static std::unique_ptr<LocalFileWriter> standardOutput();
    ~LocalFileWriter();
    LocalFileWriter(const LocalFileWriter &) = delete;
    LocalFileWriter &operator=(const LocalFileWriter &) = delete;

    QString path() const { return m_path; }
    bool isRegularFile() const { return m_kind == Kind::File; }
    qint64 written() const { return m_written; }
    // The first failure; the writer takes nothing after it.
    std::optional<LocalFileError> error() const { return m_error; }

    // Appends a piece; false after a failure.
    bool write(QByteArrayView piece);
    // Completes the file: a regular file takes its name and modified as its time
    // (when valid). False on a failure, and then nothing under the name has changed.
    bool commit(const QDateTime &modified = {});

private:
    enum class Kind {
        File,
        Stream, // a device or FIFO, opened at the first piece (a FIFO waits for its reader)
        StandardOutput,
    };
    LocalFileWriter(Kind kind, QString path) : m_kind(kind), m_path(std::move(path)) {}
    bool fail(int errorNumber);
    bool commitFile(const QDateTime &modified);
    bool readBackMatches();
    void removeTemporary();

    Kind m_kind;
    QString m_path; // as given
    QByteArray m_target; // the file renamed onto: the path, or the file a link at it points to
    QByteArray m_temporaryPath;
    int m_fd = -1;
    int m_guard = -1; // the TemporaryFiles slot
    int m_mode = 0;
    qint64 m_written = 0;
    QCryptographicHash m_hash{QCryptographicHash::Sha1};
    std::optional<LocalFileError> m_error;
};

// Writes content whole as the file at path, as a LocalFileWriter does.
std::optional<LocalFileError> writeLocalFile(const QString &path, QByteArrayView content,
                                             const QDateTime &modified = {});

// Creates a folder (and its parents) unless it exists.
std::optional<LocalFileError> makeLocalFolder(const QString &path);

// Sets the modification time of a file or folder; false when it cannot.
bool setModificationTime(const QString &path, const QDateTime &modified);
