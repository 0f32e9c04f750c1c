#pragma once

#include "serialport.h"

#include <QString>

// Why the serial port did not open, in the English of tarvel-cli and tarvel-mount:
// "cannot open the serial port /dev/ttyS0: in use by another program".
QString portOpenProblem(const QString &device, SerialPort::OpenError error);
