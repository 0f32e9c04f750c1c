#include "sessionstore.h"

#include "cp1251.h"
#include "obexrequests.h"
#include "phonefs.h"
#include "phonesession.h"
#include "portproblem.h"
#include "staging.h"

#include <algorithm>
#include <cmath>

namespace {

// What the link and the connect procedure report, kept for the store's messages.
// The size question keeps its default answer: a copy made through the mount is the
// user's own confirmation.
class MountEvents : public PhoneEvents
{
public:
    void connectFailed(ConnectFailure failure, SerialPort::OpenError portError) override
    {
        connectFailure = failure;
        openError = portError;
    }
    void speedNotConfirmed(int baud) override
    {
        mountMessage(QStringLiteral("the phone did not take %1 baud; the link stays at %2")
                         .arg(baud)
                         .arg(SerialPort::StartBaudRate));
    }
    void refused(Refusal why) override { refusal = why; }

    std::optional<ConnectFailure> connectFailure;
    SerialPort::OpenError openError = SerialPort::OpenError::None;
    std::optional<Refusal> refusal; // of the operation in progress
};

QString lossText(LinkLoss loss)
{
    return loss == LinkLoss::Timeout ? QStringLiteral("the phone stopped answering")
                                     : QStringLiteral("the phone's reply broke the framing");
}

StoreError notSendable(const QString &why)
{
    return StoreError{StoreFailure::NameNotSendable, why};
}

StoreError refusedBecause(const QString &why)
{
    return StoreError{StoreFailure::Refused, why};
}

// The largest file whose staged upload the Length header can announce.
qint64 largestUpload()
{
    qint64 size = (Staging::LengthLimit - 1) * Staging::PieceSize / Staging::RecordSize;
    while (Staging::stagedLength(size) >= Staging::LengthLimit)
        --size;
    while (Staging::stagedLength(size + 1) < Staging::LengthLimit)
        ++size;
    return size;
}

// A path in Windows-1251, the way PhoneSession takes it.
struct WirePath
{
    QList<QByteArray> folder;
    QByteArray name; // empty for a bare folder
};

class SessionStore : public PhoneStore
{
public:
    explicit SessionStore(Checksum &crc) : session(crc, events) {}
    // The unmount, and a store given up after a lost link: the phone is left as it was found.
    ~SessionStore() override { session.close(); }
    SessionStore(const SessionStore &) = delete;
    SessionStore &operator=(const SessionStore &) = delete;

    // The whole connect procedure; the reason in *problem when it fails.
    bool connect(const LinkSettings &link, double timeScale, QString *problem);

    bool canName(const QString &name) const override;
    bool canMove(const PhonePath &from, const PhonePath &to) const override;
    qint64 maxFileSize() const override { return largestUpload(); }

    StoreResult<QList<PhoneEntry>> list(const PhonePath &folder) override;
    StoreResult<> read(const PhonePath &file, const PartReceiver &receive) override;
    StoreResult<> write(const PhonePath &file, const QByteArray &content) override;
    StoreResult<> makeFolder(const PhonePath &folder) override;
    StoreResult<> remove(const PhonePath &path) override;
    StoreResult<> move(const PhonePath &from, const PhonePath &to) override;
    StoreResult<MemoryFigures> memory() override;

private:
    // The path in Windows-1251; named: its last step is the name, not a folder.
    static StoreResult<WirePath> wirePath(const PhonePath &path, bool named);
    // Runs an operation on the session, a lost link caught.
    template<typename T, typename Operation>
    StoreResult<T> onLink(Operation operation);
    StoreError failure(PhoneSession::Status status) const;
    StoreResult<> done(PhoneSession::Status status) const;

    MountEvents events; // outlives the session, which reports to it
    PhoneSession session;
};

bool SessionStore::connect(const LinkSettings &link, double timeScale, QString *problem)
{
    PhoneLink &line = session.link();
    if (link.device.isEmpty())
        line.setPortNumber(link.port);
    else
        line.setDevicePath(link.device);
    line.setRts(link.rts);
    session.setSpeed(link.speed);
    session.setLinkChoice(link.choice);
    line.setPauseScale(timeScale);
    line.setTimeoutInterval(int(std::lround(PhoneLink::DefaultTimeoutMs * timeScale)));
    try {
        if (session.connect())
            return true;
    } catch (const LinkLost &lost) {
        *problem = lossText(lost.kind) + QStringLiteral(" while connecting on ") + line.devicePath();
        return false;
    }
    const QString device = line.devicePath();
    switch (events.connectFailure.value_or(ConnectFailure::PortUnavailable)) {
    case ConnectFailure::PortUnavailable:
        *problem =
            portOpenProblem(line.openedDevicePath().isEmpty() ? device : line.openedDevicePath(), events.openError);
        break;
    case ConnectFailure::At:
        *problem = QStringLiteral("no phone answers on %1 (no OK to AT)").arg(device);
        break;
    case ConnectFailure::Model:
        *problem = QStringLiteral("the phone on %1 did not answer AT+CGMM or AT^SBFB=1").arg(device);
        break;
    case ConnectFailure::Bfb:
        *problem = QStringLiteral("the phone on %1 did not complete the BFB set-up or the OBEX connection").arg(device);
        break;
    case ConnectFailure::Plain:
        *problem = QStringLiteral("the phone on %1 refused plain OBEX (AT^SQWE=3) or the OBEX connection").arg(device);
        break;
    case ConnectFailure::Rate:
        *problem = QStringLiteral("the phone on %1 does not answer AT at this rate (x65 and x75 phones stop at 115200)")
                       .arg(device);
        break;
    }
    return false;
}

bool SessionStore::canName(const QString &name) const
{
    const auto bytes = Cp1251::encode(name);
    // The shortest limit of every request that carries a name.
    const int longest = std::min({ObexRequest::MaxSetPathName, ObexRequest::MaxGetName, ObexRequest::MaxUploadName});
    return bytes && !bytes->isEmpty() && bytes->size() <= longest;
}

bool SessionStore::canMove(const PhonePath &from, const PhonePath &to) const
{
    // "/Sub/a.txt": a slash and the name's characters per step, one UTF-16 unit each.
    const auto units = [](const PhonePath &path) {
        qsizetype count = 0;
        for (const QString &name : path)
            count += 1 + name.size();
        return count;
    };
    return units(from) <= ObexRequest::MaxMovePathUnits && units(to) <= ObexRequest::MaxMovePathUnits;
}

StoreResult<WirePath> SessionStore::wirePath(const PhonePath &path, bool named)
{
    WirePath wire;
    for (const QString &name : path) {
        const auto bytes = Cp1251::encode(name);
        if (!bytes)
            return notSendable(QStringLiteral("\"%1\" has a character without a Windows-1251 code").arg(name));
        wire.folder.append(*bytes);
    }
    if (named && !wire.folder.isEmpty())
        wire.name = wire.folder.takeLast();
    return wire;
}

template<typename T, typename Operation>
StoreResult<T> SessionStore::onLink(Operation operation)
{
    events.refusal.reset();
    try {
        return operation();
    } catch (const LinkLost &lost) {
        // The link has closed the port already.
        return StoreError{StoreFailure::LinkLost, lossText(lost.kind)};
    }
}

StoreError SessionStore::failure(PhoneSession::Status status) const
{
    // A refusal event: the operation stopped on the PC before its request went out.
    if (events.refusal) {
        switch (*events.refusal) {
        case Refusal::NameNotEncodable:
            return notSendable(QStringLiteral("a name has a character without a Windows-1251 code"));
        case Refusal::FolderNameTooLong:
        case Refusal::FileNameTooLong:
        case Refusal::UploadNameTooLong:
            return notSendable(QStringLiteral("a name is too long"));
        case Refusal::StagingTooLarge:
            return refusedBecause(QStringLiteral("the file is too large for one upload"));
        default:
            return refusedBecause(QStringLiteral("not sent"));
        }
    }
    switch (status) {
    case PhoneSession::Status::Done:
    case PhoneSession::Status::Refused:
    case PhoneSession::Status::NotSent:
        break;
    case PhoneSession::Status::FolderRefused:
        return refusedBecause(
            QStringLiteral("it would not open the folder \"%1\"").arg(Cp1251::decode(session.refusedFolder())));
    case PhoneSession::Status::NotFound:
        return refusedBecause(QStringLiteral("no such file or folder"));
    case PhoneSession::Status::Exists:
        return refusedBecause(QStringLiteral("the destination exists"));
    case PhoneSession::Status::PathTooLong:
        return notSendable(QStringLiteral("a path is too long for the move command"));
    case PhoneSession::Status::OldFileLost:
        return refusedBecause(QStringLiteral("the old file is gone and the new one did not arrive"));
    case PhoneSession::Status::OldSetAside:
        return refusedBecause(
            QStringLiteral("the old file is kept as \"%1\"").arg(Cp1251::decode(session.setAsideName())));
    }
    return refusedBecause(QString());
}

StoreResult<> SessionStore::done(PhoneSession::Status status) const
{
    if (status == PhoneSession::Status::Done)
        return {};
    return failure(status);
}

StoreResult<QList<PhoneEntry>> SessionStore::list(const PhonePath &folder)
{
    const auto wire = wirePath(folder, false);
    if (!wire.ok())
        return wire.error();
    return onLink<QList<PhoneEntry>>([&]() -> StoreResult<QList<PhoneEntry>> {
        FolderListing listing;
        const PhoneSession::Status status = session.list(wire.value().folder, &listing);
        if (status != PhoneSession::Status::Done)
            return failure(status);
        // Every folder's listing has text; none means the exchange went wrong and
        // the link may be out of step.
        if (listing.text.isEmpty()) {
            session.link().closePort();
            return StoreError{StoreFailure::LinkLost, QStringLiteral("the phone sent no listing")};
        }
        QList<PhoneEntry> entries;
        for (const ListingRow &row : listing.rows) {
            if (row.kind == EntryKind::Parent)
                continue;
            PhoneEntry entry;
            entry.name = Cp1251::decode(row.name);
            entry.isFolder = isFolderKind(row.kind);
            entry.size = entry.isFolder ? 0 : qint64(row.byteCount.value_or(0));
            if (row.modified.isValid())
                entry.modified = row.modified;
            entries.append(entry);
        }
        return entries;
    });
}

// The phone's GET is one exchange that runs to its end on this thread, so a FUSE
// read could not return before it anyway: the file is handed over whole.
StoreResult<> SessionStore::read(const PhonePath &file, const PartReceiver &receive)
{
    const auto wire = wirePath(file, true);
    if (!wire.ok())
        return wire.error();
    return onLink<void>([&]() -> StoreResult<> {
        QByteArray content;
        const PhoneSession::Status status = session.get(wire.value().folder, wire.value().name, &content);
        if (status == PhoneSession::Status::Refused && !events.refusal)
            return refusedBecause(QStringLiteral("the file did not come whole"));
        if (status != PhoneSession::Status::Done)
            return failure(status);
        receive(content);
        return {};
    });
}

StoreResult<> SessionStore::write(const PhonePath &file, const QByteArray &content)
{
    const auto wire = wirePath(file, true);
    if (!wire.ok())
        return wire.error();
    return onLink<void>([&] { return done(session.replace(wire.value().folder, wire.value().name, content)); });
}

StoreResult<> SessionStore::makeFolder(const PhonePath &folder)
{
    const auto wire = wirePath(folder, true);
    if (!wire.ok())
        return wire.error();
    return onLink<void>([&] { return done(session.makeFolder(wire.value().folder, wire.value().name)); });
}

StoreResult<> SessionStore::remove(const PhonePath &path)
{
    const auto wire = wirePath(path, true);
    if (!wire.ok())
        return wire.error();
    return onLink<void>([&] { return done(session.remove(wire.value().folder, wire.value().name)); });
}

StoreResult<> SessionStore::move(const PhonePath &from, const PhonePath &to)
{
    const auto source = wirePath(from, true);
    if (!source.ok())
        return source.error();
    const auto target = wirePath(to, true);
    if (!target.ok())
        return target.error();
    return onLink<void>([&]() -> StoreResult<> {
        const PhoneSession::Status status = session.moveReplacing(source.value().folder, source.value().name,
                                                                  target.value().folder, target.value().name);
        if (status == PhoneSession::Status::Refused && !events.refusal)
            return StoreError{StoreFailure::MovesRefused, QStringLiteral("it refuses the move command")};
        return done(status);
    });
}

StoreResult<MemoryFigures> SessionStore::memory()
{
    return onLink<MemoryFigures>([this]() -> StoreResult<MemoryFigures> {
        if (session.readMemory() != PhoneSession::Status::Done)
            return refusedBecause(QStringLiteral("no memory figures"));
        const PhoneSession::Info info = session.info();
        return MemoryFigures{info.totalMemory.value_or(0), info.freeMemory.value_or(0)};
    });
}

} // namespace

SessionConnector::SessionConnector(const LinkSettings &linkSettings, Checksum &checksum, double scale)
    : link(linkSettings), crc(checksum), timeScale(scale)
{}

StoreResult<std::unique_ptr<PhoneStore>> SessionConnector::connect()
{
    if (retryAt && Clock::now() < *retryAt)
        return StoreError{StoreFailure::LinkLost, lastProblem};
    auto store = std::make_unique<SessionStore>(crc);
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
