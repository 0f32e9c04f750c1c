#include "handshake.h"

#include "bfblink.h"
#include "leaver.h"
#include "serialline.h"

#include <QDeadlineTimer>
#include <QThread>

#include <unistd.h>

#include <algorithm>
#include <span>
#include <utility>

namespace {

// Caps of the steps: each reads until its answer is in, for at least the pause the
// step once waited for in full, and a slow phone gets a while longer.
constexpr int AtCapMs = 500 + SerialLine::SlowAnswerGraceMs;
// The first "at" gets the old pause alone; after the search a phone that missed it (just
// out of BFB mode, or taking a ping for text) gets it twice more, each as long: the
// recorded phones answer "at" within 73 ms.
constexpr int FirstAtCapMs = 500;
constexpr int SlowAtTries = 2;
constexpr int AtTries = 3;
constexpr int FrameCapMs = 600 + SerialLine::SlowAnswerGraceMs;
constexpr int ConnectCapMs = 1200 + SerialLine::SlowAnswerGraceMs;
constexpr int SetupReplyMinimum = 4;
// A phone changes its rate about this long after its answer to a speed frame.
constexpr int SpeedSwitchPauseMs = 100;
// The search: a BFB-mode phone answers a frame within a few ms, once it has sent what it
// was sending (a block of a client that vanished, up to 16 KB: about 3 s at 57600
// baud); a quiet line means no answer. An AT-mode phone at a rate other than the start
// rate gets one "at", for three times as long as the slowest recorded answer took (the
// recorder itself tried the next rate after about 200 ms).
constexpr int PingQuietMs = 150;
constexpr int PingCapMs = 3500;
constexpr int OtherRateAtCapMs = 250;
// The leaving steps: a phone that does not answer costs no more than these together.
constexpr int DisconnectCapMs = 500;
constexpr int LeaveFrameCapMs = 500;
constexpr int SpeedBackCapMs = 300;
// A leaving session of ours: at most a few seconds (the plain escape with its guard
// seconds is the longest), said to be waited for only when it takes longer than the
// usual; a killed one lets its port go within a few ms of its mark, a port still held
// after that is someone else's.
constexpr int LeaverCapMs = 10000;
constexpr int LeaverPatienceMs = 4000;
constexpr int ReopenTries = 3;
constexpr int ReopenPauseMs = 30;
// Plain OBEX. A phone in OBEX mode answers the ABORT within a few ms.
constexpr int AbortCapMs = 300;
// Every AT command of the plain switch ("AT^SIFS", "AT^SQWE=0", "AT^SQWE=3") goes as soon
// as the answer before it is in (the recorded phones answer in 2-37 ms); only the CONNECT
// waits after the "OK" to "AT^SQWE=3", while the phone changes its mode: no recording
// shows a CONNECT sooner than 300 ms after that "OK", and a CONNECT the phone takes for
// AT text is lost whole.
constexpr int PlainSwitchPauseMs = 100;
// "AT^SIFS" is answered within tens of ms; a phone that does not know it may say nothing.
constexpr int InterfaceCapMs = 500;
constexpr int InterfaceQuietMs = 300;
// "+++" counts as the escape only after a second of silence (the recorder kept 1.4 s,
// SieFS one second; a tenth more for the phone's clock), and only when a second of
// silence follows: the recorded phones that answer say "OK" 1.01 s after it, the
// others are in AT mode only once the second is over, and the port stays open (its DTR
// up) until then.
constexpr int EscapeGuardMs = 1100;
constexpr int EscapeAnswerCapMs = 1500;
constexpr int EscapeTrailMs = 1100;

auto containing(const char *text)
{
    return [text](const QByteArray &answer) { return answer.contains(text); };
}

// A complete answer line: "OK" counts once its line has ended, so that nothing of it
// is left to be read with the next answer.
const auto okLine = containing("OK\r\n");

// The first frame of the answer is all there (type, length, check, payload).
bool wholeFrame(const QByteArray &answer)
{
    return answer.size() >= 3 && answer.size() >= 3 + quint8(answer.at(1));
}

// A plain OBEX packet is all there (code, length, the announced rest), after any 00 bytes.
bool wholePacket(const QByteArray &answer)
{
    qsizetype start = 0;
    while (start < answer.size() && answer.at(start) == 0)
        ++start;
    if (answer.size() - start < 3)
        return false;
    return answer.size() - start >= (quint8(answer.at(start + 1)) << 8 | quint8(answer.at(start + 2)));
}

} // namespace

PhoneConnector::PhoneConnector(SerialLine &link, BfbLink &bfb, ConnectEvents &events, QByteArray connectRequest,
                               QByteArray disconnectRequest)
    : m_link(link)
    , m_bfb(bfb)
    , m_events(events)
    , m_connectRequest(std::move(connectRequest))
    , m_disconnectRequest(std::move(disconnectRequest))
{}

bool PhoneConnector::setSpeed(int baud)
{
    // Plain OBEX also runs at 230400, where x55/x60 phones still answer AT.
    if (!Bfb::speedFrameFor(baud) && baud != PlainOnlyRate)
        return false;
    m_speed = baud;
    return true;
}

void PhoneConnector::step(ConnectStep reached)
{
    m_events.connectStep(reached);
}

QByteArray PhoneConnector::command(const QByteArray &text, int capMs)
{
    m_link.writeRaw(text + "\r\n");
    return m_link.readQueueUntil(okLine, capMs);
}

bool PhoneConnector::atAnswered(int capMs, int tries)
{
    // A phone that has just left BFB mode, or that got a ping as text, may miss the
    // first "at"; peers send it again.
    for (int i = 0; i < tries; ++i)
        if (command("at", capMs / tries + 1).contains("OK"))
            return true;
    return false;
}

bool PhoneConnector::pinged()
{
    m_link.writeRaw(Bfb::PingFrame);
    const auto answered = [](const QByteArray &answer) { return answer.contains(Bfb::PingAnswer); };
    return answered(m_link.readQueueUntil(answered, PingCapMs, PingQuietMs));
}

bool PhoneConnector::backToAtMode()
{
    // Perhaps still sending the last block of a client that vanished: the leave frame,
    // then AT mode, whose text the phone hears at any rate.
    m_link.writeRaw(Bfb::LeaveFrame);
    m_link.readQueueUntil(okLine, LeaveFrameCapMs);
    return m_link.setLineRate(SerialPort::StartBaudRate) && atAnswered(AtCapMs, AtTries);
}

PhoneConnector::Found PhoneConnector::wake(bool obexAsked)
{
    const auto woken = [](bool answered) { return answered ? Found::AtMode : Found::Nowhere; };
    // Where a phone usually is: at the start rate, in AT mode and answering at once.
    if (pinged())
        return woken(backToAtMode());
    if (command("at", FirstAtCapMs).contains("OK"))
        return Found::AtMode;
    // Left by a client at another rate: in plain OBEX, which keeps the rate of the AT
    // commands before it, or in BFB mode after a speed frame. The ABORT goes first: a
    // phone in OBEX mode takes the ping for the head of a packet and answers nothing
    // until it has given that packet up.
    const auto otherRates = std::span(SearchRates).subspan(1);
    for (const int rate : otherRates) {
        if (!m_link.setLineRate(rate))
            continue;
        if (inObexMode())
            return Found::ObexMode;
        if (pinged())
            return woken(backToAtMode());
    }
    // At the start rate again, long after the first ping (which a phone in OBEX mode has
    // given up by now, and which may have gone into the rest of a frame a vanished
    // client left unfinished): plain OBEX unless that was asked first, the ping once
    // more, then a phone that missed the first "at", or one in AT mode that hears only
    // another rate.
    if (!m_link.setLineRate(SerialPort::StartBaudRate))
        return Found::Nowhere;
    if (!obexAsked && inObexMode())
        return Found::ObexMode;
    if (pinged())
        return woken(backToAtMode());
    if (atAnswered(SlowAtTries * FirstAtCapMs, SlowAtTries))
        return Found::AtMode;
    for (const int rate : otherRates) {
        if (m_link.setLineRate(rate) && command("at", OtherRateAtCapMs).contains("OK"))
            return woken(m_link.setLineRate(SerialPort::StartBaudRate) && atAnswered(AtCapMs, AtTries));
    }
    m_link.setLineRate(SerialPort::StartBaudRate);
    return Found::Nowhere;
}

bool PhoneConnector::run(const ListRoot &listRoot)
{
    SerialLine &link = m_link;
    m_failure.reset();
    m_portError = SerialPort::OpenError::None;
    if (link.linkState() != LinkState::Enable) {
        close();
        return false;
    }
    m_bfb.restart();
    if (!link.beginAttempt())
        return false;
    m_family = &phoneFamilyOf({});
    m_foundInObex = false;
    m_interface = PhoneInterface::Unknown;
    m_connectResponse.clear();
    step(ConnectStep::Attempting);

    if (!openPort()) {
        // Missing, busy or forbidden alike: say so and let the next run retry.
        m_failure = ConnectFailure::PortUnavailable;
        m_portError = link.openError();
        m_events.connectFailed(ConnectFailure::PortUnavailable, m_portError);
        link.abandonAttempt();
        return false;
    }

    step(ConnectStep::PortOpened);
    const bool plainFirst = m_choice == LinkChoice::PlainFirst || m_choice == LinkChoice::PlainOnly;
    // A phone behind a cable that cannot end plain OBEX is still in it from last time.
    if (plainFirst && inObexMode())
        return connectPlain() && linkUp(listRoot);
    step(ConnectStep::Waking);
    const Found found = wake(plainFirst);
    // Found in plain OBEX: used as it is, and left in it.
    if (found == Found::ObexMode && m_choice != LinkChoice::BfbOnly)
        return connectPlain() && linkUp(listRoot);
    if (found != Found::AtMode) {
        ConnectError(found == Found::ObexMode ? ConnectFailure::InObexMode : ConnectFailure::At);
        return false;
    }

    step(ConnectStep::AskingModel);
    const QByteArray model = command("at+CGMM", AtCapMs);
    if (!model.contains("OK")) {
        ConnectError(ConnectFailure::Model);
        return false;
    }
    // Characters 11 to 13 of whatever was read; shown only, any model is accepted.
    m_model = QString::fromLatin1(model.mid(10, 3));
    m_events.modelReported(m_model);
    m_family = &phoneFamilyOf(modelNameIn(model));

    const bool plainWanted = m_choice == LinkChoice::PlainOnly || m_choice == LinkChoice::PlainFirst
        || (m_choice == LinkChoice::BfbFirst && m_family->needsPlainObex);
    if (plainWanted) {
        const PlainSwitch result = switchToPlain();
        if (m_choice != LinkChoice::PlainFirst || result != PlainSwitch::Refused)
            return runPlain(result, listRoot);
        // A phone that knows only BFB, at the start rate.
        if (!link.setLineRate(SerialPort::StartBaudRate)) {
            ConnectError(ConnectFailure::At);
            return false;
        }
    }

    const std::optional<ConnectFailure> failed = connectBfb();
    if (!failed)
        return linkUp(listRoot);
    // Took "AT^SBFB=1" and then answered no BFB frame: back in AT mode, plain OBEX.
    if (m_choice == LinkChoice::BfbFirst && *failed == ConnectFailure::Bfb && m_bfbSetupUnanswered
        && atAnswered(AtCapMs, AtTries))
        return runPlain(switchToPlain(), listRoot);
    ConnectError(*failed);
    return false;
}

bool PhoneConnector::runPlain(PlainSwitch switched, const ListRoot &listRoot)
{
    if (switched == PlainSwitch::Done)
        return connectPlain() && linkUp(listRoot);
    ConnectError(switched == PlainSwitch::RateRefused ? ConnectFailure::Rate : ConnectFailure::Plain);
    return false;
}

std::optional<ConnectFailure> PhoneConnector::connectBfb()
{
    SerialLine &link = m_link;
    m_bfbSetupUnanswered = false;
    const auto failed = [this](ConnectFailure failure) -> std::optional<ConnectFailure> {
        // A phone switched to BFB mode is not left there by a failed attempt.
        if (m_phoneInBfb && m_link.isPortOpen())
            leaveBfb();
        forgetPhoneState();
        return failure;
    };
    step(ConnectStep::SwitchingToBfb);
    if (!command("AT^SBFB=1", AtCapMs).contains("OK"))
        return failed(ConnectFailure::Model);
    m_phoneInBfb = true;
    m_phoneRate = SerialPort::StartBaudRate;

    step(ConnectStep::SettingUpBfb);
    link.writeRaw(Bfb::SetupFrame);
    const QByteArray setupAnswer = link.readQueueUntil(wholeFrame, FrameCapMs);
    if (setupAnswer.size() < SetupReplyMinimum) {
        m_bfbSetupUnanswered = setupAnswer.isEmpty();
        return failed(ConnectFailure::Bfb);
    }

    if (!speedStep())
        return failed(ConnectFailure::Bfb);

    link.writeRaw(Bfb::SifsFrame);
    if (!link.readQueueUntil(okLine, FrameCapMs).contains("OK"))
        return failed(ConnectFailure::Bfb);

    step(ConnectStep::OpeningObex);
    m_connectAnswer = m_bfb.sendConnect(m_connectRequest, ConnectReplyMinimum, ConnectCapMs);
    if (m_connectAnswer.size() < ConnectReplyMinimum)
        return failed(ConnectFailure::Bfb);
    m_obexOpen = true;
    m_mode = LinkMode::Bfb;
    return std::nullopt;
}

bool PhoneConnector::linkUp(const ListRoot &listRoot)
{
    step(ConnectStep::LinkUp);
    m_link.lineUp();
    m_connectResponse = m_mode == LinkMode::Bfb ? m_bfb.acceptConnectAnswer(m_connectAnswer) : m_connectAnswer;

    step(ConnectStep::ListingRoot);
    listRoot();

    step(ConnectStep::RootListed);
    step(ConnectStep::Established);
    return true;
}

bool PhoneConnector::inObexMode()
{
    m_link.writeRaw(AbortPacket);
    const auto answered = [](const QByteArray &answer) { return answer.contains(AbortAnswer); };
    // The one 00 byte many phones send after the port opens is no answer; the search finds past it.
    if (!answered(m_link.readQueueUntil(answered, AbortCapMs, PingQuietMs)))
        return false;
    m_phoneInPlain = true;
    m_foundInObex = true;
    m_phoneRate = m_link.lineRate();
    return true;
}

PhoneConnector::PlainSwitch PhoneConnector::switchToPlain()
{
    // The phone takes the rate of the AT commands it hears.
    if (m_speed != m_link.lineRate() && (!m_link.setLineRate(m_speed) || !command("at", AtCapMs).contains("OK")))
        return PlainSwitch::RateRefused;
    step(ConnectStep::SwitchingToPlain);
    m_interface = askInterface();
    if (!command("AT^SQWE=0", AtCapMs).contains("OK") || !command("AT^SQWE=3", AtCapMs).contains("OK"))
        return PlainSwitch::Refused;
    m_phoneInPlain = true;
    m_phoneRate = m_speed;
    m_link.pause(PlainSwitchPauseMs);
    return PlainSwitch::Done;
}

PhoneInterface PhoneConnector::askInterface()
{
    m_link.writeRaw("AT^SIFS\r\n");
    const QByteArray answer = m_link.readQueueUntil(
        [](const QByteArray &text) { return text.contains("OK\r\n") || text.contains("ERROR\r\n"); }, InterfaceCapMs,
        InterfaceQuietMs);
    const qsizetype at = answer.indexOf("^SIFS:");
    if (at < 0)
        return PhoneInterface::Unknown;
    const QByteArray name = answer.mid(at + 6).split('\r').first().trimmed().toUpper();
    if (name == "WIRE")
        return PhoneInterface::Wire;
    if (name == "USB")
        return PhoneInterface::Usb;
    if (name == "BLUE")
        return PhoneInterface::Bluetooth;
    if (name == "IRDA")
        return PhoneInterface::Infrared;
    return PhoneInterface::Unknown;
}

bool PhoneConnector::connectPlain()
{
    step(ConnectStep::OpeningObex);
    m_link.writeRaw(m_connectRequest);
    m_connectAnswer = m_link.readQueueUntil(wholePacket, ConnectCapMs);
    // A 00 byte is no response code: the one some phones send after the port opens.
    while (m_connectAnswer.startsWith('\0'))
        m_connectAnswer.remove(0, 1);
    if (!wholePacket(m_connectAnswer) || quint8(m_connectAnswer.at(0)) != 0xA0) {
        ConnectError(ConnectFailure::Plain);
        return false;
    }
    m_obexOpen = true;
    m_mode = LinkMode::Plain;
    return true;
}

void PhoneConnector::leavePlain()
{
    if (m_obexOpen) {
        m_link.readQueue(); // what is left of an interrupted exchange
        m_link.writeRaw(m_disconnectRequest);
        m_link.readQueueUntil(wholePacket, DisconnectCapMs);
    }
    if (leavesPhoneInObex())
        return;
    // The phone's own guard time, never shortened: without it "+++" is OBEX data.
    QThread::msleep(EscapeGuardMs);
    m_link.writeRaw(Escape);
    const QDeadlineTimer guardOver(EscapeTrailMs);
    if (m_family->answersEscape && m_link.readQueueUntil(okLine, EscapeAnswerCapMs).contains("OK"))
        return;
    // Back in AT mode only once the second after it is over: a byte sent sooner (the next
    // session's) or the port closed sooner would undo it.
    QThread::msleep(static_cast<unsigned long>(std::max<qint64>(guardOver.remainingTime(), 0)));
}

void PhoneConnector::close()
{
    try {
        const bool left = m_phoneInBfb || m_phoneInPlain;
        if (left && (m_link.isPortOpen() || (m_link.openPort() && m_link.setLineRate(m_phoneRate)))) {
            if (m_phoneInPlain) {
                leavePlain();
            } else {
                if (m_obexOpen)
                    m_bfb.disconnect(m_disconnectRequest, DisconnectCapMs);
                leaveBfb();
            }
        }
    } catch (const LinkInterrupted &) {
        // A stop asked for while leaving: the phone is left as far as it got.
    }
    forgetPhoneState();
    m_bfb.restart();
    m_link.endLink();
    // After the port: a session waiting for the mark finds the port free.
    if (m_markFd >= 0)
        ::close(std::exchange(m_markFd, -1));
}

void PhoneConnector::closeInBackground()
{
    const bool left = (m_phoneInBfb || m_phoneInPlain) && m_link.isPortOpen();
    if (left) {
        m_link.setStopRequest({});
        const int mark = m_markFd >= 0 ? std::exchange(m_markFd, -1) : Leaver::takeMark(m_link.portFd());
        if (Leaver::runInChild(mark, {m_link.portFd(), m_link.traceFd()}, [this] { close(); })) {
            forgetPhoneState();
            m_bfb.restart();
            m_link.handOverLink();
            return;
        }
    }
    close();
}

void PhoneConnector::markLeaving()
{
    if (m_markFd < 0 && m_link.isPortOpen())
        m_markFd = Leaver::takeMark(m_link.portFd());
}

bool PhoneConnector::openPort()
{
    if (m_link.openPort() || m_link.openError() != SerialPort::OpenError::Busy)
        return m_link.isPortOpen();
    const Leaver::Wait waited = Leaver::waitForRelease(
        m_link.devicePath(), LeaverCapMs, LeaverPatienceMs, [this] { m_events.waitingForLeaver(m_link.devicePath()); },
        [this] { return m_link.stopRequested(); });
    if (waited != Leaver::Wait::Free)
        return false;
    // A leaver that was killed lets its mark go a moment before its port.
    for (int i = 0; i < ReopenTries; ++i) {
        if (m_link.openPort() || m_link.openError() != SerialPort::OpenError::Busy)
            return m_link.isPortOpen();
        QThread::msleep(ReopenPauseMs);
    }
    return false;
}

void PhoneConnector::leaveBfb()
{
    if (m_phoneRate != SerialPort::StartBaudRate) {
        m_link.writeRaw(Bfb::SpeedFrame);
        m_link.readQueueUntil(wholeFrame, SpeedBackCapMs);
        m_link.pause(SpeedSwitchPauseMs);
        m_link.setLineRate(SerialPort::StartBaudRate);
    }
    m_link.writeRaw(Bfb::LeaveFrame);
    m_link.readQueueUntil(okLine, LeaveFrameCapMs);
}

bool PhoneConnector::speedStep()
{
    if (m_speed != SerialPort::StartBaudRate && !Bfb::speedFrameFor(m_speed)) {
        m_events.speedNotConfirmed(m_speed);
    } else if (m_speed != SerialPort::StartBaudRate) {
        const QByteArray frame = *Bfb::speedFrameFor(m_speed);
        m_link.writeRaw(frame);
        const QByteArray answer = m_link.readQueueUntil(wholeFrame, FrameCapMs);
        if (answer.size() == frame.size() && quint8(answer.at(3)) == Bfb::SpeedAccepted) {
            m_link.pause(SpeedSwitchPauseMs);
            m_phoneRate = m_speed;
            // A port that cannot follow the phone has lost it.
            if (!m_link.setLineRate(m_speed))
                return false;
            m_events.speedChanged(m_speed);
            return true;
        }
        m_events.speedNotConfirmed(m_speed);
    }
    m_link.writeRaw(Bfb::SpeedFrame);
    return m_link.readQueueUntil(containing("57600"), FrameCapMs).contains("57600");
}

void PhoneConnector::ConnectError(ConnectFailure failedStep)
{
    m_failure = failedStep;
    m_events.connectFailed(failedStep, SerialPort::OpenError::None);
    // A phone switched to BFB mode or plain OBEX is not left there by a failed attempt either.
    if (m_phoneInBfb && m_link.isPortOpen())
        leaveBfb();
    if (m_phoneInPlain && m_link.isPortOpen())
        leavePlain();
    forgetPhoneState();
    m_link.abandonAttempt();
}

void PhoneConnector::forgetPhoneState()
{
    m_phoneInBfb = false;
    m_phoneInPlain = false;
    m_obexOpen = false;
    m_phoneRate = SerialPort::StartBaudRate;
}
