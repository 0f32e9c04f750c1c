// The serial port on real devices: a pseudo-terminal stands in for the cable.

#include "bfbbytes.h"
#include "pty.h"
#include "serialport.h"
#include "testprocess.h"

#include <QDir>
#include <QFile>
#include <QTest>

#include <termios.h>
#include <thread>

class SerialPortTest : public QObject
{
    Q_OBJECT

private slots:
    void portLinks();
    void rawLineAt57600();
    void writesOfAnySize();
};

// A link in the ports folder stands for its port; one that points nowhere is a
// missing device, not a reason to fall back to /dev/ttyS<n>.
void SerialPortTest::portLinks()
{
    Pty pty;
    QDir(SerialPort::portsFolder()).removeRecursively();
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
    // The same device a second time is busy.
    SerialPort second;
    second.setPortNumber(3);
    QVERIFY(!second.open(&reason));
    QCOMPARE(second.openError(), SerialPort::OpenError::Busy);

    const QString com2 = SerialPort::portsFolder() + QStringLiteral("/com2");
    QVERIFY(QFile::link(QStringLiteral("/dev/tarvel-unplugged-adapter"), com2));
    SerialPort unplugged;
    unplugged.setPortNumber(2);
    QVERIFY(!unplugged.open(&reason));
    QCOMPARE(unplugged.openError(), SerialPort::OpenError::NoSuchDevice);
    QVERIFY2(reason.contains(com2), qPrintable(reason));
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

// More than the pseudo-terminal buffers at once: write continues partial writes
// until a slow reader has taken everything.
void SerialPortTest::writesOfAnySize()
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

QTEST_GUILESS_MAIN(SerialPortTest)
#include "tst_link_serialport.moc"
