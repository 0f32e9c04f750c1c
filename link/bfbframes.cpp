#include "bfbframes.h"

#include "checksum.h"

#include <algorithm>

namespace {

// What commandFor reads of an OBEX request: its opcode, SETPATH's flags and a GET's
// first header.
constexpr quint8 ConnectOpcode = 0x80;
constexpr quint8 SetPathFinal = 0x85;
constexpr quint8 GetFinal = 0x83;
constexpr quint8 SetPathUp = 0x03; // SETPATH flags: back up, do not create
constexpr quint8 NameHeader = 0x01;

quint8 byteAt(const QByteArray &packet, qsizetype index)
{
    return index < packet.size() ? quint8(packet.at(index)) : 0;
}

QByteArray dataFrame(const QByteArray &payload, Checksum &crc)
{
    const quint8 length = quint8(payload.size());
    QByteArray frame;
    frame.reserve(Bfb::FrameHeaderSize + payload.size());
    frame.append(char(Bfb::DataFrameType));
    frame.append(char(length));
    frame.append(char(quint8(crc.Xor(Bfb::DataFrameType, length))));
    frame.append(payload);
    return frame;
}

} // namespace

namespace Bfb {

std::optional<QByteArray> speedFrameFor(int baud)
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

quint8 commandFor(const QByteArray &request, int sequence)
{
    const quint8 opcode = byteAt(request, 0);
    if (opcode == ConnectOpcode)
        return StartCommand;
    const bool intoFolder = opcode == SetPathFinal && request.size() > 3 && byteAt(request, 3) != SetPathUp;
    const bool getByName = opcode == GetFinal && byteAt(request, 3) == NameHeader;
    return sequence == 1 && (intoFolder || getByName) ? StartCommand : DataCommand;
}

QByteArray dataBlock(quint8 command, int sequence, const QByteArray &packet, Checksum &crc)
{
    QByteArray block;
    block.reserve(packet.size() + 7);
    block.append(char(command));
    block.append(char(~command));
    block.append(char(sequence & 0xFF));
    block.append(char((packet.size() >> 8) & 0xFF));
    block.append(char(packet.size() & 0xFF));
    block.append(packet);
    // The command byte and its complement are not covered.
    const quint16 value = crc.CrcCalc(block.mid(2));
    block.append(char(value & 0xFF));
    block.append(char(value >> 8));
    return block;
}

QList<QByteArray> dataFrames(const QByteArray &block, Checksum &crc)
{
    QList<QByteArray> frames;
    qsizetype offset = 0;
    do {
        const qsizetype piece = std::min<qsizetype>(MaxFramePayload, block.size() - offset);
        frames.append(dataFrame(block.mid(offset, piece), crc));
        offset += piece;
    } while (offset < block.size());
    return frames;
}

} // namespace Bfb
