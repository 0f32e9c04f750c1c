#pragma once

#include <QByteArray>
#include <QtGlobal>

// The checksum component as the link sees it. The program's implementation calls
// the sumlet component by dispatch identifier; nothing else computes the CRC.
class Checksum
{
public:
    virtual ~Checksum() = default;

    // CrcCalc over all bytes of data (Len = data.size(); at most 32767 bytes count).
    virtual quint16 CrcCalc(const QByteArray &data) = 0;
    // Xor of two 16-bit signed values.
    virtual qint16 Xor(qint16 byte1, qint16 byte2) = 0;
};
