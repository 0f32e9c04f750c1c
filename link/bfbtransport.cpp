#include "bfbtransport.h"

#include "checksum.h"
#include "serialline.h"

namespace {

constexpr quint8 Connect = 0x80;
constexpr quint8 SetPathFinal = 0x85;
constexpr quint8 GetFinal = 0x83;
constexpr quint8 SetPathUp = 0x03; // SETPATH flags: back up, do not create
constexpr quint8 NameHeader = 0x01;
constexpr quint8 TypeHeader = 0x42;

// Opcode and length come first; SETPATH's flags and a GET's first header follow them.
quint8 byteAt(const QByteArray &packet, qsizetype index)
{
    return index < packet.size() ? quint8(packet.at(index)) : 0;
}

// The folder-listing GET: the window's sequence indicator shows the number it carries,
// and its two frames go out in one write.
bool isFolderListing(const QByteArray &request)
{
    return byteAt(request, 0) == GetFinal && byteAt(request, 3) == TypeHeader;
}

} // namespace

BfbTransport::BfbTransport(SerialLine &link) : m_link(link) {}

char BfbTransport::commandFor(const QByteArray &request, int sequence)
{
    const quint8 opcode = byteAt(request, 0);
    if (opcode == Connect)
        return 0x02;
    const bool intoFolder = opcode == SetPathFinal && request.size() > 3 && byteAt(request, 3) != SetPathUp;
    const bool getByName = opcode == GetFinal && byteAt(request, 3) == NameHeader;
    return sequence == 1 && (intoFolder || getByName) ? 0x02 : 0x03;
}

QByteArray BfbTransport::dataBlock(char command, int sequence, const QByteArray &packet, Checksum &crc)
{
    QByteArray block;
    block.reserve(packet.size() + 7);
    block.append(command);
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

QByteArray BfbTransport::connectFrames(const QByteArray &connectRequest, SerialLine &link)
{
    return link.framed(dataBlock(commandFor(connectRequest, 0), 0, connectRequest, link.crc()));
}

QByteArray BfbTransport::exchange(const QByteArray &request)
{
    const int sequence = m_link.bfbSequence();
    const QByteArray block = dataBlock(commandFor(request, sequence), sequence, request, m_link.crc());
    if (isFolderListing(request)) {
        m_link.events().sequenceReported(sequence);
        m_link.SendPrebuilt(m_link.framed(block));
    } else {
        m_link.SendPacket(block);
    }
    const QByteArray response = m_link.ReceiveReply().packet;
    m_link.SendAck();
    return response;
}
