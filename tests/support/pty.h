#pragma once

#include <QByteArray>
#include <QString>

// A pseudo-terminal pair: the program opens slavePath() through its own port code,
// the test reads and writes the master end as the phone.
class Pty
{
public:
    Pty();
    ~Pty();
    Pty(const Pty &) = delete;
    Pty &operator=(const Pty &) = delete;

    QString slavePath() const { return m_slavePath; }
    int master() const { return m_master; }

    // What the phone sends.
    void send(const QByteArray &bytes) const;
    // What the program sent: exactly count bytes, waiting at most timeoutMs.
    QByteArray receive(int count, int timeoutMs = 2000) const;
    // Everything the program has sent so far, waiting quietMs for stragglers.
    QByteArray drain(int quietMs = 50) const;
    // Bytes sent by the phone that the program has not read yet.
    int waiting() const;
    // Forgets whatever either side left unread.
    void discardQueues() const;

    // The phone goes away: the program's side sees a hang-up.
    void closeMaster();
    void dropKeeper();

private:
    int m_master = -1;
    int m_keeper = -1;
    QString m_slavePath;
};
