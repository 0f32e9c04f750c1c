#pragma once

// What only tests do to a link: set the BFB sequence counter, and open the line's port
// on a device in single-byte mode as after the connect procedure.

#include "bfblink.h"
#include "serialline.h"

#include <QString>

struct LinkTestAccess
{
    static void setSequence(BfbLink &bfb, int sequence) { bfb.BfbSequence = qint16(sequence); }
    static bool openAsConnected(SerialLine &line, const QString &device, QString *reason)
    {
        line.Comm1.setDevicePath(device);
        if (!line.Comm1.open()) {
            *reason = QStringLiteral("cannot open %1 (error %2)").arg(device).arg(int(line.Comm1.openError()));
            return false;
        }
        line.Comm1.setReadLength(SerialPort::SingleByte);
        return true;
    }
    static int portNumber(const SerialLine &line) { return line.Comm1.portNumber(); }
    static int readLength(const SerialLine &line) { return line.Comm1.readLength(); }
    static bool connectedMonitorRunning(const SerialLine &line) { return line.Timer2.isActive(); }
    static bool idleMonitorRunning(const SerialLine &line) { return line.Timer1.isActive(); }
};
