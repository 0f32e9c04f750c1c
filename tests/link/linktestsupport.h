#pragma once

// Shared pieces of the link tests: a pseudo-terminal whose master end plays the
// phone, a recording PhoneUi whose endProgram throws, and the checksum.

#include "checksum.h"
#include "phonelink.h"
#include "phoneui.h"
#include "sumletcontrol.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QString>
#include <QStringList>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <functional>
#include <memory>
#include <mutex>
#include <poll.h>
#include <stdexcept>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

// Thrown by RecordingUi::endProgram, so that a fatal exit ends only the test step.
struct ProgramEnded
{
    int status;
};

class RecordingUi : public PhoneUi
{
public:
    struct Message
    {
        Icon icon;
        QString title;
        QString text;
    };
    struct Row
    {
        QString text;
        int icon;
    };

    std::vector<Message> messages;
    std::vector<Row> rows;
    QStringList calls;          // every call in order, for sequence checks
    bool progressOpen = false;
    bool closeButtonShown = false;
    int progressMaximum = 0;
    int progressValueNow = 0;
    bool mainVisible = true;
    bool mainEnabled = true;
    bool connected = false;
    QString waitingBytes;
    int waitingBytesUpdates = 0;

    void progressLoad() override { open("load"); }
    void progressShow() override { open("show"); }
    bool progressIsOpen() const override { return progressOpen; }
    void progressSetMaximum(int maximum) override
    {
        progressMaximum = maximum;
        calls << QStringLiteral("max %1").arg(maximum);
    }
    void progressSetValue(int value) override
    {
        progressValueNow = value;
        calls << QStringLiteral("value %1").arg(value);
    }
    int progressValue() const override { return progressValueNow; }
    void progressAddRow(const QString &text, int icon) override
    {
        rows.push_back({text, icon});
        calls << QStringLiteral("row %1 %2").arg(icon).arg(text);
    }
    void progressRepaint() override { calls << QStringLiteral("repaint"); }
    void progressShowCloseButton() override
    {
        closeButtonShown = true;
        calls << QStringLiteral("close button");
    }
    void progressFocus() override { calls << QStringLiteral("focus"); }
    void progressClose() override
    {
        progressOpen = false;
        calls << QStringLiteral("progress closed");
    }
    void setMainWindowEnabled(bool enabled) override
    {
        mainEnabled = enabled;
        calls << QStringLiteral("main enabled %1").arg(enabled);
    }
    void setMainWindowVisible(bool visible) override
    {
        mainVisible = visible;
        calls << QStringLiteral("main visible %1").arg(visible);
    }
    void setWaitingBytesText(const QString &text) override
    {
        waitingBytes = text;
        ++waitingBytesUpdates;
    }
    void setSequenceText(const QString &) override {}
    void setTotalMemoryText(const QString &) override {}
    void setFreeMemoryText(const QString &) override {}
    void connectionEstablished() override
    {
        connected = true;
        calls << QStringLiteral("connected");
    }
    void showMessage(Icon icon, const QString &title, const QString &text) override
    {
        messages.push_back({icon, title, text});
        calls << QStringLiteral("message %1").arg(text);
    }
    bool askYesNo(Icon, const QString &, const QString &) override { return true; }
    [[noreturn]] void endProgram(int exitStatus) override
    {
        calls << QStringLiteral("end %1").arg(exitStatus);
        throw ProgramEnded {exitStatus};
    }

private:
    void open(const char *how)
    {
        if (!progressOpen) {
            progressOpen = true;
            closeButtonShown = false;
            progressValueNow = 1;
        }
        calls << QStringLiteral("progress %1").arg(QLatin1String(how));
    }
};

inline const QString TimeoutMessage = QStringLiteral(
    "К сожалению, произошла ошибка ПРИЕМА ДАННЫХ - TIMEOUT. Программа будет закрыта!!! "
    "Выключите и включите телефон!!!");
inline const QString BadDataMessage = QStringLiteral(
    "К сожалению, произошла серьезная ошибка ПРИЕМА ДАННЫХ!!! Программа будет закрыта!!! "
    "Выключите и включите телефон!!!");
inline const QString ReceiveErrorTitle = QStringLiteral("ОШИБКА ПРИЕМА ДАННЫХ!!!");

// A pseudo-terminal pair: the program opens slavePath() through its own port code,
// the test reads and writes the master end as the phone.
class Pty
{
public:
    Pty()
    {
        m_master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (m_master < 0 || ::grantpt(m_master) != 0 || ::unlockpt(m_master) != 0)
            throw std::runtime_error("no pseudo-terminal");
        char name[128];
        if (::ptsname_r(m_master, name, sizeof name) != 0)
            throw std::runtime_error("no pseudo-terminal name");
        m_slavePath = QString::fromLocal8Bit(name);
        termios tio {};
        ::tcgetattr(m_master, &tio);
        ::cfmakeraw(&tio);
        ::tcsetattr(m_master, TCSANOW, &tio);
        // Keeps the slave side from hanging up while the port is closed between tests.
        m_keeper = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    }
    ~Pty()
    {
        if (m_keeper >= 0)
            ::close(m_keeper);
        closeMaster();
    }
    Pty(const Pty &) = delete;
    Pty &operator=(const Pty &) = delete;

    QString slavePath() const { return m_slavePath; }
    int master() const { return m_master; }

    // What the phone sends.
    void send(const QByteArray &bytes) const
    {
        qsizetype done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::write(m_master, bytes.constData() + done, size_t(bytes.size() - done));
            if (n > 0)
                done += n;
            else if (n < 0 && errno != EINTR && errno != EAGAIN)
                throw std::runtime_error("pty write failed");
        }
    }

    // What the program sent: exactly count bytes, waiting at most timeoutMs.
    QByteArray receive(int count, int timeoutMs = 2000) const
    {
        QByteArray got;
        QElapsedTimer clock;
        clock.start();
        while (got.size() < count) {
            const int left = timeoutMs - int(clock.elapsed());
            if (left <= 0)
                break;
            pollfd p {m_master, POLLIN, 0};
            if (::poll(&p, 1, left) <= 0)
                continue;
            char buffer[4096];
            const ssize_t n = ::read(m_master, buffer, std::min<size_t>(sizeof buffer, size_t(count - got.size())));
            if (n > 0)
                got.append(buffer, n);
        }
        return got;
    }

    // Everything the program has sent so far, waiting quietMs for stragglers.
    QByteArray drain(int quietMs = 50) const
    {
        QByteArray got;
        for (;;) {
            pollfd p {m_master, POLLIN, 0};
            if (::poll(&p, 1, quietMs) <= 0)
                return got;
            char buffer[4096];
            const ssize_t n = ::read(m_master, buffer, sizeof buffer);
            if (n <= 0)
                return got;
            got.append(buffer, n);
        }
    }

    // The phone goes away: the program's side sees a hang-up.
    void closeMaster()
    {
        if (m_master >= 0)
            ::close(m_master);
        m_master = -1;
    }
    void dropKeeper()
    {
        if (m_keeper >= 0)
            ::close(m_keeper);
        m_keeper = -1;
    }

private:
    int m_master = -1;
    int m_keeper = -1;
    QString m_slavePath;
};

// A phone on its own thread, so that it answers while the program blocks in a
// pause. Each rule waits for its request at the start of the unanswered input and
// then sends its reply, optionally in two parts with a delay between them.
class ScriptedPhone
{
public:
    struct Rule
    {
        QByteArray request;
        QByteArray reply;
        QByteArray lateReply = {};
        int lateDelayMs = 0;
    };

    ScriptedPhone(const Pty &pty, std::vector<Rule> rules)
        : m_pty(pty), m_rules(std::move(rules)), m_thread([this] { serve(); })
    {
    }
    ~ScriptedPhone()
    {
        m_stop = true;
        m_thread.join();
    }

    QByteArray received() const
    {
        std::lock_guard lock(m_mutex);
        return m_received;
    }

private:
    void serve()
    {
        QByteArray pending;
        size_t next = 0;
        while (!m_stop) {
            pollfd p {m_pty.master(), POLLIN, 0};
            if (::poll(&p, 1, 10) > 0) {
                char buffer[1024];
                const ssize_t n = ::read(m_pty.master(), buffer, sizeof buffer);
                if (n > 0) {
                    std::lock_guard lock(m_mutex);
                    m_received.append(buffer, n);
                    pending.append(buffer, n);
                }
            }
            while (next < m_rules.size() && pending.startsWith(m_rules[next].request)) {
                const Rule &rule = m_rules[next++];
                pending.remove(0, rule.request.size());
                m_pty.send(rule.reply);
                if (!rule.lateReply.isEmpty()) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(rule.lateDelayMs));
                    m_pty.send(rule.lateReply);
                }
            }
        }
    }

    const Pty &m_pty;
    std::vector<Rule> m_rules;
    mutable std::mutex m_mutex;
    QByteArray m_received;
    std::atomic<bool> m_stop {false};
    std::thread m_thread;
};

// The checksum component itself, loaded the way the program loads it.
inline std::unique_ptr<Checksum> makeChecksum()
{
    QString error;
    std::unique_ptr<SumletControl> control = SumletControl::create(&error);
    if (!control)
        throw std::runtime_error("checksum component unavailable: " + error.toStdString());
    return control;
}

// A link on a fresh pseudo-terminal, opened in single-byte mode as after the handshake.
struct LinkOnPty
{
    Pty pty;
    RecordingUi ui;
    std::unique_ptr<Checksum> crc = makeChecksum();
    PhoneLink link {*crc, ui};
    QObject events;  // context of a test's timers: none outlives the test

    LinkOnPty()
    {
        link.Comm1.setDevicePath(pty.slavePath());
        QString reason;
        if (!link.Comm1.open(&reason))
            throw std::runtime_error(reason.toStdString());
        link.Comm1.setReadLength(SerialPort::SingleByte);
    }
};
