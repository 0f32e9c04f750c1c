// Download of a 100 KB file from the emulated phone paced to 57600 baud: cp through
// tarvel-mount against tarvel-cli get, the connect procedure left out of both.
//
//   mount_transfer [ROUNDS [BINDIR]]   (BINDIR holds tarvel-cli, tarvel-mount and
//                                       phonesim; default: beside this program)
//
// tarvel-cli: each run connects anew, so `info` (connect only) is the baseline and
// the transfer is `get` less `info`. tarvel-mount connects once before mounting;
// the transfer is the wall time of cp alone: "cold" with no listing cached (cp's
// look-up lists the folder first), "warm" right after an ls of the folder. Each run
// has its own phone. The CPU seconds of the mount process during cp come from /proc.

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QThread>

#include <cstdio>
#include <unistd.h>

namespace {

constexpr int FileSize = 100 * 1024;
constexpr double LineBytesPerSecond = 5760.0;

class Phone
{
public:
    Phone(const QString &bin, const QString &root)
    {
        process.setStandardErrorFile(QProcess::nullDevice());
        process.start(bin + QStringLiteral("/phonesim"),
                      {QStringLiteral("--root"), root, QStringLiteral("--baud"), QStringLiteral("57600")});
        process.waitForStarted();
        while (!process.canReadLine() && process.waitForReadyRead(5000)) {
        }
        device = QString::fromLocal8Bit(process.readLine()).trimmed();
    }
    ~Phone()
    {
        process.terminate();
        process.waitForFinished(3000);
    }
    QProcess process;
    QString device;
};

// Wall seconds of a program run to its end; negative when it failed.
double timed(const QString &program, const QStringList &arguments, const QString &dir)
{
    QProcess process;
    process.setWorkingDirectory(dir);
    process.setStandardOutputFile(QProcess::nullDevice());
    QElapsedTimer clock;
    clock.start();
    process.start(program, arguments);
    if (!process.waitForFinished(600000) || process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        std::fprintf(stderr, "%s failed: %s\n", qPrintable(program), process.readAllStandardError().constData());
        return -1;
    }
    return double(clock.elapsed()) / 1000.0;
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool mounted(const QString &point)
{
    QFile table(QStringLiteral("/proc/self/mountinfo"));
    return table.open(QIODevice::ReadOnly) && table.readAll().contains(' ' + point.toUtf8() + ' ');
}

// User and system CPU seconds of a process so far.
double cpuSeconds(qint64 pid)
{
    const QList<QByteArray> fields = readFile(QStringLiteral("/proc/%1/stat").arg(pid)).split(' ');
    if (fields.size() < 15)
        return 0;
    return double(fields[13].toLongLong() + fields[14].toLongLong()) / double(::sysconf(_SC_CLK_TCK));
}

struct MountFigures
{
    double cold = -1;
    double warm = -1;
    double cpu = 0;
};

MountFigures measureMount(const QString &bin, const QString &flash, const QString &pc, const QByteArray &content)
{
    MountFigures figures;
    Phone phone(bin, flash);
    QTemporaryDir point;
    QProcess mount;
    mount.setStandardErrorFile(QProcess::nullDevice());
    mount.start(bin + QStringLiteral("/tarvel-mount"),
                {QStringLiteral("--device"), phone.device, QStringLiteral("-f"), point.path()});
    QDeadlineTimer deadline(60000);
    while (!mounted(point.path()) && !deadline.hasExpired() && mount.state() != QProcess::NotRunning)
        QThread::msleep(20);
    if (!mounted(point.path())) {
        std::fprintf(stderr, "tarvel-mount did not mount\n");
        return figures;
    }
    const QString source = point.path() + QStringLiteral("/Bitmap/down.bin");
    const QString copy = pc + QStringLiteral("/down.bin");
    const double cpuBefore = cpuSeconds(mount.processId());
    QFile::remove(copy);
    figures.cold = timed(QStringLiteral("cp"), {source, copy}, pc);
    figures.cpu = cpuSeconds(mount.processId()) - cpuBefore;
    if (readFile(copy) != content)
        figures.cold = -1;
    // A new open downloads again; the listing is fresh from the ls.
    QFile::remove(copy);
    timed(QStringLiteral("ls"), {point.path() + QStringLiteral("/Bitmap")}, pc);
    figures.warm = timed(QStringLiteral("cp"), {source, copy}, pc);
    if (readFile(copy) != content)
        figures.warm = -1;
    QProcess::execute(QStringLiteral("fusermount3"), {QStringLiteral("-u"), point.path()});
    mount.waitForFinished(10000);
    return figures;
}

double measureCli(const QString &bin, const QString &flash, const QString &pc, const QByteArray &content)
{
    const QString cli = bin + QStringLiteral("/tarvel-cli");
    double baseline = 0;
    {
        Phone phone(bin, flash);
        baseline = timed(cli, {QStringLiteral("--device"), phone.device, QStringLiteral("info")}, pc);
    }
    Phone phone(bin, flash);
    QFile::remove(pc + QStringLiteral("/down.bin"));
    const double total = timed(
        cli, {QStringLiteral("--device"), phone.device, QStringLiteral("get"), QStringLiteral("Bitmap/down.bin")}, pc);
    if (baseline < 0 || total < 0 || readFile(pc + QStringLiteral("/down.bin")) != content)
        return -1;
    return total - baseline;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const int rounds = argc > 1 ? std::max(1, QByteArray(argv[1]).toInt()) : 1;
    const QString bin = argc > 2 ? QString::fromLocal8Bit(argv[2]) : QCoreApplication::applicationDirPath();
    QTemporaryDir work;
    const QString flash = work.filePath(QStringLiteral("flash"));
    const QString pc = work.filePath(QStringLiteral("pc"));
    QDir().mkpath(flash + QStringLiteral("/Bitmap"));
    QDir().mkpath(pc);
    QByteArray content(FileSize, '\0');
    QRandomGenerator generator(100);
    for (char &b : content)
        b = char(generator.bounded(256));
    QFile file(flash + QStringLiteral("/Bitmap/down.bin"));
    if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size())
        return 1;
    file.close();

    std::printf("100 KB (%d bytes) from phonesim --baud 57600 (%.0f bytes/s on the line), connect excluded.\n",
                FileSize, LineBytesPerSecond);
    std::printf("%5s %10s %10s %10s %8s %8s %8s\n", "round", "cli get s", "cp cold s", "cp warm s", "cold/cli",
                "warm/cli", "mnt CPU");
    for (int round = 1; round <= rounds; ++round) {
        const double cli = measureCli(bin, flash, pc, content);
        const MountFigures mount = measureMount(bin, flash, pc, content);
        const auto ratio = [cli](double seconds) { return cli > 0 && seconds > 0 ? seconds / cli : -1.0; };
        std::printf("%5d %10.2f %10.2f %10.2f %8.3f %8.3f %8.3f\n", round, cli, mount.cold, mount.warm,
                    ratio(mount.cold), ratio(mount.warm), mount.cpu);
        std::fflush(stdout);
    }
    return 0;
}
