// The connect procedure against a scripted phone on the pseudo-terminal. The
// phone runs on its own thread because the procedure blocks in its pauses; the
// pauses are scaled down (the program itself keeps them at full length).

#include "bfbbytes.h"
#include "handshake.h"
#include "linkaccess.h"
#include "pty.h"
#include "recordingevents.h"

#include <QTest>

#include <atomic>
#include <mutex>
#include <poll.h>
#include <thread>
#include <unistd.h>

namespace {

// A phone on its own thread, so that it answers while the program blocks in a
// pause. Each rule waits for its request at the start of the unanswered input and
// then sends its reply.
class ScriptedPhone
{
public:
    struct Rule
    {
        QByteArray request;
        QByteArray reply;
    };

    ScriptedPhone(const Pty &pty, std::vector<Rule> rules)
        : m_pty(pty), m_rules(std::move(rules)), m_thread([this] { serve(); })
    {}
    ~ScriptedPhone()
    {
        m_stop = true;
        m_thread.join();
    }

    QByteArray received() const
    {
        std::lock_guard lock(m_mutex);
        return m_received;
    }

private:
    void serve()
    {
        QByteArray pending;
        size_t next = 0;
        while (!m_stop) {
            pollfd p{m_pty.master(), POLLIN, 0};
            if (::poll(&p, 1, 10) > 0) {
                char buffer[1024];
                const ssize_t n = ::read(m_pty.master(), buffer, sizeof buffer);
                if (n > 0) {
                    std::lock_guard lock(m_mutex);
                    m_received.append(buffer, n);
                    pending.append(buffer, n);
                }
            }
            while (next < m_rules.size() && pending.startsWith(m_rules[next].request)) {
                const Rule &rule = m_rules[next++];
                pending.remove(0, rule.request.size());
                m_pty.send(rule.reply);
            }
        }
    }

    const Pty &m_pty;
    std::vector<Rule> m_rules;
    mutable std::mutex m_mutex;
    QByteArray m_received;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

using Rule = ScriptedPhone::Rule;

// The link acknowledgement, then the CONNECT response in one frame: 47 bytes.
const QByteArray ConnectAnswer =
    PhoneLink::AckFrame + bfbFrame(hex("02FD000020 A000201000040046") + QByteArray(24, char(0x11)) + hex("C1C2"));

std::vector<Rule> workingPhone()
{
    return {
        {"at\r\n", "\r\nOK\r\n"},
        // An echoing phone: characters 11 to 13 of the whole reply are the model.
        {"at+CGMM\r\n", "at+CGMM\r\r\nM55\r\n\r\nOK\r\n"},
        {"AT^SBFB=1\r\n", "\r\nOK\r\n"},
        {PhoneConnector::SetupFrame, hex("020103CC")},
        {PhoneConnector::SpeedFrame, PhoneConnector::SpeedFrame},
        {PhoneConnector::SifsFrame, hex("06060C") + "\r\nOK\r\n"},
        {PhoneConnector::ConnectFrames, ConnectAnswer},
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

struct Attempt
{
    Pty pty;
    RecordingEvents events;
    std::unique_ptr<Checksum> crc = makeChecksum();
    PhoneLink link{*crc, events};
    PhoneConnector connector{link};

    Attempt()
    {
        link.setDevicePath(pty.slavePath());
        link.setPauseScale(0.15);
        link.setTimeoutInterval(2000);
    }
};

} // namespace

class HandshakeTest : public QObject
{
    Q_OBJECT

private slots:
    void connectsAndListsTheRoot();
    void failedSteps_data();
    void failedSteps();
    void speedStep_data();
    void speedStep();
    void runWhileLinkedClosesTheLink();
};

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
        QVERIFY(PhoneLinkTestAccess::connectedMonitorRunning(a.link));
        QCOMPARE(a.events.log, Complete.mid(0, 11));
        QTRY_COMPARE(phone.received(), requests(workingPhone()) + PhoneLink::AckFrame);
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
    // The working phone's first `good` answers, then a bad one.
    const auto broken = [](size_t good, const Rule &bad) {
        std::vector<Rule> rules = workingPhone();
        rules.resize(good);
        rules.push_back(bad);
        return rules;
    };
    QTest::newRow("silent phone") << broken(0, {"at\r\n", ""}) << failedAfter(4, "AT");
    QTest::newRow("wake answered without OK") << broken(0, {"at\r\n", "\r\nERROR\r\n"}) << failedAfter(4, "AT");
    QTest::newRow("model refused") << broken(1, {"at+CGMM\r\n", "\r\nERROR\r\n"}) << failedAfter(5, "MODEL");
    QTest::newRow("BFB mode refused gives the MODEL failure")
        << broken(2, {"AT^SBFB=1\r\n", "\r\nERROR\r\n"}) << failedAfter(7, "MODEL");
    QTest::newRow("set-up frame answered with 3 bytes")
        << broken(3, {PhoneConnector::SetupFrame, hex("020103")}) << failedAfter(8, "BFB");
    QTest::newRow("speed not confirmed") << broken(4, {PhoneConnector::SpeedFrame, hex("010908C0") + "19200"})
                                         << failedAfter(8, "BFB");
    QTest::newRow("at^sifs refused") << broken(5, {PhoneConnector::SifsFrame, "ERROR"}) << failedAfter(8, "BFB");
    QTest::newRow("CONNECT answer of 46 bytes")
        << broken(6, {PhoneConnector::ConnectFrames, ConnectAnswer.left(46)}) << failedAfter(9, "BFB");
}

void HandshakeTest::failedSteps()
{
    QFETCH(std::vector<Rule>, rules);
    QFETCH(QStringList, expected);
    Attempt a;
    ScriptedPhone phone(a.pty, rules);
    QVERIFY(!a.connector.run([] { QFAIL("no listing after a failed step"); }));
    QCOMPARE(a.events.log, expected);
    QVERIFY(!a.link.isPortOpen());
    QCOMPARE(a.link.linkState(), LinkState::Enable);
    QVERIFY(!PhoneLinkTestAccess::connectedMonitorRunning(a.link));
    QCOMPARE(phone.received(), requests(rules));
}

void HandshakeTest::speedStep_data()
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

    QCOMPARE(phone.received(), requests(rules) + PhoneLink::AckFrame);
    const QString event =
        (confirmed ? QStringLiteral("speed %1") : QStringLiteral("speed %1 not confirmed")).arg(speed);
    QCOMPARE(a.events.log, Complete.mid(0, 8) + QStringList{event} + Complete.mid(8));
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
