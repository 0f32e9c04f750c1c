#include "serialline.h"

#include "bfbtransport.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QScopeGuard>
#include <QSocketNotifier>
#include <QThread>

#include <algorithm>
#include <cmath>

namespace {

constexpr quint8 FrameType = 0x16;

// A0, length, version, flags, then the maximum packet (big-endian).
std::optional<int> announcedMaxPacket(const QByteArray &packet)
{
    constexpr int SmallestObexPacket = 255;
    if (packet.size() < 7 || quint8(packet.at(0)) != 0xA0)
        return std::nullopt;
    const int size = quint8(packet.at(5)) << 8 | quint8(packet.at(6));
    if (size < SmallestObexPacket)
        return std::nullopt;
    return size;
}

} // namespace

struct SerialLine::AckWait
{
    const BlockWrites &writes;
    int resends = 0;
};

SerialLine::SerialLine(Checksum &crc, PhoneEvents &events, QObject *parent)
    : QObject(parent), m_events(events), Crc(crc), m_receiver(crc)
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

    ResendTimer.setSingleShot(true);
    // As with the time-out: a coarse timer may send a block again 5 % too early.
    ResendTimer.setTimerType(Qt::PreciseTimer);
    ResendTimer.setInterval(DefaultResendMs);
    connect(&ResendTimer, &QTimer::timeout, this, [this] { m_resendDue = true; });
    QuietTimer.setSingleShot(true);
    QuietTimer.setInterval(DefaultQuietMs);
}

SerialLine::~SerialLine() = default;

void SerialLine::setTimeoutInterval(int ms)
{
    TimeoutTimer.setInterval(ms);
}

void SerialLine::setResendInterval(int ms)
{
    ResendTimer.setInterval(ms);
}

void SerialLine::setQuietInterval(int ms)
{
    QuietTimer.setInterval(ms);
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
    m_events.linkStateChanged(m_linkState);
}

bool SerialLine::beginAttempt()
{
    BfbSequence = 1;
    forgetReplies();
    m_phoneMaxPacket.reset();
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
    return Comm1.read();
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
    if (m_stopRequested && m_stopRequested())
        throw LinkInterrupted{};
}

bool SerialLine::disconnectObex(int capMs)
{
    static const QByteArray disconnect = QByteArray::fromHex("810003");
    const QByteArray block =
        BfbTransport::dataBlock(BfbTransport::commandFor(disconnect, BfbSequence), BfbSequence, disconnect, Crc);
    TimeoutTimer.stop();
    ResendTimer.stop();
    forgetReplies();
    // What is left of an interrupted exchange goes first.
    Comm1.read(SerialPort::WholeQueue);
    if (!Comm1.write(framed(block)))
        return false;
    advanceSequence();
    // The answer is a three-byte response; blocks of an interrupted exchange that the
    // phone sends again are acknowledged so that it stops.
    BfbReceiver receiver(Crc);
    bool answered = false;
    qsizetype fed = 0;
    readQueueUntil(
        [&](const QByteArray &bytes) {
            for (; fed < bytes.size(); ++fed) {
                const std::optional<BfbReceiver::Reply> reply = receiver.feed(quint8(bytes.at(fed)));
                if (!reply || reply->kind != BfbReceiver::Reply::Kind::Block)
                    continue;
                SendAck();
                if (reply->packet.size() == disconnect.size())
                    answered = true;
            }
            return answered;
        },
        capMs);
    return answered;
}

void SerialLine::endLink()
{
    BfbSequence = 1;
    forgetReplies();
    TimeoutTimer.stop();
    ResendTimer.stop();
    setLinkState(LinkState::Enable);
    m_notifier.reset();
    Comm1.close();
    // Nothing to monitor any more on a closed port.
    Timer2.stop();
}

void SerialLine::abandonAttempt()
{
    Comm1.close();
    setLinkState(LinkState::Enable);
}

void SerialLine::linkUp(const QByteArray &connectAnswer)
{
    Comm1.setReadLength(SerialPort::SingleByte);
    // The answer holds the acknowledgement of the CONNECT and the phone's first block.
    BfbReceiver answer(Crc);
    for (const char byte : connectAnswer) {
        const std::optional<BfbReceiver::Reply> reply = answer.feed(quint8(byte));
        if (reply && reply->kind == BfbReceiver::Reply::Kind::Block) {
            m_lastAccepted = reply->sequence;
            m_phoneMaxPacket = announcedMaxPacket(reply->packet);
        }
    }
    SendAck();
    Timer2.start();
}

void SerialLine::plainLinkUp(const QByteArray &answer)
{
    Comm1.setReadLength(SerialPort::SingleByte);
    m_phoneMaxPacket = announcedMaxPacket(answer);
    Timer2.start();
}

void SerialLine::forgetReplies()
{
    m_receiver.reset();
    m_lastAccepted.reset();
    m_heldResponse.reset();
    m_surplusAcks = 0;
}

void SerialLine::showWaitingBytes()
{
    m_events.waitingBytesReported(Comm1.bytesWaiting());
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

std::optional<quint8> SerialLine::waitForByte(bool resendable)
{
    // A hung-up device stays readable without data; then only the time-out can end the wait.
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
        if (resendable && m_resendDue)
            return std::nullopt;
        sleepForEvents(watchPort);
    }
}

quint8 SerialLine::ReadByte()
{
    TimeoutTimer.start();
    return *waitForByte(false);
}

QByteArray SerialLine::ReadBytes(int maxBytes)
{
    TimeoutTimer.start();
    QByteArray bytes(1, char(*waitForByte(false)));
    if (maxBytes > 1)
        bytes += Comm1.read(maxBytes - 1);
    return bytes;
}

void SerialLine::abortWith(LinkLoss loss)
{
    TimeoutTimer.stop();
    ResendTimer.stop();
    forgetReplies();
    m_events.linkLost(loss);
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

void SerialLine::advanceSequence()
{
    BfbSequence = BfbSequence >= 255 ? 0 : qint16(BfbSequence + 1);
}

QByteArray SerialLine::dataFrame(const QByteArray &payload)
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

void SerialLine::writeBlock(const BlockWrites &writes)
{
    for (const QByteArray &write : writes)
        Comm1.write(write);
    m_resendDue = false;
    ResendTimer.start();
}

SerialLine::BlockWrites SerialLine::frames(const QByteArray &block)
{
    // A block that fits travels in one frame; otherwise full 32-byte frames and the rest.
    BlockWrites writes;
    qsizetype offset = 0;
    do {
        const qsizetype piece = std::min<qsizetype>(MaxFramePayload, block.size() - offset);
        writes.append(dataFrame(block.mid(offset, piece)));
        offset += piece;
    } while (offset < block.size());
    return writes;
}

QByteArray SerialLine::framed(const QByteArray &block)
{
    return frames(block).join();
}

void SerialLine::SendPacket(const QByteArray &block)
{
    const BlockWrites writes = frames(block);
    writeBlock(writes);
    advanceSequence();
    awaitAcknowledgement(writes);
}

void SerialLine::SendPrebuilt(const QByteArray &frames)
{
    const BlockWrites writes{frames};
    writeBlock(writes);
    advanceSequence();
    awaitAcknowledgement(writes);
}

void SerialLine::awaitAcknowledgement(const BlockWrites &writes)
{
    AckWait wait{writes};
    const auto stopResending = qScopeGuard([this] { ResendTimer.stop(); });
    for (;;) {
        const BfbReceiver::Reply reply = nextSoundReply(&wait);
        if (isRepeat(reply)) {
            acknowledgeRepeat();
            continue;
        }
        m_surplusAcks += wait.resends;
        if (reply.kind == BfbReceiver::Reply::Kind::Acknowledge)
            return;
        // A response where the acknowledgement belongs: the phone took the block and its
        // acknowledgement was lost on the way. The response is the next reply.
        m_lastAccepted = reply.sequence;
        m_heldResponse = reply.packet;
        return;
    }
}

SerialLine::Reply SerialLine::ReceiveReply()
{
    if (m_heldResponse) {
        Reply held{Reply::Kind::Packet, *m_heldResponse};
        m_heldResponse.reset();
        return held;
    }
    for (;;) {
        const BfbReceiver::Reply reply = nextSoundReply(nullptr);
        if (reply.kind == BfbReceiver::Reply::Kind::Acknowledge) {
            if (m_surplusAcks == 0)
                return {Reply::Kind::Acknowledge, {}};
            --m_surplusAcks;
            continue;
        }
        if (isRepeat(reply)) {
            acknowledgeRepeat();
            continue;
        }
        m_lastAccepted = reply.sequence;
        return {Reply::Kind::Packet, reply.packet};
    }
}

BfbReceiver::Reply SerialLine::nextSoundReply(AckWait *wait)
{
    int bad = 0;
    QElapsedTimer sinceByte;
    for (;;) {
        // Every byte has its own time-out; sending the block again does not restart it.
        if (!TimeoutTimer.isActive())
            TimeoutTimer.start();
        // Never in the middle of a reply: it may be the acknowledgement, only slow.
        const bool resendable = wait && m_receiver.betweenReplies() && wait->resends < MaxResends;
        const std::optional<quint8> byte = waitForByte(resendable);
        if (!byte) {
            ++wait->resends;
            m_events.linkRepaired(LinkRepair::BlockSentAgain);
            writeBlock(wait->writes);
            continue;
        }
        const bool afterPause = sinceByte.isValid() && sinceByte.elapsed() >= QuietTimer.interval();
        sinceByte.start();
        const std::optional<BfbReceiver::Reply> reply = m_receiver.feed(*byte, afterPause);
        if (!reply)
            continue;
        if (reply->kind != BfbReceiver::Reply::Kind::Bad)
            return *reply;
        if (++bad == MaxBadReplies)
            AbortOnBadData();
        m_events.linkRepaired(LinkRepair::BadReplyDropped);
        if (reply->drainLine)
            drainLine();
    }
}

bool SerialLine::isRepeat(const BfbReceiver::Reply &reply) const
{
    return reply.kind == BfbReceiver::Reply::Kind::Block && m_lastAccepted == reply.sequence;
}

void SerialLine::acknowledgeRepeat()
{
    SendAck();
    m_events.linkRepaired(LinkRepair::RepeatAcknowledged);
}

void SerialLine::drainLine()
{
    // A line that never falls quiet is no phone to talk to.
    const QDeadlineTimer limit(TimeoutTimer.interval());
    QuietTimer.start();
    bool watchPort = true;
    for (;;) {
        QCoreApplication::processEvents(QEventLoop::AllEvents);
        throwIfStopRequested();
        if (Comm1.bytesWaiting() > 0) {
            if (!Comm1.read(SerialPort::WholeQueue).isEmpty()) {
                if (limit.hasExpired())
                    AbortOnBadData();
                QuietTimer.start();
                continue;
            }
            watchPort = false;
        }
        if (!QuietTimer.isActive())
            return;
        sleepForEvents(watchPort);
    }
}

void SerialLine::SendAck()
{
    Comm1.write(AckFrame);
}
