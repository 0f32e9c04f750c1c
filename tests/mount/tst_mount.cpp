// tarvel-mount end to end: the mount program over the in-memory phone, mounted in a
// temporary folder and used through the ordinary tools (stat, cp, mv, df, ...).

#include "testprocess.h"

#include <QDateTime>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <csignal>
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/stat.h>

namespace {

bool mounted(const QString &point)
{
    QFile table(QStringLiteral("/proc/self/mountinfo"));
    if (!table.open(QIODevice::ReadOnly))
        return false;
    for (const QByteArray &line : table.readAll().split('\n')) {
        const QList<QByteArray> fields = line.split(' ');
        if (fields.size() > 4 && fields[4] == point.toUtf8())
            return true;
    }
    return false;
}

// The processes that have the mount point among their arguments.
QList<int> processesServing(const QString &point)
{
    QList<int> found;
    const QByteArray wanted = point.toUtf8();
    for (const QString &entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        bool isProcess = false;
        const int pid = entry.toInt(&isProcess);
        QFile arguments(QStringLiteral("/proc/%1/cmdline").arg(entry));
        if (isProcess && arguments.open(QIODevice::ReadOnly) && arguments.readAll().split('\0').contains(wanted))
            found << pid;
    }
    return found;
}

bool noProcessServing(const QString &point)
{
    QDeadlineTimer deadline(10000);
    while (!processesServing(point).isEmpty() && !deadline.hasExpired())
        QThread::msleep(20);
    return processesServing(point).isEmpty();
}

void setModified(const QString &path, qint64 seconds)
{
    const timespec times[2] = {{seconds, 0}, {seconds, 0}};
    QVERIFY(::utimensat(AT_FDCWD, QFile::encodeName(path).constData(), times, 0) == 0);
}

// The in-memory phone mounted in a temporary folder: seed/ is the flash at the start,
// mnt/ the mount point, pc/ the PC's side, dump/ the flash after unmounting.
// Unmounts in any case when it goes, so that a failed test leaves no mount behind.
class Mount
{
public:
    Mount()
    {
        for (const char *folder : {"seed", "mnt", "pc"})
            QDir(dir.path()).mkpath(QString::fromLatin1(folder));
    }
    ~Mount() { unmount(); }

    QString path(const QString &relative = QString()) const { return dir.filePath(relative); }
    QString point() const { return path(QStringLiteral("mnt")); }

    bool start(const QString &faults = QString(), bool foreground = true)
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("TARVEL_MEMORY_SEED"), path(QStringLiteral("seed")));
        environment.insert(QStringLiteral("TARVEL_MEMORY_DUMP"), path(QStringLiteral("dump")));
        environment.insert(QStringLiteral("TARVEL_MEMORY_LOG"), path(QStringLiteral("phone.log")));
        environment.insert(QStringLiteral("TARVEL_MEMORY_FAULTS"), faults);
        process.setProcessEnvironment(environment);
        process.setStandardOutputFile(QProcess::nullDevice());
        process.setStandardErrorFile(path(QStringLiteral("mount.err")));
        process.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
        QStringList arguments{QStringLiteral("--device"), QStringLiteral("/dev/null")};
        if (foreground)
            arguments << QStringLiteral("-f");
        process.start(tarvelBinary(QStringLiteral("tarvel-mount-memory")), arguments << point());
        QDeadlineTimer deadline(10000);
        while (!mounted(point())) {
            if (deadline.hasExpired() || (foreground && process.state() == QProcess::NotRunning))
                return false;
            QThread::msleep(20);
        }
        return true;
    }

    // fusermount3 -u, and umount -l when that is not enough; then the program must end.
    bool unmount()
    {
        if (mounted(point())) {
            QProcess::execute(QStringLiteral("fusermount3"), {QStringLiteral("-u"), point()});
            if (mounted(point()))
                QProcess::execute(QStringLiteral("umount"), {QStringLiteral("-l"), point()});
        }
        const bool ended = noProcessServing(point());
        for (const int pid : processesServing(point()))
            ::kill(pid, SIGKILL);
        if (process.state() != QProcess::NotRunning && !process.waitForFinished(5000)) {
            process.kill();
            process.waitForFinished();
        }
        return ended && !mounted(point());
    }

    // A shell command in the temporary folder.
    ProcessResult run(const QString &script) const
    {
        QProcess shell;
        shell.setWorkingDirectory(path());
        shell.start(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), script});
        return finishProcess(shell, 30000);
    }

    // The mounted tree, one line an entry: a folder ends in "/", a file shows "=" and its text.
    QStringList tree() const
    {
        return run(QStringLiteral("cd mnt && find . -mindepth 1 | LC_ALL=C sort | while IFS= read -r p; do p=${p#./}; "
                                  "if [ -d \"$p\" ]; then echo \"$p/\"; else printf '%s=%s\\n' \"$p\" \"$(cat "
                                  "\"$p\")\"; fi; done"))
            .out.split(u'\n', Qt::SkipEmptyParts);
    }

    // The operations the phone saw, one a line.
    QStringList phoneLog() const
    {
        QFile log(path(QStringLiteral("phone.log")));
        return log.open(QIODevice::ReadOnly) ? QString::fromUtf8(log.readAll()).split(u'\n', Qt::SkipEmptyParts)
                                             : QStringList();
    }
    QString errors() const { return QString::fromUtf8(readFile(path(QStringLiteral("mount.err")))); }

    QTemporaryDir dir;
    QProcess process;
};

qsizetype countStarting(const QStringList &lines, const QString &prefix)
{
    return std::count_if(lines.begin(), lines.end(), [&](const QString &line) { return line.startsWith(prefix); });
}

// The phone operations that change something.
QStringList changes(const QStringList &log)
{
    QStringList found;
    for (const QString &line : log) {
        for (const char *verb : {"write ", "mkdir ", "remove ", "move "}) {
            if (line.startsWith(QLatin1String(verb)))
                found << line;
        }
    }
    return found;
}

} // namespace

class MountTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void showsSizesAndDates();
    void copiesTreesBothWays();
    void changesNames_data();
    void changesNames();
    void showsMemoryFigures();
    void refusesUnsendableNames_data();
    void refusesUnsendableNames();
    void survivesLostLink_data();
    void survivesLostLink();
    void unmountsWithoutLeftovers_data();
    void unmountsWithoutLeftovers();
    void commandLine_data();
    void commandLine();
};

void MountTest::initTestCase()
{
    QVERIFY2(QFileInfo::exists(QStringLiteral("/dev/fuse")), "the mount tests need /dev/fuse");
}

void MountTest::showsSizesAndDates()
{
    struct Row
    {
        const char *path;
        int size; // -1 for a folder
        qint64 modified;
    };
    const qint64 day = QDateTime(QDate(2003, 4, 12), QTime(15, 30, 5)).toSecsSinceEpoch();
    const Row rows[] = {
        {"Bitmap", -1, day},
        {"Bitmap/pic.bmp", 1536, day + 60},
        {"Ringing tone", -1, day + 120},
        {"Ringing tone/Мелодия.mid", 70000, day + 86400},
        {"empty.txt", 0, day + 1},
    };
    Mount mount;
    for (const Row &row : rows) {
        const QString seeded = mount.path(QStringLiteral("seed/") + QString::fromUtf8(row.path));
        QVERIFY(row.size < 0 ? QDir().mkpath(seeded) : writeFile(seeded, randomBytes(row.size, 1)));
    }
    QVERIFY(writeFile(mount.path(QStringLiteral("seed/undated.jad")), "0123456789"));
    for (const Row &row : rows)
        setModified(mount.path(QStringLiteral("seed/") + QString::fromUtf8(row.path)), row.modified);
    setModified(mount.path(QStringLiteral("seed/undated.jad")), 0);

    const qint64 before = QDateTime::currentSecsSinceEpoch();
    QVERIFY(mount.start());
    const qint64 after = QDateTime::currentSecsSinceEpoch();

    QString command = QStringLiteral("cd mnt && stat -c '%n|%F|%s|%Y|%a|%u'");
    QStringList expected;
    for (const Row &row : rows) {
        command += QStringLiteral(" '%1'").arg(QString::fromUtf8(row.path));
        const char *kind = row.size < 0 ? "directory" : row.size == 0 ? "regular empty file" : "regular file";
        expected << QStringLiteral("%1|%2|%3|%4|%5|%6")
                        .arg(QString::fromUtf8(row.path), QLatin1String(kind))
                        .arg(std::max(row.size, 0))
                        .arg(row.modified)
                        .arg(row.size < 0 ? QStringLiteral("755") : QStringLiteral("644"))
                        .arg(::getuid());
    }
    const ProcessResult stat = mount.run(command);
    QCOMPARE(stat.err, QString());
    QCOMPARE(stat.out.split(u'\n', Qt::SkipEmptyParts), expected);

    // A row without a date shows the time of mounting.
    const qint64 undated = mount.run(QStringLiteral("stat -c %Y mnt/undated.jad")).out.trimmed().toLongLong();
    QVERIFY2(undated >= before && undated <= after, qPrintable(QString::number(undated)));

    QCOMPARE(mount.run(QStringLiteral("LC_ALL=C ls -A mnt")).out,
             QStringLiteral("Bitmap\nRinging tone\nempty.txt\nundated.jad\n"));
}

void MountTest::copiesTreesBothWays()
{
    Mount mount;
    const QList<std::pair<QString, int>> seedFiles = {
        {QStringLiteral("Bitmap/a.bmp"), 1536},
        {QStringLiteral("Bitmap/Фото/кот.bmp"), 5000},
        {QStringLiteral("Ringing tone/big.mid"), 300000},
        {QStringLiteral("zero.txt"), 0},
    };
    const QList<std::pair<QString, int>> pcFiles = {
        {QStringLiteral("Мои/один.txt"), 777},
        {QStringLiteral("big.bin"), 250000},
        {QStringLiteral("zero"), 0},
        {QStringLiteral("deep/a/b/c.txt"), 10},
    };
    quint32 seed = 10;
    for (const auto &[file, size] : seedFiles)
        QVERIFY(writeFile(mount.path(QStringLiteral("seed/") + file), randomBytes(size, seed++)));
    for (const auto &[file, size] : pcFiles)
        QVERIFY(writeFile(mount.path(QStringLiteral("pc/tree/") + file), randomBytes(size, seed++)));
    QVERIFY(QDir().mkpath(mount.path(QStringLiteral("seed/Empty"))));
    QVERIFY(QDir().mkpath(mount.path(QStringLiteral("pc/tree/Мои/Пусто"))));
    QVERIFY(mount.start());

    // Off the phone: cp reads in blocks, and each file is downloaded once (an empty one
    // never: the kernel knows there is nothing to read).
    ProcessResult copied = mount.run(QStringLiteral("cp -r mnt/. pc/off && diff -r seed pc/off"));
    QCOMPARE(copied.err, QString());
    QCOMPARE(copied.exitCode, 0);
    for (const auto &[file, size] : seedFiles)
        QCOMPARE(mount.phoneLog().count(QStringLiteral("read ") + file), qsizetype(size > 0 ? 1 : 0));

    // Onto the phone: each file is uploaded once, when it is closed.
    copied = mount.run(QStringLiteral("cp -r pc/tree mnt/Bitmap/ && diff -r pc/tree mnt/Bitmap/tree"));
    QCOMPARE(copied.err, QString());
    QCOMPARE(copied.exitCode, 0);
    for (const auto &[file, size] : pcFiles)
        QCOMPARE(mount.phoneLog().count(QStringLiteral("write Bitmap/tree/%1 %2").arg(file).arg(size)), qsizetype(1));

    QVERIFY(mount.unmount());
    QCOMPARE(mount.run(QStringLiteral("diff -r pc/tree dump/Bitmap/tree")).exitCode, 0);
    QCOMPARE(mount.errors(), QString());
}

void MountTest::changesNames_data()
{
    QTest::addColumn<QString>("command");
    QTest::addColumn<QString>("error"); // empty when the command succeeds
    QTest::addColumn<QStringList>("tree");

    const QString bitmap = QStringLiteral("Bitmap/");
    const QString sub = QStringLiteral("Bitmap/Sub/");
    const QString beta = QStringLiteral("Bitmap/b.bmp=beta");
    const QString empty = QStringLiteral("Empty/");
    const QString alpha = QStringLiteral("a.txt=alpha");
    const QStringList untouched{bitmap, sub, beta, empty, alpha};

    QTest::newRow("rename a file") << "mv mnt/a.txt mnt/c.txt"
                                   << "" << QStringList{bitmap, sub, beta, empty, QStringLiteral("c.txt=alpha")};
    QTest::newRow("move a file into a folder")
        << "mv mnt/a.txt mnt/Bitmap/Sub/"
        << "" << QStringList{bitmap, sub, QStringLiteral("Bitmap/Sub/a.txt=alpha"), beta, empty};
    QTest::newRow("rename a folder") << "mv mnt/Bitmap mnt/Pictures"
                                     << ""
                                     << QStringList{empty, QStringLiteral("Pictures/"), QStringLiteral("Pictures/Sub/"),
                                                    QStringLiteral("Pictures/b.bmp=beta"), alpha};
    QTest::newRow("move over a file") << "mv mnt/a.txt mnt/Bitmap/b.bmp"
                                      << "" << QStringList{bitmap, sub, QStringLiteral("Bitmap/b.bmp=alpha"), empty};
    QTest::newRow("move a folder over an empty one") << "mv -T mnt/Bitmap/Sub mnt/Empty"
                                                     << "" << QStringList{bitmap, beta, empty, alpha};
    QTest::newRow("make folders")
        << "mkdir -p mnt/New/Inner"
        << "" << QStringList{bitmap, sub, beta, empty, QStringLiteral("New/"), QStringLiteral("New/Inner/"), alpha};
    QTest::newRow("make an existing folder") << "mkdir mnt/Empty"
                                             << "File exists" << untouched;
    QTest::newRow("remove an empty folder") << "rmdir mnt/Empty"
                                            << "" << QStringList{bitmap, sub, beta, alpha};
    QTest::newRow("remove a full folder") << "rmdir mnt/Bitmap"
                                          << "Directory not empty" << untouched;
    QTest::newRow("remove a file") << "rm mnt/Bitmap/b.bmp"
                                   << "" << QStringList{bitmap, sub, empty, alpha};
    QTest::newRow("remove a missing file") << "rm mnt/nothing"
                                           << "No such file" << untouched;
    QTest::newRow("remove a tree") << "rm -r mnt/Bitmap"
                                   << "" << QStringList{empty, alpha};
    QTest::newRow("append") << "printf ' and more' >> mnt/a.txt"
                            << "" << QStringList{bitmap, sub, beta, empty, QStringLiteral("a.txt=alpha and more")};
    QTest::newRow("write inside a file") << "printf XY | dd of=mnt/a.txt bs=1 seek=1 conv=notrunc status=none"
                                         << "" << QStringList{bitmap, sub, beta, empty, QStringLiteral("a.txt=aXYha")};
    QTest::newRow("shorten a file") << "truncate -s 3 mnt/a.txt"
                                    << "" << QStringList{bitmap, sub, beta, empty, QStringLiteral("a.txt=alp")};
    QTest::newRow("overwrite a file") << "echo gamma > mnt/a.txt"
                                      << "" << QStringList{bitmap, sub, beta, empty, QStringLiteral("a.txt=gamma")};
    QTest::newRow("larger than the phone takes")
        << "truncate -s 5M mnt/huge"
        << "File too large" << QStringList{bitmap, sub, beta, empty, alpha, QStringLiteral("huge=")};
}

void MountTest::changesNames()
{
    QFETCH(QString, command);
    QFETCH(QString, error);
    QFETCH(QStringList, tree);

    Mount mount;
    QVERIFY(writeFile(mount.path(QStringLiteral("seed/a.txt")), "alpha"));
    QVERIFY(writeFile(mount.path(QStringLiteral("seed/Bitmap/b.bmp")), "beta"));
    QVERIFY(QDir().mkpath(mount.path(QStringLiteral("seed/Bitmap/Sub"))));
    QVERIFY(QDir().mkpath(mount.path(QStringLiteral("seed/Empty"))));
    QVERIFY(mount.start());

    const ProcessResult result = mount.run(command);
    if (error.isEmpty()) {
        QCOMPARE(result.err, QString());
        QCOMPARE(result.exitCode, 0);
    } else {
        QVERIFY(result.exitCode != 0);
        QVERIFY2(result.err.contains(error), qPrintable(result.err));
    }
    QCOMPARE(mount.tree(), tree);
}

void MountTest::showsMemoryFigures()
{
    Mount mount;
    QVERIFY(writeFile(mount.path(QStringLiteral("seed/a.bin")), randomBytes(1000, 3)));
    QVERIFY(mount.start());
    const auto figures = [&mount] {
        const QString out = mount.run(QStringLiteral("df -B1 --output=source,size,avail mnt")).out;
        return out.split(u'\n', Qt::SkipEmptyParts).value(1).simplified();
    };
    QCOMPARE(figures(), QStringLiteral("tarvel 3000000 2999000"));
    // A change made through the mount is seen at once, not after the figures' lifetime.
    QCOMPARE(mount.run(QStringLiteral("head -c 10000 /dev/zero > mnt/ten.bin")).exitCode, 0);
    QCOMPARE(figures(), QStringLiteral("tarvel 3000000 2989000"));
}

void MountTest::refusesUnsendableNames_data()
{
    QTest::addColumn<QString>("command");
    QTest::addColumn<QString>("message"); // how the tool words EINVAL
    const QString invalid = QStringLiteral("Invalid argument");
    QTest::newRow("copy in") << "cp pc/x.txt 'mnt/✓.txt'" << invalid;
    QTest::newRow("make a folder") << "mkdir 'mnt/日本'" << invalid;
    QTest::newRow("rename") << "mv mnt/a.txt 'mnt/✓.txt'"
                            << "to a subdirectory of itself";
    QTest::newRow("too long") << "touch mnt/" + QString(43, u'n') << invalid;
}

void MountTest::refusesUnsendableNames()
{
    QFETCH(QString, command);
    QFETCH(QString, message);
    Mount mount;
    QVERIFY(writeFile(mount.path(QStringLiteral("seed/a.txt")), "alpha"));
    QVERIFY(writeFile(mount.path(QStringLiteral("pc/x.txt")), "x"));
    QVERIFY(mount.start());

    const ProcessResult result = mount.run(command);
    QVERIFY(result.exitCode != 0);
    QVERIFY2(result.err.contains(message), qPrintable(result.err));
    QCOMPARE(changes(mount.phoneLog()), QStringList());
    QCOMPARE(mount.tree(), QStringList{QStringLiteral("a.txt=alpha")});
    QVERIFY2(mount.errors().contains(QStringLiteral("cannot take the name")), qPrintable(mount.errors()));
}

void MountTest::survivesLostLink_data()
{
    QTest::addColumn<bool>("offPhone");
    QTest::addColumn<QString>("faults");
    QTest::addColumn<bool>("restCopied"); // the file after the broken one made it in the same run

    QTest::newRow("reading") << true << "lose-read=Bitmap/big.bin@100000" << true;
    QTest::newRow("writing") << false << "lose-write=Up/big.bin@100000" << true;
    QTest::newRow("reading, phone away for one more try")
        << true << "lose-read=Bitmap/big.bin@1000;refuse-connects=1" << false;
}

void MountTest::survivesLostLink()
{
    QFETCH(bool, offPhone);
    QFETCH(QString, faults);
    QFETCH(bool, restCopied);

    Mount mount;
    const QByteArray big = randomBytes(200000, 7);
    const QByteArray small = randomBytes(3000, 8);
    const QString from = offPhone ? QStringLiteral("seed/Bitmap/") : QStringLiteral("pc/Bitmap/");
    const QString to = offPhone ? QStringLiteral("pc/Bitmap/") : QStringLiteral("mnt/Up/");
    QVERIFY(writeFile(mount.path(from + QStringLiteral("big.bin")), big));
    QVERIFY(writeFile(mount.path(from + QStringLiteral("small.bin")), small));
    QVERIFY(mount.start(faults));

    // cp takes big.bin first; its copy breaks half-way.
    const QString copy = offPhone ? QStringLiteral("cp -r mnt/Bitmap pc/") : QStringLiteral("cp -r pc/Bitmap mnt/Up");
    const ProcessResult broken = mount.run(copy);
    QVERIFY(broken.exitCode != 0);
    QVERIFY2(broken.err.contains(QStringLiteral("Input/output error")), qPrintable(broken.err));
    QVERIFY(readFile(mount.path(to + QStringLiteral("big.bin"))) != big);
    if (restCopied)
        QCOMPARE(readFile(mount.path(to + QStringLiteral("small.bin"))), small);
    if (!offPhone) {
        QCOMPARE(mount.run(QStringLiteral("ls mnt/Up")).out, QStringLiteral("small.bin\n"));
        QVERIFY(mount.phoneLog().contains(QStringLiteral("remove Up/big.bin")));
    }

    // The mount is still there, and the same copy goes through now.
    const QString again = offPhone ? QStringLiteral("cp -r mnt/Bitmap/. pc/Bitmap/ && diff -r seed/Bitmap pc/Bitmap")
                                   : QStringLiteral("cp -r pc/Bitmap/. mnt/Up/ && diff -r pc/Bitmap mnt/Up");
    const ProcessResult fine = mount.run(again);
    QCOMPARE(fine.err, QString());
    QCOMPARE(fine.exitCode, 0);

    const QString errors = mount.errors();
    QCOMPARE(errors.count(QStringLiteral("the link to the phone is lost")), qsizetype(1));
    QVERIFY2(errors.contains(QStringLiteral("connected to the phone again")), qPrintable(errors));
    QCOMPARE(errors.contains(QStringLiteral("cannot connect to the phone: no answer")), !restCopied);
    QCOMPARE(countStarting(mount.phoneLog(), QStringLiteral("connect")), qsizetype(restCopied ? 2 : 3));
    QVERIFY(mount.unmount());
    if (!offPhone) {
        QCOMPARE(readFile(mount.path(QStringLiteral("dump/Up/big.bin"))), big);
        QCOMPARE(readFile(mount.path(QStringLiteral("dump/Up/small.bin"))), small);
    }
}

void MountTest::unmountsWithoutLeftovers_data()
{
    QTest::addColumn<bool>("foreground");
    QTest::newRow("Ctrl-C in the foreground") << true;
    QTest::newRow("fusermount3 -u in the background") << false;
}

void MountTest::unmountsWithoutLeftovers()
{
    QFETCH(bool, foreground);
    Mount mount;
    QVERIFY(writeFile(mount.path(QStringLiteral("seed/a.txt")), "alpha"));
    QVERIFY(mount.start(QString(), foreground));
    QCOMPARE(mount.run(QStringLiteral("cat mnt/a.txt")).out, QStringLiteral("alpha"));

    if (foreground) {
        QVERIFY(::kill(pid_t(mount.process.processId()), SIGINT) == 0);
        QVERIFY(mount.process.waitForFinished(10000));
        QCOMPARE(mount.process.exitCode(), 0);
    } else {
        QCOMPARE(QProcess::execute(QStringLiteral("fusermount3"), {QStringLiteral("-u"), mount.point()}), 0);
    }
    QVERIFY(noProcessServing(mount.point()));
    QVERIFY(!mounted(mount.point()));
    // The program ran to its end: the flash was written out after unmounting.
    QCOMPARE(readFile(mount.path(QStringLiteral("dump/a.txt"))), QByteArray("alpha"));
}

void MountTest::commandLine_data()
{
    QTest::addColumn<QStringList>("arguments"); // MNT stands for an existing folder
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("text");

    const QString mnt = QStringLiteral("MNT");
    const QString device = QStringLiteral("--device");
    const QString tty = QStringLiteral("/dev/ttyUSB0");
    QTest::newRow("no line") << QStringList{mnt} << 2 << "give either --port N or --device PATH";
    QTest::newRow("port and device") << QStringList{QStringLiteral("--port"), QStringLiteral("1"), device, tty, mnt}
                                     << 2 << "give either --port N or --device PATH";
    QTest::newRow("port 10") << QStringList{QStringLiteral("--port"), QStringLiteral("10"), mnt} << 2
                             << "--port takes a number from 1 to 9";
    QTest::newRow("speed 9600") << QStringList{device, tty, QStringLiteral("--speed"), QStringLiteral("9600"), mnt} << 2
                                << "--speed takes 19200, 38400, 57600 or 115200";
    QTest::newRow("no mount point") << QStringList{device, tty} << 2 << "no mount point given";
    QTest::newRow("two mount points") << QStringList{device, tty, mnt, mnt} << 2 << "give one mount point";
    QTest::newRow("unknown -o option") << QStringList{device, tty, QStringLiteral("-o"), QStringLiteral("nonsense"),
                                                      mnt}
                                       << 2 << "nonsense";
    QTest::newRow("missing mount point") << QStringList{device, tty, mnt + QStringLiteral("/missing")} << 1
                                         << "is not a folder";
    QTest::newRow("help") << QStringList{QStringLiteral("--help")} << 0
                          << "Usage: tarvel-mount (--port N | --device PATH) [--speed RATE]";
}

void MountTest::commandLine()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QString, text);

    QTemporaryDir folder;
    arguments.replaceInStrings(QStringLiteral("MNT"), folder.path());
    QProcess process;
    process.start(tarvelBinary(QStringLiteral("tarvel-mount")), arguments);
    const ProcessResult result = finishProcess(process, 10000);
    QCOMPARE(result.exitCode, exitCode);
    QVERIFY2((exitCode == 0 ? result.out : result.err).contains(text), qPrintable(result.out + result.err));
    QVERIFY(!mounted(folder.path()));
}

QTEST_GUILESS_MAIN(MountTest)
#include "tst_mount.moc"
