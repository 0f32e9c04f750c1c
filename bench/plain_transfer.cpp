// Plain OBEX throughput against its ceiling, through the emulated M55 paced to the line
// rate with its recorded 474-byte packets and, in plain OBEX, answering each request
// after 17 ms (the recorded M56's time before each next GET answer):
//  1. a 100 KB file down and up with tarvel-cli --link obex at 115200 and 230400 baud;
//  2. the full-flash backup (1500 KB in 250 files in five folders by default) with
//     tarvel-cli backup in plain OBEX at 115200 and 230400 and in BFB at 115200, where
//     the phone answers each block after 5 ms (the recorded phones' BFB answer time).
//
// The ceiling of a transfer is what the line, the phone's largest packet and its answer
// time allow together: each packet costs its bytes and the answer's on the line plus
// the phone's answer time, and carries the packet less its headers; a backup's ceiling
// is the sum of its files'. Each figure is the transfer alone: a run that only connects
// and lists a folder is the baseline, taken off the run that also transfers. Goals:
// at least 0.95 of the ceiling for one file, at most 1.1 times the ceiling for the
// backup in plain OBEX, and less time than the BFB backup at 115200.
//
//   plain_transfer [--backup KB] [BINDIR]
//     --backup KB: the backup's size, in files of about 6 KB (0: no backup)
//     BINDIR: holds tarvel-cli and phonesim; default: beside this program

#include "benchsupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <cstdio>
#include <vector>

namespace {

constexpr int FileSize = 100 * 1024;
constexpr int PlainAnswerMs = 17;
constexpr int BfbAnswerMs = 5;
constexpr int MaxPacket = 474;
// GET answers after the first: 90, length, Body id and length, 465 data bytes.
constexpr int GetPieceData = MaxPacket - 9;
constexpr int GetRequest = 3; // the bare continuation GET
// PUT packets: 02, length, Body id and length, then data; answered 90 00 03.
constexpr int PutPieceData = MaxPacket - 6;
constexpr int PutAnswer = 3;
constexpr int BitsPerByte = 10;
constexpr int BackupFileKb = 6;
constexpr double BackupGoal = 1.1;
const QStringList BackupFolders{QStringLiteral("Bitmap"), QStringLiteral("Sounds"), QStringLiteral("Misc"),
                                QStringLiteral("Misc/Notes"), QStringLiteral("Data")};

QString binDir;

using bench::Phone;

// The phone starts at 57600; tarvel-cli's --speed sets the rate of each run.
Phone pacedPhone(const QString &root, int answerMs)
{
    return Phone(binDir,
                 {QStringLiteral("--root"), root, QStringLiteral("--baud"), QStringLiteral("57600"),
                  QStringLiteral("--obex-latency"), QString::number(answerMs), QStringLiteral("--packet"),
                  QString::number(MaxPacket), QStringLiteral("--empty-final")});
}

double run(const Phone &phone, const QString &link, int baud, const QStringList &command, const QString &dir)
{
    return bench::runCli(
        binDir, phone,
        QStringList{QStringLiteral("--link"), link, QStringLiteral("--speed"), QString::number(baud)} + command, dir);
}

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool writeFile(const QString &path, const QByteArray &content)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
}

// Bytes of the file a second at most: data per packet over the packet's time.
double ceiling(int baud, int data, int lineBytes)
{
    return data / (double(lineBytes) * BitsPerByte / baud + PlainAnswerMs / 1000.0);
}

// Seconds at least for a download of size bytes: its packets' bytes on the line in both
// directions and the phone's answer time for each.
double downloadCeiling(int baud, qint64 size)
{
    const qint64 packets = (size + GetPieceData - 1) / GetPieceData;
    const qint64 lineBytes = size + packets * (GetRequest + MaxPacket - GetPieceData);
    return double(lineBytes) * BitsPerByte / baud + double(packets) * PlainAnswerMs / 1000.0;
}

int singleFile(const QTemporaryDir &dir)
{
    const QString flash = dir.filePath(QStringLiteral("flash"));
    const QString pc = dir.filePath(QStringLiteral("pc"));
    QDir().mkpath(flash + QStringLiteral("/Misc"));
    QDir().mkpath(pc);
    const QByteArray content = bench::randomBytes(FileSize);
    if (!writeFile(flash + QStringLiteral("/Misc/down.bin"), content)
        || !writeFile(pc + QStringLiteral("/up.bin"), content))
        return 1;

    std::printf("100 KB in plain OBEX, 474-byte packets, %d ms answer time per packet:\n", PlainAnswerMs);
    std::printf("  %-6s %-4s %9s %11s %11s %6s\n", "baud", "way", "seconds", "bytes/s", "ceiling", "share");
    const QString obex = QStringLiteral("obex");
    for (const int baud : {115200, 230400}) {
        const Phone phone = pacedPhone(flash, PlainAnswerMs);
        const double baseline = run(phone, obex, baud, {QStringLiteral("ls"), QStringLiteral("Misc")}, pc);
        const double down = run(phone, obex, baud, {QStringLiteral("get"), QStringLiteral("Misc/down.bin")}, pc);
        const double up = run(
            phone, obex, baud,
            {QStringLiteral("--yes"), QStringLiteral("put"), QStringLiteral("up.bin"), QStringLiteral("/Misc")}, pc);
        if (baseline < 0 || down < 0 || up < 0)
            return 1;
        if (readAll(pc + QStringLiteral("/down.bin")) != content
            || readAll(flash + QStringLiteral("/Misc/up.bin")) != content) {
            std::fprintf(stderr, "a copy differs\n");
            return 1;
        }
        QFile::remove(pc + QStringLiteral("/down.bin"));
        QFile::remove(flash + QStringLiteral("/Misc/up.bin"));
        const struct
        {
            const char *way;
            double seconds;
            double ceiling;
        } rows[] = {{"down", down - baseline, ceiling(baud, GetPieceData, GetRequest + MaxPacket)},
                    {"up", up - baseline, ceiling(baud, PutPieceData, MaxPacket + PutAnswer)}};
        for (const auto &row : rows) {
            const double rate = FileSize / row.seconds;
            std::printf("  %-6d %-4s %9.2f %11.0f %11.0f %6.2f\n", baud, row.way, row.seconds, rate, row.ceiling,
                        rate / row.ceiling);
        }
    }
    return 0;
}

// The flash: files of random sizes between a fifth and nine fifths of the mean, in
// turn in each folder, totalling kilobytes KB. Returns the file sizes.
std::vector<qint64> fillFlash(const QString &flash, int kilobytes)
{
    const int files = std::max(1, kilobytes / BackupFileKb);
    const qint64 total = qint64(kilobytes) * 1024;
    std::vector<double> weights;
    double weightSum = 0;
    for (int i = 0; i < files; ++i)
        weightSum += weights.emplace_back(0.2 + 1.6 * QRandomGenerator::global()->generateDouble());
    std::vector<qint64> sizes;
    qint64 left = total;
    for (int i = 0; i < files; ++i) {
        const qint64 size = i + 1 == files ? left : qint64(double(total) * weights[std::size_t(i)] / weightSum);
        const QString folder = flash + u'/' + BackupFolders[i % BackupFolders.size()];
        QDir().mkpath(folder);
        if (!writeFile(folder + QStringLiteral("/f%1.bin").arg(i, 3, 10, QLatin1Char('0')), bench::randomBytes(size)))
            return {};
        sizes.push_back(size);
        left -= size;
    }
    return sizes;
}

// Whether every file under flash has its byte-exact copy under copy.
bool sameTree(const QString &flash, const QString &copy)
{
    QDirIterator files(flash, QDir::Files, QDirIterator::Subdirectories);
    while (files.hasNext()) {
        const QString path = files.next();
        if (readAll(path) != readAll(copy + path.mid(flash.size()))) {
            std::fprintf(stderr, "%s differs in the backup\n", qPrintable(path));
            return false;
        }
    }
    return true;
}

int backup(const QTemporaryDir &dir, int kilobytes)
{
    const QString flash = dir.filePath(QStringLiteral("backup-flash"));
    const std::vector<qint64> sizes = fillFlash(flash, kilobytes);
    if (sizes.empty())
        return 1;
    std::printf("backup of %d KB in %zu files, 474-byte packets, answers after %d ms (plain) or %d ms (BFB):\n",
                kilobytes, sizes.size(), PlainAnswerMs, BfbAnswerMs);
    std::printf("  %-5s %-6s %9s %9s %14s %6s\n", "link", "baud", "seconds", "whole run", "1.1 x ceiling", "ratio");
    const struct
    {
        const char *link;
        int baud;
        int answerMs;
    } runs[] = {{"obex", 115200, PlainAnswerMs}, {"obex", 230400, PlainAnswerMs}, {"bfb", 115200, BfbAnswerMs}};
    double plainAt115200 = 0;
    double plainAt230400 = 0;
    double bfbAt115200 = 0;
    for (const auto &backupRun : runs) {
        const QString link = QString::fromLatin1(backupRun.link);
        const QString copy = dir.filePath(QStringLiteral("backup-%1-%2").arg(link).arg(backupRun.baud));
        QDir().mkpath(copy);
        const Phone phone = pacedPhone(flash, backupRun.answerMs);
        const double baseline = run(phone, link, backupRun.baud, {QStringLiteral("ls"), QStringLiteral("Misc")}, copy);
        const double whole = run(phone, link, backupRun.baud, {QStringLiteral("backup"), copy}, copy);
        if (baseline < 0 || whole < 0 || !sameTree(flash, copy))
            return 1;
        double ceilings = 0;
        for (const qint64 size : sizes)
            ceilings += downloadCeiling(backupRun.baud, size);
        const bool plain = link == QStringLiteral("obex");
        if (plain)
            (backupRun.baud == 115200 ? plainAt115200 : plainAt230400) = whole - baseline;
        if (!plain)
            bfbAt115200 = whole - baseline;
        std::printf("  %-5s %-6d %9.1f %9.1f %14s %6s\n", backupRun.link, backupRun.baud, whole - baseline, whole,
                    plain ? qPrintable(QString::number(BackupGoal * ceilings, 'f', 1)) : "",
                    plain ? qPrintable(QString::number((whole - baseline) / ceilings, 'f', 3)) : "");
    }
    std::printf("  plain OBEX takes %.2f (115200) and %.2f (230400) of the time of BFB at 115200\n",
                plainAt115200 / bfbAt115200, plainAt230400 / bfbAt115200);
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QStringList arguments = app.arguments().mid(1);
    int backupKb = 1500;
    if (arguments.size() >= 2 && arguments.first() == QStringLiteral("--backup")) {
        bool number = false;
        backupKb = arguments.at(1).toInt(&number);
        if (!number || backupKb < 0) {
            std::fprintf(stderr, "plain_transfer: --backup takes a size in KB\n");
            return 2;
        }
        arguments.remove(0, 2);
    }
    binDir = arguments.isEmpty() ? QCoreApplication::applicationDirPath() : arguments.first();
    QTemporaryDir dir;
    if (singleFile(dir) != 0)
        return 1;
    return backupKb > 0 ? backup(dir, backupKb) : 0;
}
