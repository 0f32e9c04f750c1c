// tarvel-cli: the phone's file system from the command line, for scripts and backups.

#include "cp1251.h"
#include "obexrequests.h"
#include "phonesession.h"
#include "staging.h"
#include "sumletcontrol.h"
#include "terminalevents.h"
#include "workingfiles.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QHash>
#include <QSaveFile>
#include <QTextStream>

#include <iostream>
#include <memory>
#include <optional>
#include <unistd.h>

namespace {

enum ExitCode {
    Success = 0,
    Refused = 1, // the phone refused, or a local file problem
    UsageError = 2,
    LinkError = 3, // port, handshake, time-out or broken framing
};

const char *const HelpText = R"(Usage: tarvel-cli (--port N | --device PATH) [options] COMMAND [ARGUMENTS]

Works with the flash memory of a Siemens M50/M55 phone on a serial data cable.

Commands:
  ls [FOLDER]                   list a phone folder (the root folder by default):
                                name, size in bytes, date, time, "folder" or "file",
                                separated by tabs, one entry a line
  info                          phone model, total and free memory
  get PHONEFILE [LOCALPATH]     copy a phone file to the PC; LOCALPATH may be a
                                folder (default: the current folder)
  put LOCALFILE [PHONEFOLDER]   copy a PC file into a phone folder (default: root)
  rm PHONEPATH                  delete a phone file or an empty phone folder
  mkdir PHONEFOLDER             make a phone folder

Phone paths are relative to the phone's root folder, with "/" between folders,
for example Bitmap/pic.bmp. Names are stored on the phone in Windows-1251.

Options:
  --port N       serial port number 1..9, as in the program's options
                 (the link ~/.config/tarvel/ports/comN, else /dev/ttyS<N-1>)
  --device PATH  serial device to use instead of a port number
  --rts          raise the RTS line while the port is open
  --yes          copy files larger than 150 kB without asking
  --trace FILE   write every byte to and from the phone to FILE, with times
                 (file contents and names included), for reporting a problem
  -h, --help     show this help

Progress goes to standard error when it is a terminal. Files larger than 150 kB
need a confirmation: asked on the terminal, or given with --yes in scripts.
A download is written to a temporary file beside its destination and renamed
when complete; an existing file of the same name is replaced.

Exit status:
  0  done
  1  the phone refused (file not found, folder not entered, ...) or a PC file
     could not be read or written
  2  usage error
  3  link failure: the port cannot be opened, the phone does not answer the
     connection set-up, a time-out or a broken reply
)";

QString openErrorText(SerialPort::OpenError error)
{
    switch (error) {
    case SerialPort::OpenError::NoSuchDevice:
        return QStringLiteral("no such device");
    case SerialPort::OpenError::Busy:
        return QStringLiteral("in use by another program");
    case SerialPort::OpenError::NoPermission:
        return QStringLiteral("no permission (is the user in the dialout group?)");
    case SerialPort::OpenError::NotSerial:
        return QStringLiteral("not a serial device");
    default:
        return QStringLiteral("cannot be opened");
    }
}

// What the command line asks for.
struct Invocation
{
    QString command;
    QStringList operands;
    int port = 0; // 0: --device names the port
    QString device;
    bool rts = false;
    bool yes = false;
    QString trace; // byte trace file; empty: none
};

// What the checks found: the phone path and the PC side of a transfer.
struct Plan
{
    QString phoneArgument;
    QList<QByteArray> folders;
    QByteArray name; // empty for a bare folder path
    std::unique_ptr<QSaveFile> download;
    QString uploadPath;
    TerminalEvents::Answer sizeAnswer = TerminalEvents::Answer::Ask;
};

int usage(const QString &problem)
{
    printError(problem);
    std::cerr << "Try 'tarvel-cli --help'." << std::endl;
    return UsageError;
}

int refuse(const QString &problem)
{
    printError(problem);
    return Refused;
}

// Parsing: the options and the command's arguments. An exit status when the run
// ends here (help, usage error).
std::optional<int> parse(const QStringList &arguments, Invocation *invocation)
{
    QCommandLineParser parser;
    parser.setOptionsAfterPositionalArgumentsMode(QCommandLineParser::ParseAsOptions);
    const QCommandLineOption portOption(QStringLiteral("port"), QString(), QStringLiteral("N"));
    const QCommandLineOption deviceOption(QStringLiteral("device"), QString(), QStringLiteral("PATH"));
    const QCommandLineOption rtsOption(QStringLiteral("rts"));
    const QCommandLineOption yesOption(QStringLiteral("yes"));
    const QCommandLineOption traceOption(QStringLiteral("trace"), QString(), QStringLiteral("FILE"));
    const QCommandLineOption helpOption(QStringList{QStringLiteral("h"), QStringLiteral("help")});
    parser.addOptions({portOption, deviceOption, rtsOption, yesOption, traceOption, helpOption});

    if (!parser.parse(arguments))
        return usage(parser.errorText());
    if (parser.isSet(helpOption)) {
        std::cout << HelpText;
        return Success;
    }

    const QStringList args = parser.positionalArguments();
    if (parser.isSet(portOption) == parser.isSet(deviceOption))
        return usage(QStringLiteral("give either --port N or --device PATH"));
    if (parser.isSet(portOption)) {
        bool ok = false;
        invocation->port = parser.value(portOption).toInt(&ok);
        if (!ok || invocation->port < 1 || invocation->port > 9)
            return usage(QStringLiteral("--port takes a number from 1 to 9"));
    }
    invocation->device = parser.value(deviceOption);
    invocation->rts = parser.isSet(rtsOption);
    invocation->yes = parser.isSet(yesOption);
    invocation->trace = parser.value(traceOption);
    if (args.isEmpty())
        return usage(QStringLiteral("no command given"));

    invocation->command = args.first();
    invocation->operands = args.mid(1);
    struct Arity
    {
        int minimum;
        int maximum;
    };
    static const QHash<QString, Arity> arities = {
        {QStringLiteral("ls"), {0, 1}},  {QStringLiteral("info"), {0, 0}}, {QStringLiteral("get"), {1, 2}},
        {QStringLiteral("put"), {1, 2}}, {QStringLiteral("rm"), {1, 1}},   {QStringLiteral("mkdir"), {1, 1}},
    };
    const auto arity = arities.constFind(invocation->command);
    if (arity == arities.constEnd())
        return usage(QStringLiteral("unknown command \"%1\"").arg(invocation->command));
    if (invocation->operands.size() < arity->minimum || invocation->operands.size() > arity->maximum)
        return usage(QStringLiteral("wrong number of arguments for \"%1\"").arg(invocation->command));
    return std::nullopt;
}

// Phone path components in Windows-1251; nothing when a component is not usable.
std::optional<QList<QByteArray>> phoneComponents(const QString &path, QString *error)
{
    QList<QByteArray> components;
    for (const QString &part : path.split(u'/', Qt::SkipEmptyParts)) {
        if (part == u"." || part == u"..") {
            *error = QStringLiteral("\".\" and \"..\" are not allowed in phone paths: %1").arg(path);
            return std::nullopt;
        }
        if (part.contains(u'\\')) {
            *error = QStringLiteral("use \"/\" between phone folders: %1").arg(path);
            return std::nullopt;
        }
        const auto bytes = Cp1251::encode(part);
        if (!bytes) {
            *error = englishText(Refusal::NameNotEncodable) + QStringLiteral(": ") + part;
            return std::nullopt;
        }
        components.append(*bytes);
    }
    return components;
}

// Qt takes a path that starts with ':' for one of its resources; on the command
// line it names a PC file relative to the current folder.
QString pcPath(const QString &argument)
{
    return argument.startsWith(u':') ? QStringLiteral("./") + argument : argument;
}

QString describeDestination(const QString &localArgument, const QByteArray &phoneName, QString *error)
{
    const auto localName = safeLocalName(phoneName);
    if (!localName) {
        *error = englishText(Refusal::UnsafeLocalName);
        return {};
    }
    if (localArgument.isEmpty())
        return localFilePath(QDir::currentPath(), *localName);
    const QString local = pcPath(localArgument);
    if (QFileInfo(local).isDir())
        return localFilePath(local, *localName);
    return local;
}

bool nameFits(const QByteArray &name, int maxLength, Refusal tooLong)
{
    if (name.size() <= maxLength)
        return true;
    printError(englishText(tooLong));
    return false;
}

// The upload's source and the size question, before the phone is woken.
int checkUpload(const QString &uploadPath, TerminalEvents::Answer *sizeAnswer)
{
    Refusal refusal{};
    const std::optional<UploadSource> source = inspectUploadSource(uploadPath, &refusal);
    if (!source) {
        return refuse(refusal == Refusal::SourceMissing ? QStringLiteral("cannot find the file %1").arg(uploadPath)
                                                        : englishText(refusal));
    }
    if (source->stagedLength <= Staging::QuestionLength || *sizeAnswer == TerminalEvents::Answer::Yes)
        return Success;
    if (!::isatty(STDIN_FILENO))
        return refuse(
            QStringLiteral("%1 is larger than 150 kB; run with --yes to copy it without asking").arg(uploadPath));
    if (!askOnTerminal(QStringLiteral("%1 is larger than 150 kB. Copy it to the phone?").arg(uploadPath)))
        return refuse(QStringLiteral("not copied"));
    *sizeAnswer = TerminalEvents::Answer::Yes;
    return Success;
}

// Checks: everything that can be checked on the PC before the phone is woken.
int check(const Invocation &invocation, Plan *plan)
{
    const QString &command = invocation.command;
    const QStringList &operands = invocation.operands;
    QString problem;
    plan->phoneArgument = command == u"put" ? operands.value(1) : operands.value(0);
    const auto components = phoneComponents(plan->phoneArgument, &problem);
    if (!components)
        return refuse(problem);
    plan->folders = *components;
    if (command == u"get" || command == u"rm" || command == u"mkdir") {
        if (plan->folders.isEmpty())
            return usage(QStringLiteral("\"%1\" needs a phone path").arg(command));
        plan->name = plan->folders.takeLast();
    }
    for (const QByteArray &folder : plan->folders) {
        if (!nameFits(folder, ObexRequest::MaxSetPathName, Refusal::FolderNameTooLong))
            return Refused;
    }
    if ((command == u"get" || command == u"rm")
        && !nameFits(plan->name, ObexRequest::MaxGetName, Refusal::FileNameTooLong))
        return Refused;
    if (command == u"mkdir" && !nameFits(plan->name, ObexRequest::MaxSetPathName, Refusal::FolderNameTooLong))
        return Refused;

    if (command == u"get") {
        const QString destination = describeDestination(operands.value(1), plan->name, &problem);
        if (destination.isEmpty())
            return refuse(problem);
        plan->download = std::make_unique<QSaveFile>(destination);
        if (!plan->download->open(QIODevice::WriteOnly))
            return refuse(QStringLiteral("cannot write %1: %2").arg(destination, plan->download->errorString()));
    }

    plan->sizeAnswer = invocation.yes ? TerminalEvents::Answer::Yes : TerminalEvents::Answer::Ask;
    if (command == u"put") {
        plan->uploadPath = pcPath(operands.value(0));
        return checkUpload(plan->uploadPath, &plan->sizeAnswer);
    }
    return Success;
}

QString sizeColumn(const ListingRow &row)
{
    if (!isFileKind(row.kind))
        return QStringLiteral("-");
    QString size = row.size;
    if (size.endsWith(u'b'))
        size.chop(1);
    return size;
}

void printListing(const FolderListing &listing)
{
    QTextStream out(stdout);
    for (const ListingRow &row : listing.rows) {
        if (row.kind == EntryKind::Parent)
            continue;
        out << Cp1251::decode(row.name) << '\t' << sizeColumn(row) << '\t' << row.date << '\t' << row.time << '\t'
            << (isFolderKind(row.kind) ? "folder" : "file") << '\n';
    }
}

void printInfo(const PhoneSession::Info &info)
{
    QTextStream out(stdout);
    auto figure = [](std::optional<quint32> bytes) {
        return bytes ? QStringLiteral("%1 bytes (%2 KB)").arg(*bytes).arg(*bytes / 1024) : QStringLiteral("unknown");
    };
    out << "model: " << (info.model.isEmpty() ? QStringLiteral("unknown") : info.model) << '\n'
        << "total memory: " << figure(info.totalMemory) << '\n'
        << "free memory: " << figure(info.freeMemory) << '\n';
}

int connect(PhoneSession &session, const TerminalEvents &events)
{
    if (session.connect())
        return Success;
    if (const auto portError = events.portFailure()) {
        printError(QStringLiteral("cannot open the serial port %1: %2")
                       .arg(session.link().openedDevicePath(), openErrorText(*portError)));
    } else {
        printError(QStringLiteral("no connection to the phone on ") + session.link().devicePath());
        for (const QString &line : events.connectErrorLines())
            printError(QStringLiteral("  ") + line);
    }
    return LinkError;
}

// Running: one connection, then the command through the session.
int run(const Invocation &invocation, Plan &plan, PhoneSession &session, const TerminalEvents &events)
{
    if (const int status = connect(session, events))
        return status;

    const QString &command = invocation.command;
    PhoneSession::Status status = PhoneSession::Status::Done;
    QString refusal;
    if (command == u"ls") {
        FolderListing listing;
        status = session.list(plan.folders, &listing);
        if (status == PhoneSession::Status::Done)
            printListing(listing);
    } else if (command == u"info") {
        printInfo(session.info());
    } else if (command == u"get") {
        QByteArray content;
        status = session.get(plan.folders, plan.name, &content);
        refusal = QStringLiteral("the phone did not deliver %1").arg(plan.phoneArgument);
        if (status == PhoneSession::Status::Done
            && (plan.download->write(content) != content.size() || !plan.download->commit()))
            return refuse(
                QStringLiteral("cannot write %1: %2").arg(plan.download->fileName(), plan.download->errorString()));
    } else if (command == u"put") {
        status = session.put(plan.uploadPath, plan.folders);
        refusal = QStringLiteral("the phone refused %1").arg(plan.uploadPath);
    } else if (command == u"rm") {
        status = session.remove(plan.folders, plan.name);
        refusal = QStringLiteral("the phone refused to delete %1").arg(plan.phoneArgument);
    } else if (command == u"mkdir") {
        status = session.makeFolder(plan.folders, plan.name);
        refusal = QStringLiteral("the phone refused to make the folder %1").arg(plan.phoneArgument);
    }

    switch (status) {
    case PhoneSession::Status::Done:
        return Success;
    case PhoneSession::Status::FolderRefused:
        return refuse(
            QStringLiteral("the phone refused to open the folder \"%1\"").arg(Cp1251::decode(session.refusedFolder())));
    case PhoneSession::Status::Refused:
        return refuse(refusal);
    case PhoneSession::Status::NotSent:
        break;
    }
    return Refused;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("tarvel-cli"));

    Invocation invocation;
    if (const std::optional<int> status = parse(QCoreApplication::arguments(), &invocation))
        return *status;
    Plan plan;
    if (const int status = check(invocation, &plan))
        return status;

    QString componentError;
    const auto crc = SumletControl::create(&componentError);
    if (!crc)
        return refuse(QStringLiteral("cannot load the checksum component: ") + componentError);

    TerminalEvents events(::isatty(STDERR_FILENO));
    events.setAnswer(plan.sizeAnswer);
    PhoneSession session(*crc, events);
    if (invocation.port == 0)
        session.link().setDevicePath(invocation.device);
    else
        session.link().setPortNumber(invocation.port);
    session.link().setRts(invocation.rts);
    QString traceError;
    if (!invocation.trace.isEmpty() && !session.link().traceTo(invocation.trace, &traceError))
        return refuse(QStringLiteral("cannot write the trace %1: %2").arg(invocation.trace, traceError));

    try {
        const int status = run(invocation, plan, session, events);
        session.link().closePort();
        return status;
    } catch (const LinkLost &) {
        return LinkError;
    }
}
