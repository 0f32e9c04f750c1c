// The serial port on real devices: a pseudo-terminal stands in for the cable.

#include "bfbbytes.h"
#include "linktestsupport.h"
#include "serialport.h"
#include "testprocess.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <termios.h>

Q_DECLARE_METATYPE(SerialPort::OpenError)

class SerialPortTest : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void portNumbersAndLinks();
    void openFailuresCarryAReason_data();
    void openFailuresCarryAReason();
    void rawLineAt57600();
    void readModes();
    void largeWritesAndReads();
};

void SerialPortTest::init()
{
    // Each test starts without port links in its private configuration folder.
    QDir(SerialPort::portsFolder()).removeRecursively();
}

void SerialPortTest::portNumbersAndLinks()
{
    QVERIFY(SerialPort::portsFolder().startsWith(qEnvironmentVariable("XDG_CONFIG_HOME")));
    QCOMPARE(SerialPort::devicePathForPort(1), QStringLiteral("/dev/ttyS0"));
    QVERIFY(SerialPort::devicePathForPort(0).isEmpty());

    // A link in the ports folder stands for its port.
    Pty pty;
    QVERIFY(QDir().mkpath(SerialPort::portsFolder()));
    const QString com3 = SerialPort::portsFolder() + QStringLiteral("/com3");
    QVERIFY(QFile::link(pty.slavePath(), com3));
    SerialPort port;
    port.setPortNumber(3);
    QString reason;
    QVERIFY2(port.open(&reason), qPrintable(reason));
    QCOMPARE(port.openedDevicePath(), com3);
    QVERIFY(port.write("at\r\n"));
    QCOMPARE(pty.receive(4), QByteArray("at\r\n"));

    // A configured adapter that is unplugged must not fall back to /dev/ttyS1.
    const QString com2 = SerialPort::portsFolder() + QStringLiteral("/com2");
    QVERIFY(QFile::link(QStringLiteral("/dev/tarvel-unplugged-adapter"), com2));
    SerialPort unplugged;
    unplugged.setPortNumber(2);
    QVERIFY(!unplugged.open(&reason));
    QCOMPARE(unplugged.openError(), SerialPort::OpenError::NoSuchDevice);
    QVERIFY2(reason.contains(com2), qPrintable(reason));
}

void SerialPortTest::openFailuresCarryAReason_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<SerialPort::OpenError>("error");
    QTest::addColumn<QString>("wording");
    QTest::newRow("missing device") << QStringLiteral("/dev/tarvel-no-such-port") << SerialPort::OpenError::NoSuchDevice
                                    << QStringLiteral("no such device");
    QTest::newRow("regular file") << QStringLiteral("FILE") << SerialPort::OpenError::NotSerial
                                  << QStringLiteral("not a serial port");
    QTest::newRow("port open already") << QStringLiteral("BUSY") << SerialPort::OpenError::Busy
                                       << QStringLiteral("in use");
}

void SerialPortTest::openFailuresCarryAReason()
{
    QFETCH(QString, path);
    QFETCH(SerialPort::OpenError, error);
    QFETCH(QString, wording);
    QTemporaryDir dir;
    Pty pty;
    SerialPort first;
    if (path == u"FILE") {
        path = dir.filePath(QStringLiteral("plain"));
        QVERIFY(writeFile(path, {}));
    } else if (path == u"BUSY") {
        path = pty.slavePath();
        first.setDevicePath(path);
        QVERIFY(first.open());
    }
    SerialPort port;
    port.setDevicePath(path);
    QString reason;
    QVERIFY(!port.open(&reason));
    QCOMPARE(port.openError(), error);
    QVERIFY2(reason.contains(wording) && reason.contains(path), qPrintable(reason));
    QVERIFY(!port.isOpen());
    // Once the other user lets go, the port opens.
    first.close();
    if (path == pty.slavePath())
        QVERIFY(port.open());
}

void SerialPortTest::rawLineAt57600()
{
    Pty pty;
    SerialPort port;
    port.setRts(true);
    port.setDevicePath(pty.slavePath());
    QVERIFY(port.open());
    termios tio{};
    QCOMPARE(::tcgetattr(port.fd(), &tio), 0);
    QCOMPARE(::cfgetispeed(&tio), speed_t(B57600));
    QCOMPARE(::cfgetospeed(&tio), speed_t(B57600));
    QCOMPARE(tio.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS), tcflag_t(CS8));
    // RTS on a line without modem lines changes nothing and keeps the port open.
    QVERIFY(!port.modemLinesSupported());
    port.setRts(false);
    QVERIFY(port.isOpen());
    // Raw: every byte value passes unchanged both ways.
    const QByteArray all = counting(256);
    QVERIFY(port.write(all));
    QCOMPARE(pty.receive(256), all);
    pty.send(all);
    QTRY_COMPARE(port.bytesWaiting(), 256);
    QCOMPARE(port.read(), all);
}

void SerialPortTest::readModes()
{
    Pty pty;
    SerialPort port;
    port.setDevicePath(pty.slavePath());
    QVERIFY(port.open());
    QCOMPARE(port.readLength(), SerialPort::WholeQueue);
    QVERIFY(port.read().isEmpty()); // never waits
    pty.send("hello");
    QTRY_COMPARE_WITH_TIMEOUT(port.bytesWaiting(), 5, 1000);
    port.setReadLength(SerialPort::SingleByte);
    QCOMPARE(port.read(), QByteArray("h"));
    QCOMPARE(port.bytesWaiting(), 4);
    port.setReadLength(SerialPort::WholeQueue);
    QCOMPARE(port.read(), QByteArray("ello"));
    // The read length outlives a close.
    port.setReadLength(SerialPort::SingleByte);
    port.close();
    QVERIFY(port.open());
    QCOMPARE(port.readLength(), SerialPort::SingleByte);
}

void SerialPortTest::largeWritesAndReads()
{
    Pty pty;
    SerialPort port;
    port.setDevicePath(pty.slavePath());
    QVERIFY(port.open());
    // More than the pseudo-terminal buffers at once: write continues partial
    // writes until a slow reader has taken everything.
    const QByteArray big = randomBytes(200000, 7);
    QByteArray got;
    std::thread reader([&] { got = pty.receive(int(big.size()), 10000); });
    QVERIFY(port.write(big));
    reader.join();
    QVERIFY(got == big);

    // A whole-queue read never returns more than its cap.
    const QByteArray sent = big.left(25000);
    std::thread phone([&] { pty.send(sent); });
    got.clear();
    QElapsedTimer clock;
    clock.start();
    while (got.size() < sent.size() && clock.elapsed() < 5000) {
        const QByteArray part = port.read();
        QVERIFY(part.size() <= SerialPort::WholeQueue);
        got += part;
        if (part.isEmpty())
            QThread::msleep(5);
    }
    phone.join();
    QVERIFY(got == sent);
}

QTEST_GUILESS_MAIN(SerialPortTest)
#include "tst_link_serialport.moc"
