#include "portproblem.h"

QString portOpenProblem(const QString &device, SerialPort::OpenError error)
{
    QString reason;
    switch (error) {
    case SerialPort::OpenError::NoSuchDevice:
        reason = QStringLiteral("no such device");
        break;
    case SerialPort::OpenError::Busy:
        reason = QStringLiteral("in use by another program");
        break;
    case SerialPort::OpenError::NoPermission:
        reason = QStringLiteral("no permission (is the user in the dialout group?)");
        break;
    case SerialPort::OpenError::NotSerial:
        reason = QStringLiteral("not a serial device");
        break;
    case SerialPort::OpenError::IsDirectory:
        reason = QStringLiteral("it is a directory, not a serial port");
        break;
    case SerialPort::OpenError::None:
    case SerialPort::OpenError::Other:
        return QStringLiteral("cannot open the serial port %1").arg(device);
    }
    return QStringLiteral("cannot open the serial port %1: %2").arg(device, reason);
}
