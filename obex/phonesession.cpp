#include "phonesession.h"

PhoneSession::PhoneSession(Checksum &crc, PhoneEvents &events)
    : m_link(crc, events), m_connector(m_link), m_files(m_link)
{}

bool PhoneSession::connect(const RootListed &rootListed)
{
    m_freshRootListing.reset();
    return m_connector.run([this, &rootListed] {
        m_freshRootListing = m_files.enterRootAndRefresh();
        if (rootListed)
            rootListed(*m_freshRootListing);
    });
}

PhoneSession::Info PhoneSession::info() const
{
    const QString model = m_connector.model();
    return {model.isEmpty() ? QString() : QStringLiteral("Siemens ") + model, m_files.totalMemory(),
            m_files.freeMemory()};
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
    return Status::Refused;
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
    switch (m_files.MoveObject(from, toFolder + QList<QByteArray>{toName})) {
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
