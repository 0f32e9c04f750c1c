#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

class Checksum;

// The BFB data blocks and prebuilt frames of every OBEX request the program sends.
// Pure functions: given the sequence number and the checksum component they return
// the exact bytes for the wire.
namespace ObexRequest {

// A request around a name is built to the name's size, within the packet size every
// OBEX peer must accept (the phone's own maximum is not read from its CONNECT answer).
constexpr int NameRequestPacketLimit = 255;
// Opcode and length (3), SETPATH flags and constants (2), Name header (5 + 2n).
constexpr int MaxSetPathName = (NameRequestPacketLimit - 10) / 2; // enter folder, make folder: 122
constexpr int MaxGetName = (NameRequestPacketLimit - 8) / 2; // get file, delete: 123
// Upload packets use a buffer of 1001 bytes; a full first record leaves room
// for 239 name characters.
constexpr int UploadBufferSize = 1001;
constexpr int MaxUploadName = 239;

enum class MemoryFigure : char {
    Total = 0x01,
    Free = 0x02
};

// 0x02 while the sequence counter is 1, else 0x03 (enter folder, make folder, get file).
char commandForSequence(int sequence);

// Command byte, complement, sequence, length, packet, CRC low, CRC high.
QByteArray dataBlock(char command, int sequence, const QByteArray &packet, Checksum &crc);

// Name header: 01, length 2n + 5, each byte b as 00 b, then 00 00.
QByteArray nameHeader(const QByteArray &name);

// Blocks for SendPacket; empty when the packet would pass NameRequestPacketLimit.
std::optional<QByteArray> enterFolderBlock(int sequence, const QByteArray &name, Checksum &crc);
std::optional<QByteArray> makeFolderBlock(int sequence, const QByteArray &name, Checksum &crc);
std::optional<QByteArray> getFileBlock(int sequence, const QByteArray &name, Checksum &crc);
std::optional<QByteArray> deleteBlock(int sequence, const QByteArray &name, Checksum &crc);
QByteArray memoryBlock(int sequence, MemoryFigure figure, Checksum &crc);

// Prebuilt requests, complete BFB frames written to the port as they are.
QByteArray parentFolderFrame(int sequence, Checksum &crc);
QByteArray folderListingFrames(int sequence, Checksum &crc);
QByteArray continuationFrame(int sequence, Checksum &crc);

// The move command: a final PUT whose only header is an application parameter
// holding tag 0x34 with "move", 0x35 the source and 0x36 the destination path. A
// path runs from the root (/Sub/a.txt) in UTF-16 big-endian without a terminator;
// its length field is one byte, so a path holds at most 127 units.
constexpr int MaxMovePathUnits = 127;
// Empty when a path is empty or too long.
std::optional<QByteArray> moveBlock(int sequence, const QString &fromPath, const QString &toPath, Checksum &crc);

// Upload packets as blocks; every one uses command 0x03.
// First: Name, Length (the staging length) and Body with the first record.
std::optional<QByteArray> uploadFirstBlock(int sequence, const QByteArray &name, quint32 stagingLength,
                                           const QByteArray &record, Checksum &crc);
// Next or Last body: one Body header carrying the record.
QByteArray uploadBodyBlock(int sequence, const QByteArray &record, Checksum &crc);
// End: PUT final with an empty End-of-Body.
QByteArray uploadEndBlock(int sequence, Checksum &crc);

} // namespace ObexRequest
