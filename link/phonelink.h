#pragma once

#include "checksum.h"
#include "phoneui.h"
#include "serialport.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QTimer>

#include <memory>

class QSocketNotifier;

// The phone link: the port, the byte receive with its per-byte time-out, the fatal
// receive exits, the blocking pauses, the waiting-bytes monitors and the BFB frame
// layer. The main window owns exactly one; the OBEX operations and the handshake
// reach the phone only through it. Everything runs on the GUI thread.
class PhoneLink : public QObject
{
    Q_OBJECT

public:
    // What ReceiveReply returns for a link acknowledgement. Compare with ==.
    static constexpr char Acknowledge[] = "Acknowledge";
    // The link acknowledgement frame (command 0x01 and its complement).
    static inline const QByteArray AckFrame = QByteArray::fromHex("16021401FE");
    static constexpr int MaxFramePayload = 32; // for frames the program sends
    static constexpr int DefaultTimeoutMs = 20000;
    static constexpr int MonitorPeriodMs = 1000;

    // Link state (the caption of the main window's hidden button `Command1`).
    static constexpr char LinkEnable[] = "enable"; // no link
    static constexpr char LinkDisable[] = "Disable"; // attempt running or link up

    // Starts Timer1 (the monitor that runs from start-up). Crc and ui must outlive the link.
    PhoneLink(Checksum &crc, PhoneUi &ui, QObject *parent = nullptr);
    ~PhoneLink() override;

    // Shared objects of the link, named as the rest of the program knows them.
    SerialPort Comm1;
    QTimer TimeoutTimer; // single shot, restarted for every byte awaited
    QTimer Timer1; // monitor, running from start-up; stopped during uploads
    QTimer Timer2; // monitor, started when a connection is established
    qint16 BfbSequence = 1; // sequence number of the next data block sent, 0..255
    Checksum &Crc;

    PhoneUi &ui() const { return m_ui; }

    // Set only by the expiry of TimeoutTimer, never cleared: a time-out ends the program.
    bool timedOut() const { return TimedOut; }
    // Receive time-out per byte; tests scale it down.
    void setTimeoutInterval(int ms);

    // Pauses are multiplied by this factor (1 in the program; tests shorten them).
    void setPauseScale(double scale);
    double pauseScale() const { return m_pauseScale; }
    // Blocks the thread completely for ms milliseconds (scaled): no events, no timers.
    void pause(int ms);

    QString linkState() const { return m_linkState; }
    void setLinkState(const QString &state); // LinkEnable or LinkDisable

    // Next received byte. Yields to the event loop while it waits (sleeping until
    // data, a timer or another event arrives; never spinning). The time-out restarts
    // for every byte; when it expires AbortOnTimeout ends the program.
    quint8 ReadByte();

    // Message box, port closed, PhoneUi::endProgram: nothing of the interrupted
    // operation runs after them.
    [[noreturn]] void AbortOnTimeout();
    [[noreturn]] void AbortOnBadData();

    // Sends one complete data block (header, packet, CRC already appended) in frames
    // of at most 32 payload bytes, one write per frame, advances BfbSequence, then
    // reads one reply (the phone's link acknowledgement) and drops it.
    void SendPacket(const QByteArray &block);
    // One complete reply: Acknowledge for a link acknowledgement, else the packet
    // bytes of one data block. Framing errors end the program (AbortOnBadData).
    QByteArray ReceiveReply();
    // Writes the link acknowledgement frame; reads nothing.
    void SendAck();

    // Helpers for requests the OBEX layer sends as prebuilt frames.
    void advanceSequence(); // 255 -> 0, else +1
    bool writeFrames(const QByteArray &frames); // one write, bytes as given
    // Appends CrcCalc over block[2..end] (sequence, length, packet), low byte first.
    void appendBlockCrc(QByteArray &block);
    // A frame 0x16, L, Xor(0x16, L), payload (payload at most 255 bytes).
    QByteArray dataFrame(const QByteArray &payload);

signals:
    void linkStateChanged(const QString &state);

private:
    void showWaitingBytes();
    [[noreturn]] void abortWith(const QString &text);
    void ensureNotifier();

    PhoneUi &m_ui;
    bool TimedOut = false;
    double m_pauseScale = 1.0;
    QString m_linkState = QString::fromLatin1(LinkEnable);
    std::unique_ptr<QSocketNotifier> m_notifier;
    bool m_dataSignalled = false;
};
