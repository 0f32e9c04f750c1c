#include "sessionstore.h"

#include "linktexts.h"
#include "phonefs.h"
#include "phonesession.h"

#include <algorithm>
#include <cmath>
#include <utility>

namespace {

// What the transfers report that the store shows: the noise on a plain-OBEX line,
// once for the whole mount (noted: the connector's, which outlives every store).
class MountTransfers : public TransferEvents
{
public:
    MountTransfers(bool &noted, bool verify) : m_noted(noted), m_verify(verify) {}

    void lineNoiseSeen() override
    {
        if (std::exchange(m_noted, true))
            return;
        mountMessage(m_verify ? QStringLiteral("the line to the phone is noisy; plain OBEX carries no checksum, so "
                                               "--verify reads every copy again (--link bfb checks every packet)")
                              : QStringLiteral("the line to the phone is noisy and plain OBEX carries no checksum: "
                                               "files may arrive damaged without a sign; mount with --verify (every "
                                               "copy read again) or --link bfb (every packet checked)"));
    }

private:
    bool &m_noted;
    bool m_verify;
};

// What the connect procedure reports that the store shows.
class MountEvents : public ConnectEvents
{
public:
    void speedNotConfirmed(int baud) override { mountMessage(speedNotConfirmedText(baud)); }
    void waitingForLeaver(const QString &device) override { mountMessage(waitingForLeaverText(device)); }
};

StoreError notSendable(const QString &why)
{
    return StoreError{StoreFailure::NameNotSendable, why};
}

StoreError refusedBecause(const QString &why)
{
    return StoreError{StoreFailure::Refused, why};
}

// A path the way PhoneSession takes it.
struct WirePath
{
    PhonePath folder;
    QByteArray name; // empty for a bare folder
};

class SessionStore : public PhoneStore
{
public:
    SessionStore(Checksum &crc, bool &noiseNoted, bool verify)
        : transfers(noiseNoted, verify), session(crc, events, transfers, question)
    {}
    // The unmount, and a store given up after a lost link: the phone is left as it was
    // found, by a leaver that lets the mount end at once.
    ~SessionStore() override { session.closeInBackground(); }
    SessionStore(const SessionStore &) = delete;
    SessionStore &operator=(const SessionStore &) = delete;

    // The whole connect procedure; the reason in *problem when it fails.
    bool connect(const LinkSettings &link, double timeScale, QString *problem);

    bool canName(const QString &name, NameFor use) const override
    {
        // A file is sent as an upload, a GET and a delete.
        return session.canName(name,
                               use == NameFor::Folder ? PhoneSession::NameUse::Folder : PhoneSession::NameUse::Upload);
    }
    bool sameName(const QString &a, const QString &b) const override { return PhoneSession::sameName(a, b); }
    bool canMove(const StorePath &from, const StorePath &to) const override
    {
        return PhoneSession::movePathsFit(from, to);
    }
    qint64 maxFileSize() const override { return PhoneSession::largestUpload(); }
    void leavingStarts() override { session.markLeaving(); }
    QString identity() const override { return session.info().model; }

    StoreResult<QList<PhoneEntry>> list(const StorePath &folder) override;
    StoreResult<ReadState> startRead(const StorePath &file, const PartReceiver &receive) override;
    StoreResult<ReadState> readMore() override;
    StoreResult<ReadState> stopRead() override;
    StoreResult<> write(const StorePath &file, const QString &localPath) override;
    StoreResult<> makeFolder(const StorePath &folder) override;
    StoreResult<> remove(const StorePath &path) override;
    StoreResult<> move(const StorePath &from, const StorePath &to) override;
    StoreResult<MemoryFigures> memory() override;

private:
    // The path as the phone's names; named: its last step is the name, not a folder.
    static StoreResult<WirePath> wirePath(const StorePath &path, bool named);
    static StoreError storeError(const PhoneResult &result);
    static StoreResult<> done(const PhoneResult &result);
    // What a step of the download came to.
    StoreResult<ReadState> readStep(const PhoneResult &result);

    // Outlive the session, which reports to them. Transfers show only the noise; the
    // size question keeps its default answer: a copy made through the mount is the
    // user's own confirmation.
    MountEvents events;
    MountTransfers transfers;
    UploadQuestion question;
    PhoneSession session;
    bool kept = true; // the download's receiver took every part
};

bool SessionStore::connect(const LinkSettings &link, double timeScale, QString *problem)
{
    link.applyTo(session);
    session.setPauseScale(timeScale);
    session.setTimeoutInterval(int(std::lround(PhoneSession::DefaultTimeoutMs * timeScale)));
    const PhoneResult result = session.connect();
    if (result.ok())
        return true;
    *problem = connectProblem(result, session);
    return false;
}

StoreResult<WirePath> SessionStore::wirePath(const StorePath &path, bool named)
{
    WirePath wire;
    for (const QString &name : path) {
        QByteArray bytes;
        if (!PhoneSession::encodeName(name, &bytes).ok())
            return notSendable(QStringLiteral("\"%1\": ").arg(name) + refusalText(Refusal::NameNotEncodable));
        wire.folder.append(bytes);
    }
    if (named && !wire.folder.isEmpty())
        wire.name = wire.folder.takeLast();
    return wire;
}

StoreError SessionStore::storeError(const PhoneResult &result)
{
    using Code = PhoneResult::Code;
    switch (result.code()) {
    case Code::Done:
    case Code::Refused:
    case Code::Declined:
    case Code::NotConnected:
        break;
    case Code::LinkLost:
        // The link has closed the port already.
        return StoreError{StoreFailure::LinkLost, linkLossText(result.loss())};
    case Code::NotSent:
        if (const std::optional<Refusal> refusal = result.refusal()) {
            switch (*refusal) {
            case Refusal::NameNotEncodable:
            case Refusal::FolderNameTooLong:
            case Refusal::FileNameTooLong:
            case Refusal::UploadNameTooLong:
                return notSendable(refusalText(*refusal));
            default:
                return refusedBecause(refusalText(*refusal));
            }
        }
        return refusedBecause(QStringLiteral("not sent"));
    case Code::FolderRefused:
        return refusedBecause(
            QStringLiteral("it would not open the folder \"%1\"").arg(PhoneSession::text(result.name())));
    case Code::NotFound:
        return refusedBecause(QStringLiteral("no such file or folder"));
    case Code::Exists:
        return refusedBecause(QStringLiteral("the destination exists"));
    case Code::PathTooLong:
        return notSendable(QStringLiteral("a path is too long for the move command"));
    case Code::Full:
        return StoreError{StoreFailure::Full, QStringLiteral("the phone is full")};
    case Code::OldFileLost:
        return refusedBecause(QStringLiteral("the old file is gone and the new one did not arrive"));
    case Code::OldSetAside:
        return refusedBecause(QStringLiteral("the old file is kept as \"%1\"").arg(PhoneSession::text(result.name())));
    case Code::OldNotDeleted: // done: said where it is done
        break;
    case Code::AsideNotDeleted:
        return refusedBecause(QStringLiteral("the phone refuses to delete \"%1\", the old file of an earlier copy; "
                                             "nothing was changed")
                                  .arg(PhoneSession::text(result.name())));
    case Code::VerifyFailed:
        return StoreError{StoreFailure::Damaged,
                          result.name().isEmpty()
                              ? QStringLiteral("the copy did not read back the same, twice: a noisy line")
                              : QStringLiteral("the copy did not read back the same, twice; the phone refused to "
                                               "delete the wrong copy \"%1\"")
                                    .arg(PhoneSession::text(result.name()))};
    }
    return refusedBecause(QString());
}

StoreResult<> SessionStore::done(const PhoneResult &result)
{
    if (result.ok())
        return {};
    if (result == PhoneResult::Code::OldNotDeleted) {
        // The new file stands under the name: the write is done. The next one over it
        // deletes the old file first, or changes nothing (AsideNotDeleted).
        mountMessage(QStringLiteral("the phone refused to delete the old file, which is left as \"%1\"")
                         .arg(PhoneSession::text(result.name())));
        return {};
    }
    return storeError(result);
}

StoreResult<QList<PhoneEntry>> SessionStore::list(const StorePath &folder)
{
    const auto wire = wirePath(folder, false);
    if (!wire.ok())
        return wire.error();
    FolderListing listing;
    const PhoneResult result = session.list(wire.value().folder, &listing);
    if (!result.ok())
        return storeError(result);
    // Every folder's listing has text; none means the exchange went wrong and the link
    // may be out of step: the store is given up (and the phone left) like a lost link.
    if (listing.text.isEmpty())
        return StoreError{StoreFailure::LinkLost, QStringLiteral("the phone sent no listing")};
    {
        QList<PhoneEntry> entries;
        for (const ListingRow &row : listing.rows) {
            if (row.kind == EntryKind::Parent)
                continue;
            PhoneEntry entry;
            entry.name = PhoneSession::text(row.name);
            entry.isFolder = isFolderKind(row.kind);
            entry.size = entry.isFolder ? 0 : qint64(row.byteCount.value_or(0));
            if (row.modified.isValid())
                entry.modified = row.modified;
            entries.append(entry);
        }
        return entries;
    }
}

StoreResult<SessionStore::ReadState> SessionStore::startRead(const StorePath &file, const PartReceiver &receive)
{
    const auto wire = wirePath(file, true);
    if (!wire.ok())
        return wire.error();
    kept = true;
    return readStep(session.openDownload(wire.value().folder, wire.value().name,
                                         [this, receive](QByteArrayView part) { return kept = receive(part); }));
}

StoreResult<SessionStore::ReadState> SessionStore::readMore()
{
    return readStep(session.continueDownload());
}

StoreResult<SessionStore::ReadState> SessionStore::stopRead()
{
    bool whole = false;
    const PhoneResult result = session.stopDownload(&whole);
    if (!result.ok())
        return readStep(result);
    return whole ? ReadState::Whole : ReadState::Stopped;
}

StoreResult<SessionStore::ReadState> SessionStore::readStep(const PhoneResult &result)
{
    if (!kept)
        return refusedBecause(QStringLiteral("the file could not be kept on the PC"));
    if (result == PhoneResult::Code::Refused)
        return refusedBecause(QStringLiteral("the file did not come whole"));
    if (!result.ok())
        return storeError(result);
    return session.downloadOpen() ? ReadState::More : ReadState::Whole;
}

StoreResult<> SessionStore::write(const StorePath &file, const QString &localPath)
{
    const auto wire = wirePath(file, true);
    if (!wire.ok())
        return wire.error();
    return done(session.replace(localPath, wire.value().folder, wire.value().name));
}

StoreResult<> SessionStore::makeFolder(const StorePath &folder)
{
    const auto wire = wirePath(folder, true);
    if (!wire.ok())
        return wire.error();
    return done(session.makeFolder(wire.value().folder, wire.value().name));
}

StoreResult<> SessionStore::remove(const StorePath &path)
{
    const auto wire = wirePath(path, true);
    if (!wire.ok())
        return wire.error();
    return done(session.remove(wire.value().folder, wire.value().name));
}

StoreResult<> SessionStore::move(const StorePath &from, const StorePath &to)
{
    const auto source = wirePath(from, true);
    if (!source.ok())
        return source.error();
    const auto target = wirePath(to, true);
    if (!target.ok())
        return target.error();
    const PhoneResult result =
        session.moveReplacing(source.value().folder, source.value().name, target.value().folder, target.value().name);
    if (result == PhoneResult::Code::Refused)
        return StoreError{StoreFailure::MovesRefused, QStringLiteral("it refuses the move command")};
    return done(result);
}

StoreResult<MemoryFigures> SessionStore::memory()
{
    const PhoneResult result = session.readMemory();
    if (result == PhoneResult::Code::Refused)
        return refusedBecause(QStringLiteral("no memory figures"));
    if (!result.ok())
        return storeError(result);
    const PhoneSession::Info info = session.info();
    return MemoryFigures{info.totalMemory.value_or(0), info.freeMemory.value_or(0)};
}

} // namespace

SessionConnector::SessionConnector(const LinkSettings &linkSettings, Checksum &checksum, double scale)
    : link(linkSettings), crc(checksum), timeScale(scale)
{}

StoreResult<std::unique_ptr<PhoneStore>> SessionConnector::connect()
{
    if (retryAt && Clock::now() < *retryAt)
        return StoreError{StoreFailure::LinkLost, lastProblem};
    auto store = std::make_unique<SessionStore>(crc, noiseNoted, link.verify);
    QString problem;
    if (store->connect(link, timeScale, &problem)) {
        retryAt.reset();
        return std::unique_ptr<PhoneStore>(std::move(store));
    }
    const auto pause = std::chrono::duration_cast<Clock::duration>(RetryPause * timeScale);
    retryAt = Clock::now() + pause;
    lastProblem = problem;
    return StoreError{StoreFailure::LinkLost, problem};
}
