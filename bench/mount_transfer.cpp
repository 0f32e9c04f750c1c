// The mount as programs use it, through the emulated M55 with its recorded 474-byte
// packets, answering each request after 17 ms (the recorded M56), in plain OBEX at
// 115200 baud, with a 1 MB file and a 100 KB file in Misc:
//  1. head -c 1024 of the 1 MB file right after mounting (its folder not listed yet),
//     and of the 100 KB file right after an ls of the folder;
//  2. cp of the 1 MB file, against tarvel-cli get of it (the connection left out: a run
//     that only connects is taken off the get);
//  3. file(1) of the 1 MB file right after that whole read (file 5.44 reads up to 7 MB);
//  4. cat of the 100 KB file, twice: the second one.
// Goals: head -c 1024 within 2 s, file and the second cat within 0.3 s each, cp within
// 1.05 of tarvel-cli get. Mounts in a temporary folder: needs /dev/fuse.
//
//   mount_transfer [BINDIR]   (BINDIR holds tarvel-cli, tarvel-mount and phonesim;
//                              default: beside this program)

#include "benchsupport.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <cstdio>
#include <unistd.h>

namespace {

constexpr int BigSize = 1024 * 1024;
constexpr int SmallSize = 100 * 1024;
const QStringList Speed{QStringLiteral("--speed"), QStringLiteral("115200")};

QString binDir;

bench::Phone phoneOn(const QString &flash)
{
    return bench::Phone(binDir,
                        {QStringLiteral("--root"), flash, QStringLiteral("--baud"), QStringLiteral("57600"),
                         QStringLiteral("--obex-latency"), QStringLiteral("17"), QStringLiteral("--packet"),
                         QStringLiteral("474"), QStringLiteral("--empty-final")});
}

// Wall seconds of a shell command run to its end; negative when it failed.
double timed(const QString &command, const QString &dir)
{
    QProcess shell;
    shell.setWorkingDirectory(dir);
    shell.setStandardOutputFile(QProcess::nullDevice());
    QElapsedTimer clock;
    clock.start();
    shell.start(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), command});
    if (!shell.waitForFinished(3600000) || shell.exitStatus() != QProcess::NormalExit || shell.exitCode() != 0) {
        std::fprintf(stderr, "%s failed: %s\n", qPrintable(command), shell.readAllStandardError().constData());
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

void report(const char *what, double seconds, const char *goal)
{
    std::printf("  %-44s %8.2f s   %s\n", what, seconds, goal);
    std::fflush(stdout);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    binDir = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QCoreApplication::applicationDirPath();
    QTemporaryDir work;
    const QString flash = work.filePath(QStringLiteral("flash"));
    const QString pc = work.filePath(QStringLiteral("pc"));
    const QString point = work.filePath(QStringLiteral("mnt"));
    for (const QString &folder : {flash + QStringLiteral("/Misc"), pc, point})
        QDir().mkpath(folder);
    const QByteArray big = bench::randomBytes(BigSize);
    const QByteArray small = bench::randomBytes(SmallSize);
    QFile bigFile(flash + QStringLiteral("/Misc/big.bin"));
    QFile smallFile(flash + QStringLiteral("/Misc/small.bin"));
    if (!bigFile.open(QIODevice::WriteOnly) || bigFile.write(big) != big.size() || !smallFile.open(QIODevice::WriteOnly)
        || smallFile.write(small) != small.size())
        return 1;
    bigFile.close();
    smallFile.close();
    std::printf("phonesim: M55, 474-byte packets, 17 ms answers; plain OBEX at 115200 baud\n");

    double cliGet = -1;
    {
        const bench::Phone phone = phoneOn(flash);
        const double connectOnly = bench::runCli(binDir, phone, Speed + QStringList{QStringLiteral("info")}, pc);
        const double whole = bench::runCli(
            binDir, phone, Speed + QStringList{QStringLiteral("get"), QStringLiteral("Misc/big.bin")}, pc);
        if (connectOnly >= 0 && whole >= 0 && readFile(pc + QStringLiteral("/big.bin")) == big)
            cliGet = whole - connectOnly;
        QFile::remove(pc + QStringLiteral("/big.bin"));
    }

    const bench::Phone phone = phoneOn(flash);
    QProcess mount;
    mount.setStandardErrorFile(QProcess::nullDevice());
    mount.start(binDir + QStringLiteral("/tarvel-mount"),
                QStringList{QStringLiteral("--device"), phone.device} + Speed
                    + QStringList{QStringLiteral("-f"), point});
    QDeadlineTimer deadline(60000);
    while (!mounted(point) && !deadline.hasExpired() && mount.state() != QProcess::NotRunning)
        QThread::msleep(20);
    if (!mounted(point)) {
        std::fprintf(stderr, "tarvel-mount did not mount\n");
        return 1;
    }
    const QString bigPath = point + QStringLiteral("/Misc/big.bin");
    const QString smallPath = point + QStringLiteral("/Misc/small.bin");
    report("head -c 1024, folder not listed yet", timed(QStringLiteral("head -c 1024 '%1'").arg(bigPath), pc),
           "goal: 2 s");
    timed(QStringLiteral("ls '%1/Misc'").arg(point), pc);
    report("head -c 1024 of 100 KB, right after ls", timed(QStringLiteral("head -c 1024 '%1'").arg(smallPath), pc), "");
    const double cpuBefore = cpuSeconds(mount.processId());
    const double cp = timed(QStringLiteral("cp '%1' big.bin").arg(bigPath), pc);
    const double cpu = cpuSeconds(mount.processId()) - cpuBefore;
    if (readFile(pc + QStringLiteral("/big.bin")) != big)
        std::fprintf(stderr, "cp brought other bytes\n");
    report("tarvel-cli get of 1 MB, connection left out", cliGet, "");
    report("cp of 1 MB", cp, "");
    std::printf("  %-44s %8.3f     goal: 1.05\n", "cp / tarvel-cli get", cliGet > 0 ? cp / cliGet : -1.0);
    std::printf("  %-44s %8.2f s\n", "CPU of tarvel-mount during cp", cpu);
    report("file, after the whole read", timed(QStringLiteral("file '%1'").arg(bigPath), pc), "goal: 0.3 s");
    timed(QStringLiteral("cat '%1' > small.bin").arg(smallPath), pc);
    report("second cat of 100 KB", timed(QStringLiteral("cat '%1' > small.bin").arg(smallPath), pc), "goal: 0.3 s");
    if (readFile(pc + QStringLiteral("/small.bin")) != small)
        std::fprintf(stderr, "cat brought other bytes\n");

    QProcess::execute(QStringLiteral("fusermount3"), {QStringLiteral("-u"), point});
    mount.waitForFinished(10000);
    return 0;
}
