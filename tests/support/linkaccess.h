#pragma once

// What only tests do to a link: set its sequence counter, and open its port on a
// device in single-byte mode as after the connect procedure.

#include "serialline.h"

#include <QString>

struct SerialLineTestAccess
{
    static void setSequence(SerialLine &link, int sequence) { link.BfbSequence = qint16(sequence); }
    static bool openAsConnected(SerialLine &link, const QString &device, QString *reason)
    {
        link.Comm1.setDevicePath(device);
        if (!link.Comm1.open(reason))
            return false;
        link.Comm1.setReadLength(SerialPort::SingleByte);
        return true;
    }
    static int portNumber(const SerialLine &link) { return link.Comm1.portNumber(); }
    static int readLength(const SerialLine &link) { return link.Comm1.readLength(); }
    static bool connectedMonitorRunning(const SerialLine &link) { return link.Timer2.isActive(); }
    static bool idleMonitorRunning(const SerialLine &link) { return link.Timer1.isActive(); }
};
