#pragma once

#include "bfbreceiver.h"
#include "checksum.h"
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

// The phone link: the port, the byte receive with its per-byte time-out, the fatal
// receive exits, the blocking pauses, the waiting-bytes monitors, the link state and
// the BFB frame layer with its sequence counter. Each front end owns exactly one; the
// connect procedure and the OBEX operations reach the phone only through it.
// Everything runs on the GUI thread.
//
// Line faults are mended where the link can: a reply that fails its checks is
// dropped unacknowledged and the phone sends it again; a block of the phone's sent
// again because the acknowledgement was lost is acknowledged again and dropped; a
// block of the program's that is not acknowledged in time is sent again.
//
// Fatal link errors (a time-out, three bad replies in a row): the link reports
// PhoneEvents::linkLost, then closes the port, stops Timer2, sets the state
// "enable" and throws LinkLost. Nothing of the interrupted operation runs on; the
// exception unwinds to the front end, which may connect again later. The window
// ends the program inside linkLost instead.
class SerialLine : public QObject
{
    Q_OBJECT

public:
    // One reply of the phone: a link acknowledgement or the packet of a data block.
    struct Reply
    {
        enum class Kind {
            Acknowledge,
            Packet,
        };
        Kind kind;
        QByteArray packet; // empty for an acknowledgement

        bool isAcknowledge() const { return kind == Kind::Acknowledge; }
    };

    // The link acknowledgement frame (command 0x01 and its complement).
    static inline const QByteArray AckFrame = QByteArray::fromHex("16021401FE");
    static constexpr int MaxFramePayload = 32; // for frames the program sends
    static constexpr int DefaultTimeoutMs = 20000;
    static constexpr int MonitorPeriodMs = 1000;
    // How long a block waits for its link acknowledgement before it goes again, and how
    // often it goes again: the largest block of the program's takes 0.6 s on the wire
    // at 19200 baud, which leaves a slow phone over four seconds; three resends fit
    // into the receive time-out, which still ends the wait for a silent phone.
    static constexpr int DefaultResendMs = 5000;
    static constexpr int MaxResends = 3;
    // The line counts as quiet (the rest of a damaged reply is gone) after this long
    // without a byte: far above the gaps inside a reply, far below a phone's resend.
    static constexpr int DefaultQuietMs = 100;
    // Bad replies in a row that end the link: the phone keeps sending nonsense.
    static constexpr int MaxBadReplies = 3;
    // How much longer than the pause it once made a step of the connect procedure waits
    // for a slow phone's answer (scaled like the pauses).
    static constexpr int SlowAnswerGraceMs = 2000;

    // Starts Timer1 (the monitor that runs from start-up). crc and events must outlive the link.
    SerialLine(Checksum &crc, PhoneEvents &events, QObject *parent = nullptr);
    ~SerialLine() override;

    PhoneEvents &events() const { return m_events; }
    Checksum &crc() const { return Crc; }

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
    // The port's rate: 57600 from every open; the connect procedure's speed step may change it.
    bool setLineRate(int baud) { return Comm1.setBaudRate(baud); }
    int lineRate() const { return Comm1.baudRate(); }

    // Set only by the expiry of the time-out; only a new connection attempt clears it.
    bool timedOut() const { return TimedOut; }
    // Receive time-out per byte; tests scale it down.
    void setTimeoutInterval(int ms);
    // The wait for a link acknowledgement before a block goes again; tests scale it down.
    void setResendInterval(int ms);
    // The quiet that ends the draining of a damaged reply; tests scale it down.
    void setQuietInterval(int ms);
    // Period of both monitors; tests shorten it.
    void setMonitorInterval(int ms);
    // Pauses are multiplied by this factor (1 in the program; tests shorten them).
    void setPauseScale(double scale);
    // Blocks the thread completely for ms milliseconds (scaled): no events, no timers.
    void pause(int ms);

    LinkState linkState() const { return m_linkState; }
    // The sequence number of the next data block: 1 at start and at every
    // connection attempt, advanced once per block sent, 255 wrapping to 0.
    qint16 bfbSequence() const { return BfbSequence; }

    // The connect procedure's steps on the link.
    // A new attempt: the counter back to 1. With the state "enable" the state
    // becomes "Disable" and true is returned; otherwise the link is closed (state
    // "enable", port closed, Timer2 stopped) and false is returned.
    bool beginAttempt();
    // Opens the port in whole-queue mode for the AT dialogue.
    bool openPort();
    SerialPort::OpenError openError() const { return Comm1.openError(); }
    // Writes bytes as they are, in one write.
    bool writeRaw(const QByteArray &bytes);
    // Everything waiting (whole-queue mode), possibly nothing; never waits.
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
    // Sends the OBEX DISCONNECT in a data block with the next sequence number and reads
    // the phone's answer, acknowledging each of its blocks, for at most capMs (scaled).
    // Never throws: a phone that does not answer is simply not waited for longer.
    bool disconnectObex(int capMs);
    // The attempt failed: port closed, state "enable".
    void abandonAttempt();
    // The link is closed: counter back to 1, port closed, Timer2 stopped, state "enable".
    void endLink();
    // The CONNECT was answered (connectAnswer: everything read for it): single-byte
    // mode, the link acknowledgement, Timer2 running. The phone's block in the answer
    // counts as accepted, so that a resend of it is known as a repeat.
    void linkUp(const QByteArray &connectAnswer);
    // The CONNECT was answered in plain OBEX (answer: the phone's packet): single-byte
    // mode, Timer2 running.
    void plainLinkUp(const QByteArray &answer);
    // The largest OBEX packet the phone's CONNECT answer announced; nothing when it
    // announced none or one below the 255 bytes every OBEX peer takes.
    std::optional<int> phoneMaxPacket() const { return m_phoneMaxPacket; }

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
    // for every byte; when it expires AbortOnTimeout ends the link.
    quint8 ReadByte();
    // The next bytes of a reply: waits for one as ReadByte does, then takes what else
    // is waiting, at most maxBytes in all.
    QByteArray ReadBytes(int maxBytes);
    // Reads and drops bytes until the line has been quiet for the quiet interval; a
    // line that never falls quiet ends the link (AbortOnBadData).
    void drainLine();
    // The receive time-out per byte, in ms.
    int timeoutInterval() const { return TimeoutTimer.interval(); }

    // The fatal exits: linkLost, port closed, LinkLost thrown.
    [[noreturn]] void AbortOnTimeout();
    [[noreturn]] void AbortOnBadData();

    // Sends one complete data block (header, packet, CRC already appended) in frames
    // of at most 32 payload bytes, one write per frame, advances BfbSequence, then
    // awaits the phone's link acknowledgement (see awaitAcknowledgement).
    void SendPacket(const QByteArray &block);
    // One complete reply that passed its checks. A repeat of the block accepted just
    // before is acknowledged again and dropped, and so is an acknowledgement owed to
    // a block sent twice. Three bad replies in a row end the link (AbortOnBadData).
    Reply ReceiveReply();
    // Writes the link acknowledgement frame; reads nothing.
    void SendAck();
    // Writes complete prebuilt frames in one write, advances BfbSequence and awaits the
    // link acknowledgement, as SendPacket does.
    void SendPrebuilt(const QByteArray &frames);
    // The frames SendPacket writes for a block, joined for one write.
    QByteArray framed(const QByteArray &block);

private:
    friend struct SerialLineTestAccess; // tests set the counter and open the port directly

    // The writes of one block, kept to send it again.
    using BlockWrites = QList<QByteArray>;
    struct AckWait;

    void setLinkState(LinkState state);
    long scaled(int ms) const; // a pause's length with the pause scale
    // A new attempt or a lost link: no reply in progress, none accepted yet.
    void forgetReplies();
    void advanceSequence(); // 255 -> 0, else +1
    void writeBlock(const BlockWrites &writes);
    // A block cut into frames of at most 32 payload bytes, one write each.
    BlockWrites frames(const QByteArray &block);
    // Reads replies until the acknowledgement of the block just written, sending it
    // again when it does not come in time. A data block in its place means the
    // acknowledgement was lost: the block is the response (kept for ReceiveReply).
    void awaitAcknowledgement(const BlockWrites &writes);
    // The next reply that passes its checks; bad ones are dropped (the rest drained
    // when its extent is unknown), the third in a row ends the link. With a wait, the
    // block goes again when its time is up and no reply is under way.
    BfbReceiver::Reply nextSoundReply(AckWait *wait);
    bool isRepeat(const BfbReceiver::Reply &reply) const;
    void acknowledgeRepeat();
    // The next byte; nullopt when resendable and the resend time is up first. The
    // receive time-out keeps running across such a return.
    std::optional<quint8> waitForByte(bool resendable);
    // Sleeps in the event loop until the port has data, a timer fires or another
    // event arrives. A port readable without data (hung up) is no longer watched.
    void sleepForEvents(bool &watchPort);
    // A frame 0x16, L, Xor(0x16, L), payload (payload at most 255 bytes).
    QByteArray dataFrame(const QByteArray &payload);
    void showWaitingBytes();
    [[noreturn]] void abortWith(LinkLoss loss);
    void throwIfStopRequested() const;
    void ensureNotifier();

    PhoneEvents &m_events;
    Checksum &Crc;
    SerialPort Comm1;
    QTimer TimeoutTimer; // single shot, restarted for every byte awaited
    QTimer Timer1; // monitor, running from start-up; stopped during uploads
    QTimer Timer2; // monitor, started when a connection is established
    QTimer ResendTimer; // single shot, from each write of a block until its acknowledgement
    QTimer QuietTimer; // single shot, restarted by every byte while a damaged reply drains
    qint16 BfbSequence = 1;
    bool TimedOut = false;
    bool m_resendDue = false;
    BfbReceiver m_receiver;
    // The sequence number of the phone's block accepted last: a block carrying it again
    // is a repeat.
    std::optional<quint8> m_lastAccepted;
    std::optional<int> m_phoneMaxPacket;
    // A response that came in place of a lost acknowledgement, for the next ReceiveReply.
    std::optional<QByteArray> m_heldResponse;
    // Acknowledgements still due for blocks sent more than once; one that comes where a
    // response is awaited is dropped.
    int m_surplusAcks = 0;
    LinkState m_linkState = LinkState::Enable;
    double m_pauseScale = 1.0;
    std::unique_ptr<QSocketNotifier> m_notifier;
    bool m_dataSignalled = false;
    std::function<bool()> m_stopRequested;
};
