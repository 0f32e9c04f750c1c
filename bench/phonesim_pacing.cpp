// Line pacing of the emulated phone at --baud 57600, both ways: a 100 KB download and a
// 100 KB upload should take as long as on a cable (5760 bytes/s of wire traffic each
// way), and a download after the speed frame for 115200 about half as long. Prints the
// measured rates.

#include "phonetestclient.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <cstdio>

namespace {

constexpr int size = 100 * 1024;

// Wire bytes of blocks carrying these packets: block header and CRC, frame headers.
qint64 wireBytes(const QList<QByteArray> &packets, bool withAcks)
{
    qint64 wire = 0;
    for (const QByteArray &packet : packets) {
        const qint64 block = packet.size() + 7;
        wire += block + 3 * ((block + 31) / 32) + (withAcks ? 5 : 0);
    }
    return wire;
}

void report(const char *what, double seconds, qint64 fileBytes, qint64 wire, int baud)
{
    std::printf("%s: %.2f s\n", what, seconds);
    std::printf("  file data: %.0f bytes/s; wire: %lld bytes, %.0f bytes/s (line rate %d bytes/s)\n",
                double(fileBytes) / seconds, static_cast<long long>(wire), double(wire) / seconds, baud / 10);
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QTemporaryDir root;
    QByteArray content(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        content[i] = char((i * 131) >> 3);
    QFile file(root.filePath(QStringLiteral("big.bin")));
    if (!file.open(QIODevice::WriteOnly) || file.write(content) != size)
        return 1;
    file.close();

    PhoneSimProcess sim;
    PhoneLine line;
    if (!sim.start(root.path(), {QStringLiteral("--baud"), QStringLiteral("57600")}) || !line.open(sim.device)
        || !line.connect()) {
        std::fprintf(stderr, "phonesim did not start: %s\n", qPrintable(line.lastError));
        return 1;
    }

    QList<QByteArray> responses;
    QElapsedTimer timer;
    timer.start();
    if (line.getFile(QStringLiteral("big.bin"), &responses) != content) {
        std::fprintf(stderr, "download differs\n");
        return 1;
    }
    report("100 KB download at --baud 57600", double(timer.nsecsElapsed()) / 1e9, size, wireBytes(responses, true),
           57600);

    // The upload: what counts is what the computer sends, paced on its way to the phone.
    responses.clear();
    timer.restart();
    if (!line.uploadLikeProgram(QStringLiteral("up.bin"), content, &responses).startsWith(char(0xA0))) {
        std::fprintf(stderr, "upload failed\n");
        return 1;
    }
    const double uploadSeconds = double(timer.nsecsElapsed()) / 1e9;
    // What the computer sent: the staged content (497-byte pieces, three zero bytes
    // after each) in requests of 500, the first with the Name and Length headers, the
    // empty last one; and an acknowledgement of each response.
    const qint64 staged = size + 3 * (size / 497 + 1);
    QList<QByteArray> requests;
    for (qint64 pos = 0; pos < staged; pos += 500)
        requests << QByteArray(int(6 + std::min<qint64>(500, staged - pos) + (pos == 0 ? 22 : 0)), 0);
    requests << QByteArray(6, 0);
    const qint64 uploadWire = wireBytes(requests, true);
    report("100 KB upload at --baud 57600", uploadSeconds, size, uploadWire, 57600);

    // The same download after the phone has agreed to 115200.
    line.write(PhoneLine::frame(0x01, QByteArray::fromHex("C0313135323030") + QByteArray::fromHex("0DD22B")));
    const QByteArray answer = line.readBytes(13);
    if (answer.size() != 13 || quint8(answer[3]) != 0xCC) {
        std::fprintf(stderr, "115200 not accepted\n");
        return 1;
    }
    QThread::msleep(100);
    line.setBaud(115200);
    responses.clear();
    timer.restart();
    if (line.getFile(QStringLiteral("big.bin"), &responses) != content) {
        std::fprintf(stderr, "download at 115200 differs\n");
        return 1;
    }
    report("100 KB download after the speed frame for 115200", double(timer.nsecsElapsed()) / 1e9, size,
           wireBytes(responses, true), 115200);
    return 0;
}
