// Download and upload of a 100 KB file through the emulated phone paced to 57600
// baud, with tarvel-cli and with Debian's obexftp on the same phone: wall seconds,
// bytes per second against the line's 5760 and against the 32/35 framing ceiling, the
// ratio between the two tools, and the CPU seconds each client used. The same again
// without pacing, where obexftp works (it drops a frame that arrives in more than one
// read). The phone answers at once: its recorded answer times (5 ms a block, which
// alone cost a 2048-byte-packet download about 0.01 of the ceiling) are cli_session's.
// On the paced line each tarvel-cli download is also read from its byte trace: the
// transfer alone, how busy the line was, and how long the program took from the
// phone's last byte to its next write.
//
//   cli_transfer [BINDIR]     (BINDIR holds tarvel-cli and phonesim; default: beside this program)
//
// Each run has its own phone. A run that only connects and lists the folder is the
// baseline: its time is taken off to give the transfer alone. obexftp takes no
// response larger than about 440 bytes over this link, so downloads use phones
// announcing 255-byte packets (tarvel-cli is also measured at 2048); uploads use
// 2048, since tarvel-cli sends 506-byte packets and obexftp 1024-byte ones.

#include "benchsupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QThread>

#include <cstdio>
#include <fcntl.h>
#include <functional>
#include <optional>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace {

constexpr int FileSize = 100 * 1024;
constexpr double LineBytesPerSecond = 5760.0;
// The phone's frames carry at most 32 payload bytes behind 3 header bytes: no BFB
// transfer moves more than this.
constexpr double FramingCeiling = LineBytesPerSecond * 32 / 35;
constexpr double MeasurableSeconds = 0.1;

struct Measure
{
    bool ok = false;
    double seconds = 0;
    double cpuSeconds = 0;
};

// Runs a program in dir with stdin, stdout and stderr on /dev/null; wall and CPU time.
Measure run(const QStringList &command, const QString &dir)
{
    const bench::ExecArguments arguments(command);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    for (int fd : {0, 1, 2})
        posix_spawn_file_actions_addopen(&actions, fd, "/dev/null", fd == 0 ? O_RDONLY : O_WRONLY, 0);
    const QByteArray cwd = dir.toLocal8Bit();
    posix_spawn_file_actions_addchdir_np(&actions, cwd.constData());

    Measure m;
    QElapsedTimer clock;
    clock.start();
    pid_t pid;
    if (posix_spawnp(&pid, arguments.argv()[0], &actions, nullptr, arguments.argv(), environ) != 0) {
        posix_spawn_file_actions_destroy(&actions);
        return m;
    }
    posix_spawn_file_actions_destroy(&actions);
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    m.seconds = double(clock.elapsed()) / 1000.0;
    m.cpuSeconds = double(usage.ru_utime.tv_sec) + double(usage.ru_utime.tv_usec) / 1e6 + double(usage.ru_stime.tv_sec)
        + double(usage.ru_stime.tv_usec) / 1e6;
    m.ok = WIFEXITED(status);
    return m;
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// A download as tarvel-cli's byte trace shows it: from the write of the GET to the
// phone's last byte before the DISCONNECT. Free of the connect's and the close's noise.
struct TracedDownload
{
    double seconds = 0;
    double lineBusy = 0; // the share of that time the bytes of both directions need on the line
    double turnaroundMs = 0; // mean from the phone's last byte to the program's next write
};

std::optional<TracedDownload> tracedDownload(const QString &tracePath)
{
    QFile trace(tracePath);
    if (!trace.open(QIODevice::ReadOnly))
        return std::nullopt;
    // Each line: party, milliseconds, bytes; a data frame's opcode is its eighth byte.
    constexpr int OpcodeAt = 2 + 8;
    qint64 start = -1, lastPhone = -1, bytes = 0, turnarounds = 0, turnaroundSum = 0;
    bool phoneSpoke = false;
    while (!trace.atEnd()) {
        const QList<QByteArray> fields = trace.readLine().simplified().split(' ');
        if (fields.size() < 3 || fields[0].startsWith('#'))
            continue;
        const bool fromPc = fields[0] == "PC";
        const qint64 ms = fields[1].toLongLong();
        const QByteArray opcode = fields.size() > OpcodeAt ? fields[OpcodeAt] : QByteArray();
        if (fromPc && start < 0 && opcode == "83" && fields.value(OpcodeAt + 3) == "01")
            start = ms;
        if (start < 0)
            continue;
        if (fromPc && opcode == "81")
            break;
        bytes += fields.size() - 2;
        if (!fromPc) {
            lastPhone = ms;
            phoneSpoke = true;
        } else if (phoneSpoke) {
            turnaroundSum += ms - lastPhone;
            ++turnarounds;
            phoneSpoke = false;
        }
    }
    if (start < 0 || lastPhone <= start || turnarounds == 0)
        return std::nullopt;
    const double seconds = double(lastPhone - start) / 1000.0;
    return TracedDownload{seconds, double(bytes) / LineBytesPerSecond / seconds,
                          double(turnaroundSum) / double(turnarounds)};
}

class Phone
{
public:
    Phone(const QString &bin, const QString &root, const QStringList &options)
    {
        // Nobody reads its complaints about obexftp's stray blocks; a full pipe would stall it.
        process.setStandardErrorFile(QProcess::nullDevice());
        process.start(bin + QStringLiteral("/phonesim"), QStringList{QStringLiteral("--root"), root} + options);
        process.waitForStarted();
        while (!process.canReadLine() && process.waitForReadyRead(5000)) {
        }
        device = QString::fromLocal8Bit(process.readLine()).trimmed();
        // obexftp loses its first command on a phone that has only just printed its device.
        QThread::msleep(300);
    }
    ~Phone()
    {
        process.terminate();
        process.waitForFinished(3000);
    }
    QProcess process;
    QString device;
};

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QString bin = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QCoreApplication::applicationDirPath();
    QTemporaryDir work;
    const QString flash = work.filePath(QStringLiteral("flash"));
    const QString pc = work.filePath(QStringLiteral("pc"));
    QDir().mkpath(flash + QStringLiteral("/Bitmap"));
    QDir().mkpath(pc);

    auto randomContent = [](quint32 seed) {
        QByteArray bytes(FileSize, '\0');
        QRandomGenerator generator(seed);
        for (char &b : bytes)
            b = char(generator.bounded(256));
        return bytes;
    };
    auto writeFile = [](const QString &path, const QByteArray &bytes) {
        QFile file(path);
        file.open(QIODevice::WriteOnly);
        file.write(bytes);
    };
    const QByteArray content = randomContent(100);
    writeFile(flash + QStringLiteral("/Bitmap/down.bin"), content);
    QByteArray uploadContent = content;
    writeFile(pc + QStringLiteral("/up.bin"), uploadContent);

    const QString cli = bin + QStringLiteral("/tarvel-cli");
    const QStringList small{QStringLiteral("--packet"), QStringLiteral("255")};
    const QStringList large{QStringLiteral("--packet"), QStringLiteral("2048")};
    auto tarvel = [&](const QString &device, const QStringList &rest) {
        return QStringList{cli, QStringLiteral("--device"), device} + rest;
    };
    auto obexftp = [](const QString &device, const QStringList &rest) {
        return QStringList{QStringLiteral("obexftp"), QStringLiteral("-t"),  device,
                           QStringLiteral("-U"),      QStringLiteral("S45"), QStringLiteral("-c"),
                           QStringLiteral("Bitmap")}
        + rest;
    };

    struct Net
    {
        double download = -1, upload = -1;
    };

    // Net seconds of one transfer (0 when too short to tell), or -1 when the file did
    // not arrive whole.
    auto measure = [&](const QString &client, const QString &what, const QStringList &phoneOptions,
                       const std::function<QStringList(const QString &)> &baselineCommand,
                       const std::function<QStringList(const QString &)> &transferCommand, const QString &check,
                       const QByteArray &expected) -> double {
        QFile::remove(check);
        double baseline = 0;
        {
            Phone phone(bin, flash, phoneOptions);
            baseline = run(baselineCommand(phone.device), pc).seconds;
        }
        Phone phone(bin, flash, phoneOptions);
        const Measure m = run(transferCommand(phone.device), pc);
        if (readFile(check) != expected) {
            std::printf("%-10s %-22s %8.2f  failed: the file did not arrive whole\n", qPrintable(client),
                        qPrintable(what), m.seconds);
            std::fflush(stdout);
            return -1;
        }
        const double net = m.seconds - baseline;
        // Below this the difference of two connects says nothing.
        if (net < MeasurableSeconds) {
            std::printf("%-10s %-22s %8.2f %8.2f %8s %9s %6s %8s %7.3f\n", qPrintable(client), qPrintable(what),
                        m.seconds, baseline, "<0.1", "-", "-", "-", m.cpuSeconds);
            std::fflush(stdout);
            return 0;
        }
        std::printf("%-10s %-22s %8.2f %8.2f %8.2f %9.0f %5.0f%% %8.3f %7.3f\n", qPrintable(client), qPrintable(what),
                    m.seconds, baseline, net, FileSize / net, 100.0 * FileSize / net / LineBytesPerSecond,
                    FileSize / net / FramingCeiling, m.cpuSeconds);
        std::fflush(stdout);
        return net;
    };

    const QString downloaded = pc + QStringLiteral("/down.bin");
    const QString uploaded = flash + QStringLiteral("/Bitmap/up.bin");
    auto tarvelBaseline = [&](const QString &d) { return tarvel(d, {QStringLiteral("ls"), QStringLiteral("Bitmap")}); };
    const QString getTrace = work.filePath(QStringLiteral("get.trace"));
    auto tarvelGet = [&](const QString &d) {
        return tarvel(d,
                      {QStringLiteral("--trace"), getTrace, QStringLiteral("get"), QStringLiteral("Bitmap/down.bin")});
    };
    // Only a paced line has a ceiling.
    auto printTraced = [&](const QStringList &pacing) {
        if (!pacing.contains(QStringLiteral("--baud")))
            return;
        if (const std::optional<TracedDownload> traced = tracedDownload(getTrace))
            std::printf("           %-22s %8.2f s  %.0f bytes/s  %.3f of the ceiling; line busy %.1f%%, turnaround "
                        "%.2f ms an exchange\n",
                        "the same in its trace", traced->seconds, FileSize / traced->seconds,
                        FileSize / traced->seconds / FramingCeiling, 100.0 * traced->lineBusy, traced->turnaroundMs);
    };
    auto tarvelPut = [&](const QString &d) {
        return tarvel(d, {QStringLiteral("put"), QStringLiteral("up.bin"), QStringLiteral("Bitmap")});
    };
    auto obexBaseline = [&](const QString &d) { return obexftp(d, {QStringLiteral("-l")}); };
    auto obexGet = [&](const QString &d) { return obexftp(d, {QStringLiteral("-g"), QStringLiteral("down.bin")}); };
    auto obexPut = [&](const QString &d) { return obexftp(d, {QStringLiteral("-p"), QStringLiteral("up.bin")}); };

    auto section = [&](const char *title, const QStringList &pacing) {
        std::printf("\n%s\n", title);
        std::printf("%-10s %-22s %8s %8s %8s %9s %6s %8s %7s\n", "client", "transfer", "total s", "connect", "net s",
                    "bytes/s", "line%", "/ceiling", "CPU s");
        Net tarvelNet, obexNet;
        tarvelNet.download = measure(QStringLiteral("tarvel-cli"), QStringLiteral("download, 255-byte pk"),
                                     pacing + small, tarvelBaseline, tarvelGet, downloaded, content);
        printTraced(pacing);
        obexNet.download = measure(QStringLiteral("obexftp"), QStringLiteral("download, 255-byte pk"), pacing + small,
                                   obexBaseline, obexGet, downloaded, content);
        measure(QStringLiteral("tarvel-cli"), QStringLiteral("download, 2048-byte pk"), pacing + large, tarvelBaseline,
                tarvelGet, downloaded, content);
        printTraced(pacing);
        tarvelNet.upload = measure(QStringLiteral("tarvel-cli"), QStringLiteral("upload"), pacing + large,
                                   tarvelBaseline, tarvelPut, uploaded, uploadContent);
        // The phone now and then takes one of obexftp's stray tail blocks for a request
        // and the upload breaks off; other file content gives it another chance.
        for (quint32 attempt = 0; attempt < 3 && obexNet.upload < 0; ++attempt) {
            if (attempt > 0) {
                uploadContent = randomContent(200 + attempt);
                writeFile(pc + QStringLiteral("/up.bin"), uploadContent);
            }
            obexNet.upload = measure(QStringLiteral("obexftp"), QStringLiteral("upload"), pacing + large, obexBaseline,
                                     obexPut, uploaded, uploadContent);
        }
        uploadContent = content;
        writeFile(pc + QStringLiteral("/up.bin"), uploadContent);
        auto ratio = [](double a, double b) {
            return a >= MeasurableSeconds && b >= MeasurableSeconds ? QString::number(a / b, 'f', 2)
                                                                    : QStringLiteral("n/a");
        };
        std::printf("net time tarvel-cli / obexftp: download %s, upload %s\n",
                    qPrintable(ratio(tarvelNet.download, obexNet.download)),
                    qPrintable(ratio(tarvelNet.upload, obexNet.upload)));
    };

    std::printf("100 KB (%d bytes); the line carries %.0f bytes/s at 57600 baud, the 32/35 framing ceiling %.0f;\n"
                "/ceiling is bytes/s against that ceiling.\n",
                FileSize, LineBytesPerSecond, FramingCeiling);
    std::printf("connect: a run that only connects and lists the folder; net = total - connect.\n");
    std::printf("The emulated phone paces only what it sends: uploads are bounded by its replies.\n");
    // Answering at once, so that the figures are the client's and the line's alone.
    const QStringList atOnce{QStringLiteral("--at-latency"), QStringLiteral("0"), QStringLiteral("--obex-latency"),
                             QStringLiteral("0")};
    section("phonesim --baud 57600, answering at once",
            QStringList{QStringLiteral("--baud"), QStringLiteral("57600")} + atOnce);
    section("phonesim without pacing (for obexftp, which gives up on frames that arrive in pieces)", atOnce);
    return 0;
}
