#pragma once

#include "linetrace.h"
#include "porterror.h"

#include <QByteArray>
#include <QString>

#include <memory>

// The one serial port the program talks to the phone through (the port object
// `Comm1`). Plain termios rather than QSerialPort: the count of waiting bytes must
// include everything the kernel has received, even when no events have been
// processed since, and that is exactly what ioctl(FIONREAD) reports.
//
// Line settings: 8 data bits, no parity, 1 stop bit, no flow control, raw mode; every
// open starts at 57600 baud, which setBaudRate() may change while the port is open. DTR is raised while the port is open. The kernel keeps the
// receive side (the tty layer buffers well over 4 KB, and a pseudo-terminal throttles
// its writer instead of dropping bytes); since replies are drained continuously, a
// whole 0x4006-byte packet arrives without loss.
class SerialPort
{
public:
    // Read lengths: one read takes the whole queue (at most this many bytes) or one byte.
    static constexpr int WholeQueue = 20000;
    static constexpr int SingleByte = 1;

    using OpenError = PortError;

    SerialPort() = default;
    ~SerialPort();
    SerialPort(const SerialPort &) = delete;
    SerialPort &operator=(const SerialPort &) = delete;

    // Port number 1..9 of the stored setting; takes effect at the next open.
    void setPortNumber(int number);
    int portNumber() const;

    // The per-user folder of port links: a symlink "comN" there (for example
    // com1 -> /dev/ttyUSB0) maps port N to a device.
    static QString portsFolder();
    // Device for port N: the link "comN" in portsFolder() when present (even
    // dangling: a configured but unplugged adapter must not fall back to another
    // port), else /dev/ttyS<N-1>. Empty for numbers below 1.
    static QString devicePathForPort(int number);

    // An explicit device that replaces the port number's device (empty: use the number).
    void setDevicePath(const QString &path);
    QString devicePath() const; // the explicit path, or the mapped one
    QString openedDevicePath() const; // what open() used last

    // RTS raised or not; applied at once when the port is open, otherwise at open.
    void setRts(bool raised);
    bool rts() const;
    // False when the device has no modem lines (a pseudo-terminal): RTS and DTR are
    // then simply not applied, which is no error.
    bool modemLinesSupported() const;

    // Opens and configures the device, exclusively. On failure returns false and sets
    // openError(); each front end words it.
    bool open();
    OpenError openError() const;
    // Harmless when closed.
    void close();
    // Closes this process's descriptor only: a child that inherited it keeps the port,
    // exclusive as before.
    void handOver();
    bool isOpen() const;

    static constexpr int StartBaudRate = 57600;
    // 19200, 38400, 57600, 115200 or 230400, once what was written has left. False for any
    // other rate, a closed port or a driver that refuses.
    bool setBaudRate(int baud);
    // The rate the port is set to, read back from the driver; 0 when closed.
    int baudRate() const;

    // WholeQueue or SingleByte; stays as set across close and open.
    void setReadLength(int length);
    int readLength() const;

    // Bytes received by the kernel and not read yet; 0 when closed.
    int bytesWaiting() const;
    // Whole-queue mode: everything waiting, at most WholeQueue bytes, possibly
    // nothing. Single-byte mode: one byte if one is waiting, else nothing. Never waits.
    QByteArray read();
    // At most maxBytes of what is waiting, whatever the read length; never waits.
    QByteArray read(int maxBytes);
    // Hands the bytes to the driver and returns without waiting for the phone.
    // Partial writes are continued; a driver that accepts nothing for a few
    // seconds makes it give up. False when not all bytes could be handed over.
    bool write(const QByteArray &bytes);
    // Blocks the thread until bytes are waiting or ms have passed; true when the port
    // became readable (a hung-up device is readable without bytes).
    bool waitForBytes(int ms) const;
    // True when the device has gone away: the port reports a hang-up or an error (a USB
    // adapter unplugged, the other end of a pseudo-terminal closed). False when closed.
    bool hungUp() const;

    // From now on every read and write goes to a byte trace in path as well (see
    // LineTrace), across closing and opening the port. False with the reason when the
    // file cannot be written.
    bool startTrace(const QString &path, QString *reason = nullptr);

    // The open descriptor (for a read notifier), or -1.
    int fd() const;
    // The byte trace's descriptor, or -1.
    int traceFd() const { return m_trace ? m_trace->fd() : -1; }

private:
    void applyModemLines();

    int m_fd = -1;
    int m_portNumber = 1;
    QString m_devicePath;
    QString m_openedPath;
    bool m_rts = false;
    bool m_modemLines = false;
    int m_readLength = WholeQueue;
    OpenError m_openError = OpenError::None;
    std::unique_ptr<LineTrace> m_trace;
};
