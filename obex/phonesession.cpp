#include "phonesession.h"

#include "cp1251.h"
#include "obexrequests.h"

#include <algorithm>

namespace {

std::optional<QByteArray> heldName(const QList<QByteArray> &names, const QByteArray &name)
{
    const auto found = std::find_if(names.begin(), names.end(),
                                    [&](const QByteArray &entry) { return Cp1251::sameName(entry, name); });
    return found == names.end() ? std::nullopt : std::optional<QByteArray>(*found);
}

// A hidden name beside name that the folder does not hold: ".~old~a.txt", ".~old2~a.txt", ...
QByteArray freeHiddenName(const QList<QByteArray> &names, const QByteArray &name, const QByteArray &tag)
{
    for (int n = 1;; ++n) {
        const QByteArray candidate = ".~" + tag + (n > 1 ? QByteArray::number(n) : QByteArray()) + '~' + name;
        if (!heldName(names, candidate))
            return candidate;
    }
}

} // namespace

PhoneSession::PhoneSession(Checksum &crc, PhoneEvents &events)
    : m_link(crc, events), m_connector(m_link, ObexRequest::connect()), m_files(m_link, m_transport)
{}

bool PhoneSession::connect(const RootListed &rootListed)
{
    m_freshRootListing.reset();
    m_movesRefused = false;
    return m_connector.run([this, &rootListed] {
        m_freshRootListing = m_files.enterRootAndRefresh();
        if (rootListed)
            rootListed(*m_freshRootListing);
    });
}

PhoneSession::Info PhoneSession::info() const
{
    const QString model = m_connector.model();
    return {model.isEmpty() ? QString() : QStringLiteral("Siemens ") + model,
            m_files.totalMemory(),
            m_files.freeMemory(),
            m_connector.linkMode(),
            m_link.lineRate(),
            m_link.phoneMaxPacket()};
}

PhoneSession::Status PhoneSession::goTo(const QList<QByteArray> &folder)
{
    // PathStack starts with the root entry.
    const auto depth = [this] { return m_files.PathStack().size() - 1; };
    qsizetype shared = 0;
    while (shared < depth() && shared < folder.size() && m_files.PathStack().at(shared + 1) == folder.at(shared))
        ++shared;
    while (depth() > shared) {
        const qsizetype before = depth();
        if (!m_files.ObexSetPathUp() || depth() == before) {
            m_refusedFolder = m_files.PathStack().at(before);
            return Status::FolderRefused;
        }
    }
    for (qsizetype i = shared; i < folder.size(); ++i) {
        if (!m_files.ObexSetPath(folder.at(i))) {
            m_refusedFolder = folder.at(i);
            return Status::FolderRefused;
        }
    }
    return Status::Done;
}

PhoneSession::Status PhoneSession::list(const QList<QByteArray> &folder, FolderListing *listing)
{
    if (const Status status = goTo(folder); status != Status::Done)
        return status;
    if (folder.isEmpty() && m_freshRootListing)
        *listing = *m_freshRootListing;
    else
        *listing = m_files.RefreshListing();
    m_freshRootListing.reset();
    return Status::Done;
}

PhoneSession::Status PhoneSession::get(const QList<QByteArray> &folder, const QByteArray &name, QByteArray *content)
{
    if (const Status status = goTo(folder); status != Status::Done)
        return status;
    const std::optional<QByteArray> file = m_files.GetFile(name);
    if (!file)
        return Status::Refused;
    *content = *file;
    return Status::Done;
}

PhoneSession::Status PhoneSession::put(const QString &localPath, const QList<QByteArray> &folder)
{
    if (const Status status = goTo(folder); status != Status::Done)
        return status;
    m_freshRootListing.reset();
    return putStatus(m_files.PutFile(localPath));
}

PhoneSession::Status PhoneSession::put(const QList<QByteArray> &folder, const QByteArray &name,
                                       const QByteArray &content)
{
    if (const Status status = goTo(folder); status != Status::Done)
        return status;
    m_freshRootListing.reset();
    return putStatus(m_files.PutData(name, content));
}

std::optional<QList<QByteArray>> PhoneSession::entryNames(const QList<QByteArray> &folder, Status *status)
{
    FolderListing listing;
    *status = list(folder, &listing);
    if (*status != Status::Done)
        return std::nullopt;
    // Every folder's listing has text; without it nothing is known of the folder.
    if (listing.text.isEmpty()) {
        *status = Status::Refused;
        return std::nullopt;
    }
    QList<QByteArray> names;
    for (const ListingRow &row : std::as_const(listing.rows)) {
        if (row.kind != EntryKind::Parent)
            names.append(row.name);
    }
    return names;
}

PhoneSession::Status PhoneSession::replace(const QString &localPath, const QList<QByteArray> &folder,
                                           const QList<QByteArray> *names)
{
    Refusal refusal{};
    const std::optional<UploadSource> checked = inspectUploadSource(localPath, &refusal);
    // A source the upload refuses is refused by it, before anything is asked of the phone.
    if (!checked)
        return put(localPath, folder);
    return replaceWith(
        folder, checked->phoneName, checked->stagedLength,
        [&](const QByteArray &phoneName) {
            return m_files.PutFile(localPath, phoneName == checked->phoneName ? QByteArray() : phoneName);
        },
        names);
}

PhoneSession::Status PhoneSession::replace(const QList<QByteArray> &folder, const QByteArray &name,
                                           const QByteArray &content, const QList<QByteArray> *names)
{
    return replaceWith(
        folder, name, Staging::stagedLength(content.size()),
        [&](const QByteArray &phoneName) { return m_files.PutData(phoneName, content); }, names);
}

PhoneSession::Status PhoneSession::replaceWith(const QList<QByteArray> &folder, const QByteArray &name,
                                               qint64 stagedLength, const Upload &upload,
                                               const QList<QByteArray> *names)
{
    QList<QByteArray> listed;
    if (!names) {
        Status status = Status::Done;
        const auto entries = entryNames(folder, &status);
        if (!entries)
            return status;
        listed = *entries;
        names = &listed;
    }
    const auto uploadAs = [&](const QByteArray &phoneName) {
        if (const Status status = goTo(folder); status != Status::Done)
            return status;
        m_freshRootListing.reset();
        return putStatus(upload(phoneName));
    };
    const std::optional<QByteArray> existing = heldName(*names, name);
    if (!existing)
        return uploadAs(name);

    if (!m_movesRefused) {
        const QByteArray hidden = freeHiddenName(*names, name, "new");
        const Status uploaded = uploadAs(hidden);
        if (uploaded != Status::Done) {
            // Whatever part of it arrived is no file of the user's.
            if (uploaded == Status::Refused)
                remove(folder, hidden);
            return uploaded;
        }
        const Status moved = moveOnto(folder, hidden, folder, name, *existing, *names + QList<QByteArray>{hidden});
        if (moved == Status::Done || moved == Status::OldSetAside)
            return moved;
        remove(folder, hidden);
        if (!m_movesRefused)
            return moved;
        // The size question was answered for the upload under the hidden name.
        m_files.setSizeQuestionAsked(true);
    } else if (stagedLength > Staging::QuestionLength) {
        // Asked before the old file goes, not after.
        if (!m_link.events().confirmLargeUpload())
            return Status::NotSent;
        m_files.setSizeQuestionAsked(true);
    }
    const Status removed = remove(folder, *existing);
    const Status uploaded = removed == Status::Done ? uploadAs(name) : removed;
    m_files.setSizeQuestionAsked(false);
    if (removed != Status::Done)
        return removed;
    return uploaded == Status::Done ? Status::Done : Status::OldFileLost;
}

PhoneSession::Status PhoneSession::moveReplacing(const QList<QByteArray> &fromFolder, const QByteArray &fromName,
                                                 const QList<QByteArray> &toFolder, const QByteArray &toName)
{
    Status status = Status::Done;
    const auto names = entryNames(toFolder, &status);
    if (!names)
        return status;
    const std::optional<QByteArray> existing = heldName(*names, toName);
    if (!existing)
        return move(fromFolder, fromName, toFolder, toName);
    return moveOnto(fromFolder, fromName, toFolder, toName, *existing, *names);
}

PhoneSession::Status PhoneSession::moveOnto(const QList<QByteArray> &fromFolder, const QByteArray &fromName,
                                            const QList<QByteArray> &toFolder, const QByteArray &toName,
                                            const QByteArray &existing, const QList<QByteArray> &names)
{
    // The name is the source's own in other letter case: through a hidden name.
    if (fromFolder == toFolder && Cp1251::sameName(fromName, existing)) {
        const QByteArray hidden = freeHiddenName(names, fromName, "mv");
        if (const Status status = move(fromFolder, fromName, toFolder, hidden); status != Status::Done)
            return status;
        const Status status = move(toFolder, hidden, toFolder, toName);
        if (status != Status::Done && move(toFolder, hidden, fromFolder, fromName) != Status::Done) {
            m_setAsideName = hidden;
            return Status::OldSetAside;
        }
        return status;
    }
    const QByteArray aside = freeHiddenName(names, existing, "old");
    // Refused here: the phone has no move for us, and nothing has changed yet.
    if (const Status status = move(toFolder, existing, toFolder, aside); status != Status::Done)
        return status;
    const Status status = move(fromFolder, fromName, toFolder, toName);
    if (status != Status::Done) {
        if (move(toFolder, aside, toFolder, existing) != Status::Done) {
            m_setAsideName = aside;
            return Status::OldSetAside;
        }
        return status;
    }
    // An aside that will not go stays hidden; the new one stands alone under the name.
    remove(toFolder, aside);
    return Status::Done;
}

PhoneSession::Status PhoneSession::putStatus(PutResult result)
{
    switch (result) {
    case PutResult::Sent:
        return Status::Done;
    case PutResult::NotSent:
        return Status::NotSent;
    case PutResult::Refused:
        break;
    }
    return Status::Refused;
}

PhoneSession::Status PhoneSession::readMemory()
{
    return m_files.readMemoryFigures() ? Status::Done : Status::Refused;
}

PhoneSession::Status PhoneSession::remove(const QList<QByteArray> &folder, const QByteArray &name)
{
    if (const Status status = goTo(folder); status != Status::Done)
        return status;
    m_freshRootListing.reset();
    switch (m_files.DeleteObject(name)) {
    case DeleteResult::Deleted:
        return Status::Done;
    case DeleteResult::NotSent:
        return Status::NotSent;
    case DeleteResult::NotFound:
        return Status::NotFound;
    case DeleteResult::Refused:
        break;
    }
    // Most phones refuse, rather than miss, a name they do not hold: the listing tells.
    Status listed = Status::Done;
    const auto names = entryNames(folder, &listed);
    return names && !heldName(*names, name) ? Status::NotFound : Status::Refused;
}

PhoneSession::Status PhoneSession::makeFolder(const QList<QByteArray> &folder, const QByteArray &name)
{
    if (const Status status = goTo(folder); status != Status::Done)
        return status;
    m_freshRootListing.reset();
    return m_files.makeFolderAndReturn(name) ? Status::Done : Status::Refused;
}

PhoneSession::Status PhoneSession::move(const QList<QByteArray> &fromFolder, const QByteArray &fromName,
                                        const QList<QByteArray> &toFolder, const QByteArray &toName)
{
    const QList<QByteArray> from = fromFolder + QList<QByteArray>{fromName};
    // The phone never stands inside what moves: it leaves for the source's folder first.
    const QList<QByteArray> current = m_files.PathStack().mid(1);
    if (current.size() >= from.size() && current.mid(0, from.size()) == from) {
        if (const Status status = goTo(fromFolder); status != Status::Done)
            return status;
    }
    m_freshRootListing.reset();
    const MoveResult result = m_files.MoveObject(from, toFolder + QList<QByteArray>{toName});
    if (result == MoveResult::Refused)
        m_movesRefused = true;
    switch (result) {
    case MoveResult::Moved:
        return Status::Done;
    case MoveResult::NotSent:
        return Status::NotSent;
    case MoveResult::PathTooLong:
        return Status::PathTooLong;
    case MoveResult::NotFound:
        return Status::NotFound;
    case MoveResult::DestinationExists:
        return Status::Exists;
    case MoveResult::Refused:
        break;
    }
    return Status::Refused;
}
