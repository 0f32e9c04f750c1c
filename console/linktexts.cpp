#include "linktexts.h"

#include "phoneresult.h"
#include "phonesession.h"
#include "serialport.h"

#include <QDir>

QString portOpenProblem(const QString &device, PortError error)
{
    QString reason;
    switch (error) {
    case PortError::NoSuchDevice:
        reason = QStringLiteral("no such device");
        break;
    case PortError::Busy:
        reason = QStringLiteral("in use by another program");
        break;
    case PortError::NoPermission:
        reason = QStringLiteral("no permission (is the user in the dialout group?)");
        break;
    case PortError::NotSerial:
        reason = QStringLiteral("not a serial device");
        break;
    case PortError::IsDirectory:
        reason = QStringLiteral("it is a directory, not a serial port");
        break;
    case PortError::None:
    case PortError::Other:
        return QStringLiteral("cannot open the serial port %1").arg(device);
    }
    return QStringLiteral("cannot open the serial port %1: %2").arg(device, reason);
}

QString waitingForLeaverText(const QString &device)
{
    return QStringLiteral("waiting for another tarvel program to leave the phone on %1").arg(device);
}

QString connectProblem(const PhoneResult &result, const PhoneSession &session)
{
    const QString device = session.devicePath();
    if (result == PhoneResult::Code::LinkLost)
        return linkLossText(result.loss()) + QStringLiteral(" while connecting on ") + device;
    switch (result.connectFailure().value_or(ConnectFailure::PortUnavailable)) {
    case ConnectFailure::PortUnavailable:
        return portOpenProblem(session.openedDevicePath().isEmpty() ? device : session.openedDevicePath(),
                               result.portError());
    case ConnectFailure::At:
        return QStringLiteral("no phone answers on %1 (no OK to AT)").arg(device);
    case ConnectFailure::Model:
        return QStringLiteral("the phone on %1 did not answer AT+CGMM or AT^SBFB=1").arg(device);
    case ConnectFailure::Bfb:
        return QStringLiteral("the phone on %1 did not complete the BFB set-up or the OBEX connection").arg(device);
    case ConnectFailure::Plain:
        return QStringLiteral("the phone on %1 refused plain OBEX (AT^SQWE=3) or the OBEX connection").arg(device);
    case ConnectFailure::Rate:
        return QStringLiteral("the phone on %1 does not answer AT at this rate (x65 and x75 phones stop at 115200)")
            .arg(device);
    case ConnectFailure::InObexMode:
        return QStringLiteral("the phone on %1 is in plain OBEX mode, where BFB cannot reach it").arg(device);
    }
    return {};
}

QStringList connectHints(const PhoneResult &result)
{
    if (result == PhoneResult::Code::LinkLost)
        return {QStringLiteral("switch the phone off and on again")};
    switch (result.connectFailure().value_or(ConnectFailure::PortUnavailable)) {
    case ConnectFailure::PortUnavailable:
        break;
    case ConnectFailure::At:
        return {QStringLiteral("check that the phone is switched on, that the cable is plugged in"),
                QStringLiteral("and that --port or --device names the right serial port")};
    case ConnectFailure::Model:
        return {QStringLiteral("try again")};
    case ConnectFailure::Bfb:
        return {QStringLiteral("switch the phone off and on again, then try again")};
    case ConnectFailure::Plain:
        return {QStringLiteral("try --link bfb, or switch the phone off and on again")};
    case ConnectFailure::Rate:
        return {QStringLiteral("try a lower --speed")};
    case ConnectFailure::InObexMode:
        // "+++" could take it out, but on a USB cable it may leave the phone deaf.
        return {QStringLiteral("use --link auto or --link obex, or switch the phone off and on for BFB")};
    }
    return {};
}

QString speedNotConfirmedText(int baud)
{
    return QStringLiteral("the phone did not confirm %1 baud; the link stays at %2 baud")
        .arg(baud)
        .arg(SerialPort::StartBaudRate);
}

QString linkLossText(LinkLoss loss)
{
    return loss == LinkLoss::Timeout ? QStringLiteral("the phone stopped answering (time-out)")
                                     : QStringLiteral("the phone's reply made no sense (a noisy line?)");
}

QString refusalText(Refusal refusal)
{
    switch (refusal) {
    case Refusal::SourceMissing:
        return QStringLiteral("cannot find the file");
    case Refusal::SourceUnreadable:
        return QStringLiteral("cannot read the file");
    case Refusal::SourceChanged:
        return QStringLiteral("the file changed while it was sent; nothing of it is kept on the phone");
    case Refusal::StagingUnwritable:
        return QStringLiteral("cannot write the staging file temp.tmp; check the free disk space");
    case Refusal::CopyUnwritable:
        return QStringLiteral("cannot write a temporary file for the copy in %1; check the free disk space")
            .arg(QDir::tempPath());
    case Refusal::StagingTooLarge:
        return QStringLiteral("the file is too large for the phone: at most %1 bytes")
            .arg(PhoneSession::largestUpload());
    case Refusal::FolderNameTooLong:
        return QStringLiteral("the folder name is too long: at most 122 characters");
    case Refusal::FileNameTooLong:
        return QStringLiteral("the file name is too long: at most 123 characters");
    case Refusal::UploadNameTooLong:
        return QStringLiteral("the file name is too long for the phone: at most 239 characters");
    case Refusal::NameNotEncodable:
        return QStringLiteral("the name has characters the phone cannot store (no Windows-1251 code)");
    case Refusal::UnsafeLocalName:
        return QStringLiteral("the phone file's name cannot be used as a PC file name");
    }
    return {};
}
