#include "terminalevents.h"

#include "phonesession.h"
#include "progress.h"

#include <iostream>
#include <string>
#include <unistd.h>
#include <utility>

namespace {

void printLine(const QString &text)
{
    std::cerr << text.toStdString() << std::endl;
}

QString stepText(ConnectStep step)
{
    switch (step) {
    case ConnectStep::Waking:
        return QStringLiteral("Waking the phone (AT)...");
    case ConnectStep::AskingModel:
        return QStringLiteral("Asking for the phone model...");
    case ConnectStep::SwitchingToBfb:
        return QStringLiteral("Switching the phone to BFB mode...");
    case ConnectStep::SettingUpBfb:
        return QStringLiteral("Setting up the data link...");
    case ConnectStep::SwitchingToPlain:
        return QStringLiteral("Switching the phone to plain OBEX...");
    case ConnectStep::OpeningObex:
        return QStringLiteral("Opening the OBEX connection...");
    case ConnectStep::LinkUp:
        return QStringLiteral("Connected.");
    case ConnectStep::ListingRoot:
        return QStringLiteral("Reading the root folder...");
    case ConnectStep::Attempting:
    case ConnectStep::PortOpened:
    case ConnectStep::RootListed:
    case ConnectStep::Established:
        break;
    }
    return {};
}

} // namespace

QStringList connectFailureLines(ConnectFailure failure)
{
    const QString noAnswer = QStringLiteral("The phone does not answer.");
    const QString tryAgain = QStringLiteral("Try again.");
    switch (failure) {
    case ConnectFailure::At:
        return {noAnswer, QStringLiteral("Check that the phone is switched on, that the cable is plugged in"),
                QStringLiteral("and that --port or --device names the right serial port.")};
    case ConnectFailure::Model:
        return {noAnswer, tryAgain};
    case ConnectFailure::Bfb:
        return {QStringLiteral("The phone does not take up the BFB link."),
                QStringLiteral("Switch the phone off and on again."), tryAgain};
    case ConnectFailure::Plain:
        return {QStringLiteral("The phone does not take up plain OBEX (AT^SQWE=3 or the OBEX connection)."),
                QStringLiteral("Try --link bfb, or switch the phone off and on again.")};
    case ConnectFailure::Rate:
        return {QStringLiteral("The phone does not answer AT at this rate (x65 and x75 phones stop at 115200)."),
                QStringLiteral("Try a lower --speed.")};
    case ConnectFailure::PortUnavailable:
        break;
    }
    return {};
}

QString englishText(Refusal refusal)
{
    switch (refusal) {
    case Refusal::SourceMissing:
        return QStringLiteral("Cannot find that file.");
    case Refusal::SourceUnreadable:
        return QStringLiteral("Cannot read the file.");
    case Refusal::SourceChanged:
        return QStringLiteral("The file changed while it was sent; nothing of it is kept on the phone.");
    case Refusal::StagingUnwritable:
        return QStringLiteral("Cannot write the staging file temp.tmp; check the free disk space.");
    case Refusal::StagingTooLarge:
        return QStringLiteral("The file is too large for the phone: at most %1 bytes.")
            .arg(PhoneSession::largestUpload());
    case Refusal::FolderNameTooLong:
        return QStringLiteral("The folder name is too long: at most 122 characters.");
    case Refusal::FileNameTooLong:
        return QStringLiteral("The file name is too long: at most 123 characters.");
    case Refusal::UploadNameTooLong:
        return QStringLiteral("The file name is too long for the phone: at most 239 characters.");
    case Refusal::NameNotEncodable:
        return QStringLiteral("The name holds characters the phone cannot store (no Windows-1251 code).");
    case Refusal::UnsafeLocalName:
        return QStringLiteral("The phone file's name cannot be used as a PC file name.");
    }
    return {};
}

QString terminalText(const QString &text)
{
    QString line;
    line.reserve(text.size());
    for (const QChar c : text) {
        if (c == u'\t')
            line += QStringLiteral("\\t");
        else if (c == u'\n')
            line += QStringLiteral("\\n");
        else if (c == u'\r')
            line += QStringLiteral("\\r");
        else if (c.category() == QChar::Other_Control)
            line += QStringLiteral("\\x") + QString::number(c.unicode(), 16).toUpper().rightJustified(2, u'0');
        else
            line += c;
    }
    return line;
}

void printError(const QString &text)
{
    printLine(QStringLiteral("tarvel-cli: ") + terminalText(text));
}

bool askOnTerminal(const QString &question)
{
    std::cerr << question.toStdString() << " [y/N] " << std::flush;
    std::string answer;
    if (!std::getline(std::cin, answer))
        return false;
    return answer == "y" || answer == "Y" || answer == "yes" || answer == "Yes";
}

TerminalEvents::TerminalEvents(bool showProgress, ProgressMeter &meter) : m_showProgress(showProgress), m_meter(meter)
{}

void TerminalEvents::progressLine(const QString &text)
{
    if (!m_showProgress || text.isEmpty())
        return;
    m_meter.clear();
    printLine(terminalText(text));
}

void TerminalEvents::connectStep(ConnectStep step)
{
    progressLine(stepText(step));
}

void TerminalEvents::modelReported(const QString &model)
{
    progressLine(QStringLiteral("Siemens ") + model);
}

void TerminalEvents::connectFailed(ConnectFailure failure, SerialPort::OpenError)
{
    // The port's problem is worded from the result.
    if (failure == ConnectFailure::PortUnavailable)
        return;
    for (const QString &line : connectFailureLines(failure))
        progressLine(line);
}

void TerminalEvents::speedChanged(int baud)
{
    progressLine(QStringLiteral("Line rate: %1 baud.").arg(baud));
}

void TerminalEvents::speedNotConfirmed(int baud)
{
    m_meter.clear();
    printError(QStringLiteral("note: the phone did not confirm %1 baud; the link stays at 57600 baud").arg(baud));
}

void TerminalEvents::bytesTransferred(PhoneOperation operation, qint64 done, qint64 total)
{
    if (operation != PhoneOperation::Listing)
        m_meter.update(done, total);
}

bool TerminalEvents::confirmLargeUpload()
{
    m_meter.clear();
    if (m_sizeAnswer == Answer::Yes)
        return true;
    if (m_questionsAllowed && ::isatty(STDIN_FILENO))
        return askOnTerminal(QStringLiteral("%1 is larger than 150 kB. Copy it to the phone?")
                                 .arg(m_subject.isEmpty() ? QStringLiteral("The file") : m_subject));
    printError(QStringLiteral("%1 is larger than 150 kB; run with --yes to copy it without asking")
                   .arg(m_subject.isEmpty() ? QStringLiteral("the file") : m_subject));
    return false;
}

void TerminalEvents::lineNoiseSeen()
{
    if (std::exchange(m_noiseNoted, true))
        return;
    m_meter.clear();
    printError(m_verifying ? QStringLiteral("note: the line to the phone is noisy; plain OBEX carries no checksum, so "
                                            "--verify reads every copy again (--link bfb checks every packet)")
                           : QStringLiteral("note: the line to the phone is noisy and plain OBEX carries no checksum: "
                                            "files may arrive damaged without a sign; use --verify (every copy read "
                                            "again) or --link bfb (every packet checked)"));
}

QString linkLossText(LinkLoss loss)
{
    return loss == LinkLoss::Timeout
        ? QStringLiteral("The phone stopped answering (time-out). Switch the phone off and on again.")
        : QStringLiteral("The phone's reply made no sense (a noisy line?). Switch the phone off and on again.");
}
