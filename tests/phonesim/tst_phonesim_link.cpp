// The emulated phone as a phone on a real cable: resends and repeats, line faults that
// repeat exactly from the seed, blocks cut without regard to their fields, the move
// command, speed frames, and byte traces that replay as a session.

#include "phonetestclient.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTest>
#include <QThread>

namespace {

quint8 code(const QByteArray &response)
{
    return response.isEmpty() ? 0 : quint8(response[0]);
}

struct Session
{
    QTemporaryDir root;
    PhoneSimProcess sim;
    PhoneLine line;

    bool start(const QStringList &extra = {}, bool connect = true)
    {
        if (!root.isValid() || !sim.start(root.path(), extra) || !line.open(sim.device))
            return false;
        return !connect || line.connect();
    }
    QString path(const QString &relative) const { return root.filePath(relative); }
};

QByteArray getPacket(const QString &name)
{
    return PhoneLine::packet(0x83, PhoneLine::nameHeader(name));
}

QByteArray speedFrame(const QByteArray &digits, const QByteArray &check)
{
    return PhoneLine::frame(0x01, QByteArray(1, char(0xC0)) + digits + check);
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
        const QByteArray bytes = QByteArray::fromHex(match.captured(2).toLatin1());
        (match.captured(1) == QLatin1String("PC") ? streams.computer : streams.phone) += bytes;
        ++streams.records;
    }
    return streams;
}

} // namespace

class PhonesimLinkTest : public QObject
{
    Q_OBJECT

private slots:
    void resendsUntilAcknowledged();
    void repeatIsAcknowledgedNotExecuted();
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
    void speedSwitchFollowsThePort();
    void traceAndReplay();
};

void PhonesimLinkTest::resendsUntilAcknowledged()
{
    Session s;
    QVERIFY(writeFile(s.path(QStringLiteral("x.txt")), "x"));
    QVERIFY(s.start(
        {QStringLiteral("--resend-after"), QStringLiteral("200"), QStringLiteral("--resends"), QStringLiteral("2")}));
    s.line.sendPacket(getPacket(QStringLiteral("x.txt")));
    QCOMPARE(s.line.readReply().kind, PhoneLine::ReplyKind::Ack);
    const PhoneLine::Reply first = s.line.readReply();
    QVERIFY(first.crcOk);
    // Not acknowledged: the same block twice more, then the phone gives it up.
    for (int resend = 0; resend < 2; ++resend)
        QCOMPARE(s.line.readReply(1500).raw, first.raw);
    QCOMPARE(s.line.readReply(700).kind, PhoneLine::ReplyKind::Timeout);
    QVERIFY(s.sim.waitForLog(QStringLiteral("GIVE-UP seq=01 after 2 resends")));
    QCOMPARE(
        s.sim.logLines(QStringLiteral("RESEND")),
        QStringList({QStringLiteral("RESEND seq=01 try=1 block=3"), QStringLiteral("RESEND seq=01 try=2 block=4")}));
    // The phone goes on; an acknowledged block is not sent again.
    QCOMPARE(s.line.getFile(QStringLiteral("x.txt")), QByteArray("x"));
    QThread::msleep(400);
    QCOMPARE(s.sim.logLines(QStringLiteral("RESEND")).size(), 2);
}

void PhonesimLinkTest::repeatIsAcknowledgedNotExecuted()
{
    Session s;
    QVERIFY(writeFile(s.path(QStringLiteral("a.txt")), "a"));
    QVERIFY(s.start());
    const QByteArray frames = PhoneLine::dataFrames(PhoneLine::dataBlock(
        0x03, s.line.sequence++, PhoneLine::packet(0x82, PhoneLine::nameHeader(QStringLiteral("a.txt")))));
    s.line.write(frames);
    QCOMPARE(s.line.readReply().kind, PhoneLine::ReplyKind::Ack);
    QCOMPARE(s.line.readReply().packet, QByteArray::fromHex("A00003"));
    s.line.sendAck();
    // The same block again: its acknowledgement was lost. Acknowledged, not deleted twice.
    s.line.write(frames);
    QCOMPARE(s.line.readReply().kind, PhoneLine::ReplyKind::Ack);
    QCOMPARE(s.line.readReply(400).kind, PhoneLine::ReplyKind::Timeout);
    QVERIFY(s.sim.waitForLog(QStringLiteral("REPEAT seq=01, acknowledged again")));
    QCOMPARE(s.sim.logLines(QStringLiteral("DELETE")).size(), 1);
    QVERIFY(s.line.memory(0x01).has_value());

    // A new link numbers afresh: its CONNECT carries 0, as the block accepted last did.
    Session t;
    QVERIFY(t.start());
    t.line.write(PhoneLine::frame(0x06, "AT^SBFB=0\r"));
    QVERIFY(t.line.readQuiet().contains("OK"));
    QVERIFY2(t.line.connect(), qPrintable(t.line.lastError));
    QCOMPARE(t.sim.logLines(QStringLiteral("CONNECT")).size(), 2);
    QVERIFY(t.sim.logLines(QStringLiteral("REPEAT")).isEmpty());
}

void PhonesimLinkTest::lineFaultsRecovered_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QString>("phoneSide"); // what the phone logs on its way back
    QTest::addColumn<int>("resends");
    QTest::addColumn<int>("badBlocks");
    QTest::addColumn<int>("repeats");

    // Block 1 each way is the CONNECT and its answer; block 2 the GET and its response.
    QTest::newRow("client block lost") << QStringList{QStringLiteral("--lose-rx-block"), QStringLiteral("2")}
                                       << "FAULT lose-rx-block block=2 seq=01"
                                       << "GET name=x.bin" << 1 << 0 << 0;
    QTest::newRow("client block hit") << QStringList{QStringLiteral("--flip-rx"), QStringLiteral("2")}
                                      << "FAULT flip-rx block=2 seq=01 bit="
                                      << "BAD-CRC seq=01" << 1 << 0 << 0;
    QTest::newRow("phone's acknowledgement lost")
        << QStringList{QStringLiteral("--lose-tx-ack"), QStringLiteral("2")} << "FAULT lose-tx-ack block=2 seq=01"
        << "REPEAT seq=01" << 1 << 0 << 0;
    QTest::newRow("phone block hit") << QStringList{QStringLiteral("--flip-tx"), QStringLiteral("2")}
                                     << "FAULT flip-tx block=2 seq=01 bit="
                                     << "RESEND seq=01 try=1 block=3" << 0 << 1 << 0;
    QTest::newRow("client's acknowledgement lost")
        << QStringList{QStringLiteral("--lose-rx-ack"), QStringLiteral("2")} << "FAULT lose-rx-ack block=2 seq=01"
        << "RESEND seq=01 try=1 block=3" << 0 << 0 << 1;
}

void PhonesimLinkTest::lineFaultsRecovered()
{
    QFETCH(QStringList, options);
    QFETCH(QString, fault);
    QFETCH(QString, phoneSide);
    QFETCH(int, resends);
    QFETCH(int, badBlocks);
    QFETCH(int, repeats);
    const QByteArray content = randomBytes(100, 9);
    QStringList firstFaults;
    // A flipped bit is chosen from the seed: a second run must choose the same.
    const int runs = fault.endsWith(QLatin1String("bit=")) ? 2 : 1;
    for (int run = 0; run < runs; ++run) {
        Session s;
        QVERIFY(writeFile(s.path(QStringLiteral("x.bin")), content));
        QVERIFY(s.start(options
                        + QStringList{QStringLiteral("--resend-after"), QStringLiteral("250"), QStringLiteral("--seed"),
                                      QStringLiteral("11")}));
        PhoneLine::Recovery recovery;
        const QByteArray response = s.line.recoveringRequest(getPacket(QStringLiteral("x.bin")), recovery, 350);
        QVERIFY2(code(response) == 0xA0, qPrintable(s.line.lastError));
        QCOMPARE(headerValue(response, 0x49).value_or(QByteArray()), content);
        s.line.acknowledgeRepeats(recovery, 700);
        QCOMPARE(recovery.resends, resends);
        QCOMPARE(recovery.badBlocks, badBlocks);
        QCOMPARE(recovery.repeats, repeats);
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
        Session s;
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
        QVERIFY(line.section(QLatin1Char('='), 1, 1).section(QLatin1Char(' '), 0, 0).toInt() < bytes);
    }
    const double expected = rate * 8 * bytes, flipped = double(first.size());
    QVERIFY2(flipped > expected / 2 && flipped < expected * 2, qPrintable(QString::number(flipped)));
}

void PhonesimLinkTest::blockCutting_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<int>("fileSize"); // the response block is 18 bytes longer
    QTest::addColumn<QList<int>>("frames");
    const QStringList blind{QStringLiteral("--cut"), QStringLiteral("blind")};
    const QStringList crcLast{QStringLiteral("--cut"), QStringLiteral("crc-last")};
    const QStringList five{QStringLiteral("--frame"), QStringLiteral("5")};
    QTest::newRow("blind: last CRC byte alone") << blind << 15 << QList<int>{32, 1};
    QTest::newRow("blind: both CRC bytes alone") << blind << 16 << QList<int>{32, 2};
    QTest::newRow("blind: one full frame") << blind << 14 << QList<int>{32};
    QTest::newRow("blind: block header alone") << blind + five << 2 << QList<int>{5, 5, 5, 5};
    QTest::newRow("crc-last: CRC kept together") << crcLast << 15 << QList<int>{31, 2};
    QTest::newRow("crc-last: small frames") << crcLast + five << 3 << QList<int>{5, 5, 5, 4, 2};
}

void PhonesimLinkTest::blockCutting()
{
    QFETCH(QStringList, options);
    QFETCH(int, fileSize);
    QFETCH(QList<int>, frames);
    Session s;
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
    QTest::addColumn<QStringList>("present"); // afterwards
    QTest::addColumn<QStringList>("absent");
    QTest::addColumn<QByteArray>("content"); // of the first present path, when a file
    auto list = [](std::initializer_list<const char *> paths) {
        QStringList out;
        for (const char *path : paths)
            out << QString::fromUtf8(path);
        return out;
    };
    QTest::newRow("rename") << "/a.txt"
                            << "/z.txt" << 0xA0 << list({"z.txt"}) << list({"a.txt"}) << QByteArray("a");
    QTest::newRow("into a folder") << "/a.txt"
                                   << "/Sub/Deep/a.txt" << 0xA0 << list({"Sub/Deep/a.txt"}) << list({"a.txt"})
                                   << QByteArray("a");
    QTest::newRow("across folders, Cyrillic")
        << "/Sub/b.txt"
        << "/Фото/Снимок.txt" << 0xA0 << list({"Фото/Снимок.txt"}) << list({"Sub/b.txt"}) << QByteArray("b");
    QTest::newRow("a folder") << "/Sub"
                              << "/Фото/Sub" << 0xA0 << list({"Фото/Sub/b.txt", "Фото/Sub/Deep/c.txt"}) << list({"Sub"})
                              << QByteArray("b");
    QTest::newRow("missing source") << "/none.txt"
                                    << "/z.txt" << 0xC4 << list({"a.txt"}) << list({"z.txt"}) << QByteArray("a");
    QTest::newRow("destination exists") << "/a.txt"
                                        << "/Sub/b.txt" << 0xCC << list({"Sub/b.txt", "a.txt"}) << QStringList()
                                        << QByteArray("b");
    QTest::newRow("destination folder missing")
        << "/a.txt"
        << "/Nope/a.txt" << 0xC4 << list({"a.txt"}) << list({"Nope"}) << QByteArray("a");
    QTest::newRow("folder into itself") << "/Sub"
                                        << "/Sub/Deep/Sub" << 0xC3 << list({"Sub/b.txt"}) << list({"Sub/Deep/Sub"})
                                        << QByteArray("b");
    QTest::newRow("not from the root") << "a.txt"
                                       << "/z.txt" << 0xC0 << list({"a.txt"}) << list({"z.txt"}) << QByteArray("a");
    QTest::newRow("parent name") << "/Sub/../a.txt"
                                 << "/z.txt" << 0xC0 << list({"a.txt"}) << list({"z.txt"}) << QByteArray("a");
    QTest::newRow("out of the root") << "/a.txt"
                                     << "/../z.txt" << 0xC0 << list({"a.txt"}) << QStringList() << QByteArray("a");
}

void PhonesimLinkTest::moveCommand()
{
    QFETCH(QString, from);
    QFETCH(QString, to);
    QFETCH(int, expected);
    QFETCH(QStringList, present);
    QFETCH(QStringList, absent);
    QFETCH(QByteArray, content);
    Session s;
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
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<QString>("logged");
    QTest::addColumn<QString>("rate"); // the RATE line that follows, if any

    const QByteArray f115200 = speedFrame("115200", QByteArray::fromHex("0DD22B"));
    const QByteArray f57600 = speedFrame("57600", QByteArray::fromHex("CA89CF"));
    const QByteArray f19200 = speedFrame("19200", QByteArray::fromHex("CE4DCF"));
    auto accepted = [](QByteArray frame) {
        frame[3] = char(0xCC);
        return frame;
    };
    const QStringList refusing{QStringLiteral("--refuse-speed")};
    QTest::newRow("115200 accepted") << QStringList() << f115200 << accepted(f115200) << "SPEED 115200 accepted"
                                     << "RATE 115200";
    QTest::newRow("19200 accepted") << QStringList() << f19200 << accepted(f19200) << "SPEED 19200 accepted"
                                    << "RATE 19200";
    QTest::newRow("the program's 57600") << QStringList() << f57600 << accepted(f57600) << "SPEED 57600 accepted"
                                         << QString();
    QTest::newRow("115200 refused") << refusing << f115200 << f115200 << "SPEED 115200 refused" << QString();
    QTest::newRow("57600 by a refusing phone")
        << refusing << f57600 << accepted(f57600) << "SPEED 57600 accepted" << QString();
    const QByteArray unknown = speedFrame("9600", QByteArray::fromHex("CA89CF"));
    QTest::newRow("unknown rate") << QStringList() << unknown << unknown << "SPEED refused: not a known speed frame"
                                  << QString();
    const QByteArray wrongCheck = speedFrame("115200", QByteArray::fromHex("0DD22C"));
    QTest::newRow("wrong check bytes") << QStringList() << wrongCheck << wrongCheck
                                       << "SPEED refused: not a known speed frame" << QString();
}

void PhonesimLinkTest::speedFrames()
{
    QFETCH(QStringList, options);
    QFETCH(QByteArray, frame);
    QFETCH(QByteArray, answer);
    QFETCH(QString, logged);
    QFETCH(QString, rate);
    Session s;
    QVERIFY(s.start(options, false));
    QVERIFY(s.line.at("AT^SBFB=1").contains("OK"));
    s.line.write(frame);
    QCOMPARE(s.line.readBytes(int(answer.size())), answer);
    QVERIFY(s.sim.waitForLog(logged));
    if (rate.isEmpty()) {
        QThread::msleep(300);
        QVERIFY(s.sim.logLines(QStringLiteral("RATE")).isEmpty());
    } else {
        QVERIFY(s.sim.waitForLog(rate));
        // Back to the cable's rate when the line is opened again.
        s.line.close();
        QVERIFY(s.sim.waitForLog(QStringLiteral("RATE 57600")));
    }
}

void PhonesimLinkTest::speedSwitchFollowsThePort()
{
    Session s;
    const QByteArray content = randomBytes(3000, 4);
    QVERIFY(writeFile(s.path(QStringLiteral("x.bin")), content));
    QVERIFY(s.start({QStringLiteral("--baud"), QStringLiteral("57600")}));
    s.line.write(speedFrame("115200", QByteArray::fromHex("0DD22B")));
    QCOMPARE(quint8(s.line.readBytes(13).at(3)), quint8(0xCC));
    QThread::msleep(100);
    QVERIFY(s.line.setBaud(115200));
    QCOMPARE(s.line.getFile(QStringLiteral("x.bin")), content);
    QVERIFY(s.sim.waitForLog(QStringLiteral("RATE 115200")));
    QVERIFY(s.sim.logLines(QStringLiteral("RATE-MISMATCH")).isEmpty());

    // A client that does not switch its port is seen talking at the wrong rate.
    s.line.close();
    QVERIFY(s.sim.waitForLog(QStringLiteral("RATE 57600")));
    QVERIFY(s.line.open(s.sim.device));
    QVERIFY(s.line.connect());
    s.line.write(speedFrame("115200", QByteArray::fromHex("0DD22B")));
    QCOMPARE(s.line.readBytes(13).size(), 13);
    QVERIFY(s.sim.waitForLog(QStringLiteral("RATE 115200"), 2));
    s.line.sendPacket(getPacket(QStringLiteral("x.bin")));
    QVERIFY(s.sim.waitForLog(QStringLiteral("RATE-MISMATCH phone=115200 port=57600")));
}

void PhonesimLinkTest::traceAndReplay()
{
    QTemporaryDir dir;
    const QString recorded = dir.filePath(QStringLiteral("session.trace"));
    const QString replayed = dir.filePath(QStringLiteral("replayed.trace"));
    const QByteArray content = randomBytes(3000, 21);
    QByteArray listing;
    {
        Session s;
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
    QVERIFY(original);
    QVERIFY(original->computer.startsWith("at\r\n") && original->records > 10);

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
    QVERIFY(replay.logLines(QStringLiteral("REPLAY-BEYOND")).isEmpty());
    QTRY_COMPARE(readTraceStreams(replayed).value_or(TraceStreams()).computer.size(), original->computer.size());
    line.close();
    QCOMPARE(replay.stop(), 0);
    const auto again = readTraceStreams(replayed);
    QVERIFY(again);
    QCOMPARE(again->computer, original->computer);
    QCOMPARE(again->phone, original->phone);

    // A client that asks for something else is answered from the trace all the same.
    PhoneSimProcess deviating;
    QVERIFY(deviating.start({}, {QStringLiteral("--replay"), recorded}));
    QVERIFY(line.open(deviating.device));
    QVERIFY(line.connect());
    // A longer request than the listing's, so that the recorded answer is due.
    line.sendPacket(getPacket(QStringLiteral("something-else-entirely.bin")));
    QCOMPARE(line.readReply().kind, PhoneLine::ReplyKind::Ack);
    QVERIFY(deviating.waitForLog(QStringLiteral("REPLAY-DEVIATION byte=")));
}

QTEST_GUILESS_MAIN(PhonesimLinkTest)
#include "tst_phonesim_link.moc"
