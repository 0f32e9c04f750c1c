#pragma once

// A mount program run in a temporary folder for the tests: mnt/ is the mount point,
// pc/ the PC's side. It is unmounted in any case when the object goes, so that a
// failed test leaves no mount and no process behind.

#include "testprocess.h"

#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

bool mounted(const QString &point);
// Waits until no process has the mount point among its arguments.
bool noProcessServing(const QString &point);

class MountedFolder
{
public:
    MountedFolder();
    ~MountedFolder();
    MountedFolder(const MountedFolder &) = delete;
    MountedFolder &operator=(const MountedFolder &) = delete;

    QString path(const QString &relative = QString()) const { return dir.filePath(relative); }
    QString point() const { return path(QStringLiteral("mnt")); }

    // Starts the program in the temporary folder with arguments and the mount point
    // (standard error into mount.err); true once the folder is mounted.
    bool start(const QString &program, const QStringList &arguments, const QProcessEnvironment &environment,
               bool foreground = true);
    // fusermount3 -u, and umount -l when that is not enough; then the program must end.
    bool unmount();

    // A shell command in the temporary folder.
    ProcessResult run(const QString &script) const;
    // Starts a shell command in the temporary folder.
    void runInBackground(QProcess &shell, const QString &script) const;
    // The program's standard error.
    QString errors() const;

    QTemporaryDir dir;
    QProcess process;
};
