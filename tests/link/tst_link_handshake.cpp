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
    RecordingUi ui;
    std::unique_ptr<Checksum> crc = makeChecksum();
    PhoneLink link{*crc, ui};
    PhoneConnector connector{link};

    explicit Attempt(double pauseScale = FastPauses)
    {
        link.Comm1.setDevicePath(pty.slavePath());
        link.setPauseScale(pauseScale);
        link.setTimeoutInterval(2000);
    }

    QList<QPair<QString, int>> rows() const
    {
        QList<QPair<QString, int>> list;
        for (const auto &row : ui.rows)
            list.append({row.text, row.icon});
        return list;
    }
};

using Rows = QList<QPair<QString, int>>;

const Rows ProgressUpToModel = {
    {QStringLiteral("Подключаюсь к телефону... AT"), 6},
    {QStringLiteral("Модель телефона?"), 5},
};
const Rows ProgressUpToSetup = ProgressUpToModel
    + Rows{
        {QStringLiteral("Siemens M55"), 7},
        {QStringLiteral("Устанавливаем режим обмена BFB..."), 6},
        {QStringLiteral("Настройка протокола обмена данными..."), 6},
    };
const Rows ProgressUpToConnect = ProgressUpToSetup
    + Rows{
        {QStringLiteral("Подключаюсь по OBEX протоколу..."), 1},
    };
const Rows ProgressComplete = ProgressUpToConnect
    + Rows{
        {QStringLiteral("Связь установлена..."), 7},
        {QStringLiteral("Получаю список папок..."), 2},
    };
const Rows AtLines = {
    {QStringLiteral("Не могу получить ответ от телефона..."), 4},
    {QStringLiteral("Проверьте, включен ли телефон, "), 5},
    {QStringLiteral("правильно ли он подключен,"), 0},
    {QStringLiteral("установлен ли в настройках нужный COM порт..."), 0},
};
const Rows ModelLines = {
    {QStringLiteral("Не могу получить ответ от телефона..."), 4},
    {QStringLiteral("Попробуйте еще раз..."), 5},
};
const Rows BfbLines = {
    {QStringLiteral("Не могу соединиться по BFB  протоколу..."), 4},
    {QStringLiteral("Выключите и включите телефон..."), 5},
    {QStringLiteral("Попробуйте еще раз..."), 0},
};

// The listing as it normally ends: it sets its own maximum and closes the window.
void listingThatCloses(RecordingUi &ui)
{
    ui.progressSetMaximum(3);
    ui.progressClose();
}

} // namespace

class HandshakeTest : public QObject
{
    Q_OBJECT

private slots:
    void prebuiltFramesAreExact();
    void connectsAndListsTheRoot();
    void listingThatEndsEarlyStillFinishes();
    void failedSteps_data();
    void failedSteps();
    void connectAnswerGetsOneExtraWait();
    void portThatCannotBeOpenedAllowsARetry();
    void runWhileLinkedClosesTheLink();
};

void HandshakeTest::prebuiltFramesAreExact()
{
    QCOMPARE(PhoneConnector::SetupFrame.toHex(' '), QByteArray("02 01 03 0c"));
    QCOMPARE(PhoneConnector::SpeedFrame.toHex(' '), QByteArray("01 09 08 c0 35 37 36 30 30 ca 89 cf"));
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
    RecordingUi ui;
    PhoneLink link(*crc, ui);
    QByteArray rebuilt = block.left(31);
    link.appendBlockCrc(rebuilt);
    QCOMPARE(rebuilt, block);
    QCOMPARE(link.dataFrame(block.left(32)) + link.dataFrame(block.mid(32)), frames);
}

void HandshakeTest::connectsAndListsTheRoot()
{
    Attempt a;
    ScriptedPhone phone(a.pty, workingPhone());
    QStringList states;
    connect(&a.link, &PhoneLink::linkStateChanged, this, [&](const QString &s) { states << s; });
    a.link.BfbSequence = 42;

    int listings = 0;
    a.connector.run([&] {
        ++listings;
        // The link is up: single-byte mode, first block after CONNECT carries 1.
        QCOMPARE(a.link.BfbSequence, qint16(1));
        QCOMPARE(a.link.Comm1.readLength(), SerialPort::SingleByte);
        QVERIFY(a.link.Comm1.isOpen());
        QVERIFY(a.link.Timer2.isActive());
        QCOMPARE(a.link.linkState(), QStringLiteral("Disable"));
        QVERIFY(!a.ui.mainVisible);
        QCOMPARE(a.ui.progressValueNow, 5);
        QCOMPARE(a.rows(), ProgressComplete);
        QTRY_COMPARE(phone.received(), FullDialogue);
        QCOMPARE(a.link.Comm1.bytesWaiting(), 0); // the CONNECT answer was read whole
        listingThatCloses(a.ui);
    });

    QCOMPARE(listings, 1);
    QCOMPARE(a.rows(), ProgressComplete);
    QVERIFY(a.ui.messages.empty());
    QVERIFY(a.ui.connected);
    QVERIFY(a.ui.mainVisible);
    QVERIFY(!a.ui.progressOpen);
    QVERIFY(!a.ui.closeButtonShown);
    QCOMPARE(a.link.linkState(), QStringLiteral("Disable"));
    QCOMPARE(states, QStringList{QStringLiteral("Disable")});
    QVERIFY(a.link.Comm1.isOpen());

    const QStringList &calls = a.ui.calls;
    QCOMPARE(calls.first(), QStringLiteral("main visible 0"));
    QVERIFY(calls.indexOf(QStringLiteral("max 6")) < calls.indexOf(QStringLiteral("value 2")));
    QVERIFY(calls.indexOf(QStringLiteral("value 2")) < calls.indexOf(QStringLiteral("value 3")));
    QVERIFY(calls.indexOf(QStringLiteral("value 4")) < calls.indexOf(QStringLiteral("value 5")));
    QVERIFY(!calls.contains(QStringLiteral("value 6")));
    QCOMPARE(calls.mid(calls.size() - 2), (QStringList{QStringLiteral("main visible 1"), QStringLiteral("connected")}));
}

void HandshakeTest::listingThatEndsEarlyStillFinishes()
{
    Attempt a;
    ScriptedPhone phone(a.pty, workingPhone());
    // The listing gave up early and left its window open with a maximum of 3.
    a.connector.run([&] { a.ui.progressSetMaximum(3); });
    QCOMPARE(a.ui.progressMaximum, 6);
    QCOMPARE(a.ui.progressValueNow, 6);
    QVERIFY(!a.ui.progressOpen);
    QVERIFY(a.ui.mainVisible);
    QVERIFY(a.ui.connected);
    QCOMPARE(a.link.linkState(), QStringLiteral("Disable"));
}

void HandshakeTest::failedSteps_data()
{
    QTest::addColumn<std::vector<Rule>>("rules");
    QTest::addColumn<Rows>("expected");
    QTest::addColumn<QByteArray>("dialogue");

    const std::vector<Rule> all = workingPhone();
    auto firstRules = [&](size_t count) { return std::vector<Rule>(all.begin(), all.begin() + count); };
    const QByteArray at = "at\r\n";
    const QByteArray model = "at+CGMM\r\n";
    const QByteArray bfb = "AT^SBFB=1\r\n";

    QTest::newRow("silent phone") << std::vector<Rule>{} << Rows{ProgressUpToModel.first()} + AtLines << at;
    QTest::newRow("wake answered without OK")
        << std::vector<Rule>{{"at\r\n", "\r\nERROR\r\n"}} << Rows{ProgressUpToModel.first()} + AtLines << at;
    QTest::newRow("model refused") << std::vector<Rule>{{"at\r\n", "OK"}, {"at+CGMM\r\n", "\r\nERROR\r\n"}}
                                   << ProgressUpToModel + ModelLines << at + model;

    std::vector<Rule> bfbRefused = firstRules(2);
    bfbRefused.push_back({bfb, "\r\nERROR\r\n"});
    QTest::newRow("BFB mode refused gives the MODEL lines") << bfbRefused
                                                            << ProgressUpToModel
            + Rows{{QStringLiteral("Siemens M55"), 7}, {QStringLiteral("Устанавливаем режим обмена BFB..."), 6}}
            + ModelLines << at + model + bfb;

    std::vector<Rule> shortSetup = firstRules(3);
    shortSetup.push_back({PhoneConnector::SetupFrame, QByteArray::fromHex("020103")});
    QTest::newRow("set-up frame answered with 3 bytes")
        << shortSetup << ProgressUpToSetup + BfbLines << at + model + bfb + PhoneConnector::SetupFrame;

    std::vector<Rule> noSpeed = firstRules(4);
    noSpeed.push_back({PhoneConnector::SpeedFrame, QByteArray::fromHex("010908C0") + "19200"});
    QTest::newRow("speed not confirmed") << noSpeed << ProgressUpToSetup + BfbLines
                                         << at + model + bfb + PhoneConnector::SetupFrame + PhoneConnector::SpeedFrame;

    std::vector<Rule> noSifs = firstRules(5);
    noSifs.push_back({PhoneConnector::SifsFrame, "ERROR"});
    QTest::newRow("at^sifs refused") << noSifs << ProgressUpToSetup + BfbLines
                                     << at + model + bfb + PhoneConnector::SetupFrame + PhoneConnector::SpeedFrame
            + PhoneConnector::SifsFrame;

    std::vector<Rule> shortConnect = firstRules(6);
    shortConnect.push_back({PhoneConnector::ConnectFrames, ConnectAnswer.left(46)});
    QTest::newRow("CONNECT answer of 46 bytes") << shortConnect << ProgressUpToConnect + BfbLines
                                                << at + model + bfb + PhoneConnector::SetupFrame
            + PhoneConnector::SpeedFrame + PhoneConnector::SifsFrame + PhoneConnector::ConnectFrames;
}

void HandshakeTest::failedSteps()
{
    QFETCH(std::vector<Rule>, rules);
    QFETCH(Rows, expected);
    QFETCH(QByteArray, dialogue);

    Attempt a;
    ScriptedPhone phone(a.pty, rules);
    bool listed = false;
    a.connector.run([&] { listed = true; });

    QVERIFY(!listed);
    QCOMPARE(a.rows(), expected);
    QVERIFY(a.ui.closeButtonShown);
    QVERIFY(a.ui.progressOpen); // stays for the user to read and close
    QVERIFY(a.ui.mainVisible);
    QVERIFY(a.ui.mainEnabled);
    QVERIFY(a.ui.calls.contains(QStringLiteral("focus")));
    QVERIFY(!a.ui.connected);
    QVERIFY(a.ui.messages.empty());
    QVERIFY(!a.link.Comm1.isOpen());
    QCOMPARE(a.link.linkState(), QStringLiteral("enable"));
    QVERIFY(!a.link.Timer2.isActive());
    QCOMPARE(phone.received(), dialogue);
}

void HandshakeTest::connectAnswerGetsOneExtraWait()
{
    // 46 bytes at once, the 47th after more than one and less than two waits of 600 ms.
    Attempt a(0.35);
    std::vector<Rule> rules = workingPhone();
    rules.back() = {PhoneConnector::ConnectFrames, ConnectAnswer.left(46), ConnectAnswer.mid(46), 315};
    ScriptedPhone phone(a.pty, rules);
    bool listed = false;
    a.connector.run([&] {
        listed = true;
        listingThatCloses(a.ui);
    });
    QVERIFY(listed);
    QVERIFY(a.ui.connected);
    QCOMPARE(a.rows(), ProgressComplete);
}

void HandshakeTest::portThatCannotBeOpenedAllowsARetry()
{
    Attempt a;
    a.link.Comm1.setDevicePath(QStringLiteral("/dev/tarvel-no-such-port"));
    a.connector.run([] { QFAIL("no listing without a port"); });

    QCOMPARE(int(a.ui.messages.size()), 1);
    QCOMPARE(a.ui.messages[0].icon, PhoneUi::Icon::Critical);
    QVERIFY(a.ui.messages[0].title.isEmpty()); // the program's title
    QCOMPARE(a.ui.messages[0].text,
             QStringLiteral("Не могу открыть порт, установите в НАСТРОЙКАХ необходимый номер порта!!!"));
    QVERIFY(a.ui.mainVisible);
    QVERIFY(a.ui.rows.empty());
    QVERIFY(!a.ui.progressOpen);
    QCOMPARE(a.link.linkState(), QStringLiteral("enable"));

    // The very next run tries again (here the phone is there but silent).
    a.link.Comm1.setDevicePath(a.pty.slavePath());
    ScriptedPhone phone(a.pty, {});
    a.connector.run([] {});
    QCOMPARE(a.rows(), Rows{ProgressUpToModel.first()} + AtLines);
    QCOMPARE(phone.received(), QByteArray("at\r\n"));
}

void HandshakeTest::runWhileLinkedClosesTheLink()
{
    Attempt a;
    {
        ScriptedPhone phone(a.pty, workingPhone());
        a.connector.run([&] { listingThatCloses(a.ui); });
    }
    QVERIFY(a.ui.connected);
    a.link.BfbSequence = 17;
    const qsizetype callsBefore = a.ui.calls.size();

    a.connector.run([] { QFAIL("closing lists nothing"); });
    QCOMPARE(a.link.linkState(), QStringLiteral("enable"));
    QVERIFY(!a.link.Comm1.isOpen());
    QVERIFY(!a.link.Timer2.isActive());
    QCOMPARE(a.link.BfbSequence, qint16(1));
    QCOMPARE(a.ui.calls.size(), callsBefore); // the windows are left as they are
    QVERIFY(a.pty.drain().isEmpty());
}

QTEST_GUILESS_MAIN(HandshakeTest)
#include "tst_link_handshake.moc"
