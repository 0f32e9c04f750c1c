#include "obexrequests.h"

#include <utility>

namespace ObexRequest {

namespace {

constexpr char Connect = char(0x80);
constexpr char Disconnect = char(0x81);
constexpr char SetPathFinal = char(0x85);
constexpr char GetFinal = char(0x83);
constexpr char PutFinal = char(0x82);
constexpr char Put = char(0x02);
constexpr char Abort = char(0xFF);

void appendBigEndian16(QByteArray &bytes, qsizetype value)
{
    bytes.append(char((value >> 8) & 0xFF));
    bytes.append(char(value & 0xFF));
}

// Opcode, the length of the whole packet, then the rest of the packet.
QByteArray packet(char opcode, const QByteArray &fieldsAndHeaders)
{
    QByteArray bytes;
    bytes.append(opcode);
    appendBigEndian16(bytes, 3 + fieldsAndHeaders.size());
    bytes.append(fieldsAndHeaders);
    return bytes;
}

std::optional<QByteArray> nameRequest(char opcode, const QByteArray &fieldsAndHeaders)
{
    QByteArray bytes = packet(opcode, fieldsAndHeaders);
    if (bytes.size() > NameRequestPacketLimit)
        return std::nullopt;
    return bytes;
}

} // namespace

QByteArray connect()
{
    // Version 1.0, flags 0, maximum packet 0x4006; Target header with the service identifier.
    return packet(Connect,
                  QByteArray::fromHex("10004006"
                                      "460013"
                                      "6B01CB31410611D49A770050DA3F471F"));
}

QByteArray disconnect()
{
    return packet(Disconnect, {});
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

std::optional<QByteArray> enterFolder(const QByteArray &name)
{
    const QByteArray flagsDoNotCreate("\x02\x00", 2);
    return nameRequest(SetPathFinal, flagsDoNotCreate + nameHeader(name));
}

std::optional<QByteArray> makeFolder(const QByteArray &name)
{
    const QByteArray flagsCreate("\x00\x00", 2);
    return nameRequest(SetPathFinal, flagsCreate + nameHeader(name));
}

std::optional<QByteArray> getFile(const QByteArray &name)
{
    return nameRequest(GetFinal, nameHeader(name));
}

std::optional<QByteArray> deleteObject(const QByteArray &name)
{
    return nameRequest(PutFinal, nameHeader(name));
}

QByteArray memory(MemoryFigure figure)
{
    QByteArray applicationParameters("\x4C\x00\x06\x32\x01", 5);
    applicationParameters.append(char(figure));
    return packet(GetFinal, applicationParameters);
}

QByteArray parentFolder()
{
    const QByteArray flagsUpDoNotCreate("\x03\x00", 2);
    return packet(SetPathFinal, flagsUpDoNotCreate);
}

QByteArray rootFolder()
{
    // Flags 02, constants 00, then a Name header without a value (not even a terminator).
    return packet(SetPathFinal, QByteArray("\x02\x00\x01\x00\x03", 5));
}

QByteArray folderListing()
{
    QByteArray typeHeader("\x42\x00\x19", 3);
    typeHeader.append("x-obex/folder-listing");
    typeHeader.append(char(0x00));
    return packet(GetFinal, typeHeader);
}

QByteArray continuation()
{
    return packet(GetFinal, {});
}

QByteArray abort()
{
    return packet(Abort, {});
}

std::optional<QByteArray> move(const QString &fromPath, const QString &toPath)
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
    return packet(PutFinal, header);
}

std::optional<QByteArray> uploadFirst(const QByteArray &name, quint32 stagingLength, const QByteArray &record)
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
    QByteArray bytes = packet(Put, headers);
    if (bytes.size() > MaxUploadPacket)
        return std::nullopt;
    return bytes;
}

QByteArray uploadBody(const QByteArray &record)
{
    QByteArray body;
    body.append(char(0x48));
    appendBigEndian16(body, record.size());
    body.append(record);
    return packet(Put, body);
}

QByteArray uploadEnd()
{
    return packet(PutFinal, QByteArray("\x49\x00\x03", 3));
}

namespace {

QByteArray byteHeader(char id, const QByteArray &value)
{
    QByteArray header(1, id);
    appendBigEndian16(header, 3 + value.size());
    return header + value;
}

} // namespace

QByteArray putName(const QByteArray &name)
{
    return packet(Put, nameHeader(name));
}

QByteArray putBody(const QByteArray &piece)
{
    return packet(Put, byteHeader(0x48, piece));
}

QByteArray putFinal(const QByteArray &piece)
{
    return packet(PutFinal, byteHeader(0x49, piece));
}

} // namespace ObexRequest
