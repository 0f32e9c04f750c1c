#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

// The OBEX request packets the program sends (opcode, big-endian length, fields,
// headers). Pure functions; how a packet travels is the transport's business.
namespace ObexRequest {

// A request around a name is built to the name's size, within the packet size every
// OBEX peer must accept (the phone's own maximum is not read from its CONNECT answer).
constexpr int NameRequestPacketLimit = 255;
// Opcode and length (3), SETPATH flags and constants (2), Name header (5 + 2n).
constexpr int MaxSetPathName = (NameRequestPacketLimit - 10) / 2; // enter folder, make folder: 122
constexpr int MaxGetName = (NameRequestPacketLimit - 8) / 2; // get file, delete: 123
// Upload packets fit a buffer of 1001 bytes together with the 7 bytes around them on
// the line; a full first record leaves room for 239 name characters.
constexpr int MaxUploadPacket = 1001 - 7;
constexpr int MaxUploadName = 239;

enum class MemoryFigure : char {
    Total = 0x01,
    Free = 0x02
};

// CONNECT: version 1.0, no flags, a maximum packet of 0x4006, and the Target of the
// phone's file service.
QByteArray connect();
// DISCONNECT: the opcode alone.
QByteArray disconnect();

// Name header: 01, length 2n + 5, each byte b as 00 b, then 00 00.
QByteArray nameHeader(const QByteArray &name);

// Empty when the packet would pass NameRequestPacketLimit.
std::optional<QByteArray> enterFolder(const QByteArray &name);
std::optional<QByteArray> makeFolder(const QByteArray &name);
std::optional<QByteArray> getFile(const QByteArray &name);
std::optional<QByteArray> deleteObject(const QByteArray &name);
QByteArray memory(MemoryFigure figure);

QByteArray parentFolder(); // 85 00 05 03 00
// SETPATH to the root folder with an empty Name header: 85 00 08 02 00 01 00 03, the
// way the recorded phones were taken back to the root in plain OBEX.
QByteArray rootFolder();
QByteArray folderListing(); // GET with the Type "x-obex/folder-listing"
QByteArray continuation(); // 83 00 03
// FF 00 03: ends a GET before its last answer, or an upload that cannot be finished (the
// recorded phones answer it A0 when idle).
QByteArray abort();

// The move command: a final PUT whose only header is an application parameter
// holding tag 0x34 with "move", 0x35 the source and 0x36 the destination path. A
// path runs from the root (/Sub/a.txt) in UTF-16 big-endian without a terminator;
// its length field is one byte, so a path holds at most 127 units.
constexpr int MaxMovePathUnits = 127;
// Empty when a path is empty or too long.
std::optional<QByteArray> move(const QString &fromPath, const QString &toPath);

// Upload packets.
// First: Name, Length (the staging length) and Body with the first record; empty
// when it would pass MaxUploadPacket or the length its 24 bits.
std::optional<QByteArray> uploadFirst(const QByteArray &name, quint32 stagingLength, const QByteArray &record);
// Next or Last body: one Body header carrying the record.
QByteArray uploadBody(const QByteArray &record);
// End: PUT final with an empty End-of-Body.
QByteArray uploadEnd();

// Uploads in plain OBEX, as the recorded phones were sent them: the Name alone in a
// first PUT that is not final, then the file's pieces in Body headers of further
// PUTs, the last piece (possibly none) in the End-of-Body of the final PUT. No Length
// header, nothing after the last header.
QByteArray putName(const QByteArray &name);
QByteArray putBody(const QByteArray &piece);
QByteArray putFinal(const QByteArray &piece);

} // namespace ObexRequest
