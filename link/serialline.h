#pragma once

#include "phoneevents.h"
#include "serialport.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>
#include <QTimer>

#include <functional>
#include <memory>
#include <optional>

class QSocketNotifier;

// The serial line to the phone: the port, the byte receive with its per-byte time-out,
// the fatal receive exits, the blocking pauses, the waiting-bytes monitors and the link
// state. It knows no framing: the BFB link and the plain OBEX transport read and write
// through it, and so does the connect procedure. Each front end owns exactly one.
// Everything runs on the GUI thread.
//
// Fatal link errors (a time-out, a reply beyond repair): the line reports
// TransferEvents::linkLost, then closes the port, stops Timer2, sets the state "enable"
// and throws LinkLost. Nothing of the interrupted operation runs on; the exception
// unwinds to the front end, which may connect again later.
class SerialLine : public QObject
{
    Q_OBJECT

public:
    static constexpr int DefaultTimeoutMs = 20000;
    static constexpr int MonitorPeriodMs = 1000;
    // The line counts as quiet (the rest of a damaged reply is gone) after this long
    // without a byte: far above the gaps inside a reply, far below a phone's resend.
    static constexpr int DefaultQuietMs = 100;
    // How much longer than the pause it once made a step of the connect procedure waits
    // for a slow phone's answer (scaled like the pauses).
    static constexpr int SlowAnswerGraceMs = 2000;

    // Starts Timer1 (the monitor that runs from start-up). The link state goes to
    // connectEvents; the monitors' figures and a lost link to transferEvents. Both must
    // outlive the line.
    SerialLine(ConnectEvents &connectEvents, TransferEvents &transferEvents, QObject *parent = nullptr);
    ~SerialLine() override;

    // The port. Its number and device take effect at the next connection attempt,
    // RTS at once.
    void setPortNumber(int number) { Comm1.setPortNumber(number); }
    void setDevicePath(const QString &path) { Comm1.setDevicePath(path); }
    QString devicePath() const { return Comm1.devicePath(); }
    QString openedDevicePath() const { return Comm1.openedDevicePath(); }
    void setRts(bool raised) { Comm1.setRts(raised); }
    // Writes every byte of both directions to a byte trace in path from now on (see
    // LineTrace). False with the reason when the file cannot be written.
    bool traceTo(const QString &path, QString *reason = nullptr) { return Comm1.startTrace(path, reason); }
    bool rts() const { return Comm1.rts(); }
    bool isPortOpen() const { return Comm1.isOpen(); }
    int bytesWaiting() const { return Comm1.bytesWaiting(); }
    void closePort() { Comm1.close(); }
    // The open descriptor, or -1; and the byte trace's.
    int portFd() const { return Comm1.fd(); }
    int traceFd() const { return Comm1.traceFd(); }
    // The port's rate: 57600 from every open; the connect procedure's speed step may change it.
    bool setLineRate(int baud) { return Comm1.setBaudRate(baud); }
    int lineRate() const { return Comm1.baudRate(); }

    // Set only by the expiry of the time-out; only a new connection attempt clears it.
    bool timedOut() const { return TimedOut; }
    // Receive time-out per byte; tests scale it down.
    void setTimeoutInterval(int ms);
    // The quiet that ends the draining of a damaged reply; tests scale it down.
    void setQuietInterval(int ms);
    int quietInterval() const { return m_quietTimer.interval(); }
    // Period of both monitors; tests shorten it.
    void setMonitorInterval(int ms);
    // Pauses are multiplied by this factor (1 in the program; tests shorten them).
    void setPauseScale(double scale);
    // Blocks the thread completely for ms milliseconds (scaled): no events, no timers.
    void pause(int ms);

    LinkState linkState() const { return m_linkState; }
    // The connect procedure's steps on the link.
    // A new attempt. With the state "enable" the state becomes "Disable" and true is
    // returned; otherwise the link is closed (state "enable", port closed, Timer2
    // stopped) and false is returned.
    bool beginAttempt();
    // Opens the port in whole-queue mode for the AT dialogue.
    bool openPort();
    SerialPort::OpenError openError() const { return Comm1.openError(); }
    // Writes bytes as they are, in one write.
    bool writeRaw(const QByteArray &bytes);
    // Everything waiting, whatever the read length, possibly nothing; never waits.
    QByteArray readQueue();
    // Everything waiting and, while complete() says the answer is not whole yet, what
    // arrives in the next SlowAnswerGraceMs (scaled like the pauses). Blocks the thread,
    // woken by each arrival; a stop asked for (setStopRequest) ends it with LinkInterrupted.
    QByteArray readQueueUntil(const std::function<bool(const QByteArray &)> &complete);
    // The same within capMs (scaled like the pauses) from now, whatever arrived before;
    // with quietMs, the wait also ends once the line has been quiet that long (scaled).
    QByteArray readQueueUntil(const std::function<bool(const QByteArray &)> &complete, int capMs, int quietMs = 0);
    // Throws LinkInterrupted from every wait for the phone once stopRequested() says so.
    void setStopRequest(std::function<bool()> stopRequested) { m_stopRequested = std::move(stopRequested); }
    bool stopRequested() const { return m_stopRequested && m_stopRequested(); }
    // The attempt failed: port closed, state "enable".
    void abandonAttempt();
    // The link is closed: port closed, Timer2 stopped, state "enable".
    void endLink();
    // The same, with the port handed over to a child that inherited it (see SerialPort::handOver).
    void handOverLink();
    // The phone answered the CONNECT: single-byte mode, Timer2 running.
    void lineUp();

    // Stops Timer1 for its lifetime (an upload).
    class QuietMonitor
    {
    public:
        explicit QuietMonitor(SerialLine &link) : m_link(link) { m_link.Timer1.stop(); }
        ~QuietMonitor() { m_link.Timer1.start(); }
        QuietMonitor(const QuietMonitor &) = delete;
        QuietMonitor &operator=(const QuietMonitor &) = delete;

    private:
        SerialLine &m_link;
    };

    // Next received byte. Yields to the event loop while it waits (sleeping until
    // data, a timer or another event arrives; never spinning). The time-out restarts
    // for every byte; when it expires, or the device goes away, AbortOnTimeout ends
    // the link.
    quint8 ReadByte();
    // The next byte as ReadByte waits for it, except that the time-out is started only
    // when it is not running already, and the wait ends with nothing once giveUp()
    // says so (the time-out then runs on). The BFB link sends a block again there.
    std::optional<quint8> nextByte(const std::function<bool()> &giveUp);
    // The next bytes of a reply: waits for one as ReadByte does, then takes what else
    // is waiting, at most maxBytes in all.
    QByteArray readBytes(int maxBytes);
    // Reads and drops bytes until the line has been quiet for the quiet interval; a
    // line that never falls quiet ends the link (AbortOnBadData).
    void drainLine();
    // The receive time-out per byte, in ms.
    int timeoutInterval() const { return TimeoutTimer.interval(); }
    // No byte is awaited any more (a wait ended by a stop asked for): the time-out stops.
    void stopTimeout() { TimeoutTimer.stop(); }

    // The fatal exits: linkLost, port closed, LinkLost thrown.
    [[noreturn]] void AbortOnTimeout();
    [[noreturn]] void AbortOnBadData();

private:
    friend struct LinkTestAccess; // tests open the port directly

    void setLinkState(LinkState state);
    long scaled(int ms) const; // a pause's length with the pause scale
    // The next byte; nullopt when giveUp() says so first. The receive time-out keeps
    // running across such a return.
    std::optional<quint8> waitForByte(const std::function<bool()> &giveUp);
    // Sleeps in the event loop until the port has data, a timer fires or another
    // event arrives. A port readable without data is no longer watched.
    void sleepForEvents(bool &watchPort);
    void showWaitingBytes();
    [[noreturn]] void abortWith(LinkLoss loss);
    void throwIfStopRequested() const;
    void ensureNotifier();

    ConnectEvents &m_connectEvents;
    TransferEvents &m_transferEvents;
    SerialPort Comm1;
    QTimer TimeoutTimer; // single shot, restarted for every byte awaited
    QTimer Timer1; // monitor, running from start-up; stopped during uploads
    QTimer Timer2; // monitor, started when a connection is established
    QTimer m_quietTimer; // single shot, restarted by every byte while a damaged reply drains
    bool TimedOut = false;
    LinkState m_linkState = LinkState::Enable;
    double m_pauseScale = 1.0;
    std::unique_ptr<QSocketNotifier> m_notifier;
    bool m_dataSignalled = false;
    std::function<bool()> m_stopRequested;
};
