#include "bfbreceiver.h"

#include "bfbframes.h"
#include "checksum.h"

BfbReceiver::BfbReceiver(Checksum &checksum) : m_component(checksum) {}

void BfbReceiver::reset()
{
    m_expect = Expect::FrameType;
    m_frameLength = 0;
    m_frameRemaining = 0;
    m_leftover = 0;
    m_taken = 0;
    m_command = 0;
    m_blockLength = 0;
    m_covered.clear();
    m_crcLow = 0;
    m_probing = false;
    m_probe.clear();
}

std::optional<BfbReceiver::Reply> BfbReceiver::feed(quint8 byte, bool afterPause)
{
    switch (m_expect) {
    case Expect::Leftover:
        if (--m_leftover == 0)
            m_expect = Expect::FrameType;
        return std::nullopt;
    case Expect::FrameType:
        if (byte != Bfb::DataFrameType)
            return bad(Fault::NotAFrame, true);
        // A phone sends a block again only once it has sent all of it: a pause in the
        // middle of a block whose length is known may be a damaged length.
        m_probing = afterPause && m_taken >= Bfb::BlockHeaderSize && m_command != Bfb::AckCommand;
        m_probe.clear();
        m_expect = Expect::FrameLength;
        return std::nullopt;
    case Expect::FrameLength:
        m_frameLength = byte;
        m_expect = Expect::FrameCheck;
        return std::nullopt;
    case Expect::FrameCheck:
        if (byte != quint8(m_component.Xor(Bfb::DataFrameType, qint16(m_frameLength))))
            return bad(Fault::HeaderCheck, true);
        // Nothing follows from an empty frame; an endless run of them must not keep the reply open.
        if (m_frameLength == 0)
            return bad(Fault::EmptyFrame, true);
        m_frameRemaining = m_frameLength;
        m_expect = Expect::Payload;
        return std::nullopt;
    case Expect::Payload:
        --m_frameRemaining;
        if (auto reply = takePayload(byte))
            return reply;
        if (m_probing) {
            if (auto reply = probeForResend(byte))
                return reply;
        }
        // The reply goes on in the next frame.
        if (m_frameRemaining == 0)
            m_expect = Expect::FrameType;
        return std::nullopt;
    }
    return std::nullopt;
}

std::optional<BfbReceiver::Reply> BfbReceiver::takePayload(quint8 byte)
{
    const int index = m_taken++;
    switch (index) {
    case 0:
        m_command = byte;
        return std::nullopt;
    case 1:
        if (m_command == Bfb::AckCommand) {
            if (byte != Bfb::AckComplement)
                return bad(Fault::Complement, true);
            reset();
            Reply ack;
            ack.kind = Reply::Kind::Acknowledge;
            return ack;
        }
        if (byte != quint8(~m_command))
            return bad(Fault::Complement, true);
        return std::nullopt;
    case 2: // sequence number
    case 3: // length, high byte
        m_covered.append(char(byte));
        return std::nullopt;
    case 4:
        m_covered.append(char(byte));
        m_blockLength = quint8(m_covered.at(1)) << 8 | byte;
        if (m_blockLength > MaxBlockLength)
            return bad(Fault::Length, true);
        m_covered.reserve(3 + m_blockLength);
        return std::nullopt;
    default:
        break;
    }
    const int packetEnd = Bfb::BlockHeaderSize + m_blockLength;
    if (index < packetEnd) {
        m_covered.append(char(byte));
        return std::nullopt;
    }
    if (index == packetEnd) {
        m_crcLow = byte;
        return std::nullopt;
    }
    return finishBlock(quint16(m_crcLow | byte << 8));
}

std::optional<BfbReceiver::Reply> BfbReceiver::probeForResend(quint8 byte)
{
    m_probe.append(char(byte));
    if (m_probe.size() < 3) {
        m_probing = m_frameRemaining > 0;
        return std::nullopt;
    }
    m_probing = false;
    QByteArray header;
    header.append(char(m_command));
    header.append(char(~m_command));
    header.append(m_covered.at(0));
    if (m_probe != header)
        return std::nullopt;
    // The frame starts the block again: read on from its header.
    const int length = m_frameLength;
    const int remaining = m_frameRemaining;
    const QByteArray start = m_probe;
    reset();
    m_command = quint8(start.at(0));
    m_covered.append(start.at(2));
    m_taken = 3;
    m_frameLength = length;
    m_frameRemaining = remaining;
    m_expect = remaining > 0 ? Expect::Payload : Expect::FrameType;
    Reply reply;
    reply.kind = Reply::Kind::Bad;
    reply.fault = Fault::SentAgain;
    return reply;
}

std::optional<BfbReceiver::Reply> BfbReceiver::finishBlock(quint16 received)
{
    const bool crcGood = m_component.CrcCalc(m_covered) == received;
    if (crcGood && m_frameRemaining == 0) {
        Reply block;
        block.kind = Reply::Kind::Block;
        block.sequence = quint8(m_covered.at(0));
        block.packet = m_covered.mid(3);
        reset();
        return block;
    }
    // A block that passed its CRC has a trustworthy length: what is left of its frame is known.
    // A failed one whose frame goes on may have a damaged length: its end is unknown.
    if (crcGood)
        return bad(Fault::TrailingBytes, false);
    return bad(Fault::Crc, m_frameRemaining > 0);
}

BfbReceiver::Reply BfbReceiver::bad(Fault fault, bool drainLine)
{
    const int rest = drainLine ? 0 : m_frameRemaining;
    reset();
    if (rest > 0) {
        m_leftover = rest;
        m_expect = Expect::Leftover;
    }
    Reply reply;
    reply.kind = Reply::Kind::Bad;
    reply.fault = fault;
    reply.drainLine = drainLine;
    reply.leftover = rest;
    return reply;
}
