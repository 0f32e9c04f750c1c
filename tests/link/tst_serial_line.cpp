// The serial line and its port on a pseudo-terminal: the per-byte time-out, the
// blocking pause, a phone that goes away, the ports folder, writes of any size.

#include "linktesting.h"
#include "plaintransport.h"
#include "serialport.h"
#include "testprocess.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <functional>

using Wait = std::function<void(LinkOnPty &)>;
Q_DECLARE_METATYPE(Wait)

class SerialLineTest : public QObject
{
    Q_OBJECT

private slots:
    void eachByteHasItsOwnTimeout()
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

    void expiredTimeoutWinsOverAWaitingByte()
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

    void pauseBlocksEventsAndTimers()
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

    void vanishedDeviceIsLostAtOnce_data()
    {
        QTest::addColumn<bool>("phonesim"); // the device is the emulated phone, which exits
        QTest::addColumn<Wait>("wait");
        const Wait byte = [](LinkOnPty &t) { t.line.ReadByte(); };
        const Wait acknowledgement = [](LinkOnPty &t) { t.bfb.SendPacket(bfbBlock(1, hex("83 00 03"))); };
        const Wait reply = [](LinkOnPty &t) { t.bfb.ReceiveReply(); };
        const Wait plainAnswer = [](LinkOnPty &t) { PlainTransport(t.line, t.events).exchange(ConnectPacket); };
        for (const bool phonesim : {false, true}) {
            const char *gone = phonesim ? "phonesim exits" : "pseudo-terminal closed";
            QTest::addRow("%s: a byte", gone) << phonesim << byte;
            QTest::addRow("%s: a block's acknowledgement", gone) << phonesim << acknowledgement;
            QTest::addRow("%s: a BFB reply", gone) << phonesim << reply;
            QTest::addRow("%s: a plain OBEX answer", gone) << phonesim << plainAnswer;
        }
    }

    // A device that goes away in the middle of a wait (a USB cable pulled) ends it as soon
    // as the port reports the hang-up, not when the receive time-out runs out; so does a
    // wait on the port closed after it.
    void vanishedDeviceIsLostAtOnce()
    {
        QFETCH(bool, phonesim);
        QFETCH(Wait, wait);
        LinkOnPty t(!phonesim);
        PhoneSim sim;
        QTemporaryDir flash;
        if (phonesim) {
            QVERIFY(sim.start(flash.path()));
            QString reason;
            QVERIFY2(LinkTestAccess::openAsConnected(t.line, sim.device, &reason), qPrintable(reason));
        }
        t.line.setTimeoutInterval(SerialLine::DefaultTimeoutMs);
        t.bfb.setResendInterval(BfbLink::DefaultResendMs);
        QTimer::singleShot(50, &t.timers, [&] {
            if (phonesim) {
                sim.process.kill();
                return;
            }
            t.pty.dropKeeper();
            t.pty.closeMaster();
        });
        QVERIFY_THROWS_EXCEPTION(LinkLost, wait(t));
        QVERIFY(!t.line.timedOut());
        QCOMPARE(t.events.losses, QList<LinkLoss>{LinkLoss::Timeout});
        QVERIFY(!t.line.isPortOpen());
        QCOMPARE(t.line.linkState(), LinkState::Enable);
        QVERIFY_THROWS_EXCEPTION(LinkLost, t.line.ReadByte());
        QVERIFY(!t.line.timedOut());
    }

    // A link in the ports folder stands for its port; a device is taken by one port at a time.
    void portLinks()
    {
        Pty pty;
        QDir(SerialPort::portsFolder()).removeRecursively();
        QVERIFY(QDir().mkpath(SerialPort::portsFolder()));
        const QString com3 = SerialPort::portsFolder() + QStringLiteral("/com3");
        QVERIFY(QFile::link(pty.slavePath(), com3));
        SerialPort port;
        port.setPortNumber(3);
        port.setRts(true);
        QVERIFY2(port.open(), qPrintable(QString::number(int(port.openError()))));
        QCOMPARE(port.openedDevicePath(), com3);
        // RTS on a line without modem lines changes nothing and keeps the port open.
        port.setRts(false);
        QVERIFY(port.isOpen());
        QVERIFY(port.write("at\r\n"));
        QCOMPARE(pty.receive(4), QByteArray("at\r\n"));
        // The same device a second time is busy.
        SerialPort second;
        second.setPortNumber(3);
        QVERIFY(!second.open());
        QCOMPARE(second.openError(), SerialPort::OpenError::Busy);
    }

    // More than the pseudo-terminal buffers at once: write continues partial writes
    // until a slow reader has taken everything.
    void writesOfAnySize()
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
};

QTEST_GUILESS_MAIN(SerialLineTest)
#include "tst_serial_line.moc"
