// Peak memory of a large transfer: tarvel-cli get and put, and cp out of tarvel-mount,
// through the emulated phone answering at once and without pacing (large packets and
// frames), for files of several sizes. Streaming keeps the peak flat: it must not grow
// with the file. tarvel-cli's peak is its ru_maxrss (wait4), the mount's its VmHWM.
// Uploads stop at the largest file one upload can carry (16 MB of staging).
//
//   peak_memory [BINDIR [MEGABYTES...]]   (default: beside this program; 1 4 20)

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QThread>

#include "benchsupport.h"

#include <algorithm>
#include <cstdio>
#include <vector>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr qint64 LargestUpload = 16676550;

QString bin;

// The emulated phone answering at once, unpaced, with large packets and frames.
class Phone : public bench::Phone
{
public:
    explicit Phone(const QString &root)
        : bench::Phone(bin,
                       {QStringLiteral("--root"), root, QStringLiteral("--packet"), QStringLiteral("65535"),
                        QStringLiteral("--frame"), QStringLiteral("255"), QStringLiteral("--memory"),
                        QStringLiteral("200000000"), QStringLiteral("--at-latency"), QStringLiteral("0"),
                        QStringLiteral("--obex-latency"), QStringLiteral("0")})
    {}
};

struct Figures
{
    double seconds = -1;
    long peakKb = 0;
};

// tarvel-cli run to its end in dir, with its own peak resident size.
Figures runCli(const Phone &phone, const QStringList &arguments, const QString &dir)
{
    const bench::ExecArguments command(
        QStringList{bin + QStringLiteral("/tarvel-cli"), QStringLiteral("--device"), phone.device} + arguments);
    const QByteArray folder = QFile::encodeName(dir);
    QElapsedTimer clock;
    clock.start();
    const pid_t child = ::fork();
    if (child == 0) {
        if (::chdir(folder.constData()) == 0)
            ::execv(command.argv()[0], command.argv());
        ::_exit(127);
    }
    int status = 0;
    rusage usage{};
    Figures figures;
    const pid_t waited = child > 0 ? ::wait4(child, &status, 0, &usage) : -1;
    if (waited == child && WIFEXITED(status) && WEXITSTATUS(status) == 0)
        figures = {double(clock.elapsed()) / 1000.0, usage.ru_maxrss};
    else
        std::fprintf(stderr, "tarvel-cli %s: wait %d, status %d\n", qPrintable(arguments.join(u' ')), int(waited),
                     status);
    return figures;
}

QByteArray digest(const QString &path)
{
    QFile file(path);
    QCryptographicHash hash(QCryptographicHash::Sha1);
    return file.open(QIODevice::ReadOnly) && hash.addData(&file) ? hash.result() : QByteArray();
}

bool writeRandom(const QString &path, qint64 size)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    QByteArray block(1 << 16, Qt::Uninitialized);
    for (qint64 left = size; left > 0; left -= block.size()) {
        QRandomGenerator::global()->fillRange(reinterpret_cast<quint32 *>(block.data()), block.size() / 4);
        if (file.write(block.constData(), std::min<qint64>(left, block.size())) < 0)
            return false;
    }
    return true;
}

bool mounted(const QString &point)
{
    QFile table(QStringLiteral("/proc/self/mountinfo"));
    return table.open(QIODevice::ReadOnly) && table.readAll().contains(' ' + point.toUtf8() + ' ');
}

long peakOf(qint64 pid)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').value(0).toLong();
    }
    return 0;
}

// cp of the file out of the mounted phone.
Figures runMount(const Phone &phone, const QString &name, const QString &copy, const QByteArray &expected)
{
    Figures figures;
    QTemporaryDir point;
    QProcess mount;
    mount.setStandardErrorFile(QProcess::nullDevice());
    mount.start(bin + QStringLiteral("/tarvel-mount"),
                {QStringLiteral("--device"), phone.device, QStringLiteral("-f"), point.path()});
    QDeadlineTimer deadline(60000);
    while (!mounted(point.path()) && !deadline.hasExpired() && mount.state() != QProcess::NotRunning)
        QThread::msleep(20);
    if (!mounted(point.path()))
        return figures;
    QElapsedTimer clock;
    clock.start();
    const int copied = QProcess::execute(QStringLiteral("cp"), {point.filePath(name), copy});
    if (copied == 0 && digest(copy) == expected)
        figures = {double(clock.elapsed()) / 1000.0, peakOf(mount.processId())};
    QProcess::execute(QStringLiteral("fusermount3"), {QStringLiteral("-u"), point.path()});
    mount.waitForFinished(10000);
    return figures;
}

void print(const char *what, qint64 size, const Figures &figures)
{
    if (figures.seconds < 0) {
        std::printf("%-10s %9lld  failed\n", what, static_cast<long long>(size));
        return;
    }
    std::printf("%-10s %9lld %9.1f %9.0f %10ld\n", what, static_cast<long long>(size), figures.seconds,
                double(size) / 1024.0 / figures.seconds, figures.peakKb);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList arguments = app.arguments();
    bin = QDir(arguments.value(1, QCoreApplication::applicationDirPath())).absolutePath();
    QList<qint64> sizes;
    for (const QString &megabytes : arguments.mid(2))
        sizes.append(megabytes.toLongLong() * 1024 * 1024);
    if (sizes.isEmpty())
        sizes = {1 << 20, 4 << 20, 20 << 20};

    std::printf("%-10s %9s %9s %9s %10s\n", "transfer", "bytes", "seconds", "KB/s", "peak KB");
    int failures = 0;
    for (const qint64 size : sizes) {
        QTemporaryDir dir;
        const QString flash = dir.filePath(QStringLiteral("flash"));
        const QString pc = dir.filePath(QStringLiteral("pc"));
        QDir().mkpath(flash + QStringLiteral("/Misc"));
        QDir().mkpath(pc);
        if (!writeRandom(flash + QStringLiteral("/big.bin"), size))
            return 1;
        const QByteArray expected = digest(flash + QStringLiteral("/big.bin"));
        const Phone phone(flash);

        Figures get = runCli(phone, {QStringLiteral("get"), QStringLiteral("big.bin")}, pc);
        if (digest(pc + QStringLiteral("/big.bin")) != expected)
            get.seconds = -1;
        print("cli get", size, get);
        failures += get.seconds < 0;

        if (size <= LargestUpload) {
            Figures put = runCli(
                phone,
                {QStringLiteral("--yes"), QStringLiteral("put"), QStringLiteral("big.bin"), QStringLiteral("Misc")},
                pc);
            if (digest(flash + QStringLiteral("/Misc/big.bin")) != expected)
                put.seconds = -1;
            print("cli put", size, put);
            failures += put.seconds < 0;
        }

        const Figures mount = runMount(phone, QStringLiteral("big.bin"), pc + QStringLiteral("/mounted.bin"), expected);
        print("mount cp", size, mount);
        failures += mount.seconds < 0;
    }
    return failures == 0 ? 0 : 1;
}
