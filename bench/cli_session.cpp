// What one connection for many operations and a faster line rate gain with
// tarvel-cli, through the emulated phone paced to 57600 baud and answering as the
// recorded phones do:
//  0. one-shot runs as a script makes them, each paying the connection: `ls` and a 100 KB
//     download at 57600, from a phone with the recorded M56's 474-byte packets and from
//     one with 1024-byte packets (SieFS takes 1.8 s and 22.0 s on the latter), each timed
//     to the prompt on a free port, then how long the leaver they leave behind holds the
//     port after it, and how long the close takes when the phone falls silent at the
//     DISCONNECT;
//  1. a folder of 20 files of 5 KB copied off the phone: one run per file (each pays
//     the connection set-up) against one run of get -r;
//  2. a 100 KB download at 57600 against 115200 baud (--speed), the connection
//     set-up excluded: a run that only connects and lists the folder is the baseline,
//     taken off the run that also downloads.
//
//   cli_session [BINDIR]     (BINDIR holds tarvel-cli and phonesim; default: beside this program)

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>

#include "benchsupport.h"

#include <algorithm>
#include <cstdio>

namespace {

constexpr int TreeFiles = 20;
constexpr int TreeFileSize = 5 * 1024;
constexpr int LargeFileSize = 100 * 1024;

QString binDir;

using bench::Phone;
using bench::randomBytes;

// The emulated phone on the folder root, paced to 57600 baud and answering in the
// recorded phones' times (40 ms an AT command, 5 ms an OBEX request).
QStringList phoneArguments(const QString &root, const QStringList &extra = {})
{
    return QStringList{QStringLiteral("--root"),         root,
                       QStringLiteral("--baud"),         QStringLiteral("57600"),
                       QStringLiteral("--at-latency"),   QStringLiteral("40"),
                       QStringLiteral("--obex-latency"), QStringLiteral("5")}
    + extra;
}

double run(const Phone &phone, const QStringList &arguments, const QString &dir)
{
    return bench::runCli(binDir, phone, arguments, dir);
}

// A run to its prompt on a free port, and *free: the seconds until the port is free again.
double runToPrompt(const Phone &phone, const QStringList &arguments, const QString &dir, double *free)
{
    if (bench::secondsUntilPortFree(phone) < 0)
        return -1;
    const double seconds = run(phone, arguments, dir);
    *free = bench::secondsUntilPortFree(phone);
    return *free < 0 ? -1 : seconds;
}

bool sameFile(const QString &a, const QString &b)
{
    QFile first(a);
    QFile second(b);
    return first.open(QIODevice::ReadOnly) && second.open(QIODevice::ReadOnly) && first.readAll() == second.readAll();
}

int treeBenchmark(const QTemporaryDir &dir)
{
    const QString flash = dir.filePath(QStringLiteral("flash"));
    QDir().mkpath(flash + QStringLiteral("/Folder"));
    QDir().mkpath(dir.filePath(QStringLiteral("one-by-one")));
    QDir().mkpath(dir.filePath(QStringLiteral("tree")));
    for (int i = 0; i < TreeFiles; ++i) {
        QFile file(flash + QStringLiteral("/Folder/f%1.bin").arg(i, 2, 10, QLatin1Char('0')));
        if (!file.open(QIODevice::WriteOnly) || file.write(randomBytes(TreeFileSize)) != TreeFileSize)
            return 1;
    }
    const Phone phone(binDir, phoneArguments(flash));

    double oneByOne = 0;
    for (int i = 0; i < TreeFiles; ++i) {
        const double seconds =
            run(phone, {QStringLiteral("get"), QStringLiteral("Folder/f%1.bin").arg(i, 2, 10, QLatin1Char('0'))},
                dir.filePath(QStringLiteral("one-by-one")));
        if (seconds < 0)
            return 1;
        oneByOne += seconds;
    }
    const double tree = run(phone, {QStringLiteral("get"), QStringLiteral("-r"), QStringLiteral("Folder")},
                            dir.filePath(QStringLiteral("tree")));
    if (tree < 0)
        return 1;
    for (int i = 0; i < TreeFiles; ++i) {
        const QString name = QStringLiteral("f%1.bin").arg(i, 2, 10, QLatin1Char('0'));
        if (!sameFile(flash + QStringLiteral("/Folder/") + name, dir.filePath(QStringLiteral("tree/Folder/") + name))
            || !sameFile(flash + QStringLiteral("/Folder/") + name,
                         dir.filePath(QStringLiteral("one-by-one/") + name))) {
            std::fprintf(stderr, "%s differs\n", qPrintable(name));
            return 1;
        }
    }
    std::printf("%d files of %d bytes at 57600 baud:\n", TreeFiles, TreeFileSize);
    std::printf("  one run per file   %7.1f s  (%.1f s a file)\n", oneByOne, oneByOne / TreeFiles);
    std::printf("  one get -r         %7.1f s  (%.1f s a file)  %.1f times faster\n", tree, tree / TreeFiles,
                oneByOne / tree);
    return 0;
}

// Seconds from the end of a session's input to the end of tarvel-cli, on a phone that
// falls silent at the DISCONNECT, and *free: until the port is free after that; negative
// when it failed.
double silentClose(const QString &root, double *free)
{
    const Phone phone(binDir,
                      phoneArguments(root,
                                     {QStringLiteral("--fault-on"), QStringLiteral("disconnect"),
                                      QStringLiteral("--silent-after"), QStringLiteral("0")}));
    QProcess cli;
    cli.start(binDir + QStringLiteral("/tarvel-cli"),
              {QStringLiteral("--device"), phone.device, QStringLiteral("shell")});
    cli.write("pwd\n");
    if (!cli.waitForReadyRead(30000))
        return -1;
    QElapsedTimer clock;
    clock.start();
    cli.closeWriteChannel();
    if (!cli.waitForFinished(30000))
        return -1;
    const double seconds = double(clock.elapsed()) / 1000.0;
    *free = bench::secondsUntilPortFree(phone);
    return *free < 0 ? -1 : seconds;
}

// The large file on the phone's flash, in Folder/.
QString largeFileOn(const QString &flash)
{
    return flash + QStringLiteral("/Folder/large.bin");
}

// A phone's flash folder in dir holding the large file; empty when it cannot be written.
QString flashWithLargeFile(const QTemporaryDir &dir, const QString &name)
{
    const QString flash = dir.filePath(name);
    QFile file(largeFileOn(flash));
    QDir().mkpath(QFileInfo(file.fileName()).path());
    const bool written = file.open(QIODevice::WriteOnly) && file.write(randomBytes(LargeFileSize)) == LargeFileSize;
    return written ? flash : QString();
}

// Whether tarvel-cli's copy of the large file, in dir, is the phone's; the copy goes.
bool fetchedWhole(const QString &flash, const QTemporaryDir &dir)
{
    const QString copy = dir.filePath(QStringLiteral("large.bin"));
    const bool same = sameFile(largeFileOn(flash), copy);
    QFile::remove(copy);
    return same;
}

int oneShotBenchmark(const QTemporaryDir &dir)
{
    const QString flash = flashWithLargeFile(dir, QStringLiteral("oneshot"));
    if (flash.isEmpty())
        return 1;
    const Phone phone(binDir, phoneArguments(flash));
    constexpr int Runs = 5;
    double worstLs = 0;
    double sumLs = 0;
    double sumLsFree = 0;
    for (int i = 0; i < Runs; ++i) {
        double free = 0;
        const double seconds = runToPrompt(phone, {QStringLiteral("ls")}, dir.path(), &free);
        if (seconds < 0)
            return 1;
        worstLs = std::max(worstLs, seconds);
        sumLs += seconds;
        sumLsFree += free;
    }
    // Back to back, as a script runs them: each after the one before has its prompt.
    QElapsedTimer inARow;
    inARow.start();
    for (int i = 0; i < Runs; ++i) {
        if (run(phone, {QStringLiteral("ls")}, dir.path()) < 0)
            return 1;
    }
    const double rowSeconds = double(inARow.elapsed()) / 1000.0;
    const QStringList get{QStringLiteral("get"), QStringLiteral("Folder/large.bin")};
    double downloadFree = 0;
    const double download = runToPrompt(phone, get, dir.path(), &downloadFree);
    if (download < 0 || !fetchedWhole(flash, dir))
        return 1;
    // SieFS's 22.0 s was measured on a phone that takes 1024-byte packets.
    const Phone largePackets(binDir, phoneArguments(flash, {QStringLiteral("--packet"), QStringLiteral("1024")}));
    const double largePacketDownload = run(largePackets, get, dir.path());
    if (largePacketDownload < 0 || !fetchedWhole(flash, dir))
        return 1;
    double closeFree = 0;
    const double close = silentClose(flash, &closeFree);
    if (close < 0)
        return 1;
    std::printf("one-shot runs in plain OBEX, each with its connection, one phone, to the prompt:\n");
    std::printf("  ls                    %5.2f s  (mean of %d on a free port, worst %.2f s); port free %.2f s later\n",
                sumLs / Runs, Runs, worstLs, sumLsFree / Runs);
    std::printf("  ls, %d back to back   %5.2f s  (%.2f s each, every one waiting for the leaver before it)\n", Runs,
                rowSeconds, rowSeconds / Runs);
    std::printf("  get of %d bytes   %5.1f s  at 57600 baud, 474-byte packets (as the M56); port free %.2f s later\n",
                LargeFileSize, download, downloadFree);
    std::printf("  get of %d bytes   %5.1f s  at 57600 baud, 1024-byte packets\n", LargeFileSize, largePacketDownload);
    std::printf("  close, phone silent   %5.2f s; port free %.2f s later\n", close, closeFree);
    return 0;
}

int speedBenchmark(const QTemporaryDir &dir)
{
    const QString flash = flashWithLargeFile(dir, QStringLiteral("flash100k"));
    if (flash.isEmpty())
        return 1;
    const Phone phone(binDir, phoneArguments(flash));

    std::printf("%d bytes downloaded, the connection set-up and the folder listing taken off:\n", LargeFileSize);
    double at57600 = 0;
    for (const char *speed : {"57600", "115200"}) {
        const QStringList options{QStringLiteral("--speed"), QString::fromLatin1(speed)};
        double free = 0;
        const double baseline = runToPrompt(
            phone, options + QStringList{QStringLiteral("ls"), QStringLiteral("Folder")}, dir.path(), &free);
        const double whole = runToPrompt(
            phone, options + QStringList{QStringLiteral("get"), QStringLiteral("Folder/large.bin")}, dir.path(), &free);
        if (baseline < 0 || whole < 0 || !fetchedWhole(flash, dir))
            return 1;
        const double transfer = whole - baseline;
        if (at57600 == 0)
            at57600 = transfer;
        std::printf("  %6s baud  %6.1f s  %6.0f bytes/s  (run %.1f s, baseline %.1f s)%s\n", speed, transfer,
                    LargeFileSize / transfer, whole, baseline,
                    at57600 != transfer
                        ? qPrintable(QStringLiteral("  %1 of the time at 57600").arg(transfer / at57600, 0, 'f', 2))
                        : "");
    }
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    binDir = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QCoreApplication::applicationDirPath();
    QTemporaryDir dir;
    if (oneShotBenchmark(dir) != 0 || speedBenchmark(dir) != 0)
        return 1;
    return treeBenchmark(dir);
}
