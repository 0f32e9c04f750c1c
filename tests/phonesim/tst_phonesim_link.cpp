// The emulated phone as a phone on a real cable: faults aimed at one exchange, line
// faults that a recovering client gets over and that repeat exactly from the seed,
// blocks cut without regard to their fields, the move command, speed frames, and byte
// traces that replay as a session.

#include "phonetestclient.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QRegularExpression>
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

// The bytes each party sent, in order, from a trace file.
struct TraceStreams
{
    QByteArray computer;
    QByteArray phone;
    int records = 0;
};

std::optional<TraceStreams> readTraceStreams(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    static const QRegularExpression record(QStringLiteral("^(PC|PHONE) \\d+((?: [0-9A-F]{2})+)$"));
    TraceStreams streams;
    const QList<QByteArray> lines = file.readAll().split('\n');
    if (!lines.value(0).startsWith('#'))
        return std::nullopt;
    for (const QByteArray &line : lines.mid(1)) {
        if (line.isEmpty())
            continue;
        const auto match = record.match(QString::fromLatin1(line));
        if (!match.hasMatch())
            return std::nullopt;
        (match.captured(1) == u"PC" ? streams.computer : streams.phone) +=
            QByteArray::fromHex(match.captured(2).toLatin1());
        ++streams.records;
    }
    return streams;
}

} // namespace

class PhonesimLinkTest : public QObject
{
    Q_OBJECT

private slots:
    void faultOnOneExchange();
    void lineFaultsRecovered_data();
    void lineFaultsRecovered();
    void noiseFromTheSeed_data();
    void noiseFromTheSeed();
    void blockCutting_data();
    void blockCutting();
    void moveCommand_data();
    void moveCommand();
    void speedFrames_data();
    void speedFrames();
    void traceAndReplay();
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

void PhonesimLinkTest::lineFaultsRecovered_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QString>("phoneSide"); // what the phone logs on its way back
    QTest::addColumn<QList<int>>("recovery"); // resends, bad blocks, repeats

    // Block 1 each way is the CONNECT and its answer; block 2 the GET and its response.
    QTest::newRow("client block lost") << QStringList{"--lose-rx-block", "2"} << "FAULT lose-rx-block block=2 seq=01"
                                       << "GET name=x.bin" << QList{1, 0, 0};
    QTest::newRow("client block hit") << QStringList{"--flip-rx", "2"} << "FAULT flip-rx block=2 seq=01 bit="
                                      << "BAD-CRC seq=01" << QList{1, 0, 0};
    QTest::newRow("phone's acknowledgement lost")
        << QStringList{"--lose-tx-ack", "2"} << "FAULT lose-tx-ack block=2 seq=01"
        << "REPEAT seq=01" << QList{1, 0, 0};
    QTest::newRow("phone block hit") << QStringList{"--flip-tx", "2"} << "FAULT flip-tx block=2 seq=01 bit="
                                     << "RESEND seq=01 try=1 block=3" << QList{0, 1, 0};
    QTest::newRow("client's acknowledgement lost")
        << QStringList{"--lose-rx-ack", "2"} << "FAULT lose-rx-ack block=2 seq=01"
        << "RESEND seq=01 try=1 block=3" << QList{0, 0, 1};
}

void PhonesimLinkTest::lineFaultsRecovered()
{
    QFETCH(QStringList, options);
    QFETCH(QString, fault);
    QFETCH(QString, phoneSide);
    QFETCH(QList<int>, recovery);
    const QByteArray content = randomBytes(100, 9);
    QStringList firstFaults;
    // A flipped bit is chosen from the seed: a second run must choose the same.
    for (int run = 0; run < (fault.endsWith(u"bit=") ? 2 : 1); ++run) {
        SimSession s;
        QVERIFY(writeFile(s.path(QStringLiteral("x.bin")), content));
        QVERIFY(s.start(options + QStringList{"--resend-after", "250", "--seed", "11"}));
        PhoneLine::Recovery done;
        const QByteArray response = s.line.recoveringRequest(getPacket(QStringLiteral("x.bin")), done, 350);
        QVERIFY2(code(response) == 0xA0, qPrintable(s.line.lastError));
        QCOMPARE(headerValue(response, 0x49).value_or(QByteArray()), content);
        s.line.acknowledgeRepeats(done, 700);
        QCOMPARE((QList{done.resends, done.badBlocks, done.repeats}), recovery);
        QVERIFY(s.sim.waitForLog(phoneSide));
        QCOMPARE(s.sim.logLines(QStringLiteral("GET name=x.bin")).size(), 1); // executed once
        const QStringList faults = s.sim.logLines(QStringLiteral("FAULT"));
        QCOMPARE(faults.size(), 1);
        QVERIFY2(faults.first().startsWith(fault), qPrintable(faults.first()));
        if (run == 0)
            firstFaults = faults;
        else
            QCOMPARE(faults, firstFaults);
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

void PhonesimLinkTest::blockCutting_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<int>("fileSize"); // the response block is 18 bytes longer
    QTest::addColumn<QList<int>>("frames");
    QTest::newRow("blind: last CRC byte alone") << QStringList{"--cut", "blind"} << 15 << QList<int>{32, 1};
    QTest::newRow("blind: both CRC bytes alone") << QStringList{"--cut", "blind"} << 16 << QList<int>{32, 2};
    QTest::newRow("blind: block header alone")
        << QStringList{"--cut", "blind", "--frame", "5"} << 2 << QList<int>{5, 5, 5, 5};
    QTest::newRow("crc-last: CRC kept together") << QStringList{"--cut", "crc-last"} << 15 << QList<int>{31, 2};
}

void PhonesimLinkTest::blockCutting()
{
    QFETCH(QStringList, options);
    QFETCH(int, fileSize);
    QFETCH(QList<int>, frames);
    SimSession s;
    const QByteArray content = randomBytes(fileSize, quint32(fileSize));
    QVERIFY(writeFile(s.path(QStringLiteral("f.bin")), content));
    QVERIFY2(s.start(options), qPrintable(s.line.lastError));
    s.line.sendPacket(getPacket(QStringLiteral("f.bin")));
    QCOMPARE(s.line.readReply().kind, PhoneLine::ReplyKind::Ack);
    const PhoneLine::Reply reply = s.line.readReply();
    QVERIFY(reply.crcOk);
    QCOMPARE(reply.frameSizes, frames);
    QCOMPARE(headerValue(reply.packet, 0x49).value_or(QByteArray()), content);
    s.line.sendAck();
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

void PhonesimLinkTest::traceAndReplay()
{
    QTemporaryDir dir;
    const QString recorded = dir.filePath(QStringLiteral("session.trace"));
    const QString replayed = dir.filePath(QStringLiteral("replayed.trace"));
    const QByteArray content = randomBytes(3000, 21);
    QByteArray listing;
    {
        SimSession s;
        QVERIFY(writeFile(s.path(QStringLiteral("x.bin")), content));
        QVERIFY(s.start({QStringLiteral("--trace"), recorded}));
        listing = s.line.listing();
        QCOMPARE(s.line.getFile(QStringLiteral("x.bin")), content);
        // The last acknowledgement is in the trace before the line goes.
        QVERIFY(s.sim.waitForLog(QStringLiteral("ACK"), int(s.sim.logLines(QStringLiteral("RSP")).size())));
        s.line.close();
        QCOMPARE(s.sim.stop(), 0);
    }
    const auto original = readTraceStreams(recorded);
    QVERIFY(original && original->computer.startsWith("at\r\n") && original->records > 10);

    // The same requests to a phone that only replays the trace get the same answers.
    PhoneSimProcess replay;
    QVERIFY(replay.start({}, {QStringLiteral("--replay"), recorded, QStringLiteral("--trace"), replayed}));
    PhoneLine line;
    QVERIFY(line.open(replay.device));
    QVERIFY2(line.connect(), qPrintable(line.lastError));
    QCOMPARE(line.listing(), listing);
    QCOMPARE(line.getFile(QStringLiteral("x.bin")), content);
    QVERIFY(replay.waitForLog(QStringLiteral("REPLAY-END")));
    QVERIFY(replay.logLines(QStringLiteral("REPLAY-DEVIATION")).isEmpty());
    QTRY_COMPARE(readTraceStreams(replayed).value_or(TraceStreams()).computer.size(), original->computer.size());
    line.close();
    QCOMPARE(replay.stop(), 0);
    const auto again = readTraceStreams(replayed);
    QVERIFY(again && again->computer == original->computer && again->phone == original->phone);

    // A client that asks for something else is answered from the trace all the same.
    PhoneSimProcess deviating;
    QVERIFY(deviating.start({}, {QStringLiteral("--replay"), recorded}));
    QVERIFY(line.open(deviating.device));
    QVERIFY(line.connect());
    line.sendPacket(getPacket(QStringLiteral("something-else-entirely.bin")));
    QCOMPARE(line.readReply().kind, PhoneLine::ReplyKind::Ack);
    QVERIFY(deviating.waitForLog(QStringLiteral("REPLAY-DEVIATION byte=")));
}

QTEST_GUILESS_MAIN(PhonesimLinkTest)
#include "tst_phonesim_link.moc"
