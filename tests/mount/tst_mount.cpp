// tarvel-mount end to end over the in-memory phone, for what the emulated phone
// cannot show: rows without dates, a partial file a broken upload leaves on the
// phone, the POSIX corner cases of writing and renaming; and the command line.

#include "mounttesting.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <sys/stat.h>

namespace {

void setModified(const QString &path, qint64 seconds)
{
    const timespec times[2] = {{seconds, 0}, {seconds, 0}};
    QVERIFY(::utimensat(AT_FDCWD, QFile::encodeName(path).constData(), times, 0) == 0);
}

// The in-memory phone mounted in a temporary folder: seed/ is the flash at the start,
// dump/ the flash after unmounting.
class Mount : public MountedFolder
{
public:
    Mount() { QDir(dir.path()).mkpath(QStringLiteral("seed")); }

    bool start(const QString &faults = QString(), bool foreground = true)
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("TARVEL_MEMORY_SEED"), path(QStringLiteral("seed")));
        environment.insert(QStringLiteral("TARVEL_MEMORY_DUMP"), path(QStringLiteral("dump")));
        environment.insert(QStringLiteral("TARVEL_MEMORY_LOG"), path(QStringLiteral("phone.log")));
        environment.insert(QStringLiteral("TARVEL_MEMORY_FAULTS"), faults);
        return MountedFolder::start(tarvelBinary(QStringLiteral("tarvel-mount-memory")),
                                    {QStringLiteral("--device"), QStringLiteral("/dev/null")}, environment, foreground);
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
};

} // namespace

class MountTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void undatedRowShowsMountTime();
    void changesNames_data();
    void changesNames();
    void removesBrokenUpload();
    void commandLine_data();
    void commandLine();
};

void MountTest::initTestCase()
{
    QVERIFY2(QFileInfo::exists(QStringLiteral("/dev/fuse")), "the mount tests need /dev/fuse");
}

void MountTest::undatedRowShowsMountTime()
{
    Mount mount;
    QVERIFY(writeFile(mount.path(QStringLiteral("seed/undated.jad")), "0123456789"));
    setModified(mount.path(QStringLiteral("seed/undated.jad")), 0);
    const qint64 before = QDateTime::currentSecsSinceEpoch();
    QVERIFY(mount.start());
    const qint64 after = QDateTime::currentSecsSinceEpoch();

    const QStringList shown = mount.run(QStringLiteral("stat -c '%s %Y' mnt/undated.jad")).out.split(u' ');
    QCOMPARE(shown.value(0), QStringLiteral("10"));
    const qint64 undated = shown.value(1).trimmed().toLongLong();
    QVERIFY2(undated >= before && undated <= after, qPrintable(QString::number(undated)));
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

    QTest::newRow("move over a file") << "mv mnt/a.txt mnt/Bitmap/b.bmp"
                                      << "" << QStringList{bitmap, sub, QStringLiteral("Bitmap/b.bmp=alpha"), empty};
    QTest::newRow("move a folder over an empty one") << "mv -T mnt/Bitmap/Sub mnt/Empty"
                                                     << "" << QStringList{bitmap, beta, empty, alpha};
    QTest::newRow("make an existing folder") << "mkdir mnt/Empty"
                                             << "File exists" << untouched;
    QTest::newRow("remove a full folder") << "rmdir mnt/Bitmap"
                                          << "Directory not empty" << untouched;
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

// The in-memory phone keeps what arrived of a broken upload under the file's name,
// as a phone may; the mount removes it once the link is back.
void MountTest::removesBrokenUpload()
{
    Mount mount;
    const QByteArray big = randomBytes(200000, 7);
    const QByteArray small = randomBytes(3000, 8);
    QVERIFY(writeFile(mount.path(QStringLiteral("pc/Bitmap/big.bin")), big));
    QVERIFY(writeFile(mount.path(QStringLiteral("pc/Bitmap/small.bin")), small));
    QVERIFY(mount.start(QStringLiteral("lose-write=Up/big.bin@100000")));

    // cp takes big.bin first; its copy breaks half-way, the next file goes through.
    const ProcessResult broken = mount.run(QStringLiteral("cp -r pc/Bitmap mnt/Up"));
    QVERIFY(broken.exitCode != 0);
    QVERIFY2(broken.err.contains(QStringLiteral("Input/output error")), qPrintable(broken.err));
    QCOMPARE(mount.run(QStringLiteral("ls mnt/Up")).out, QStringLiteral("small.bin\n"));
    QVERIFY(mount.phoneLog().contains(QStringLiteral("remove Up/big.bin")));

    const ProcessResult fine =
        mount.run(QStringLiteral("cp -r pc/Bitmap/. mnt/Up/ && cmp pc/Bitmap/big.bin mnt/Up/big.bin"));
    QCOMPARE(fine.err, QString());
    QCOMPARE(fine.exitCode, 0);
    const QString errors = mount.errors();
    QCOMPARE(errors.count(QStringLiteral("the link to the phone is lost")), qsizetype(1));
    QVERIFY2(errors.contains(QStringLiteral("removed the incomplete copy of Up/big.bin")), qPrintable(errors));
    QVERIFY(mount.unmount());
    QCOMPARE(readFile(mount.path(QStringLiteral("dump/Up/big.bin"))), big);
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
    QTest::newRow("missing device") << QStringList{device, QStringLiteral("/nonexistent/tty"), mnt} << 3
                                    << "cannot connect to the phone: cannot open the serial port /nonexistent/tty: "
                                       "no such device";
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
