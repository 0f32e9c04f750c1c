#pragma once

#include "phonelink.h"

#include <QByteArray>
#include <QString>

#include <functional>
#include <optional>

// The connect procedure: brings the phone from a plain serial line to an open OBEX
// connection (AT wake-up, model, BFB mode, BFB set-up frames, OBEX CONNECT) and
// reports each step as an event. It runs blocking on the GUI thread; the pauses
// stop the thread, and only the root listing at the end yields.
class PhoneConnector
{
public:
    // Lists the root folder once the link is up.
    using ListRoot = std::function<void()>;

    // Set-up frames written after "AT^SBFB=1", and the prebuilt CONNECT block in
    // its two frames (sequence number 0, CRC 0xE321 split over the frames).
    // Defined here (inline) so that they are initialised before any user's statics.
    static inline const QByteArray SetupFrame = QByteArray::fromHex("0201030C");
    static inline const QByteArray SpeedFrame =
        QByteArray::fromHex("010908C0") + QByteArray("57600") + QByteArray::fromHex("CA89CF");
    static inline const QByteArray SifsFrame = QByteArray::fromHex("06080E") + QByteArray("at^sifs\r");
    static inline const QByteArray ConnectFrames =
        QByteArray::fromHex("162036"
                            "02FD00001A" // command, complement, sequence 0, length 26
                            "80001A10004006" // CONNECT, length 26, version 1.0, flags, max packet 0x4006
                            "460013" // Target header, length 19
                            "6B01CB31410611D49A770050DA3F471F" // service identifier
                            "21" // CRC low byte
                            "160117E3"); // CRC high byte alone in the second frame
    static constexpr int ConnectReplyMinimum = 47;
    // A phone that takes a speed frame answers it with this in place of its 0xC0.
    static constexpr quint8 SpeedAccepted = 0xCC;

    // The speed frames Siemens phones know, in the form of SpeedFrame (payload 0xC0,
    // the rate in ASCII digits, three check bytes), for 19200, 38400, 57600 and
    // 115200 baud; nothing for any other rate.
    static std::optional<QByteArray> speedFrameFor(int baud);

    explicit PhoneConnector(PhoneLink &link);

    // The click procedure of the hidden `Command1`. With the link state "enable" it
    // attempts a connection and, once the link is up, calls listRoot; with
    // "Disable" it closes the link and reports nothing. A port that cannot be
    // opened (missing, busy or not permitted) is reported and leaves the state
    // "enable", so that the next run retries. True when the link came up.
    bool run(const ListRoot &listRoot);

    // The rate asked for at the speed step; 57600 (the start) unless set. Another
    // rate's frame is sent first: a phone that confirms it gets the port switched to
    // it, one that does not stays at 57600 and the usual 57600 step follows. False for
    // a rate without a speed frame, which leaves the setting as it was.
    bool setSpeed(int baud);
    int speed() const { return m_speed; }

    // The model characters of the last successful attempt.
    QString model() const { return m_model; }

private:
    // Reports the failed step, closes the port and sets the state "enable".
    void ConnectError(ConnectFailure step);
    void step(ConnectStep reached);
    // Writes text with CR LF, pauses 500 ms, reads the whole queue.
    QByteArray command(const QByteArray &text);
    // The speed step: the chosen rate's frame, or (at 57600, and after a phone that
    // did not confirm another rate) the 57600 frame. False when the link is lost there.
    bool speedStep();

    PhoneLink &m_link;
    PhoneEvents &m_events;
    QString m_model;
    int m_speed = SerialPort::StartBaudRate;
};
