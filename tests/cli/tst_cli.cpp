// tarvel-cli end to end: each connected case runs against its own emulated phone,
// all at once (the connect procedure spends most of its time in pauses); the
// cases that stop before connecting run one after the other.

#include "testprocess.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <map>
#include <memory>
#include <stdlib.h>
#include <unistd.h>

namespace {

using Result = ProcessResult;

Result finish(QProcess &process)
{
    return finishProcess(process);
}

void startCli(QProcess &process, const QStringList &arguments)
{
    process.setStandardInputFile(QProcess::nullDevice());
    process.start(tarvelBinDir() + QStringLiteral("/tarvel-cli"), arguments);
}

Result runCli(const QStringList &arguments)
{
    QProcess process;
    startCli(process, arguments);
    return finish(process);
}

// One connected case: a phone serving `flash`, a PC folder, and the command.
struct Case
{
    QTemporaryDir dir;
    PhoneSim sim;
    QProcess cli;
    Result result;

    QString flash(const QString &path = QString()) const { return dir.filePath(QStringLiteral("flash/") + path); }
    QString pc(const QString &path = QString()) const { return dir.filePath(QStringLiteral("pc/") + path); }
};

} // namespace

class Cli : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    void getsCyrillicNameInSeveralPackets();
    void putsLargerFileWithYes();
    void listsAFolder();
    void showsInfo();
    void removes();
    void makesFolder();
    void failedGetWritesNothing();
    void brokenReplyLeavesNoFile();
    void refusedFolder();
    void refusedUpload();
    void noPhone();

    void usageErrors();
    void refusalsBeforeConnecting();

private:
    Case &add(const QString &name);
    std::map<QString, std::unique_ptr<Case>> cases;
    QByteArray cyrillic = randomBytes(5000, 1);
    QByteArray over150k = randomBytes(152677, 3);
    int noPhoneMaster = -1;
    Result noPhoneResult;
};

Case &Cli::add(const QString &name)
{
    auto c = std::make_unique<Case>();
    QDir(c->dir.path()).mkpath(QStringLiteral("flash/Bitmap"));
    QDir(c->dir.path()).mkpath(QStringLiteral("pc"));
    Case &ref = *c;
    cases[name] = std::move(c);
    return ref;
}

void Cli::initTestCase()
{
    std::map<QString, QStringList> simOptions;
    std::map<QString, QStringList> commands;

    Case &cyr = add(QStringLiteral("cyrillic"));
    QVERIFY(writeFile(cyr.flash(QStringLiteral("Bitmap/Фото.bmp")), cyrillic));
    commands["cyrillic"] = {QStringLiteral("get"), QStringLiteral("Bitmap/Фото.bmp"), cyr.pc()};

    Case &over = add(QStringLiteral("over150k"));
    QVERIFY(writeFile(over.pc(QStringLiteral("over.bin")), over150k));
    commands["over150k"] = {QStringLiteral("--yes"), QStringLiteral("put"), over.pc(QStringLiteral("over.bin"))};

    Case &ls = add(QStringLiteral("ls"));
    QVERIFY(writeFile(ls.flash(QStringLiteral("Bitmap/a.bmp")), "0123456789"));
    QVERIFY(QDir().mkpath(ls.flash(QStringLiteral("Bitmap/Sub"))));
    commands["ls"] = {QStringLiteral("ls"), QStringLiteral("Bitmap")};

    Case &info = add(QStringLiteral("info"));
    QVERIFY(writeFile(info.flash(QStringLiteral("x.bin")), QByteArray(2048, 'x')));
    commands["info"] = {QStringLiteral("info")};

    Case &rm = add(QStringLiteral("rm"));
    QVERIFY(writeFile(rm.flash(QStringLiteral("Bitmap/old.txt")), "old"));
    commands["rm"] = {QStringLiteral("rm"), QStringLiteral("Bitmap/old.txt")};

    add(QStringLiteral("mkdir"));
    commands["mkdir"] = {QStringLiteral("mkdir"), QStringLiteral("Bitmap/New")};

    Case &missing = add(QStringLiteral("missing"));
    commands["missing"] = {QStringLiteral("get"), QStringLiteral("Bitmap/missing.bin"), missing.pc()};

    Case &broken = add(QStringLiteral("broken"));
    QVERIFY(writeFile(broken.flash(QStringLiteral("Bitmap/x.bin")), randomBytes(5000, 4)));
    // The second packet of the download (phone block 7) and its two resends arrive damaged.
    // The phone resends later than the connect procedure acknowledges its CONNECT answer.
    simOptions["broken"] = {QStringLiteral("--flip-tx"), QStringLiteral("7,8,9"), QStringLiteral("--resend-after"),
                            QStringLiteral("1500")};
    commands["broken"] = {QStringLiteral("get"), QStringLiteral("Bitmap/x.bin"), broken.pc()};

    add(QStringLiteral("refusedFolder"));
    simOptions["refusedFolder"] = {QStringLiteral("--refuse-setpath"), QStringLiteral("C3")};
    commands["refusedFolder"] = {QStringLiteral("ls"), QStringLiteral("Bitmap")};

    Case &refusedPut = add(QStringLiteral("refusedPut"));
    QVERIFY(writeFile(refusedPut.pc(QStringLiteral("up.bin")), randomBytes(2000, 5)));
    simOptions["refusedPut"] = {QStringLiteral("--refuse-put"), QStringLiteral("C3")};
    commands["refusedPut"] = {QStringLiteral("put"), refusedPut.pc(QStringLiteral("up.bin"))};

    for (auto &[name, c] : cases) {
        QVERIFY2(c->sim.start(c->flash(), simOptions[name]), qPrintable(name));
        startCli(c->cli, QStringList{QStringLiteral("--device"), c->sim.device} + commands[name]);
    }

    // A line on which nobody answers.
    noPhoneMaster = ::posix_openpt(O_RDWR | O_NOCTTY);
    QVERIFY(noPhoneMaster >= 0 && ::grantpt(noPhoneMaster) == 0 && ::unlockpt(noPhoneMaster) == 0);
    QProcess silent;
    startCli(silent,
             {QStringLiteral("--device"), QString::fromLocal8Bit(::ptsname(noPhoneMaster)), QStringLiteral("ls")});

    for (auto &[name, c] : cases)
        c->result = finish(c->cli);
    noPhoneResult = finish(silent);
    ::close(noPhoneMaster);
}

void Cli::getsCyrillicNameInSeveralPackets()
{
    const Case &c = *cases.at(QStringLiteral("cyrillic"));
    QCOMPARE(c.result.exitCode, 0);
    QCOMPARE(readFile(c.pc(QStringLiteral("Фото.bmp"))), cyrillic);
    QCOMPARE(QDir(c.pc()).entryList(QDir::Files | QDir::Hidden), QStringList{QStringLiteral("Фото.bmp")});
    QVERIFY(c.sim.logLines(QStringLiteral("CONTINUE")).size() >= 2);
    // Standard error is no terminal here: no progress lines.
    QCOMPARE(c.result.err, QString());
}

void Cli::putsLargerFileWithYes()
{
    const Case &c = *cases.at(QStringLiteral("over150k"));
    QCOMPARE(c.result.exitCode, 0);
    QCOMPARE(readFile(c.flash(QStringLiteral("over.bin"))), over150k);
}

void Cli::listsAFolder()
{
    const Case &c = *cases.at(QStringLiteral("ls"));
    QCOMPARE(c.result.exitCode, 0);
    const QStringList lines = c.result.out.split(u'\n', Qt::SkipEmptyParts);
    QCOMPARE(lines.size(), 2);
    static const QRegularExpression folder(
        QStringLiteral("^Sub\\t-\\t\\d\\d\\.\\d\\d\\.\\d{4}\\t\\d\\d:\\d\\d\\tfolder$"));
    static const QRegularExpression file(
        QStringLiteral("^a\\.bmp\\t10\\t\\d\\d\\.\\d\\d\\.\\d{4}\\t\\d\\d:\\d\\d\\tfile$"));
    QVERIFY2(folder.match(lines[0]).hasMatch(), qPrintable(lines[0]));
    QVERIFY2(file.match(lines[1]).hasMatch(), qPrintable(lines[1]));
}

void Cli::showsInfo()
{
    const Case &c = *cases.at(QStringLiteral("info"));
    QCOMPARE(c.result.exitCode, 0);
    const QStringList lines = c.result.out.split(u'\n', Qt::SkipEmptyParts);
    QCOMPARE(lines.size(), 3);
    QCOMPARE(lines[0], QStringLiteral("model: Siemens M55"));
    QCOMPARE(lines[1], QStringLiteral("total memory: 1572864 bytes (1536 KB)"));
    static const QRegularExpression free(QStringLiteral("^free memory: (\\d+) bytes \\((\\d+) KB\\)$"));
    const auto match = free.match(lines[2]);
    QVERIFY2(match.hasMatch(), qPrintable(lines[2]));
    // The phone counts its files against the total.
    QVERIFY(match.captured(1).toUInt() <= 1572864 - 2048);
    QCOMPARE(match.captured(2).toUInt(), match.captured(1).toUInt() / 1024);
}

void Cli::removes()
{
    const Case &c = *cases.at(QStringLiteral("rm"));
    QCOMPARE(c.result.exitCode, 0);
    QVERIFY(!QFile::exists(c.flash(QStringLiteral("Bitmap/old.txt"))));
}

void Cli::makesFolder()
{
    const Case &c = *cases.at(QStringLiteral("mkdir"));
    QCOMPARE(c.result.exitCode, 0);
    QVERIFY(QFileInfo(c.flash(QStringLiteral("Bitmap/New"))).isDir());
}

void Cli::failedGetWritesNothing()
{
    const Case &c = *cases.at(QStringLiteral("missing"));
    QCOMPARE(c.result.exitCode, 1);
    QVERIFY(c.result.err.contains(QStringLiteral("did not deliver Bitmap/missing.bin")));
    QCOMPARE(QDir(c.pc()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot), QStringList());
}

void Cli::brokenReplyLeavesNoFile()
{
    const Case &c = *cases.at(QStringLiteral("broken"));
    QCOMPARE(c.result.exitCode, 3);
    QVERIFY(c.result.err.contains(QStringLiteral("broke the link framing")));
    QCOMPARE(QDir(c.pc()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot), QStringList());
}

void Cli::refusedFolder()
{
    const Case &c = *cases.at(QStringLiteral("refusedFolder"));
    QCOMPARE(c.result.exitCode, 1);
    QVERIFY(c.result.err.contains(QStringLiteral("refused to open the folder \"Bitmap\"")));
    QCOMPARE(c.result.out, QString());
}

void Cli::refusedUpload()
{
    const Case &c = *cases.at(QStringLiteral("refusedPut"));
    QCOMPARE(c.result.exitCode, 1);
    QVERIFY(c.result.err.contains(QStringLiteral("the phone refused")));
    QVERIFY(!QFile::exists(c.flash(QStringLiteral("up.bin"))));
}

void Cli::noPhone()
{
    QCOMPARE(noPhoneResult.exitCode, 3);
    QVERIFY(noPhoneResult.err.contains(QStringLiteral("no connection to the phone")));
    QVERIFY(noPhoneResult.err.contains(QStringLiteral("The phone does not answer.")));
}

void Cli::usageErrors()
{
    const QStringList device{QStringLiteral("--device"), QStringLiteral("/dev/null")};
    for (const QStringList &arguments :
         {QStringList{}, QStringList{QStringLiteral("ls")},
          QStringList{QStringLiteral("--port"), QStringLiteral("0"), QStringLiteral("ls")},
          QStringList{QStringLiteral("--port"), QStringLiteral("1")} + device + QStringList{QStringLiteral("ls")},
          device + QStringList{QStringLiteral("frob")}, device + QStringList{QStringLiteral("get")},
          device + QStringList{QStringLiteral("ls"), QStringLiteral("a"), QStringLiteral("b")},
          device + QStringList{QStringLiteral("rm"), QStringLiteral("/")},
          device + QStringList{QStringLiteral("--bogus"), QStringLiteral("info")}}) {
        const Result result = runCli(arguments);
        QVERIFY2(result.exitCode == 2, qPrintable(arguments.join(u' ')));
        QVERIFY(result.err.contains(QStringLiteral("tarvel-cli --help")));
    }
    const Result help = runCli({QStringLiteral("--help")});
    QCOMPARE(help.exitCode, 0);
    QVERIFY(help.out.contains(QStringLiteral("Exit status")));
}

void Cli::refusalsBeforeConnecting()
{
    QTemporaryDir dir;
    const QStringList device{QStringLiteral("--device"), QStringLiteral("/dev/null")};
    auto expect = [&](const QStringList &command, const QString &message) {
        const Result result = runCli(device + command);
        QVERIFY2(result.exitCode == 1, qPrintable(command.join(u' ') + u'\n' + result.err));
        QVERIFY2(result.err.contains(message), qPrintable(result.err));
    };
    QVERIFY(writeFile(dir.filePath(QStringLiteral("big.bin")), QByteArray(152677, 'b')));
    expect({QStringLiteral("put"), dir.filePath(QStringLiteral("big.bin"))}, QStringLiteral("--yes"));
    QVERIFY(writeFile(dir.filePath(QStringLiteral("日本.txt")), "x"));
    expect({QStringLiteral("put"), dir.filePath(QStringLiteral("日本.txt"))}, QStringLiteral("Windows-1251"));
    expect({QStringLiteral("put"), dir.filePath(QStringLiteral("none.txt"))}, QStringLiteral("cannot find"));
    expect({QStringLiteral("mkdir"), QString(123, u'm')}, QStringLiteral("at most 122"));
    expect({QStringLiteral("get"), QString(124, u'g')}, QStringLiteral("at most 123"));
    expect({QStringLiteral("get"), QStringLiteral("../etc/passwd")}, QStringLiteral("not allowed"));
    expect({QStringLiteral("get"), QStringLiteral("a.txt"), dir.filePath(QStringLiteral("no/such/dir/a.txt"))},
           QStringLiteral("cannot write"));

    // The size question counts the staged length: one byte less passes the check and
    // fails only at the port.
    QVERIFY(writeFile(dir.filePath(QStringLiteral("exact.bin")), QByteArray(152676, 'e')));
    QCOMPARE(runCli(device + QStringList{QStringLiteral("put"), dir.filePath(QStringLiteral("exact.bin"))}).exitCode,
             3);
}

QTEST_GUILESS_MAIN(Cli)
#include "tst_cli.moc"
