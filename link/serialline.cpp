#include "serialline.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QSocketNotifier>
#include <QThread>

#include <algorithm>
#include <cmath>

SerialLine::SerialLine(ConnectEvents &connectEvents, TransferEvents &transferEvents, QObject *parent)
    : QObject(parent), m_connectEvents(connectEvents), m_transferEvents(transferEvents)
{
    TimeoutTimer.setSingleShot(true);
    // A coarse timer may fire 5 % early: a byte 19 s after the last must still count.
    TimeoutTimer.setTimerType(Qt::PreciseTimer);
    TimeoutTimer.setInterval(DefaultTimeoutMs);
    connect(&TimeoutTimer, &QTimer::timeout, this, [this] {
        TimeoutTimer.stop();
        TimedOut = true;
    });

    for (QTimer *monitor : {&Timer1, &Timer2}) {
        monitor->setInterval(MonitorPeriodMs);
        connect(monitor, &QTimer::timeout, this, &SerialLine::showWaitingBytes);
    }
    Timer1.start();

    m_quietTimer.setSingleShot(true);
    m_quietTimer.setInterval(DefaultQuietMs);
}

SerialLine::~SerialLine() = default;

void SerialLine::setTimeoutInterval(int ms)
{
    TimeoutTimer.setInterval(ms);
}

void SerialLine::setQuietInterval(int ms)
{
    m_quietTimer.setInterval(ms);
}

void SerialLine::setMonitorInterval(int ms)
{
    Timer1.setInterval(ms);
    Timer2.setInterval(ms);
}

void SerialLine::setPauseScale(double scale)
{
    m_pauseScale = scale;
}

long SerialLine::scaled(int ms) const
{
    return std::lround(ms * m_pauseScale);
}

void SerialLine::pause(int ms)
{
    const long length = scaled(ms);
    if (length > 0)
        QThread::msleep(static_cast<unsigned long>(length));
}

void SerialLine::setLinkState(LinkState state)
{
    if (state == m_linkState)
        return;
    m_linkState = state;
    m_connectEvents.linkStateChanged(m_linkState);
}

bool SerialLine::beginAttempt()
{
    if (m_linkState != LinkState::Enable) {
        setLinkState(LinkState::Enable);
        Comm1.close();
        // Nothing to monitor any more on a closed port.
        Timer2.stop();
        return false;
    }
    TimedOut = false;
    setLinkState(LinkState::Disable);
    return true;
}

bool SerialLine::openPort()
{
    if (!Comm1.open())
        return false;
    Comm1.setReadLength(SerialPort::WholeQueue);
    return true;
}

bool SerialLine::writeRaw(const QByteArray &bytes)
{
    return Comm1.write(bytes);
}

QByteArray SerialLine::readQueue()
{
    return Comm1.read(SerialPort::WholeQueue);
}

QByteArray SerialLine::readQueueUntil(const std::function<bool(const QByteArray &)> &complete)
{
    return readQueueUntil(complete, SlowAnswerGraceMs);
}

QByteArray SerialLine::readQueueUntil(const std::function<bool(const QByteArray &)> &complete, int capMs, int quietMs)
{
    QByteArray answer = Comm1.read(SerialPort::WholeQueue);
    const QDeadlineTimer cap(scaled(capMs));
    while (!complete(answer) && !cap.hasExpired()) {
        throwIfStopRequested();
        const qint64 wait = quietMs > 0 ? std::min<qint64>(scaled(quietMs), cap.remainingTime()) : cap.remainingTime();
        if (!Comm1.waitForBytes(int(wait)))
            break;
        const QByteArray more = Comm1.read(SerialPort::WholeQueue);
        if (more.isEmpty())
            break; // readable without bytes: the device hung up
        answer += more;
    }
    throwIfStopRequested();
    return answer;
}

void SerialLine::throwIfStopRequested() const
{
    if (stopRequested())
        throw LinkInterrupted{};
}

void SerialLine::endLink()
{
    TimeoutTimer.stop();
    setLinkState(LinkState::Enable);
    m_notifier.reset();
    Comm1.close();
    // Nothing to monitor any more on a closed port.
    Timer2.stop();
}

void SerialLine::handOverLink()
{
    m_notifier.reset();
    Comm1.handOver();
    endLink();
}

void SerialLine::abandonAttempt()
{
    Comm1.close();
    setLinkState(LinkState::Enable);
}

void SerialLine::lineUp()
{
    Comm1.setReadLength(SerialPort::SingleByte);
    Timer2.start();
}

void SerialLine::showWaitingBytes()
{
    m_transferEvents.waitingBytesReported(Comm1.bytesWaiting());
}

void SerialLine::ensureNotifier()
{
    const int fd = Comm1.fd();
    if (m_notifier && m_notifier->socket() == fd)
        return;
    m_notifier.reset();
    if (fd < 0)
        return;
    m_notifier = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
    m_notifier->setEnabled(false);
    connect(m_notifier.get(), &QSocketNotifier::activated, this, [this] { m_dataSignalled = true; });
}

void SerialLine::sleepForEvents(bool &watchPort)
{
    if (watchPort)
        ensureNotifier();
    const bool watching = watchPort && m_notifier;
    if (watching)
        m_notifier->setEnabled(true);
    m_dataSignalled = false;
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    if (watching) {
        m_notifier->setEnabled(false);
        if (m_dataSignalled && Comm1.bytesWaiting() == 0)
            watchPort = false;
    }
}

std::optional<quint8> SerialLine::waitForByte(const std::function<bool()> &giveUp)
{
    bool watchPort = true;
    for (;;) {
        QCoreApplication::processEvents(QEventLoop::AllEvents);
        throwIfStopRequested();
        if (TimedOut)
            AbortOnTimeout();
        if (Comm1.bytesWaiting() > 0) {
            const QByteArray byte = Comm1.read(SerialPort::SingleByte);
            if (!byte.isEmpty()) {
                TimeoutTimer.stop();
                return quint8(byte.at(0));
            }
            watchPort = false;
        }
        // A device that went away (unplugged, or its other end closed), or a port closed
        // already, never sends the byte: the phone is lost now, not when the time-out
        // would have run out.
        if (!Comm1.isOpen() || Comm1.hungUp())
            AbortOnTimeout();
        if (giveUp && giveUp())
            return std::nullopt;
        sleepForEvents(watchPort);
    }
}

quint8 SerialLine::ReadByte()
{
    TimeoutTimer.start();
    return *waitForByte({});
}

std::optional<quint8> SerialLine::nextByte(const std::function<bool()> &giveUp)
{
    if (!TimeoutTimer.isActive())
        TimeoutTimer.start();
    return waitForByte(giveUp);
}

QByteArray SerialLine::readBytes(int maxBytes)
{
    TimeoutTimer.start();
    QByteArray bytes(1, char(*waitForByte({})));
    if (maxBytes > 1)
        bytes += Comm1.read(maxBytes - 1);
    return bytes;
}

void SerialLine::abortWith(LinkLoss loss)
{
    TimeoutTimer.stop();
    m_transferEvents.linkLost(loss);
    m_notifier.reset();
    Comm1.close();
    Timer2.stop();
    setLinkState(LinkState::Enable);
    throw LinkLost{loss};
}

void SerialLine::AbortOnTimeout()
{
    TimeoutTimer.stop();
    abortWith(LinkLoss::Timeout);
}

void SerialLine::AbortOnBadData()
{
    abortWith(LinkLoss::BadData);
}

void SerialLine::drainLine()
{
    // A line that never falls quiet is no phone to talk to.
    const QDeadlineTimer limit(TimeoutTimer.interval());
    m_quietTimer.start();
    bool watchPort = true;
    for (;;) {
        QCoreApplication::processEvents(QEventLoop::AllEvents);
        throwIfStopRequested();
        if (Comm1.bytesWaiting() > 0) {
            if (!Comm1.read(SerialPort::WholeQueue).isEmpty()) {
                if (limit.hasExpired())
                    AbortOnBadData();
                m_quietTimer.start();
                continue;
            }
            watchPort = false;
        }
        if (!m_quietTimer.isActive())
            return;
        sleepForEvents(watchPort);
    }
}
