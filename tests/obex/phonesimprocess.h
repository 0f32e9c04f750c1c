#pragma once

// The emulated phone as a child process serving a folder of this computer.

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QString>
#include <QStringList>

#include <csignal>
#include <sys/prctl.h>

inline QString tarvelBinDir()
{
    const QString dir = qEnvironmentVariable("TARVEL_BIN_DIR");
    return dir.isEmpty() ? QCoreApplication::applicationDirPath() : dir;
}

class PhoneSim
{
public:
    PhoneSim() = default;
    PhoneSim(const PhoneSim &) = delete;
    PhoneSim &operator=(const PhoneSim &) = delete;
    ~PhoneSim()
    {
        if (process.state() != QProcess::NotRunning) {
            process.terminate();
            if (!process.waitForFinished(3000))
                process.kill();
            process.waitForFinished(1000);
        }
    }

    // Starts phonesim on root with a log beside it; false when it gives no device.
    bool start(const QString &root, const QStringList &extra = {})
    {
        logPath = root + QStringLiteral(".log");
        QFile::remove(logPath);
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        // A test that crashes takes its phone with it.
        process.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
        process.start(tarvelBinDir() + QStringLiteral("/phonesim"),
                      QStringList{QStringLiteral("--root"), root, QStringLiteral("--log"), logPath} + extra);
        if (!process.waitForStarted(5000))
            return false;
        while (!process.canReadLine()) {
            if (!process.waitForReadyRead(5000))
                return false;
        }
        device = QString::fromLocal8Bit(process.readLine()).trimmed();
        return !device.isEmpty();
    }

    QString log() const
    {
        QFile file(logPath);
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
    }
    // Log lines that start with prefix, in order.
    QStringList logLines(const QString &prefix) const
    {
        QStringList lines;
        for (const QString &line : log().split(u'\n')) {
            if (line.startsWith(prefix))
                lines << line;
        }
        return lines;
    }

    QProcess process;
    QString device;
    QString logPath;
};
