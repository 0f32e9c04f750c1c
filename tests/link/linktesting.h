#pragma once

// What the link tests share: a line and its BFB link on a fresh pseudo-terminal whose
// master end plays the phone, a phone that answers on its own thread while the program
// blocks in a pause, and the recorded answers of real phones.

#include "bfbbytes.h"
#include "bfblink.h"
#include "linkaccess.h"
#include "pty.h"
#include "recordedexchanges.h"
#include "recordingevents.h"
#include "serialline.h"

#include <QObject>
#include <QTimer>

#include <atomic>
#include <memory>
#include <mutex>
#include <poll.h>
#include <stdexcept>
#include <thread>
#include <unistd.h>
#include <vector>

// Timings of the mending, scaled down; the phone's pauses are far longer than the quiet.
constexpr int QuietMs = 10;
constexpr int PauseMs = 10 * QuietMs;
constexpr int ResendMs = 300;
constexpr int TimeoutMs = 1500;

// A line and its BFB link on a fresh pseudo-terminal, opened in single-byte mode as
// after the handshake, or left for the connect procedure to open.
struct LinkOnPty
{
    Pty pty;
    RecordingEvents events;
    std::unique_ptr<Checksum> crc = makeChecksum();
    SerialLine line{events, events};
    BfbLink bfb{line, *crc, events};
    QObject timers; // context of a test's timers: none outlives the test

    explicit LinkOnPty(bool opened = true)
    {
        QString reason;
        line.setDevicePath(pty.slavePath());
        if (opened && !LinkTestAccess::openAsConnected(line, pty.slavePath(), &reason))
            throw std::runtime_error(reason.toStdString());
        line.setQuietInterval(QuietMs);
        bfb.setResendInterval(ResendMs);
        line.setTimeoutInterval(TimeoutMs);
    }
};

// Sends each piece after the one before, delayMs apart (the first after delayMs).
inline void sendSpaced(LinkOnPty &t, const QList<QByteArray> &pieces, int delayMs)
{
    for (qsizetype i = 0; i < pieces.size(); ++i)
        QTimer::singleShot(int(i + 1) * delayMs, &t.timers, [&t, piece = pieces[i]] { t.pty.send(piece); });
}

// A phone on its own thread, so that it answers while the program blocks in a
// pause. Each rule waits for its request at the start of the unanswered input and
// then sends its reply.
class ScriptedPhone
{
public:
    struct Rule
    {
        QByteArray request;
        QByteArray reply;
    };

    ScriptedPhone(const Pty &pty, std::vector<Rule> rules)
        : m_pty(pty), m_rules(std::move(rules)), m_thread([this] { serve(); })
    {}
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
            pollfd p{m_pty.master(), POLLIN, 0};
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
            }
        }
    }

    const Pty &m_pty;
    std::vector<Rule> m_rules;
    mutable std::mutex m_mutex;
    QByteArray m_received;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

using Rule = ScriptedPhone::Rule;

// The answer of the first exchange of a recording in tests/data.
inline QByteArray recordedAnswer(const char *file)
{
    return loadRecording(QLatin1String(file)).value(0).answer;
}
