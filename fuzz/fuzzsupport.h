#pragma once

// Shared pieces of the fuzz targets: a failed expectation aborts, so that libFuzzer
// keeps the input that broke it; the phone's end of a pseudo-terminal, and a line
// opened on it. A fatal link error throws LinkLost out of the operation.

#include "checksum.h"
#include "linkaccess.h"
#include "pty.h"
#include "serialline.h"

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <unistd.h>

#define FUZZ_EXPECT(condition)                                                                                         \
    do {                                                                                                               \
        if (!(condition)) {                                                                                            \
            std::fprintf(stderr, "%s:%d: expectation failed: %s\n", __FILE__, __LINE__, #condition);                   \
            std::abort();                                                                                              \
        }                                                                                                              \
    } while (false)

// The line discipline holds 4095 bytes; longer inputs would only stall the writer.
constexpr std::size_t MaxInput = 4000;
// The receive time-out, scaled down: a short input ends in it.
constexpr int TimeoutMs = 3;

// The phone side of these targets checks no CRC; any value will do.
class UnusedChecksum : public Checksum
{
public:
    quint16 CrcCalc(const QByteArray &) override { return 0; }
    qint16 Xor(qint16 a, qint16 b) override { return qint16(a ^ b); }
};

// The phone's end of a pseudo-terminal; what it sends is in the port's queue when
// send returns, so that the program sees it at once.
class PhoneEnd : public Pty
{
public:
    void send(const std::uint8_t *data, std::size_t size) const
    {
        Pty::send(QByteArray(reinterpret_cast<const char *>(data), qsizetype(size)));
        for (int i = 0; i < 1000 && waiting() < int(size); ++i)
            ::usleep(50);
    }
};

// A fresh line on the phone's pseudo-terminal, in single-byte mode as after the
// connect procedure. A time-out is final for a line, so every input gets its own.
inline std::unique_ptr<SerialLine> openLine(const PhoneEnd &phone, PhoneEvents &events)
{
    phone.discardQueues();
    auto link = std::make_unique<SerialLine>(events, events);
    link->setTimeoutInterval(TimeoutMs);
    link->setQuietInterval(1);
    link->setPauseScale(0);
    QString reason;
    if (!LinkTestAccess::openAsConnected(*link, phone.slavePath(), &reason)) {
        std::fprintf(stderr, "cannot open %s: %s\n", qPrintable(phone.slavePath()), qPrintable(reason));
        std::abort();
    }
    return link;
}
