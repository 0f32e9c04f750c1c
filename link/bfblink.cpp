#include "bfblink.h"

#include "checksum.h"
#include "phoneevents.h"
#include "serialline.h"

#include <QElapsedTimer>
#include <QScopeGuard>

struct BfbLink::AckWait
{
    const BlockWrites &writes;
    int resends = 0;
};

BfbLink::BfbLink(SerialLine &line, Checksum &crc, TransferEvents &events)
    : m_line(line), Crc(crc), m_events(events), m_receiver(crc)
{
    m_resendTimer.setSingleShot(true);
    // As with the time-out: a coarse timer may send a block again 5 % too early.
    m_resendTimer.setTimerType(Qt::PreciseTimer);
    m_resendTimer.setInterval(DefaultResendMs);
    QObject::connect(&m_resendTimer, &QTimer::timeout, &m_resendTimer, [this] { m_resendDue = true; });
}

void BfbLink::setResendInterval(int ms)
{
    m_resendTimer.setInterval(ms);
}

void BfbLink::restart()
{
    BfbSequence = 1;
    m_resendTimer.stop();
    forgetReplies();
}

void BfbLink::forgetReplies()
{
    m_receiver.reset();
    m_lastAccepted.reset();
    m_heldResponse.reset();
    m_surplusAcks = 0;
}

void BfbLink::advanceSequence()
{
    BfbSequence = BfbSequence >= 255 ? 0 : qint16(BfbSequence + 1);
}

QByteArray BfbLink::blockFor(const QByteArray &request)
{
    return Bfb::dataBlock(Bfb::commandFor(request, BfbSequence), BfbSequence, request, Crc);
}

QByteArray BfbLink::framed(const QByteArray &block)
{
    return Bfb::dataFrames(block, Crc).join();
}

void BfbLink::writeBlock(const BlockWrites &writes)
{
    for (const QByteArray &write : writes)
        m_line.writeRaw(write);
    m_resendDue = false;
    m_resendTimer.start();
}

void BfbLink::SendPacket(const QByteArray &block)
{
    const BlockWrites writes = Bfb::dataFrames(block, Crc);
    writeBlock(writes);
    advanceSequence();
    awaitAcknowledgement(writes);
}

void BfbLink::sendPrebuilt(const QByteArray &frames)
{
    const BlockWrites writes{frames};
    writeBlock(writes);
    advanceSequence();
    awaitAcknowledgement(writes);
}

void BfbLink::awaitAcknowledgement(const BlockWrites &writes)
{
    AckWait wait{writes};
    const auto stopResending = qScopeGuard([this] { m_resendTimer.stop(); });
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

BfbLink::Reply BfbLink::ReceiveReply()
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

BfbReceiver::Reply BfbLink::nextSoundReply(AckWait *wait)
{
    int bad = 0;
    QElapsedTimer sinceByte;
    for (;;) {
        // Never in the middle of a reply: it may be the acknowledgement, only slow.
        const bool resendable = wait && m_receiver.betweenReplies() && wait->resends < MaxResends;
        // Every byte has its own time-out; sending the block again does not restart it.
        const std::optional<quint8> byte = m_line.nextByte([&] { return resendable && m_resendDue; });
        if (!byte) {
            ++wait->resends;
            m_events.linkRepaired(LinkRepair::BlockSentAgain);
            writeBlock(wait->writes);
            continue;
        }
        const bool afterPause = sinceByte.isValid() && sinceByte.elapsed() >= m_line.quietInterval();
        sinceByte.start();
        const std::optional<BfbReceiver::Reply> reply = m_receiver.feed(*byte, afterPause);
        if (!reply)
            continue;
        if (reply->kind != BfbReceiver::Reply::Kind::Bad)
            return *reply;
        if (++bad == MaxBadReplies)
            m_line.AbortOnBadData();
        m_events.linkRepaired(LinkRepair::BadReplyDropped);
        if (reply->drainLine)
            m_line.drainLine();
    }
}

bool BfbLink::isRepeat(const BfbReceiver::Reply &reply) const
{
    return reply.kind == BfbReceiver::Reply::Kind::Block && m_lastAccepted == reply.sequence;
}

void BfbLink::acknowledgeRepeat()
{
    SendAck();
    m_events.linkRepaired(LinkRepair::RepeatAcknowledged);
}

void BfbLink::SendAck()
{
    m_line.writeRaw(Bfb::AckFrame);
}

QByteArray BfbLink::sendConnect(const QByteArray &connectRequest, int minimum, int capMs)
{
    // Both frames of the CONNECT in one write.
    m_line.writeRaw(framed(Bfb::dataBlock(Bfb::commandFor(connectRequest, 0), 0, connectRequest, Crc)));
    // The answer is whole with the acknowledgement and the phone's block.
    BfbReceiver receiver(Crc);
    qsizetype fed = 0;
    bool blockIn = false;
    return m_line.readQueueUntil(
        [&](const QByteArray &answer) {
            for (; fed < answer.size(); ++fed) {
                const std::optional<BfbReceiver::Reply> reply = receiver.feed(quint8(answer.at(fed)));
                blockIn = blockIn || (reply && reply->kind == BfbReceiver::Reply::Kind::Block);
            }
            return blockIn && answer.size() >= minimum;
        },
        capMs);
}

QByteArray BfbLink::acceptConnectAnswer(const QByteArray &answer)
{
    // The answer holds the acknowledgement of the CONNECT and the phone's first block.
    BfbReceiver receiver(Crc);
    QByteArray packet;
    for (const char byte : answer) {
        const std::optional<BfbReceiver::Reply> reply = receiver.feed(quint8(byte));
        if (reply && reply->kind == BfbReceiver::Reply::Kind::Block) {
            m_lastAccepted = reply->sequence;
            packet = reply->packet;
        }
    }
    SendAck();
    return packet;
}

bool BfbLink::disconnect(const QByteArray &request, int capMs)
{
    const QByteArray block = blockFor(request);
    m_line.stopTimeout();
    m_resendTimer.stop();
    forgetReplies();
    // What is left of an interrupted exchange goes first.
    m_line.readQueue();
    if (!m_line.writeRaw(framed(block)))
        return false;
    advanceSequence();
    // The answer is a three-byte response; blocks of an interrupted exchange that the
    // phone sends again are acknowledged so that it stops.
    BfbReceiver receiver(Crc);
    bool answered = false;
    qsizetype fed = 0;
    m_line.readQueueUntil(
        [&](const QByteArray &bytes) {
            for (; fed < bytes.size(); ++fed) {
                const std::optional<BfbReceiver::Reply> reply = receiver.feed(quint8(bytes.at(fed)));
                if (!reply || reply->kind != BfbReceiver::Reply::Kind::Block)
                    continue;
                SendAck();
                if (reply->packet.size() == request.size())
                    answered = true;
            }
            return answered;
        },
        capMs);
    return answered;
}
