#pragma once

// What only tests do to a link: set its sequence counter, and open its port on a
// device in single-byte mode as after the connect procedure.

#include "phonelink.h"

#include <QString>

struct PhoneLinkTestAccess
{
    static void setSequence(PhoneLink &link, int sequence) { link.BfbSequence = qint16(sequence); }
    static bool openAsConnected(PhoneLink &link, const QString &device, QString *reason)
    {
        link.Comm1.setDevicePath(device);
        if (!link.Comm1.open()) {
            *reason = QStringLiteral("cannot open %1 (error %2)").arg(device).arg(int(link.Comm1.openError()));
            return false;
        }
        link.Comm1.setReadLength(SerialPort::SingleByte);
        return true;
    }
    static int portNumber(const PhoneLink &link) { return link.Comm1.portNumber(); }
    static int readLength(const PhoneLink &link) { return link.Comm1.readLength(); }
    static bool connectedMonitorRunning(const PhoneLink &link) { return link.Timer2.isActive(); }
    static bool idleMonitorRunning(const PhoneLink &link) { return link.Timer1.isActive(); }
};
