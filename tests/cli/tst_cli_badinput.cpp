// tarvel-cli given bad input from the user's side: port links to things that are
// no serial port, sources it cannot read, destinations it cannot write, odd names.
// Every case ends with a clear message and an exit status, nothing is lost and
// nothing is left half-written. The tests run as root in CI, so permissions are
// taken away by dropping the capabilities that let root read and write anything.

#include "testprocess.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <map>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using Result = ProcessResult;

Result finish(QProcess &process)
{
    return finishProcess(process);
}

QString cliPath()
{
    return tarvelBinDir() + QStringLiteral("/tarvel-cli");
}

// Runs the tool without the capabilities that let root ignore file permissions.
QStringList withoutFileOverride(const QStringList &arguments)
{
    if (::geteuid() != 0)
        return QStringList{cliPath()} + arguments;
    const QString caps = QStringLiteral("-dac_override,-dac_read_search");
    return QStringList{QStringLiteral("--bounding-set"), caps, QStringLiteral("--inh-caps"), caps, cliPath()}
    + arguments;
}

void start(QProcess &process, const QStringList &arguments, bool restricted = false)
{
    process.setStandardInputFile(QProcess::nullDevice());
    if (restricted && ::geteuid() == 0)
        process.start(QStandardPaths::findExecutable(QStringLiteral("setpriv")), withoutFileOverride(arguments));
    else
        process.start(cliPath(), arguments);
}

Result run(const QStringList &arguments, bool restricted = false)
{
    QProcess process;
    start(process, arguments, restricted);
    return finish(process);
}

bool canDropFileOverride()
{
    if (::geteuid() != 0)
        return true;
    if (QStandardPaths::findExecutable(QStringLiteral("setpriv")).isEmpty())
        return false;
    QTemporaryDir dir;
    const QString probe = dir.filePath(QStringLiteral("probe"));
    if (!writeFile(probe, "x") || !QFile::setPermissions(probe, QFileDevice::Permissions()))
        return false;
    QProcess cat;
    cat.start(QStandardPaths::findExecutable(QStringLiteral("setpriv")),
              {QStringLiteral("--bounding-set"), QStringLiteral("-dac_override,-dac_read_search"),
               QStringLiteral("cat"), probe});
    return cat.waitForFinished(5000) && cat.exitCode() != 0;
}

// One case against its own emulated phone.
struct Connected
{
    QTemporaryDir dir;
    PhoneSim sim;
    QProcess cli;
    Result result;

    Connected()
    {
        QDir(dir.path()).mkpath(QStringLiteral("flash/Bitmap"));
        QDir(dir.path()).mkpath(QStringLiteral("pc"));
    }
    QString flash(const QString &path = QString()) const { return dir.filePath(QStringLiteral("flash/") + path); }
    QString pc(const QString &path = QString()) const { return dir.filePath(QStringLiteral("pc/") + path); }
};

} // namespace

class CliBadInput : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();

    void portLinkToSomethingElse_data();
    void portLinkToSomethingElse();
    void destinationsThatCannotBeWritten();
    void sourcesThatCannotBeRead();
    void sourceTooLargeForThePhone();

    void sourceStartingWithColonIsFound();
    void unreadableSourceSendsNothing();

private:
    std::map<QString, std::unique_ptr<Connected>> cases;
    bool restrictable = false;
};

// The connected cases spend most of their time in the connect procedure's pauses,
// so they all run at once here and are judged one by one below.
void CliBadInput::initTestCase()
{
    restrictable = canDropFileOverride();
    std::map<QString, QStringList> commands;
    std::map<QString, bool> restricted;
    auto add = [this](const QString &name) -> Connected & {
        cases[name] = std::make_unique<Connected>();
        return *cases[name];
    };

    Connected &colonPut = add(QStringLiteral("colonPut"));
    QVERIFY(writeFile(colonPut.pc(QStringLiteral(":up.txt")), "to the phone"));
    colonPut.cli.setWorkingDirectory(colonPut.pc());
    commands["colonPut"] = {QStringLiteral("put"), QStringLiteral(":up.txt")};

    if (restrictable) {
        Connected &unreadable = add(QStringLiteral("unreadable"));
        QVERIFY(writeFile(unreadable.pc(QStringLiteral("secret.txt")), "secret"));
        QVERIFY(QFile::setPermissions(unreadable.pc(QStringLiteral("secret.txt")), QFileDevice::WriteOwner));
        commands["unreadable"] = {QStringLiteral("put"), unreadable.pc(QStringLiteral("secret.txt"))};
        restricted["unreadable"] = true;
    }

    for (auto &[name, c] : cases) {
        QVERIFY2(c->sim.start(c->flash()), qPrintable(name));
        start(c->cli, QStringList{QStringLiteral("--device"), c->sim.device} + commands[name], restricted[name]);
    }
    for (auto &[name, c] : cases)
        c->result = finish(c->cli);
}

void CliBadInput::cleanupTestCase()
{
    // Give the temporary folders back their permissions so that they can be removed.
    for (auto &[name, c] : cases)
        QFile::setPermissions(c->pc(QStringLiteral("secret.txt")), QFileDevice::ReadOwner | QFileDevice::WriteOwner);
}

void CliBadInput::portLinkToSomethingElse_data()
{
    QTest::addColumn<QString>("target");
    QTest::addColumn<QString>("message");
    QTest::addRow("null device") << QStringLiteral("/dev/null") << QStringLiteral("not a serial device");
    QTest::addRow("regular file") << QStringLiteral("FILE") << QStringLiteral("not a serial device");
    QTest::addRow("folder") << QStringLiteral("DIR") << QStringLiteral("cannot be opened");
    QTest::addRow("missing device") << QStringLiteral("/dev/tarvel-unplugged") << QStringLiteral("no such device");
    QTest::addRow("link to itself") << QStringLiteral("SELF") << QStringLiteral("cannot be opened");
}

// ~/.config/tarvel/ports/com1 pointing somewhere that is no serial port.
void CliBadInput::portLinkToSomethingElse()
{
    QFETCH(QString, target);
    QFETCH(QString, message);
    QTemporaryDir dir;
    const QString ports =
        QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) + QStringLiteral("/tarvel/ports");
    QVERIFY(QDir().mkpath(ports));
    const QString link = ports + QStringLiteral("/com1");
    QFile::remove(link);
    if (target == u"FILE") {
        target = dir.filePath(QStringLiteral("plain-file"));
        QVERIFY(writeFile(target, "not a port"));
    } else if (target == u"DIR") {
        target = dir.path();
    } else if (target == u"SELF") {
        target = link;
    }
    QVERIFY(QFile::link(target, link));
    const QByteArray before = target.startsWith(dir.path()) ? readFile(target) : QByteArray();

    const Result result = run({QStringLiteral("--port"), QStringLiteral("1"), QStringLiteral("ls")});
    QFile::remove(link);
    QCOMPARE(result.exitCode, 3);
    QVERIFY2(result.err.contains(QStringLiteral("cannot open the serial port")), qPrintable(result.err));
    QVERIFY2(result.err.contains(message), qPrintable(result.err));
    QVERIFY(result.out.isEmpty());
    if (target.startsWith(dir.path()))
        QCOMPARE(readFile(target), before);
}

// Destinations refused before the phone is woken (a port that is no serial port
// would otherwise be reported): nothing is written anywhere.
void CliBadInput::destinationsThatCannotBeWritten()
{
    QTemporaryDir dir;
    const QStringList device{QStringLiteral("--device"), QStringLiteral("/dev/null")};
    const QString file = dir.filePath(QStringLiteral("a-file"));
    QVERIFY(writeFile(file, "keep"));
    QVERIFY(QDir().mkpath(dir.filePath(QStringLiteral("sub/x.bin"))));

    // Below a regular file, and onto a folder of the same name.
    for (const QString &destination : {file + QStringLiteral("/x.bin"), dir.filePath(QStringLiteral("sub"))}) {
        const Result result = run(device + QStringList{QStringLiteral("get"), QStringLiteral("x.bin"), destination});
        QVERIFY2(result.exitCode == 1, qPrintable(destination + u'\n' + result.err));
        QVERIFY2(result.err.contains(QStringLiteral("cannot write")), qPrintable(result.err));
    }
    QCOMPARE(readFile(file), QByteArray("keep"));
    QVERIFY(QFileInfo(dir.filePath(QStringLiteral("sub/x.bin"))).isDir());

    if (!restrictable)
        QSKIP("cannot take away write permission here");
    const QString readOnly = dir.filePath(QStringLiteral("read-only"));
    QVERIFY(QDir().mkpath(readOnly));
    QVERIFY(QFile::setPermissions(readOnly, QFileDevice::ReadOwner | QFileDevice::ExeOwner));
    const Result result = run(device + QStringList{QStringLiteral("get"), QStringLiteral("x.bin"), readOnly}, true);
    QFile::setPermissions(readOnly, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    QCOMPARE(result.exitCode, 1);
    QVERIFY2(result.err.contains(QStringLiteral("cannot write")), qPrintable(result.err));
    QVERIFY(QDir(readOnly).isEmpty(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot));
}

void CliBadInput::sourcesThatCannotBeRead()
{
    QTemporaryDir dir;
    const QStringList device{QStringLiteral("--device"), QStringLiteral("/dev/null")};
    const QString file = dir.filePath(QStringLiteral("a-file"));
    QVERIFY(writeFile(file, "x"));
    QVERIFY(::mkfifo(qPrintable(dir.filePath(QStringLiteral("fifo"))), 0600) == 0);
    // Each says what it is; none waits for a writer or sends an empty file.
    const std::pair<QString, QString> sources[] = {
        {dir.path(), QStringLiteral("is a folder; put -r copies a folder")},
        {file + QStringLiteral("/below-a-file"), QStringLiteral("cannot find the file")},
        {dir.filePath(QStringLiteral("fifo")), QStringLiteral("is a FIFO (named pipe), not a file")},
        {QStringLiteral("/dev/zero"), QStringLiteral("is a device, not a file")},
    };
    for (const auto &[source, message] : sources) {
        const Result result = run(device + QStringList{QStringLiteral("put"), source});
        QVERIFY2(result.exitCode == 1, qPrintable(source + u'\n' + result.err));
        QVERIFY2(result.err.contains(message), qPrintable(result.err));
    }
}

void CliBadInput::sourceTooLargeForThePhone()
{
    QTemporaryDir dir;
    const QString big = dir.filePath(QStringLiteral("sixteen.bin"));
    QFile file(big);
    QVERIFY(file.open(QIODevice::WriteOnly));
    QVERIFY(file.resize(16 * 1024 * 1024)); // sparse
    file.close();
    const Result result = run(
        {QStringLiteral("--device"), QStringLiteral("/dev/null"), QStringLiteral("--yes"), QStringLiteral("put"), big});
    QCOMPARE(result.exitCode, 1);
    // The real limit: the staged copy (three bytes more per 497) must stay below 16 MiB.
    QVERIFY2(result.err.contains(QStringLiteral("too large for the phone: at most 16676550 bytes")),
             qPrintable(result.err));
}

void CliBadInput::sourceStartingWithColonIsFound()
{
    const Connected &c = *cases.at(QStringLiteral("colonPut"));
    QVERIFY2(c.result.exitCode == 0, qPrintable(c.result.err));
    QCOMPARE(readFile(c.flash(QStringLiteral(":up.txt"))), QByteArray("to the phone"));
}

void CliBadInput::unreadableSourceSendsNothing()
{
    if (!restrictable)
        QSKIP("cannot take away read permission here");
    const Connected &c = *cases.at(QStringLiteral("unreadable"));
    QCOMPARE(c.result.exitCode, 1);
    QVERIFY2(c.result.err.contains(QStringLiteral("Cannot read the file")), qPrintable(c.result.err));
    QVERIFY(!QFile::exists(c.flash(QStringLiteral("secret.txt"))));
    QVERIFY(c.sim.logLines(QStringLiteral("PUT")).isEmpty());
}

QTEST_GUILESS_MAIN(CliBadInput)
#include "tst_cli_badinput.moc"
