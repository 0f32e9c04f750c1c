#include "phonelink.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QSocketNotifier>
#include <QThread>

#include <algorithm>
#include <cmath>

namespace {

constexpr quint8 FrameType = 0x16;
constexpr quint8 AckCommand = 0x01;
constexpr int CrcBytes = 2;

} // namespace

PhoneLink::PhoneLink(Checksum &crc, PhoneEvents &events, QObject *parent) : QObject(parent), m_events(events), Crc(crc)
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
        connect(monitor, &QTimer::timeout, this, &PhoneLink::showWaitingBytes);
    }
    Timer1.start();
}

PhoneLink::~PhoneLink() = default;

void PhoneLink::setTimeoutInterval(int ms)
{
    TimeoutTimer.setInterval(ms);
}

void PhoneLink::setMonitorInterval(int ms)
{
    Timer1.setInterval(ms);
    Timer2.setInterval(ms);
}

void PhoneLink::setPauseScale(double scale)
{
    m_pauseScale = scale;
}

void PhoneLink::pause(int ms)
{
    const long scaled = std::lround(ms * m_pauseScale);
    if (scaled > 0)
        QThread::msleep(static_cast<unsigned long>(scaled));
}

void PhoneLink::setLinkState(LinkState state)
{
    if (state == m_linkState)
        return;
    m_linkState = state;
    m_events.linkStateChanged(m_linkState);
}

bool PhoneLink::beginAttempt()
{
    BfbSequence = 1;
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

bool PhoneLink::openPort()
{
    if (!Comm1.open())
        return false;
    Comm1.setReadLength(SerialPort::WholeQueue);
    return true;
}

bool PhoneLink::writeRaw(const QByteArray &bytes)
{
    return Comm1.write(bytes);
}

QByteArray PhoneLink::readQueue()
{
    return Comm1.read();
}

void PhoneLink::abandonAttempt()
{
    Comm1.close();
    setLinkState(LinkState::Enable);
}

void PhoneLink::linkUp()
{
    Comm1.setReadLength(SerialPort::SingleByte);
    SendAck();
    Timer2.start();
}

void PhoneLink::showWaitingBytes()
{
    m_events.waitingBytesReported(Comm1.bytesWaiting());
}

void PhoneLink::ensureNotifier()
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

quint8 PhoneLink::ReadByte()
{
    TimeoutTimer.start();
    // A hung-up device stays readable without data; then only the time-out can end the wait.
    bool watchPort = true;
    for (;;) {
        QCoreApplication::processEvents(QEventLoop::AllEvents);
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

        // Sleep until the port has data, a timer fires or the user does something.
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
}

void PhoneLink::abortWith(LinkLoss loss)
{
    m_events.linkLost(loss);
    m_notifier.reset();
    Comm1.close();
    Timer2.stop();
    setLinkState(LinkState::Enable);
    throw LinkLost{loss};
}

void PhoneLink::AbortOnTimeout()
{
    TimeoutTimer.stop();
    abortWith(LinkLoss::Timeout);
}

void PhoneLink::AbortOnBadData()
{
    abortWith(LinkLoss::BadData);
}

void PhoneLink::advanceSequence()
{
    BfbSequence = BfbSequence >= 255 ? 0 : qint16(BfbSequence + 1);
}

QByteArray PhoneLink::dataFrame(const QByteArray &payload)
{
    const quint8 length = quint8(payload.size());
    QByteArray frame;
    frame.reserve(3 + payload.size());
    frame.append(char(FrameType));
    frame.append(char(length));
    frame.append(char(quint8(Crc.Xor(FrameType, length))));
    frame.append(payload);
    return frame;
}

void PhoneLink::SendPacket(const QByteArray &block)
{
    // A block that fits travels in one frame; otherwise full 32-byte frames and the rest.
    qsizetype offset = 0;
    do {
        const qsizetype piece = std::min<qsizetype>(MaxFramePayload, block.size() - offset);
        Comm1.write(dataFrame(block.mid(offset, piece)));
        offset += piece;
    } while (offset < block.size());
    advanceSequence();
    ReceiveReply();
}

bool PhoneLink::SendPrebuilt(const QByteArray &frames)
{
    Comm1.write(frames);
    advanceSequence();
    return ReceiveReply().isAcknowledge();
}

PhoneLink::Reply PhoneLink::ReceiveReply()
{
    if (ReadByte() != FrameType)
        AbortOnBadData();
    int r = ReadByte();
    ReadByte(); // header check, not examined
    // Never read beyond the frame: the header bytes below must lie inside it.
    if (r < 1)
        AbortOnBadData();
    const quint8 command = ReadByte();
    r -= 1;
    if (command == AckCommand) {
        if (r < 1)
            AbortOnBadData();
        ReadByte(); // complement; further payload stays queued
        return {Reply::Kind::Acknowledge, {}};
    }
    if (r < 4)
        AbortOnBadData();
    ReadByte(); // complement
    ReadByte(); // sequence number
    const int high = ReadByte();
    const int low = ReadByte();
    r -= 4;
    // Lengths from 0x8000 up are beyond anything the program announces it accepts.
    if (high >= 0x80)
        AbortOnBadData();
    int n = high * 256 + low;

    QByteArray result;
    result.reserve(n);
    while (n > r - CrcBytes) {
        for (int i = 0; i < r; ++i)
            result.append(char(ReadByte()));
        n -= r;
        if (ReadByte() != FrameType)
            AbortOnBadData();
        r = ReadByte();
        ReadByte(); // header check
    }
    for (int i = 0; i < n; ++i)
        result.append(char(ReadByte()));
    r -= std::max(n, 0);
    if (r != CrcBytes)
        AbortOnBadData();
    ReadByte(); // CRC, not verified
    ReadByte();
    return {Reply::Kind::Packet, result};
}

void PhoneLink::SendAck()
{
    Comm1.write(AckFrame);
}
