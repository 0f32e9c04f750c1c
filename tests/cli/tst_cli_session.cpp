// tarvel-cli with many operations over one connection: the prompt read from standard
// input, batch files, several commands on the command line, whole trees, backups,
// moves, the line rate, and the PC side of downloads and uploads. Each case has its
// own emulated phone; all run at once (the connect procedure spends most of its
// time in pauses) and are judged one by one.

#include "testprocess.h"

#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <map>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace {

struct Case
{
    QTemporaryDir dir;
    PhoneSim sim;
    QProcess cli;
    ProcessResult result;

    Case()
    {
        QDir(dir.path()).mkpath(QStringLiteral("flash/Bitmap"));
        QDir(dir.path()).mkpath(QStringLiteral("pc"));
        cli.setWorkingDirectory(pc());
    }
    // The phone's log goes beside its folder, not into it.
    QString flash(const QString &path = QString()) const
    {
        return dir.filePath(path.isEmpty() ? QStringLiteral("flash") : QStringLiteral("flash/") + path);
    }
    QString pc(const QString &path = QString()) const { return dir.filePath(QStringLiteral("pc/") + path); }
};

// Command-line words from a text with single spaces between them.
QStringList words(const char *text)
{
    return QString::fromUtf8(text).split(u' ');
}

const QDateTime Old = QDateTime(QDate(2003, 4, 12), QTime(15, 30, 5));

bool setTime(const QString &path, const QDateTime &time)
{
    const timespec times[2] = {{time.toSecsSinceEpoch(), 0}, {time.toSecsSinceEpoch(), 0}};
    return ::utimensat(AT_FDCWD, QFile::encodeName(path).constData(), times, 0) == 0;
}

qint64 timeOf(const QString &path)
{
    return QFileInfo(path).lastModified().toSecsSinceEpoch();
}

// Every file and folder below root: relative path, then "/" for a folder or the content.
std::map<QString, QByteArray> tree(const QString &root)
{
    std::map<QString, QByteArray> entries;
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QFileInfo entry(it.next());
        entries[QDir(root).relativeFilePath(entry.filePath())] = entry.isDir() ? "/" : readFile(entry.filePath());
    }
    return entries;
}

// The log lines after the first that starts with marker.
QStringList linesAfter(const QStringList &lines, const QString &marker)
{
    for (qsizetype i = 0; i < lines.size(); ++i) {
        if (lines[i].startsWith(marker))
            return lines.mid(i + 1);
    }
    return {};
}

QStringList startingWith(const QStringList &lines, const QString &prefix)
{
    QStringList found;
    for (const QString &line : lines) {
        if (line.startsWith(prefix))
            found << line;
    }
    return found;
}

} // namespace

class CliSession : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();

    void shellSessionOnOneConnection();
    void treesBothWays();
    void backupFetchesOnlyWhatChanged();
    void speedConfirmed();
    void speedNotConfirmed();
    void localSideOfTransfers();

private:
    Case &add(const QString &name);
    std::map<QString, std::unique_ptr<Case>> cases;
    QByteArray picture = randomBytes(5000, 11);
    QByteArray large = randomBytes(30000, 12);
    QProcess fifoReader;
};

Case &CliSession::add(const QString &name)
{
    cases[name] = std::make_unique<Case>();
    return *cases[name];
}

void CliSession::initTestCase()
{
    std::map<QString, QStringList> simOptions;
    std::map<QString, QStringList> arguments;
    std::map<QString, QByteArray> input;

    // The prompt, fed from standard input: every line runs, one connection.
    Case &shell = add(QStringLiteral("shell"));
    QVERIFY(writeFile(shell.flash(QStringLiteral("Bitmap/pic.bmp")), picture));
    QVERIFY(setTime(shell.flash(QStringLiteral("Bitmap/pic.bmp")), Old));
    QVERIFY(QDir().mkpath(shell.flash(QStringLiteral("Other"))));
    QVERIFY(QDir().mkpath(shell.pc(QStringLiteral("sub"))));
    QVERIFY(writeFile(shell.pc(QStringLiteral("up.txt")), "uploaded"));
    arguments["shell"] = words("shell");
    input["shell"] = "pwd\n"
                     "cd Bitmap\n"
                     "# a comment\n"
                     "\n"
                     "pwd\n"
                     "get pic.bmp\n"
                     "put up.txt\n"
                     "mv pic.bmp renamed.bmp\n"
                     "mkdir \"/Other/Deep one\"\n"
                     "mv renamed.bmp '/Other/Deep one/'\n"
                     "mv up.txt /Other\n"
                     "mv /Other/up.txt \"/Other/Deep one/renamed.bmp\"\n"
                     "cd /Other/Deep\\ one\n"
                     "pwd\n"
                     "ls\n"
                     "lcd sub\n"
                     "get renamed.bmp\n"
                     "exit\n"
                     "rm renamed.bmp\n";

    // Trees with Cyrillic names and empty folders, off the phone and back on.
    Case &trees = add(QStringLiteral("trees"));
    const QStringList treeFiles = {QStringLiteral("Tree/a.bin"), QStringLiteral("Tree/Музыка/песня.mid"),
                                   QStringLiteral("Tree/Музыка/Ещё/длинное имя.txt")};
    for (int i = 0; i < treeFiles.size(); ++i) {
        QVERIFY(writeFile(trees.flash(treeFiles[i]), randomBytes(700 * i + 1, quint32(20 + i))));
        QVERIFY(setTime(trees.flash(treeFiles[i]), Old.addDays(i)));
    }
    QVERIFY(QDir().mkpath(trees.flash(QStringLiteral("Tree/Пусто"))));
    QVERIFY(QDir().mkpath(trees.flash(QStringLiteral("Tree/Музыка/Пустая"))));
    for (const QString &folder : {QStringLiteral("Tree/Пусто"), QStringLiteral("Tree/Музыка/Пустая"),
                                  QStringLiteral("Tree/Музыка/Ещё"), QStringLiteral("Tree/Музыка")})
        QVERIFY(setTime(trees.flash(folder), Old.addYears(1)));
    QVERIFY(writeFile(trees.pc(QStringLiteral("commands")), "get -r /Tree copy\nput -r copy/Tree /Bitmap\n"));
    arguments["trees"] = words("-b commands");

    // Backups: the second fetches only the file changed on the phone; only the third
    // (--delete) removes what the phone no longer has.
    Case &backup = add(QStringLiteral("backup"));
    QVERIFY(writeFile(backup.flash(QStringLiteral("Music/song.mid")), "old tune"));
    QVERIFY(writeFile(backup.flash(QStringLiteral("Music/gone.txt")), "gone"));
    QVERIFY(writeFile(backup.flash(QStringLiteral("Bitmap/x.bmp")), picture));
    QVERIFY(QDir().mkpath(backup.flash(QStringLiteral("Empty"))));
    for (const QString &file :
         {QStringLiteral("Music/song.mid"), QStringLiteral("Music/gone.txt"), QStringLiteral("Bitmap/x.bmp")})
        QVERIFY(setTime(backup.flash(file), Old));
    QVERIFY(writeFile(backup.pc(QStringLiteral("new/song.mid")), "new tune"));
    QVERIFY(writeFile(backup.pc(QStringLiteral("store/mine.txt")), "the user's own"));
    arguments["backup"] = words("backup store ; put new/song.mid Music ; rm Music/gone.txt ; backup store ; "
                                "backup store --delete");

    // The line rate: a paced phone that takes 115200 baud, and one that does not.
    Case &fast = add(QStringLiteral("fast"));
    QVERIFY(writeFile(fast.flash(QStringLiteral("Bitmap/large.bin")), large));
    simOptions["fast"] = {QStringLiteral("--baud"), QStringLiteral("57600")};
    arguments["fast"] = words("--speed 115200 get Bitmap/large.bin");
    add(QStringLiteral("refusedSpeed"));
    simOptions["refusedSpeed"] = {QStringLiteral("--refuse-speed")};
    arguments["refusedSpeed"] = words("--speed 115200 ls");

    // The PC side: devices and FIFOs are written into, "-" is standard output, a full
    // device and a source that fails to read are failures; ls escapes names.
    Case &local = add(QStringLiteral("local"));
    QVERIFY(writeFile(local.flash(QStringLiteral("Bitmap/pic.bmp")), picture));
    QVERIFY(writeFile(local.flash(QStringLiteral("Bitmap/note.txt")), "a note\n"));
    for (const char *name : {"tab\there", "line\nfeed", "back\\slash", "bell\a"})
        QVERIFY(writeFile(local.flash(QStringLiteral("Names/") + QString::fromLatin1(name)), "x"));
    QVERIFY(::mkfifo(QFile::encodeName(local.pc(QStringLiteral("fifo"))).constData(), 0600) == 0);
    QVERIFY(writeFile(local.pc(QStringLiteral("real")), "old"));
    QVERIFY(QFile::link(QStringLiteral("real"), local.pc(QStringLiteral("link"))));
    fifoReader.setStandardOutputFile(local.pc(QStringLiteral("from-fifo")));
    fifoReader.start(QStringLiteral("cat"), {local.pc(QStringLiteral("fifo"))});
    arguments["local"] = words("-k get Bitmap/pic.bmp /dev/null ; get Bitmap/pic.bmp link ; get Bitmap/pic.bmp "
                               "/dev/full ; get Bitmap/pic.bmp fifo ; get Bitmap/note.txt - ; put /proc/self/mem ; "
                               "ls Names");

    for (auto &[name, c] : cases) {
        QVERIFY2(c->sim.start(c->flash(), simOptions[name]), qPrintable(name));
        if (!input.count(name))
            c->cli.setStandardInputFile(QProcess::nullDevice());
        c->cli.start(tarvelBinary(QStringLiteral("tarvel-cli")),
                     QStringList{QStringLiteral("--device"), c->sim.device} + arguments[name]);
        if (input.count(name)) {
            c->cli.write(input[name]);
            c->cli.closeWriteChannel();
        }
    }
    for (auto &[name, c] : cases)
        c->result = finishProcess(c->cli);
}

void CliSession::cleanupTestCase()
{
    fifoReader.kill();
    fifoReader.waitForFinished();
}

void CliSession::shellSessionOnOneConnection()
{
    const Case &c = *cases.at(QStringLiteral("shell"));
    // The one failure: a move onto an existing file. exit ends the session.
    QCOMPARE(c.result.exitCode, 1);
    QVERIFY2(c.result.err.contains(QStringLiteral("/Other/Deep one/renamed.bmp already exists")),
             qPrintable(c.result.err));
    QCOMPARE(c.sim.logLines(QStringLiteral("CONNECT")).size(), 1);
    QVERIFY(c.sim.logLines(QStringLiteral("DELETE")).isEmpty());

    const QStringList out = c.result.out.split(u'\n', Qt::SkipEmptyParts);
    QCOMPARE(out.mid(0, 3),
             (QStringList{QStringLiteral("/"), QStringLiteral("/Bitmap"), QStringLiteral("/Other/Deep one")}));
    QVERIFY2(out.value(3).startsWith(QStringLiteral("renamed.bmp\t5000\t12.04.2003\t15:30\tfile")),
             qPrintable(c.result.out));

    // Within a folder, into a folder named with "/", onto a folder.
    QCOMPARE(c.sim.logLines(QStringLiteral("MOVE")),
             (QStringList{QStringLiteral("MOVE from=/Bitmap/pic.bmp to=/Bitmap/renamed.bmp"),
                          QStringLiteral("MOVE from=/Bitmap/renamed.bmp to=/Other/Deep one/renamed.bmp"),
                          QStringLiteral("MOVE from=/Bitmap/up.txt to=/Other"),
                          QStringLiteral("MOVE from=/Bitmap/up.txt to=/Other/up.txt"),
                          QStringLiteral("MOVE from=/Other/up.txt to=/Other/Deep one/renamed.bmp")}));
    QCOMPARE(readFile(c.flash(QStringLiteral("Other/Deep one/renamed.bmp"))), picture);
    QCOMPARE(readFile(c.flash(QStringLiteral("Other/up.txt"))), QByteArray("uploaded"));
    QCOMPARE(QDir(c.flash(QStringLiteral("Bitmap"))).entryList(QDir::Files), QStringList());

    // Downloads keep the phone's time; lcd moved the second one.
    QCOMPARE(readFile(c.pc(QStringLiteral("pic.bmp"))), picture);
    QCOMPARE(timeOf(c.pc(QStringLiteral("pic.bmp"))), Old.toSecsSinceEpoch());
    QCOMPARE(readFile(c.pc(QStringLiteral("sub/renamed.bmp"))), picture);
}

void CliSession::treesBothWays()
{
    const Case &c = *cases.at(QStringLiteral("trees"));
    QVERIFY2(c.result.exitCode == 0, qPrintable(c.result.err));
    QCOMPARE(c.sim.logLines(QStringLiteral("CONNECT")).size(), 1);
    const std::map<QString, QByteArray> phoneTree = tree(c.flash(QStringLiteral("Tree")));
    QCOMPARE(phoneTree.size(), size_t(7));
    QCOMPARE(tree(c.pc(QStringLiteral("copy/Tree"))), phoneTree);
    QCOMPARE(tree(c.flash(QStringLiteral("Bitmap/Tree"))), phoneTree);
    for (const auto &[path, content] : phoneTree) {
        QVERIFY2(timeOf(c.pc(QStringLiteral("copy/Tree/") + path)) == timeOf(c.flash(QStringLiteral("Tree/") + path)),
                 qPrintable(path));
    }
    const QStringList summaries = c.result.out.split(u'\n', Qt::SkipEmptyParts);
    QCOMPARE(summaries.size(), 2);
    QVERIFY2(summaries[0].startsWith(QStringLiteral("get -r: 3 files, 2103 bytes, ")), qPrintable(summaries[0]));
    QVERIFY2(summaries[1].startsWith(QStringLiteral("put -r: 3 files, 2103 bytes, ")), qPrintable(summaries[1]));
    QVERIFY(summaries[1].endsWith(QStringLiteral(" s, 0 failures")));
}

void CliSession::backupFetchesOnlyWhatChanged()
{
    const Case &c = *cases.at(QStringLiteral("backup"));
    QVERIFY2(c.result.exitCode == 0, qPrintable(c.result.err));
    const QStringList summaries = c.result.out.split(u'\n', Qt::SkipEmptyParts);
    QCOMPARE(summaries.size(), 3);
    QVERIFY2(summaries[0].startsWith(QStringLiteral("backup: 3 files copied, 5012 bytes, 0 unchanged, 0 deleted")),
             qPrintable(summaries[0]));
    QVERIFY2(summaries[1].startsWith(QStringLiteral("backup: 1 file copied, 8 bytes, 1 unchanged, 0 deleted")),
             qPrintable(summaries[1]));
    QVERIFY2(summaries[2].startsWith(QStringLiteral("backup: 0 files copied, 0 bytes, 2 unchanged, 2 deleted")),
             qPrintable(summaries[2]));
    // The second backup's only file request, after the deletion on the phone.
    QCOMPARE(startingWith(linesAfter(c.sim.logLines(), QStringLiteral("DELETE")), QStringLiteral("GET name=")),
             QStringList{QStringLiteral("GET name=song.mid")});

    QCOMPARE(tree(c.pc(QStringLiteral("store"))), tree(c.flash()));
    QCOMPARE(timeOf(c.pc(QStringLiteral("store/Bitmap/x.bmp"))), Old.toSecsSinceEpoch());
    QCOMPARE(timeOf(c.pc(QStringLiteral("store/Music/song.mid"))), timeOf(c.flash(QStringLiteral("Music/song.mid"))));
}

void CliSession::speedConfirmed()
{
    const Case &c = *cases.at(QStringLiteral("fast"));
    QVERIFY2(c.result.exitCode == 0, qPrintable(c.result.err));
    QCOMPARE(c.result.err, QString());
    QCOMPARE(readFile(c.pc(QStringLiteral("large.bin"))), large);
    const QStringList log = c.sim.logLines();
    QCOMPARE(startingWith(log, QStringLiteral("SPEED")), QStringList{QStringLiteral("SPEED 115200 accepted")});
    QCOMPARE(startingWith(log, QStringLiteral("RATE 115200")).size(), 1);
    // The port followed the phone for the whole session.
    const QStringList session = log.mid(0, log.indexOf(QStringLiteral("CLOSE")));
    QVERIFY(startingWith(session, QStringLiteral("RATE-MISMATCH")).isEmpty());
    QVERIFY(startingWith(session, QStringLiteral("GET name=large.bin")).size() == 1);
}

void CliSession::speedNotConfirmed()
{
    const Case &c = *cases.at(QStringLiteral("refusedSpeed"));
    QCOMPARE(c.result.exitCode, 0);
    QVERIFY2(c.result.err.contains(QStringLiteral("did not confirm 115200 baud; the link stays at 57600")),
             qPrintable(c.result.err));
    QVERIFY(c.result.out.contains(QStringLiteral("Bitmap\t")));
    QCOMPARE(c.sim.logLines(QStringLiteral("SPEED")),
             (QStringList{QStringLiteral("SPEED 115200 refused"), QStringLiteral("SPEED 57600 accepted")}));
    QVERIFY(c.sim.logLines(QStringLiteral("RATE")).isEmpty());
}

void CliSession::localSideOfTransfers()
{
    const Case &c = *cases.at(QStringLiteral("local"));
    // -k: every command ran; the first failure decides the exit status.
    QCOMPARE(c.result.exitCode, 1);
    struct stat info
    {};
    QVERIFY(::stat("/dev/null", &info) == 0 && S_ISCHR(info.st_mode));
    QVERIFY2(c.result.err.contains(QStringLiteral("cannot write /dev/full: No space left on device")),
             qPrintable(c.result.err));
    QVERIFY(fifoReader.waitForFinished(5000));
    QCOMPARE(readFile(c.pc(QStringLiteral("from-fifo"))), picture);
    QVERIFY(QFileInfo(c.pc(QStringLiteral("fifo"))).isFile() == false);
    // Through a link the file it points to is replaced; the link stays.
    QCOMPARE(QFileInfo(c.pc(QStringLiteral("link"))).symLinkTarget(), c.pc(QStringLiteral("real")));
    QCOMPARE(readFile(c.pc(QStringLiteral("real"))), picture);

    // A source that fails to read is no empty upload.
    QVERIFY2(c.result.err.contains(QStringLiteral("/proc/self/mem: Cannot read the file.")), qPrintable(c.result.err));
    QVERIFY(c.sim.logLines(QStringLiteral("PUT")).isEmpty());

    QCOMPARE(c.result.out.left(7), QStringLiteral("a note\n"));
    QStringList names;
    for (const QString &line : c.result.out.mid(7).split(u'\n', Qt::SkipEmptyParts))
        names << line.section(u'\t', 0, 0);
    QCOMPARE(names,
             (QStringList{QStringLiteral("back\\\\slash"), QStringLiteral("bell\\x07"), QStringLiteral("line\\nfeed"),
                          QStringLiteral("tab\\there")}));
    QCOMPARE(QDir(c.pc()).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot),
             (QStringList{QStringLiteral("fifo"), QStringLiteral("from-fifo"), QStringLiteral("link"),
                          QStringLiteral("real")}));
}

QTEST_GUILESS_MAIN(CliSession)
#include "tst_cli_session.moc"
