// tarvel-mount end to end with the emulated phone on a pseudo-terminal: the real
// program, mounted in a temporary folder and used through the ordinary tools, the
// phone's flash a folder of its own (flash/) that the tests read directly.

#include "mounttesting.h"

#include <QDateTime>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTest>
#include <QThread>

#include <csignal>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>

namespace {

// Pauses, time-outs and the retry pause of the mount, scaled down.
const QString TimeScale = QStringLiteral("0.05");

void setModified(const QString &path, qint64 seconds)
{
    const timespec times[2] = {{seconds, 0}, {seconds, 0}};
    QVERIFY(::utimensat(AT_FDCWD, QFile::encodeName(path).constData(), times, 0) == 0);
}

// The emulated phone serving flash/ through the stable link m55, and the mount on it.
class SimMount : public MountedFolder
{
public:
    SimMount() { QDir(dir.path()).mkpath(QStringLiteral("flash")); }

    QString flash(const QString &relative = QString()) const
    {
        return path(relative.isEmpty() ? QStringLiteral("flash") : QStringLiteral("flash/") + relative);
    }
    QString link() const { return path(QStringLiteral("m55")); }

    bool startPhone(const QStringList &extra = {})
    {
        phone = std::make_unique<PhoneSim>();
        return phone->start(flash(), QStringList{QStringLiteral("--link"), link()} + extra);
    }

    // The cable pulled: the phone gone without a word, its device with it.
    void unplug()
    {
        phone->process.kill();
        phone->process.waitForFinished(5000);
        QFile::remove(link());
    }

    bool start(const QStringList &arguments = {}, bool foreground = true)
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("TARVEL_MOUNT_TEST_TIME_SCALE"), TimeScale);
        // The device relative to the mount's current folder, which it leaves in the background.
        const QStringList line = arguments.contains(QStringLiteral("--port"))
            ? QStringList{}
            : QStringList{QStringLiteral("--device"), QStringLiteral("m55")};
        return MountedFolder::start(tarvelBinary(QStringLiteral("tarvel-mount")), line + arguments, environment,
                                    foreground);
    }

    // Waits until the phone's log has a line starting with prefix.
    bool phoneLogged(const QString &prefix) const
    {
        QDeadlineTimer deadline(10000);
        while (phone->logLines(prefix).isEmpty()) {
            if (deadline.hasExpired())
                return false;
            QThread::msleep(10);
        }
        return true;
    }

    // The requests that change the flash.
    QStringList changes() const
    {
        QStringList found;
        for (const char *request : {"PUT", "DELETE", "MOVE", "SETPATH flags=00"})
            found += phone->logLines(QLatin1String(request));
        return found;
    }

    // The phone's flash, one line an entry: a folder ends in "/", a file shows its size.
    QStringList flashTree() const
    {
        return run(QStringLiteral(
                       "cd flash && find . -mindepth 1 | LC_ALL=C sort | while IFS= read -r p; do "
                       "if [ -d \"$p\" ]; then echo \"${p#./}/\"; else echo \"${p#./} $(stat -c %s \"$p\")\"; "
                       "fi; done"))
            .out.split(u'\n', Qt::SkipEmptyParts);
    }

    std::unique_ptr<PhoneSim> phone;
};

} // namespace

class MountPhonesimTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void showsSizesAndDates();
    void copiesTreesBothWays();
    void movesAndRemoves();
    void showsMemoryFigures();
    void refusesUnsendableNames();
    void survivesUnplugging_data();
    void survivesUnplugging();
    void noPhoneNoMount();
    void unmountsWithoutLeftovers_data();
    void unmountsWithoutLeftovers();
};

void MountPhonesimTest::initTestCase()
{
    QVERIFY2(QFileInfo::exists(QStringLiteral("/dev/fuse")), "the mount tests need /dev/fuse");
}

void MountPhonesimTest::showsSizesAndDates()
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
    SimMount mount;
    for (const Row &row : rows) {
        const QString path = mount.flash(QString::fromUtf8(row.path));
        QVERIFY(row.size < 0 ? QDir().mkpath(path) : writeFile(path, randomBytes(row.size, 1)));
    }
    for (const Row &row : rows)
        setModified(mount.flash(QString::fromUtf8(row.path)), row.modified);
    QVERIFY(mount.startPhone());
    // The listing is the same at another line rate.
    QVERIFY(mount.start({QStringLiteral("--speed"), QStringLiteral("115200")}));
    QVERIFY(!mount.phone->logLines(QStringLiteral("SPEED 115200 accepted")).isEmpty());

    QString command = QStringLiteral("cd mnt && stat -c '%n|%F|%s|%Y'");
    QStringList expected;
    for (const Row &row : rows) {
        command += QStringLiteral(" '%1'").arg(QString::fromUtf8(row.path));
        const char *kind = row.size < 0 ? "directory" : row.size == 0 ? "regular empty file" : "regular file";
        expected << QStringLiteral("%1|%2|%3|%4")
                        .arg(QString::fromUtf8(row.path), QLatin1String(kind))
                        .arg(std::max(row.size, 0))
                        .arg(row.modified);
    }
    const ProcessResult stat = mount.run(command);
    QCOMPARE(stat.err, QString());
    QCOMPARE(stat.out.split(u'\n', Qt::SkipEmptyParts), expected);

    const ProcessResult listed = mount.run(QStringLiteral("LC_ALL=C ls -ln --time-style=+%s 'mnt/Ringing tone'"));
    QCOMPARE(listed.out.split(u'\n', Qt::SkipEmptyParts).value(1).simplified(),
             QStringLiteral("-rw-r--r-- 1 %1 %2 7000 %3 Мелодия.mid").arg(::getuid()).arg(::getgid()).arg(day + 86400));
}

void MountPhonesimTest::copiesTreesBothWays()
{
    SimMount mount;
    const QList<std::pair<QString, int>> flashFiles = {
        {QStringLiteral("Bitmap/a.bmp"), 1536},
        {QStringLiteral("Bitmap/Фото/кот.bmp"), 5000},
        {QStringLiteral("Ringing tone/big.mid"), 100000},
        {QStringLiteral("zero.txt"), 0},
    };
    // Staged uploads change at 497 bytes a packet.
    const QList<std::pair<QString, int>> pcFiles = {
        {QStringLiteral("Мои/один.txt"), 496},   {QStringLiteral("Мои/два.txt"), 497},
        {QStringLiteral("big.bin"), 100000},     {QStringLiteral("zero"), 0},
        {QStringLiteral("deep/a/b/c.txt"), 994},
    };
    quint32 seed = 10;
    for (const auto &[file, size] : flashFiles)
        QVERIFY(writeFile(mount.flash(file), randomBytes(size, seed++)));
    for (const auto &[file, size] : pcFiles)
        QVERIFY(writeFile(mount.path(QStringLiteral("pc/tree/") + file), randomBytes(size, seed++)));
    QVERIFY(QDir().mkpath(mount.flash(QStringLiteral("Empty"))));
    QVERIFY(QDir().mkpath(mount.path(QStringLiteral("pc/tree/Мои/Пусто"))));
    QVERIFY(mount.startPhone());
    QVERIFY(mount.start());

    // Off the phone: cp reads in blocks, and each file is downloaded once (an empty one
    // never: the kernel knows there is nothing to read).
    ProcessResult copied = mount.run(QStringLiteral("cp -r mnt/. pc/off && diff -r flash pc/off"));
    QCOMPARE(copied.err, QString());
    QCOMPARE(copied.exitCode, 0);
    for (const auto &[file, size] : flashFiles) {
        const QString name = file.section(u'/', -1);
        QCOMPARE(mount.phone->logLines(QStringLiteral("GET name=") + name).size(), qsizetype(size > 0 ? 1 : 0));
    }

    // Onto the phone, byte for byte on its flash: each file is uploaded once, when it is closed.
    copied = mount.run(QStringLiteral("cp -r pc/tree mnt/Bitmap/ && diff -r pc/tree flash/Bitmap/tree"));
    QCOMPARE(copied.err, QString());
    QCOMPARE(copied.exitCode, 0);
    for (const auto &[file, size] : pcFiles) {
        const QString name = file.section(u'/', -1);
        QCOMPARE(mount.phone->logLines(QStringLiteral("PUT name=%1 ").arg(name)).size(), qsizetype(1));
    }
    QVERIFY(QFileInfo(mount.flash(QStringLiteral("Bitmap/tree/Мои/Пусто"))).isDir());
    QCOMPARE(mount.errors(), QString());
}

void MountPhonesimTest::movesAndRemoves()
{
    SimMount mount;
    QVERIFY(writeFile(mount.flash(QStringLiteral("a.txt")), "alpha"));
    QVERIFY(writeFile(mount.flash(QStringLiteral("Bitmap/b.bmp")), "beta"));
    QVERIFY(QDir().mkpath(mount.flash(QStringLiteral("Bitmap/Sub"))));
    QVERIFY(QDir().mkpath(mount.flash(QStringLiteral("Empty"))));
    QVERIFY(mount.startPhone());
    QVERIFY(mount.start());

    struct Step
    {
        const char *command;
        QStringList flash; // afterwards
    };
    const Step steps[] = {
        {"mv mnt/a.txt mnt/c.txt", {"Bitmap/", "Bitmap/Sub/", "Bitmap/b.bmp 4", "Empty/", "c.txt 5"}},
        {"mv mnt/c.txt mnt/Bitmap/Sub/", {"Bitmap/", "Bitmap/Sub/", "Bitmap/Sub/c.txt 5", "Bitmap/b.bmp 4", "Empty/"}},
        {"mv mnt/Bitmap 'mnt/Мои картинки'",
         {"Empty/", "Мои картинки/", "Мои картинки/Sub/", "Мои картинки/Sub/c.txt 5", "Мои картинки/b.bmp 4"}},
        {"mkdir mnt/New",
         {"Empty/", "New/", "Мои картинки/", "Мои картинки/Sub/", "Мои картинки/Sub/c.txt 5", "Мои картинки/b.bmp 4"}},
        {"rmdir mnt/Empty",
         {"New/", "Мои картинки/", "Мои картинки/Sub/", "Мои картинки/Sub/c.txt 5", "Мои картинки/b.bmp 4"}},
        {"rm 'mnt/Мои картинки/b.bmp'", {"New/", "Мои картинки/", "Мои картинки/Sub/", "Мои картинки/Sub/c.txt 5"}},
    };
    for (const Step &step : steps) {
        const ProcessResult result = mount.run(QString::fromUtf8(step.command));
        QVERIFY2(result.exitCode == 0 && result.err.isEmpty(), qPrintable(step.command + (u' ' + result.err)));
        QCOMPARE(mount.flashTree(), step.flash);
    }
    // Renames and moves are the phone's move command, not copies.
    QCOMPARE(mount.phone->logLines(QStringLiteral("MOVE")),
             QStringList({"MOVE from=/a.txt to=/c.txt", "MOVE from=/c.txt to=/Bitmap/Sub/c.txt",
                          "MOVE from=/Bitmap to=/Мои картинки"}));
    QVERIFY(mount.phone->logLines(QStringLiteral("GET name=")).isEmpty());
}

void MountPhonesimTest::showsMemoryFigures()
{
    SimMount mount;
    QVERIFY(writeFile(mount.flash(QStringLiteral("a.bin")), randomBytes(1000, 3)));
    QVERIFY(mount.startPhone({QStringLiteral("--memory"), QStringLiteral("1000000")}));
    QVERIFY(mount.start());
    const auto figures = [&mount] {
        const QString out = mount.run(QStringLiteral("df -B1 --output=source,size,avail mnt")).out;
        return out.split(u'\n', Qt::SkipEmptyParts).value(1).simplified();
    };
    QCOMPARE(figures(), QStringLiteral("tarvel 1000000 999000"));
    // A change made through the mount shows at once.
    QCOMPARE(mount.run(QStringLiteral("head -c 10000 /dev/zero > mnt/ten.bin")).exitCode, 0);
    QCOMPARE(figures(), QStringLiteral("tarvel 1000000 989000"));
}

void MountPhonesimTest::refusesUnsendableNames()
{
    SimMount mount;
    QVERIFY(writeFile(mount.flash(QStringLiteral("a.txt")), "alpha"));
    // "/", 100, "/" and 26 characters: one unit more than the move command carries.
    const QString deep = QString(100, u'd');
    const QString tooDeep = deep + u'/' + QString(26, u'm');
    // A file stands there: a move that cannot go must not remove it first.
    QVERIFY(writeFile(mount.flash(tooDeep), "old"));
    QVERIFY(writeFile(mount.path(QStringLiteral("pc/x.txt")), "x"));
    QVERIFY(mount.startPhone());
    QVERIFY(mount.start());

    const QString invalid = QStringLiteral("Invalid argument");
    const QList<std::pair<QString, QString>> commands = {
        {QStringLiteral("cp pc/x.txt 'mnt/✓.txt'"), invalid},
        {QStringLiteral("mkdir 'mnt/日本'"), invalid},
        {QStringLiteral("mv mnt/a.txt 'mnt/✓.txt'"), QStringLiteral("to a subdirectory of itself")},
        {QStringLiteral("touch mnt/") + QString(123, u'n'), invalid},
        {QStringLiteral("mv mnt/a.txt mnt/") + tooDeep, QStringLiteral("subdirectory")},
    };
    for (const auto &[command, message] : commands) {
        const ProcessResult result = mount.run(command);
        QVERIFY2(result.exitCode != 0, qPrintable(command));
        QVERIFY2(result.err.contains(message), qPrintable(result.err));
    }
    // Nothing of it reached the phone.
    QCOMPARE(mount.changes(), QStringList());
    QCOMPARE(mount.flashTree(), QStringList({QStringLiteral("a.txt 5"), deep + u'/', tooDeep + QStringLiteral(" 3")}));
    const QString errors = mount.errors();
    for (const QString &name : {QStringLiteral("✓.txt"), QStringLiteral("日本"), QString(123, u'n')})
        QVERIFY2(errors.contains(QStringLiteral("cannot take the name \"%1\"").arg(name)), qPrintable(errors));
    QVERIFY2(errors.contains(QStringLiteral("too long for its move command")), qPrintable(errors));

    // 25 characters fit.
    QCOMPARE(mount.run(QStringLiteral("mv mnt/a.txt mnt/%1/%2").arg(deep, QString(25, u'm'))).exitCode, 0);
}

void MountPhonesimTest::survivesUnplugging_data()
{
    QTest::addColumn<bool>("offPhone");
    QTest::addColumn<QString>("faultOn"); // the exchange whose answer is held until the cable goes

    QTest::newRow("reading") << true << "continue:3";
    QTest::newRow("writing") << false << "put:20";
}

void MountPhonesimTest::survivesUnplugging()
{
    QFETCH(bool, offPhone);
    QFETCH(QString, faultOn);

    SimMount mount;
    const QByteArray big = randomBytes(200000, 7);
    const QString from = offPhone ? mount.flash(QStringLiteral("big.bin")) : mount.path(QStringLiteral("pc/big.bin"));
    const QString to = offPhone ? mount.path(QStringLiteral("pc/big.bin")) : mount.flash(QStringLiteral("big.bin"));
    QVERIFY(writeFile(from, big));
    QVERIFY(mount.startPhone(
        {QStringLiteral("--fault-on"), faultOn, QStringLiteral("--delay-byte"), QStringLiteral("60000")}));
    // In the background, where connecting again must still find the device.
    QVERIFY(mount.start({}, false));

    // The copy stalls half-way; the cable is pulled there.
    QProcess copy;
    mount.runInBackground(copy, offPhone ? QStringLiteral("cp mnt/big.bin pc/") : QStringLiteral("cp pc/big.bin mnt/"));
    QVERIFY(mount.phoneLogged(QStringLiteral("FAULT")));
    mount.unplug();
    const ProcessResult broken = finishProcess(copy, 30000);
    QVERIFY(broken.exitCode != 0);
    QVERIFY2(broken.err.contains(QStringLiteral("Input/output error")), qPrintable(broken.err));
    // Nothing that looks complete on either side.
    QVERIFY(!QFileInfo::exists(to) || QFileInfo(to).size() < big.size());

    // Without the phone the mount stays and says why operations fail.
    const ProcessResult away = mount.run(QStringLiteral("ls mnt"));
    QVERIFY2(away.err.contains(QStringLiteral("Input/output error")), qPrintable(away.err));
    QVERIFY(mounted(mount.point()));

    // The phone back on the same link: the same copy goes through once the retry pause is over.
    QVERIFY(mount.startPhone());
    QDeadlineTimer deadline(10000);
    while (mount.run(QStringLiteral("ls mnt")).exitCode != 0 && !deadline.hasExpired())
        QThread::msleep(100);
    const ProcessResult fine =
        mount.run(offPhone ? QStringLiteral("cp mnt/big.bin pc/ && cmp flash/big.bin pc/big.bin")
                           : QStringLiteral("cp pc/big.bin mnt/ && cmp pc/big.bin flash/big.bin"));
    QCOMPARE(fine.err, QString());
    QCOMPARE(fine.exitCode, 0);

    const QString errors = mount.errors();
    QCOMPARE(errors.count(QStringLiteral("the link to the phone is lost")), qsizetype(1));
    QVERIFY2(errors.contains(QStringLiteral("cannot connect to the phone: cannot open the serial port")),
             qPrintable(errors));
    QVERIFY2(errors.contains(QStringLiteral("connected to the phone again")), qPrintable(errors));
}

void MountPhonesimTest::noPhoneNoMount()
{
    SimMount mount;
    // A phone that never answers the wake-up.
    QVERIFY(mount.startPhone(
        {QStringLiteral("--fault-on"), QStringLiteral("at"), QStringLiteral("--silent-after"), QStringLiteral("0")}));
    QVERIFY(!mount.start());
    QCOMPARE(mount.process.state(), QProcess::NotRunning);
    QCOMPARE(mount.process.exitCode(), 3);
    QCOMPARE(mount.errors(),
             QStringLiteral("tarvel-mount: cannot connect to the phone: no phone answers on %1 (no OK "
                            "to AT)\n")
                 .arg(mount.link()));
    QVERIFY(!mounted(mount.point()));
}

void MountPhonesimTest::unmountsWithoutLeftovers_data()
{
    QTest::addColumn<bool>("foreground");
    QTest::newRow("Ctrl-C in the foreground, --device") << true;
    QTest::newRow("fusermount3 -u in the background, --port") << false;
}

void MountPhonesimTest::unmountsWithoutLeftovers()
{
    QFETCH(bool, foreground);
    SimMount mount;
    QVERIFY(writeFile(mount.flash(QStringLiteral("a.txt")), "alpha"));
    QVERIFY(mount.startPhone());
    QStringList arguments;
    if (!foreground) {
        // Port 4 is the link the window's port setting maps.
        const QString ports = qEnvironmentVariable("XDG_CONFIG_HOME") + QStringLiteral("/tarvel/ports");
        QVERIFY(QDir().mkpath(ports));
        QFile::remove(ports + QStringLiteral("/com4"));
        QVERIFY(QFile::link(mount.phone->device, ports + QStringLiteral("/com4")));
        arguments << QStringLiteral("--port") << QStringLiteral("4");
    }
    QVERIFY(mount.start(arguments, foreground));
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
    // The port was closed: the phone saw its line go.
    QVERIFY(mount.phoneLogged(QStringLiteral("CLOSE")));
    QCOMPARE(mount.errors(), QString());
}

QTEST_GUILESS_MAIN(MountPhonesimTest)
#include "tst_mount_phonesim.moc"
