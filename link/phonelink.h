#pragma once

#include "checksum.h"
#include "phoneevents.h"
#include "serialport.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QTimer>

#include <memory>

class QSocketNotifier;

// The phone link: the port, the byte receive with its per-byte time-out, the fatal
// receive exits, the blocking pauses, the waiting-bytes monitors, the link state and
// the BFB frame layer with its sequence counter. Each front end owns exactly one; the
// connect procedure and the OBEX operations reach the phone only through it.
// Everything runs on the GUI thread.
//
// Fatal link errors (a time-out, a reply that breaks the framing): the link reports
// PhoneEvents::linkLost, then closes the port, stops Timer2, sets the state
// "enable" and throws LinkLost. Nothing of the interrupted operation runs on; the
// exception unwinds to the front end, which may connect again later. The window
// ends the program inside linkLost instead.
class PhoneLink : public QObject
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

    // Starts Timer1 (the monitor that runs from start-up). crc and events must outlive the link.
    PhoneLink(Checksum &crc, PhoneEvents &events, QObject *parent = nullptr);
    ~PhoneLink() override;

    PhoneEvents &events() const { return m_events; }
    Checksum &crc() const { return Crc; }

    // The port. Its number and device take effect at the next connection attempt,
    // RTS at once.
    void setPortNumber(int number) { Comm1.setPortNumber(number); }
    void setDevicePath(const QString &path) { Comm1.setDevicePath(path); }
    QString devicePath() const { return Comm1.devicePath(); }
    QString openedDevicePath() const { return Comm1.openedDevicePath(); }
    void setRts(bool raised) { Comm1.setRts(raised); }
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
    // The attempt failed: port closed, state "enable".
    void abandonAttempt();
    // The CONNECT was answered: single-byte mode, the link acknowledgement, Timer2 running.
    void linkUp();

    // Stops Timer1 for its lifetime (an upload).
    class QuietMonitor
    {
    public:
        explicit QuietMonitor(PhoneLink &link) : m_link(link) { m_link.Timer1.stop(); }
        ~QuietMonitor() { m_link.Timer1.start(); }
        QuietMonitor(const QuietMonitor &) = delete;
        QuietMonitor &operator=(const QuietMonitor &) = delete;

    private:
        PhoneLink &m_link;
    };

    // Next received byte. Yields to the event loop while it waits (sleeping until
    // data, a timer or another event arrives; never spinning). The time-out restarts
    // for every byte; when it expires AbortOnTimeout ends the link.
    quint8 ReadByte();

    // The fatal exits: linkLost, port closed, LinkLost thrown.
    [[noreturn]] void AbortOnTimeout();
    [[noreturn]] void AbortOnBadData();

    // Sends one complete data block (header, packet, CRC already appended) in frames
    // of at most 32 payload bytes, one write per frame, advances BfbSequence, then
    // reads one reply (the phone's link acknowledgement) and drops it.
    void SendPacket(const QByteArray &block);
    // One complete reply. Framing errors end the link (AbortOnBadData).
    Reply ReceiveReply();
    // Writes the link acknowledgement frame; reads nothing.
    void SendAck();
    // Writes complete prebuilt frames, advances BfbSequence and reads one reply:
    // true when it is the link acknowledgement.
    bool SendPrebuilt(const QByteArray &frames);

private:
    friend struct PhoneLinkTestAccess; // tests set the counter and open the port directly

    void setLinkState(LinkState state);
    void advanceSequence(); // 255 -> 0, else +1
    // A frame 0x16, L, Xor(0x16, L), payload (payload at most 255 bytes).
    QByteArray dataFrame(const QByteArray &payload);
    void showWaitingBytes();
    [[noreturn]] void abortWith(LinkLoss loss);
    void ensureNotifier();

    PhoneEvents &m_events;
    Checksum &Crc;
    SerialPort Comm1;
    QTimer TimeoutTimer; // single shot, restarted for every byte awaited
    QTimer Timer1; // monitor, running from start-up; stopped during uploads
    QTimer Timer2; // monitor, started when a connection is established
    qint16 BfbSequence = 1;
    bool TimedOut = false;
    LinkState m_linkState = LinkState::Enable;
    double m_pauseScale = 1.0;
    std::unique_ptr<QSocketNotifier> m_notifier;
    bool m_dataSignalled = false;
};
