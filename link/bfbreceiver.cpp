#include "bfbreceiver.h"

#include "bfbframes.h"
#include "checksum.h"

BfbReceiver::BfbReceiver(Checksum &checksum) : component(checksum) {}

void BfbReceiver::reset()
{
    expect = Expect::FrameType;
    frameLength = 0;
    frameRemaining = 0;
    leftover = 0;
    taken = 0;
    command = 0;
    blockLength = 0;
    covered.clear();
    crcLow = 0;
    probing = false;
    probe.clear();
}

std::optional<BfbReceiver::Reply> BfbReceiver::feed(quint8 byte, bool afterPause)
{
    switch (expect) {
    case Expect::Leftover:
        if (--leftover == 0)
            expect = Expect::FrameType;
        return std::nullopt;
    case Expect::FrameType:
        if (byte != Bfb::DataFrameType)
            return bad(Fault::NotAFrame, true);
        // A phone sends a block again only once it has sent all of it: a pause in the
        // middle of a block whose length is known may be a damaged length.
        probing = afterPause && taken >= Bfb::BlockHeaderSize && command != Bfb::AckCommand;
        probe.clear();
        expect = Expect::FrameLength;
        return std::nullopt;
    case Expect::FrameLength:
        frameLength = byte;
        expect = Expect::FrameCheck;
        return std::nullopt;
    case Expect::FrameCheck:
        if (byte != quint8(component.Xor(Bfb::DataFrameType, qint16(frameLength))))
            return bad(Fault::HeaderCheck, true);
        // Nothing follows from an empty frame; an endless run of them must not keep the reply open.
        if (frameLength == 0)
            return bad(Fault::EmptyFrame, true);
        frameRemaining = frameLength;
        expect = Expect::Payload;
        return std::nullopt;
    case Expect::Payload:
        --frameRemaining;
        if (auto reply = takePayload(byte))
            return reply;
        if (probing) {
            if (auto reply = probeForResend(byte))
                return reply;
        }
        // The reply goes on in the next frame.
        if (frameRemaining == 0)
            expect = Expect::FrameType;
        return std::nullopt;
    }
    return std::nullopt;
}

std::optional<BfbReceiver::Reply> BfbReceiver::takePayload(quint8 byte)
{
    const int index = taken++;
    switch (index) {
    case 0:
        command = byte;
        return std::nullopt;
    case 1:
        if (command == Bfb::AckCommand) {
            if (byte != Bfb::AckComplement)
                return bad(Fault::Complement, true);
            reset();
            Reply ack;
            ack.kind = Reply::Kind::Acknowledge;
            return ack;
        }
        if (byte != quint8(~command))
            return bad(Fault::Complement, true);
        return std::nullopt;
    case 2: // sequence number
    case 3: // length, high byte
        covered.append(char(byte));
        return std::nullopt;
    case 4:
        covered.append(char(byte));
        blockLength = quint8(covered.at(1)) << 8 | byte;
        if (blockLength > MaxBlockLength)
            return bad(Fault::Length, true);
        covered.reserve(3 + blockLength);
        return std::nullopt;
    default:
        break;
    }
    const int packetEnd = Bfb::BlockHeaderSize + blockLength;
    if (index < packetEnd) {
        covered.append(char(byte));
        return std::nullopt;
    }
    if (index == packetEnd) {
        crcLow = byte;
        return std::nullopt;
    }
    return finishBlock(quint16(crcLow | byte << 8));
}

std::optional<BfbReceiver::Reply> BfbReceiver::probeForResend(quint8 byte)
{
    probe.append(char(byte));
    if (probe.size() < 3) {
        probing = frameRemaining > 0;
        return std::nullopt;
    }
    probing = false;
    QByteArray header;
    header.append(char(command));
    header.append(char(~command));
    header.append(covered.at(0));
    if (probe != header)
        return std::nullopt;
    // The frame starts the block again: read on from its header.
    const int length = frameLength;
    const int remaining = frameRemaining;
    const QByteArray start = probe;
    reset();
    command = quint8(start.at(0));
    covered.append(start.at(2));
    taken = 3;
    frameLength = length;
    frameRemaining = remaining;
    expect = remaining > 0 ? Expect::Payload : Expect::FrameType;
    Reply reply;
    reply.kind = Reply::Kind::Bad;
    reply.fault = Fault::SentAgain;
    return reply;
}

std::optional<BfbReceiver::Reply> BfbReceiver::finishBlock(quint16 received)
{
    const bool crcGood = component.CrcCalc(covered) == received;
    if (crcGood && frameRemaining == 0) {
        Reply block;
        block.kind = Reply::Kind::Block;
        block.sequence = quint8(covered.at(0));
        block.packet = covered.mid(3);
        reset();
        return block;
    }
    // A block that passed its CRC has a trustworthy length: what is left of its frame is known.
    // A failed one whose frame goes on may have a damaged length: its end is unknown.
    if (crcGood)
        return bad(Fault::TrailingBytes, false);
    return bad(Fault::Crc, frameRemaining > 0);
}

BfbReceiver::Reply BfbReceiver::bad(Fault fault, bool drainLine)
{
    const int rest = drainLine ? 0 : frameRemaining;
    reset();
    if (rest > 0) {
        leftover = rest;
        expect = Expect::Leftover;
    }
    Reply reply;
    reply.kind = Reply::Kind::Bad;
    reply.fault = fault;
    reply.drainLine = drainLine;
    reply.leftover = rest;
    return reply;
}
