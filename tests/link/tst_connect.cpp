// The connect procedure against a scripted phone: its steps, their failures, the speed
// step, plain OBEX, and leaving the phone as it was found. The pauses are scaled down
// (the program itself keeps them at full length).

#include "handshake.h"
#include "linktesting.h"
#include "testprocess.h"

#include <QDir>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTest>

namespace {

// The link acknowledgement, then the CONNECT response in one frame: 47 bytes.
const QByteArray ConnectAnswer =
    Bfb::AckFrame + bfbFrame(hex("02FD000020 A000201000040046") + QByteArray(24, char(0x11)) + hex("C1C2"));

std::vector<Rule> workingPhone()
{
    return {
        {Bfb::PingFrame, ""}, // in AT mode: no answer
        {"at\r\n", "\r\nOK\r\n"},
        // An echoing phone: characters 11 to 13 of the whole reply are the model.
        {"at+CGMM\r\n", "at+CGMM\r\r\nM55\r\n\r\nOK\r\n"},
        {"AT^SBFB=1\r\n", "\r\nOK\r\n"},
        {Bfb::SetupFrame, hex("020103CC")},
        {Bfb::SpeedFrame, Bfb::SpeedFrame},
        {Bfb::SifsFrame, hex("06060C") + "\r\nOK\r\n"},
        {ConnectFrames, ConnectAnswer},
    };
}

QByteArray requests(const std::vector<Rule> &rules)
{
    QByteArray all;
    for (const Rule &rule : rules)
        all += rule.request;
    return all;
}

// Every event of a successful attempt, in order.
const QStringList Complete = {
    "state Disable",     "step attempting",       "step port opened",    "step waking",       "step asking model",
    "model M55",         "step switching to BFB", "step setting up BFB", "step opening OBEX", "step link up",
    "step listing root", "step root listed",      "step established",
};

QStringList failedAfter(int events, const QString &step)
{
    return Complete.mid(0, events) + QStringList{QStringLiteral("failed ") + step, QStringLiteral("state enable")};
}

struct Attempt : LinkOnPty
{
    PhoneConnector connector{line, bfb, events, ConnectPacket, DisconnectPacket};

    Attempt() : LinkOnPty(false)
    {
        line.setPauseScale(0.15);
        line.setTimeoutInterval(2000);
    }
};

// CONNECT answers of real phones in plain OBEX (tests/data): M56v06 (x55/x60), S66v34
// (x65), S75v47 (x75); S56v06 refuses.
const QByteArray M56Connect = recordedAnswer("M56v06-connect.trace");
const QByteArray S66Connect = recordedAnswer("S66v34-connect.trace");
const QByteArray S75Connect = recordedAnswer("S75v47-connect.trace");
const QByteArray S56Connect = recordedAnswer("S56v06-connect.trace");

// A plain-OBEX phone of the given family on a serial cable: "AT^SQWE" taken, CONNECT
// answered as recorded.
std::vector<Rule> plainPhone(const QByteArray &model, const QByteArray &connectAnswer)
{
    return {
        {Bfb::PingFrame, ""},
        {"at\r\n", "\r\nOK\r\n"},
        {"at+CGMM\r\n", "at+CGMM\r\r\n" + model + "\r\n\r\nOK\r\n"},
        {"AT^SIFS\r\n", "\r\n^SIFS: WIRE\r\n\r\nOK\r\n"},
        {"AT^SQWE=0\r\n", "\r\nOK\r\n"},
        {"AT^SQWE=3\r\n", "\r\nOK\r\n"},
        {ConnectPacket, connectAnswer},
    };
}

std::vector<Rule> prepended(const Rule &first, std::vector<Rule> rules)
{
    rules.insert(rules.begin(), first);
    return rules;
}

} // namespace

class ConnectTest : public QObject
{
    Q_OBJECT

private slots:
    // The phone's CONNECT response is the packet of its sound block.
    void connectsAndListsTheRoot_data()
    {
        QTest::addColumn<QByteArray>("answer");
        QTest::addColumn<QByteArray>("response");
        // M56v06's answer as recorded in plain OBEX, here in a BFB block.
        QTest::newRow("recorded x55") << Bfb::AckFrame + bfbFrames(bfbBlock(0, M56Connect, 0x02)) << M56Connect;
        QTest::newRow("a block that fails its check") << ConnectAnswer << QByteArray();
    }

    void connectsAndListsTheRoot()
    {
        QFETCH(QByteArray, answer);
        Attempt a;
        std::vector<Rule> rules = workingPhone();
        rules.back().reply = answer;
        ScriptedPhone phone(a.pty, rules);
        LinkTestAccess::setSequence(a.bfb, 42);
        int listings = 0;
        QVERIFY(a.connector.run([&] {
            ++listings;
            // The link is up: single-byte mode, first block after CONNECT carries 1.
            QCOMPARE(a.bfb.bfbSequence(), qint16(1));
            QCOMPARE(LinkTestAccess::readLength(a.line), SerialPort::SingleByte);
            QVERIFY(LinkTestAccess::connectedMonitorRunning(a.line));
            QCOMPARE(a.events.log, Complete.mid(0, 11));
            QTRY_COMPARE(phone.received(), requests(workingPhone()) + Bfb::AckFrame);
            QCOMPARE(a.line.bytesWaiting(), 0); // the CONNECT answer was read whole
        }));
        QTEST(a.connector.connectResponse(), "response");
        QCOMPARE(listings, 1);
        QCOMPARE(a.events.log, Complete);
        QCOMPARE(a.connector.model(), QStringLiteral("M55"));
        QCOMPARE(a.line.linkState(), LinkState::Disable);
        QVERIFY(a.line.isPortOpen());
    }

    void failedSteps_data()
    {
        QTest::addColumn<std::vector<Rule>>("rules");
        QTest::addColumn<QStringList>("expected");
        QTest::addColumn<QByteArray>("after"); // what the program sends once the rules are used up
        // The working phone's first `good` answers, then a bad one.
        const auto broken = [](size_t good, const Rule &bad) {
            std::vector<Rule> rules = workingPhone();
            rules.resize(good + 1);
            rules.push_back(bad);
            return rules;
        };
        // At each other rate the ABORT that a phone left in plain OBEX answers and the ping
        // that a phone in BFB mode answers; both once more at 57600, "at" twice more, then
        // "at" at each other rate.
        const QByteArray search =
            (PhoneConnector::AbortPacket + Bfb::PingFrame).repeated(5) + QByteArray("at\r\n").repeated(6);
        // A phone switched to BFB mode is told to leave it.
        const QByteArray leave = Bfb::LeaveFrame;
        QTest::newRow("silent phone") << broken(0, {"at\r\n", ""}) << failedAfter(4, "AT") << search;
        QTest::newRow("wake answered without OK")
            << broken(0, {"at\r\n", "\r\nERROR\r\n"}) << failedAfter(4, "AT") << search;
        QTest::newRow("model refused") << broken(1, {"at+CGMM\r\n", "\r\nERROR\r\n"}) << failedAfter(5, "MODEL")
                                       << QByteArray();
        QTest::newRow("BFB mode refused gives the MODEL failure")
            << broken(2, {"AT^SBFB=1\r\n", "\r\nERROR\r\n"}) << failedAfter(7, "MODEL") << QByteArray();
        QTest::newRow("set-up frame answered with 3 bytes")
            << broken(3, {Bfb::SetupFrame, hex("020103")}) << failedAfter(8, "BFB") << leave;
        QTest::newRow("speed not confirmed")
            << broken(4, {Bfb::SpeedFrame, hex("010908C0") + "19200"}) << failedAfter(8, "BFB") << leave;
        QTest::newRow("at^sifs refused") << broken(5, {Bfb::SifsFrame, "ERROR"}) << failedAfter(8, "BFB") << leave;
        QTest::newRow("CONNECT answer of 46 bytes")
            << broken(6, {ConnectFrames, ConnectAnswer.left(46)}) << failedAfter(9, "BFB") << leave;
    }

    void failedSteps()
    {
        QFETCH(std::vector<Rule>, rules);
        QFETCH(QStringList, expected);
        QFETCH(QByteArray, after);
        Attempt a;
        ScriptedPhone phone(a.pty, rules);
        QVERIFY(!a.connector.run([] { QFAIL("no listing after a failed step"); }));
        QCOMPARE(a.events.log, expected);
        QVERIFY(!a.line.isPortOpen());
        QCOMPARE(a.line.linkState(), LinkState::Enable);
        QVERIFY(!LinkTestAccess::connectedMonitorRunning(a.line));
        QTRY_COMPARE(phone.received(), requests(rules) + after); // the last bytes may still be on their way
    }

    void speedStep_data()
    {
        QTest::addColumn<int>("speed");
        QTest::addColumn<QByteArray>("frame");
        QTest::addColumn<QByteArray>("answer");
        QTest::addColumn<bool>("confirmed");

        const auto accepted = [](QByteArray frame) { return frame.replace(3, 1, "\xCC"); };
        const QByteArray f19200 = hex("010908C0") + "19200" + hex("CE4DCF");
        const QByteArray f115200 = hex("010A0BC0") + "115200" + hex("0DD22B");
        QTest::addRow("19200 confirmed") << 19200 << f19200 << accepted(f19200) << true;
        QTest::addRow("115200 confirmed") << 115200 << f115200 << accepted(f115200) << true;
        QTest::addRow("115200 echoed") << 115200 << f115200 << f115200 << false;
        QTest::addRow("115200 answered short") << 115200 << f115200 << accepted(f115200).chopped(1) << false;
        QTest::addRow("115200 unanswered") << 115200 << f115200 << QByteArray() << false;
    }

    // Another rate's frame replaces the 57600 one only when the phone confirms it; then
    // the port follows. Otherwise the usual 57600 step follows and the port stays.
    void speedStep()
    {
        QFETCH(int, speed);
        QFETCH(QByteArray, frame);
        QFETCH(QByteArray, answer);
        QFETCH(bool, confirmed);

        Attempt a;
        QVERIFY(a.connector.setSpeed(speed));
        std::vector<Rule> rules = workingPhone();
        rules.insert(rules.begin() + 5, Rule{frame, answer});
        if (confirmed)
            rules.erase(rules.begin() + 6);
        ScriptedPhone phone(a.pty, rules);
        QVERIFY(a.connector.run([&] { QCOMPARE(a.line.lineRate(), confirmed ? speed : 57600); }));

        QTRY_COMPARE(phone.received(), requests(rules) + Bfb::AckFrame);
        const QString event =
            (confirmed ? QStringLiteral("speed %1") : QStringLiteral("speed %1 not confirmed")).arg(speed);
        QCOMPARE(a.events.log, Complete.mid(0, 8) + QStringList{event} + Complete.mid(8));
    }

    void runWhileLinkedClosesTheLink_data()
    {
        QTest::addColumn<int>("speed");
        QTest::addColumn<QByteArray>("answers"); // the phone's answers while it is left
        QTest::addColumn<QByteArray>("sent");

        const QByteArray disconnect = bfbFrame(bfbBlock(17, hex("810003")));
        const QByteArray answers =
            Bfb::AckFrame + bfbFrame(bfbBlock(1, hex("A00003")), 0x16) + bfbFrame(QByteArray("\r\nOK\r\n"), 0x06);
        QTest::newRow("phone that answers") << 57600 << answers << disconnect + Bfb::AckFrame + Bfb::LeaveFrame;
        QTest::newRow("silent phone") << 57600 << QByteArray() << disconnect + Bfb::LeaveFrame;
        // Back to the start rate first: the phone hears the leave frame only there.
        QTest::newRow("raised rate") << 115200 << QByteArray() << disconnect + Bfb::SpeedFrame + Bfb::LeaveFrame;
    }

    // Closing the link leaves the phone as it was found: DISCONNECT, the start rate, AT mode.
    void runWhileLinkedClosesTheLink()
    {
        QFETCH(int, speed);
        QFETCH(QByteArray, answers);
        QFETCH(QByteArray, sent);
        Attempt a;
        {
            std::vector<Rule> rules = workingPhone();
            if (speed != 57600) {
                QByteArray accepted = *Bfb::speedFrameFor(speed);
                rules[5] = {*Bfb::speedFrameFor(speed), accepted.replace(3, 1, "\xCC")};
                a.connector.setSpeed(speed);
            }
            ScriptedPhone phone(a.pty, rules);
            QVERIFY(a.connector.run([] {}));
        }
        LinkTestAccess::setSequence(a.bfb, 17);
        a.events.log.clear();
        ScriptedPhone phone(a.pty, {{sent.left(13), answers}});
        QElapsedTimer clock;
        clock.start();
        QVERIFY(!a.connector.run([] { QFAIL("closing lists nothing"); }));
        QVERIFY(clock.elapsed() < 1000); // scaled down from at most 1.5 s
        QCOMPARE(a.events.log, QStringList{QStringLiteral("state enable")});
        QVERIFY(!a.line.isPortOpen());
        QVERIFY(!LinkTestAccess::connectedMonitorRunning(a.line));
        QCOMPARE(a.bfb.bfbSequence(), qint16(1));
        QTRY_COMPARE(phone.received(), sent);
    }

    // Which way the connect procedure reaches plain OBEX, and when it keeps to BFB.
    void plainModeChosen_data()
    {
        QTest::addColumn<LinkChoice>("choice");
        QTest::addColumn<std::vector<Rule>>("rules");
        QTest::addColumn<LinkMode>("mode");
        QTest::addColumn<QByteArray>("response");
        QTest::addColumn<QStringList>("events");

        // The steps of a successful attempt, with the switch to plain OBEX after the first `at`.
        const auto switched = [](qsizetype at) {
            return Complete.mid(0, at) + QStringList{"step switching to plain OBEX"} + Complete.mid(at);
        };
        const auto plainSteps = [](const QString &model) {
            return Complete.mid(0, 5) + QStringList{"model " + model, "step switching to plain OBEX"} + Complete.mid(8);
        };
        const Rule noAbortAnswer{PhoneConnector::AbortPacket, ""};
        QTest::newRow("x65 in the window") << LinkChoice::BfbFirst << plainPhone("S65", S66Connect) << LinkMode::Plain
                                           << S66Connect << plainSteps("S65");
        QTest::newRow("x75 plain first") << LinkChoice::PlainFirst
                                         << prepended(noAbortAnswer, plainPhone("EL71", S75Connect)) << LinkMode::Plain
                                         << S75Connect << plainSteps("EL7");
        // Many phones send one 00 byte after the port opens; the ABORT answer follows it.
        QTest::newRow("left in OBEX mode")
            << LinkChoice::PlainOnly
            << std::vector<Rule>{{PhoneConnector::AbortPacket, hex("00a00003")}, {ConnectPacket, M56Connect}}
            << LinkMode::Plain << M56Connect << Complete.mid(0, 3) + Complete.mid(8);
        // Takes "AT^SBFB=1" and then sends nothing: back to AT mode, then plain OBEX.
        std::vector<Rule> silentBfb = workingPhone();
        silentBfb.resize(4);
        const std::vector<Rule> plain = plainPhone("M55", M56Connect);
        silentBfb.insert(silentBfb.end(), {{Bfb::SetupFrame, ""}, {Bfb::LeaveFrame, ""}, plain[1]});
        silentBfb.insert(silentBfb.end(), plain.begin() + 3, plain.end());
        QTest::newRow("BFB unanswered in the window")
            << LinkChoice::BfbFirst << silentBfb << LinkMode::Plain << M56Connect << switched(8);
        // Knows neither "AT^SIFS" nor "AT^SQWE=0": BFB as ever.
        std::vector<Rule> bfbOnly = workingPhone();
        bfbOnly.insert(bfbOnly.begin() + 3, {{"AT^SIFS\r\n", "\r\nERROR\r\n"}, {"AT^SQWE=0\r\n", "\r\nERROR\r\n"}});
        QTest::newRow("plain refused") << LinkChoice::PlainFirst << prepended(noAbortAnswer, bfbOnly) << LinkMode::Bfb
                                       << QByteArray() << switched(6);
    }

    void plainModeChosen()
    {
        QFETCH(LinkChoice, choice);
        QFETCH(std::vector<Rule>, rules);
        QFETCH(LinkMode, mode);
        Attempt a;
        a.connector.setLinkChoice(choice);
        ScriptedPhone phone(a.pty, rules);
        QVERIFY(a.connector.run([] {}));
        QCOMPARE(a.connector.linkMode(), mode);
        QTEST(a.connector.connectResponse(), "response");
        QTEST(a.events.log, "events");
        QTRY_COMPARE(phone.received(), requests(rules) + (mode == LinkMode::Bfb ? Bfb::AckFrame : QByteArray()));
        QCOMPARE(a.line.bytesWaiting(), 0);
    }

    // S56v06 obex.connect: the CONNECT in plain OBEX refused with C3. The attempt fails as
    // plain OBEX failing, and the phone goes back to AT mode (no DISCONNECT: nothing is open).
    void plainConnectRefused()
    {
        Attempt a;
        a.connector.setLinkChoice(LinkChoice::PlainOnly);
        std::vector<Rule> rules = prepended({PhoneConnector::AbortPacket, ""}, plainPhone("S56", S56Connect));
        rules.push_back({"+++", "\r\nOK\r\n"});
        ScriptedPhone phone(a.pty, rules);
        QVERIFY(!a.connector.run([] { QFAIL("a refused connection lists nothing"); }));
        QCOMPARE(a.events.log.filter(QStringLiteral("failed")), QStringList{QStringLiteral("failed plain")});
        QVERIFY(!a.line.isPortOpen());
        QTRY_COMPARE(phone.received(), requests(rules));
    }

    void plainInterface_data()
    {
        QTest::addColumn<std::vector<Rule>>("rules");
        QTest::addColumn<PhoneInterface>("phoneInterface");
        QTest::addColumn<QByteArray>("escape"); // the phone's answer to "+++"; null: none is sent

        const auto answering = [](const QByteArray &model, const QByteArray &sifs) {
            std::vector<Rule> rules = prepended({PhoneConnector::AbortPacket, ""}, plainPhone(model, S66Connect));
            rules[4].reply = sifs;
            return rules;
        };
        const QByteArray wire = "\r\n^SIFS: WIRE\r\n\r\nOK\r\n", silent("");
        // Leaving plain OBEX: DISCONNECT, a second of silence, "+++"; an x55 answers "OK" a
        // second later, an x65 nothing.
        QTest::newRow("x55 on a serial cable")
            << answering("M55", wire) << PhoneInterface::Wire << QByteArray("\r\nOK\r\n");
        QTest::newRow("x65 on a serial cable") << answering("S65", wire) << PhoneInterface::Wire << silent;
        // A DCA-540: no "+++" that could leave the phone deaf; it stays in OBEX mode.
        QTest::newRow("USB cable") << answering("S65", "\r\n^SIFS: USB\r\n\r\nOK\r\n") << PhoneInterface::Usb
                                   << QByteArray();
        // What a phone answers is not recorded: one that does not know the command connects as ever.
        QTest::newRow("ERROR") << answering("S65", "\r\nERROR\r\n") << PhoneInterface::Unknown << silent;
        QTest::newRow("no answer") << answering("S65", {}) << PhoneInterface::Unknown << silent;
        // Nothing in this session says which cable the phone is on.
        QTest::newRow("found in OBEX mode")
            << std::vector<Rule>{{PhoneConnector::AbortPacket, hex("a00003")}, {ConnectPacket, S66Connect}}
            << PhoneInterface::Unknown << QByteArray();
    }

    // "AT^SIFS" before "AT^SQWE=3"; closing sends "+++" only where it is known to end plain OBEX.
    void plainInterface()
    {
        QFETCH(std::vector<Rule>, rules);
        QFETCH(QByteArray, escape);
        Attempt a;
        a.connector.setLinkChoice(LinkChoice::PlainOnly);
        rules.push_back({DisconnectPacket, hex("a00003")});
        if (!escape.isNull())
            rules.push_back({"+++", escape});
        ScriptedPhone phone(a.pty, rules);
        QVERIFY(a.connector.run([] {}));
        QTEST(a.connector.phoneInterface(), "phoneInterface");
        QCOMPARE(a.connector.leavesPhoneInObex(), escape.isNull());
        a.connector.close();
        QVERIFY(!a.line.isPortOpen());
        QTest::qWait(100);
        QTRY_COMPARE(phone.received(), requests(rules));
    }

    void phoneLeftByAnotherRun_data()
    {
        QTest::addColumn<LinkChoice>("before"); // the run that vanished, at 115200 baud
        QTest::addColumn<LinkChoice>("choice");
        QTest::addColumn<LinkMode>("mode");
        QTest::addColumn<int>("rate"); // the line's rate with the link up
        QTest::addColumn<int>("probes"); // what the search writes until the phone answers
        QTest::addColumn<QString>("left"); // how the phone left its mode, if it was told
        // Found in plain OBEX by the ABORT at 115200 after the ping and "at" at 57600 (and
        // the ABORT there first, when plain OBEX is the first choice). A run that asks for
        // BFB only fails and leaves it there: "+++" might leave a phone behind a USB cable deaf.
        QTest::newRow("plain OBEX, then BFB")
            << LinkChoice::PlainOnly << LinkChoice::BfbOnly << LinkMode::Bfb << 57600 << 3 << QString();
        QTest::newRow("plain OBEX, then the default")
            << LinkChoice::PlainOnly << LinkChoice::PlainFirst << LinkMode::Plain << 115200 << 4 << QString();
        // Found in BFB mode by the ping at 115200, after the ABORT there.
        QTest::newRow("BFB, then BFB") << LinkChoice::BfbOnly << LinkChoice::BfbOnly << LinkMode::Bfb << 57600 << 4
                                       << "BFB-END AT^SBFB=0";
        QTest::newRow("BFB, then the default")
            << LinkChoice::BfbOnly << LinkChoice::PlainFirst << LinkMode::Plain << 57600 << 5 << "BFB-END AT^SBFB=0";
    }

    // A run at 115200 baud that vanished without leaving the phone (killed, or followed by the
    // next run before the phone took the escape from plain OBEX) left it in its mode at that
    // rate: the next run finds it there, whatever it asks for, within a few probes.
    void phoneLeftByAnotherRun()
    {
        QFETCH(LinkChoice, before);
        QFETCH(LinkChoice, choice);
        QFETCH(LinkMode, mode);
        QFETCH(int, probes);
        QFETCH(QString, left);
        QTemporaryDir dir;
        PhoneSim sim;
        QVERIFY(QDir().mkpath(dir.filePath(QStringLiteral("flash"))));
        QVERIFY(sim.start(dir.filePath(QStringLiteral("flash")), {"--at-latency", "0", "--obex-latency", "0"}));
        const auto attempt = [&](LinkChoice linkChoice, int speed, const QString &trace) {
            auto a = std::make_unique<Attempt>();
            a->line.setDevicePath(sim.device);
            a->line.setPauseScale(0.3);
            a->connector.setLinkChoice(linkChoice);
            a->connector.setSpeed(speed);
            if (!trace.isEmpty())
                a->line.traceTo(trace);
            return a;
        };
        {
            const auto vanished = attempt(before, 115200, {});
            QVERIFY(vanished->connector.run([] {}));
            QCOMPARE(vanished->line.lineRate(), 115200);
        }
        const QString trace = dir.filePath(QStringLiteral("next.trace"));
        const auto next = attempt(choice, SerialPort::StartBaudRate, trace);
        if (before == LinkChoice::PlainOnly && choice == LinkChoice::BfbOnly) {
            QVERIFY(!next->connector.run([] {}));
            QCOMPARE(next->connector.failure(), std::optional(ConnectFailure::InObexMode));
            QCOMPARE(sim.logLines(QStringLiteral("PLAIN-END")), QStringList());
            QVERIFY(!readFile(trace).contains(" 2B 2B 2B"));
            return;
        }
        QVERIFY(next->connector.run([] {}));
        QCOMPARE(next->connector.linkMode(), mode);
        QTEST(next->line.lineRate(), "rate");
        if (!left.isEmpty())
            QCOMPARE(sim.logLines(left.section(u' ', 0, 0)), QStringList{left});
        // The trace's lines up to the phone's first answer.
        const QByteArray written = '\n' + readFile(trace);
        const qsizetype answered = written.indexOf("\nPHONE ");
        QVERIFY(answered >= 0);
        QCOMPARE(written.left(answered).count("\nPC "), probes);
    }
};

QTEST_GUILESS_MAIN(ConnectTest)
#include "tst_connect.moc"
