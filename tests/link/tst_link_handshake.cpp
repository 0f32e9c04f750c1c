// The connect procedure against a scripted phone on the pseudo-terminal. The
// phone runs on its own thread because the procedure blocks in its pauses; the
// pauses are scaled down (the program itself keeps them at full length).

#include "handshake.h"
#include "linktestsupport.h"

#include <QTest>

namespace {

using Rule = ScriptedPhone::Rule;

constexpr double FastPauses = 0.15;

const QByteArray ConnectAnswer = [] {
    // The link acknowledgement, then the CONNECT response in one frame: 47 bytes.
    QByteArray block = QByteArray::fromHex("02FD000020");
    block += QByteArray::fromHex("A000201000040046");
    block += QByteArray(24, char(0x11));
    block += QByteArray::fromHex("C1C2");
    QByteArray answer = QByteArray::fromHex("16021401FE");
    answer += char(0x16);
    answer += char(block.size());
    answer += char(0x16 ^ block.size());
    return answer + block;
}();

std::vector<Rule> workingPhone()
{
    return {
        {"at\r\n", "\r\nOK\r\n"},
        // An echoing phone: characters 11 to 13 of the whole reply are the model.
        {"at+CGMM\r\n", "at+CGMM\r\r\nM55\r\n\r\nOK\r\n"},
        {"AT^SBFB=1\r\n", "\r\nOK\r\n"},
        {PhoneConnector::SetupFrame, QByteArray::fromHex("020103CC")},
        {PhoneConnector::SpeedFrame, PhoneConnector::SpeedFrame},
        {PhoneConnector::SifsFrame, QByteArray::fromHex("06060C") + "\r\nOK\r\n"},
        {PhoneConnector::ConnectFrames, ConnectAnswer},
    };
}

const QByteArray FullDialogue = QByteArray("at\r\nat+CGMM\r\nAT^SBFB=1\r\n") + PhoneConnector::SetupFrame
    + PhoneConnector::SpeedFrame + PhoneConnector::SifsFrame + PhoneConnector::ConnectFrames + PhoneLink::AckFrame;

struct Attempt
{
    Pty pty;
    RecordingEvents events;
    std::unique_ptr<Checksum> crc = makeChecksum();
    PhoneLink link{*crc, events};
    PhoneConnector connector{link};

    explicit Attempt(double pauseScale = FastPauses)
    {
        link.setDevicePath(pty.slavePath());
        link.setPauseScale(pauseScale);
        link.setTimeoutInterval(2000);
    }
};

const QStringList UpToModel = {
    QStringLiteral("state Disable"), QStringLiteral("step attempting"),   QStringLiteral("step port opened"),
    QStringLiteral("step waking"),   QStringLiteral("step asking model"),
};
const QStringList UpToSetup = UpToModel
    + QStringList{QStringLiteral("model M55"), QStringLiteral("step switching to BFB"),
                  QStringLiteral("step setting up BFB")};
const QStringList UpToConnect = UpToSetup + QStringList{QStringLiteral("step opening OBEX")};
const QStringList UpToListing =
    UpToConnect + QStringList{QStringLiteral("step link up"), QStringLiteral("step listing root")};
const QStringList Complete =
    UpToListing + QStringList{QStringLiteral("step root listed"), QStringLiteral("step established")};

QStringList failedWith(const QString &step)
{
    return {QStringLiteral("failed ") + step, QStringLiteral("state enable")};
}

} // namespace

class HandshakeTest : public QObject
{
    Q_OBJECT

private slots:
    void prebuiltFramesAreExact();
    void connectsAndListsTheRoot();
    void failedSteps_data();
    void failedSteps();
    void speedStep_data();
    void speedStep();
    void connectAnswerGetsOneExtraWait();
    void portThatCannotBeOpenedAllowsARetry();
    void runWhileLinkedClosesTheLink();
};

void HandshakeTest::prebuiltFramesAreExact()
{
    QCOMPARE(PhoneConnector::SetupFrame.toHex(' '), QByteArray("02 01 03 0c"));
    QCOMPARE(PhoneConnector::SpeedFrame.toHex(' '), QByteArray("01 09 08 c0 35 37 36 30 30 ca 89 cf"));
    QCOMPARE(PhoneConnector::speedFrameFor(57600), PhoneConnector::SpeedFrame);
    QVERIFY(!PhoneConnector::speedFrameFor(230400));
    QCOMPARE(PhoneConnector::SifsFrame.toHex(' '), QByteArray("06 08 0e 61 74 5e 73 69 66 73 0d"));
    const QByteArray frames = PhoneConnector::ConnectFrames;
    QCOMPARE(frames.toHex(' '),
             QByteArray("16 20 36 02 fd 00 00 1a 80 00 1a 10 00 40 06 46 00 13 6b 01 cb 31 41 06 11 d4 9a "
                        "77 00 50 da 3f 47 1f 21 16 01 17 e3"));

    // The CRC carried is the one of the block it closes: over sequence, length, packet.
    auto crc = makeChecksum();
    const QByteArray block = frames.mid(3, 32) + frames.mid(38, 1);
    QCOMPARE(block.size(), 33);
    QCOMPARE(crc->CrcCalc(block.mid(2, 29)), quint16(0xE321));
    // The same block through SendPacket goes out as the same two frames.
    Attempt a;
    QString reason;
    QVERIFY2(PhoneLinkTestAccess::openAsConnected(a.link, a.pty.slavePath(), &reason), qPrintable(reason));
    a.pty.send(PhoneLink::AckFrame);
    a.link.SendPacket(block);
    QCOMPARE(a.pty.receive(int(frames.size())).toHex(' '), frames.toHex(' '));
}

void HandshakeTest::connectsAndListsTheRoot()
{
    Attempt a;
    ScriptedPhone phone(a.pty, workingPhone());
    PhoneLinkTestAccess::setSequence(a.link, 42);

    int listings = 0;
    QVERIFY(a.connector.run([&] {
        ++listings;
        // The link is up: single-byte mode, first block after CONNECT carries 1.
        QCOMPARE(a.link.bfbSequence(), qint16(1));
        QCOMPARE(PhoneLinkTestAccess::readLength(a.link), SerialPort::SingleByte);
        QVERIFY(a.link.isPortOpen());
        QVERIFY(PhoneLinkTestAccess::connectedMonitorRunning(a.link));
        QCOMPARE(a.link.linkState(), LinkState::Disable);
        QCOMPARE(a.events.log, UpToListing);
        QTRY_COMPARE(phone.received(), FullDialogue);
        QCOMPARE(a.link.bytesWaiting(), 0); // the CONNECT answer was read whole
    }));

    QCOMPARE(listings, 1);
    QCOMPARE(a.events.log, Complete);
    QCOMPARE(a.connector.model(), QStringLiteral("M55"));
    QCOMPARE(a.link.linkState(), LinkState::Disable);
    QVERIFY(a.link.isPortOpen());
}

void HandshakeTest::failedSteps_data()
{
    QTest::addColumn<std::vector<Rule>>("rules");
    QTest::addColumn<QStringList>("expected");
    QTest::addColumn<QByteArray>("dialogue");

    const std::vector<Rule> all = workingPhone();
    auto firstRules = [&](size_t count) { return std::vector<Rule>(all.begin(), all.begin() + count); };
    const QByteArray at = "at\r\n";
    const QByteArray model = "at+CGMM\r\n";
    const QByteArray bfb = "AT^SBFB=1\r\n";

    const QStringList upToWaking = UpToModel.mid(0, 4);
    QTest::newRow("silent phone") << std::vector<Rule>{} << upToWaking + failedWith("AT") << at;
    QTest::newRow("wake answered without OK")
        << std::vector<Rule>{{"at\r\n", "\r\nERROR\r\n"}} << upToWaking + failedWith("AT") << at;
    QTest::newRow("model refused") << std::vector<Rule>{{"at\r\n", "OK"}, {"at+CGMM\r\n", "\r\nERROR\r\n"}}
                                   << UpToModel + failedWith("MODEL") << at + model;

    std::vector<Rule> bfbRefused = firstRules(2);
    bfbRefused.push_back({bfb, "\r\nERROR\r\n"});
    QTest::newRow("BFB mode refused gives the MODEL failure")
        << bfbRefused << UpToSetup.mid(0, UpToSetup.size() - 1) + failedWith("MODEL") << at + model + bfb;

    std::vector<Rule> shortSetup = firstRules(3);
    shortSetup.push_back({PhoneConnector::SetupFrame, QByteArray::fromHex("020103")});
    QTest::newRow("set-up frame answered with 3 bytes")
        << shortSetup << UpToSetup + failedWith("BFB") << at + model + bfb + PhoneConnector::SetupFrame;

    std::vector<Rule> noSpeed = firstRules(4);
    noSpeed.push_back({PhoneConnector::SpeedFrame, QByteArray::fromHex("010908C0") + "19200"});
    QTest::newRow("speed not confirmed") << noSpeed << UpToSetup + failedWith("BFB")
                                         << at + model + bfb + PhoneConnector::SetupFrame + PhoneConnector::SpeedFrame;

    std::vector<Rule> noSifs = firstRules(5);
    noSifs.push_back({PhoneConnector::SifsFrame, "ERROR"});
    QTest::newRow("at^sifs refused") << noSifs << UpToSetup + failedWith("BFB")
                                     << at + model + bfb + PhoneConnector::SetupFrame + PhoneConnector::SpeedFrame
            + PhoneConnector::SifsFrame;

    std::vector<Rule> shortConnect = firstRules(6);
    shortConnect.push_back({PhoneConnector::ConnectFrames, ConnectAnswer.left(46)});
    QTest::newRow("CONNECT answer of 46 bytes") << shortConnect << UpToConnect + failedWith("BFB")
                                                << at + model + bfb + PhoneConnector::SetupFrame
            + PhoneConnector::SpeedFrame + PhoneConnector::SifsFrame + PhoneConnector::ConnectFrames;
}

void HandshakeTest::failedSteps()
{
    QFETCH(std::vector<Rule>, rules);
    QFETCH(QStringList, expected);
    QFETCH(QByteArray, dialogue);

    Attempt a;
    ScriptedPhone phone(a.pty, rules);
    bool listed = false;
    QVERIFY(!a.connector.run([&] { listed = true; }));

    QVERIFY(!listed);
    QCOMPARE(a.events.log, expected);
    QVERIFY(!a.link.isPortOpen());
    QCOMPARE(a.link.linkState(), LinkState::Enable);
    QVERIFY(!PhoneLinkTestAccess::connectedMonitorRunning(a.link));
    QCOMPARE(phone.received(), dialogue);
}

void HandshakeTest::speedStep_data()
{
    QTest::addColumn<int>("speed");
    QTest::addColumn<QByteArray>("frame");
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<bool>("confirmed");

    const auto accepted = [](QByteArray frame) { return frame.replace(3, 1, "\xCC"); };
    const QByteArray f19200 = QByteArray::fromHex("010908C0") + "19200" + QByteArray::fromHex("CE4DCF");
    const QByteArray f38400 = QByteArray::fromHex("010908C0") + "38400" + QByteArray::fromHex("CC4BCF");
    const QByteArray f115200 = QByteArray::fromHex("010A0BC0") + "115200" + QByteArray::fromHex("0DD22B");
    QTest::addRow("19200 confirmed") << 19200 << f19200 << accepted(f19200) << true;
    QTest::addRow("38400 confirmed") << 38400 << f38400 << accepted(f38400) << true;
    QTest::addRow("115200 confirmed") << 115200 << f115200 << accepted(f115200) << true;
    QTest::addRow("115200 echoed") << 115200 << f115200 << f115200 << false;
    QTest::addRow("115200 answered short") << 115200 << f115200 << accepted(f115200).chopped(1) << false;
    QTest::addRow("115200 unanswered") << 115200 << f115200 << QByteArray() << false;
}

// Another rate's frame replaces the 57600 one only when the phone confirms it; then
// the port follows. Otherwise the usual 57600 step follows and the port stays.
void HandshakeTest::speedStep()
{
    QFETCH(int, speed);
    QFETCH(QByteArray, frame);
    QFETCH(QByteArray, answer);
    QFETCH(bool, confirmed);

    Attempt a;
    QVERIFY(a.connector.setSpeed(speed));
    std::vector<Rule> rules = workingPhone();
    rules.insert(rules.begin() + 4, Rule{frame, answer});
    if (confirmed)
        rules.erase(rules.begin() + 5);
    ScriptedPhone phone(a.pty, rules);
    QVERIFY(a.connector.run([&] { QCOMPARE(a.link.lineRate(), confirmed ? speed : 57600); }));

    const QByteArray start = QByteArray("at\r\nat+CGMM\r\nAT^SBFB=1\r\n") + PhoneConnector::SetupFrame + frame;
    QCOMPARE(phone.received(),
             start + (confirmed ? QByteArray() : PhoneConnector::SpeedFrame)
                 + FullDialogue.mid(start.size() - frame.size() + PhoneConnector::SpeedFrame.size()));
    const QString event =
        (confirmed ? QStringLiteral("speed %1") : QStringLiteral("speed %1 not confirmed")).arg(speed);
    QCOMPARE(a.events.log, UpToSetup + QStringList{event} + Complete.mid(UpToSetup.size()));
}

void HandshakeTest::connectAnswerGetsOneExtraWait()
{
    // 46 bytes at once, the 47th after more than one and less than two waits of 600 ms.
    Attempt a(0.35);
    std::vector<Rule> rules = workingPhone();
    rules.back() = {PhoneConnector::ConnectFrames, ConnectAnswer.left(46), ConnectAnswer.mid(46), 315};
    ScriptedPhone phone(a.pty, rules);
    bool listed = false;
    QVERIFY(a.connector.run([&] { listed = true; }));
    QVERIFY(listed);
    QCOMPARE(a.events.log, Complete);
}

void HandshakeTest::portThatCannotBeOpenedAllowsARetry()
{
    Attempt a;
    a.link.setDevicePath(QStringLiteral("/dev/tarvel-no-such-port"));
    QVERIFY(!a.connector.run([] { QFAIL("no listing without a port"); }));

    QCOMPARE(a.events.log,
             (QStringList{QStringLiteral("state Disable"), QStringLiteral("step attempting")} + failedWith("port")));
    QCOMPARE(a.events.portError, SerialPort::OpenError::NoSuchDevice);
    QCOMPARE(a.link.linkState(), LinkState::Enable);

    // The very next run tries again (here the phone is there but silent).
    a.link.setDevicePath(a.pty.slavePath());
    a.events.log.clear();
    ScriptedPhone phone(a.pty, {});
    a.connector.run([] {});
    QCOMPARE(a.events.log, UpToModel.mid(0, 4) + failedWith("AT"));
    QCOMPARE(phone.received(), QByteArray("at\r\n"));
}

void HandshakeTest::runWhileLinkedClosesTheLink()
{
    Attempt a;
    {
        ScriptedPhone phone(a.pty, workingPhone());
        QVERIFY(a.connector.run([] {}));
    }
    PhoneLinkTestAccess::setSequence(a.link, 17);
    a.events.log.clear();

    QVERIFY(!a.connector.run([] { QFAIL("closing lists nothing"); }));
    QCOMPARE(a.events.log, QStringList{QStringLiteral("state enable")});
    QVERIFY(!a.link.isPortOpen());
    QVERIFY(!PhoneLinkTestAccess::connectedMonitorRunning(a.link));
    QCOMPARE(a.link.bfbSequence(), qint16(1));
    QVERIFY(a.pty.drain().isEmpty());
}

QTEST_GUILESS_MAIN(HandshakeTest)
#include "tst_link_handshake.moc"
