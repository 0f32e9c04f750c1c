#include "commandrunner.h"

#include "linktexts.h"
#include "localfilewriter.h"
#include "localnames.h"
#include "pcfiletexts.h"
#include "phonesession.h"
#include "progress.h"
#include "stopsignals.h"
#include "terminalevents.h"
#include "trees.h"

#include <QDir>
#include <QFileInfo>
#include <QTextStream>

#include <iostream>

#include <unistd.h>

namespace {

int refuse(const QString &problem)
{
    printError(problem);
    return Refused;
}

// Qt takes a path that starts with ':' for one of its resources; typed by a user it
// names a PC file relative to the current folder.
QString pcPath(const QString &argument)
{
    return argument.startsWith(u':') ? QStringLiteral("./") + argument : argument;
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
        out << escapedName(row.name) << '\t' << sizeColumn(row) << '\t' << row.date << '\t' << row.time << '\t'
            << (isFolderKind(row.kind) ? "folder" : "file") << '\n';
    }
}

QString interfaceText(const PhoneSession::Info &info)
{
    switch (info.phoneInterface) {
    case PhoneInterface::Wire:
        return QStringLiteral("serial cable");
    case PhoneInterface::Usb:
        return QStringLiteral("USB cable");
    case PhoneInterface::Bluetooth:
        return QStringLiteral("Bluetooth");
    case PhoneInterface::Infrared:
        return QStringLiteral("infrared");
    case PhoneInterface::Unknown:
        break;
    }
    return info.foundInObex ? QStringLiteral("not known (the phone was found in OBEX mode)")
                            : QStringLiteral("not known (no answer to AT^SIFS)");
}

void printInfo(const PhoneSession::Info &info)
{
    QTextStream out(stdout);
    auto figure = [](std::optional<quint32> bytes) {
        return bytes ? QStringLiteral("%1 bytes (%2 KB)").arg(*bytes).arg(*bytes / 1024) : QStringLiteral("unknown");
    };
    out << "model: " << (info.model.isEmpty() ? QStringLiteral("unknown") : terminalText(info.model)) << '\n'
        << "total memory: " << figure(info.totalMemory) << '\n'
        << "free memory: " << figure(info.freeMemory) << '\n';
    if (info.linkMode == LinkMode::Plain)
        out << "interface: " << interfaceText(info) << '\n';
    out << "link: " << (info.linkMode == LinkMode::Plain ? "plain OBEX" : "BFB") << " at " << info.lineRate << " baud\n"
        << "max packet: "
        << (info.maxPacket ? QStringLiteral("%1 bytes").arg(*info.maxPacket) : QStringLiteral("not announced")) << '\n';
    if (info.leftInObex)
        out << "note: "
            << (info.foundInObex ? "nothing in this session says which cable the phone is on, so it"
                                 : "on this cable the phone cannot be taken out of OBEX mode: it")
            << " stays in OBEX mode until it is switched off; the next session finds it there\n";
}

void printLineOut(const QString &text)
{
    QTextStream(stdout) << text << '\n';
}

PhonePath parentOf(const PhonePath &path)
{
    return path.mid(0, path.size() - 1);
}

} // namespace

CommandRunner::CommandRunner(PhoneSession &session, TerminalEvents &events, ProgressMeter &meter,
                             const Options &options)
    : m_session(session), m_events(events), m_meter(meter), m_options(options)
{}

int CommandRunner::connect()
{
    if (m_connected)
        return Success;
    const PhoneResult result = m_session.connect();
    if (result.ok()) {
        m_connected = true;
        return Success;
    }
    m_meter.clear();
    printError(connectProblem(result, m_session));
    for (const QString &hint : connectHints(result))
        printError(QStringLiteral("  ") + hint);
    return LinkError;
}

int CommandRunner::run(const Command &command)
{
    const QString &name = command.name;
    if (name == u"pwd") {
        printLineOut(displayPath(m_folder));
        return Success;
    }
    if (name == u"lpwd") {
        printLineOut(QDir::currentPath());
        return Success;
    }
    if (name == u"lcd")
        return changeLocalFolder(command);
    if (name == u"help") {
        std::cout << CommandHelpText << std::flush;
        return Success;
    }
    if (name == u"exit") {
        m_finished = true;
        return Success;
    }
    if (name == u"ls")
        return ls(command);
    if (name == u"cd")
        return cd(command);
    if (name == u"get")
        return command.recursive ? getTree(command) : get(command);
    if (name == u"put")
        return command.recursive ? putTree(command) : put(command);
    if (name == u"rm")
        return remove(command);
    if (name == u"mkdir")
        return makeFolder(command);
    if (name == u"mv")
        return move(command);
    if (name == u"info")
        return info();
    if (name == u"backup")
        return backup(command);
    return usage(QStringLiteral("\"%1\" cannot run here").arg(name));
}

std::optional<PhonePath> CommandRunner::phonePath(const QString &text)
{
    QString problem;
    auto path = resolvePhonePath(m_folder, text, &problem);
    if (!path)
        printError(problem);
    else if (!foldersSendable(parentOf(*path)))
        path.reset();
    return path;
}

std::optional<PhonePath> CommandRunner::entryPath(const QString &text, const QString &atRoot, int *status)
{
    auto path = phonePath(text);
    if (!path)
        *status = Refused;
    else if (path->isEmpty())
        *status = usage(atRoot);
    else
        return path;
    return std::nullopt;
}

bool CommandRunner::foldersSendable(const PhonePath &folder)
{
    for (qsizetype i = 0; i < folder.size(); ++i) {
        if (const PhoneResult fits = m_session.checkName(folder.at(i), PhoneSession::NameUse::Folder); !fits.ok())
            return failed(displayPath(folder.mid(0, i + 1)), fits) == Success;
    }
    return true;
}

bool CommandRunner::nameSendable(const PhonePath &path, PhoneSession::NameUse use)
{
    return failed(displayPath(path), m_session.checkName(path.last(), use)) == Success;
}

int CommandRunner::failed(const QString &action, const PhoneResult &result, const QString &refused,
                          const PhonePath &target)
{
    switch (result.code()) {
    case PhoneResult::Code::Done:
        return Success;
    case PhoneResult::Code::LinkLost:
        m_meter.clear();
        printError(linkLossText(result.loss()) + QStringLiteral("; switch the phone off and on again"));
        return LinkError;
    case PhoneResult::Code::Declined:
        return Refused; // the question said why
    case PhoneResult::Code::FolderRefused:
        return refuse(action + QStringLiteral(": ") + folderProblem(result, target));
    default:
        return refuse(action + QStringLiteral(": ") + resultReason(result, refused, parentOf(target)));
    }
}

QString CommandRunner::folderProblem(const PhoneResult &result, const PhonePath &target)
{
    const QByteArray name = result.name();
    const PhonePath at = m_session.currentFolder();
    // A phone that would not go down into a folder stands in its parent; the parent's
    // listing tells a missing folder from a refused one (phones answer both alike).
    if (target.size() > at.size() && target.mid(0, at.size()) == at && target.at(at.size()) == name) {
        const PhonePath refused = at + PhonePath{name};
        const bool whole = refused == target;
        const QString shown = QStringLiteral("the folder ") + displayPath(refused);
        FolderListing listing;
        const bool held = !m_session.list(at, &listing, PhoneSession::Listing::Known).ok()
            || std::any_of(listing.rows.cbegin(), listing.rows.cend(), [&](const ListingRow &row) {
                   return isFolderKind(row.kind) && PhoneSession::sameName(row.name, name);
               });
        if (!held)
            return whole ? QStringLiteral("not found on the phone") : shown + QStringLiteral(" is not on the phone");
        return QStringLiteral("the phone refused to open ") + (whole ? QStringLiteral("it") : shown);
    }
    return resultReason(result, {});
}

int CommandRunner::treeStatus(const QString &command, const TreeSummary &summary, bool backup)
{
    if (summary.linkLost)
        return failed({}, PhoneResult::linkLost(*summary.linkLost));
    printSummary(command, summary, backup);
    return summary.failures == 0 ? Success : Refused;
}

int CommandRunner::ls(const Command &command)
{
    const auto folder = phonePath(command.operands.value(0));
    if (!folder || !foldersSendable(*folder))
        return Refused;
    if (const int status = connect())
        return status;
    FolderListing listing;
    if (const PhoneResult listed = m_session.list(*folder, &listing); !listed.ok())
        return failed(QStringLiteral("cannot list ") + displayPath(*folder), listed,
                      QStringLiteral("the phone refused it"), *folder);
    printListing(listing);
    return Success;
}

int CommandRunner::cd(const Command &command)
{
    const auto folder = phonePath(command.operands.value(0, QStringLiteral("/")));
    if (!folder || !foldersSendable(*folder))
        return Refused;
    if (const int status = connect())
        return status;
    if (const int entered = failed(QStringLiteral("cannot change to ") + displayPath(*folder), m_session.enter(*folder),
                                   QStringLiteral("the phone refused it"), *folder))
        return entered;
    m_folder = *folder;
    return Success;
}

int CommandRunner::get(const Command &command)
{
    int unusable = Success;
    const auto path = entryPath(command.operands.value(0),
                                QStringLiteral("\"get\" needs a phone file; get -r copies a folder"), &unusable);
    if (!path)
        return unusable;
    const PhonePath folder = parentOf(*path);
    const QByteArray name = path->last();
    if (!nameSendable(*path, PhoneSession::NameUse::File))
        return Refused;

    // Where it goes: a folder takes the phone's name.
    QString target = pcPath(command.operands.value(1));
    if (target.isEmpty() || (target != u"-" && QFileInfo(target).isDir())) {
        const auto localName = safeLocalName(PhoneSession::text(name));
        if (!localName)
            return refuse(
                QStringLiteral("cannot get %1: %2").arg(displayPath(*path), refusalText(Refusal::UnsafeLocalName)));
        target = localFilePath(target.isEmpty() ? QDir::currentPath() : target, *localName);
    }
    LocalFileError openError;
    const std::unique_ptr<LocalFileWriter> writer =
        target == u"-" ? LocalFileWriter::standardOutput() : LocalFileWriter::open(target, &openError);
    if (!writer)
        return refuse(writeProblem(target, openError));

    if (const int status = connect())
        return status;
    QDateTime modified;
    qint64 size = -1;
    if (const std::optional<ListingRow> row = m_session.row(folder, name)) {
        if (isFolderKind(row->kind))
            return refuse(QStringLiteral("%1 is a folder; get -r copies a folder").arg(displayPath(*path)));
        modified = row->modified;
        size = row->byteCount ? qint64(*row->byteCount) : -1;
    }
    m_meter.beginFile(displayPath(*path), size);
    const PhoneResult result =
        m_session.get(folder, name, [&writer](QByteArrayView piece) { return writer->write(piece); });
    m_meter.endFile();
    if (const std::optional<LocalFileError> error = writer->error()) {
        // A signal broke the wait for a reader: the run stops, as it would in any other wait.
        if (error->errorNumber == EINTR && StopSignals::received())
            return refuse(QStringLiteral("stopped: %1 had no reader; nothing was written").arg(target));
        return refuse(writeProblem(target, *error));
    }
    if (result == PhoneResult::Code::VerifyFailed)
        return refuse(unverifiedDownload(displayPath(*path)));
    if (const int status = failed(QStringLiteral("cannot get ") + displayPath(*path), result,
                                  QStringLiteral("the phone did not deliver it"), *path))
        return status;
    if (!writer->commit(modified))
        return refuse(writeProblem(target, *writer->error()));
    return Success;
}

int CommandRunner::getTree(const Command &command)
{
    const auto folder = phonePath(command.operands.value(0));
    if (!folder || !foldersSendable(*folder))
        return Refused;
    // The copy goes into the PC folder under the phone folder's name; the root's
    // content goes into it directly.
    QString local = pcPath(command.operands.value(1, QStringLiteral(".")));
    if (QFileInfo::exists(local) && !QFileInfo(local).isDir())
        return refuse(QStringLiteral("%1 is not a folder").arg(local));
    if (!folder->isEmpty()) {
        const auto localName = safeLocalName(PhoneSession::text(folder->last()));
        if (!localName)
            return refuse(
                QStringLiteral("cannot get %1: %2").arg(displayPath(*folder), refusalText(Refusal::UnsafeLocalName)));
        local = localFilePath(local, *localName);
    }
    if (const int status = connect())
        return status;
    return treeStatus(QStringLiteral("get -r"), downloadTree(m_session, m_meter, *folder, local, {}), false);
}

int CommandRunner::put(const Command &command)
{
    const QString source = pcPath(command.operands.value(0));
    if (const std::optional<QString> problem = uploadSourceProblem(source))
        return refuse(*problem);
    bool large = false;
    QByteArray phoneName;
    const QString action = QStringLiteral("cannot put ") + source;
    if (const PhoneResult checked = m_session.checkUpload(source, &large, &phoneName); !checked.ok())
        return failed(action, checked);
    const auto folder = phonePath(command.operands.value(1));
    if (!folder || !foldersSendable(*folder))
        return Refused;

    // The size question comes before the phone is woken.
    bool confirmed = m_options.yes;
    if (large && !confirmed) {
        if (!m_events.questionsAllowed() || !::isatty(STDIN_FILENO))
            return refuse(
                QStringLiteral("%1 is larger than 150 kB; run with --yes to copy it without asking").arg(source));
        if (!askOnTerminal(QStringLiteral("%1 is larger than 150 kB. Copy it to the phone?").arg(source)))
            return refuse(QStringLiteral("not copied"));
        confirmed = true;
    }

    if (const int status = connect())
        return status;
    m_events.setAnswer(confirmed ? TerminalEvents::Answer::Yes : TerminalEvents::Answer::Ask);
    m_events.setSubject(source);
    m_meter.beginFile(source, QFileInfo(source).size());
    const PhoneResult result = m_session.replace(source, *folder);
    m_meter.endFile();
    m_events.setSubject({});
    m_events.setAnswer(m_options.yes ? TerminalEvents::Answer::Yes : TerminalEvents::Answer::Ask);
    if (result == PhoneResult::Code::OldNotDeleted)
        return refuse(oldFileLeft(result, source, *folder));
    return failed(QStringLiteral("%1 into %2").arg(action, displayPath(*folder)), result,
                  QStringLiteral("the phone refused it"), *folder + PhonePath{phoneName});
}

int CommandRunner::putTree(const Command &command)
{
    const QString source = pcPath(command.operands.value(0));
    const QFileInfo info(source);
    if (!info.isDir())
        return refuse(info.exists() ? QStringLiteral("%1 is not a folder; put copies a file").arg(source)
                                    : QStringLiteral("cannot find the folder %1").arg(source));
    const QString name = QFileInfo(info.canonicalFilePath()).fileName();
    QByteArray phoneName;
    const PhoneResult fits = m_session.checkName(name, PhoneSession::NameUse::Folder, &phoneName);
    if (name.isEmpty() || fits.refusal() == Refusal::NameNotEncodable)
        return refuse(QStringLiteral("cannot put %1: %2").arg(source, refusalText(Refusal::NameNotEncodable)));
    const auto folder = phonePath(command.operands.value(1));
    if (!folder || !foldersSendable(*folder))
        return Refused;
    if (!fits.ok())
        return failed(u'/' + name, fits);

    if (const int status = connect())
        return status;
    const PhonePath target = *folder + PhonePath{phoneName};
    if (const int made =
            failed(QStringLiteral("cannot make the folder ") + displayPath(target),
                   m_session.makeFolder(*folder, phoneName), QStringLiteral("the phone refused it"), target))
        return made;
    return treeStatus(QStringLiteral("put -r"), uploadTree(m_session, m_meter, m_events, source, target), false);
}

int CommandRunner::remove(const Command &command)
{
    int unusable = Success;
    const auto path = entryPath(command.operands.value(0), QStringLiteral("\"rm\" needs a phone path"), &unusable);
    if (!path)
        return unusable;
    if (!nameSendable(*path, PhoneSession::NameUse::File))
        return Refused;
    if (const int status = connect())
        return status;
    const PhoneResult result = m_session.remove(parentOf(*path), path->last());
    return failed(QStringLiteral("cannot delete ") + displayPath(*path), result, QStringLiteral("the phone refused it"),
                  *path);
}

int CommandRunner::makeFolder(const Command &command)
{
    int unusable = Success;
    const auto path = entryPath(command.operands.value(0), QStringLiteral("\"mkdir\" needs a phone path"), &unusable);
    if (!path)
        return unusable;
    if (!foldersSendable(*path))
        return Refused;
    if (const int status = connect())
        return status;
    const QString action = QStringLiteral("cannot make the folder ") + displayPath(*path);
    const PhonePath parent = parentOf(*path);
    // The phone enters a folder it has when asked to make it: what the folder holds is
    // looked up first, without regard to letter case, as the phone compares names.
    FolderListing listing;
    if (const PhoneResult listed = m_session.list(parent, &listing); !listed.ok())
        return failed(action, listed, QStringLiteral("the phone refused it"), *path);
    for (const ListingRow &row : std::as_const(listing.rows)) {
        if (row.kind == EntryKind::Parent || !PhoneSession::sameName(row.name, path->last()))
            continue;
        if (row.name != path->last())
            return refuse(QStringLiteral("%1: the %2 %3 exists (the phone does not tell letter case apart)")
                              .arg(action, isFolderKind(row.kind) ? QStringLiteral("folder") : QStringLiteral("file"),
                                   displayPath(parent + PhonePath{row.name})));
        return refuse(action
                      + (isFolderKind(row.kind) ? QStringLiteral(": it exists")
                                                : QStringLiteral(": a file of that name exists")));
    }
    const PhoneResult result = m_session.makeFolder(parent, path->last());
    return failed(action, result, QStringLiteral("the phone refused it"), *path);
}

int CommandRunner::move(const Command &command)
{
    const QString &fromText = command.operands.at(0);
    const QString &toText = command.operands.at(1);
    const auto from = phonePath(fromText);
    auto to = phonePath(toText);
    if (!from || !to)
        return Refused;
    if (from->isEmpty())
        return usage(QStringLiteral("\"mv\" cannot move the root folder"));
    // "NEW/", the root, "." and ".." name a folder to move into.
    const QString lastWord = toText.section(u'/', -1);
    const bool intoFolder = to->isEmpty() || toText.endsWith(u'/') || lastWord == u"." || lastWord == u"..";
    if (intoFolder)
        to->append(from->last());
    if (const PhoneResult fits = m_session.checkName(to->last(), PhoneSession::NameUse::File); !fits.ok())
        return failed(QStringLiteral("cannot move %1 to %2").arg(displayPath(*from), displayPath(*to)), fits);
    if (const int status = connect())
        return status;

    // Onto a folder: into it, as mv does; onto a file: the file is replaced.
    std::optional<ListingRow> target = m_session.row(parentOf(*to), to->last());
    if (!intoFolder && target && isFolderKind(target->kind)) {
        to->append(from->last());
        target = m_session.row(parentOf(*to), to->last());
    }
    const std::optional<ListingRow> source = m_session.row(parentOf(*from), from->last());
    const bool movingFolder = source && isFolderKind(source->kind);
    const PhoneResult result = target && movingFolder
        ? PhoneResult(PhoneResult::Code::Exists)
        : m_session.moveOrCopy(parentOf(*from), from->last(), parentOf(*to), to->last());
    // A current folder inside what moved moves with it.
    const bool moved = result.ok() || result == PhoneResult::Code::OldNotDeleted;
    if (moved && m_folder.size() >= from->size() && m_folder.mid(0, from->size()) == *from)
        m_folder = *to + m_folder.mid(from->size());
    if (result == PhoneResult::Code::OldNotDeleted)
        return refuse(
            QStringLiteral("moved %1 to %2, but the phone refused to delete the old file: it is left as %3")
                .arg(displayPath(*from), displayPath(*to), displayPath(parentOf(*to) + PhonePath{result.name()})));
    const QString action = QStringLiteral("cannot move %1 to %2").arg(displayPath(*from), displayPath(*to));
    if (result == PhoneResult::Code::Exists)
        return refuse(QStringLiteral("%1: %2 exists").arg(action, displayPath(*to)));
    return failed(action, result, QStringLiteral("the phone refused it"), *to);
}

int CommandRunner::info()
{
    if (const int status = connect())
        return status;
    const PhoneResult updated = m_session.updateMemory();
    if (updated == PhoneResult::Code::LinkLost)
        return failed({}, updated);
    PhoneSession::Info info = m_session.info();
    // Figures from before a change are no figures.
    if (!updated.ok()) {
        info.totalMemory.reset();
        info.freeMemory.reset();
    }
    printInfo(info);
    return Success;
}

int CommandRunner::backup(const Command &command)
{
    const QString local = pcPath(command.operands.at(0));
    if (QFileInfo::exists(local) && !QFileInfo(local).isDir())
        return refuse(QStringLiteral("%1 is not a folder").arg(local));
    if (const int status = connect())
        return status;
    return treeStatus(command.dryRun ? QStringLiteral("backup --dry-run") : QStringLiteral("backup"),
                      downloadTree(m_session, m_meter, {}, local, {true, command.deleteExtra, command.dryRun}), true);
}

int CommandRunner::changeLocalFolder(const Command &command)
{
    const QString folder = pcPath(command.operands.value(0, QDir::homePath()));
    if (::chdir(QFile::encodeName(folder).constData()) != 0)
        return refuse(QStringLiteral("cannot change to %1: %2").arg(folder, systemError(errno)));
    return Success;
}
