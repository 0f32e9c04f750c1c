#include "obexrequests.h"

#include "checksum.h"

#include <utility>

namespace ObexRequest {

namespace {

constexpr char SetPathFinal = char(0x85);
constexpr char GetFinal = char(0x83);
constexpr char PutFinal = char(0x82);
constexpr char Put = char(0x02);

void appendBigEndian16(QByteArray &bytes, qsizetype value)
{
    bytes.append(char((value >> 8) & 0xFF));
    bytes.append(char(value & 0xFF));
}

// Opcode, a length filled in afterwards, then the rest of the packet.
QByteArray packet(char opcode, const QByteArray &fieldsAndHeaders)
{
    QByteArray bytes;
    bytes.append(opcode);
    appendBigEndian16(bytes, 3 + fieldsAndHeaders.size());
    bytes.append(fieldsAndHeaders);
    return bytes;
}

QByteArray crcBytes(const QByteArray &covered, Checksum &crc)
{
    const quint16 value = crc.CrcCalc(covered);
    QByteArray bytes;
    bytes.append(char(value & 0xFF));
    bytes.append(char(value >> 8));
    return bytes;
}

std::optional<QByteArray> nameRequestBlock(char command, int sequence, const QByteArray &packetBytes, Checksum &crc)
{
    if (packetBytes.size() > NameRequestPacketLimit)
        return std::nullopt;
    return dataBlock(command, sequence, packetBytes, crc);
}

QByteArray frame(const char header[3], const QByteArray &payload)
{
    return QByteArray(header, 3) + payload;
}

} // namespace

char commandForSequence(int sequence)
{
    return sequence == 1 ? 0x02 : 0x03;
}

QByteArray dataBlock(char command, int sequence, const QByteArray &packetBytes, Checksum &crc)
{
    QByteArray covered;
    covered.append(char(sequence & 0xFF));
    appendBigEndian16(covered, packetBytes.size());
    covered.append(packetBytes);
    QByteArray block;
    block.append(command);
    block.append(char(~command));
    block.append(covered);
    block.append(crcBytes(covered, crc));
    return block;
}

QByteArray nameHeader(const QByteArray &name)
{
    QByteArray header;
    header.append(char(0x01));
    appendBigEndian16(header, 2 * name.size() + 5);
    for (char b : name) {
        header.append(char(0x00));
        header.append(b);
    }
    header.append(2, char(0x00));
    return header;
}

std::optional<QByteArray> enterFolderBlock(int sequence, const QByteArray &name, Checksum &crc)
{
    const QByteArray flagsDoNotCreate("\x02\x00", 2);
    return nameRequestBlock(commandForSequence(sequence), sequence,
                            packet(SetPathFinal, flagsDoNotCreate + nameHeader(name)), crc);
}

std::optional<QByteArray> makeFolderBlock(int sequence, const QByteArray &name, Checksum &crc)
{
    const QByteArray flagsCreate("\x00\x00", 2);
    return nameRequestBlock(commandForSequence(sequence), sequence,
                            packet(SetPathFinal, flagsCreate + nameHeader(name)), crc);
}

std::optional<QByteArray> getFileBlock(int sequence, const QByteArray &name, Checksum &crc)
{
    return nameRequestBlock(commandForSequence(sequence), sequence, packet(GetFinal, nameHeader(name)), crc);
}

std::optional<QByteArray> deleteBlock(int sequence, const QByteArray &name, Checksum &crc)
{
    return nameRequestBlock(0x03, sequence, packet(PutFinal, nameHeader(name)), crc);
}

QByteArray memoryBlock(int sequence, MemoryFigure figure, Checksum &crc)
{
    QByteArray applicationParameters("\x4C\x00\x06\x32\x01", 5);
    applicationParameters.append(char(figure));
    return dataBlock(0x03, sequence, packet(GetFinal, applicationParameters), crc);
}

std::optional<QByteArray> moveBlock(int sequence, const QString &fromPath, const QString &toPath, Checksum &crc)
{
    QByteArray parameters("\x34\x04move", 6);
    const std::pair<char, const QString *> paths[] = {{char(0x35), &fromPath}, {char(0x36), &toPath}};
    for (const auto &[tag, path] : paths) {
        if (path->isEmpty() || path->size() > MaxMovePathUnits)
            return std::nullopt;
        parameters.append(tag);
        parameters.append(char(2 * path->size()));
        for (const QChar unit : *path) {
            parameters.append(char(unit.unicode() >> 8));
            parameters.append(char(unit.unicode() & 0xFF));
        }
    }
    QByteArray header;
    header.append(char(0x4C));
    appendBigEndian16(header, 3 + parameters.size());
    header.append(parameters);
    return dataBlock(0x03, sequence, packet(PutFinal, header), crc);
}

QByteArray parentFolderFrame(int sequence, Checksum &crc)
{
    static const char header[3] = {0x16, 0x0C, 0x1A};
    return frame(header, dataBlock(0x03, sequence, QByteArray("\x85\x00\x05\x03\x00", 5), crc));
}

QByteArray folderListingFrames(int sequence, Checksum &crc)
{
    static const char firstHeader[3] = {0x16, 0x20, 0x36};
    static const char secondHeader[3] = {0x16, 0x03, 0x15};
    QByteArray typeHeader("\x42\x00\x19", 3);
    typeHeader.append("x-obex/folder-listing");
    typeHeader.append(char(0x00));
    const QByteArray block = dataBlock(0x03, sequence, packet(GetFinal, typeHeader), crc);
    return frame(firstHeader, block.left(32)) + frame(secondHeader, block.mid(32));
}

QByteArray continuationFrame(int sequence, Checksum &crc)
{
    static const char header[3] = {0x16, 0x0A, 0x1C};
    return frame(header, dataBlock(0x03, sequence, QByteArray("\x83\x00\x03", 3), crc));
}

std::optional<QByteArray> uploadFirstBlock(int sequence, const QByteArray &name, quint32 stagingLength,
                                           const QByteArray &record, Checksum &crc)
{
    if (stagingLength > 0xFFFFFF)
        return std::nullopt;
    QByteArray headers = nameHeader(name);
    headers.append(char(0xC3));
    headers.append(char(0x00));
    headers.append(char((stagingLength >> 16) & 0xFF));
    headers.append(char((stagingLength >> 8) & 0xFF));
    headers.append(char(stagingLength & 0xFF));
    headers.append(char(0x48));
    appendBigEndian16(headers, record.size());
    headers.append(record);
    const QByteArray block = dataBlock(0x03, sequence, packet(Put, headers), crc);
    if (block.size() > UploadBufferSize)
        return std::nullopt;
    return block;
}

QByteArray uploadBodyBlock(int sequence, const QByteArray &record, Checksum &crc)
{
    QByteArray body;
    body.append(char(0x48));
    appendBigEndian16(body, record.size());
    body.append(record);
    return dataBlock(0x03, sequence, packet(Put, body), crc);
}

QByteArray uploadEndBlock(int sequence, Checksum &crc)
{
    return dataBlock(0x03, sequence, packet(PutFinal, QByteArray("\x49\x00\x03", 3)), crc);
}

} // namespace ObexRequest
