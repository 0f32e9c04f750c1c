// The serial port on real devices: a pseudo-terminal stands in for the cable.

#include "linktestsupport.h"
#include "serialport.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <sys/stat.h>
#include <termios.h>

Q_DECLARE_METATYPE(SerialPort::OpenError)

class SerialPortTest : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void portNumbersMapToDevices();
    void portLinkSelectsTheDevice();
    void danglingPortLinkIsAMissingDevice();
    void openFailuresCarryAReason_data();
    void openFailuresCarryAReason();
    void secondOpenOfOnePortIsBusy();
    void lineSettings();
    void rtsIsHarmlessWithoutModemLines();
    void readModes();
    void wholeQueueReadIsCapped();
    void writeHandsOverLargeBuffers();
    void closeIsHarmless();
};

void SerialPortTest::init()
{
    // Each test starts without port links in its private configuration folder.
    QDir(SerialPort::portsFolder()).removeRecursively();
}

void SerialPortTest::portNumbersMapToDevices()
{
    QVERIFY(SerialPort::portsFolder().startsWith(qEnvironmentVariable("XDG_CONFIG_HOME")));
    QCOMPARE(SerialPort::devicePathForPort(1), QStringLiteral("/dev/ttyS0"));
    QCOMPARE(SerialPort::devicePathForPort(9), QStringLiteral("/dev/ttyS8"));
    QVERIFY(SerialPort::devicePathForPort(0).isEmpty());

    SerialPort port;
    QCOMPARE(port.portNumber(), 1);
    port.setPortNumber(4);
    QCOMPARE(port.devicePath(), QStringLiteral("/dev/ttyS3"));
    port.setDevicePath(QStringLiteral("/dev/ttyUSB7"));
    QCOMPARE(port.devicePath(), QStringLiteral("/dev/ttyUSB7"));
    port.setDevicePath(QString());
    QCOMPARE(port.devicePath(), QStringLiteral("/dev/ttyS3"));
}

void SerialPortTest::portLinkSelectsTheDevice()
{
    Pty pty;
    QVERIFY(QDir().mkpath(SerialPort::portsFolder()));
    const QString link = SerialPort::portsFolder() + QStringLiteral("/com3");
    QVERIFY(QFile::link(pty.slavePath(), link));
    QCOMPARE(SerialPort::devicePathForPort(3), link);
    QCOMPARE(SerialPort::devicePathForPort(2), QStringLiteral("/dev/ttyS1"));

    SerialPort port;
    port.setPortNumber(3);
    QString reason;
    QVERIFY2(port.open(&reason), qPrintable(reason));
    QCOMPARE(port.openedDevicePath(), link);
    QVERIFY(port.write("at\r\n"));
    QCOMPARE(pty.receive(4), QByteArray("at\r\n"));
}

void SerialPortTest::danglingPortLinkIsAMissingDevice()
{
    QVERIFY(QDir().mkpath(SerialPort::portsFolder()));
    const QString link = SerialPort::portsFolder() + QStringLiteral("/com2");
    QVERIFY(QFile::link(QStringLiteral("/dev/tarvel-unplugged-adapter"), link));
    // A configured adapter that is unplugged must not fall back to /dev/ttyS1.
    QCOMPARE(SerialPort::devicePathForPort(2), link);
    SerialPort port;
    port.setPortNumber(2);
    QString reason;
    QVERIFY(!port.open(&reason));
    QCOMPARE(port.openError(), SerialPort::OpenError::NoSuchDevice);
    QVERIFY2(reason.contains(QStringLiteral("no such device")), qPrintable(reason));
    QVERIFY(!port.isOpen());
}

void SerialPortTest::openFailuresCarryAReason_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<SerialPort::OpenError>("error");
    QTest::addColumn<QString>("wording");

    QTest::newRow("missing device") << QStringLiteral("/dev/tarvel-no-such-port") << SerialPort::OpenError::NoSuchDevice
                                    << QStringLiteral("no such device");
    QTest::newRow("regular file") << QString() << SerialPort::OpenError::NotSerial
                                  << QStringLiteral("not a serial port");
}

void SerialPortTest::openFailuresCarryAReason()
{
    QFETCH(QString, path);
    QFETCH(SerialPort::OpenError, error);
    QFETCH(QString, wording);

    QTemporaryDir dir;
    if (path.isEmpty()) {
        path = dir.filePath(QStringLiteral("plain"));
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
    }
    SerialPort port;
    port.setDevicePath(path);
    QString reason;
    QVERIFY(!port.open(&reason));
    QCOMPARE(port.openError(), error);
    QVERIFY2(reason.contains(wording), qPrintable(reason));
    QVERIFY(reason.contains(path));
    QVERIFY(!port.isOpen());
    QCOMPARE(port.fd(), -1);
}

void SerialPortTest::secondOpenOfOnePortIsBusy()
{
    Pty pty;
    SerialPort first;
    first.setDevicePath(pty.slavePath());
    QVERIFY(first.open());
    SerialPort second;
    second.setDevicePath(pty.slavePath());
    QString reason;
    QVERIFY(!second.open(&reason));
    QCOMPARE(second.openError(), SerialPort::OpenError::Busy);
    QVERIFY2(reason.contains(QStringLiteral("in use")), qPrintable(reason));
    first.close();
    QVERIFY(second.open());
}

void SerialPortTest::lineSettings()
{
    Pty pty;
    SerialPort port;
    port.setDevicePath(pty.slavePath());
    QVERIFY(port.open());
    termios tio{};
    QCOMPARE(::tcgetattr(port.fd(), &tio), 0);
    QCOMPARE(::cfgetispeed(&tio), speed_t(B57600));
    QCOMPARE(::cfgetospeed(&tio), speed_t(B57600));
    QCOMPARE(tio.c_cflag & CSIZE, tcflag_t(CS8));
    QCOMPARE(tio.c_cflag & (PARENB | CSTOPB | CRTSCTS), tcflag_t(0));
    QCOMPARE(tio.c_iflag & (IXON | IXOFF | ICRNL | ISTRIP), tcflag_t(0));
    QCOMPARE(tio.c_lflag & (ICANON | ECHO | ISIG), tcflag_t(0));
    QCOMPARE(tio.c_oflag & OPOST, tcflag_t(0));
    // Raw: every byte value passes unchanged both ways.
    QByteArray all;
    for (int b = 0; b < 256; ++b)
        all.append(char(b));
    QVERIFY(port.write(all));
    QCOMPARE(pty.receive(256), all);
    pty.send(all);
    QTRY_COMPARE(port.bytesWaiting(), 256);
    QCOMPARE(port.read(), all);
}

void SerialPortTest::rtsIsHarmlessWithoutModemLines()
{
    Pty pty;
    SerialPort port;
    QVERIFY(!port.rts());
    port.setRts(true);
    QVERIFY(port.rts());
    port.setDevicePath(pty.slavePath());
    QVERIFY(port.open());
    QVERIFY(!port.modemLinesSupported()); // a pseudo-terminal has none
    port.setRts(false);
    QVERIFY(!port.rts());
    QVERIFY(port.isOpen());
    port.setRts(true);
    QVERIFY(port.write("x"));
    QCOMPARE(pty.receive(1), QByteArray("x"));
}

void SerialPortTest::readModes()
{
    Pty pty;
    SerialPort port;
    port.setDevicePath(pty.slavePath());
    QVERIFY(port.open());
    QCOMPARE(port.readLength(), SerialPort::WholeQueue);
    QCOMPARE(port.bytesWaiting(), 0);
    QVERIFY(port.read().isEmpty()); // never waits

    pty.send("hello");
    // Counted at once, without any event processing in between.
    QTRY_COMPARE_WITH_TIMEOUT(port.bytesWaiting(), 5, 1000);
    port.setReadLength(SerialPort::SingleByte);
    QCOMPARE(port.read(), QByteArray("h"));
    QCOMPARE(port.bytesWaiting(), 4);
    port.setReadLength(SerialPort::WholeQueue);
    QCOMPARE(port.read(), QByteArray("ello"));
    QCOMPARE(port.bytesWaiting(), 0);

    // The read length outlives a close.
    port.setReadLength(SerialPort::SingleByte);
    port.close();
    QVERIFY(port.open());
    QCOMPARE(port.readLength(), SerialPort::SingleByte);
}

void SerialPortTest::wholeQueueReadIsCapped()
{
    Pty pty;
    SerialPort port;
    port.setDevicePath(pty.slavePath());
    QVERIFY(port.open());
    QByteArray sent(25000, Qt::Uninitialized);
    for (int i = 0; i < sent.size(); ++i)
        sent[i] = char(i * 7);
    std::thread phone([&] { pty.send(sent); });
    QByteArray got;
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

void SerialPortTest::writeHandsOverLargeBuffers()
{
    // More than the pseudo-terminal buffers at once: write continues partial
    // writes until a slow reader has taken everything.
    Pty pty;
    SerialPort port;
    port.setDevicePath(pty.slavePath());
    QVERIFY(port.open());
    QByteArray big(200000, Qt::Uninitialized);
    for (int i = 0; i < big.size(); ++i)
        big[i] = char(i % 251);
    QByteArray got;
    std::thread phone([&] { got = pty.receive(int(big.size()), 10000); });
    QVERIFY(port.write(big));
    phone.join();
    QVERIFY(got == big);
}

void SerialPortTest::closeIsHarmless()
{
    SerialPort port;
    port.close();
    port.close();
    QVERIFY(!port.isOpen());
    QCOMPARE(port.bytesWaiting(), 0);
    QVERIFY(port.read().isEmpty());
    QVERIFY(!port.write("x"));
}

QTEST_GUILESS_MAIN(SerialPortTest)
#include "tst_link_serialport.moc"
