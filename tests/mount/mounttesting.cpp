#include "mounttesting.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QThread>

#include <csignal>
#include <sys/prctl.h>

namespace {

// The processes that have the mount point among their arguments.
QList<int> processesServing(const QString &point)
{
    QList<int> found;
    const QByteArray wanted = point.toUtf8();
    for (const QString &entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        bool isProcess = false;
        const int pid = entry.toInt(&isProcess);
        QFile arguments(QStringLiteral("/proc/%1/cmdline").arg(entry));
        if (isProcess && arguments.open(QIODevice::ReadOnly) && arguments.readAll().split('\0').contains(wanted))
            found << pid;
    }
    return found;
}

} // namespace

bool mounted(const QString &point)
{
    QFile table(QStringLiteral("/proc/self/mountinfo"));
    if (!table.open(QIODevice::ReadOnly))
        return false;
    for (const QByteArray &line : table.readAll().split('\n')) {
        const QList<QByteArray> fields = line.split(' ');
        if (fields.size() > 4 && fields[4] == point.toUtf8())
            return true;
    }
    return false;
}

bool noProcessServing(const QString &point)
{
    QDeadlineTimer deadline(10000);
    while (!processesServing(point).isEmpty() && !deadline.hasExpired())
        QThread::msleep(20);
    return processesServing(point).isEmpty();
}

MountedFolder::MountedFolder()
{
    for (const char *folder : {"mnt", "pc"})
        QDir(dir.path()).mkpath(QString::fromLatin1(folder));
}

MountedFolder::~MountedFolder()
{
    unmount();
}

bool MountedFolder::start(const QString &program, const QStringList &arguments, const QProcessEnvironment &environment,
                          bool foreground)
{
    process.setProcessEnvironment(environment);
    process.setWorkingDirectory(path());
    process.setStandardOutputFile(QProcess::nullDevice());
    process.setStandardErrorFile(path(QStringLiteral("mount.err")));
    process.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
    QStringList all = arguments;
    if (foreground)
        all << QStringLiteral("-f");
    process.start(program, all << point());
    QDeadlineTimer deadline(10000);
    while (!mounted(point())) {
        if (deadline.hasExpired())
            return false;
        // In the foreground the program ends only when it gives up.
        if (foreground && (process.state() == QProcess::NotRunning || process.waitForFinished(20)))
            return false;
        if (!foreground)
            QThread::msleep(20);
    }
    return true;
}

bool MountedFolder::unmount()
{
    if (mounted(point())) {
        QProcess::execute(QStringLiteral("fusermount3"), {QStringLiteral("-u"), point()});
        if (mounted(point()))
            QProcess::execute(QStringLiteral("umount"), {QStringLiteral("-l"), point()});
    }
    const bool ended = noProcessServing(point());
    for (const int pid : processesServing(point()))
        ::kill(pid, SIGKILL);
    if (process.state() != QProcess::NotRunning && !process.waitForFinished(5000)) {
        process.kill();
        process.waitForFinished();
    }
    return ended && !mounted(point());
}

ProcessResult MountedFolder::run(const QString &script) const
{
    QProcess shell;
    runInBackground(shell, script);
    return finishProcess(shell, 30000);
}

void MountedFolder::runInBackground(QProcess &shell, const QString &script) const
{
    shell.setWorkingDirectory(path());
    shell.start(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), script});
}

QString MountedFolder::errors() const
{
    return QString::fromUtf8(readFile(path(QStringLiteral("mount.err"))));
}
