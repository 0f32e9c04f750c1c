// Line pacing of the emulated phone: a 100 KB download at --baud 57600 should take as
// long as on a cable (5760 bytes/s of wire traffic). Prints the measured rates.

#include "phonetestclient.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <cstdio>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int size = 100 * 1024;
    const QString baud = QStringLiteral("57600");

    QTemporaryDir root;
    QFile file(root.filePath(QStringLiteral("big.bin")));
    QByteArray content(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        content[i] = char((i * 131) >> 3);
    if (!file.open(QIODevice::WriteOnly) || file.write(content) != size)
        return 1;
    file.close();

    PhoneSimProcess sim;
    PhoneLine line;
    if (!sim.start(root.path(), {QStringLiteral("--baud"), baud}) || !line.open(sim.device) || !line.connect()) {
        std::fprintf(stderr, "phonesim did not start: %s\n", qPrintable(line.lastError));
        return 1;
    }

    QList<QByteArray> responses;
    QElapsedTimer timer;
    timer.start();
    const QByteArray received = line.getFile(QStringLiteral("big.bin"), &responses);
    const double seconds = double(timer.nsecsElapsed()) / 1e9;
    if (received != content) {
        std::fprintf(stderr, "download differs (%lld bytes)\n", static_cast<long long>(received.size()));
        return 1;
    }
    // Everything the phone sent: an acknowledgement and a framed block per response.
    qint64 wire = 0;
    for (const QByteArray &response : responses) {
        const qint64 block = response.size() + 7;
        wire += 5 + block + 3 * ((block + 31) / 32);
    }
    std::printf("100 KB GET at --baud %s: %d response packets, %.2f s\n", qPrintable(baud), int(responses.size()),
                seconds);
    std::printf("  file data: %.0f bytes/s\n", size / seconds);
    std::printf("  wire bytes from the phone: %lld, %.0f bytes/s (line rate %d bytes/s)\n",
                static_cast<long long>(wire), double(wire) / seconds, baud.toInt() / 10);
    return 0;
}
