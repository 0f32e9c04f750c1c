// The serial line and its port on a pseudo-terminal: the per-byte time-out, the
// blocking pause, a phone that goes away, the ports folder, writes of any size.

#include "linktesting.h"
#include "serialport.h"
#include "testprocess.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTest>
#include <QThread>

class SerialLineTest : public QObject
{
    Q_OBJECT

private slots:
    void eachByteHasItsOwnTimeout();
    void expiredTimeoutWinsOverAWaitingByte();
    void pauseBlocksEventsAndTimers();
    void goneLineEndsByTimeout();
    void portLinks();
    void writesOfAnySize();
};

void SerialLineTest::eachByteHasItsOwnTimeout()
{
    LinkOnPty t;
    t.line.setTimeoutInterval(400);
    // Three bytes 300 ms apart: 900 ms in all, each inside its own 400 ms.
    for (int i = 0; i < 3; ++i)
        QTimer::singleShot(300 * (i + 1), Qt::PreciseTimer, &t.timers,
                           [&t, i] { t.pty.send(QByteArray(1, char('A' + i))); });
    QElapsedTimer clock;
    clock.start();
    for (const char expected : {'A', 'B', 'C'})
        QCOMPARE(t.line.ReadByte(), quint8(expected));
    QVERIFY(clock.elapsed() >= 850);
    QVERIFY(!t.line.timedOut());
}

void SerialLineTest::expiredTimeoutWinsOverAWaitingByte()
{
    LinkOnPty t;
    t.line.setTimeoutInterval(100);
    // An event handler holds the thread past the time-out, and a byte lands meanwhile.
    QTimer::singleShot(20, &t.timers, [&] {
        QThread::msleep(250);
        t.pty.send("Z");
        QThread::msleep(20);
    });
    QVERIFY_THROWS_EXCEPTION(LinkLost, t.line.ReadByte());
    QCOMPARE(t.events.losses, QList<LinkLoss>{LinkLoss::Timeout});
}

void SerialLineTest::pauseBlocksEventsAndTimers()
{
    LinkOnPty t;
    t.line.setMonitorInterval(10);
    const int updatesBefore = t.events.waitingBytesUpdates;
    bool fired = false;
    QTimer::singleShot(10, &t.timers, [&] { fired = true; });
    QElapsedTimer clock;
    clock.start();
    t.line.pause(200);
    QVERIFY(clock.elapsed() >= 195);
    QVERIFY(!fired);
    QCOMPARE(t.events.waitingBytesUpdates, updatesBefore);
    QTRY_VERIFY(fired);
}

// A hung-up device stays readable without data, a closed port has none: only the time-out ends the wait.
void SerialLineTest::goneLineEndsByTimeout()
{
    LinkOnPty t;
    t.line.setTimeoutInterval(300);
    QTimer::singleShot(50, &t.timers, [&] {
        t.pty.dropKeeper();
        t.pty.closeMaster();
    });
    QVERIFY_THROWS_EXCEPTION(LinkLost, t.line.ReadByte());
    QCOMPARE(t.events.losses, QList<LinkLoss>{LinkLoss::Timeout});
    QVERIFY(!t.line.isPortOpen());
    QVERIFY_THROWS_EXCEPTION(LinkLost, t.line.ReadByte());
    QCOMPARE(t.events.losses, QList<LinkLoss>({LinkLoss::Timeout, LinkLoss::Timeout}));
}

// A link in the ports folder stands for its port; a device is taken by one port at a time.
void SerialLineTest::portLinks()
{
    Pty pty;
    QDir(SerialPort::portsFolder()).removeRecursively();
    QVERIFY(QDir().mkpath(SerialPort::portsFolder()));
    const QString com3 = SerialPort::portsFolder() + QStringLiteral("/com3");
    QVERIFY(QFile::link(pty.slavePath(), com3));
    SerialPort port;
    port.setPortNumber(3);
    port.setRts(true);
    QString reason;
    QVERIFY2(port.open(&reason), qPrintable(reason));
    QCOMPARE(port.openedDevicePath(), com3);
    // RTS on a line without modem lines changes nothing and keeps the port open.
    port.setRts(false);
    QVERIFY(port.isOpen());
    QVERIFY(port.write("at\r\n"));
    QCOMPARE(pty.receive(4), QByteArray("at\r\n"));
    // The same device a second time is busy.
    SerialPort second;
    second.setPortNumber(3);
    QVERIFY(!second.open(&reason));
    QCOMPARE(second.openError(), SerialPort::OpenError::Busy);
}

// More than the pseudo-terminal buffers at once: write continues partial writes
// until a slow reader has taken everything.
void SerialLineTest::writesOfAnySize()
{
    Pty pty;
    SerialPort port;
    port.setDevicePath(pty.slavePath());
    QVERIFY(port.open());
    const QByteArray big = randomBytes(200000, 7);
    QByteArray got;
    std::thread reader([&] { got = pty.receive(int(big.size()), 10000); });
    QVERIFY(port.write(big));
    reader.join();
    QVERIFY(got == big);
}

QTEST_GUILESS_MAIN(SerialLineTest)
#include "tst_serial_line.moc"
