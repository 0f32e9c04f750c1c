// Interoperability with Debian's obexftp client over the BFB cable transport.
//
// obexftp 0.24 reads each response with one read of at most 500 bytes and gives up when
// the whole response block is not in it, so the phone runs with --packet 440 here (its
// response frames then stay below 500 bytes) and without --baud pacing.

#include "phonetestclient.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QSet>
#include <QTest>

namespace {

const QString obexftp = QStringLiteral("/usr/bin/obexftp");

QByteArray pattern(int size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        bytes[i] = char((i * 7 + i / 251) & 0xFF);
    return bytes;
}

// "name" or "name size" for every entry of a listing, in the order given.
QList<QByteArray> listingEntries(const QByteArray &xml)
{
    static const QRegularExpression entry(QStringLiteral("<(folder|file) name=\"([^\"]*)\"(?: size=\"(\\d+)\")?"));
    QList<QByteArray> entries;
    // Latin-1 keeps every Windows-1251 byte as one character.
    auto it = entry.globalMatch(QString::fromLatin1(xml));
    while (it.hasNext()) {
        auto match = it.next();
        QByteArray text = match.captured(1).toLatin1() + ' ' + match.captured(2).toLatin1();
        if (match.hasCaptured(3))
            text += ' ' + match.captured(3).toLatin1();
        entries << text;
    }
    return entries;
}

QList<QByteArray> hostEntries(const QString &folder)
{
    QList<QByteArray> entries;
    const QDir dir(folder);
    for (const QFileInfo &info : dir.entryInfoList(QDir::Dirs | QDir::NoDotAndDotDot))
        entries << "folder " + toCp1251(info.fileName());
    for (const QFileInfo &info : dir.entryInfoList(QDir::Files))
        entries << "file " + toCp1251(info.fileName()) + ' ' + QByteArray::number(info.size());
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
    environment.insert(QStringLiteral("LANG"), QStringLiteral("C.UTF-8"));
    environment.insert(QStringLiteral("LC_ALL"), QStringLiteral("C.UTF-8"));
    process.setProcessEnvironment(environment);
    process.setWorkingDirectory(workDir);
    process.start(obexftp,
                  QStringList{QStringLiteral("-t"), device, QStringLiteral("-U"), QStringLiteral("S45")} + commands);
    ObexftpRun run;
    if (!process.waitForFinished(60000)) {
        process.kill();
        process.waitForFinished();
        return run;
    }
    run.out = process.readAllStandardOutput();
    run.err = process.readAllStandardError();
    return run;
}

struct Phone
{
    QTemporaryDir root;
    QTemporaryDir work;
    PhoneSimProcess sim;

    bool start() { return sim.start(root.path(), {QStringLiteral("--packet"), QStringLiteral("440")}); }
    QString path(const QString &relative) const { return root.filePath(relative); }
    ObexftpRun run(const QStringList &commands) const { return runObexftp(sim.device, work.path(), commands); }
};

} // namespace

class PhonesimObexftpTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void listings();
    void transfers();
    void foldersDeletesAndMemory();
};

void PhonesimObexftpTest::initTestCase()
{
    if (!QFileInfo(obexftp).isExecutable())
        QSKIP("obexftp is not installed");
}

void PhonesimObexftpTest::listings()
{
    Phone phone;
    QVERIFY(writeFile(phone.path(QStringLiteral("Bitmap/logo.bmp")), pattern(1234)));
    QVERIFY(writeFile(phone.path(QStringLiteral("Ringing tone/Мелодия.mid")), "MThd"));
    for (int i = 0; i < 30; ++i)
        QVERIFY(writeFile(phone.path(QStringLiteral("Sub/file%1.txt").arg(i)), QByteArray(i, 'x')));
    QVERIFY(writeFile(phone.path(QStringLiteral("top.txt")), "top"));
    QVERIFY(phone.start());

    const ObexftpRun run = phone.run({QStringLiteral("-l"), QStringLiteral("/"), QStringLiteral("-c"),
                                      QStringLiteral("Sub"), QStringLiteral("-l"), QString()});
    // obexftp's exit code is not a verdict (255 after a good listing); its messages are.
    QVERIFY2(!run.err.contains("failed"), run.err.constData());
    const qsizetype second = run.out.indexOf("<?xml", 1);
    QVERIFY(run.out.startsWith("<?xml") && second > 0);
    QList<QByteArray> root = listingEntries(run.out.left(second));
    QList<QByteArray> sub = listingEntries(run.out.mid(second));
    std::sort(root.begin(), root.end());
    std::sort(sub.begin(), sub.end());
    QCOMPARE(root, hostEntries(phone.root.path()));
    QCOMPARE(sub, hostEntries(phone.path(QStringLiteral("Sub"))));
    // The Sub listing is long enough for several response packets.
    QVERIFY(phone.sim.logLines(QStringLiteral("CONTINUE")).size() >= 2);
}

void PhonesimObexftpTest::transfers()
{
    Phone phone;
    const QByteArray big = pattern(20000);
    QVERIFY(writeFile(phone.path(QStringLiteral("Sub/big.bin")), big));
    QVERIFY(writeFile(phone.path(QStringLiteral("Sub/Заметка.txt")), "Купить хлеб\r\n"));
    const QByteArray upload = pattern(7777).toBase64();
    QVERIFY(writeFile(phone.work.filePath(QStringLiteral("local.bin")), upload));
    QVERIFY(writeFile(phone.work.filePath(QStringLiteral("Тест.txt")), "привет"));
    QVERIFY(writeFile(phone.work.filePath(QStringLiteral("empty.txt")), {}));
    QVERIFY(phone.start());

    const ObexftpRun run =
        phone.run({QStringLiteral("-c"), QStringLiteral("Sub"), QStringLiteral("-g"), QStringLiteral("big.bin"),
                   QStringLiteral("-g"), QStringLiteral("Заметка.txt"), QStringLiteral("-p"),
                   QStringLiteral("local.bin"), QStringLiteral("-p"), QStringLiteral("Тест.txt")});
    QVERIFY2(!run.err.contains("failed"), run.err.constData());
    QCOMPARE(readFile(phone.work.filePath(QStringLiteral("big.bin"))), big);
    QCOMPARE(readFile(phone.work.filePath(QStringLiteral("Заметка.txt"))), QByteArray("Купить хлеб\r\n"));
    QCOMPARE(readFile(phone.path(QStringLiteral("Sub/local.bin"))), upload);
    QCOMPARE(readFile(phone.path(QStringLiteral("Sub/Тест.txt"))), QByteArray("привет"));
    QVERIFY(phone.sim.log().contains(QStringLiteral("GET name=Заметка.txt\n")));
    QCOMPARE(phone.sim.logLines(QStringLiteral("PUT name=Тест.txt")).size(), 1);
    QCOMPARE(QDir(phone.path(QStringLiteral("Sub"))).entryList(QDir::Files | QDir::Hidden).size(), 4);
}

void PhonesimObexftpTest::foldersDeletesAndMemory()
{
    Phone phone;
    QVERIFY(writeFile(phone.path(QStringLiteral("Sub/gone.txt")), QByteArray(1000, 'g')));
    QVERIFY(writeFile(phone.path(QStringLiteral("Sub/Full/stays.txt")), QByteArray(234, 's')));
    QVERIFY(QDir(phone.root.path()).mkpath(QStringLiteral("Sub/Empty")));
    QVERIFY(phone.start());

    ObexftpRun run =
        phone.run({QStringLiteral("-c"), QStringLiteral("Sub"), QStringLiteral("-k"), QStringLiteral("gone.txt"),
                   QStringLiteral("-k"), QStringLiteral("Empty"), QStringLiteral("-k"), QStringLiteral("Full")});
    QVERIFY(!QFileInfo::exists(phone.path(QStringLiteral("Sub/gone.txt"))));
    QVERIFY(!QFileInfo::exists(phone.path(QStringLiteral("Sub/Empty"))));
    QVERIFY(QFileInfo::exists(phone.path(QStringLiteral("Sub/Full/stays.txt"))));
    QVERIFY(phone.sim.log().contains(QStringLiteral("DELETE name=Full\nRSP code=C3")));

    run = phone.run({QStringLiteral("-C"), QStringLiteral("Новая"), QStringLiteral("-x")});
    QVERIFY(QFileInfo(phone.path(QStringLiteral("Новая"))).isDir());
    // obexftp prints the total and the free memory it reads.
    const QString report = QString::fromUtf8(run.out + run.err);
    QVERIFY2(report.contains(QStringLiteral("Got info 1572864")), qPrintable(report));
    QVERIFY2(report.contains(QStringLiteral("Got info %1").arg(1572864 - 234)), qPrintable(report));
}

QTEST_GUILESS_MAIN(PhonesimObexftpTest)
#include "tst_phonesim_obexftp.moc"
