#include "benchsupport.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QRandomGenerator>
#include <QThread>

#include <cstdio>

namespace bench {

Phone::Phone(const QString &binDir, const QStringList &arguments)
{
    m_process.start(binDir + QStringLiteral("/phonesim"), arguments);
    m_process.waitForReadyRead(5000);
    device = QString::fromLocal8Bit(m_process.readLine()).trimmed();
}

Phone::~Phone()
{
    m_process.terminate();
    m_process.waitForFinished(3000);
}

double runCli(const QString &binDir, const Phone &phone, const QStringList &arguments, const QString &dir)
{
    QProcess cli;
    cli.setWorkingDirectory(dir);
    cli.setStandardInputFile(QProcess::nullDevice());
    cli.setStandardOutputFile(QProcess::nullDevice());
    QElapsedTimer clock;
    clock.start();
    cli.start(binDir + QStringLiteral("/tarvel-cli"),
              QStringList{QStringLiteral("--device"), phone.device} + arguments);
    if (!cli.waitForFinished(3600000) || cli.exitStatus() != QProcess::NormalExit || cli.exitCode() != 0) {
        std::fprintf(stderr, "tarvel-cli %s failed: %s\n", qPrintable(arguments.join(u' ')),
                     cli.readAllStandardError().constData());
        return -1;
    }
    return double(clock.elapsed()) / 1000.0;
}

double secondsUntilPortFree(const Phone &phone)
{
    const QByteArray device = phone.device.toUtf8();
    const auto held = [&device] {
        for (const QString &entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
            QFile arguments(QStringLiteral("/proc/%1/cmdline").arg(entry));
            if (entry.front().isDigit() && arguments.open(QIODevice::ReadOnly)
                && arguments.readAll().split('\0').contains(device))
                return true;
        }
        return false;
    };
    QElapsedTimer clock;
    clock.start();
    while (held()) {
        if (clock.hasExpired(60000))
            return -1;
        QThread::msleep(5);
    }
    return double(clock.elapsed()) / 1000.0;
}

QByteArray randomBytes(qsizetype size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (char &b : bytes)
        b = char(QRandomGenerator::global()->bounded(256));
    return bytes;
}

ExecArguments::ExecArguments(const QStringList &words)
{
    for (const QString &word : words)
        m_words.push_back(word.toLocal8Bit());
    for (QByteArray &word : m_words)
        m_argv.push_back(word.data());
    m_argv.push_back(nullptr);
}

} // namespace bench
