#include "handshake.h"

namespace {

constexpr int AtReplyPauseMs = 500;
constexpr int FramePauseMs = 600;
constexpr int SetupReplyMinimum = 4;
// A phone changes its rate about this long after its answer to a speed frame.
constexpr int SpeedSwitchPauseMs = 100;

// What makes each answer whole: a slow phone gets a while longer for the rest.
auto containing(const char *text)
{
    return [text](const QByteArray &answer) { return answer.contains(text); };
}

auto atLeast(int bytes)
{
    return [bytes](const QByteArray &answer) { return answer.size() >= bytes; };
}

bool answered(PhoneLink &link, const std::function<bool(const QByteArray &)> &complete)
{
    return complete(link.readQueueUntil(complete));
}

} // namespace

PhoneConnector::PhoneConnector(PhoneLink &link) : m_link(link), m_events(link.events()) {}

std::optional<QByteArray> PhoneConnector::speedFrameFor(int baud)
{
    switch (baud) {
    case 19200:
        return QByteArray::fromHex("010908C0") + "19200" + QByteArray::fromHex("CE4DCF");
    case 38400:
        return QByteArray::fromHex("010908C0") + "38400" + QByteArray::fromHex("CC4BCF");
    case 57600:
        return SpeedFrame;
    case 115200:
        return QByteArray::fromHex("010A0BC0") + "115200" + QByteArray::fromHex("0DD22B");
    default:
        return std::nullopt;
    }
}

bool PhoneConnector::setSpeed(int baud)
{
    if (!speedFrameFor(baud))
        return false;
    m_speed = baud;
    return true;
}

void PhoneConnector::step(ConnectStep reached)
{
    m_events.connectStep(reached);
}

QByteArray PhoneConnector::command(const QByteArray &text)
{
    m_link.writeRaw(text + "\r\n");
    m_link.pause(AtReplyPauseMs);
    return m_link.readQueueUntil(containing("OK"));
}

bool PhoneConnector::run(const ListRoot &listRoot)
{
    PhoneLink &link = m_link;
    if (!link.beginAttempt())
        return false;
    step(ConnectStep::Attempting);

    if (!link.openPort()) {
        // Missing, busy or forbidden alike: say so and let the next run retry.
        m_events.connectFailed(ConnectFailure::PortUnavailable, link.openError());
        link.abandonAttempt();
        return false;
    }

    step(ConnectStep::PortOpened);
    link.pause(1000);

    step(ConnectStep::Waking);
    link.pause(2000);
    if (!command("at").contains("OK")) {
        ConnectError(ConnectFailure::At);
        return false;
    }

    step(ConnectStep::AskingModel);
    const QByteArray model = command("at+CGMM");
    if (!model.contains("OK")) {
        ConnectError(ConnectFailure::Model);
        return false;
    }
    // Characters 11 to 13 of whatever was read; shown only, any model is accepted.
    m_model = QString::fromLatin1(model.mid(10, 3));
    m_events.modelReported(m_model);

    step(ConnectStep::SwitchingToBfb);
    if (!command("AT^SBFB=1").contains("OK")) {
        ConnectError(ConnectFailure::Model);
        return false;
    }

    step(ConnectStep::SettingUpBfb);
    link.writeRaw(SetupFrame);
    link.pause(FramePauseMs);
    if (!answered(link, atLeast(SetupReplyMinimum))) {
        ConnectError(ConnectFailure::Bfb);
        return false;
    }

    if (!speedStep()) {
        ConnectError(ConnectFailure::Bfb);
        return false;
    }

    link.writeRaw(SifsFrame);
    link.pause(FramePauseMs);
    if (!answered(link, containing("OK"))) {
        ConnectError(ConnectFailure::Bfb);
        return false;
    }

    step(ConnectStep::OpeningObex);
    link.writeRaw(ConnectFrames);
    link.pause(FramePauseMs);
    if (link.bytesWaiting() < ConnectReplyMinimum)
        link.pause(FramePauseMs);
    const QByteArray connectAnswer = link.readQueueUntil(atLeast(ConnectReplyMinimum));
    if (connectAnswer.size() < ConnectReplyMinimum) {
        ConnectError(ConnectFailure::Bfb);
        return false;
    }

    step(ConnectStep::LinkUp);
    link.linkUp(connectAnswer);

    step(ConnectStep::ListingRoot);
    listRoot();

    step(ConnectStep::RootListed);
    link.pause(1000);
    step(ConnectStep::Established);
    return true;
}

bool PhoneConnector::speedStep()
{
    if (m_speed != SerialPort::StartBaudRate) {
        const QByteArray frame = *speedFrameFor(m_speed);
        m_link.writeRaw(frame);
        m_link.pause(FramePauseMs);
        const QByteArray answer = m_link.readQueueUntil(atLeast(int(frame.size())));
        if (answer.size() == frame.size() && quint8(answer.at(3)) == SpeedAccepted) {
            m_link.pause(SpeedSwitchPauseMs);
            // A port that cannot follow the phone has lost it.
            if (!m_link.setLineRate(m_speed))
                return false;
            m_events.speedChanged(m_speed);
            return true;
        }
        m_events.speedNotConfirmed(m_speed);
    }
    m_link.writeRaw(SpeedFrame);
    m_link.pause(FramePauseMs);
    return answered(m_link, containing("57600"));
}

void PhoneConnector::ConnectError(ConnectFailure failedStep)
{
    m_events.connectFailed(failedStep, SerialPort::OpenError::None);
    m_link.abandonAttempt();
}
