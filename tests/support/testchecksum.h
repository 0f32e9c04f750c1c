#pragma once

#include "checksum.h"

#include <memory>

// The checksum component itself, loaded from the build tree the way the program loads it.
std::unique_ptr<Checksum> makeChecksum();

// CRC-16/X-25 and the 16-bit XOR, written independently of the component.
class ReferenceChecksum : public Checksum
{
public:
    quint16 CrcCalc(const QByteArray &data) override;
    qint16 Xor(qint16 byte1, qint16 byte2) override { return qint16(byte1 ^ byte2); }
};
