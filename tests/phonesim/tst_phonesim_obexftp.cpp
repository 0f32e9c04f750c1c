// Interoperability with Debian's obexftp client over the BFB cable transport: every
// command it has, in one session.

#include "cp1251.h"
#include "testprocess.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

namespace {

const QString obexftp = QStringLiteral("/usr/bin/obexftp");

// "folder NAME" or "file NAME SIZE" for every entry of a listing, sorted.
QList<QByteArray> listingEntries(const QByteArray &xml)
{
    static const QRegularExpression entry(QStringLiteral("<(folder|file) name=\"([^\"]*)\"(?: size=\"(\\d+)\")?"));
    QList<QByteArray> entries;
    // Latin-1 keeps every Windows-1251 byte as one character.
    for (const QRegularExpressionMatch &match : entry.globalMatch(QString::fromLatin1(xml)))
        entries << match.capturedTexts().mid(1).join(u' ').toLatin1();
    std::sort(entries.begin(), entries.end());
    return entries;
}

QList<QByteArray> hostEntries(const QString &folder)
{
    QList<QByteArray> entries;
    const QDir dir(folder);
    for (const QFileInfo &info : dir.entryInfoList(QDir::Dirs | QDir::NoDotAndDotDot))
        entries << "folder " + *Cp1251::encode(info.fileName());
    for (const QFileInfo &info : dir.entryInfoList(QDir::Files))
        entries << "file " + *Cp1251::encode(info.fileName()) + ' ' + QByteArray::number(info.size());
    std::sort(entries.begin(), entries.end());
    return entries;
}

struct ObexftpRun
{
    QByteArray out;
    QByteArray err;
};

ObexftpRun runObexftp(const QString &device, const QString &workDir, const QStringList &commands)
{
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("LC_ALL"), QStringLiteral("C.UTF-8"));
    process.setProcessEnvironment(environment);
    process.setWorkingDirectory(workDir);
    process.start(obexftp, QStringList{"-t", device, "-U", "S45"} + commands);
    if (!process.waitForFinished(60000))
        process.kill();
    process.waitForFinished();
    return {process.readAllStandardOutput(), process.readAllStandardError()};
}

} // namespace

class PhonesimObexftpTest : public QObject
{
    Q_OBJECT

private slots:
    void oneSessionOfEveryCommand()
    {
        if (!QFileInfo(obexftp).isExecutable())
            QSKIP("obexftp is not installed");
        QTemporaryDir dir; // the phone's log goes beside its folder
        QTemporaryDir work;
        const QString flash = dir.filePath(QStringLiteral("flash"));
        const auto phone = [&flash](const QString &path) { return flash + u'/' + path; };
        QVERIFY(writeFile(phone(QStringLiteral("Ringing tone/Мелодия.mid")), "MThd"));
        QVERIFY(writeFile(phone(QStringLiteral("top.txt")), "top"));
        for (int i = 0; i < 30; ++i)
            QVERIFY(writeFile(phone(QStringLiteral("Sub/file%1.txt").arg(i)), QByteArray(i, 'x')));
        const QByteArray big = randomBytes(20000, 1);
        QVERIFY(writeFile(phone(QStringLiteral("Sub/big.bin")), big));
        QVERIFY(writeFile(phone(QStringLiteral("Sub/Заметка.txt")), "Купить хлеб\r\n"));
        QVERIFY(writeFile(phone(QStringLiteral("Sub/gone.txt")), QByteArray(1000, 'g')));
        QVERIFY(writeFile(phone(QStringLiteral("Sub/Full/stays.txt")), QByteArray(234, 's')));
        QVERIFY(QDir(flash).mkpath(QStringLiteral("Sub/Empty")));
        const QByteArray upload = randomBytes(7777, 2).toBase64();
        QVERIFY(writeFile(work.filePath(QStringLiteral("local.bin")), upload));
        QVERIFY(writeFile(work.filePath(QStringLiteral("Тест.txt")), "привет"));
        const QList<QByteArray> rootEntries = hostEntries(flash);
        const QList<QByteArray> subEntries = hostEntries(phone(QStringLiteral("Sub")));

        // obexftp 0.24 reads each response with one read of at most 500 bytes: the
        // phone's packets stay below that.
        PhoneSim sim;
        QVERIFY(sim.start(flash, {QStringLiteral("--packet"), QStringLiteral("440")}));
        const ObexftpRun run =
            runObexftp(sim.device, work.path(),
                       {"-l", "/",         "-c", "Sub",      "-l", "",         "-g", "big.bin", "-g", "Заметка.txt",
                        "-p", "local.bin", "-p", "Тест.txt", "-k", "gone.txt", "-k", "Empty",   "-k", "Full"});
        // obexftp's exit code is not a verdict (255 after a good listing); its messages are.
        QVERIFY2(!QByteArray(run.err).replace("failed: Full", "").contains("failed"), run.err.constData());
        const ObexftpRun info = runObexftp(sim.device, work.path(), {"-C", "Новая", "-x"});
        const qsizetype second = run.out.indexOf("<?xml", 1);
        QVERIFY(run.out.startsWith("<?xml") && second > 0);
        QCOMPARE(listingEntries(run.out.left(second)), rootEntries);
        QCOMPARE(listingEntries(run.out.mid(second)), subEntries);
        QVERIFY(sim.logLines(QStringLiteral("CONTINUE")).size() >= 2); // the Sub listing took several packets

        QCOMPARE(readFile(work.filePath(QStringLiteral("big.bin"))), big);
        QCOMPARE(readFile(work.filePath(QStringLiteral("Заметка.txt"))), QByteArray("Купить хлеб\r\n"));
        QCOMPARE(readFile(phone(QStringLiteral("Sub/local.bin"))), upload);
        QCOMPARE(readFile(phone(QStringLiteral("Sub/Тест.txt"))), QByteArray("привет"));
        QVERIFY(!QFileInfo::exists(phone(QStringLiteral("Sub/gone.txt"))));
        QVERIFY(!QFileInfo::exists(phone(QStringLiteral("Sub/Empty"))));
        QVERIFY(QFileInfo::exists(phone(QStringLiteral("Sub/Full/stays.txt"))));
        QVERIFY(sim.log().contains(QStringLiteral("DELETE name=Full\nRSP code=C3")));
        QVERIFY(QFileInfo(phone(QStringLiteral("Новая"))).isDir());
        // obexftp prints the total and the free memory it reads.
        qint64 used = 0;
        for (QDirIterator files(flash, QDir::Files, QDirIterator::Subdirectories); files.hasNext();)
            used += QFileInfo(files.next()).size();
        const QString report = QString::fromUtf8(info.out + info.err);
        QVERIFY2(report.contains(QStringLiteral("Got info 1572864")), qPrintable(report));
        QVERIFY2(report.contains(QStringLiteral("Got info %1").arg(1572864 - used)), qPrintable(report));
    }
};

QTEST_GUILESS_MAIN(PhonesimObexftpTest)
#include "tst_phonesim_obexftp.moc"
