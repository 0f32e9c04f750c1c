// The emulated phone's own rules that the program's round trips do not reach: its
// command line, names that would leave the served folder, and requests it refuses or
// that are broken off, which must leave nothing behind.

#include "phonetestclient.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QTest>

class PhonesimProtocolTest : public QObject
{
    Q_OBJECT

private slots:
    void commandLineAndLink();
    void namesStayInsideTheRoot();
    void refusedAndBrokenOffRequestsLeaveNothing();
};

void PhonesimProtocolTest::commandLineAndLink()
{
    QProcess bad;
    bad.start(tarvelBinary(QStringLiteral("phonesim")), {QStringLiteral("--fault-on"), QStringLiteral("nonsense")});
    QVERIFY(bad.waitForFinished(5000));
    QCOMPARE(bad.exitCode(), 2);

    // The link points at the device while the phone runs and is gone after SIGTERM.
    QTemporaryDir dir;
    const QString link = dir.filePath(QStringLiteral("phone"));
    PhoneSimProcess sim;
    QVERIFY(sim.start(dir.path(), {QStringLiteral("--link"), link}));
    QCOMPARE(QFileInfo(link).symLinkTarget(), sim.device);
    PhoneLine line;
    QVERIFY(line.open(link));
    QVERIFY(line.at("AT").contains("OK"));
    line.close();
    QCOMPARE(sim.stop(), 0);
    QVERIFY(!QFileInfo::exists(link) && !QFileInfo(link).isSymLink());
}

void PhonesimProtocolTest::namesStayInsideTheRoot()
{
    SimSession s;
    QTemporaryDir outside;
    QVERIFY(writeFile(outside.filePath(QStringLiteral("secret.txt")), "secret"));
    QVERIFY(QFile::link(outside.path(), s.path(QStringLiteral("escape"))));
    QVERIFY(s.start());
    QCOMPARE(code(s.line.setPath(0x02, QStringLiteral(".."))), 0xC0);
    QCOMPARE(code(s.line.setPath(0x00, QStringLiteral("a/b"))), 0xC0);
    for (const QString &name : {QStringLiteral("../secret.txt"), QStringLiteral("..\\x")})
        QCOMPARE(code(s.line.request(PhoneLine::packet(0x83, PhoneLine::nameHeader(name)))), 0xC0);
    const QByteArray withNul = PhoneLine::header(0x01, QByteArray::fromHex("006100000062") + QByteArray(2, '\0'));
    QCOMPARE(code(s.line.request(PhoneLine::packet(0x83, withNul))), 0xC0);
    // A symbolic link is not part of the phone: not listed, not entered.
    QVERIFY(!s.line.listing().contains("escape"));
    QCOMPARE(code(s.line.setPath(0x02, QStringLiteral("escape"))), 0xC4);
    QCOMPARE(code(s.line.uploadLikeProgram(QStringLiteral(".."), "x")), 0xC0);
    QCOMPARE(code(s.line.remove(QStringLiteral("."))), 0xC0);
    QCOMPARE(QDir(outside.path()).entryList(QDir::Files), QStringList{QStringLiteral("secret.txt")});
}

void PhonesimProtocolTest::refusedAndBrokenOffRequestsLeaveNothing()
{
    SimSession s;
    QVERIFY(writeFile(s.path(QStringLiteral("keep.txt")), "old content"));
    QVERIFY(writeFile(s.path(QStringLiteral("Full/inside.txt")), "i"));
    QVERIFY(s.start({QStringLiteral("--memory"), QStringLiteral("2000")}));
    const auto files = [&s] { return QDir(s.root.path()).entryList(QDir::Files | QDir::Hidden); };
    // More than the free memory.
    QCOMPARE(code(s.line.uploadLikeProgram(QStringLiteral("big.bin"), QByteArray(2000, 'x'))), 0xE0);
    // A Name with application parameters is no delete: SieFS sets attributes that way.
    const QByteArray attributes = PhoneLine::header(0x4C, QByteArray::fromHex("3803") + "\"R\"");
    QCOMPARE(
        code(s.line.request(PhoneLine::packet(0x82, PhoneLine::nameHeader(QStringLiteral("keep.txt")) + attributes))),
        0xD1);
    QCOMPARE(files(), QStringList{QStringLiteral("keep.txt")});

    // An upload broken off by an ABORT or by the client going away: the file that was
    // there stays as it was, and no part of the new one is left.
    const QByteArray first = PhoneLine::nameHeader(QStringLiteral("keep.txt")) + PhoneLine::lengthHeader(1006)
        + PhoneLine::header(0x48, QByteArray(497, 'n')) + QByteArray(3, '\0');
    for (const bool abort : {true, false}) {
        QCOMPARE(s.line.request(PhoneLine::packet(0x02, first)), QByteArray::fromHex("900003"));
        QCOMPARE(files().size(), 2); // with the hidden part
        if (abort) {
            QCOMPARE(s.line.request(QByteArray::fromHex("FF0003")), QByteArray::fromHex("A00003"));
        } else {
            s.line.close();
            QVERIFY(s.sim.waitForLog(QStringLiteral("CLOSE")));
        }
        QTRY_COMPARE(files(), QStringList{QStringLiteral("keep.txt")});
    }
    QCOMPARE(readFile(s.path(QStringLiteral("keep.txt"))), QByteArray("old content"));
    QVERIFY(QFileInfo::exists(s.path(QStringLiteral("Full/inside.txt"))));
}

QTEST_GUILESS_MAIN(PhonesimProtocolTest)
#include "tst_phonesim_protocol.moc"
