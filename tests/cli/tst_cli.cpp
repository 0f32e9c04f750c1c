// tarvel-cli end to end. Each connected case has its own emulated phone; all run at
// once (the connect procedure spends most of its time in pauses) and are judged one
// by one. Bad input is refused before connecting, with nothing written anywhere.

#include "testprocess.h"

#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <fcntl.h>
#include <map>
#include <memory>
#include <sys/file.h>
#include <sys/stat.h>
#include <tuple>
#include <unistd.h>

namespace {

// Files as path and content; a content of "/" makes a folder.
using Files = std::initializer_list<std::pair<const char *, QByteArray>>;

bool make(const QString &root, Files files)
{
    for (const auto &[path, content] : files) {
        const QString at = root + QString::fromUtf8(path);
        if (!(content == "/" ? QDir().mkpath(at) : writeFile(at, content)))
            return false;
    }
    return true;
}

struct Case
{
    QTemporaryDir dir;
    PhoneSim sim;
    QProcess cli;
    QStringList phoneOptions; // phonesim's
    QStringList arguments; // tarvel-cli's, after --device
    QByteArray input; // standard input; none when empty
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
    bool holds(Files phone, Files onPc = {}) const { return make(flash() + u'/', phone) && make(pc(), onPc); }
    // tarvel-cli on this case's phone.
    void start(const QStringList &words) { startCli(cli, QStringList{"--device", sim.device} + words); }
};

const QDateTime Old = QDateTime(QDate(2003, 4, 12), QTime(15, 30, 5));

// The round trips in both modes, one with --verify: phonesim's options, tarvel-cli's,
// what info says.
struct ModePhone
{
    const char *name, *phoneOptions, *cliOptions, *link, *packet;
};
const ModePhone ModePhones[] = {
    {"M55, plain OBEX", "", "--link obex --verify", "plain OBEX at 57600 baud", "474 bytes"},
    {"M55, plain OBEX at 230400", "", "--speed 230400", "plain OBEX at 230400 baud", "474 bytes"},
    {"M55, BFB", "", "--link bfb", "BFB at 57600 baud", "474 bytes"},
    // Paced: the port follows the phone to the raised rate, or no byte would arrive whole.
    {"M55, BFB at 115200", "--baud 57600", "--link bfb --speed 115200", "BFB at 115200 baud", "474 bytes"},
    {"S65", "--model S65", "", "plain OBEX at 57600 baud", "1030 bytes"},
    {"S75 at 115200", "--model S75 --baud 115200", "--speed 115200", "plain OBEX at 115200 baud", "8208 bytes"},
};

bool setTime(const QString &path, const QDateTime &time)
{
    const timespec times[2] = {{time.toSecsSinceEpoch(), 0}, {time.toSecsSinceEpoch(), 0}};
    return ::utimensat(AT_FDCWD, QFile::encodeName(path).constData(), times, 0) == 0;
}

qint64 timeOf(const QString &path)
{
    return QFileInfo(path).lastModified().toSecsSinceEpoch();
}

// Runs of several lines and the exit status each ends with: the last line's, as in a
// shell; "exit" keeps the status of the line before it. D/x.txt is on the phone, so
// "mkdir /D" fails and "ls /D" lists x.txt (failuresInTheUsersTerms).
struct StatusRun
{
    const char *name;
    const char *arguments;
    const char *input; // standard input, or none
    int exitCode;
    bool listed; // whether "ls /D" ran
};
const StatusRun StatusRuns[] = {
    {"shell: a failed line, then one that works", "shell", "mkdir /D\nls /D\n", 0, true},
    {"shell: the last line fails", "shell", "ls /D\nmkdir /D\n", 1, true},
    {"shell: exit after a failed line", "shell", "mkdir /D\nexit\nls /D\n", 1, false},
    {"batch -k: a failed line, then one that works", "-k -b -", "mkdir /D\nls /D\n", 0, true},
    {"batch: the first failure ends it", "-b -", "mkdir /D\nls /D\n", 1, false},
    {"commands -k: a failed one, then one that works", "-k mkdir /D ; ls /D", nullptr, 0, true},
};

// The last line of phonesim's log that says which mode the phone went into.
QString lastModeChange(const PhoneSim &sim)
{
    QString last;
    for (const QString &line : sim.logLines()) {
        if (line.startsWith("PLAIN-") || line.startsWith("BFB-START") || line.startsWith("BFB-END"))
            last = line;
    }
    return last.section(u' ', 0, 0);
}

QStringList pcEntries(const Case &c)
{
    return QDir(c.pc()).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
}

} // namespace

class Cli : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        // The prompt, fed from standard input: every line runs, one connection.
        Case &shell = add("shell", "shell");
        QVERIFY(shell.holds({{"Bitmap/pic.bmp", picture}, {"Other", "/"}}, {{"sub", "/"}, {"up.txt", "uploaded"}}));
        QVERIFY(setTime(shell.flash("Bitmap/pic.bmp"), Old));
        shell.input = "pwd\ncd Bitmap\n# a comment\n\npwd\nget pic.bmp\nput up.txt\nmv pic.bmp renamed.bmp\n"
                      "mkdir \"/Other/Deep one\"\nmv renamed.bmp '/Other/Deep one/'\nmv up.txt /Other\n"
                      "mv /Other/up.txt \"/Other/Deep one/renamed.bmp\"\ncd /Other/Deep\\ one\npwd\nls\nlcd sub\n"
                      "get renamed.bmp\ninfo\nexit\nrm renamed.bmp\n";

        // Trees with Cyrillic names and empty folders, off the phone and back on; a file
        // over 150 kB that --yes lets through, and a name Qt would take for a resource.
        Case &trees = add("trees", "--yes -b commands");
        const QStringList treeFiles = {"Tree/a.bin", "Tree/Музыка/песня.mid", "Tree/Музыка/Ещё/длинное имя.txt"};
        for (int i = 0; i < treeFiles.size(); ++i) {
            QVERIFY(writeFile(trees.flash(treeFiles[i]), randomBytes(700 * i + 1, quint32(20 + i))));
            QVERIFY(setTime(trees.flash(treeFiles[i]), Old.addDays(i)));
        }
        QVERIFY(
            trees.holds({{"Tree/Пусто", "/"}, {"Tree/Музыка/Пустая", "/"}},
                        {{"over.bin", over150k},
                         {":colon.txt", "to the phone"},
                         {"commands", "get -r /Tree copy\nput -r copy/Tree /Bitmap\nput over.bin\nput :colon.txt\n"}}));
        for (const char *folder : {"Tree/Пусто", "Tree/Музыка/Пустая", "Tree/Музыка/Ещё", "Tree/Музыка"})
            QVERIFY(setTime(trees.flash(QString::fromUtf8(folder)), Old.addYears(1)));

        // Backups: a dry run changes nothing; the second backup fetches only the file changed
        // on the phone; only the third (--delete) removes what a backup wrote and the phone
        // no longer has, and nothing else.
        Case &backup = add("backup",
                           "backup store ; put new/song.mid Music ; rm Music/gone.txt ; "
                           "backup store --dry-run --delete ; backup store ; backup store --delete");
        QVERIFY(backup.holds(
            {{"Music/song.mid", "old tune"}, {"Music/gone.txt", "gone"}, {"Bitmap/x.bmp", picture}, {"Empty", "/"}},
            {{"new/song.mid", "new tune"},
             {"store/mine.txt", "the user's own"},
             {"store/other/doc.txt", "the user's own"},
             {"store/.hidden", "the user's own"},
             {"store/Music/own.mid", "the user's own"}}));
        for (const char *file : {"Music/song.mid", "Music/gone.txt", "Bitmap/x.bmp"})
            QVERIFY(setTime(backup.flash(QString::fromUtf8(file)), Old));

        // Findings of a user's pass: messages, moves into the root and the parent, names
        // the tool could not fetch, links and a folder without a backup record.
        Case &findings = add("findings",
                             "-k mv Misc/a.txt / ; cd Misc ; mv b.txt .. ; "
                             "backup store --delete ; backup fresh --dry-run --delete");
        QVERIFY(findings.holds(
            {{"Misc/a.txt", "a"}, {"Misc/b.txt", "b"}, {"Misc/linked.txt", "phone"}, {"Bitmap/x.bmp", picture}},
            {{"elsewhere/keep.bmp", "kept"},
             {"target.txt", "target"},
             {"store/old.txt", "before any record"},
             {"store/Misc", "/"}}));
        QVERIFY(writeFile(findings.flash(QStringLiteral("Misc/") + QString(128, u'n')), "long"));
        QVERIFY(QFile::link(QStringLiteral("../elsewhere"), findings.pc("store/Bitmap")));
        QVERIFY(QFile::link(QStringLiteral("../../target.txt"), findings.pc("store/Misc/linked.txt")));

        // The BFB speed frames refused (a paced phone that takes them: bothModes).
        add("refusedSpeed", "--link bfb --speed 115200 ls", "--refuse-speed");

        // The PC side: devices and FIFOs are written into, "-" is standard output, a full
        // device and a source that fails to read are failures that leave nothing behind; ls
        // escapes names.
        Case &local = add("local",
                          "-k get Bitmap/pic.bmp /dev/null ; get Bitmap/pic.bmp /dev/full ; get Bitmap/pic.bmp fifo ; "
                          "get Bitmap/note.txt - ; put /proc/self/mem ; ls Names");
        QVERIFY(local.holds({{"Bitmap/pic.bmp", picture},
                             {"Bitmap/note.txt", "a note\n"},
                             {"Names/tab\there", "x"},
                             {"Names/line\nfeed", "x"},
                             {"Names/back\\slash", "x"},
                             {"Names/bell\a", "x"}}));
        QVERIFY(::mkfifo(QFile::encodeName(local.pc("fifo")).constData(), 0600) == 0);
        fifoReader.setStandardOutputFile(local.pc("from-fifo"));
        fifoReader.start(QStringLiteral("cat"), {local.pc("fifo")});

        // Faults on the phone's side. The second packet of the download (phone block 7) and
        // its two resends arrive damaged; the phone resends later than the connect procedure
        // acknowledges its CONNECT answer.
        QVERIFY(add("broken", "--link bfb get Bitmap/x.bin", "--flip-tx 7,8,9 --resend-after 1500")
                    .holds({{"Bitmap/x.bin", randomBytes(5000, 4)}}));
        QVERIFY(add("refused", "-k ls Bitmap ; put up.bin", "--refuse-setpath C3 --refuse-put C3")
                    .holds({}, {{"up.bin", randomBytes(2000, 5)}}));
        // Names the phone holds already, on a phone that refuses to move; on one that refuses
        // uploads too, once it is known to refuse moves.
        for (const auto &[name, arguments, options] :
             {std::tuple{"replaceNoMoves", "-k mv Bitmap/F Bitmap/G ; put A.TXT Bitmap ; mv Bitmap/b.txt Bitmap/c.txt",
                         "--refuse-move C3"},
              std::tuple{"replaceLost", "-k mv Bitmap/F Bitmap/G ; put A.TXT Bitmap",
                         "--refuse-move C3 --refuse-put C3"}})
            QVERIFY(add(name, arguments, options)
                        .holds({{"Bitmap/a.txt", QByteArray(3000, 'o')},
                                {"Bitmap/b.txt", "bee"},
                                {"Bitmap/c.txt", "sea"},
                                {"Bitmap/F", "/"}},
                               {{"A.TXT", "new"}}));
        // An x75 replaces a file it is sent again; a phone that will not delete keeps the old one aside.
        for (Case *c : {&add("replaceX75", "put A.TXT Bitmap", "--model S75"),
                        &add("replaceNoDeletes", "-k put A.TXT Bitmap ; put newer/A.TXT Bitmap", "--refuse-delete C3")})
            QVERIFY(c->holds({{"Bitmap/a.txt", QByteArray(3000, 'o')}}, {{"A.TXT", "new"}, {"newer/A.TXT", "newer"}}));
        add("silent", "ls", "--fault-on at --silent-after 0");

        // Both link modes: each family the emulated phone knows, a tree both ways, a folder
        // made and a file removed, a backup.
        for (const ModePhone &mode : ModePhones)
            QVERIFY(add(mode.name,
                        QString::fromLatin1(mode.cliOptions)
                            + " get -r /Tree copy ; mkdir /New ; put -r copy/Tree /New ; rm /New/Tree/Sub/b.txt ; "
                              "backup store ; info",
                        mode.phoneOptions)
                        .holds({{"Tree/large.bin", large}, {"Tree/Sub/b.txt", "bee"}}));
        // Plain OBEX has no checksums: garbage in place of an answer, and an answer cut short.
        for (const auto &[name, options] : {std::pair{"plainGarbage", "--model S65 --fault-on continue:2 --garbage"},
                                            std::pair{"plainCut", "--model S75 --fault-on get --silent-after 2000"}})
            QVERIFY(add(name, "get Bitmap/large.bin", options)
                        .holds({{"Bitmap/large.bin", large}}, {{"large.bin", "the old copy"}}));
        // A noisy line in plain OBEX, each way: with --verify a copy is exact or failed. The
        // seeds give mismatches on most runs; what each run ends with may differ on a busy
        // machine (a wake-up sent again moves the noise), never the rule.
        for (const int seed : {1, 2, 3, 4, 5, 6}) {
            for (const bool get : {true, false})
                QVERIFY(
                    add(QStringLiteral("%1%2").arg(get ? "noisyGet" : "noisyPut").arg(seed),
                        get ? QStringLiteral("--verify get Bitmap/n.bin") : QStringLiteral("--verify put n.bin Bitmap"),
                        QStringLiteral("--noise-%1 2e-5 --seed %2").arg(get ? "tx" : "rx").arg(seed))
                        .holds({{"Bitmap/n.bin", noisyOld}}, {{"n.bin", noisyNew}}));
        }
        // The C60 answers a GET of a missing file with an empty file.
        QVERIFY(add("emptyAnswer", "get /tmp/empty.txt ; get /tmp/gone.txt", "--model C60")
                    .holds({{"tmp/empty.txt", QByteArray()}}));

        // What the phone answers, in the user's terms: folders that exist, missing files and
        // folders (C4 to a GET everywhere; C3 to a SETPATH on the x55 to x65, C4 on the x75),
        // a full phone, a PC folder that cannot be made; a name the phone cannot take shows
        // escaped. BFB frames carry the same answers (tst_obex_wire).
        QVERIFY(add("answers",
                    "-k mkdir /D ; mkdir /d ; mkdir /f.txt ; get /Bitmap/missing.bin ; get /Nope/a.bin ; "
                    "ls /Nope ; get -r /Bitmap notdir/sub ; rm /D/nonexist.txt ; rm /D/tab\tname")
                    .holds({{"D", "/"}, {"f.txt", "f"}, {"Bitmap/x.bmp", "x"}}, {{"notdir", "a file"}}));
        add("answersS75", "-k cd /Nope ; get /Nope/x.bin", "--model S75");
        QVERIFY(add("full", "-k put big.bin ; put -r tr", "--memory 4000")
                    .holds({{"Bitmap/x.bin", randomBytes(3000, 41)}},
                           {{"big.bin", randomBytes(2000, 42)}, {"tr/big.bin", randomBytes(2000, 42)}}));
        // Free memory after every change, asked for no more often than changes need.
        QVERIFY(add("memory", "info ; put k1.bin D ; info ; rm D/k1.bin ; info")
                    .holds({{"D", "/"}}, {{"k1.bin", randomBytes(1000, 43)}}));
        // The status of the last line, as shells give it.
        for (const StatusRun &run : StatusRuns) {
            Case &c = add(QString::fromUtf8(run.name), QString::fromUtf8(run.arguments));
            QVERIFY(c.holds({{"D/x.txt", "x"}}));
            c.input = run.input;
        }
        QVERIFY(add("fifoKilled", "get Bitmap/pic.bmp fifo").holds({{"Bitmap/pic.bmp", picture}}));
        QVERIFY(::mkfifo(QFile::encodeName(cases.at("fifoKilled")->pc("fifo")).constData(), 0600) == 0);
        // A name not in UTF-8 inside a tree: reported, the rest copied.
        Case &latin = add("notUtf8Tree", "put -r tree");
        QVERIFY(latin.holds({}, {{"tree/good.txt", "good"}}));
        const QByteArray badName = QFile::encodeName(latin.pc("tree/")) + "\xFE.txt";
        const int bad = ::open(badName.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        QVERIFY(bad >= 0 && ::write(bad, "bad", 3) == 3 && ::close(bad) == 0);

        for (auto &[name, c] : cases) {
            QVERIFY2(c->sim.start(c->flash(), c->phoneOptions), qPrintable(name));
            if (c->input.isEmpty())
                c->cli.setStandardInputFile(QProcess::nullDevice());
            c->cli.start(tarvelBinary(QStringLiteral("tarvel-cli")),
                         QStringList{"--device", c->sim.device} + c->arguments);
            if (!c->input.isEmpty()) {
                c->cli.write(c->input);
                c->cli.closeWriteChannel();
            }
        }

        // The PC side of the bad input, while the phones work.
        const auto file = [this](const char *name) { return scratch.filePath(QString::fromUtf8(name)); };
        QVERIFY(writeFile(file("big.bin"), over150k));
        QVERIFY(writeFile(file("日本.txt"), "x"));
        QVERIFY(writeFile(file("a-file"), "keep"));
        QVERIFY(writeFile(file("batch"), "ls\nput \xFE.bin\n"));
        QVERIFY(writeFile(scratch.filePath(QString(124, u'n')), "long"));
        QVERIFY(QDir().mkpath(file("sub/x.bin")));
        QVERIFY(::mkfifo(QFile::encodeName(file("fifo")).constData(), 0600) == 0);
        QFile sparse(file("sixteen.bin"));
        QVERIFY(sparse.open(QIODevice::WriteOnly) && sparse.resize(16 * 1024 * 1024));

        // The download into a FIFO without a reader waits in open() until a signal comes.
        const qint64 waiting = cases.at(QStringLiteral("fifoKilled"))->cli.processId();
        QTRY_COMPARE_WITH_TIMEOUT(readFile(QStringLiteral("/proc/%1/wchan").arg(waiting)),
                                  QByteArray("wait_for_partner"), 30000);
        ::kill(pid_t(waiting), SIGTERM);

        for (auto &[name, c] : cases)
            c->result = finishProcess(c->cli);
    }

    void cleanupTestCase()
    {
        fifoReader.kill();
        fifoReader.waitForFinished();
        // Qt cannot remove a name that is not UTF-8 with its folder.
        if (const auto latin = cases.find(QStringLiteral("notUtf8Tree")); latin != cases.end())
            ::unlink((QFile::encodeName(latin->second->pc("tree/")) + "\xFE.txt").constData());
    }

    void shellSessionOnOneConnection()
    {
        const Case &c = *cases.at(QStringLiteral("shell"));
        // A move onto an existing file replaces it; exit ends the session.
        QVERIFY2(c.result.exitCode == 0 && c.result.err.isEmpty(), qPrintable(c.result.err));
        QCOMPARE(c.sim.logLines("CONNECT").size(), 1);

        const QStringList out = c.result.out.split(u'\n', Qt::SkipEmptyParts);
        QCOMPARE(out.mid(0, 3), (QStringList{"/", "/Bitmap", "/Other/Deep one"}));
        QVERIFY2(out.value(3).startsWith("renamed.bmp\t8\t"), qPrintable(c.result.out));
        // The phone counts its files against the total.
        QCOMPARE(out.mid(4),
                 (QStringList{"model: Siemens M55", "total memory: 1572864 bytes (1536 KB)",
                              "free memory: 1572856 bytes (1535 KB)", "interface: serial cable",
                              "link: plain OBEX at 57600 baud", "max packet: 474 bytes"}));

        // Within a folder, into a folder named with "/", onto a folder, onto a file (set aside
        // and deleted as tst_obex_phonesim renameOntoAnExistingFile shows).
        QCOMPARE(c.sim.logLines("MOVE"),
                 (QStringList{"MOVE from=/Bitmap/pic.bmp to=/Bitmap/renamed.bmp",
                              "MOVE from=/Bitmap/renamed.bmp to=/Other/Deep one/renamed.bmp",
                              "MOVE from=/Bitmap/up.txt to=/Other/up.txt",
                              "MOVE from=/Other/Deep one/renamed.bmp to=/Other/Deep one/.~old~renamed.bmp",
                              "MOVE from=/Other/up.txt to=/Other/Deep one/renamed.bmp"}));
        QCOMPARE(readFile(c.flash("Other/Deep one/renamed.bmp")), QByteArray("uploaded"));
        QVERIFY(!QFile::exists(c.flash("Other/up.txt")));
        QCOMPARE(QDir(c.flash("Bitmap")).entryList(QDir::Files), QStringList());

        // Downloads keep the phone's time; lcd moved the second one.
        QCOMPARE(readFile(c.pc("pic.bmp")), picture);
        QCOMPARE(timeOf(c.pc("pic.bmp")), Old.toSecsSinceEpoch());
        QCOMPARE(readFile(c.pc("sub/renamed.bmp")), QByteArray("uploaded"));
    }

    void treesBothWays()
    {
        const Case &c = *cases.at(QStringLiteral("trees"));
        QVERIFY2(c.result.exitCode == 0, qPrintable(c.result.err));
        QCOMPARE(c.sim.logLines("CONNECT").size(), 1);
        const std::map<QString, QByteArray> phoneTree = fileTree(c.flash("Tree"));
        QCOMPARE(phoneTree.size(), size_t(7));
        QCOMPARE(fileTree(c.pc("copy/Tree")), phoneTree);
        QCOMPARE(fileTree(c.flash("Bitmap/Tree")), phoneTree);
        for (const auto &[path, content] : phoneTree) {
            QVERIFY2(timeOf(c.pc(QStringLiteral("copy/Tree/") + path))
                         == timeOf(c.flash(QStringLiteral("Tree/") + path)),
                     qPrintable(path));
        }
        const QStringList summaries = c.result.out.split(u'\n', Qt::SkipEmptyParts);
        QCOMPARE(summaries.size(), 2);
        QVERIFY2(summaries[0].startsWith("get -r: 3 files, 2103 bytes, "), qPrintable(summaries[0]));
        QVERIFY2(summaries[1].startsWith("put -r: 3 files, 2103 bytes, "), qPrintable(summaries[1]));
        QVERIFY(summaries[1].endsWith(" s, 0 failures"));
        QCOMPARE(readFile(c.flash("over.bin")), over150k);
        QCOMPARE(readFile(c.flash(":colon.txt")), QByteArray("to the phone"));
    }

    void backupFetchesOnlyWhatChanged()
    {
        const Case &c = *cases.at(QStringLiteral("backup"));
        QVERIFY2(c.result.exitCode == 0, qPrintable(c.result.err));
        const QStringList summaries = c.result.out.split(u'\n', Qt::SkipEmptyParts);
        const QStringList starts = {"backup: 3 files copied, 5012 bytes, 0 unchanged, 0 deleted",
                                    "copy /Music/song.mid\n",
                                    "delete store/Music/gone.txt\n",
                                    "backup --dry-run: 1 file to copy, 8 bytes, 1 unchanged, 1 to delete",
                                    "backup: 1 file copied, 8 bytes, 1 unchanged, 0 deleted",
                                    "backup: 0 files copied, 0 bytes, 2 unchanged, 1 deleted"};
        QCOMPARE(summaries.size(), starts.size());
        for (qsizetype i = 0; i < starts.size(); ++i)
            QVERIFY2((summaries[i] + u'\n').startsWith(starts[i]), qPrintable(summaries[i]));
        // The second backup's only file request, after the deletion on the phone.
        const QStringList log = c.sim.logLines();
        const qsizetype deletion = log.indexOf(startingWith(log, QStringLiteral("DELETE")).value(0));
        QCOMPARE(startingWith(log.mid(deletion), QStringLiteral("GET name=")), QStringList{"GET name=song.mid"});

        // What the phone has, the user's files and the record.
        std::map<QString, QByteArray> expected = fileTree(c.flash());
        for (const char *own : {"mine.txt", "other", "other/doc.txt", ".hidden", "Music/own.mid"})
            expected[QString::fromUtf8(own)] = own == std::string_view("other") ? "/" : "the user's own";
        std::map<QString, QByteArray> stored = fileTree(c.pc("store"));
        QCOMPARE(stored.erase(QStringLiteral(".tarvel-backup")), size_t(1));
        QCOMPARE(stored, expected);
        QCOMPARE(readFile(c.pc("store/.tarvel-backup")).split('\n').mid(0, 2),
                 (QList<QByteArray>{"tarvel-backup 1",
                                    QByteArray::number(picture.size()) + ' '
                                        + QByteArray::number(Old.toSecsSinceEpoch()) + " Bitmap/x.bmp"}));
        QCOMPARE(timeOf(c.pc("store/Bitmap/x.bmp")), Old.toSecsSinceEpoch());
        QCOMPARE(timeOf(c.pc("store/Music/song.mid")), timeOf(c.flash("Music/song.mid")));
    }

    void userFindings()
    {
        const Case &c = *cases.at(QStringLiteral("findings"));
        QCOMPARE(c.result.exitCode, 1);
        const QString &err = c.result.err;
        for (const QString &message :
             {QStringLiteral("/Misc/%1: the file name is too long: at most 123 characters").arg(QString(128, u'n')),
              QStringLiteral(
                  "store/Bitmap is a symbolic link: not followed, written through or deleted; /Bitmap is skipped"),
              QStringLiteral("store/Misc/linked.txt is a symbolic link"),
              QStringLiteral("note: --delete deletes nothing: store/.tarvel-backup is missing")})
            QVERIFY2(err.contains(message), qPrintable(err));
        // Nothing is blamed on the phone, which is never asked (tst_obex_wire refusedBeforeSending).
        QVERIFY2(!err.contains("did not deliver"), qPrintable(err));
        QCOMPARE(c.sim.logLines("MOVE"),
                 (QStringList{"MOVE from=/Misc/a.txt to=/a.txt", "MOVE from=/Misc/b.txt to=/b.txt"}));

        QVERIFY2(c.result.out.startsWith("backup: 2 files copied, 2 bytes, 0 unchanged, 0 deleted"),
                 qPrintable(c.result.out));
        // Links are neither followed nor written through; the file before any record stays.
        QCOMPARE(QFileInfo(c.pc("store/Bitmap")).symLinkTarget(), c.pc("elsewhere"));
        QCOMPARE(fileTree(c.pc("elsewhere")), (std::map<QString, QByteArray>{{"keep.bmp", "kept"}}));
        QCOMPARE(readFile(c.pc("target.txt")), QByteArray("target"));
        QCOMPARE(readFile(c.pc("store/old.txt")), QByteArray("before any record"));
        QCOMPARE(readFile(c.pc("store/a.txt")), QByteArray("a"));
        // A dry run makes nothing, not even its folder.
        QVERIFY2(c.result.out.contains("\ncopy /a.txt\n"), qPrintable(c.result.out));
        QVERIFY(!QFileInfo::exists(c.pc("fresh")));
    }

    void interruptedBackupKeepsItsRecord()
    {
        Case c;
        const QByteArray parts[] = {randomBytes(6000, 31), randomBytes(6000, 32), randomBytes(6000, 33)};
        for (int i = 0; i < 3; ++i)
            QVERIFY(writeFile(c.flash(QStringLiteral("Bitmap/%1.bin").arg(i)), parts[i]));
        QVERIFY(writeFile(c.pc("store/mine.txt"), "the user's own"));
        // Paced, each file takes about a second.
        QVERIFY(c.sim.start(c.flash(), words(QStringLiteral("--baud 57600"))));
        const QStringList backup = words(QStringLiteral("backup store --delete"));
        c.start(backup);
        QTRY_VERIFY_WITH_TIMEOUT(!c.sim.logLines("GET name=2.bin").isEmpty(), 60000);
        ::kill(pid_t(c.cli.processId()), SIGTERM);
        QVERIFY(c.cli.waitForFinished(5000));
        QCOMPARE(fileTree(c.pc("store")),
                 (std::map<QString, QByteArray>{{".tarvel-backup", readFile(c.pc("store/.tarvel-backup"))},
                                                {"Bitmap", "/"},
                                                {"Bitmap/0.bin", parts[0]},
                                                {"Bitmap/1.bin", parts[1]},
                                                {"mine.txt", "the user's own"}}));

        // The phone loses what was copied; the user changes one copy.
        QVERIFY(QFile::remove(c.flash("Bitmap/0.bin")));
        QVERIFY(QFile::remove(c.flash("Bitmap/1.bin")));
        QVERIFY(writeFile(c.pc("store/Bitmap/1.bin"), "changed"));
        c.start(backup);
        c.result = finishProcess(c.cli);
        QVERIFY2(c.result.exitCode == 0, qPrintable(c.result.err));
        QVERIFY2(c.result.out.startsWith("backup: 1 file copied, 6000 bytes, 0 unchanged, 1 deleted"),
                 qPrintable(c.result.out));
        QVERIFY2(c.result.err.contains("store/Bitmap/1.bin is kept: changed since the backup wrote it"),
                 qPrintable(c.result.err));
        QCOMPARE(fileTree(c.pc("store/Bitmap")),
                 (std::map<QString, QByteArray>{{"1.bin", "changed"}, {"2.bin", parts[2]}}));
        QCOMPARE(readFile(c.pc("store/mine.txt")), QByteArray("the user's own"));
        QCOMPARE(readFile(c.pc("store/.tarvel-backup")).split('\n').mid(1),
                 (QList<QByteArray>{"6000 " + QByteArray::number(timeOf(c.pc("store/Bitmap/2.bin"))) + " Bitmap/2.bin",
                                    ""}));
    }

    void localSideOfTransfers()
    {
        const Case &c = *cases.at(QStringLiteral("local"));
        // -k: every command ran; the last one decides the exit status.
        QCOMPARE(c.result.exitCode, 0);
        struct stat info
        {};
        QVERIFY(::stat("/dev/null", &info) == 0 && S_ISCHR(info.st_mode));
        QVERIFY2(c.result.err.contains("cannot write /dev/full: No space left on device"), qPrintable(c.result.err));
        QVERIFY(fifoReader.state() == QProcess::NotRunning || fifoReader.waitForFinished(5000));
        QCOMPARE(readFile(c.pc("from-fifo")), picture);
        QVERIFY(QFileInfo(c.pc("fifo")).isFile() == false);

        // A source that fails to read is no empty upload.
        QVERIFY2(c.result.err.contains("cannot put /proc/self/mem into /: cannot read the file\n"),
                 qPrintable(c.result.err));
        QVERIFY(c.sim.logLines("PUT").isEmpty());

        QCOMPARE(c.result.out.left(7), QStringLiteral("a note\n"));
        QStringList names;
        for (const QString &line : c.result.out.mid(7).split(u'\n', Qt::SkipEmptyParts))
            names << line.section(u'\t', 0, 0);
        QCOMPARE(names, (QStringList{"back\\\\slash", "bell\\x07", "line\\nfeed", "tab\\there"}));
        QCOMPARE(pcEntries(c), (QStringList{"fifo", "from-fifo"}));
    }

    void failuresInTheUsersTerms_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("out"); // how standard output starts; empty: nothing there
        QTest::addColumn<QStringList>("messages");
        QTest::addColumn<QStringList>("kept"); // what the PC's folder holds afterwards

        QTest::newRow("damaged reply") << "broken" << 3 << "" << QStringList{"reply made no sense"} << QStringList{};
        QTest::newRow("refusals") << "refused" << 1 << ""
                                  << QStringList{"cannot list /Bitmap: the phone refused to open it",
                                                 "cannot put up.bin into /: the phone refused it"}
                                  << QStringList{"up.bin"};
        QTest::newRow("speed refused") << "refusedSpeed" << 0 << "Bitmap\t"
                                       << QStringList{"did not confirm 115200 baud; the link stays at 57600"}
                                       << QStringList{};
        QTest::newRow("silence") << "silent" << 3 << ""
                                 << QStringList{"tarvel-cli: no phone answers on ", " (no OK to AT)\n",
                                                "tarvel-cli:   check that the phone is switched on"}
                                 << QStringList{};
        QTest::newRow("empty answer for a missing file")
            << "emptyAnswer" << 1 << "" << QStringList{"cannot get /tmp/gone.txt: not found on the phone"}
            << QStringList{"empty.txt"};
        QTest::newRow("plain OBEX: garbage")
            << "plainGarbage" << 3 << "" << QStringList{"reply made no sense"} << QStringList{"large.bin"};
        QTest::newRow("plain OBEX: answer cut short")
            << "plainCut" << 3 << "" << QStringList{"stopped answering"} << QStringList{"large.bin"};
        QTest::newRow("M55: folders that exist, missing names, a PC folder that cannot be made")
            << "answers" << 1 << "get -r: 0 files, 0 bytes, "
            << QStringList{"cannot make the folder /D: it exists\n",
                           "cannot make the folder /d: the folder /D exists (the phone does not tell letter case "
                           "apart)\n",
                           "cannot make the folder /f.txt: a file of that name exists\n",
                           "cannot get /Bitmap/missing.bin: not found on the phone\n",
                           "cannot get /Nope/a.bin: the folder /Nope is not on the phone\n",
                           "cannot list /Nope: not found on the phone\n",
                           "cannot make the folder notdir/sub/Bitmap: Not a directory\n",
                           "cannot delete /D/nonexist.txt: not found on the phone\n",
                           "cannot delete /D/tab\\tname: not found on the phone\n"}
            << QStringList{"notdir"};
        QTest::newRow("S75: missing names")
            << "answersS75" << 1 << ""
            << QStringList{"cannot change to /Nope: not found on the phone\n",
                           "cannot get /Nope/x.bin: the folder /Nope is not on the phone\n"}
            << QStringList{};
        QTest::newRow("a full phone") << "full" << 1 << "put -r: 0 files, 0 bytes, "
                                      << QStringList{"cannot put big.bin into /: the phone is full\n",
                                                     "cannot put tr/big.bin into /tr: the phone is full\n"}
                                      << QStringList{"big.bin", "tr"};
        QTest::newRow("a name in a tree that is not UTF-8")
            << "notUtf8Tree" << 1 << "put -r: 1 file, 4 bytes, "
            << QStringList{"tree/\\xFE.txt: not valid UTF-8 (names on the PC must be UTF-8 to reach the phone; "
                           "convmv renames files); not copied\n"}
            << QStringList{"tree"};
        for (const StatusRun &run : StatusRuns)
            QTest::newRow(run.name) << QString::fromUtf8(run.name) << run.exitCode << (run.listed ? "x.txt\t1\t" : "")
                                    << QStringList{"tarvel-cli: cannot make the folder /D: it exists\n"}
                                    << QStringList{};
    }

    // Each ends with its status and messages that say what happened, in lower case after the
    // program's name; nothing is written on the PC, nor on the phone for a name it holds.
    void failuresInTheUsersTerms()
    {
        QFETCH(QString, name);
        QFETCH(QString, out);
        QFETCH(QStringList, messages);
        const Case &c = *cases.at(name);
        QTEST(c.result.exitCode, "exitCode");
        for (const QString &message : messages)
            QVERIFY2(c.result.err.contains(message), qPrintable(c.result.err));
        for (const QString &line : c.result.err.split(u'\n', Qt::SkipEmptyParts))
            QVERIFY2(line.startsWith("tarvel-cli: ") && line.size() > 12 && !line.at(12).isUpper(), qPrintable(line));
        QVERIFY2(out.isEmpty() ? c.result.out.isEmpty() : c.result.out.startsWith(out), qPrintable(c.result.out));
        QTEST(pcEntries(c), "kept");
        if (name.startsWith(u"plain"))
            QCOMPARE(readFile(c.pc("large.bin")), QByteArray("the old copy"));
        QVERIFY(!QFile::exists(c.flash("up.bin")));
        if (name == u"answers")
            QVERIFY(c.sim.logLines("SETPATH flags=00").isEmpty());
        if (name == u"notUtf8Tree")
            QCOMPARE(readFile(c.flash("tree/good.txt")), QByteArray("good"));
    }

    void memoryAfterChanges()
    {
        const Case &c = *cases.at(QStringLiteral("memory"));
        QVERIFY2(c.result.exitCode == 0, qPrintable(c.result.err));
        QCOMPARE(startingWith(c.result.out.split(u'\n'), QStringLiteral("free memory:")),
                 (QStringList{"free memory: 1572864 bytes (1536 KB)", "free memory: 1571864 bytes (1535 KB)",
                              "free memory: 1572864 bytes (1536 KB)"}));
        // The root listing of the connection, the listing of D before the upload, one query
        // after each change; the first info asks nothing.
        QCOMPARE(c.sim.logLines("GET appparam=32:02").size(), 4);
    }

    // Qt would read such a name as another one; it is refused before the phone is woken (in
    // a batch file: badInput).
    void nameNotUtf8()
    {
        QProcess sh;
        sh.setStandardInputFile(QProcess::nullDevice());
        sh.start(QStringLiteral("/bin/sh"),
                 {"-c", "exec \"$0\" --device /dev/null put \"$(printf '\\376.bin')\"",
                  tarvelBinary(QStringLiteral("tarvel-cli"))});
        const ProcessResult result = finishProcess(sh, 10000);
        QCOMPARE(result.exitCode, 2);
        QVERIFY2(result.err.contains("tarvel-cli: \\xFE.bin: not valid UTF-8"), qPrintable(result.err));
        QVERIFY(!result.err.contains("cannot find"));
    }

    // A download into a FIFO that nobody reads waits for a reader; a signal then stops it
    // with a word of what happened, not the system's "Interrupted system call".
    void killedWhileAFifoWaits()
    {
        const Case &c = *cases.at(QStringLiteral("fifoKilled"));
        QCOMPARE(c.result.exitCode, -1); // ended by the signal
        QCOMPARE(c.result.err, QStringLiteral("tarvel-cli: stopped: fifo had no reader; nothing was written\n"));
        QCOMPARE(pcEntries(c), QStringList{"fifo"});
    }

    void replacesFiles_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("message");
        QTest::addColumn<QStringList>("files"); // Bitmap's, as name=content
        QTest::newRow("moves refused: delete and upload, mv copies and deletes")
            << "replaceNoMoves" << 0 << "cannot move /Bitmap/F to /Bitmap/G: the phone refused it"
            << QStringList{"A.TXT=new", "F/", "c.txt=bee"};
        QTest::newRow("moves and uploads refused")
            << "replaceLost" << 1 << "the old file is gone and the new one did not arrive"
            << QStringList{"F/", "b.txt=bee", "c.txt=sea"};
        // The x75 as recorded: one PUT over the name, which keeps its letter case (the PUT
        // alone: tst_obex_phonesim verifiedTransfers, x75 replace).
        QTest::newRow("x75: one PUT over the name") << "replaceX75" << 0 << QString() << QStringList{"a.txt=new"};
        // The old file stays aside once, named; the next replace changes nothing rather than
        // leave a second one.
        QTest::newRow("deletes refused")
            << "replaceNoDeletes" << 1
            << "A.TXT is copied, but the phone refused to delete the old file: it is left as /Bitmap/.~old~a.txt\n"
               "tarvel-cli: cannot put newer/A.TXT into /Bitmap: the phone refuses to delete /Bitmap/.~old~a.txt, the "
               "old "
               "file of an earlier copy\n"
            << QStringList{".~old~a.txt=" + QString(3000, u'o'), "A.TXT=new"};
    }

    // Only the new bytes stand under a name the phone held, in any letter case.
    void replacesFiles()
    {
        QFETCH(QString, name);
        QFETCH(QString, message);
        const Case &c = *cases.at(name);
        QTEST(c.result.exitCode, "exitCode");
        QVERIFY2(c.result.err.contains(message), qPrintable(c.result.err));
        QStringList files;
        for (const auto &[path, content] : fileTree(c.flash("Bitmap")))
            files << path + (content == "/" ? QStringLiteral("/") : u'=' + QString::fromUtf8(content));
        QTEST(files, "files");
    }

    void sessionsInARow_data()
    {
        QTest::addColumn<QString>("first");
        // 0: runs to its end; else the signal sent during its download, or (negative) to the
        // leaver it leaves the phone with
        QTest::addColumn<int>("ending");
        QTest::addColumn<QString>("leaves"); // the log line of the phone told to leave its mode, if any

        for (const char *mode : {"bfb", "obex"}) {
            const QString link = QStringLiteral("--link %1 ").arg(QLatin1String(mode));
            const QString left = mode == QLatin1String("bfb") ? QStringLiteral("BFB-END") : QStringLiteral("PLAIN-END");
            const auto row = [mode](const char *name) -> QTestData & { return QTest::addRow("%s: %s", mode, name); };
            row("raised rate, then the default") << link + "--speed 115200 ls" << 0 << left;
            row("download killed") << link + "get Bitmap/large.bin" << int(SIGKILL) << QString();
            row("download killed at a raised rate")
                << link + "--speed 115200 get Bitmap/large.bin" << int(SIGKILL) << QString();
            // Ctrl-C, a hang-up and SIGTERM (see killedWhileAFifoWaits) take the same way out.
            const int stop = left == u"BFB-END" ? SIGINT : SIGHUP;
            row("download ended by a signal") << link + "get Bitmap/large.bin" << stop << left;
            // The next run finds the phone in plain OBEX and carries on.
            if (left == u"PLAIN-END")
                row("leaver killed") << link + "ls" << -int(SIGKILL) << QString();
        }
    }

    // A phone that is never switched off: whatever way a run ended, its leaver killed too,
    // the next one on the same phone lists it; a run that could end in order leaves the phone in AT mode, and
    // the PC its old copy of the file, with no part of the download beside it.
    void sessionsInARow()
    {
        QFETCH(QString, first);
        QFETCH(int, ending);
        QFETCH(QString, leaves);
        Case c;
        QVERIFY(c.holds({{"Bitmap/large.bin", large}}, {{"large.bin", "the old copy"}}));
        QVERIFY(c.sim.start(c.flash(), words(QStringLiteral("--baud 57600"))));
        c.start(words(first));
        if (ending > 0) {
            QTRY_VERIFY_WITH_TIMEOUT(!c.sim.logLines("GET name=large.bin").isEmpty(), 30000);
            QTRY_COMPARE(pcEntries(c).size(), 2); // the old copy and the download under way
            ::kill(pid_t(c.cli.processId()), ending);
            QVERIFY(c.cli.waitForFinished(5000));
            QCOMPARE(c.cli.exitStatus(), QProcess::CrashExit);
        } else {
            QCOMPARE(finishProcess(c.cli).exitCode, 0);
            if (ending < 0) {
                const QList<int> leavers = processesNaming(c.sim.device);
                QCOMPARE(leavers.size(), 1);
                QCOMPARE(::kill(leavers.first(), -ending), 0);
            }
        }
        QVERIFY(c.sim.lineFree());
        QCOMPARE(c.sim.logLines("BFB-END").size() + c.sim.logLines("PLAIN-END").size(), leaves.isEmpty() ? 0 : 1);
        if (!leaves.isEmpty()) {
            QCOMPARE(c.sim.logLines(leaves).size(), 1);
            QVERIFY(c.sim.logLines("DISCONNECT").size() == 1);
        }

        const ProcessResult next = runCli(words(QStringLiteral("--device %1 ls Bitmap").arg(c.sim.device)));
        QVERIFY2(next.err.isEmpty() && next.exitCode == 0, qPrintable(next.err));
        QVERIFY(next.out.contains("large.bin\t30000"));
        if (ending != SIGKILL) // a kill leaves the download's temporary file behind
            QCOMPARE(pcEntries(c), QStringList{"large.bin"});
        QCOMPARE(readFile(c.pc("large.bin")), QByteArray("the old copy"));
    }

    void oneShotsInARow_data()
    {
        QTest::addColumn<QStringList>("phone"); // phonesim's options
        QTest::addColumn<QString>("link"); // tarvel-cli's
        QTest::addColumn<QString>("model");
        QTest::addColumn<QString>("left"); // the phone's last mode change: PLAIN-START when it stays in OBEX mode
        const QString m55 = QStringLiteral("M55");
        QTest::newRow("plain OBEX, OK to +++") << QStringList() << QString() << m55 << "PLAIN-END";
        QTest::newRow("BFB") << QStringList() << "--link bfb" << m55 << "BFB-END";
        QTest::newRow("plain OBEX, no answer to +++") << words("--model S65") << QString() << "S65"
                                                      << "PLAIN-END";
        // A DCA-540 cable cannot take the phone out of plain OBEX: no "+++" that could leave it
        // deaf (phonesim counts one as a fault), and each next run finds it by the ABORT.
        QTest::newRow("USB cable") << words("--interface usb") << QString() << m55 << "PLAIN-START";
    }

    // Commands as a script runs them, with no pause between: each is answered while the one
    // before may still be leaving the phone, waits for it, knows the model, and every one
    // leaves the phone in AT mode (the guard second after "+++" kept before the port closes,
    // also for an x65 that answers nothing to it), or says that it stays in OBEX mode.
    void oneShotsInARow()
    {
        QFETCH(QStringList, phone);
        QFETCH(QString, link);
        QFETCH(QString, model);
        QFETCH(QString, left);
        const bool stays = left == u"PLAIN-START";
        Case c;
        QVERIFY(c.sim.start(c.flash(), phone));
        constexpr int Runs = 10;
        for (int i = 0; i < Runs; ++i) {
            const ProcessResult run = runCli(words(QStringLiteral("--device %1 %2 info").arg(c.sim.device, link)));
            QVERIFY2(run.err.isEmpty() && run.exitCode == 0, qPrintable(run.err));
            if (i == 0 || !stays)
                QVERIFY2(run.out.startsWith(QStringLiteral("model: Siemens ") + model + u'\n'), qPrintable(run.out));
            QCOMPARE(run.out.contains("interface: USB cable\n"), stays && i == 0);
            QCOMPARE(run.out.contains("stays in OBEX mode until it is switched off"), stays);
        }
        QVERIFY(c.sim.lineFree());
        QCOMPARE(c.sim.logLines(left).size(), stays ? 1 : Runs);
        QCOMPARE(c.sim.logLines("ABORT").size(), stays ? Runs - 1 : 0);
        QCOMPARE(c.sim.logLines("ESCAPE-LOST") + c.sim.logLines("FAULT"), QStringList());
        QCOMPARE(lastModeChange(c.sim), left);
    }

    // A port held by a program that is not leaving the phone is in use at once: no wait.
    void portHeldByAnotherProgram()
    {
        Case c;
        QVERIFY(c.sim.start(c.flash()));
        const int held = ::open(QFile::encodeName(c.sim.device).constData(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        QVERIFY(held >= 0);
        QCOMPARE(::flock(held, LOCK_EX | LOCK_NB), 0);
        QElapsedTimer clock;
        clock.start();
        const ProcessResult run = runCli(words(QStringLiteral("--device %1 ls").arg(c.sim.device)));
        const qint64 elapsed = clock.elapsed();
        ::close(held);
        QCOMPARE(run.exitCode, 3);
        QCOMPARE(run.err,
                 QStringLiteral("tarvel-cli: cannot open the serial port %1: in use by another program\n")
                     .arg(c.sim.device));
        // Far below the 10 s a leaver is waited for.
        QVERIFY2(elapsed < 5000, qPrintable(QString::number(elapsed)));
    }

    void verifiedOnANoisyLine_data()
    {
        QTest::addColumn<QString>("name");
        for (const auto &[name, c] : cases) {
            if (name.startsWith(u"noisy"))
                QTest::newRow(qPrintable(name)) << name;
        }
    }

    // Exact with status 0, or failed with nothing wrong under the name on either side:
    // the PC keeps its own file, the phone its old one.
    void verifiedOnANoisyLine()
    {
        QFETCH(QString, name);
        const Case &c = *cases.at(name);
        const bool get = name.startsWith(u"noisyGet");
        QVERIFY2(!c.sim.logLines("FAULT noise").isEmpty(), "the noise never hit");
        const QByteArray pc = readFile(c.pc("n.bin"));
        const QByteArray phone = readFile(c.flash("Bitmap/n.bin"));
        const QString note = QStringLiteral("note: the line to the phone is noisy");
        if (c.result.exitCode == 0) {
            QVERIFY2(c.result.err.isEmpty() || (c.result.err.count(u'\n') == 1 && c.result.err.contains(note)),
                     qPrintable(c.result.err));
            QVERIFY(pc == (get ? noisyOld : noisyNew));
            QVERIFY(phone == pc);
        } else {
            QVERIFY2(c.result.err.contains("did not read") || c.result.exitCode == 3, qPrintable(c.result.err));
            QVERIFY(pc == noisyNew);
            QVERIFY(phone == noisyOld || (!get && phone == noisyNew));
        }
        QVERIFY(c.result.err.count(note) <= 1);
        // No working copy on the PC outlives the run.
        QCOMPARE(pcEntries(c), QStringList{"n.bin"});
    }

    void badInput_data()
    {
        QTest::addColumn<QString>("arguments"); // DIR stands for the folder of the PC's files
        QTest::addColumn<QString>("port1"); // what ~/.config/tarvel/ports/com1 points to; SELF for itself
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("message");

        const QString usage = QStringLiteral("tarvel-cli --help");
        const QString none;
        const QString dev = QStringLiteral("--device /dev/null ");
        QTest::newRow("no command") << dev << none << 2 << usage;
        QTest::newRow("port and device") << "--port 1 --device /dev/null ls" << none << 2 << usage;
        QTest::newRow("unknown command") << dev + "frob" << none << 2 << usage;
        QTest::newRow("unknown option") << dev + "--frob ls" << none << 2 << "tarvel-cli: unknown option 'frob'\n";
        QTest::newRow("remove the root") << dev + "rm /" << none << 2 << usage;
        QTest::newRow("unknown link mode") << dev + "--link serial ls" << none << 2 << "--link takes auto, obex or bfb";
        QTest::newRow("230400 in BFB mode") << dev + "--link bfb --speed 230400 ls" << none << 2 << "plain OBEX only";

        QTest::newRow("over 150 kB without --yes") << dev + "put DIR/big.bin" << none << 1 << "--yes";
        QTest::newRow("name outside Windows-1251") << dev + "put DIR/日本.txt" << none << 1 << "Windows-1251";
        QTest::newRow("source below a file") << dev + "put DIR/a-file/below" << none << 1 << "cannot find the file";
        QTest::newRow("folder as source") << dev + "put DIR" << none << 1 << "is a folder; put -r copies a folder";
        // Neither waits for a writer or sends an empty file.
        QTest::newRow("FIFO as source") << dev + "put DIR/fifo" << none << 1 << "is a FIFO (named pipe), not a file";
        QTest::newRow("device as source") << dev + "put /dev/zero" << none << 1 << "is a device, not a file";
        // The staged copy (three bytes more per 497) must stay below 16 MiB.
        QTest::newRow("larger than the phone takes")
            << dev + "--yes put DIR/sixteen.bin" << none << 1 << "too large for the phone: at most 16676550 bytes";
        QTest::newRow("long folder name") << dev + "mkdir " + QString(123, u'm') << none << 1 << "at most 122";
        QTest::newRow("parent folder") << dev + "get ../etc/passwd" << none << 1 << "not allowed";
        // Why the writer cannot open a file: tst_localfiles.
        QTest::newRow("destination a folder") << dev + "get x.bin DIR/sub" << none << 1 << "cannot write";
        QTest::newRow("unwritable trace")
            << "--device DIR/no-port --trace DIR/missing/t.trace ls" << none << 1 << "cannot write the trace";

        const QString byPort = QStringLiteral("--port 1 ls");
        QTest::newRow("port link to a file") << byPort << "DIR/a-file" << 3 << "not a serial device";
        QTest::newRow("port link to a folder") << byPort << "DIR" << 3 << "it is a directory, not a serial port";
        QTest::newRow("port link to nothing") << byPort << "/dev/tarvel-unplugged" << 3 << "no such device";
        QTest::newRow("port link to itself") << byPort << "SELF" << 3 << "cannot open the serial port";
        QTest::newRow("empty device") << "--device EMPTY ls" << none << 2 << "--device needs a path";
        // Names the tool could not fetch back are not sent.
        QTest::newRow("long upload name") << dev + "put DIR/" + QString(124, u'n') << none << 1
                                          << "the file name is too long: at most 123 characters";
        QTest::newRow("long name to move to") << dev + "mv a.txt " + QString(124, u'm') << none << 1 << "at most 123";
        QTest::newRow("control characters")
            << dev + "put DIR/tab\tline\nend" << none << 1 << "cannot find the file DIR/tab\\tline\\nend\n";
        QTest::newRow("name not UTF-8 in a batch file")
            << dev + "-b DIR/batch" << none << 2 << "tarvel-cli: DIR/batch, line 2: put \\xFE.bin: not valid UTF-8";
        QTest::newRow("dry run of ls") << dev + "ls --dry-run" << none << 2 << "--dry-run is an option of backup only";
    }

    void badInput()
    {
        QFETCH(QString, arguments);
        QFETCH(QString, port1);
        QFETCH(int, exitCode);
        QFETCH(QString, message);

        const QString ports =
            QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) + QStringLiteral("/tarvel/ports");
        const QString link = ports + QStringLiteral("/com1");
        QFile::remove(link);
        if (!port1.isEmpty()) {
            QVERIFY(QDir().mkpath(ports));
            QVERIFY(QFile::link(port1 == u"SELF" ? link : port1.replace(QStringLiteral("DIR"), scratch.path()), link));
        }
        const auto listing = [this] {
            QStringList entries;
            QDirIterator it(scratch.path(), QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot,
                            QDirIterator::Subdirectories);
            while (it.hasNext())
                entries << it.next() + u' ' + QString::number(it.fileInfo().size());
            entries.sort();
            return entries;
        };
        const QStringList before = listing();

        QStringList argumentWords = words(arguments.replace(QStringLiteral("DIR"), scratch.path()));
        argumentWords.replaceInStrings(QStringLiteral("EMPTY"), QString());
        const ProcessResult result = runCli(argumentWords);
        QFile::remove(link);
        QCOMPARE(result.exitCode, exitCode);
        QVERIFY2(result.err.contains(message.replace(QStringLiteral("DIR"), scratch.path())), qPrintable(result.err));
        QCOMPARE(listing(), before);
        QCOMPARE(readFile(scratch.filePath("a-file")), QByteArray("keep"));
    }

    void bothModes_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("link");
        QTest::addColumn<QString>("packet");
        for (const ModePhone &mode : ModePhones)
            QTest::newRow(mode.name) << mode.name << mode.link << mode.packet;
    }

    // Byte-exact both ways in either mode, with the mode and the phone's figures in info.
    void bothModes()
    {
        QFETCH(QString, name);
        QFETCH(QString, link);
        QFETCH(QString, packet);
        const Case &c = *cases.at(name);
        QVERIFY2(c.result.exitCode == 0, qPrintable(c.result.err));
        QCOMPARE(c.sim.logLines("CONNECT").size(), 1);
        QCOMPARE(c.sim.logLines("PLAIN-START").isEmpty(), link.startsWith(u"BFB"));
        // The port followed the phone for the whole session.
        const QStringList log = c.sim.logLines();
        QVERIFY(
            startingWith(log.mid(0, log.indexOf(QStringLiteral("CLOSE"))), QStringLiteral("RATE-MISMATCH")).isEmpty());
        const std::map<QString, QByteArray> tree = {{"large.bin", large}, {"Sub", "/"}, {"Sub/b.txt", "bee"}};
        QCOMPARE(fileTree(c.pc("copy/Tree")), tree);
        QCOMPARE(fileTree(c.flash("New/Tree")), (std::map<QString, QByteArray>{{"large.bin", large}, {"Sub", "/"}}));
        QCOMPARE(fileTree(c.pc("store/Tree")), tree);
        QCOMPARE(readFile(c.pc("store/New/Tree/large.bin")), large);
        const QStringList out = c.result.out.split(u'\n', Qt::SkipEmptyParts);
        QCOMPARE(out.mid(out.size() - 2),
                 (QStringList{QStringLiteral("link: ") + link, QStringLiteral("max packet: ") + packet}));
        // --verify on a clean line: get -r and the backup of both trees read each file twice,
        // the upload is read back once under its hidden name.
        if (c.arguments.contains("--verify")) {
            const QStringList gets = c.sim.logLines("GET name=");
            QCOMPARE(gets.count("GET name=large.bin"), qsizetype(6));
            QCOMPARE(gets.count("GET name=.~new~large.bin"), qsizetype(1));
        }
    }

private:
    Case &add(const QString &name, const QString &arguments, const QString &phoneOptions = {});
    std::map<QString, std::unique_ptr<Case>> cases;
    QByteArray picture = randomBytes(5000, 11);
    QByteArray large = randomBytes(30000, 12);
    QByteArray over150k = randomBytes(152677, 3);
    QByteArray noisyOld = randomBytes(20000, 41);
    QByteArray noisyNew = randomBytes(20000, 42);
    QProcess fifoReader;
    QTemporaryDir scratch; // the PC side of the bad input
};

Case &Cli::add(const QString &name, const QString &arguments, const QString &phoneOptions)
{
    std::unique_ptr<Case> &c = cases[name];
    c = std::make_unique<Case>();
    c->arguments = words(arguments);
    c->phoneOptions = words(phoneOptions);
    return *c;
}

QTEST_GUILESS_MAIN(Cli)
#include "tst_cli.moc"
