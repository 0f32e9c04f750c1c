#include "phonefiles.h"

#include "cp1251.h"
#include "obexrequests.h"
#include "obexresponses.h"
#include "obextransport.h"
#include "serialline.h"
#include "staging.h"
#include "workingfiles.h"

#include <QBuffer>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <utility>

namespace {

const QByteArray ContinueReply("\x90\x00\x03", 3);

// The previous upload's file is deleted and a new one made; a file of its own (never
// one another upload of the window or the command-line tool still reads) is kept
// open until the upload ends. Its name goes at once, so that no copy of the user's
// file outlives the upload, however it ends (the window ends the program on a fatal
// link error without unwinding).
bool openFreshStagingFile(QFile &staging)
{
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (QFile::exists(staging.fileName()))
            QFile::remove(staging.fileName());
        if (staging.open(QIODevice::ReadWrite | QIODevice::NewOnly)) {
            QFile::remove(staging.fileName());
            return true;
        }
    }
    return false;
}

// "/Sub/a.txt" for the move command; the phone's own characters, so a byte without
// one (0x98) cannot travel.
std::optional<QString> movePath(const QList<QByteArray> &names)
{
    QString path;
    for (const QByteArray &name : names) {
        const QString text = Cp1251::decode(name);
        if (Cp1251::encode(text) != name)
            return std::nullopt;
        path += u'/' + text;
    }
    return path;
}

// A phone that runs out of room says so with Database Full; any other answer is a refusal.
PutResult refusedPut(const QByteArray &reply)
{
    return ObexResponse::code(reply) == ObexResponse::DatabaseFull ? PutResult::Full : PutResult::Refused;
}

} // namespace

std::optional<UploadSource> inspectUploadSource(const QString &localPath, Refusal *refusal)
{
    const QFileInfo source(localPath);
    if (!source.isFile()) {
        *refusal = Refusal::SourceMissing;
        return std::nullopt;
    }
    const auto name = Cp1251::encode(source.fileName());
    if (!name) {
        *refusal = Refusal::NameNotEncodable;
        return std::nullopt;
    }
    if (name->size() > ObexRequest::MaxUploadName) {
        *refusal = Refusal::UploadNameTooLong;
        return std::nullopt;
    }
    const qint64 stagedLength = Staging::stagedLength(source.size());
    if (stagedLength >= Staging::LengthLimit) {
        *refusal = Refusal::StagingTooLarge;
        return std::nullopt;
    }
    return UploadSource{*name, stagedLength};
}

PhoneFiles::PhoneFiles(SerialLine &phoneLink, ObexTransport &obexTransport, TransferEvents &transferEvents,
                       UploadQuestion &uploadQuestion)
    : m_link(phoneLink), m_transport(obexTransport), m_events(transferEvents), m_question(uploadQuestion)
{}

QString PhoneFiles::pathLine() const
{
    QString line = QStringLiteral("Mobile:\\");
    for (const QByteArray &entry : PathStack)
        line += Cp1251::decode(entry) + u'\\';
    return line;
}

FolderListing PhoneFiles::enterRootAndRefresh()
{
    // A new connection always starts in the root folder.
    PathStack = {QByteArray(RootEntry)};
    return RefreshListing();
}

std::optional<Refusal> PhoneFiles::takeRefusal()
{
    return std::exchange(m_lastRefusal, std::nullopt);
}

bool PhoneFiles::ObexSetPath(const QByteArray &name)
{
    const auto request = ObexRequest::enterFolder(name);
    if (!request)
        return false;
    const bool entered = ObexResponse::code(m_transport.exchange(*request)) == ObexResponse::Success;
    if (entered)
        PathStack.append(name);
    return entered;
}

bool PhoneFiles::ObexSetPathUp()
{
    const QByteArray response = m_transport.exchange(ObexRequest::parentFolder());
    // A phone that refuses to go up stays where it is.
    if (ObexResponse::code(response) == ObexResponse::Success && !PathStack.isEmpty())
        PathStack.removeLast();
    return true;
}

QByteArray PhoneFiles::RequestNextPart()
{
    return m_transport.exchange(ObexRequest::continuation());
}

QByteArray PhoneFiles::GetFolderListing()
{
    m_events.operationStarted(PhoneOperation::Listing, 0);

    ObexResponse::GetDataCollector collector(ObexResponse::GetDataCollector::Transfer::Listing);
    const Collected collected =
        collectParts(m_transport.exchange(ObexRequest::folderListing()), collector, PhoneOperation::Listing);

    readMemoryFigures();
    m_events.operationFinished(PhoneOperation::Listing, collected.packets);
    return collector.complete() ? collector.data() : QByteArray();
}

bool PhoneFiles::readMemoryFigures()
{
    using ObexRequest::MemoryFigure;
    // A figure the phone does not give leaves the last one standing.
    const auto totalFigure = ObexResponse::memoryFigure(m_transport.exchange(ObexRequest::memory(MemoryFigure::Total)));
    if (totalFigure) {
        m_total = totalFigure;
        m_events.memoryReported(MemoryKind::Total, *m_total);
    }
    const auto freeFigure = ObexResponse::memoryFigure(m_transport.exchange(ObexRequest::memory(MemoryFigure::Free)));
    if (freeFigure) {
        m_free = freeFigure;
        m_events.memoryReported(MemoryKind::Free, *m_free);
    }
    return totalFigure && freeFigure;
}

PhoneFiles::Collected PhoneFiles::collectParts(QByteArray response, ObexResponse::GetDataCollector &collector,
                                               PhoneOperation operation)
{
    const auto reportBytes = [&] {
        const std::optional<quint32> announced = collector.announcedLength();
        m_events.bytesTransferred(operation, collector.receivedBytes(), announced ? qint64(*announced) : -1);
    };
    collector.addResponse(response);
    int packets = 1;
    m_events.packetReceived(operation, packets);
    reportBytes();

    // A phone that answers Continue without end is cut off once the collector sees the overrun.
    while (ObexResponse::code(response) == ObexResponse::Continue && !collector.overrun()) {
        response = RequestNextPart();
        ++packets;
        collector.addResponse(response);
        reportBytes();
        if (ObexResponse::code(response) != ObexResponse::Continue)
            break;
        m_events.packetReceived(operation, packets);
    }
    return {response, packets};
}

FolderListing PhoneFiles::RefreshListing()
{
    FolderListing listing;
    listing.text = GetFolderListing();
    listing.rows = parseListing(listing.text);
    listing.pathLine = pathLine();
    return listing;
}

std::optional<QByteArray> PhoneFiles::GetFile(const QByteArray &name)
{
    ObexResponse::GetDataCollector collector(ObexResponse::GetDataCollector::Transfer::File);
    if (!download(name, collector))
        return std::nullopt;
    return collector.data();
}

bool PhoneFiles::GetFile(const QByteArray &name, const ObexResponse::DataSink &sink)
{
    ObexResponse::GetDataCollector collector(ObexResponse::GetDataCollector::Transfer::File, sink);
    return download(name, collector);
}

bool PhoneFiles::download(const QByteArray &name, ObexResponse::GetDataCollector &collector)
{
    const auto request = ObexRequest::getFile(name);
    if (!request)
        return false;

    m_events.operationStarted(PhoneOperation::Download, 0);
    const Collected collected = collectParts(m_transport.exchange(*request), collector, PhoneOperation::Download);
    m_events.operationFinished(PhoneOperation::Download, collected.packets);
    return ObexResponse::code(collected.lastResponse) == ObexResponse::Success && collector.complete();
}

bool PhoneFiles::MakeFolder(const QByteArray &name)
{
    const auto request = ObexRequest::makeFolder(name);
    if (!request)
        return false;
    const bool made = ObexResponse::code(m_transport.exchange(*request)) == ObexResponse::Success;
    if (made)
        PathStack.append(name);
    return made;
}

bool PhoneFiles::makeFolderAndReturn(const QByteArray &name)
{
    if (!MakeFolder(name))
        return false;
    ObexSetPathUp();
    return true;
}

DeleteResult PhoneFiles::DeleteObject(const QByteArray &name)
{
    const auto request = ObexRequest::deleteObject(name);
    if (!request)
        return DeleteResult::NotSent;
    switch (ObexResponse::code(m_transport.exchange(*request))) {
    case ObexResponse::Success:
        return DeleteResult::Deleted;
    case ObexResponse::NotFound:
        return DeleteResult::NotFound;
    default:
        return DeleteResult::Refused;
    }
}

MoveResult PhoneFiles::moveObject(const QList<QByteArray> &from, const QList<QByteArray> &to)
{
    if (from.isEmpty() || to.isEmpty())
        return MoveResult::NotSent;
    const std::optional<QString> fromPath = movePath(from);
    const std::optional<QString> toPath = movePath(to);
    if (!fromPath || !toPath) {
        refuse(Refusal::NameNotEncodable);
        return MoveResult::NotSent;
    }
    const auto request = ObexRequest::move(*fromPath, *toPath);
    const std::optional<int> limit = m_maxPacket;
    if (!request || (limit && request->size() > *limit))
        return MoveResult::PathTooLong;
    switch (ObexResponse::code(m_transport.exchange(*request))) {
    case ObexResponse::Success:
        return MoveResult::Moved;
    case ObexResponse::NotFound:
        return MoveResult::NotFound;
    case ObexResponse::PreconditionFailed:
        return MoveResult::DestinationExists;
    default:
        return MoveResult::Refused;
    }
}

std::optional<Staging::Layout> PhoneFiles::uploadLayout(const QByteArray &name) const
{
    if (name.size() > ObexRequest::MaxUploadName)
        return std::nullopt;
    const std::optional<int> limit = m_maxPacket;
    if (!limit)
        return Staging::Layout{};
    // A further packet: opcode and length (3), Body header (3), the piece, three zero bytes.
    const int piece = std::min(Staging::PieceSize, *limit - 9);
    // The first also carries the Name header (5 + 2n) and the Length header (5).
    const Staging::Layout layout{std::min(piece, *limit - 19 - 2 * int(name.size())), piece};
    // A name that leaves no room for file bytes beside it is too long for this phone.
    if (layout.firstPiece < 1)
        return std::nullopt;
    return layout;
}

PutResult PhoneFiles::PutFile(const QString &localPath, const QByteArray &phoneName)
{
    const SerialLine::QuietMonitor quietMonitor(m_link);

    const QString stagingPath = m_workingDirectory.isEmpty()
        ? WorkingFiles::stagingFilePath()
        : m_workingDirectory + u'/' + QLatin1String(WorkingFiles::StagingFileName);
    if (QFile::exists(stagingPath))
        QFile::remove(stagingPath);
    Refusal refusal{};
    const std::optional<UploadSource> checked = inspectUploadSource(localPath, &refusal);
    if (!checked) {
        refuse(refusal);
        return PutResult::NotSent;
    }
    const QByteArray name = phoneName.isEmpty() ? checked->phoneName : phoneName;
    const std::optional<Staging::Layout> layout = uploadLayout(name);
    if (!layout) {
        refuse(Refusal::UploadNameTooLong);
        return PutResult::NotSent;
    }

    QFile source(localPath);
    if (!source.open(QIODevice::ReadOnly)) {
        refuse(Refusal::SourceUnreadable);
        return PutResult::NotSent;
    }
    const qint64 sourceLength = source.size();
    QFile staging(stagingPath);
    if (!openFreshStagingFile(staging)) {
        refuse(Refusal::StagingUnwritable);
        return PutResult::NotSent;
    }
    if (!Staging::write(source, staging, *layout) || !staging.flush()) {
        refuse(source.error() != QFileDevice::NoError ? Refusal::SourceUnreadable : Refusal::StagingUnwritable);
        return PutResult::NotSent;
    }
    source.close();
    return sendStaged(staging, name, sourceLength, *layout);
}

PutResult PhoneFiles::putData(const QByteArray &name, const QByteArray &content)
{
    const SerialLine::QuietMonitor quietMonitor(m_link);
    const std::optional<Staging::Layout> layout = uploadLayout(name);
    if (!layout) {
        refuse(Refusal::UploadNameTooLong);
        return PutResult::NotSent;
    }
    QBuffer source;
    source.setData(content);
    QBuffer staging;
    if (!source.open(QIODevice::ReadOnly) || !staging.open(QIODevice::ReadWrite)
        || !Staging::write(source, staging, *layout)) {
        refuse(Refusal::StagingUnwritable);
        return PutResult::NotSent;
    }
    return sendStaged(staging, name, content.size(), *layout);
}

PutResult PhoneFiles::sendStaged(QIODevice &staging, const QByteArray &name, qint64 sourceLength,
                                 Staging::Layout layout)
{
    // The phone is told what was really staged: a source may not know its length in
    // advance (files under /proc say 0) or may change while it is read.
    const qint64 stagedLength = staging.size();
    if (stagedLength >= Staging::LengthLimit) {
        refuse(Refusal::StagingTooLarge);
        return PutResult::NotSent;
    }

    m_events.operationStarted(PhoneOperation::Upload, sourceLength);
    // Asked by the length of the usual records, whatever the phone's packets: the same
    // files are asked about on every phone.
    const qint64 usualLength = Staging::stagedLength(Staging::sourceLength(stagedLength, layout));
    if (usualLength > Staging::QuestionLength && !m_sizeQuestionAsked && !m_question.confirmLargeUpload())
        return PutResult::Declined;

    staging.seek(0);
    return sendStagingFile(staging, name, stagedLength, layout);
}

PutResult PhoneFiles::sendStagingFile(QIODevice &staging, const QByteArray &name, qint64 stagingLength,
                                      Staging::Layout layout)
{
    const auto first = ObexRequest::uploadFirst(name, quint32(stagingLength), staging.read(layout.firstRecord()));
    if (!first)
        return PutResult::NotSent;
    QByteArray reply = m_transport.exchange(*first);

    const qint64 sourceLength = Staging::sourceLength(stagingLength, layout);
    const auto reportSent = [&](int packets) {
        const qint64 sentBytes = layout.firstPiece + qint64(packets - 1) * layout.piece;
        m_events.packetSent(PhoneOperation::Upload, packets);
        m_events.bytesTransferred(PhoneOperation::Upload, std::min(sentBytes, sourceLength), sourceLength);
    };
    int sent = 1;
    reportSent(sent);
    // A file within the first record has no body after it; its answer is not judged.
    if (stagingLength >= layout.firstRecord()) {
        for (;;) {
            if (reply != ContinueReply)
                return refusedPut(reply);
            if (staging.size() - staging.pos() <= layout.record())
                break;
            reply = m_transport.exchange(ObexRequest::uploadBody(staging.read(layout.record())));
            reportSent(++sent);
        }
        // The last body is counted before it goes; its answer is not judged either.
        reportSent(++sent);
        m_transport.exchange(ObexRequest::uploadBody(staging.readAll()));
    }
    staging.close();

    const QByteArray endResponse = m_transport.exchange(ObexRequest::uploadEnd());
    m_events.operationFinished(PhoneOperation::Upload, sent);
    return ObexResponse::code(endResponse) == ObexResponse::Success ? PutResult::Sent : refusedPut(endResponse);
}
