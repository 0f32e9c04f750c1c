// Byte receive: the per-byte time-out (scaled down), the blocking pause and a phone
// that goes away.

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
    void pauseBlocksEventsAndTimers();
    void goneLineEndsByTimeout();
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
    QVERIFY(!PhoneLinkTestAccess::timeoutRunning(t.link));
    QVERIFY(t.events.losses.empty());
}

void ReceiveTest::byteJustInsideTheTimeoutIsAccepted()
{
    // The scaled-down form of a byte 19 s into the 20 s: the time-out never fires early.
    LinkOnPty t;
    t.link.setTimeoutInterval(1000);
    QTimer::singleShot(930, Qt::PreciseTimer, &t.timers, [&] { t.pty.send("L"); });
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
    QTimer::singleShot(300, &t.timers, [&] { t.pty.send("BCD"); });
    QVERIFY_THROWS_EXCEPTION(LinkLost, t.link.ReadByte());
    QVERIFY(t.link.timedOut());
    QVERIFY(!PhoneLinkTestAccess::timeoutRunning(t.link));
    QVERIFY(!t.link.isPortOpen());
    QCOMPARE(t.events.losses, QList<LinkLoss>{LinkLoss::Timeout});
}

void ReceiveTest::expiredTimeoutWinsOverAWaitingByte()
{
    LinkOnPty t;
    t.link.setTimeoutInterval(100);
    // An event handler holds the thread past the time-out, and a byte lands meanwhile.
    QTimer::singleShot(20, &t.timers, [&] {
        QThread::msleep(250);
        t.pty.send("Z");
        QThread::msleep(20);
    });
    QVERIFY_THROWS_EXCEPTION(LinkLost, t.link.ReadByte());
    QCOMPARE(t.events.losses, QList<LinkLoss>{LinkLoss::Timeout});
}

void ReceiveTest::pauseBlocksEventsAndTimers()
{
    LinkOnPty t;
    t.link.setMonitorInterval(10);
    const int updatesBefore = t.events.waitingBytesUpdates;
    bool fired = false;
    QTimer::singleShot(10, &t.timers, [&] { fired = true; });
    QElapsedTimer clock;
    clock.start();
    t.link.pause(200);
    QVERIFY(clock.elapsed() >= 195);
    QVERIFY(!fired);
    QCOMPARE(t.events.waitingBytesUpdates, updatesBefore);
    QTRY_VERIFY(fired);
}

// A hung-up device stays readable without data, a closed port has none: only the time-out ends the wait.
void ReceiveTest::goneLineEndsByTimeout()
{
    LinkOnPty t;
    t.link.setTimeoutInterval(300);
    QTimer::singleShot(50, &t.timers, [&] {
        t.pty.dropKeeper();
        t.pty.closeMaster();
    });
    QVERIFY_THROWS_EXCEPTION(LinkLost, t.link.ReadByte());
    QCOMPARE(t.events.losses, QList<LinkLoss>{LinkLoss::Timeout});

    t.events.losses.clear();
    QVERIFY(!t.link.isPortOpen());
    QVERIFY_THROWS_EXCEPTION(LinkLost, t.link.ReadByte());
    QCOMPARE(t.events.losses, QList<LinkLoss>{LinkLoss::Timeout});
}

QTEST_GUILESS_MAIN(ReceiveTest)
#include "tst_link_receive.moc"
