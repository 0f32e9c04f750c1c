// The emulated phone as a phone on a real cable, where the program's own round trips
// do not reach: faults aimed at one exchange, line noise that repeats from the seed,
// the move command and speed frames.

#include "phonetestclient.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QTest>
#include <QThread>

namespace {

QByteArray getPacket(const QString &name)
{
    return PhoneLine::packet(0x83, PhoneLine::nameHeader(name));
}

QByteArray speedFrame(const QByteArray &digits, const char *check)
{
    return PhoneLine::frame(0x01, QByteArray(1, char(0xC0)) + digits + QByteArray::fromHex(check));
}

} // namespace

class PhonesimLinkTest : public QObject
{
    Q_OBJECT

private slots:
    void faultOnOneExchange();
    void noiseFromTheSeed_data();
    void noiseFromTheSeed();
    void moveCommand_data();
    void moveCommand();
    void speedFrames_data();
    void speedFrames();
};

// A withheld acknowledgement, a wrong CRC and a held-back byte, each on the exchange chosen.
void PhonesimLinkTest::faultOnOneExchange()
{
    {
        SimSession s;
        QVERIFY(s.start({"--fault-on", "setpath", "--no-ack"}));
        s.line.sendPacket(PhoneLine::packet(0x85, QByteArray::fromHex("0200")));
        QCOMPARE(s.line.readReply().packet, QByteArray::fromHex("A00003")); // in place of the acknowledgement
        s.line.sendAck();
        QCOMPARE(code(s.line.setPath(0x02, std::nullopt)), 0xA0); // the next one is acknowledged again
    }
    {
        SimSession s;
        QVERIFY(writeFile(s.path(QStringLiteral("x.txt")), "x"));
        QVERIFY(s.start({"--fault-on", "get", "--bad-crc"}));
        s.line.sendPacket(getPacket(QStringLiteral("x.txt")));
        QCOMPARE(s.line.readReply().kind, PhoneLine::ReplyKind::Ack);
        const PhoneLine::Reply damaged = s.line.readReply();
        QVERIFY(damaged.kind == PhoneLine::ReplyKind::Block && !damaged.crcOk);
        QCOMPARE(damaged.packet.right(1), QByteArray("x"));
        s.line.sendAck();
        QCOMPARE(s.line.getFile(QStringLiteral("x.txt")), QByteArray("x"));
    }
    {
        SimSession s;
        QVERIFY(s.start({"--fault-on", "memory", "--delay-byte", "7:400"}));
        QElapsedTimer timer;
        timer.start();
        s.line.sendPacket(QByteArray::fromHex("8300094C0006320101"));
        QCOMPARE(s.line.readBytes(7, 300).size(), 7);
        const qint64 early = timer.elapsed();
        QCOMPARE(s.line.readBytes(1, 2000).size(), 1);
        QVERIFY2(timer.elapsed() - early >= 250, qPrintable(QString::number(timer.elapsed() - early)));
    }
}

void PhonesimLinkTest::noiseFromTheSeed_data()
{
    QTest::addColumn<QString>("option");
    QTest::addColumn<int>("bytes"); // that the noisy direction carries
    // 200 AT command lines: 4 bytes each from the computer, 9 back (echo, OK).
    QTest::newRow("computer to phone") << QStringLiteral("--noise-rx") << 800;
    QTest::newRow("phone to computer") << QStringLiteral("--noise-tx") << 1800;
}

void PhonesimLinkTest::noiseFromTheSeed()
{
    QFETCH(QString, option);
    QFETCH(int, bytes);
    const double rate = 0.005;
    auto flips = [&](const QString &seed) {
        SimSession s;
        if (!s.start({option, QString::number(rate), QStringLiteral("--seed"), seed}, false))
            return QStringList{QStringLiteral("no phone")};
        s.line.write(QByteArray("at\r\n").repeated(200));
        s.line.readQuiet(300, 10000);
        return s.sim.logLines(QStringLiteral("FAULT"));
    };
    const QStringList first = flips(QStringLiteral("5"));
    QCOMPARE(flips(QStringLiteral("5")), first);
    QVERIFY(flips(QStringLiteral("6")) != first);
    const QString prefix = QStringLiteral("FAULT noise-%1 byte=").arg(option.right(2));
    for (const QString &line : first) {
        QVERIFY2(line.startsWith(prefix), qPrintable(line));
        QVERIFY(line.section(u'=', 1, 1).section(u' ', 0, 0).toInt() < bytes);
    }
    const double expected = rate * 8 * bytes, flipped = double(first.size());
    QVERIFY2(flipped > expected / 2 && flipped < expected * 2, qPrintable(QString::number(flipped)));
}

void PhonesimLinkTest::moveCommand_data()
{
    QTest::addColumn<QString>("from");
    QTest::addColumn<QString>("to");
    QTest::addColumn<int>("expected");
    QTest::addColumn<QStringList>("present"); // afterwards; the first one holds the content
    QTest::addColumn<QStringList>("absent");
    QTest::addColumn<QByteArray>("content");
    QTest::newRow("rename into a new folder")
        << "/a.txt"
        << "/Sub/Deep/z.txt" << 0xA0 << QStringList{"Sub/Deep/z.txt"} << QStringList{"a.txt"} << QByteArray("a");
    QTest::newRow("a folder, Cyrillic") << "/Sub"
                                        << "/Фото/Sub" << 0xA0 << QStringList{"Фото/Sub/b.txt", "Фото/Sub/Deep/c.txt"}
                                        << QStringList{"Sub"} << QByteArray("b");
    QTest::newRow("missing source") << "/none.txt"
                                    << "/z.txt" << 0xC4 << QStringList{"a.txt"} << QStringList{"z.txt"}
                                    << QByteArray("a");
    QTest::newRow("destination exists") << "/a.txt"
                                        << "/Sub/b.txt" << 0xCC << QStringList{"Sub/b.txt", "a.txt"} << QStringList()
                                        << QByteArray("b");
    QTest::newRow("folder into itself") << "/Sub"
                                        << "/Sub/Deep/Sub" << 0xC3 << QStringList{"Sub/b.txt"}
                                        << QStringList{"Sub/Deep/Sub"} << QByteArray("b");
    QTest::newRow("not from the root") << "a.txt"
                                       << "/z.txt" << 0xC0 << QStringList{"a.txt"} << QStringList{"z.txt"}
                                       << QByteArray("a");
    QTest::newRow("out of the root") << "/a.txt"
                                     << "/../z.txt" << 0xC0 << QStringList{"a.txt"} << QStringList() << QByteArray("a");
}

void PhonesimLinkTest::moveCommand()
{
    QFETCH(QString, from);
    QFETCH(QString, to);
    QFETCH(int, expected);
    QFETCH(QStringList, present);
    QFETCH(QStringList, absent);
    QFETCH(QByteArray, content);
    SimSession s;
    QVERIFY(writeFile(s.path(QStringLiteral("a.txt")), "a"));
    QVERIFY(writeFile(s.path(QStringLiteral("Sub/b.txt")), "b"));
    QVERIFY(writeFile(s.path(QStringLiteral("Sub/Deep/c.txt")), "c"));
    QVERIFY(QDir(s.root.path()).mkpath(QStringLiteral("Фото")));
    QVERIFY(s.start());
    QCOMPARE(code(s.line.request(PhoneLine::movePacket(from, to))), expected);
    QCOMPARE(s.sim.logLines(QStringLiteral("MOVE")), QStringList{QStringLiteral("MOVE from=%1 to=%2").arg(from, to)});
    for (const QString &path : present)
        QVERIFY2(QFileInfo::exists(s.path(path)), qPrintable(path));
    for (const QString &path : absent)
        QVERIFY2(!QFileInfo::exists(s.path(path)), qPrintable(path));
    QCOMPARE(readFile(s.path(present.first())), content);
    QVERIFY(!QFileInfo::exists(QFileInfo(s.root.path()).dir().filePath(QStringLiteral("z.txt"))));
}

void PhonesimLinkTest::speedFrames_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QByteArray>("frame");
    QTest::addColumn<bool>("accepted"); // answered with the frame, its check byte set to CC
    QTest::addColumn<QString>("logged");
    const QByteArray f115200 = speedFrame("115200", "0DD22B");
    const QByteArray f57600 = speedFrame("57600", "CA89CF");
    QTest::newRow("115200 accepted") << QStringList() << f115200 << true << "SPEED 115200 accepted";
    QTest::newRow("19200 accepted") << QStringList() << speedFrame("19200", "CE4DCF") << true << "SPEED 19200 accepted";
    QTest::newRow("115200 refused") << QStringList{"--refuse-speed"} << f115200 << false << "SPEED 115200 refused";
    QTest::newRow("the program's 57600 by a refusing phone")
        << QStringList{"--refuse-speed"} << f57600 << true << "SPEED 57600 accepted";
    QTest::newRow("unknown rate") << QStringList() << speedFrame("9600", "CA89CF") << false
                                  << "SPEED refused: not a known speed frame";
    QTest::newRow("wrong check bytes") << QStringList() << speedFrame("115200", "0DD22C") << false
                                       << "SPEED refused: not a known speed frame";
}

void PhonesimLinkTest::speedFrames()
{
    QFETCH(QStringList, options);
    QFETCH(QByteArray, frame);
    QFETCH(bool, accepted);
    QFETCH(QString, logged);
    SimSession s;
    const QByteArray content = randomBytes(3000, 4);
    QVERIFY(writeFile(s.path(QStringLiteral("x.bin")), content));
    QVERIFY(s.start(options));
    s.line.write(frame);
    QByteArray answer = frame;
    if (accepted)
        answer[3] = char(0xCC);
    QCOMPARE(s.line.readBytes(int(answer.size())), answer);
    QVERIFY(s.sim.waitForLog(logged));
    const unsigned rate = accepted ? QString::fromLatin1(frame.mid(4, frame.size() - 7)).toUInt() : 57600;
    // The client follows an accepted rate; a mismatch would be logged.
    QThread::msleep(100);
    QVERIFY(s.line.setBaud(rate));
    QCOMPARE(s.line.getFile(QStringLiteral("x.bin")), content);
    QVERIFY(s.sim.logLines(QStringLiteral("RATE-MISMATCH")).isEmpty());
    QCOMPARE(s.sim.logLines(QStringLiteral("RATE")).size(), rate == 57600 ? 0 : 1);
    if (rate != 57600) {
        // Back to the cable's rate when the line is opened again.
        s.line.close();
        QVERIFY(s.sim.waitForLog(QStringLiteral("RATE 57600")));
    }
}

QTEST_GUILESS_MAIN(PhonesimLinkTest)
#include "tst_phonesim_link.moc"
