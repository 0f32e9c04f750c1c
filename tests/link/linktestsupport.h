#pragma once

// Shared pieces of the link tests: a scripted phone on a pseudo-terminal, and a
// link opened on one.

#include "linkaccess.h"
#include "phonelink.h"
#include "pty.h"
#include "recordingevents.h"
#include "testchecksum.h"

#include <QByteArray>
#include <QElapsedTimer>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <poll.h>
#include <stdexcept>
#include <thread>
#include <unistd.h>
#include <vector>

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
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

// A link on a fresh pseudo-terminal, opened in single-byte mode as after the handshake.
struct LinkOnPty
{
    Pty pty;
    RecordingEvents events;
    std::unique_ptr<Checksum> crc = makeChecksum();
    PhoneLink link{*crc, events};
    QObject timers; // context of a test's timers: none outlives the test

    LinkOnPty()
    {
        QString reason;
        if (!PhoneLinkTestAccess::openAsConnected(link, pty.slavePath(), &reason))
            throw std::runtime_error(reason.toStdString());
    }
};
