// Plain OBEX throughput against its ceiling: a 100 KB file down and up with tarvel-cli
// --link obex at 115200 and 230400 baud, through the emulated M55 paced to the line
// rate and answering each OBEX request after 17 ms (the recorded M56's time before each
// next GET answer), with its recorded 474-byte packets.
//
// The ceiling of a direction is what the line, the phone's largest packet and its
// answer time allow together: each packet costs its bytes and the answer's on the line
// plus the phone's answer time, and carries the packet less its headers. The figure is
// the transfer alone: a run that only connects and lists the folder is the baseline,
// taken off the run that also transfers. Goal: at least 0.95 of the ceiling.
//
//   plain_transfer [BINDIR]     (BINDIR holds tarvel-cli and phonesim; default: beside this program)

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <cstdio>

namespace {

constexpr int FileSize = 100 * 1024;
constexpr int AnswerMs = 17;
constexpr int MaxPacket = 474;
// GET answers after the first: 90, length, Body id and length, 465 data bytes.
constexpr int GetPieceData = MaxPacket - 9;
constexpr int GetRequest = 3; // the bare continuation GET
// PUT packets: 02, length, Body id and length, then data; answered 90 00 03.
constexpr int PutPieceData = MaxPacket - 6;
constexpr int PutAnswer = 3;
constexpr int BitsPerByte = 10;

QString binDir;

class Phone
{
public:
    explicit Phone(const QString &root)
    {
        m_process.start(binDir + QStringLiteral("/phonesim"),
                        {QStringLiteral("--root"), root, QStringLiteral("--baud"), QStringLiteral("57600"),
                         QStringLiteral("--obex-latency"), QString::number(AnswerMs), QStringLiteral("--packet"),
                         QString::number(MaxPacket), QStringLiteral("--empty-final")});
        m_process.waitForReadyRead(5000);
        device = QString::fromLocal8Bit(m_process.readLine()).trimmed();
    }
    ~Phone()
    {
        m_process.terminate();
        m_process.waitForFinished(3000);
    }
    QString device;

private:
    QProcess m_process;
};

// Seconds of one tarvel-cli run in dir; negative when it failed.
double run(const Phone &phone, int baud, const QStringList &command, const QString &dir)
{
    QProcess cli;
    cli.setWorkingDirectory(dir);
    cli.setStandardInputFile(QProcess::nullDevice());
    cli.setStandardOutputFile(QProcess::nullDevice());
    QElapsedTimer clock;
    clock.start();
    cli.start(binDir + QStringLiteral("/tarvel-cli"),
              QStringList{QStringLiteral("--device"), phone.device, QStringLiteral("--link"), QStringLiteral("obex"),
                          QStringLiteral("--speed"), QString::number(baud)}
                  + command);
    if (!cli.waitForFinished(600000) || cli.exitStatus() != QProcess::NormalExit || cli.exitCode() != 0) {
        std::fprintf(stderr, "tarvel-cli %s failed: %s\n", qPrintable(command.join(u' ')),
                     cli.readAllStandardError().constData());
        return -1;
    }
    return double(clock.elapsed()) / 1000.0;
}

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Bytes of the file a second at most: data per packet over the packet's time.
double ceiling(int baud, int data, int lineBytes)
{
    return data / (double(lineBytes) * BitsPerByte / baud + AnswerMs / 1000.0);
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    binDir = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QCoreApplication::applicationDirPath();
    QTemporaryDir dir;
    const QString flash = dir.filePath(QStringLiteral("flash"));
    const QString pc = dir.filePath(QStringLiteral("pc"));
    QDir().mkpath(flash + QStringLiteral("/Misc"));
    QDir().mkpath(pc);
    QByteArray content(FileSize, Qt::Uninitialized);
    for (char &b : content)
        b = char(QRandomGenerator::global()->bounded(256));
    QFile source(flash + QStringLiteral("/Misc/down.bin"));
    QFile upload(pc + QStringLiteral("/up.bin"));
    if (!source.open(QIODevice::WriteOnly) || source.write(content) != FileSize || !upload.open(QIODevice::WriteOnly)
        || upload.write(content) != FileSize)
        return 1;
    source.close();
    upload.close();

    std::printf("100 KB in plain OBEX, 474-byte packets, %d ms answer time per packet:\n", AnswerMs);
    std::printf("  %-6s %-4s %9s %11s %11s %6s\n", "baud", "way", "seconds", "bytes/s", "ceiling", "share");
    for (const int baud : {115200, 230400}) {
        const Phone phone(flash);
        const double baseline = run(phone, baud, {QStringLiteral("ls"), QStringLiteral("Misc")}, pc);
        const double down = run(phone, baud, {QStringLiteral("get"), QStringLiteral("Misc/down.bin")}, pc);
        const double up = run(
            phone, baud,
            {QStringLiteral("--yes"), QStringLiteral("put"), QStringLiteral("up.bin"), QStringLiteral("/Misc")}, pc);
        if (baseline < 0 || down < 0 || up < 0)
            return 1;
        if (readAll(pc + QStringLiteral("/down.bin")) != content
            || readAll(flash + QStringLiteral("/Misc/up.bin")) != content) {
            std::fprintf(stderr, "a copy differs\n");
            return 1;
        }
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
