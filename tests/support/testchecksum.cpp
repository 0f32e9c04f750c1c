#include "testchecksum.h"

#include "sumletcontrol.h"
#include "testprocess.h"

#include <QFileInfo>

#include <stdexcept>

std::unique_ptr<Checksum> makeChecksum()
{
    QString error;
    const QString built = tarvelBinDir() + QStringLiteral("/libsumlet.so");
    std::unique_ptr<SumletControl> control =
        QFileInfo::exists(built) ? SumletControl::create(&error, {built}) : SumletControl::create(&error);
    if (!control)
        throw std::runtime_error("checksum component unavailable: " + error.toStdString());
    return control;
}

quint16 ReferenceChecksum::CrcCalc(const QByteArray &data)
{
    quint16 crc = 0xFFFF;
    for (const char c : data) {
        crc ^= quint8(c);
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1) ? quint16((crc >> 1) ^ 0x8408) : quint16(crc >> 1);
    }
    return quint16(~crc);
}
