#pragma once

// BFB bytes as the phone or the program puts them on the wire, built with the
// independent reference CRC: frames, data blocks, and blocks cut into frames.

#include "testchecksum.h"

#include <QByteArray>
#include <QList>

// Hex digits; blanks between them are ignored.
inline QByteArray hex(const char *text)
{
    return QByteArray::fromHex(QByteArray(text).replace(' ', ""));
}

// Type, length, header check (type XOR length), payload.
inline QByteArray bfbFrame(const QByteArray &payload, char type = 0x16)
{
    return QByteArray(1, type) + char(payload.size()) + char(quint8(type) ^ quint8(payload.size())) + payload;
}

// Command, its complement, sequence number, big-endian length, packet, CRC low byte first.
inline QByteArray bfbBlock(int sequence, const QByteArray &packet, char command = 0x03)
{
    const QByteArray covered =
        QByteArray(1, char(sequence)) + char(packet.size() >> 8) + char(packet.size() & 0xFF) + packet;
    const quint16 crc = ReferenceChecksum().CrcCalc(covered);
    return QByteArray(1, command) + char(~command) + covered + char(crc & 0xFF) + char(crc >> 8);
}

// The bytes cut into frames of the given payload sizes; the rest in frames of 32.
inline QByteArray bfbFrames(const QByteArray &bytes, const QList<int> &sizes = {})
{
    QByteArray out;
    qsizetype offset = 0;
    for (const int size : sizes) {
        out += bfbFrame(bytes.mid(offset, size));
        offset += size;
    }
    for (; offset < bytes.size(); offset += 32)
        out += bfbFrame(bytes.mid(offset, 32));
    return out;
}

// The OBEX CONNECT the program sends, and its BFB frames as they go out in one write:
// sequence number 0, command 0x02, the CRC 0xE321 with its high byte alone in the second frame.
inline const QByteArray ConnectPacket =
    hex("80 00 1A 10 00 40 06 46 00 13 6B 01 CB 31 41 06 11 D4 9A 77 00 50 DA 3F 47 1F");
inline const QByteArray ConnectFrames = hex("16 20 36 02 FD 00 00 1A") + ConnectPacket + hex("21 16 01 17 E3");
// The OBEX DISCONNECT.
inline const QByteArray DisconnectPacket = hex("81 00 03");

// size bytes counting up from first.
inline QByteArray counting(int size, int first = 0)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        bytes[i] = char((first + i) & 0xFF);
    return bytes;
}
