#pragma once

#include <QByteArray>
#include <QList>
#include <QtGlobal>

#include <optional>

class Checksum;

// The bytes of BFB framing, built without I/O: frames, data blocks, the command byte,
// the link acknowledgement, and the prebuilt frames of the set-up, the ping and the
// way back to AT mode. Frame: type, payload length L, header check (type XOR L), L
// payload bytes. Data block, carried by frames of type 0x16 and cut anywhere:
// command byte, its complement, sequence number, big-endian length N, one OBEX packet
// of N bytes, and the CRC-16 over sequence number, length and packet, low byte first.
namespace Bfb {

constexpr quint8 DataFrameType = 0x16; // blocks and acknowledgements
constexpr int FrameHeaderSize = 3;
// Frames the program sends carry at most this many payload bytes.
constexpr int MaxFramePayload = 32;
constexpr int BlockHeaderSize = 5;

// Command bytes. 0x02 starts a link: the CONNECT carries it, and so does entering or
// making a folder or getting a file while the sequence number is 1; every other block
// carries 0x03. The link acknowledgement is command 0x01 and its complement.
constexpr quint8 StartCommand = 0x02;
constexpr quint8 DataCommand = 0x03;
constexpr quint8 AckCommand = 0x01;
constexpr quint8 AckComplement = 0xFE;
// The link acknowledgement frame.
inline const QByteArray AckFrame = QByteArray::fromHex("16021401FE");

// The set-up frames written after "AT^SBFB=1": the start, the speed frame for 57600
// baud, and "at^sifs" with CR.
inline const QByteArray SetupFrame = QByteArray::fromHex("0201030C");
inline const QByteArray SpeedFrame =
    QByteArray::fromHex("010908C0") + QByteArray("57600") + QByteArray::fromHex("CA89CF");
inline const QByteArray SifsFrame = QByteArray::fromHex("06080E") + QByteArray("at^sifs\r");
// SieFS's ping, which only a phone in BFB mode answers, and its answer.
inline const QByteArray PingFrame = QByteArray::fromHex("02010314");
inline const QByteArray PingAnswer = QByteArray::fromHex("02020014AA");
// "AT^SBFB=0" and CR in a type-06 frame: back to AT mode.
inline const QByteArray LeaveFrame = QByteArray::fromHex("060A0C") + QByteArray("at^sbfb=0\r");
// A phone that takes a speed frame answers it with this in place of its 0xC0.
constexpr quint8 SpeedAccepted = 0xCC;

// The speed frames Siemens phones know, in the form of SpeedFrame (payload 0xC0, the
// rate in ASCII digits, three check bytes), for 19200, 38400, 57600 and 115200 baud;
// nothing for any other rate.
std::optional<QByteArray> speedFrameFor(int baud);

// The command byte of a request's block at the given sequence number.
quint8 commandFor(const QByteArray &request, int sequence);
// The block of one packet; the CRC from the checksum component's CrcCalc.
QByteArray dataBlock(quint8 command, int sequence, const QByteArray &packet, Checksum &crc);
// A block cut into frames of type 0x16: pieces of 32 bytes and the rest (a block that
// fits travels in one frame), each frame's check byte from the component's Xor.
QList<QByteArray> dataFrames(const QByteArray &block, Checksum &crc);

} // namespace Bfb
