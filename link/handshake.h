#pragma once

#include "linkchoice.h"
#include "phoneevents.h"
#include "phonefamily.h"
#include "serialport.h"

#include <QByteArray>
#include <QString>

#include <functional>
#include <optional>

class BfbLink;
class SerialLine;

// The connect procedure: brings the phone from a plain serial line to an open OBEX
// connection (AT wake-up, model, BFB mode, BFB set-up frames, OBEX CONNECT; or
// "AT^SQWE=0", "AT^SQWE=3" and the CONNECT in plain OBEX) and
// reports each step as an event; and its counterpart that leaves the phone as it was
// found. It runs blocking on the GUI thread; each step reads until its answer is in or
// its cap runs out, and only the root listing at the end yields.
//
// A phone keeps the mode a client put it in: a session that could not close (killed,
// crashed, cable pulled, or the next one started before the phone had taken the
// escape from plain OBEX) leaves it in BFB mode, where it ignores text, or in plain
// OBEX, perhaps at a raised rate, where it hears nothing else. So the wake-up asks, at
// each rate it may listen at, by the ABORT whether the phone is in plain OBEX and by
// the BFB ping whether it is in BFB mode (and brings it back to AT mode); then it
// wakes it with "at" as usual.
class PhoneConnector
{
public:
    // Lists the root folder once the link is up.
    using ListRoot = std::function<void()>;

    // The CONNECT's answer counts once this many bytes are in.
    static constexpr int ConnectReplyMinimum = 47;
    // Plain OBEX: the check for a phone left in OBEX mode, its answer there, and the
    // escape back to AT mode (after a second of silence, no CR).
    static inline const QByteArray AbortPacket = QByteArray::fromHex("FF0003");
    static inline const QByteArray AbortAnswer = QByteArray::fromHex("A00003");
    static inline const QByteArray Escape = QByteArray("+++");
    // Where a phone may listen: the start rate first, then the others phones know.
    static constexpr int SearchRates[] = {57600, 115200, 19200, 38400, 230400};

    // The OBEX packets that open the connection once the link is set up and close it
    // when the phone is left. link, bfb and events must outlive the connector.
    PhoneConnector(SerialLine &link, BfbLink &bfb, ConnectEvents &events, QByteArray connectRequest,
                   QByteArray disconnectRequest);

    // One run of the connect procedure. With the link state "enable" it
    // attempts a connection and, once the link is up, calls listRoot; with
    // "Disable" it closes the link and reports nothing. A port that cannot be
    // opened (missing, busy or not permitted) is reported and leaves the state
    // "enable", so that the next run retries. True when the link came up.
    bool run(const ListRoot &listRoot);

    // Leaves the phone as it was found: OBEX DISCONNECT, back to 57600 baud when the
    // rate was raised, then "AT^SBFB=0"; then the port is closed and the state is
    // "enable". A phone left in BFB mode by a lost link is reached through the port
    // opened again. Bounded: a silent phone costs at most about 1.5 s. Never throws.
    void close();
    // The same leaving, in a child process that inherits the port (see Leaver): returns
    // at once, and the port stays held, marked as being left, until the phone is back in
    // AT mode. With nothing to leave, or no child to be had, it is close().
    void closeInBackground();
    // The leaving comes next: a new session on the port waits for it from now on.
    void markLeaving();

    // The rate asked for; 57600 (the start) unless set. In BFB mode at the speed step:
    // another rate's frame is sent first, a phone that confirms it gets the port
    // switched to it, one that does not (or a rate without a frame) stays at 57600 and
    // the usual 57600 step follows. In plain OBEX the AT commands themselves run at the
    // rate, which also may be PlainOnlyRate. False for any other rate, which leaves the
    // setting as it was.
    bool setSpeed(int baud);
    int speed() const { return m_speed; }

    // Why the last attempt failed, with the port's error for PortUnavailable; nothing
    // when it came up or closed the link.
    std::optional<ConnectFailure> failure() const { return m_failure; }
    SerialPort::OpenError portError() const { return m_portError; }

    // The model characters of the last successful attempt.
    QString model() const { return m_model; }
    // The phone's answer to the CONNECT of the last successful attempt: its OBEX packet
    // (empty when a BFB answer held no sound block).
    QByteArray connectResponse() const { return m_connectResponse; }

    // Which way the next attempt tries first; BfbFirst unless set.
    void setLinkChoice(LinkChoice choice) { m_choice = choice; }
    LinkChoice linkChoice() const { return m_choice; }
    // How the last attempt connected.
    LinkMode linkMode() const { return m_mode; }
    // The family of the model the last attempt was told (x55/x60 when it was told none).
    const PhoneFamily &family() const { return *m_family; }
    // What the phone answered to "AT^SIFS" in the last attempt (plain OBEX only).
    PhoneInterface phoneInterface() const { return m_interface; }
    // Whether closing leaves the phone in plain OBEX: it was found there (nothing says
    // which cable it is on), or it is on USB, where "+++" is not known to end it. The
    // next session finds it there with the ABORT check.
    bool leavesPhoneInObex() const { return m_foundInObex || m_interface == PhoneInterface::Usb; }
    bool foundInObex() const { return m_foundInObex; }

private:
    // Opens the port; one held by a session of ours that is leaving the phone is waited for.
    bool openPort();
    // Reports the failed step, closes the port and sets the state "enable".
    void ConnectError(ConnectFailure step);
    // The phone is as this program found it: nothing to undo at the close.
    void forgetPhoneState();
    void step(ConnectStep reached);
    // Writes text with CR LF and reads until an "OK" line is in or capMs have passed.
    QByteArray command(const QByteArray &text, int capMs);
    // Where the search found the phone.
    enum class Found {
        AtMode, // woken: "at" got "OK" at the start rate
        ObexMode, // in plain OBEX; the port at its rate
        Nowhere,
    };
    // Finds the phone wherever a client left it: in AT mode at any rate, in BFB mode at
    // any rate (then back to AT mode and woken), or in plain OBEX at any rate (not asked
    // again at the start rate when obexAsked).
    Found wake(bool obexAsked);
    // "at" up to tries times at the port's rate, within capMs in all.
    bool atAnswered(int capMs, int tries);
    // True when a phone in BFB mode answers the ping at the port's rate.
    bool pinged();
    // A phone found in BFB mode at the port's rate: to AT mode, then "at" at the start rate.
    bool backToAtMode();
    // The leave frames of close() once the OBEX connection is gone.
    void leaveBfb();
    // The speed step: the chosen rate's frame, or (at 57600, and after a phone that
    // did not confirm another rate) the 57600 frame. False when the link is lost there.
    bool speedStep();
    // The BFB steps from "AT^SBFB=1" to the CONNECT answer; nullopt when they worked,
    // else the failed step (the phone then left BFB mode).
    std::optional<ConnectFailure> connectBfb();

    enum class PlainSwitch {
        Done,
        Refused, // "AT^SQWE=0" or "AT^SQWE=3" got no "OK": the phone is still in AT mode
        RateRefused, // no "OK" to "at" at the rate asked for
    };
    // A phone left in OBEX mode answers the ABORT at the port's rate.
    bool inObexMode();
    // The port at the rate asked for, then "AT^SIFS", "AT^SQWE=0" and "AT^SQWE=3".
    PlainSwitch switchToPlain();
    // "AT^SIFS": the interface the phone names; Unknown for ERROR or no answer.
    PhoneInterface askInterface();
    // After switchToPlain: the CONNECT and the root listing, or the failure.
    bool runPlain(PlainSwitch switched, const ListRoot &listRoot);
    // The CONNECT in plain OBEX; true when the phone accepted it.
    bool connectPlain();
    // DISCONNECT, a second's silence, "+++" and the phone's "OK" where its family sends
    // one; only the DISCONNECT where the phone is left in plain OBEX.
    void leavePlain();
    // The end of a successful attempt: link up, root listed.
    bool linkUp(const ListRoot &listRoot);

    SerialLine &m_link;
    BfbLink &m_bfb;
    ConnectEvents &m_events;
    const QByteArray m_connectRequest;
    const QByteArray m_disconnectRequest;
    QString m_model;
    std::optional<ConnectFailure> m_failure;
    SerialPort::OpenError m_portError = SerialPort::OpenError::None;
    int m_speed = SerialPort::StartBaudRate;
    // Whether this program left the phone in BFB mode or plain OBEX, at which rate,
    // with OBEX open; all four back to the phone as found by forgetPhoneState().
    bool m_phoneInBfb = false;
    int m_phoneRate = SerialPort::StartBaudRate;
    bool m_obexOpen = false;
    bool m_phoneInPlain = false;
    bool m_foundInObex = false; // the last attempt found the phone in plain OBEX
    PhoneInterface m_interface = PhoneInterface::Unknown;
    // The phone's CONNECT answer as read (BFB frames, or the plain packet), and its packet.
    QByteArray m_connectAnswer;
    QByteArray m_connectResponse;
    // The last BFB set-up frame got no byte back at all.
    bool m_bfbSetupUnanswered = false;
    LinkChoice m_choice = LinkChoice::BfbFirst;
    LinkMode m_mode = LinkMode::Bfb;
    const PhoneFamily *m_family = &phoneFamilyOf({});
    int m_markFd = -1; // the leaving mark, once markLeaving() took it
};
