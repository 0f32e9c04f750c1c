#include "terminalevents.h"

#include "linktexts.h"
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

QString resultReason(const PhoneResult &result, const QString &refused, const PhonePath &folder)
{
    using Code = PhoneResult::Code;
    switch (result.code()) {
    case Code::Done:
        return {};
    case Code::NotSent:
        if (const std::optional<Refusal> refusal = result.refusal())
            return refusalText(*refusal);
        return QStringLiteral("the name cannot be sent to the phone");
    case Code::Declined:
        return QStringLiteral("not copied");
    case Code::NotConnected:
        return QStringLiteral("no connection to the phone");
    case Code::FolderRefused:
        return QStringLiteral("the phone refused to open the folder \"%1\"").arg(PhoneSession::text(result.name()));
    case Code::Refused:
        return refused;
    case Code::Full:
        return QStringLiteral("the phone is full");
    case Code::NotFound:
        return QStringLiteral("not found on the phone");
    case Code::Exists:
        return QStringLiteral("it exists");
    case Code::PathTooLong:
        return QStringLiteral("the phone's move command takes paths of at most %1 characters")
            .arg(PhoneSession::MaxMovePathUnits);
    case Code::OldFileLost:
        return QStringLiteral("the old file is gone and the new one did not arrive");
    case Code::OldSetAside:
        return QStringLiteral("the new file could not take the name; the old one is kept as %1")
            .arg(displayPath(folder + PhonePath{result.name()}));
    case Code::OldNotDeleted:
        return QStringLiteral("the phone refused to delete the old file: it is left as %1")
            .arg(displayPath(folder + PhonePath{result.name()}));
    case Code::AsideNotDeleted:
        return QStringLiteral("the phone refuses to delete %1, the old file of an earlier copy")
            .arg(displayPath(folder + PhonePath{result.name()}));
    case Code::VerifyFailed:
        return result.name().isEmpty()
            ? QStringLiteral("it did not read back the same from the phone, twice (a noisy line?); it is not kept "
                             "there")
            : QStringLiteral("it did not read back the same from the phone, twice (a noisy line?), and the phone "
                             "refused to delete the wrong copy %1")
                  .arg(displayPath(folder + PhonePath{result.name()}));
    case Code::LinkLost:
        return linkLossText(result.loss());
    }
    return refused;
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

void TerminalEvents::speedChanged(int baud)
{
    progressLine(QStringLiteral("Line rate: %1 baud.").arg(baud));
}

void TerminalEvents::speedNotConfirmed(int baud)
{
    m_meter.clear();
    printError(QStringLiteral("note: ") + speedNotConfirmedText(baud));
}

void TerminalEvents::waitingForLeaver(const QString &device)
{
    m_meter.clear();
    printError(QStringLiteral("note: ") + waitingForLeaverText(device));
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
