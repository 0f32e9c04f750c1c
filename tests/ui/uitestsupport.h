#pragma once

// Shared pieces of the window tests: a responder that answers message boxes
// instead of a person, the emulated phone as a child process, a silent
// pseudo-terminal, the checksum component from the build tree, and screenshots.

#include "form1.h"
#include "frmprogress.h"
#include "messagebox.h"
#include "sumletcontrol.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTest>
#include <QTreeWidget>
#include <QWidget>

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <deque>
#include <functional>
#include <memory>

namespace uitest {

inline QString binDir()
{
    return qEnvironmentVariable("TARVEL_BIN_DIR");
}

// Records every message box and answers it: Yes/OK unless an answer was queued.
class MessageRecorder
{
public:
    MessageRecorder()
    {
        MessageBoxes::setResponder([this](const MessageBoxes::Request &request) {
            requests.push_back(request);
            if (onMessage)
                onMessage(request);
            if (answers.empty())
                return true;
            const bool answer = answers.front();
            answers.pop_front();
            return answer;
        });
    }
    ~MessageRecorder() { MessageBoxes::setResponder({}); }
    MessageRecorder(const MessageRecorder &) = delete;
    MessageRecorder &operator=(const MessageRecorder &) = delete;

    void clear() { requests.clear(); }

    QList<MessageBoxes::Request> requests;
    std::deque<bool> answers;
    std::function<void(const MessageBoxes::Request &)> onMessage;
};

inline std::unique_ptr<Checksum> makeCrc()
{
    QString error;
    std::unique_ptr<Checksum> crc =
        SumletControl::create(&error, {binDir() + QStringLiteral("/libsumlet.so")});
    if (!crc)
        qFatal("checksum component: %s", qPrintable(error));
    return crc;
}

// The emulated phone on a pseudo-terminal; stopped when this object goes.
class PhoneSim
{
public:
    explicit PhoneSim(const QStringList &arguments = {})
    {
        m_process.setProgram(binDir() + QStringLiteral("/phonesim"));
        m_process.setArguments(arguments);
        m_process.setProcessChannelMode(QProcess::SeparateChannels);
        m_process.start();
        if (!m_process.waitForStarted(5000))
            return;
        QDeadlineTimer deadline(5000);
        while (!m_process.canReadLine() && !deadline.hasExpired())
            m_process.waitForReadyRead(100);
        device = QString::fromLocal8Bit(m_process.readLine()).trimmed();
    }
    ~PhoneSim()
    {
        m_process.terminate();
        if (!m_process.waitForFinished(3000))
            m_process.kill();
        m_process.waitForFinished(1000);
    }
    PhoneSim(const PhoneSim &) = delete;
    PhoneSim &operator=(const PhoneSim &) = delete;

    bool running() const { return !device.isEmpty() && m_process.state() == QProcess::Running; }
    QString errors() { return QString::fromLocal8Bit(m_process.readAllStandardError()); }

    QString device;

private:
    QProcess m_process;
};

// A pseudo-terminal whose other end never answers: a phone that stays silent.
class SilentLine
{
public:
    SilentLine()
    {
        m_master = posix_openpt(O_RDWR | O_NOCTTY);
        if (m_master < 0 || grantpt(m_master) != 0 || unlockpt(m_master) != 0)
            return;
        device = QString::fromLocal8Bit(ptsname(m_master));
    }
    ~SilentLine()
    {
        if (m_master >= 0)
            ::close(m_master);
    }
    SilentLine(const SilentLine &) = delete;
    SilentLine &operator=(const SilentLine &) = delete;

    QString device;

private:
    int m_master = -1;
};

// Makes "Com N" of the per-user ports folder stand for device.
inline bool mapPort(int number, const QString &device)
{
    const QString folder = SerialPort::portsFolder();
    QDir().mkpath(folder);
    const QString link = folder + QStringLiteral("/com%1").arg(number);
    QFile::remove(link);
    return QFile::link(device, link);
}

inline QString screenshotFolder()
{
    const QString folder = QStringLiteral(TARVEL_UI_SCREENSHOTS);
    QDir().mkpath(folder);
    return folder;
}

// Screenshots land in the test's build folder for review; they are not compared.
inline void saveScreenshot(QWidget *widget, const QString &name)
{
    const QString folder = screenshotFolder();
    widget->grab().save(folder + QLatin1Char('/') + name + QStringLiteral(".png"));
}

// The progress window's rows as "icon:text".
inline QStringList progressRows(const Form1 &form)
{
    QStringList rows;
    if (frmProgress *progress = form.progressWindow()) {
        for (int i = 0; i < progress->List->topLevelItemCount(); ++i)
            rows << progress->List->topLevelItem(i)->data(0, Qt::UserRole).toString() + QLatin1Char(':')
                        + progress->List->topLevelItem(i)->text(0);
    }
    return rows;
}

inline QStringList rowTexts(const PhoneFileList *list)
{
    QStringList texts;
    for (int row = 0; row < list->rowCount(); ++row)
        texts << list->rowText(row);
    return texts;
}

inline int findRow(const PhoneFileList *list, const QString &text)
{
    for (int row = 0; row < list->rowCount(); ++row) {
        if (list->rowText(row) == text)
            return row;
    }
    return -1;
}

} // namespace uitest
