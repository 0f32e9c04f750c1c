#include "handshake.h"

namespace {

constexpr int AtReplyPauseMs = 500;
constexpr int FramePauseMs = 600;
constexpr int SetupReplyMinimum = 4;

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

    link.writeRaw(SpeedFrame);
    link.pause(FramePauseMs);
    if (!answered(link, containing("57600"))) {
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

void PhoneConnector::ConnectError(ConnectFailure failedStep)
{
    m_events.connectFailed(failedStep, SerialPort::OpenError::None);
    m_link.abandonAttempt();
}
