// tarvel-mount end to end with the emulated phone on a pseudo-terminal: the real
// program, mounted in a temporary folder (mnt/) and used through the ordinary tools,
// the PC's side in pc/ and the phone's flash a folder of its own (flash/) that the
// tests read directly. Needs /dev/fuse and the right to mount.

#include "testprocess.h"

#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <fcntl.h>
#include <memory>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <tuple>

namespace {

// The program and the leaver it leaves the phone with are gone. Found empty twice in a
// row: a scan lists the processes before it reads them, and misses a program that forks
// its leaver and ends in between.
bool noProcessServing(const QString &point)
{
    int emptyScans = 0;
    return waitUntil([&] { return (emptyScans = processesNaming(point).isEmpty() ? emptyScans + 1 : 0) == 2; });
}

// The temporary folders' paths hold no space, which the table would escape.
bool mounted(const QString &point)
{
    return readFile("/proc/self/mountinfo").contains(" " + point.toUtf8() + " ");
}

// The emulated phone serving flash/ through the stable link m55, and the mount on it.
// It is unmounted in any case when the object goes, so that a failed test leaves no
// mount and no process behind.
class Mount
{
public:
    Mount()
    {
        for (const char *folder : {"mnt", "pc", "flash"})
            QDir(dir.path()).mkpath(QString::fromLatin1(folder));
    }
    ~Mount() { unmount(); }

    QString path(const QString &relative = QString()) const { return dir.filePath(relative); }
    QString point() const { return path(QStringLiteral("mnt")); }
    QString flash(const QString &relative = QString()) const
    {
        return path(relative.isEmpty() ? QStringLiteral("flash") : QStringLiteral("flash/") + relative);
    }
    QString link() const { return path(QStringLiteral("m55")); }

    bool startPhone(const QStringList &extra = {})
    {
        phone = std::make_unique<PhoneSim>();
        return phone->start(flash(), QStringList{"--link", link()} + extra);
    }

    // The phone started with phoneOptions, then the mount on it with mountOptions.
    bool serve(const QStringList &phoneOptions = {}, const QStringList &mountOptions = {})
    {
        return startPhone(phoneOptions) && start(mountOptions);
    }

    // Starts tarvel-mount with pauses and time-outs scaled down (standard error into
    // mount.err); true once the folder is mounted. A failure shows the mount's standard error.
    bool start(const QStringList &arguments = {}, bool foreground = true)
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        // The caps on the phone's answers shrink with the pauses: a tenth of them missed
        // answers held up by a loaded machine (CI).
        environment.insert(QStringLiteral("TARVEL_MOUNT_TEST_TIME_SCALE"), QStringLiteral("0.25"));
        process.setProcessEnvironment(environment);
        process.setWorkingDirectory(path());
        process.setStandardOutputFile(QProcess::nullDevice());
        process.setStandardErrorFile(path(QStringLiteral("mount.err")));
        process.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
        // The device relative to the mount's current folder, which it leaves in the background.
        QStringList all = arguments.contains("--port") ? arguments : QStringList{"--device", "m55"} + arguments;
        if (foreground)
            all << QStringLiteral("-f");
        process.start(tarvelBinary(QStringLiteral("tarvel-mount")), all << point());
        // In the foreground the program ends only when it gives up.
        const auto gaveUp = [&] {
            return foreground && (process.state() == QProcess::NotRunning || process.waitForFinished(20));
        };
        if (waitUntil([&] { return mounted(point()) || gaveUp(); }) && mounted(point()))
            return true;
        qWarning().noquote() << "tarvel-mount did not mount; its standard error:" << errors();
        return false;
    }

    // fusermount3 -u, and umount -l when that is not enough; then the program must end.
    bool unmount()
    {
        if (mounted(point())) {
            QProcess::execute(QStringLiteral("fusermount3"), {"-u", point()});
            if (mounted(point()))
                QProcess::execute(QStringLiteral("umount"), {"-l", point()});
        }
        const bool ended = noProcessServing(point());
        for (const int pid : processesNaming(point()))
            ::kill(pid, SIGKILL);
        if (process.state() != QProcess::NotRunning && !process.waitForFinished(5000)) {
            process.kill();
            process.waitForFinished();
        }
        return ended && !mounted(point());
    }

    // A shell command in the temporary folder.
    void runInBackground(QProcess &shell, const QString &script) const
    {
        shell.setWorkingDirectory(path());
        shell.start(QStringLiteral("/bin/sh"), {"-c", script});
    }
    ProcessResult run(const QString &script) const
    {
        QProcess shell;
        runInBackground(shell, script);
        return finishProcess(shell, 30000);
    }
    QString errors() const { return QString::fromUtf8(readFile(path(QStringLiteral("mount.err")))); }

    // Waits until the phone's log has a line starting with prefix.
    bool phoneLogged(const QString &prefix) const
    {
        return waitUntil([&] { return !phone->logLines(prefix).isEmpty(); });
    }

    // A file goes to the phone at its last close, after close() has returned: a request
    // of the mount's served after it waits for that.
    void settle() const { run(QStringLiteral("stat mnt > /dev/null")); }

    // The phone's flash, one line an entry: a folder ends in "/", a file shows "=" and its text.
    QStringList flashTree() const
    {
        settle();
        return run(QStringLiteral("cd flash && find . -mindepth 1 | LC_ALL=C sort | while IFS= read -r p; do "
                                  "p=${p#./}; if [ -d \"$p\" ]; then echo \"$p/\"; else printf '%s=%s\\n' \"$p\" "
                                  "\"$(cat \"$p\")\"; fi; done"))
            .out.split(u'\n', Qt::SkipEmptyParts);
    }

    QTemporaryDir dir;
    QProcess process;
    std::unique_ptr<PhoneSim> phone;
};

} // namespace

class MountPhonesimTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        if (!QFileInfo::exists(QStringLiteral("/dev/fuse")))
            QSKIP("the mount tests need /dev/fuse");
    }

    void showsSizesAndDates()
    {
        struct Row
        {
            const char *path;
            int size; // -1 for a folder
            qint64 modified;
        };
        const qint64 day = QDateTime(QDate(2003, 4, 12), QTime(15, 30, 5)).toSecsSinceEpoch();
        const Row rows[] = {
            {"Bitmap/pic.bmp", 1536, day + 60}, {"Ringing tone/Мелодия.mid", 7000, day + 86400},
            {"empty.txt", 0, day + 1},          {"Bitmap", -1, day},
            {"Ringing tone", -1, day + 120},
        };
        Mount mount;
        // The files come first: a folder's time is set once nothing is written into it.
        for (const Row &row : rows) {
            const QString path = mount.flash(QString::fromUtf8(row.path));
            QVERIFY(row.size < 0 ? QDir().mkpath(path) : writeFile(path, randomBytes(row.size, 1)));
            const timespec times[2] = {{row.modified, 0}, {row.modified, 0}};
            QVERIFY(::utimensat(AT_FDCWD, QFile::encodeName(path).constData(), times, 0) == 0);
        }
        // The listing is the same at another line rate.
        QVERIFY(mount.serve(words("--memory 1000000"), words("--speed 115200")));
        QVERIFY(!mount.phone->logLines("RATE 115200").isEmpty());

        QString command = QStringLiteral("cd mnt && stat -c '%n|%F|%s|%Y|%u'");
        QStringList expected;
        for (const Row &row : rows) {
            command += QStringLiteral(" '%1'").arg(QString::fromUtf8(row.path));
            const char *kind = row.size < 0 ? "directory" : row.size == 0 ? "regular empty file" : "regular file";
            expected << QStringLiteral("%1|%2|%3|%4|%5")
                            .arg(QString::fromUtf8(row.path), QLatin1String(kind))
                            .arg(std::max(row.size, 0))
                            .arg(row.modified)
                            .arg(::getuid());
        }
        const ProcessResult stat = mount.run(command);
        QCOMPARE(stat.err, QString());
        QCOMPARE(stat.out.split(u'\n', Qt::SkipEmptyParts), expected);

        // The memory figures: the files take 8536 bytes, and a change through the mount shows at once.
        const auto figures = [&mount] {
            const QString out = mount.run("df -B1 --output=source,size,avail mnt").out;
            return out.split(u'\n', Qt::SkipEmptyParts).value(1).simplified();
        };
        QCOMPARE(figures(), QStringLiteral("tarvel 1000000 991464"));
        QCOMPARE(mount.run("head -c 10000 /dev/zero > mnt/ten.bin").exitCode, 0);
        QCOMPARE(figures(), QStringLiteral("tarvel 1000000 981464"));
    }

    void copiesTreesBothWays()
    {
        Mount mount;
        const QList<std::pair<QString, int>> flashFiles = {
            {"Bitmap/a.bmp", 1536},
            {"Bitmap/Фото/кот.bmp", 5000},
            {"Ringing tone/big.mid", 100000},
            {"zero.txt", 0},
        };
        // Staged uploads change at 497 bytes a packet.
        const QList<std::pair<QString, int>> pcFiles = {
            {"Мои/один.txt", 496}, {"Мои/два.txt", 497}, {"big.bin", 100000}, {"zero", 0}, {"deep/a/b/c.txt", 994},
        };
        quint32 seed = 10;
        for (const auto &[file, size] : flashFiles)
            QVERIFY(writeFile(mount.flash(file), randomBytes(size, seed++)));
        for (const auto &[file, size] : pcFiles)
            QVERIFY(writeFile(mount.path(QStringLiteral("pc/tree/") + file), randomBytes(size, seed++)));
        QVERIFY(QDir().mkpath(mount.flash("Empty")));
        QVERIFY(QDir().mkpath(mount.path("pc/tree/Мои/Пусто")));
        QVERIFY(mount.serve());

        // Off the phone: cp reads in blocks, and each file is downloaded once (an empty one
        // never: the kernel knows there is nothing to read).
        ProcessResult copied = mount.run("cp -r mnt/. pc/off && diff -r flash pc/off");
        QVERIFY2(copied.exitCode == 0 && copied.err.isEmpty(), qPrintable(copied.err));
        for (const auto &[file, size] : flashFiles)
            QCOMPARE(mount.phone->logLines(QStringLiteral("GET name=") + file.section(u'/', -1)).size(),
                     size > 0 ? 1 : 0);

        // Onto the phone, byte for byte on its flash: each file is uploaded once, when it is closed.
        copied = mount.run(
            QStringLiteral("cp -r pc/tree mnt/Bitmap/ && stat mnt >/dev/null && diff -r pc/tree flash/Bitmap/tree"));
        QVERIFY2(copied.exitCode == 0 && copied.err.isEmpty(), qPrintable(copied.err));
        const QStringList puts = mount.phone->logLines("PUT name=");
        for (const auto &[file, size] : pcFiles)
            QCOMPARE(puts.count(QStringLiteral("PUT name=") + file.section(u'/', -1)), 1);
        QVERIFY(QFileInfo(mount.flash("Bitmap/tree/Мои/Пусто")).isDir());
        QCOMPARE(mount.errors(), QString());
    }

    void changesTheFlash_data()
    {
        QTest::addColumn<QString>("command");
        QTest::addColumn<QString>("error"); // empty when the command succeeds
        QTest::addColumn<QStringList>("flash");
        QTest::addColumn<QStringList>("moves"); // renames and moves are the phone's move command, not copies
        QTest::addColumn<QStringList>("phone"); // phonesim's options
        const QStringList NoOptions, none;
        const QStringList refusingMoves{"--refuse-move", "C3"};

        const QString bitmap = QStringLiteral("Bitmap/");
        const QString sub = QStringLiteral("Bitmap/Sub/");
        const QString beta = QStringLiteral("Bitmap/b.bmp=beta");
        const QString empty = QStringLiteral("Empty/");
        const QString alpha = QStringLiteral("a.txt=alpha");
        const QString ok;
        const QStringList untouched{bitmap, sub, beta, empty, alpha};
        const auto with = [&](const QString &a) { return QStringList{bitmap, sub, beta, empty, a}; };
        // A change inside a file is one copy at the last close, through a hidden name.
        const QStringList replacesA{"MOVE from=/a.txt to=/.~old~a.txt", "MOVE from=/.~new~a.txt to=/a.txt"};

        QTest::newRow("move a file over another")
            << "mv mnt/a.txt mnt/Bitmap/b.bmp" << ok << QStringList{bitmap, sub, "Bitmap/b.bmp=alpha", empty}
            << QStringList{"MOVE from=/Bitmap/b.bmp to=/Bitmap/.~old~b.bmp", "MOVE from=/a.txt to=/Bitmap/b.bmp"}
            << NoOptions;
        // The phone would not move: nothing is deleted, and mv copies and deletes on EXDEV (a
        // replace on such a phone: tst_obex_phonesim).
        QTest::newRow("rename onto a file, moves refused")
            << "python3 -c 'import os; os.rename(\"mnt/a.txt\", \"mnt/Bitmap/b.bmp\")'"
            << "Invalid cross-device link" << untouched << QStringList{"MOVE from=/Bitmap/b.bmp to=/Bitmap/.~old~b.bmp"}
            << refusingMoves;
        QTest::newRow("rename a folder to Cyrillic")
            << "mv mnt/Bitmap 'mnt/Мои картинки'" << ok
            << QStringList{empty, alpha, "Мои картинки/", "Мои картинки/Sub/", "Мои картинки/b.bmp=beta"}
            << QStringList{"MOVE from=/Bitmap to=/Мои картинки"} << NoOptions;
        QTest::newRow("move a folder over an empty one")
            << "mv -T mnt/Bitmap/Sub mnt/Empty" << ok << QStringList{bitmap, beta, empty, alpha}
            << QStringList{"MOVE from=/Empty to=/.~old~Empty", "MOVE from=/Bitmap/Sub to=/Empty"} << NoOptions;
        // The phone finds names in any letter case, and so does the mount: what would make a
        // file or folder of a name the phone holds is refused, and a write replaces the
        // phone's file under its own name.
        QTest::newRow("read in any letter case")
            << "test \"$(stat -c %s mnt/bitmap/B.BMP) $(cat mnt/BITMAP/b.Bmp)\" = '4 beta'" << ok << untouched
            << QStringList{} << NoOptions;
        QTest::newRow("cp -n onto a name in other letter case")
            << "cp -n pc/x.txt mnt/A.TXT" << ok << untouched << none << NoOptions;
        QTest::newRow("create only, a name in other letter case")
            << "set -C; echo x > mnt/A.TXT" << QStringLiteral("cannot create") << untouched << none << NoOptions;
        QTest::newRow("make an existing folder")
            << "mkdir mnt/EMPTY" << QStringLiteral("File exists") << untouched << none << NoOptions;
        QTest::newRow("remove a full folder")
            << "rmdir mnt/Bitmap" << QStringLiteral("Directory not empty") << untouched << none << NoOptions;
        QTest::newRow("remove a missing file")
            << "rm mnt/nothing" << QStringLiteral("No such file") << untouched << none << NoOptions;
        QTest::newRow("remove a tree") << "rm -r mnt/Bitmap" << ok << QStringList{empty, alpha} << none << NoOptions;
        QTest::newRow("append") << "printf ' and more' >> mnt/a.txt" << ok
                                << with(QStringLiteral("a.txt=alpha and more")) << replacesA << NoOptions;
        QTest::newRow("write inside a file") << "printf XY | dd of=mnt/a.txt bs=1 seek=1 conv=notrunc status=none" << ok
                                             << with(QStringLiteral("a.txt=aXYha")) << replacesA << NoOptions;
        QTest::newRow("shorten a file") << "truncate -s 3 mnt/a.txt" << ok << with(QStringLiteral("a.txt=alp"))
                                        << replacesA << NoOptions;
        // Emptied when opened, then written.
        QTest::newRow("overwrite a file in other letter case")
            << "echo gamma > mnt/A.TXT" << ok << with(QStringLiteral("a.txt=gamma")) << replacesA << NoOptions;
        // Nothing of a file past the largest upload goes to the phone, however much room it has
        // (a write past it: tst_mount_fs).
        const QStringList roomy{"--memory", "20000000"};
        QTest::newRow("larger than the phone takes")
            << "truncate -s 17M mnt/huge" << QStringLiteral("File too large") << untouched << none << roomy;
    }

    void changesTheFlash()
    {
        QFETCH(QString, command);
        QFETCH(QString, error);
        QFETCH(QStringList, flash);
        QFETCH(QStringList, moves);
        QFETCH(QStringList, phone);

        Mount mount;
        QVERIFY(writeFile(mount.flash("a.txt"), "alpha"));
        QVERIFY(writeFile(mount.flash("Bitmap/b.bmp"), "beta"));
        QVERIFY(QDir().mkpath(mount.flash("Bitmap/Sub")));
        QVERIFY(QDir().mkpath(mount.flash("Empty")));
        QVERIFY(writeFile(mount.path("pc/x.txt"), "x"));
        QVERIFY(mount.serve(phone));

        const QStringList before = mount.flashTree();
        const ProcessResult result = mount.run(command);
        // A refusal fails the command with the error's text; anything else succeeds in silence.
        QCOMPARE(result.exitCode != 0, !error.isEmpty());
        QVERIFY2(error.isEmpty() ? result.err.isEmpty() : result.err.contains(error), qPrintable(result.err));
        QCOMPARE(mount.flashTree(), flash);
        QCOMPARE(mount.phone->logLines("MOVE"), moves);
        // What leaves the flash as it was has sent nothing that writes or deletes.
        if (flash == before)
            QCOMPARE(mount.phone->logLines("PUT") + mount.phone->logLines("DELETE"), QStringList());
    }

    void refusesUnsendableNames()
    {
        Mount mount;
        QVERIFY(writeFile(mount.flash("a.txt"), "alpha"));
        // "/", 100, "/" and 26 characters: one unit more than the move command carries.
        const QString deep = QString(100, u'd');
        const QString tooDeep = deep + u'/' + QString(26, u'm');
        // A file stands there: a move that cannot go must not remove it first.
        QVERIFY(writeFile(mount.flash(tooDeep), "old"));
        QVERIFY(writeFile(mount.path("pc/x.txt"), "x"));
        QVERIFY(mount.serve());

        // Each command, its error and what the mount says of it; nothing of it reaches the phone.
        const QString invalid = QStringLiteral("Invalid argument");
        const QString cannotTake = QStringLiteral("cannot take the name \"%1\"");
        const QList<std::tuple<QString, QString, QString>> commands = {
            {"cp pc/x.txt 'mnt/✓.txt'", invalid, cannotTake.arg("✓.txt")},
            {"mkdir 'mnt/日本'", invalid, cannotTake.arg("日本")},
            {"mv mnt/a.txt 'mnt/✓.txt'", "to a subdirectory of itself", cannotTake.arg("✓.txt")},
            {"touch mnt/" + QString(124, u'n'), invalid, cannotTake.arg(QString(124, u'n'))},
            {"mkdir mnt/" + QString(123, u'n'), invalid, cannotTake.arg(QString(123, u'n'))},
            {"mv mnt/a.txt mnt/" + tooDeep, "subdirectory", "too long for its move command"},
        };
        for (const auto &[command, message, said] : commands) {
            const ProcessResult result = mount.run(command);
            QVERIFY2(result.exitCode != 0 && result.err.contains(message), qPrintable(command + u'\n' + result.err));
            QVERIFY2(mount.errors().contains(said), qPrintable(mount.errors()));
        }
        for (const char *request : {"PUT", "DELETE", "MOVE", "SETPATH flags=00"})
            QCOMPARE(mount.phone->logLines(QLatin1String(request)), QStringList());
        QCOMPARE(mount.flashTree(), QStringList({"a.txt=alpha", deep + u'/', tooDeep + QStringLiteral("=old")}));

        // 25 characters fit; a file's name takes 123, as tarvel-cli's does, a folder's 122.
        QCOMPARE(mount.run(QStringLiteral("mv mnt/a.txt mnt/%1/%2").arg(deep, QString(25, u'm'))).exitCode, 0);
        QCOMPARE(mount.run(QStringLiteral("touch mnt/%1 && mkdir mnt/%2").arg(QString(123, u'n'), QString(122, u'f')))
                     .exitCode,
                 0);
        QVERIFY(QFileInfo::exists(mount.flash(QString(123, u'n'))));
    }

    void survivesUnplugging_data()
    {
        QTest::addColumn<bool>("offPhone");
        QTest::addColumn<QString>("faultOn"); // the exchange whose answer is held until the cable goes

        QTest::newRow("reading") << true << "continue:3";
        QTest::newRow("writing") << false << "put:20";
    }

    void survivesUnplugging()
    {
        QFETCH(bool, offPhone);
        QFETCH(QString, faultOn);

        Mount mount;
        const QByteArray big = randomBytes(200000, 7);
        const QString from = offPhone ? mount.flash("big.bin") : mount.path("pc/big.bin");
        const QString to = offPhone ? mount.path("pc/big.bin") : mount.flash("big.bin");
        QVERIFY(writeFile(from, big));
        QVERIFY(mount.startPhone(words("--fault-on " + faultOn + " --delay-byte 60000")));
        // In the background, where connecting again must still find the device.
        QVERIFY(mount.start({}, false));

        // The copy stalls half-way; the cable is pulled there.
        QProcess copy;
        mount.runInBackground(copy,
                              offPhone ? QStringLiteral("cp mnt/big.bin pc/") : QStringLiteral("cp pc/big.bin mnt/"));
        QVERIFY(mount.phoneLogged("FAULT"));
        // The cable pulled: the phone gone without a word, its device with it.
        mount.phone->process.kill();
        mount.phone->process.waitForFinished(5000);
        QFile::remove(mount.link());
        const ProcessResult broken = finishProcess(copy, 30000);
        // A copy to the phone ends at its last close, after cp has finished.
        QVERIFY2(!offPhone || (broken.exitCode != 0 && broken.err.contains("Input/output error")),
                 qPrintable(broken.err));
        // Nothing that looks complete on either side.
        QVERIFY(!QFileInfo::exists(to) || QFileInfo(to).size() < big.size());
        // A phone may keep what arrived of a broken upload under the file's name.
        if (!offPhone)
            QVERIFY(writeFile(to, big.left(100000)));

        // Without the phone the mount stays and says why operations fail.
        const ProcessResult away = mount.run("ls mnt");
        QVERIFY2(away.err.contains("Input/output error"), qPrintable(away.err));
        QVERIFY(mounted(mount.point()));

        // The phone back on the same link: the mount removes the partial file, and the same
        // copy goes through once the retry pause is over.
        QVERIFY(mount.startPhone());
        waitUntil([&] { return mount.run("ls mnt").exitCode == 0; });
        QCOMPARE(mount.run("ls mnt").out, offPhone ? QStringLiteral("big.bin\n") : QString());
        const ProcessResult fine = mount.run(
            offPhone ? QStringLiteral("cp mnt/big.bin pc/ && cmp flash/big.bin pc/big.bin")
                     : QStringLiteral("cp pc/big.bin mnt/ && stat mnt >/dev/null && cmp pc/big.bin flash/big.bin"));
        QVERIFY2(fine.exitCode == 0 && fine.err.isEmpty(), qPrintable(fine.err));

        const QString errors = mount.errors();
        QCOMPARE(errors.count("the link to the phone is lost"), qsizetype(1));
        for (const char *line :
             {"cannot connect to the phone: cannot open the serial port", "connected to the phone again"})
            QVERIFY2(errors.contains(QLatin1String(line)), qPrintable(errors));
        QCOMPARE(errors.contains("removed the incomplete copy of big.bin"), !offPhone);
    }

    // head reads the start of a file: the download goes as far as the read and stops with
    // an ABORT at the close, whichever way the phone takes it, and the phone serves what
    // comes next.
    void headStopsTheDownload_data()
    {
        QTest::addColumn<QStringList>("options"); // tarvel-mount's
        QTest::addColumn<QString>("abort"); // phonesim's --abort-get
        QTest::addColumn<bool>("readOn"); // the phone refuses the ABORT: read to the end
        // The ABORT's other answers in both modes: tst_obex_phonesim.
        QTest::newRow("plain OBEX, A0 at once") << QStringList{} << "at-once" << false;
        QTest::newRow("BFB, refused") << QStringList{"--link", "bfb"} << "refuse" << true;
    }

    void headStopsTheDownload()
    {
        QFETCH(QStringList, options);
        QFETCH(QString, abort);
        QFETCH(bool, readOn);
        Mount mount;
        // 456 bytes in the first answer, 465 in each next one: 216 answers.
        const QByteArray big = randomBytes(100000, 3);
        QVERIFY(writeFile(mount.flash("Bitmap/big.bin"), big));
        QVERIFY(writeFile(mount.flash("small.txt"), "small"));
        QVERIFY(mount.serve({"--abort-get", abort}, options));

        const ProcessResult head = mount.run(QStringLiteral("head -c 1024 mnt/Bitmap/big.bin > pc/start.bin && "
                                                            "cat mnt/small.txt && ls mnt/Bitmap"));
        QCOMPARE(head.err, QString());
        QCOMPARE(head.out, QStringLiteral("smallbig.bin\n"));
        QCOMPARE(readFile(mount.path("pc/start.bin")), big.left(1024));
        QCOMPARE(mount.phone->logLines("GET name=big.bin").size(), qsizetype(1));
        QCOMPARE(mount.phone->logLines("ABORT").size(), qsizetype(1));
        // The kernel reads a whole page and, told so, nothing ahead: 4096 bytes, nine answers.
        const qsizetype pieces = mount.phone->logLines("CONTINUE").size() + 1;
        if (readOn)
            QCOMPARE(pieces, qsizetype(216));
        else
            QVERIFY2(pieces <= 9, qPrintable(QString::number(pieces)));
        QCOMPARE(mount.errors(), QString());
    }

    // Reads again of an unchanged file send no GET; a change through the mount, or on the
    // phone (another size in the listing), makes the next one download again. Nothing of
    // the cache is left at unmount.
    void keepsWhatWasRead()
    {
        Mount mount;
        QVERIFY(writeFile(mount.flash("a.bin"), "first"));
        QVERIFY(mount.serve());
        // What the reads after the change showed, and the downloads so far.
        const auto readAfter = [&](const QString &change) {
            const QString read =
                mount.run(change + QStringLiteral("cat mnt/a.bin; head -c 2 mnt/a.bin; tail -c 2 mnt/a.bin")).out;
            return read + u'|' + QString::number(mount.phone->logLines("GET name=a.bin").size());
        };
        QCOMPARE(readAfter(QString()), QStringLiteral("firstfist|1"));
        QCOMPARE(readAfter(QStringLiteral("printf ' more' >> mnt/a.bin && ")), QStringLiteral("first morefire|2"));
        QVERIFY(writeFile(mount.flash("a.bin"), "on the phone"));
        // Listings are fetched anew after a change.
        QCOMPARE(readAfter(QStringLiteral("mkdir mnt/New && ")), QStringLiteral("on the phoneonne|3"));
        QVERIFY(mount.unmount());
        QCOMPARE(QDir(qEnvironmentVariable("XDG_CACHE_HOME") + QStringLiteral("/tarvel"))
                     .entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
                 QStringList());
    }

    // Two readers at once, of two files and of one, each get their bytes.
    void twoReadersAtOnce()
    {
        Mount mount;
        QVERIFY(writeFile(mount.flash("a.bin"), randomBytes(30000, 5)));
        QVERIFY(writeFile(mount.flash("b.bin"), randomBytes(20000, 6)));
        QVERIFY(mount.serve());
        const ProcessResult read = mount.run(QStringLiteral(
            "dd if=mnt/a.bin of=pc/a1 bs=1000 status=none & dd if=mnt/b.bin of=pc/b bs=1000 status=none & "
            "dd if=mnt/a.bin of=pc/a2 bs=3000 status=none; wait; "
            "cmp pc/a1 flash/a.bin && cmp pc/a2 flash/a.bin && cmp pc/b flash/b.bin"));
        QVERIFY2(read.exitCode == 0 && read.err.isEmpty(), qPrintable(read.out + read.err));
        QCOMPARE(mount.phone->logLines("GET name=b.bin").size(), qsizetype(1));
        QCOMPARE(mount.errors(), QString());
    }

    // The mount stopped while a shell group still writes: the phone keeps its old file, even
    // when a child has closed its copy of the descriptor (an earlier copy would show after a
    // SIGKILL as after a SIGTERM). An unmount waits for the group.
    void stoppedBeforeTheLastClose_data()
    {
        QTest::addColumn<QString>("stop"); // MOUNT stands for the mount's process number
        QTest::addColumn<QByteArray>("phone"); // r.txt at the end
        QTest::newRow("SIGTERM") << "kill -TERM MOUNT" << QByteArray("old");
        QTest::newRow("umount -f: the connection cut") << "umount -f mnt" << QByteArray("old");
        QTest::newRow("lazy unmount") << "umount -l mnt" << QByteArray("new part 1\nnew part 2\n");
    }

    void stoppedBeforeTheLastClose()
    {
        QFETCH(QString, stop);
        QFETCH(QByteArray, phone);
        Mount mount;
        QVERIFY(writeFile(mount.flash("D/r.txt"), "old"));
        QVERIFY(mount.serve());
        QVERIFY(::mkfifo(QFile::encodeName(mount.path("go")).constData(), 0600) == 0);
        QProcess group;
        mount.runInBackground(group,
                              QStringLiteral("{ echo 'new part 1'; /bin/true; : > ready; read x < go; "
                                             "echo 'new part 2'; } > mnt/D/r.txt"));
        QVERIFY(waitUntil([&] { return QFileInfo::exists(mount.path("ready")); }));
        mount.run(stop.replace(QStringLiteral("MOUNT"), QString::number(mount.process.processId())));
        QVERIFY(writeFile(mount.path("go"), "\n"));
        finishProcess(group, 10000);
        QVERIFY(mount.process.waitForFinished(10000));
        QCOMPARE(readFile(mount.flash("D/r.txt")), phone);
        QCOMPARE(mount.phone->logLines("PUT name=").size(), qsizetype(phone == "old" ? 0 : 1));
    }

    // The kernel hands a release over after close() has returned, and drops those it still
    // holds at an unmount: here the mount is stopped when a file's last release comes (a
    // mapping's, which has no close() to wait for the mount).
    void unmountCopiesWhatWasClosed()
    {
        Mount mount;
        QVERIFY(writeFile(mount.flash("D/b.txt"), "old"));
        QVERIFY(mount.serve());
        const int file =
            ::open(QFile::encodeName(mount.point() + QStringLiteral("/D/b.txt")).constData(), O_RDWR | O_TRUNC);
        QCOMPARE(::write(file, "new", 3), ssize_t(3));
        void *view = ::mmap(nullptr, 3, PROT_READ, MAP_SHARED, file, 0);
        ::close(file);
        const qint64 pid = mount.process.processId();
        ::kill(pid_t(pid), SIGSTOP);
        QVERIFY(waitUntil([&] { return readFile(QStringLiteral("/proc/%1/stat").arg(pid)).contains(") T "); }));
        ::munmap(view, 3);
        QCOMPARE(QProcess::execute(QStringLiteral("fusermount3"), {"-u", mount.point()}), 0);
        ::kill(pid_t(pid), SIGCONT);
        QVERIFY(mount.process.waitForFinished(10000));
        QCOMPARE(readFile(mount.flash("D/b.txt")), QByteArray("new"));
        QCOMPARE(mount.phone->logLines("PUT name=").size(), qsizetype(1));
    }

    void noPhoneNoMount()
    {
        Mount mount;
        // A phone that never answers the wake-up.
        QVERIFY(mount.startPhone(words("--fault-on at --silent-after 0")));
        QVERIFY(!mount.start());
        QCOMPARE(mount.process.state(), QProcess::NotRunning);
        QCOMPARE(mount.process.exitCode(), 3);
        QCOMPARE(mount.errors(),
                 QStringLiteral("tarvel-mount: cannot connect to the phone: no phone answers on %1 (no OK to AT)\n")
                     .arg(mount.link()));
        QVERIFY(!mounted(mount.point()));
    }

    void unmountsWithoutLeftovers_data()
    {
        QTest::addColumn<bool>("foreground");
        QTest::newRow("Ctrl-C in the foreground, --device") << true;
        QTest::newRow("fusermount3 -u in the background, --port") << false;
    }

    void unmountsWithoutLeftovers()
    {
        QFETCH(bool, foreground);
        Mount mount;
        QVERIFY(writeFile(mount.flash("a.txt"), "alpha"));
        QVERIFY(mount.startPhone());
        QStringList arguments;
        if (!foreground) {
            // Port 4 is the link the window's port setting maps.
            const QString ports = qEnvironmentVariable("XDG_CONFIG_HOME") + QStringLiteral("/tarvel/ports");
            QVERIFY(QDir().mkpath(ports));
            QFile::remove(ports + QStringLiteral("/com4"));
            QVERIFY(QFile::link(mount.phone->device, ports + QStringLiteral("/com4")));
            arguments << QStringLiteral("--port") << QStringLiteral("4");
        } else {
            // A cache folder kept for the next mount, whose lock the leaver must not hold on.
            arguments << QStringLiteral("-o") << QStringLiteral("cache_dir=") + mount.path("cache");
        }
        QVERIFY(mount.start(arguments, foreground));
        QCOMPARE(mount.run("cat mnt/a.txt").out, QStringLiteral("alpha"));

        if (foreground) {
            QVERIFY(::kill(pid_t(mount.process.processId()), SIGINT) == 0);
            QVERIFY(mount.process.waitForFinished(10000));
            QCOMPARE(mount.process.exitCode(), 0);
            QCOMPARE(mount.errors(), QString());
            // A new mount right after the end waits for the old one to leave the phone, and
            // then finds it as the first did.
            QVERIFY2(mount.start(arguments), qPrintable(mount.errors()));
            QCOMPARE(mount.run("cat mnt/a.txt").out, QStringLiteral("alpha"));
        } else {
            QCOMPARE(QProcess::execute(QStringLiteral("fusermount3"), {"-u", mount.point()}), 0);
            // So does a command right after the unmount.
            const ProcessResult next = runCli({"--device", mount.phone->device, "info"});
            QVERIFY2(next.exitCode == 0 && next.err.isEmpty(), qPrintable(next.err));
            QVERIFY(noProcessServing(mount.point()));
            QVERIFY(!mounted(mount.point()));
            QCOMPARE(mount.errors(), QString());
        }
        // The port was closed after the phone was told to leave plain OBEX.
        QVERIFY(mount.phoneLogged("CLOSE"));
        QVERIFY(mount.phoneLogged("PLAIN-END"));
    }

    void commandLine_data()
    {
        QTest::addColumn<QStringList>("arguments"); // MNT stands for an existing folder
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("text");

        const QString device = QStringLiteral("--device");
        const QString tty = QStringLiteral("/dev/ttyUSB0");
        QTest::newRow("no line") << QStringList{"MNT"} << 2 << "give either --port N or --device PATH";
        QTest::newRow("two mount points") << QStringList{device, tty, "MNT", "MNT"} << 2 << "give one mount point";
        QTest::newRow("unknown -o option") << QStringList{device, tty, "-o", "nonsense", "MNT"} << 2 << "nonsense";
        QTest::newRow("missing mount point") << QStringList{device, tty, "MNT/missing"} << 1 << "is not a folder";
        QTest::newRow("missing device") << QStringList{device, "/nonexistent/tty", "MNT"} << 3
                                        << "cannot connect to the phone: cannot open the serial port /nonexistent/tty: "
                                           "no such device";
        QTest::newRow("empty device") << QStringList{device, "", "MNT"} << 2 << "--device needs a path";
        QTest::newRow("folder as device")
            << QStringList{device, "MNT", "MNT"} << 3 << "is a directory, not a serial port";
        QTest::newRow("mount point not empty") << QStringList{device, tty, "MNT/.."} << 1 << "is not empty";
        QTest::newRow("cache size not a number")
            << QStringList{device, tty, "-o", "ro,cache_size=many", "MNT"} << 2 << "cache_size takes a number";
    }

    void commandLine()
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
        QVERIFY2(result.err.contains(text), qPrintable(result.err));
        QVERIFY(!mounted(folder.path()));
    }

    void verifiesCopies_data()
    {
        QTest::addColumn<QString>("noise"); // phonesim's noise option; empty: a clean line
        QTest::addColumn<bool>("onto"); // copied onto the phone, else off it
        QTest::newRow("onto the phone, a clean line") << QString() << true;
        QTest::newRow("off the phone, a clean line") << QString() << false;
        QTest::newRow("onto the phone, noise") << QStringLiteral("--noise-rx") << true;
        QTest::newRow("off the phone, noise") << QStringLiteral("--noise-tx") << false;
    }

    // --verify: every file read until two reads agree, every copy onto the phone read back.
    // On a noisy line a copy is exact or fails, and nothing wrong stands under its name.
    void verifiesCopies()
    {
        QFETCH(QString, noise);
        QFETCH(bool, onto);
        Mount mount;
        const QByteArray old = randomBytes(20000, 51), fresh = randomBytes(20000, 52);
        QVERIFY(writeFile(mount.flash("Bitmap/n.bin"), old));
        QVERIFY(writeFile(mount.path("pc/n.bin"), fresh));
        QVERIFY(
            mount.startPhone(words("--model S65" + (noise.isEmpty() ? QString() : u' ' + noise + " 2e-5 --seed 3"))));
        // Noise may spoil the connection itself: then nothing is mounted and nothing changes.
        if (!mount.start({"--verify"})) {
            QVERIFY(!noise.isEmpty());
            QCOMPARE(readFile(mount.flash("Bitmap/n.bin")), old);
            return;
        }
        const ProcessResult copied = mount.run(onto ? QStringLiteral("cp pc/n.bin mnt/Bitmap/n.bin")
                                                    : QStringLiteral("cp mnt/Bitmap/n.bin pc/got.bin"));
        mount.settle();
        const QByteArray phone = readFile(mount.flash("Bitmap/n.bin"));
        if (onto) {
            // The copy goes at the last close, after cp has ended: it is exact, or the old
            // file stays (and the mount's standard error says so).
            QVERIFY(phone == fresh || phone == old);
            // Read back under the hidden name before it took the file's place.
            if (noise.isEmpty()) {
                QCOMPARE(phone, fresh);
                QCOMPARE(mount.phone->logLines("GET name="), QStringList{"GET name=.~new~n.bin"});
            }
        } else {
            QCOMPARE(phone, old);
            const QByteArray got = readFile(mount.path("pc/got.bin"));
            QVERIFY2(copied.exitCode == 0 ? got == old : copied.err.contains("Input/output error"),
                     qPrintable(copied.err));
            if (noise.isEmpty())
                QCOMPARE(mount.phone->logLines("GET name=").size(), 2);
        }
        QVERIFY(noise.isEmpty() ? copied.exitCode == 0 : !mount.phone->logLines("FAULT noise").isEmpty());
    }
};

QTEST_GUILESS_MAIN(MountPhonesimTest)
#include "tst_mount_phonesim.moc"
