#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>

#include <memory>
#include <optional>

// Where a download goes. A regular file (or a new one) is written to a temporary file
// beside it, which is renamed over it when complete and carries the phone's
// modification time; a device or FIFO is written into as it is; "-" is standard
// output. Errors name the path and the system's reason ("No space left on device").
class Destination
{
public:
    // Checks the destination and makes the temporary file of a regular file, so that a
    // destination that cannot be written is found before the phone is woken.
    static std::unique_ptr<Destination> open(const QString &path, QString *error);
    ~Destination();
    Destination(const Destination &) = delete;
    Destination &operator=(const Destination &) = delete;

    QString path() const { return m_path; }
    bool isRegularFile() const { return m_kind == Kind::File; }
    // Writes the whole content; a regular file then takes the place of its path and
    // the time modified (when valid). Afterwards the destination is spent.
    bool finish(const QByteArray &content, const QDateTime &modified, QString *error);

private:
    enum class Kind {
        File,
        Stream, // a device or FIFO, opened when the content is there
        StandardOutput,
    };
    Destination(Kind kind, QString path) : m_kind(kind), m_path(std::move(path)) {}
    bool finishFile(const QByteArray &content, const QDateTime &modified, QString *error);

    Kind m_kind;
    QString m_path; // as given
    QString m_target; // the file written: the path, or the file a link at the path points to
    QString m_temporaryPath;
    int m_fd = -1;
    int m_mode = 0;
    bool m_removedOnSignal = false; // the temporary file goes if a signal ends the program
};

// A regular file written whole, as a Destination does.
bool writeLocalFile(const QString &path, const QByteArray &content, const QDateTime &modified, QString *error);

// Why a PC path is no file to upload ("... is a FIFO (named pipe)", "... is a folder"),
// or nothing for a regular file (links followed).
std::optional<QString> uploadSourceProblem(const QString &path);

// The modification time of a file or folder; false when it cannot be set.
bool setModificationTime(const QString &path, const QDateTime &modified);

// The system's reason for the last failed call (errno), in English.
QString systemError(int error);
