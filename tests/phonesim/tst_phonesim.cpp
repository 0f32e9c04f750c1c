// The emulated phone's own rules, which the program's round trips do not reach, driven
// through the program's link or a bare port: its command line, line noise that repeats
// from the seed, requests that would leave the served folder or that it must refuse,
// uploads broken off, speed frames it does not know, and a phone that is never
// switched off: its modes and line rates, the ping, leaving BFB mode, the power switch;
// plain OBEX after AT^SQWE=3 and the recorded families' answers in it.

#include "bfbbytes.h"
#include "bfbframes.h"
#include "bfbtransport.h"
#include "cp1251.h"
#include "handshake.h"
#include "obexrequests.h"
#include "recordedexchanges.h"
#include "serialport.h"
#include "simsession.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QTest>

#include <functional>

namespace {

QByteArray packet(quint8 opcode, const QByteArray &headers)
{
    return char(opcode) + QByteArray(1, char((headers.size() + 3) >> 8)) + char((headers.size() + 3) & 0xFF) + headers;
}

QByteArray name(const char *text)
{
    return ObexRequest::nameHeader(*Cp1251::encode(QString::fromUtf8(text)));
}

// One request through the program's link; the response packet.
QByteArray request(BfbLink &bfb, const QByteArray &packet)
{
    TransferEvents unshown;
    return BfbTransport(bfb, unshown).exchange(packet);
}

// What arrives on the port until it holds expected, or for 300 ms when nothing is expected.
QByteArray readUntil(SerialPort &port, const QByteArray &expected)
{
    QByteArray got;
    QElapsedTimer clock;
    clock.start();
    const int limit = expected.isEmpty() ? 300 : 3000;
    while (clock.elapsed() < limit && (expected.isEmpty() || !got.contains(expected)))
        if (port.waitForBytes(20))
            got += port.read();
    return got;
}

// One step of a conversation with the phone on a bare port: bytes sent and the answer
// expected, or an act on the line or the phone.
using Step = std::function<void(SimSession &, SerialPort &)>;

// What comes back contains answer; nothing comes when it is empty.
const auto say = [](const QByteArray &bytes, const QByteArray &answer = {}) -> Step {
    return [=](SimSession &, SerialPort &port) {
        QVERIFY(port.write(bytes));
        const QByteArray got = readUntil(port, answer);
        // AT answers follow the echo; anything else is the whole answer.
        if (answer.startsWith("\r\n"))
            QVERIFY2(got.endsWith(answer), got.toHex(' ').constData());
        else
            QVERIFY2(got.startsWith(answer) && (!answer.isEmpty() || got.isEmpty()),
                     (bytes.toHex(' ') + " -> " + got.toHex(' ')).constData());
    };
};
const auto rate = [](int baud) -> Step {
    return [=](SimSession &, SerialPort &port) { QVERIFY(port.setBaudRate(baud)); };
};
// Closed until the phone has logged this line (none: at once), then opened again.
const auto reopenAfter = [](const char *line) -> Step {
    return [=](SimSession &s, SerialPort &port) {
        port.close();
        QTRY_VERIFY(!line || !s.sim.logLines(QString::fromLatin1(line)).isEmpty());
        QVERIFY(port.open());
    };
};
const Step reopen = reopenAfter(nullptr);
const Step powerCycle = [](SimSession &s, SerialPort &) { QVERIFY(s.sim.powerCycle()); };
const auto logged = [](const char *line) -> Step {
    return [=](SimSession &s, SerialPort &) {
        QVERIFY2(s.sim.logLines().contains(QString::fromLatin1(line)), qPrintable(s.sim.log()));
    };
};
const auto silence = [](int ms) -> Step { return [=](SimSession &, SerialPort &) { QTest::qWait(ms); }; };

const QByteArray ping = hex("02 01 03 14"), pong = hex("02 02 00 14 AA");
const QByteArray leaveBfb = hex("06 0A 0C") + "at^sbfb=0\r";
const Step at = say("at\r", "\r\nOK\r\n"), bfb = say("AT^SBFB=1\r", "\r\nOK\r\n");
const Step pinged = say(ping, pong), unanswered = say(ping);
// Plain OBEX as the recorded phones switch to it (M56v06 at.mode); the escape needs a
// second of silence before and after the +++.
const QByteArray ok = "\r\nOK\r\n";
const Step sqwe0 = say("AT^SQWE=0\r", ok), sqwe3 = say("AT^SQWE=3\r", ok);
const Step aborted = say(hex("FF 00 03"), hex("A0 00 03"));
const QByteArray obexConnect = hex("80001a100040064600136b01cb31410611d49a770050da3f471f");

// The phone started with options and a bare port open on it, switched to plain OBEX when asked.
bool openOn(SimSession &s, SerialPort &port, const QStringList &options, bool plain)
{
    QDir().mkpath(s.flash());
    if (!s.sim.start(s.flash(), options))
        return false;
    port.setDevicePath(s.sim.device);
    return port.open() && (!plain || (port.write("AT^SQWE=3\r") && readUntil(port, ok).endsWith(ok)));
}

} // namespace

Q_DECLARE_METATYPE(Step)

class PhonesimTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { crc = makeChecksum(); }

    void commandLineAndLink()
    {
        QProcess bad;
        bad.start(tarvelBinary(QStringLiteral("phonesim")), {QStringLiteral("--fault-on"), QStringLiteral("nonsense")});
        QVERIFY(bad.waitForFinished(5000));
        QCOMPARE(bad.exitCode(), 2);

        // The link points at the device while the phone runs and is gone after SIGTERM.
        QTemporaryDir dir;
        const QString link = dir.filePath(QStringLiteral("phone"));
        PhoneSim sim({QStringLiteral("--root"), dir.path(), QStringLiteral("--link"), link});
        QVERIFY(sim.running());
        QCOMPARE(QFileInfo(link).symLinkTarget(), sim.device);
        sim.process.terminate();
        QVERIFY(sim.process.waitForFinished(5000));
        QCOMPARE(sim.process.exitCode(), 0);
        QVERIFY(!QFileInfo(link).isSymLink());
    }

    void noiseFromTheSeed_data()
    {
        QTest::addColumn<QString>("option");
        QTest::addColumn<int>("bytes"); // that the noisy direction carries
        // 200 AT command lines: 4 bytes each from the computer, 9 back (echo, OK).
        QTest::newRow("computer to phone") << QStringLiteral("--noise-rx") << 800;
        QTest::newRow("phone to computer") << QStringLiteral("--noise-tx") << 1800;
    }

    // The soak's runs repeat from its seed only when the phone's noise does.
    void noiseFromTheSeed()
    {
        QFETCH(QString, option);
        QFETCH(int, bytes);
        const double rate = 0.005;
        const auto flips = [&](const char *seed) {
            SimSession s;
            QDir().mkpath(s.flash());
            if (!s.sim.start(s.flash(), {option, QString::number(rate), QStringLiteral("--seed"), QLatin1String(seed)}))
                return QStringList{QStringLiteral("no phone")};
            RecordingEvents events;
            SerialLine link(events, events);
            link.setDevicePath(s.sim.device);
            link.setPauseScale(0.5);
            if (!link.openPort() || !link.writeRaw(QByteArray("at\r\n").repeated(200)))
                return QStringList{QStringLiteral("no line")};
            // Until the phone has answered everything; damaged answers may be longer.
            link.readQueueUntil(
                [](const QByteArray &answer) { return answer.size() >= 1800 && answer.endsWith("OK\r\n"); });
            return s.sim.logLines(QStringLiteral("FAULT"));
        };
        const QStringList first = flips("5");
        QCOMPARE(flips("5"), first);
        QVERIFY(flips("6") != first);
        const QString prefix = QStringLiteral("FAULT noise-%1 byte=").arg(option.right(2));
        for (const QString &line : first) {
            QVERIFY2(line.startsWith(prefix), qPrintable(line));
            QVERIFY(line.section(u'=', 1, 1).section(u' ', 0, 0).toInt() < bytes);
        }
        const double expected = rate * 8 * bytes, flipped = double(first.size());
        QVERIFY2(flipped > expected / 2 && flipped < expected * 2, qPrintable(QString::number(flipped)));
    }

    void refusals_data()
    {
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<int>("code");
        const auto move = [](const char *from, const char *to) {
            return *ObexRequest::move(QString::fromUtf8(from), QString::fromUtf8(to));
        };
        QTest::newRow("parent of the root") << packet(0x85, hex("02 00") + name("..")) << 0xC0;
        QTest::newRow("folder name with a slash") << packet(0x85, hex("00 00") + name("a/b")) << 0xC0;
        QTest::newRow("folder behind a symbolic link") << packet(0x85, hex("02 00") + name("escape")) << 0xC3;
        QTest::newRow("get from above") << packet(0x83, name("../secret.txt")) << 0xC0;
        QTest::newRow("get with a backslash") << packet(0x83, name("..\\x")) << 0xC0;
        QTest::newRow("get with a NUL inside") << packet(0x83, hex("01 000B 0061 0000 0062 0000")) << 0xC0;
        QTest::newRow("delete .") << packet(0x82, name(".")) << 0xC0;
        QTest::newRow("upload named ..") << *ObexRequest::uploadFirst("..", 4, "x") << 0xC0;
        // A Name with application parameters is no delete: SieFS sets attributes that way.
        QTest::newRow("attributes") << packet(0x82, name("keep.txt") + hex("4C 0008 3803") + "\"R\"") << 0xD1;
        QTest::newRow("move not from the root") << move("keep.txt", "/z.txt") << 0xC0;
        QTest::newRow("move out of the root") << move("/keep.txt", "/../z.txt") << 0xC0;
        QTest::newRow("move a folder into itself") << move("/Sub", "/Sub/Deep/Sub") << 0xC3;
    }

    // Each answered with its code, and nothing changes inside the served folder or outside it.
    void refusals()
    {
        QFETCH(QByteArray, request);
        QFETCH(int, code);
        SimSession s;
        QTemporaryDir outside;
        QVERIFY(writeFile(outside.filePath(QStringLiteral("secret.txt")), "secret"));
        QVERIFY(writeFile(s.flash(QStringLiteral("keep.txt")), "old content"));
        QVERIFY(writeFile(s.flash(QStringLiteral("Sub/Deep/c.txt")), "c"));
        QVERIFY(QFile::link(outside.path(), s.flash(QStringLiteral("escape"))));
        const std::map<QString, QByteArray> before = fileTree(s.flash());
        QVERIFY(s.connect(*crc));
        QCOMPARE(int(quint8(::request(PhoneSessionTestAccess::bfb(*s.session), request).leftJustified(1).at(0))), code);
        QCOMPARE(fileTree(s.flash()), before);
        QCOMPARE(fileTree(outside.path()), (std::map<QString, QByteArray>{{"secret.txt", "secret"}}));
        // A symbolic link is no part of the phone.
        FolderListing listing;
        QVERIFY(s.session->list({}, &listing).ok());
        QVERIFY(std::ranges::none_of(listing.rows, [](const ListingRow &r) { return r.name == "escape"; }));
    }

    // The program goes away in the middle of an upload: the file that was there stays as it
    // was, and no part of the new one is left once a new client connects.
    void brokenOffUploadLeavesNothing()
    {
        SimSession s;
        QVERIFY(writeFile(s.flash(QStringLiteral("keep.txt")), "old content"));
        QVERIFY(s.connect(*crc));
        SerialLine &link = PhoneSessionTestAccess::link(*s.session);
        QCOMPARE(request(PhoneSessionTestAccess::bfb(*s.session),
                         *ObexRequest::uploadFirst("keep.txt", 1000, QByteArray(400, 'n'))),
                 hex("90 00 03"));
        QCOMPARE(fileTree(s.flash()).size(), size_t(2)); // with the hidden part
        link.closePort();
        // The phone is not told: it waits in BFB mode until the next client connects.
        QTest::qWait(200);
        QCOMPARE(fileTree(s.flash()).size(), size_t(2));
        QVERIFY(link.openPort());
        QVERIFY(link.writeRaw(ConnectFrames));
        QTRY_COMPARE(fileTree(s.flash()), (std::map<QString, QByteArray>{{"keep.txt", "old content"}}));
        QVERIFY(s.sim.logLines().contains(QStringLiteral("LINK-START")));
    }

    void modesAndRates_data()
    {
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<QList<Step>>("steps");
        const auto row = [](const char *name, const QList<Step> &steps, const QStringList &options = {}) {
            QTest::newRow(name) << options << steps;
        };
        const QByteArray to115200 = *Bfb::speedFrameFor(115200);
        const Step faster = say(to115200, to115200.left(3) + char(0xCC) + to115200.mid(4));
        const QByteArray ack = Bfb::AckFrame, leftBfb = hex("06 06 00") + ok;
        // The recorded x55/x60 phones answer AT at every rate the program uses, 19200 to 230400.
        row("AT at every rate",
            {rate(19200), at, rate(38400), at, rate(115200), at, rate(230400), at, rate(57600), at});
        row("ping answered only in BFB mode", {unanswered, at, bfb, pinged, logged("PING")});
        // In small letters, then in capitals.
        row("06 frame back to AT mode",
            {bfb, say(leaveBfb, leftBfb), unanswered, at, logged("BFB-END AT^SBFB=0"), bfb,
             say(hex("06 0A 0C") + "AT^SBFB=0\r", leftBfb), at});
        row("DISCONNECT keeps BFB mode",
            {bfb,
             say(bfbFrames(bfbBlock(0, hex("81 00 03"), 0x02)), ack + bfbFrames(bfbBlock(0, hex("A0 00 03"), 0x02))),
             say(ack), pinged});
        row("BFB deaf at a wrong rate",
            {bfb, rate(115200), unanswered, logged("RATE-MISMATCH phone=57600 port=115200, not understood"),
             rate(57600), pinged});
        row("BFB starts at 57600 after AT at 115200", {rate(115200), bfb, say({}), unanswered, rate(57600), pinged});
        // The port opened again finds the phone in BFB mode at the rate set, deaf at 57600.
        row("speed frame sets the BFB rate, kept across reopen",
            {bfb, faster, rate(115200), pinged, reopen, unanswered, rate(115200), pinged});
        // Speed frames it does not know are answered unchanged, and the rate stays.
        const QByteArray unknownRate = bfbFrame(hex("C0") + "9600" + hex("CA89CF"), 0x01);
        const QByteArray wrongCheck = to115200.chopped(1) + char(to115200.back() ^ 1);
        row("unknown speed frames",
            {bfb, say(unknownRate, unknownRate), say(wrongCheck, wrongCheck),
             logged("SPEED refused: not a known speed frame"), pinged});
        row("power cycle", {bfb, faster, rate(115200), pinged, powerCycle, unanswered, at, rate(57600), bfb, pinged});
        row("AT mode kept across reopen", {at, reopen, unanswered, at});
        row("text ignored in BFB mode",
            {bfb, say("at\r"), say("AT^SBFB=0\r"), say("ATZ\r\n"), pinged, logged("BAD-FRAME skipping from 61")});
        // Killed with its CONNECT unacknowledged: the phone sends the answer again, gives
        // up, and waits in BFB mode for the next client, who may go on as it is.
        const Step connect = say(ConnectFrames, ack);
        row("client gone mid-exchange",
            {bfb, connect, reopenAfter("GIVE-UP seq=00 after 2 resends"), pinged, connect, logged("LINK-START")},
            {"--resend-after", "200", "--resends", "2"});
        // A raw port reads each byte of a rate it is not set to as 00.
        row("phone unreadable at a wrong rate",
            {bfb, connect, rate(115200), say({}, QByteArray(8, 0)),
             logged("RATE-MISMATCH phone=57600 port=115200, read as 00")},
            {"--resend-after", "300"});
        row("AT answer time", {say("at\r"), say({}, ok)}, {"--at-latency", "600"});

        const QStringList s65 = {"--model", "S65"}, usb = {"--interface", "usb"};
        // M56v06 raw.escape: DISCONNECT, silence, +++, OK a second later.
        row("plain OBEX, kept across reopen, left by +++",
            {sqwe0, sqwe3, aborted, reopen, aborted, say(hex("81 00 03"), hex("A0 00 03")), silence(1100),
             say("+++", ok), at, logged("PLAIN-END +++")});
        // S66v34 raw.escape: no answer to the +++, yet back in AT mode.
        row("S65 leaves plain OBEX without a word", {at, sqwe3, aborted, silence(1100), say("+++"), silence(900), at},
            s65);
        row("line closed within the second after +++: still plain OBEX",
            {at, sqwe3, aborted, silence(1100), say("+++"), reopen, silence(1100), aborted,
             logged("ESCAPE-LOST the line closed within the guard second after +++")},
            s65);
        row("+++ without the silence is no escape", {sqwe3, aborted, say("+++"), silence(1100), say("at\r"), aborted});
        row("plain-mode bytes that start no packet",
            {say("AT^SQWE=3\r\n", ok), say("at\r\n"), say(hex("83 00 01")), aborted, say(hex("83 00 10 42")),
             silence(1100), aborted, logged("BAD-PACKET skipping from 61"),
             logged("BAD-PACKET incomplete, 4 bytes dropped")});
        row("plain OBEX at the rate of the AT commands",
            {rate(115200), sqwe3, aborted, rate(57600), say(hex("FF 00 03"))});
        // S66v34, EL71v45 at.speeds.
        row("S65 refuses AT at 230400", {rate(230400), say("ATQ0 V1 E0\r", "\r\nERROR\r\n"), rate(115200), at}, s65);
        row("S75 refuses AT at 230400", {rate(230400), say("at\r", "\r\nERROR\r\n"), rate(19200), at},
            {"--model", "S75"});
        row("S65 answers no BFB frame",
            {bfb, unanswered, say(bfbFrames(bfbBlock(0, obexConnect, 0x02))), sqwe3, aborted,
             logged("BFB-IGNORED, no frame is answered")},
            s65);
        row("plain OBEX refused", {say("AT^SQWE=3\r", "\r\nERROR\r\n"), at}, {"--refuse-plain"});
        // C60v26 obex.codes: a GET of /tmp/probe-missing.bin answered as an empty file.
        row("C60 answers a missing file as an empty one",
            {at, sqwe3, aborted,
             say(hex("83 002a 01 0027 0070 0072 006f 0062 0065 002d 006d 0069 0073 0073 0069 006e 0067 "
                     "002e 0062 0069 006e 0000"),
                 hex("a0 0006 49 0003"))},
            {"--model", "C60"});
        row("S65 sends 00 when the port opens", {at, reopen, say({}, QByteArray(1, 0))}, s65);
        // A DCA-540 sends no 00 byte (what AT^SIFS says of the cable, tarvel-cli's info shows).
        row("S65 on USB sends no 00", {at, reopen, say({})}, s65 + usb);
        // The worst case of a +++ on a DCA-540: deaf until switched off.
        row("+++ on USB leaves the phone deaf",
            {sqwe3, aborted, silence(1100), say("+++"), silence(1100), say("at\r"), say(hex("FF 00 03")),
             logged("FAULT +++ on a USB interface, taken for a packet of 0x2B2B bytes: deaf until switched off"),
             powerCycle, at},
            usb);
    }

    // A conversation on a bare port: every answer as expected, and none where none is due.
    void modesAndRates()
    {
        QFETCH(QStringList, options);
        QFETCH(QList<Step>, steps);
        SimSession s;
        SerialPort port;
        QVERIFY(openOn(s, port, options, false));
        for (const Step &step : steps) {
            step(s, port);
            if (QTest::currentTestFailed())
                return;
        }
    }

    void plainRequestsParsedCarefully_data()
    {
        QTest::addColumn<QList<QByteArray>>("requests");
        QTest::addColumn<QByteArray>("answers"); // the code of each answer
        QTest::addColumn<QString>("fault"); // how the FAULT line goes on; empty: none
        const QByteArray nameOnly = ObexRequest::putName("new.bin");
        QTest::newRow("as the recorded phones were sent")
            << QList{nameOnly, ObexRequest::putBody("ab"), ObexRequest::putFinal("c")} << hex("90 90 A0") << QString();
        QTest::newRow("the BFB staging layout")
            << QList{*ObexRequest::uploadFirst("new.bin", 6, QByteArray("abc") + QByteArray(3, '\0')),
                     ObexRequest::uploadEnd()}
            << hex("C0 C0") << "a header shorter than 3 bytes, 3 bytes not parsed";
        QTest::newRow("a byte after the last header")
            << QList{nameOnly, packet(0x82, hex("49 0006") + "abcx")} << hex("90 C0") << "bytes after the last header";
        const QByteArray withLength = packet(0x02, name("new.bin") + hex("C3 00000002"));
        QTest::newRow("a Body beyond the Length header")
            << QList{withLength, ObexRequest::putFinal("abc")} << hex("90 C0") << "a Body beyond the Length header";
        QTest::newRow("a Length that differs from the bytes received")
            << QList{packet(0x02, name("new.bin") + hex("C3 00000004")), ObexRequest::putFinal("abc")} << hex("90 C0")
            << "the Length header says 4 bytes, 3 came";
        QTest::newRow("the file's own Length")
            << QList{packet(0x02, name("new.bin") + hex("C3 00000003")), ObexRequest::putFinal("abc")} << hex("90 A0")
            << QString();
    }

    // In plain OBEX the phone refuses what a careful OBEX server refuses, and stores nothing of it.
    void plainRequestsParsedCarefully()
    {
        QFETCH(QList<QByteArray>, requests);
        QFETCH(QByteArray, answers);
        QFETCH(QString, fault);
        SimSession s;
        QVERIFY(writeFile(s.flash(QStringLiteral("keep.txt")), "old"));
        SerialPort port;
        QVERIFY(openOn(s, port, {}, true));
        for (qsizetype i = 0; i < requests.size(); ++i) {
            QVERIFY(port.write(requests[i]));
            const QByteArray answer = readUntil(port, QByteArray(1, answers[i]) + hex("00 03"));
            QCOMPARE(answer.toHex(' '), (QByteArray(1, answers[i]) + hex("00 03")).toHex(' '));
        }
        const bool stored = answers.endsWith(char(0xA0));
        QCOMPARE(fileTree(s.flash()).size(), stored ? size_t(2) : size_t(1));
        if (stored)
            QCOMPARE(readFile(s.flash(QStringLiteral("new.bin"))), QByteArray("abc"));
        const QStringList faults = s.sim.logLines(QStringLiteral("FAULT careful: "));
        QCOMPARE(faults.size(), fault.isEmpty() ? 0 : 1);
        if (!fault.isEmpty())
            QVERIFY2(faults.first().startsWith(QStringLiteral("FAULT careful: ") + fault), qPrintable(faults.first()));
    }

    void recordedExchanges_data()
    {
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<QStringList>("recordings"); // in tests/data, replayed in order
        // Each phone's CONNECT, then obex.files (3000 bytes written in pieces and read back,
        // 100 written over them and read back in both letter cases, the file deleted) in
        // /Misc or /Data/Misc, then obex.codes (a missing folder and file, ABORT, a
        // missing file deleted) and the closing DISCONNECT. The recorded M56 ends a
        // download with an empty End-of-Body, which an M55 does with --empty-final.
        const auto recordings = [](const QString &phone) {
            return QStringList{phone + "-connect.trace", phone + "-files.trace", phone + "-codes.trace"};
        };
        QTest::newRow("M56v06") << QStringList{"--model", "M55", "--empty-final"} << recordings("M56v06");
        QTest::newRow("S66v34") << QStringList{"--model", "S65"} << recordings("S66v34");
        QTest::newRow("S75v47") << QStringList{"--model", "S75"} << recordings("S75v47");
    }

    // Requests recorded from real phones in plain OBEX, answered byte for byte as they were.
    void recordedExchanges()
    {
        QFETCH(QStringList, options);
        QFETCH(QStringList, recordings);
        SimSession s;
        QDir().mkpath(s.flash(QStringLiteral("Misc")));
        QDir().mkpath(s.flash(QStringLiteral("Data/Misc")));
        SerialPort port;
        QVERIFY(openOn(s, port, options + QStringList{"--obex-latency", "0"}, true));
        for (const QString &recording : recordings) {
            const QList<RecordedExchange> exchanges = loadRecording(recording);
            QVERIFY(!exchanges.isEmpty());
            for (const RecordedExchange &exchange : exchanges) {
                QVERIFY(port.write(exchange.request));
                QCOMPARE(readUntil(port, exchange.answer).toHex(' '), exchange.answer.toHex(' '));
            }
        }
    }

private:
    std::unique_ptr<Checksum> crc;
};

QTEST_GUILESS_MAIN(PhonesimTest)
#include "tst_phonesim.moc"
