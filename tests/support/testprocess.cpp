#include "testprocess.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QThread>

#include <csignal>
#include <sys/prctl.h>

QString tarvelBinDir()
{
    const QString dir = qEnvironmentVariable("TARVEL_BIN_DIR");
    return dir.isEmpty() ? QCoreApplication::applicationDirPath() : dir;
}

QString tarvelBinary(const QString &name)
{
    return tarvelBinDir() + u'/' + name;
}

QByteArray randomBytes(int size, quint32 seed)
{
    QRandomGenerator generator(seed);
    QByteArray bytes(size, '\0');
    for (char &b : bytes)
        b = char(generator.bounded(256));
    return bytes;
}

bool writeFile(const QString &path, const QByteArray &content)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

std::map<QString, QByteArray> fileTree(const QString &root)
{
    std::map<QString, QByteArray> entries;
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QFileInfo entry(it.next());
        entries[QDir(root).relativeFilePath(entry.filePath())] = entry.isDir() ? "/" : readFile(entry.filePath());
    }
    return entries;
}

QStringList words(const QString &text)
{
    return text.split(u' ', Qt::SkipEmptyParts);
}

QStringList startingWith(const QStringList &lines, const QString &prefix)
{
    QStringList found;
    for (const QString &line : lines) {
        if (line.startsWith(prefix))
            found << line;
    }
    return found;
}

bool waitUntil(const std::function<bool()> &done, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        QThread::msleep(10);
    }
    return true;
}

QList<int> processesNaming(const QString &argument)
{
    QList<int> found;
    for (const QString &entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        bool isProcess = false;
        const int pid = entry.toInt(&isProcess);
        QFile arguments(QStringLiteral("/proc/%1/cmdline").arg(entry));
        if (isProcess && arguments.open(QIODevice::ReadOnly)
            && arguments.readAll().split('\0').contains(argument.toUtf8()))
            found << pid;
    }
    return found;
}

ProcessResult finishProcess(QProcess &process, int timeoutMs)
{
    if (!process.waitForFinished(timeoutMs)) {
        process.kill();
        process.waitForFinished();
    }
    ProcessResult result;
    result.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    result.out = QString::fromUtf8(process.readAllStandardOutput());
    result.err = QString::fromUtf8(process.readAllStandardError());
    return result;
}

void startCli(QProcess &process, const QStringList &arguments)
{
    process.setStandardInputFile(QProcess::nullDevice());
    process.start(tarvelBinary(QStringLiteral("tarvel-cli")), arguments);
}

ProcessResult runCli(const QStringList &arguments)
{
    QProcess process;
    startCli(process, arguments);
    return finishProcess(process);
}

PhoneSim::PhoneSim(const QStringList &arguments)
{
    launch(arguments, QProcess::SeparateChannels);
}

PhoneSim::~PhoneSim()
{
    if (process.state() != QProcess::NotRunning) {
        process.terminate();
        if (!process.waitForFinished(3000))
            process.kill();
        process.waitForFinished(1000);
    }
}

bool PhoneSim::start(const QString &root, const QStringList &extra)
{
    logPath = root + QStringLiteral(".log");
    QFile::remove(logPath);
    return launch(QStringList{QStringLiteral("--root"), root, QStringLiteral("--log"), logPath} + extra,
                  QProcess::ForwardedErrorChannel);
}

bool PhoneSim::launch(const QStringList &arguments, QProcess::ProcessChannelMode channels)
{
    process.setProcessChannelMode(channels);
    // A test that crashes takes its phone with it.
    process.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
    process.start(tarvelBinary(QStringLiteral("phonesim")), arguments);
    if (!process.waitForStarted(5000))
        return false;
    QDeadlineTimer deadline(5000);
    while (!process.canReadLine() && !deadline.hasExpired())
        process.waitForReadyRead(100);
    device = QString::fromLocal8Bit(process.readLine()).trimmed();
    return !device.isEmpty();
}

bool PhoneSim::powerCycle()
{
    const qsizetype before = logLines(QStringLiteral("POWER-CYCLE")).size();
    ::kill(pid_t(process.processId()), SIGUSR1);
    return waitUntil([&] { return logLines(QStringLiteral("POWER-CYCLE")).size() != before; }, 5000);
}

bool PhoneSim::lineFree(int timeoutMs) const
{
    return waitUntil(
        [&] { return logLines(QStringLiteral("OPEN")).size() == logLines(QStringLiteral("CLOSE")).size(); }, timeoutMs);
}

QString PhoneSim::log() const
{
    QFile file(logPath);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

QStringList PhoneSim::logLines(const QString &prefix) const
{
    return startingWith(log().split(u'\n', Qt::SkipEmptyParts), prefix);
}
