// Byte receive: the per-byte time-out (scaled down), events during the wait,
// the monitors, the blocking pause and a phone that goes away.

#include "linktestsupport.h"
#include "phonelink.h"

#include <QElapsedTimer>
#include <QTest>
#include <QThread>
#include <QTimer>

class ReceiveTest : public QObject
{
    Q_OBJECT

private slots:
    void eachByteHasItsOwnTimeout();
    void byteJustInsideTheTimeoutIsAccepted();
    void silenceEndsWithTheTimeoutMessage();
    void expiredTimeoutWinsOverAWaitingByte();
    void eventsAndMonitorsRunWhileWaiting();
    void monitorShowsWaitingBytesWhenIdle();
    void pauseBlocksEventsAndTimers();
    void pauseScaleShortensPauses();
    void hungUpPhoneEndsByTimeout();
    void closedPortEndsByTimeout();
};

void ReceiveTest::eachByteHasItsOwnTimeout()
{
    LinkOnPty t;
    t.link.setTimeoutInterval(400);
    // Three bytes 250 ms apart: 750 ms in all, each well inside its own 400 ms.
    int sent = 0;
    QTimer feeder;
    QObject::connect(&feeder, &QTimer::timeout, [&] {
        t.pty.send(QByteArray(1, char(0x41 + sent)));
        if (++sent == 3)
            feeder.stop();
    });
    feeder.start(250);
    QElapsedTimer clock;
    clock.start();
    QCOMPARE(t.link.ReadByte(), quint8(0x41));
    QCOMPARE(t.link.ReadByte(), quint8(0x42));
    QCOMPARE(t.link.ReadByte(), quint8(0x43));
    QVERIFY(clock.elapsed() >= 700);
    QVERIFY(!t.link.timedOut());
    QVERIFY(!t.link.TimeoutTimer.isActive());
    QVERIFY(t.ui.messages.empty());
}

void ReceiveTest::byteJustInsideTheTimeoutIsAccepted()
{
    // The scaled-down form of a byte 19 s into the 20 s: the time-out never fires early.
    LinkOnPty t;
    t.link.setTimeoutInterval(1000);
    QTimer::singleShot(930, Qt::PreciseTimer, &t.events, [&] { t.pty.send("L"); });
    QCOMPARE(t.link.ReadByte(), quint8('L'));
    QVERIFY(!t.link.timedOut());
}

void ReceiveTest::silenceEndsWithTheTimeoutMessage()
{
    LinkOnPty t;
    t.link.setTimeoutInterval(150);
    t.pty.send("A");
    QCOMPARE(t.link.ReadByte(), quint8('A'));
    // The rest of the reply comes a moment too late.
    QTimer::singleShot(300, &t.events, [&] { t.pty.send("BCD"); });
    QVERIFY_THROWS_EXCEPTION(ProgramEnded, t.link.ReadByte());
    QVERIFY(t.link.timedOut());
    QVERIFY(!t.link.TimeoutTimer.isActive());
    QVERIFY(!t.link.Comm1.isOpen());
    QCOMPARE(int(t.ui.messages.size()), 1);
    QCOMPARE(t.ui.messages[0].icon, PhoneUi::Icon::Critical);
    QCOMPARE(t.ui.messages[0].title, ReceiveErrorTitle);
    QCOMPARE(t.ui.messages[0].text, TimeoutMessage);
    QCOMPARE(t.ui.calls.last(), QStringLiteral("end 1"));
}

void ReceiveTest::expiredTimeoutWinsOverAWaitingByte()
{
    LinkOnPty t;
    t.link.setTimeoutInterval(100);
    // An event handler holds the thread past the time-out, and a byte lands meanwhile.
    QTimer::singleShot(20, &t.events, [&] {
        QThread::msleep(250);
        t.pty.send("Z");
        QThread::msleep(20);
    });
    QVERIFY_THROWS_EXCEPTION(ProgramEnded, t.link.ReadByte());
    QCOMPARE(t.ui.messages.at(0).text, TimeoutMessage);
}

void ReceiveTest::eventsAndMonitorsRunWhileWaiting()
{
    LinkOnPty t;
    t.link.setTimeoutInterval(2000);
    t.link.Timer1.setInterval(20);
    bool userEventRan = false;
    QTimer::singleShot(50, &t.events, [&] { userEventRan = true; });
    QTimer::singleShot(200, &t.events, [&] { t.pty.send("x"); });
    QCOMPARE(t.link.ReadByte(), quint8('x'));
    QVERIFY(userEventRan);
    QVERIFY(t.ui.waitingBytesUpdates >= 3);
}

void ReceiveTest::monitorShowsWaitingBytesWhenIdle()
{
    LinkOnPty t;
    t.link.Timer1.stop();
    t.link.Timer2.setInterval(20);
    t.link.Timer2.start();
    t.pty.send("unasked");
    QTRY_COMPARE_WITH_TIMEOUT(t.ui.waitingBytes, QStringLiteral("7"), 2000);
    t.link.Comm1.close();
    QTRY_COMPARE_WITH_TIMEOUT(t.ui.waitingBytes, QStringLiteral("0"), 2000);
}

void ReceiveTest::pauseBlocksEventsAndTimers()
{
    LinkOnPty t;
    t.link.Timer1.setInterval(10);
    const int updatesBefore = t.ui.waitingBytesUpdates;
    bool fired = false;
    QTimer::singleShot(10, &t.events, [&] { fired = true; });
    QElapsedTimer clock;
    clock.start();
    t.link.pause(200);
    QVERIFY(clock.elapsed() >= 195);
    QVERIFY(!fired);
    QCOMPARE(t.ui.waitingBytesUpdates, updatesBefore);
    QTRY_VERIFY(fired);
}

void ReceiveTest::pauseScaleShortensPauses()
{
    LinkOnPty t;
    t.link.setPauseScale(0.1);
    QElapsedTimer clock;
    clock.start();
    t.link.pause(2000);
    QVERIFY(clock.elapsed() >= 195);
    QVERIFY(clock.elapsed() < 1500);
}

void ReceiveTest::hungUpPhoneEndsByTimeout()
{
    LinkOnPty t;
    t.link.setTimeoutInterval(300);
    QTimer::singleShot(50, &t.events, [&] {
        t.pty.dropKeeper();
        t.pty.closeMaster();
    });
    QVERIFY_THROWS_EXCEPTION(ProgramEnded, t.link.ReadByte());
    QCOMPARE(t.ui.messages.at(0).text, TimeoutMessage);
}

void ReceiveTest::closedPortEndsByTimeout()
{
    RecordingUi ui;
    auto crc = makeChecksum();
    PhoneLink link(*crc, ui);
    link.setTimeoutInterval(100);
    QVERIFY_THROWS_EXCEPTION(ProgramEnded, link.ReadByte());
    QCOMPARE(ui.messages.at(0).text, TimeoutMessage);
}

QTEST_GUILESS_MAIN(ReceiveTest)
#include "tst_link_receive.moc"
