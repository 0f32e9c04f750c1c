// tarvel-cli: the phone's file system from the command line, for scripts and backups.

#include "cp1251.h"
#include "handshake.h"
#include "messages.h"
#include "obexrequests.h"
#include "phonefiles.h"
#include "phonelink.h"
#include "staging.h"
#include "sumletcontrol.h"
#include "terminalui.h"
#include "workingfiles.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QHash>
#include <QSaveFile>
#include <QTextStream>

#include <iostream>
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

struct PhonePath
{
    QList<QByteArray> folders;
    QByteArray name; // empty for a bare folder path
};

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
            *error = englishText(ObexNotice::NameNotEncodable) + QStringLiteral(": ") + part;
            return std::nullopt;
        }
        components.append(*bytes);
    }
    return components;
}

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

class Session
{
public:
    Session(Checksum &crc, bool showProgress) : ui(showProgress), link(crc, ui), files(link) {}

    TerminalUi ui;
    PhoneLink link;
    PhoneFiles files;
    FolderListing rootListing;

    // The connect procedure with its pauses, then the root listing.
    int connect()
    {
        bool connected = false;
        PhoneConnector connector(link);
        connector.run([this, &connected] {
            connected = true;
            rootListing = files.enterRootAndRefresh();
        });
        if (connected)
            return Success;
        if (ui.portMessageShown()) {
            printError(QStringLiteral("cannot open the serial port %1: %2")
                           .arg(link.Comm1.openedDevicePath(), openErrorText(link.Comm1.openError())));
        } else {
            printError(QStringLiteral("no connection to the phone on ") + link.Comm1.devicePath());
            for (const QString &line : ui.connectErrorLines())
                printError(QStringLiteral("  ") + line);
        }
        return LinkError;
    }

    bool enter(const QList<QByteArray> &folders)
    {
        for (const QByteArray &folder : folders) {
            if (!files.ObexSetPath(folder)) {
                printError(QStringLiteral("the phone refused to open the folder \"%1\"").arg(Cp1251::decode(folder)));
                return false;
            }
        }
        return true;
    }
};

QString sizeColumn(const ListingRow &row)
{
    if (!isFileKind(row.kind))
        return QStringLiteral("-");
    QString size = row.size;
    if (size.endsWith(u'b'))
        size.chop(1);
    return size;
}

int listFolder(Session &session, const QList<QByteArray> &folders)
{
    if (!session.enter(folders))
        return Refused;
    const FolderListing listing = folders.isEmpty() ? session.rootListing : session.files.RefreshListing();
    QTextStream out(stdout);
    for (const ListingRow &row : listing.rows) {
        if (row.kind == EntryKind::Parent)
            continue;
        out << Cp1251::decode(row.name) << '\t' << sizeColumn(row) << '\t' << row.date << '\t' << row.time << '\t'
            << (isFolderKind(row.kind) ? "folder" : "file") << '\n';
    }
    return Success;
}

int showInfo(Session &session)
{
    QTextStream out(stdout);
    auto figure = [](std::optional<quint32> bytes) {
        return bytes ? QStringLiteral("%1 bytes (%2 KB)").arg(*bytes).arg(*bytes / 1024) : QStringLiteral("unknown");
    };
    out << "model: " << (session.ui.model().isEmpty() ? QStringLiteral("unknown") : session.ui.model()) << '\n'
        << "total memory: " << figure(session.files.totalMemory()) << '\n'
        << "free memory: " << figure(session.files.freeMemory()) << '\n';
    return Success;
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
        *error = englishText(ObexNotice::UnsafeLocalName);
        return {};
    }
    if (localArgument.isEmpty())
        return localFilePath(QDir::currentPath(), *localName);
    const QString local = pcPath(localArgument);
    if (QFileInfo(local).isDir())
        return localFilePath(local, *localName);
    return local;
}

int checkName(const QByteArray &name, int maxLength, ObexNotice tooLong)
{
    if (name.size() <= maxLength)
        return Success;
    printError(englishText(tooLong));
    return Refused;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("tarvel-cli"));

    QCommandLineParser parser;
    parser.setOptionsAfterPositionalArgumentsMode(QCommandLineParser::ParseAsOptions);
    const QCommandLineOption portOption(QStringLiteral("port"), QString(), QStringLiteral("N"));
    const QCommandLineOption deviceOption(QStringLiteral("device"), QString(), QStringLiteral("PATH"));
    const QCommandLineOption rtsOption(QStringLiteral("rts"));
    const QCommandLineOption yesOption(QStringLiteral("yes"));
    const QCommandLineOption helpOption(QStringList{QStringLiteral("h"), QStringLiteral("help")});
    parser.addOptions({portOption, deviceOption, rtsOption, yesOption, helpOption});

    auto usage = [](const QString &problem) {
        printError(problem);
        std::cerr << "Try 'tarvel-cli --help'." << std::endl;
        return int(UsageError);
    };
    if (!parser.parse(QCoreApplication::arguments()))
        return usage(parser.errorText());
    if (parser.isSet(helpOption)) {
        std::cout << HelpText;
        return Success;
    }

    const QStringList args = parser.positionalArguments();
    if (parser.isSet(portOption) == parser.isSet(deviceOption))
        return usage(QStringLiteral("give either --port N or --device PATH"));
    int port = 0;
    if (parser.isSet(portOption)) {
        bool ok = false;
        port = parser.value(portOption).toInt(&ok);
        if (!ok || port < 1 || port > 9)
            return usage(QStringLiteral("--port takes a number from 1 to 9"));
    }
    if (args.isEmpty())
        return usage(QStringLiteral("no command given"));

    const QString command = args.first();
    const QStringList operands = args.mid(1);
    struct Arity
    {
        int minimum;
        int maximum;
    };
    static const QHash<QString, Arity> arities = {
        {QStringLiteral("ls"), {0, 1}},  {QStringLiteral("info"), {0, 0}}, {QStringLiteral("get"), {1, 2}},
        {QStringLiteral("put"), {1, 2}}, {QStringLiteral("rm"), {1, 1}},   {QStringLiteral("mkdir"), {1, 1}},
    };
    const auto arity = arities.constFind(command);
    if (arity == arities.constEnd())
        return usage(QStringLiteral("unknown command \"%1\"").arg(command));
    if (operands.size() < arity->minimum || operands.size() > arity->maximum)
        return usage(QStringLiteral("wrong number of arguments for \"%1\"").arg(command));

    // Everything that can be checked on the PC is checked before the phone is woken.
    QString problem;
    PhonePath target;
    const QString phoneArgument = command == u"put" ? operands.value(1) : operands.value(0);
    const auto components = phoneComponents(phoneArgument, &problem);
    if (!components) {
        printError(problem);
        return Refused;
    }
    target.folders = *components;
    if (command == u"get" || command == u"rm" || command == u"mkdir") {
        if (target.folders.isEmpty())
            return usage(QStringLiteral("\"%1\" needs a phone path").arg(command));
        target.name = target.folders.takeLast();
    }
    for (const QByteArray &folder : target.folders) {
        if (const int status = checkName(folder, ObexRequest::MaxSetPathName, ObexNotice::FolderNameTooLong))
            return status;
    }
    if (command == u"get" || command == u"rm") {
        if (const int status = checkName(target.name, ObexRequest::MaxGetName, ObexNotice::FileNameTooLong))
            return status;
    }
    if (command == u"mkdir") {
        if (const int status = checkName(target.name, ObexRequest::MaxSetPathName, ObexNotice::FolderNameTooLong))
            return status;
    }

    std::optional<QSaveFile> download;
    if (command == u"get") {
        const QString destination = describeDestination(operands.value(1), target.name, &problem);
        if (destination.isEmpty()) {
            printError(problem);
            return Refused;
        }
        download.emplace(destination);
        if (!download->open(QIODevice::WriteOnly)) {
            printError(QStringLiteral("cannot write %1: %2").arg(destination, download->errorString()));
            return Refused;
        }
    }

    const bool showProgress = ::isatty(STDERR_FILENO);
    TerminalUi::Answer sizeAnswer = parser.isSet(yesOption) ? TerminalUi::Answer::Yes : TerminalUi::Answer::Ask;
    QString uploadPath;
    if (command == u"put") {
        uploadPath = pcPath(operands.value(0));
        const QFileInfo source(uploadPath);
        if (!source.isFile()) {
            printError(QStringLiteral("cannot find the file %1").arg(uploadPath));
            return Refused;
        }
        const auto name = Cp1251::encode(source.fileName());
        if (!name) {
            printError(englishText(ObexNotice::NameNotEncodable));
            return Refused;
        }
        if (const int status = checkName(*name, ObexRequest::MaxUploadName, ObexNotice::UploadNameTooLong))
            return status;
        const qint64 stagingLength = Staging::stagedLength(source.size());
        if (stagingLength >= Staging::LengthLimit) {
            printError(englishText(ObexNotice::StagingTooLarge));
            return Refused;
        }
        if (stagingLength > Staging::QuestionLength && sizeAnswer != TerminalUi::Answer::Yes) {
            if (!::isatty(STDIN_FILENO)) {
                printError(QStringLiteral("%1 is larger than 150 kB; run with --yes to copy it without asking")
                               .arg(uploadPath));
                return Refused;
            }
            if (!askOnTerminal(QStringLiteral("%1 is larger than 150 kB. Copy it to the phone?").arg(uploadPath))) {
                printError(QStringLiteral("not copied"));
                return Refused;
            }
            sizeAnswer = TerminalUi::Answer::Yes;
        }
    }

    QString componentError;
    const auto crc = SumletControl::create(&componentError);
    if (!crc) {
        printError(QStringLiteral("cannot load the checksum component: ") + componentError);
        return Refused;
    }

    Session session(*crc, showProgress);
    session.ui.setAnswer(sizeAnswer);
    if (parser.isSet(deviceOption))
        session.link.Comm1.setDevicePath(parser.value(deviceOption));
    else
        session.link.Comm1.setPortNumber(port);
    session.link.Comm1.setRts(parser.isSet(rtsOption));

    try {
        if (const int status = session.connect())
            return status;

        int status = Success;
        if (command == u"ls") {
            status = listFolder(session, target.folders);
        } else if (command == u"info") {
            status = showInfo(session);
        } else if (!session.enter(target.folders)) {
            status = Refused;
        } else if (command == u"get") {
            const auto content = session.files.GetFile(target.name);
            if (!content) {
                printError(QStringLiteral("the phone did not deliver %1").arg(phoneArgument));
                status = Refused;
            } else if (download->write(*content) != content->size() || !download->commit()) {
                printError(QStringLiteral("cannot write %1: %2").arg(download->fileName(), download->errorString()));
                status = Refused;
            }
        } else if (command == u"put") {
            switch (session.files.PutFile(uploadPath)) {
            case PutResult::Sent:
                break;
            case PutResult::Refused:
                printError(QStringLiteral("the phone refused %1").arg(uploadPath));
                status = Refused;
                break;
            case PutResult::NotSent:
                status = Refused;
                break;
            }
        } else if (command == u"rm") {
            if (!session.files.DeleteObject(target.name)) {
                printError(QStringLiteral("the phone refused to delete %1").arg(phoneArgument));
                status = Refused;
            }
        } else if (command == u"mkdir") {
            if (!session.files.makeFolderAndReturn(target.name)) {
                printError(QStringLiteral("the phone refused to make the folder %1").arg(phoneArgument));
                status = Refused;
            }
        }
        session.link.Comm1.close();
        return status;
    } catch (const LinkFailure &) {
        session.link.Comm1.close();
        return LinkError;
    }
}
