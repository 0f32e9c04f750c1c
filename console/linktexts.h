#pragma once

#include "phoneevents.h"
#include "phoneresult.h"

#include <QString>
#include <QStringList>

class PhoneResult;
class PhoneSession;

// The English of tarvel-cli and tarvel-mount for the link, one line each, in lower case
// and without a full stop, so that a program's name or a command can go before it.

// Why the serial port did not open: "cannot open the serial port /dev/ttyS0: in use by
// another program".
QString portOpenProblem(const QString &device, PortError error);
// Why the connect procedure of session gave result (NotConnected or LinkLost), with the
// device it tried: "no phone answers on /dev/ttyUSB0 (no OK to AT)".
QString connectProblem(const PhoneResult &result, const PhoneSession &session);
// What the user may try after that failure, a line each; none for a port that does not open.
QStringList connectHints(const PhoneResult &result);
// A phone that kept its rate in BFB mode: "the phone did not confirm 115200 baud; the
// link stays at 57600 baud".
QString speedNotConfirmedText(int baud);
// A session of ours still leaving the phone holds the port: "waiting for another tarvel
// program to leave the phone on /dev/ttyUSB0".
QString waitingForLeaverText(const QString &device);
// What a fatal link error was: "the phone stopped answering (time-out)".
QString linkLossText(LinkLoss loss);
// Why an operation stopped on the PC before anything was sent.
QString refusalText(Refusal refusal);
