#include "phonesession.h"

#include "bfblink.h"
#include "chosentransport.h"
#include "cp1251.h"
#include "handshake.h"
#include "obexrequests.h"
#include "obexresponses.h"
#include "phonefiles.h"
#include "serialline.h"
#include "staging.h"
#include "workingfiles.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QScopeGuard>
#include <QTemporaryFile>

#include <algorithm>

namespace {

std::optional<QByteArray> heldName(const QList<QByteArray> &names, const QByteArray &name)
{
    const auto found = std::find_if(names.begin(), names.end(),
                                    [&](const QByteArray &entry) { return Cp1251::sameName(entry, name); });
    return found == names.end() ? std::nullopt : std::optional<QByteArray>(*found);
}

// Where the old file of a.txt goes while the new one takes its name: ".~old~a.txt".
QByteArray asideName(const QByteArray &name)
{
    return ".~old~" + name;
}

// A hidden name beside name that the folder does not hold: ".~new~a.txt", ".~new2~a.txt", ...
QByteArray freeHiddenName(const QList<QByteArray> &names, const QByteArray &name, const QByteArray &tag)
{
    for (int n = 1;; ++n) {
        const QByteArray candidate = ".~" + tag + (n > 1 ? QByteArray::number(n) : QByteArray()) + '~' + name;
        if (!heldName(names, candidate))
            return candidate;
    }
}

// Opens a PC file for reading back what was sent of it; nullptr when it cannot be read.
PhoneSession::OpenSource localFile(const QString &path)
{
    return [path]() -> std::unique_ptr<QIODevice> {
        auto file = std::make_unique<QFile>(path);
        if (!file->open(QIODevice::ReadOnly))
            return nullptr;
        return file;
    };
}

PhoneResult uploadResult(PutResult result, PhoneFiles &files)
{
    const std::optional<Refusal> refusal = files.takeRefusal();
    switch (result) {
    case PutResult::Sent:
        return {};
    case PutResult::NotSent:
        return refusal ? PhoneResult::refusedOnPc(*refusal) : PhoneResult(PhoneResult::Code::NotSent);
    case PutResult::Declined:
        return PhoneResult::Code::Declined;
    case PutResult::Full:
        return PhoneResult::Code::Full;
    case PutResult::Refused:
        break;
    }
    return PhoneResult::Code::Refused;
}

} // namespace

struct PhoneSession::Parts
{
    Parts(Checksum &crc, ConnectEvents &connect, TransferEvents &transfer, UploadQuestion &upload)
        : question(upload)
        , link(connect, transfer)
        , bfb(link, crc, transfer)
        , connector(link, bfb, connect, ObexRequest::connect(), ObexRequest::disconnect())
        , transport(link, bfb, transfer, connector)
        , files(link, transport, transfer, upload)
    {}

    UploadQuestion &question;
    SerialLine link;
    BfbLink bfb;
    PhoneConnector connector;
    ChosenTransport transport; // after the connector, whose mode it follows
    PhoneFiles files;
    QString workingDirectory;
    // The connect procedure's listing serves the first listing of the root.
    std::optional<FolderListing> freshRootListing;
    // Every listing read, until its folder changes (see Listing).
    QHash<PhonePath, FolderListing> listings;
    // The phone answered a move with a refusal: replacing deletes, then uploads.
    bool movesRefused = false;
    // A change since the memory figures were last read may have made them old.
    bool memoryChanged = false;
    bool verify = false; // every transfer read again and compared
    bool running = false; // an operation runs: inner ones leave a lost link to it
    // The download taken one answer at a time, while it is open.
    struct Download
    {
        PhonePath folder;
        QByteArray name;
        qint64 received = 0;
    };
    std::optional<Download> download;
    std::optional<LinkLoss> lost; // since the last connect
};

const int PhoneSession::DefaultTimeoutMs = SerialLine::DefaultTimeoutMs;
const int PhoneSession::UploadPieceSize = Staging::PieceSize;
const int PhoneSession::MaxMovePathUnits = ObexRequest::MaxMovePathUnits;

PhoneSession::PhoneSession(Checksum &crc, ConnectEvents &connect, TransferEvents &transfer, UploadQuestion &question)
    : m_parts(std::make_unique<Parts>(crc, connect, transfer, question))
{}

PhoneSession::PhoneSession(Checksum &crc, PhoneEvents &events) : PhoneSession(crc, events, events, events) {}

PhoneSession::~PhoneSession() = default;

QString PhoneSession::portsFolder()
{
    return SerialPort::portsFolder();
}

QString PhoneSession::devicePathForPort(int number)
{
    return SerialPort::devicePathForPort(number);
}

void PhoneSession::setPortNumber(int number)
{
    m_parts->link.setPortNumber(number);
}

void PhoneSession::setDevicePath(const QString &path)
{
    m_parts->link.setDevicePath(path);
}

QString PhoneSession::devicePath() const
{
    return m_parts->link.devicePath();
}

QString PhoneSession::openedDevicePath() const
{
    return m_parts->link.openedDevicePath();
}

void PhoneSession::setRts(bool raised)
{
    m_parts->link.setRts(raised);
}

bool PhoneSession::rts() const
{
    return m_parts->link.rts();
}

bool PhoneSession::traceTo(const QString &path, QString *reason)
{
    return m_parts->link.traceTo(path, reason);
}

bool PhoneSession::setSpeed(int baud)
{
    return m_parts->connector.setSpeed(baud);
}

void PhoneSession::setLinkChoice(LinkChoice choice)
{
    m_parts->connector.setLinkChoice(choice);
}

void PhoneSession::setPauseScale(double scale)
{
    m_parts->link.setPauseScale(scale);
}

void PhoneSession::setTimeoutInterval(int ms)
{
    m_parts->link.setTimeoutInterval(ms);
}

void PhoneSession::setStopRequest(std::function<bool()> stopRequested)
{
    m_parts->link.setStopRequest(std::move(stopRequested));
}

bool PhoneSession::isPortOpen() const
{
    return m_parts->link.isPortOpen();
}

void PhoneSession::pause(int ms)
{
    m_parts->link.pause(ms);
}

void PhoneSession::close()
{
    m_parts->connector.close();
}

void PhoneSession::closeInBackground()
{
    m_parts->connector.closeInBackground();
}

void PhoneSession::markLeaving()
{
    m_parts->connector.markLeaving();
}

SerialLine &PhoneSession::link()
{
    return m_parts->link;
}

BfbLink &PhoneSession::bfb()
{
    return m_parts->bfb;
}

PhoneFiles &PhoneSession::files()
{
    return m_parts->files;
}

PhonePath PhoneSession::currentFolder() const
{
    return m_parts->files.pathStack().mid(1);
}

template<typename Operation>
PhoneResult PhoneSession::guarded(Operation operation, OpenDownload open)
{
    if (m_parts->running)
        return operation();
    // Never connected, closed, or lost: nothing is sent on a closed port. A lost link
    // stays the answer until the next connect.
    if (!m_parts->link.isPortOpen())
        return m_parts->lost ? PhoneResult::linkLost(*m_parts->lost) : PhoneResult(PhoneResult::Code::NotConnected);
    m_parts->running = true;
    const auto finished = qScopeGuard([this] { m_parts->running = false; });
    try {
        // No other request may go while a GET waits for its next one.
        while (open == OpenDownload::Finish && m_parts->files.downloadOpen())
            downloadEnded(m_parts->files.nextDownloadPart());
        return operation();
    } catch (const LinkLost &lost) {
        // The link has closed the port already.
        m_parts->lost = lost.kind;
        m_parts->download.reset();
        return PhoneResult::linkLost(lost.kind);
    }
}

template<typename Operation>
PhoneResult PhoneSession::changing(const std::optional<PhonePath> &folder, const QByteArray &name, Operation operation)
{
    const PhoneResult result = guarded(operation);
    forgetListings(folder, name);
    switch (result.code()) {
    // Nothing was sent, or the phone changed nothing.
    case PhoneResult::Code::NotSent:
    case PhoneResult::Code::Declined:
    case PhoneResult::Code::NotConnected:
    case PhoneResult::Code::PathTooLong:
    case PhoneResult::Code::FolderRefused:
    case PhoneResult::Code::NotFound:
    case PhoneResult::Code::Exists:
        break;
    default:
        // What reached the phone may have changed its free memory.
        m_parts->memoryChanged = true;
    }
    return result;
}

void PhoneSession::forgetListings(const std::optional<PhonePath> &folder, const QByteArray &name)
{
    QHash<PhonePath, FolderListing> &listings = m_parts->listings;
    if (!folder) {
        listings.clear();
        return;
    }
    listings.remove(*folder);
    if (name.isEmpty())
        return;
    const PhonePath entry = *folder + PhonePath{name};
    listings.removeIf([&entry](const auto &known) { return known.key().mid(0, entry.size()) == entry; });
}

QString PhoneSession::workingDirectory() const
{
    return m_parts->workingDirectory.isEmpty() ? WorkingFiles::directory() : m_parts->workingDirectory;
}

void PhoneSession::setVerify(bool verify)
{
    m_parts->verify = verify;
}

bool PhoneSession::verifies() const
{
    return m_parts->verify;
}

void PhoneSession::setWorkingDirectory(const QString &directory)
{
    m_parts->workingDirectory = directory;
    m_parts->files.setWorkingDirectory(directory);
}

PhoneResult PhoneSession::connect(const RootListed &rootListed)
{
    m_parts->freshRootListing.reset();
    m_parts->listings.clear();
    m_parts->movesRefused = false;
    m_parts->memoryChanged = false;
    m_parts->lost.reset();
    try {
        m_parts->files.setPhoneMaxPacket(std::nullopt);
        const bool up = m_parts->connector.run([this, &rootListed] {
            m_parts->files.setPhoneMaxPacket(ObexResponse::announcedMaxPacket(m_parts->connector.connectResponse()));
            m_parts->freshRootListing = m_parts->files.enterRootAndRefresh();
            if (rootListed)
                rootListed(*m_parts->freshRootListing);
        });
        if (up)
            return {};
        const PhoneConnector &connector = m_parts->connector;
        return connector.failure() ? PhoneResult::notConnected(*connector.failure(), connector.portError())
                                   : PhoneResult(PhoneResult::Code::NotConnected);
    } catch (const LinkLost &lost) {
        m_parts->lost = lost.kind;
        return PhoneResult::linkLost(lost.kind);
    }
}

PhoneSession::Info PhoneSession::info() const
{
    const QString model = m_parts->connector.model();
    return {model.isEmpty() ? QString() : QStringLiteral("Siemens ") + model,
            m_parts->files.totalMemory(),
            m_parts->files.freeMemory(),
            m_parts->connector.linkMode(),
            m_parts->link.lineRate(),
            m_parts->files.phoneMaxPacket(),
            m_parts->connector.phoneInterface(),
            m_parts->connector.foundInObex(),
            m_parts->connector.linkMode() == LinkMode::Plain && m_parts->connector.leavesPhoneInObex()};
}

PhoneResult PhoneSession::checkName(const QByteArray &name, NameUse use) const
{
    switch (use) {
    case NameUse::Folder:
        if (name.size() > ObexRequest::MaxSetPathName)
            return PhoneResult::refusedOnPc(Refusal::FolderNameTooLong);
        break;
    case NameUse::File:
        if (name.size() > ObexRequest::MaxGetName)
            return PhoneResult::refusedOnPc(Refusal::FileNameTooLong);
        break;
    case NameUse::Upload:
        if (!m_parts->files.uploadNameFits(name))
            return PhoneResult::refusedOnPc(Refusal::UploadNameTooLong);
        return checkName(name, NameUse::File);
    }
    return {};
}

PhoneResult PhoneSession::checkName(const QString &typed, NameUse use, QByteArray *name) const
{
    QByteArray bytes;
    if (const PhoneResult encoded = encodeName(typed, &bytes); !encoded.ok())
        return encoded;
    if (const PhoneResult fits = checkName(bytes, use); !fits.ok())
        return fits;
    if (name)
        *name = bytes;
    return {};
}

PhoneResult PhoneSession::encodeName(const QString &typed, QByteArray *name)
{
    const std::optional<QByteArray> bytes = Cp1251::encode(typed);
    if (!bytes)
        return PhoneResult::refusedOnPc(Refusal::NameNotEncodable);
    *name = *bytes;
    return {};
}

bool PhoneSession::canName(const QString &name, NameUse use) const
{
    return !name.isEmpty() && checkName(name, use).ok();
}

QString PhoneSession::text(const QByteArray &phoneBytes)
{
    return Cp1251::decode(phoneBytes);
}

bool PhoneSession::sameName(const QString &a, const QString &b)
{
    const std::optional<QByteArray> first = Cp1251::encode(a);
    const std::optional<QByteArray> second = Cp1251::encode(b);
    return first && second && Cp1251::sameName(*first, *second);
}

bool PhoneSession::sameName(const QByteArray &a, const QByteArray &b)
{
    return Cp1251::sameName(a, b);
}

bool PhoneSession::movePathsFit(const QList<QString> &from, const QList<QString> &to)
{
    // "/Sub/a.txt": a slash and the name's characters per step, one UTF-16 unit each.
    const auto units = [](const QList<QString> &path) {
        qsizetype count = 0;
        for (const QString &name : path)
            count += 1 + name.size();
        return count;
    };
    return units(from) <= ObexRequest::MaxMovePathUnits && units(to) <= ObexRequest::MaxMovePathUnits;
}

qint64 PhoneSession::largestUpload()
{
    return Staging::LargestSource;
}

PhoneResult PhoneSession::checkUpload(const QString &localPath, bool *large, QByteArray *phoneName) const
{
    Refusal refusal{};
    const std::optional<UploadSource> checked = inspectUploadSource(localPath, &refusal);
    if (!checked)
        return PhoneResult::refusedOnPc(refusal);
    if (const PhoneResult fits = checkName(checked->phoneName, NameUse::Upload); !fits.ok())
        return fits;
    *large = checked->stagedLength > Staging::QuestionLength;
    if (phoneName)
        *phoneName = checked->phoneName;
    return {};
}

PhoneResult PhoneSession::enter(const PhonePath &folder)
{
    return guarded([&] { return goTo(folder); });
}

PhoneResult PhoneSession::goTo(const PhonePath &folder)
{
    // PathStack starts with the root entry.
    const auto depth = [this] { return m_parts->files.pathStack().size() - 1; };
    qsizetype shared = 0;
    while (shared < depth() && shared < folder.size() && m_parts->files.pathStack().at(shared + 1) == folder.at(shared))
        ++shared;
    for (qsizetype i = shared; i < folder.size(); ++i) {
        if (const PhoneResult fits = checkName(folder.at(i), NameUse::Folder); !fits.ok())
            return fits;
    }
    if (depth() > shared) {
        m_parts->freshRootListing.reset();
        if (const std::optional<QByteArray> refused = m_parts->files.climbTo(shared))
            return PhoneResult::named(PhoneResult::Code::FolderRefused, *refused);
    }
    for (qsizetype i = shared; i < folder.size(); ++i) {
        m_parts->freshRootListing.reset();
        if (!m_parts->files.ObexSetPath(folder.at(i)))
            return PhoneResult::named(PhoneResult::Code::FolderRefused, folder.at(i));
    }
    return {};
}

PhoneResult PhoneSession::readyIn(const PhonePath &folder)
{
    if (const PhoneResult result = goTo(folder); !result.ok())
        return result;
    m_parts->freshRootListing.reset();
    return {};
}

PhoneResult PhoneSession::readyFor(const PhonePath &folder, const QByteArray &name, NameUse use)
{
    if (const PhoneResult fits = checkName(name, use); !fits.ok())
        return fits;
    return readyIn(folder);
}

PhoneResult PhoneSession::list(const PhonePath &folder, FolderListing *listing, Listing source)
{
    // Served without a word to the phone, while the link is up.
    if (const auto known = m_parts->listings.constFind(folder);
        source == Listing::Known && known != m_parts->listings.constEnd() && m_parts->link.isPortOpen()) {
        *listing = *known;
        return {};
    }
    return guarded([&] {
        if (const PhoneResult result = goTo(folder); !result.ok())
            return result;
        if (folder.isEmpty() && m_parts->freshRootListing && source != Listing::FromPhone) {
            *listing = *m_parts->freshRootListing;
        } else {
            *listing = m_parts->files.RefreshListing();
            m_parts->memoryChanged = false; // a listing reads the figures too
        }
        m_parts->freshRootListing.reset();
        m_parts->listings.insert(folder, *listing);
        return PhoneResult();
    });
}

std::optional<ListingRow> PhoneSession::row(const PhonePath &folder, const QByteArray &name)
{
    FolderListing listing;
    if (!list(folder, &listing, Listing::Known).ok())
        return std::nullopt;
    const auto found = std::find_if(listing.rows.cbegin(), listing.rows.cend(), [&name](const ListingRow &entry) {
        return entry.kind != EntryKind::Parent && entry.name == name;
    });
    return found == listing.rows.cend() ? std::nullopt : std::optional<ListingRow>(*found);
}

PhoneResult PhoneSession::get(const PhonePath &folder, const QByteArray &name, QByteArray *content)
{
    QByteArray file;
    const PhoneResult result = get(folder, name, [&file](QByteArrayView piece) {
        file.append(piece);
        return file.size() <= ObexResponse::GetDataCollector::TransferLimit;
    });
    if (result.ok())
        *content = file;
    return result;
}

PhoneResult PhoneSession::get(const PhonePath &folder, const QByteArray &name, const DataSink &sink)
{
    return guarded([&]() -> PhoneResult {
        if (!m_parts->verify)
            return getOnce(folder, name, sink);
        // Read until two reads agree, three at most; the sink gets the agreed bytes only.
        QList<QByteArray> reads;
        while (reads.size() < 3) {
            QByteArray copy;
            const PhoneResult result = getOnce(folder, name, [&copy](QByteArrayView piece) {
                copy.append(piece);
                return true;
            });
            if (!result.ok())
                return result;
            if (reads.contains(copy))
                return sink(copy) ? PhoneResult() : PhoneResult(PhoneResult::Code::Refused);
            reads.append(copy);
        }
        return PhoneResult::Code::VerifyFailed;
    });
}

PhoneResult PhoneSession::getOnce(const PhonePath &folder, const QByteArray &name, const DataSink &sink)
{
    PhoneResult result = startDownload(folder, name, sink);
    while (result.ok() && downloadOpen())
        result = continueDownload();
    return result;
}

PhoneResult PhoneSession::openDownload(const PhonePath &folder, const QByteArray &name, const DataSink &sink)
{
    return m_parts->verify ? get(folder, name, sink) : startDownload(folder, name, sink);
}

PhoneResult PhoneSession::startDownload(const PhonePath &folder, const QByteArray &name, const DataSink &sink)
{
    return guarded([&]() -> PhoneResult {
        if (const PhoneResult fits = checkName(name, NameUse::File); !fits.ok())
            return fits;
        if (const PhoneResult result = goTo(folder); !result.ok())
            return result;
        m_parts->download = Parts::Download{folder, name, 0};
        return downloadEnded(m_parts->files.startDownload(name, [this, sink](QByteArrayView piece) {
            m_parts->download->received += piece.size();
            return sink(piece);
        }));
    });
}

PhoneResult PhoneSession::continueDownload()
{
    return guarded(
        [&]() -> PhoneResult {
            if (!downloadOpen())
                return PhoneResult::Code::Refused;
            return downloadEnded(m_parts->files.nextDownloadPart());
        },
        OpenDownload::TakeOn);
}

PhoneResult PhoneSession::stopDownload(bool *whole)
{
    return guarded(
        [&]() -> PhoneResult {
            if (!downloadOpen())
                return {};
            const DownloadState state = m_parts->files.stopDownload();
            if (whole)
                *whole = state == DownloadState::Whole;
            if (state != DownloadState::Stopped)
                return downloadEnded(state);
            m_parts->download.reset();
            return {};
        },
        OpenDownload::TakeOn);
}

bool PhoneSession::downloadOpen() const
{
    return m_parts->files.downloadOpen();
}

PhoneResult PhoneSession::downloadEnded(DownloadState state)
{
    if (state == DownloadState::Open)
        return {};
    const std::optional<Parts::Download> download = std::exchange(m_parts->download, std::nullopt);
    if (state != DownloadState::Whole)
        return notDelivered();
    return download && download->received == 0 ? emptyFileListed(download->folder, download->name) : PhoneResult();
}

// Phones answer a GET of a name they do not hold with Not Found.
PhoneResult PhoneSession::notDelivered() const
{
    return m_parts->files.fileWasMissing() ? PhoneResult::Code::NotFound : PhoneResult::Code::Refused;
}

PhoneResult PhoneSession::readsBack(const PhonePath &folder, const QByteArray &name, const OpenSource &open)
{
    const std::unique_ptr<QIODevice> source = open();
    if (!source)
        return PhoneResult::refusedOnPc(Refusal::SourceUnreadable);
    // Read whole, whatever differs: a GET left in the middle is no request any recording shows.
    bool same = true;
    const PhoneResult read = getOnce(folder, name, [&](QByteArrayView piece) {
        same = same && source->read(piece.size()) == piece;
        return true;
    });
    if (read == PhoneResult::Code::NotFound)
        return PhoneResult::Code::VerifyFailed;
    if (!read.ok())
        return read;
    return same && source->read(1).isEmpty() ? PhoneResult() : PhoneResult(PhoneResult::Code::VerifyFailed);
}

const PhoneFamily &PhoneSession::family() const
{
    // A phone found in OBEX mode was not asked its model; its CONNECT answer tells.
    if (m_parts->connector.foundInObex())
        return phoneFamilyOfPacket(m_parts->files.phoneMaxPacket());
    return m_parts->connector.family();
}

// The A56 and the C60 answer a GET of a name they do not hold with an empty file (the
// A56 also a GET of a name it holds in other letter case). Only their plain OBEX was
// recorded, and a BFB download keeps its one request.
PhoneResult PhoneSession::emptyFileListed(const PhonePath &folder, const QByteArray &name)
{
    if (m_parts->connector.linkMode() != LinkMode::Plain)
        return {};
    FolderListing listing;
    if (const PhoneResult listed = list(folder, &listing, Listing::FromPhone); !listed.ok())
        return listed;
    // A phone that ignores letter case delivers a file's bytes under any case, so only an
    // empty file answers empty under another case.
    const bool held = std::any_of(listing.rows.begin(), listing.rows.end(), [&](const ListingRow &row) {
        return !isFolderKind(row.kind)
            && (row.name == name || (Cp1251::sameName(row.name, name) && row.byteCount == 0u));
    });
    return held ? PhoneResult() : PhoneResult(PhoneResult::Code::NotFound);
}

PhoneResult PhoneSession::put(const QString &localPath, const PhonePath &folder)
{
    return changing(folder, {}, [&] {
        if (const PhoneResult ready = readyIn(folder); !ready.ok())
            return ready;
        return uploadResult(m_parts->files.PutFile(localPath), m_parts->files);
    });
}

PhoneResult PhoneSession::put(const PhonePath &folder, const QByteArray &name, const QByteArray &content)
{
    return changing(folder, name, [&] {
        if (const PhoneResult ready = readyIn(folder); !ready.ok())
            return ready;
        return uploadResult(m_parts->files.putData(name, content), m_parts->files);
    });
}

std::optional<QList<QByteArray>> PhoneSession::entryNames(const PhonePath &folder, PhoneResult *result)
{
    FolderListing listing;
    *result = list(folder, &listing);
    if (!result->ok())
        return std::nullopt;
    // Every folder's listing has text; without it nothing is known of the folder.
    if (listing.text.isEmpty()) {
        *result = PhoneResult::Code::Refused;
        return std::nullopt;
    }
    QList<QByteArray> names;
    for (const ListingRow &row : std::as_const(listing.rows)) {
        if (row.kind != EntryKind::Parent)
            names.append(row.name);
    }
    return names;
}

PhoneResult PhoneSession::replace(const QString &localPath, const PhonePath &folder, const QList<QByteArray> *names)
{
    return changing(folder, {}, [&] {
        Refusal refusal{};
        const std::optional<UploadSource> checked = inspectUploadSource(localPath, &refusal);
        // A source the upload refuses is refused by it, before anything is asked of the phone.
        if (!checked)
            return put(localPath, folder);
        return replaceWith(
            folder, checked->phoneName, checked->stagedLength,
            [&](const QByteArray &phoneName) {
                PhoneFiles &files = m_parts->files;
                return uploadResult(
                    files.PutFile(localPath, phoneName == checked->phoneName ? QByteArray() : phoneName), files);
            },
            localFile(localPath), names);
    });
}

PhoneResult PhoneSession::replace(const QString &localPath, const PhonePath &folder, const QByteArray &phoneName,
                                  const QList<QByteArray> *names)
{
    return changing(folder, phoneName, [&] {
        Refusal refusal{};
        const std::optional<UploadSource> checked = inspectUploadSource(localPath, &refusal);
        if (!checked)
            return put(localPath, folder);
        return replaceWith(
            folder, phoneName, checked->stagedLength,
            [&](const QByteArray &uploadName) {
                return uploadResult(m_parts->files.PutFile(localPath, uploadName), m_parts->files);
            },
            localFile(localPath), names);
    });
}

PhoneResult PhoneSession::replace(const PhonePath &folder, const QByteArray &name, const QByteArray &content,
                                  const QList<QByteArray> *names)
{
    return changing(folder, name, [&] {
        return replaceWith(
            folder, name, Staging::stagedLength(content.size()),
            [&](const QByteArray &phoneName) {
                return uploadResult(m_parts->files.putData(phoneName, content), m_parts->files);
            },
            [&content]() -> std::unique_ptr<QIODevice> {
                auto buffer = std::make_unique<QBuffer>();
                buffer->setData(content);
                buffer->open(QIODevice::ReadOnly);
                return buffer;
            },
            names);
    });
}

PhoneResult PhoneSession::replaceWith(const PhonePath &folder, const QByteArray &name, qint64 stagedLength,
                                      const Upload &upload, const OpenSource &open, const QList<QByteArray> *names)
{
    using Code = PhoneResult::Code;
    QList<QByteArray> listed;
    if (!names) {
        PhoneResult result;
        const auto entries = entryNames(folder, &result);
        if (!entries)
            return result;
        listed = *entries;
        names = &listed;
    }
    // A PUT of a name the phone holds replaces the file on the x75 family; the others append.
    const bool putReplaces = family().replacesOnPut;
    const auto uploadAs = [&](const QByteArray &phoneName) {
        if (const PhoneResult ready = readyIn(folder); !ready.ok())
            return ready;
        return upload(phoneName);
    };
    // The upload and, with verification, the copy read back; one that differs goes again
    // once, and then away.
    const auto uploadChecked = [&](const QByteArray &phoneName) {
        PhoneResult uploaded = uploadAs(phoneName);
        for (int attempt = 1; uploaded.ok() && m_parts->verify; ++attempt) {
            const PhoneResult same = readsBack(folder, phoneName, open);
            if (same != Code::VerifyFailed)
                return same;
            // Sent again over a wrong copy, the bytes of a phone that appends would follow it.
            if (attempt == 2 || !putReplaces) {
                const PhoneResult removed = remove(folder, phoneName, MissingCheck::None);
                if (!removed.ok() && removed != Code::NotFound)
                    return PhoneResult::named(Code::VerifyFailed, phoneName);
            }
            if (attempt == 2)
                return PhoneResult(Code::VerifyFailed);
            uploaded = uploadAs(phoneName);
        }
        return uploaded;
    };
    // Under a hidden name beside the names taken; whatever part of a failed upload
    // arrived there is no file of the user's.
    const auto uploadHidden = [&](const QList<QByteArray> &taken, QByteArray *hidden) {
        *hidden = freeHiddenName(taken, name, "new");
        const PhoneResult uploaded = uploadChecked(*hidden);
        if (uploaded == Code::Refused || uploaded == Code::Full || uploaded.refusal() == Refusal::SourceChanged)
            remove(folder, *hidden);
        return uploaded;
    };
    const std::optional<QByteArray> existing = heldName(*names, name);
    if (!existing && m_parts->verify && !putReplaces && !m_parts->movesRefused) {
        // Checked under a hidden name first, so that not even a link lost before a wrong
        // copy is deleted leaves one under the name.
        QByteArray hidden;
        if (const PhoneResult uploaded = uploadHidden(*names, &hidden); !uploaded.ok())
            return uploaded;
        const PhoneResult moved = move(folder, hidden, folder, name);
        if (moved.ok())
            return moved;
        remove(folder, hidden);
        if (moved != Code::Refused)
            return moved;
        // The phone has no move for us: the checked bytes go once more, under the name.
    }
    if (!existing)
        return uploadChecked(name);
    if (putReplaces) {
        // One PUT over the name, as the x75 phones were recorded replacing a file.
        const PhoneResult uploaded = uploadChecked(*existing);
        return uploaded == Code::VerifyFailed && uploaded.name().isEmpty() ? PhoneResult(Code::OldFileLost) : uploaded;
    }

    if (!m_parts->movesRefused) {
        QList<QByteArray> current = *names;
        if (const std::optional<QByteArray> leftover = heldName(current, asideName(*existing))) {
            if (const PhoneResult cleared = clearLeftover(folder, *leftover); !cleared.ok())
                return cleared;
            current.removeAll(*leftover);
        }
        QByteArray hidden;
        if (const PhoneResult uploaded = uploadHidden(current, &hidden); !uploaded.ok())
            return uploaded;
        const PhoneResult moved =
            moveOnto(folder, hidden, folder, name, *existing, current + QList<QByteArray>{hidden});
        if (moved.ok() || moved == Code::OldSetAside || moved == Code::OldNotDeleted)
            return moved;
        remove(folder, hidden);
        if (!m_parts->movesRefused)
            return moved;
        // The size question was answered for the upload under the hidden name.
        m_parts->files.setSizeQuestionAsked(true);
    } else if (stagedLength > Staging::QuestionLength) {
        // Asked before the old file goes, not after.
        if (!m_parts->question.confirmLargeUpload())
            return Code::Declined;
        m_parts->files.setSizeQuestionAsked(true);
    }
    const PhoneResult removed = remove(folder, *existing);
    const PhoneResult uploaded = removed.ok() ? uploadChecked(name) : removed;
    m_parts->files.setSizeQuestionAsked(false);
    if (!removed.ok())
        return removed;
    if (uploaded == Code::VerifyFailed && !uploaded.name().isEmpty())
        return uploaded;
    return uploaded.ok() ? PhoneResult() : PhoneResult(Code::OldFileLost);
}

PhoneResult PhoneSession::clearLeftover(const PhonePath &folder, const QByteArray &leftover)
{
    const PhoneResult removed = remove(folder, leftover, MissingCheck::None);
    if (removed.ok() || removed == PhoneResult::Code::NotFound)
        return {};
    return PhoneResult::named(PhoneResult::Code::AsideNotDeleted, leftover);
}

PhoneResult PhoneSession::moveReplacing(const PhonePath &fromFolder, const QByteArray &fromName,
                                        const PhonePath &toFolder, const QByteArray &toName)
{
    return changing(std::nullopt, {}, [&] {
        PhoneResult result;
        const auto names = entryNames(toFolder, &result);
        if (!names)
            return result;
        const std::optional<QByteArray> existing = heldName(*names, toName);
        if (!existing)
            return move(fromFolder, fromName, toFolder, toName);
        return moveOnto(fromFolder, fromName, toFolder, toName, *existing, *names);
    });
}

PhoneResult PhoneSession::moveOrCopy(const PhonePath &fromFolder, const QByteArray &fromName, const PhonePath &toFolder,
                                     const QByteArray &toName)
{
    return changing(std::nullopt, {}, [&] {
        // Looked up before the move, which forgets the listings.
        const std::optional<ListingRow> source = row(fromFolder, fromName);
        PhoneResult result = moveReplacing(fromFolder, fromName, toFolder, toName);
        // A phone that refuses to move changed nothing.
        if (result != PhoneResult::Code::Refused || !source || isFolderKind(source->kind))
            return result;
        // Through a temporary file on the PC, so that a large file costs no memory.
        QTemporaryFile copy(QDir::tempPath() + QStringLiteral("/tarvel-copy-XXXXXX"));
        if (!copy.open())
            return PhoneResult::refusedOnPc(Refusal::CopyUnwritable);
        result = get(fromFolder, fromName,
                     [&copy](QByteArrayView piece) { return copy.write(piece.data(), piece.size()) == piece.size(); });
        if (result.ok() && !copy.flush())
            return PhoneResult::refusedOnPc(Refusal::CopyUnwritable);
        if (result.ok())
            result = replace(copy.fileName(), toFolder, toName);
        if (result.ok())
            result = remove(fromFolder, fromName);
        return result;
    });
}

PhoneResult PhoneSession::moveOnto(const PhonePath &fromFolder, const QByteArray &fromName, const PhonePath &toFolder,
                                   const QByteArray &toName, const QByteArray &existing, const QList<QByteArray> &names)
{
    const auto setAside = [](const QByteArray &hidden) {
        return PhoneResult::named(PhoneResult::Code::OldSetAside, hidden);
    };
    // The name is the source's own in other letter case: through a hidden name.
    if (fromFolder == toFolder && Cp1251::sameName(fromName, existing)) {
        const QByteArray hidden = freeHiddenName(names, fromName, "mv");
        if (const PhoneResult result = move(fromFolder, fromName, toFolder, hidden); !result.ok())
            return result;
        const PhoneResult result = move(toFolder, hidden, toFolder, toName);
        if (!result.ok() && !move(toFolder, hidden, fromFolder, fromName).ok())
            return setAside(hidden);
        return result;
    }
    // Always this one name: the old file of an earlier replace whose delete the phone
    // refused goes first, or nothing is done, so that no second one piles up.
    const QByteArray aside = asideName(existing);
    if (const std::optional<QByteArray> leftover = heldName(names, aside)) {
        if (const PhoneResult cleared = clearLeftover(toFolder, *leftover); !cleared.ok())
            return cleared;
    }
    // Refused here: the phone has no move for us, and nothing has changed yet.
    if (const PhoneResult result = move(toFolder, existing, toFolder, aside); !result.ok())
        return result;
    const PhoneResult result = move(fromFolder, fromName, toFolder, toName);
    if (!result.ok()) {
        if (!move(toFolder, aside, toFolder, existing).ok())
            return setAside(aside);
        return result;
    }
    // The new one stands alone under the name; an aside that will not go stays hidden.
    const PhoneResult removed = remove(toFolder, aside, MissingCheck::None);
    if (!removed.ok() && removed != PhoneResult::Code::NotFound)
        return PhoneResult::named(PhoneResult::Code::OldNotDeleted, aside);
    return {};
}

PhoneResult PhoneSession::readMemory()
{
    return guarded([&] {
        if (!m_parts->files.readMemoryFigures())
            return PhoneResult(PhoneResult::Code::Refused);
        m_parts->memoryChanged = false;
        return PhoneResult();
    });
}

PhoneResult PhoneSession::updateMemory()
{
    return m_parts->memoryChanged ? readMemory() : guarded([] { return PhoneResult(); });
}

PhoneResult PhoneSession::remove(const PhonePath &folder, const QByteArray &name, MissingCheck check)
{
    using Code = PhoneResult::Code;
    return changing(folder, name, [&]() -> PhoneResult {
        if (const PhoneResult ready = readyFor(folder, name, NameUse::File); !ready.ok())
            return ready;
        switch (m_parts->files.DeleteObject(name)) {
        case DeleteResult::Deleted:
            return {};
        case DeleteResult::NotSent:
            return Code::NotSent;
        case DeleteResult::NotFound:
            return Code::NotFound;
        case DeleteResult::Refused:
            break;
        }
        if (check == MissingCheck::None)
            return Code::Refused;
        // Most phones refuse, rather than miss, a name they do not hold: the listing tells.
        PhoneResult listed;
        const auto names = entryNames(folder, &listed);
        return names && !heldName(*names, name) ? Code::NotFound : Code::Refused;
    });
}

PhoneResult PhoneSession::makeFolder(const PhonePath &folder, const QByteArray &name)
{
    return changing(folder, name, [&]() -> PhoneResult {
        if (const PhoneResult ready = readyFor(folder, name, NameUse::Folder); !ready.ok())
            return ready;
        return m_parts->files.makeFolderAndReturn(name) ? PhoneResult() : PhoneResult(PhoneResult::Code::Refused);
    });
}

PhoneResult PhoneSession::move(const PhonePath &fromFolder, const QByteArray &fromName, const PhonePath &toFolder,
                               const QByteArray &toName)
{
    using Code = PhoneResult::Code;
    return changing(std::nullopt, {}, [&]() -> PhoneResult {
        const PhonePath from = fromFolder + PhonePath{fromName};
        // The phone never stands inside what moves: it leaves for the source's folder first.
        const PhonePath current = currentFolder();
        if (current.size() >= from.size() && current.mid(0, from.size()) == from) {
            if (const PhoneResult result = goTo(fromFolder); !result.ok())
                return result;
        }
        m_parts->freshRootListing.reset();
        const MoveResult result = m_parts->files.moveObject(from, toFolder + PhonePath{toName});
        const std::optional<Refusal> refusal = m_parts->files.takeRefusal();
        if (result == MoveResult::Refused)
            m_parts->movesRefused = true;
        switch (result) {
        case MoveResult::Moved:
            return {};
        case MoveResult::NotSent:
            return refusal ? PhoneResult::refusedOnPc(*refusal) : PhoneResult(Code::NotSent);
        case MoveResult::PathTooLong:
            return Code::PathTooLong;
        case MoveResult::NotFound:
            return Code::NotFound;
        case MoveResult::DestinationExists:
            return Code::Exists;
        case MoveResult::Refused:
            break;
        }
        return Code::Refused;
    });
}
