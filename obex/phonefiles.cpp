#include "phonefiles.h"

#include "cp1251.h"
#include "obexrequests.h"
#include "obexresponses.h"
#include "obextransport.h"
#include "serialline.h"
#include "staging.h"
#include "workingfiles.h"

#include <QBuffer>
#include <QDateTime>
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

PhoneFiles::PhoneFiles(SerialLine &serialLine, ObexTransport &obexTransport, TransferEvents &transferEvents,
                       UploadQuestion &uploadQuestion)
    : m_link(serialLine), m_transport(obexTransport), m_events(transferEvents), m_question(uploadQuestion)
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
    // A new connection always starts in the root folder, with no transfer under way.
    PathStack = {QByteArray(RootEntry)};
    m_openDownload.reset();
    return RefreshListing();
}

std::optional<Refusal> PhoneFiles::takeRefusal()
{
    return std::exchange(m_lastRefusal, std::nullopt);
}

bool PhoneFiles::ObexSetPath(const QByteArray &name)
{
    return goesInto(ObexRequest::enterFolder(name), name);
}

bool PhoneFiles::goesInto(const std::optional<QByteArray> &request, const QByteArray &name)
{
    if (!request)
        return false;
    const bool entered = ObexResponse::code(m_transport.exchange(*request)) == ObexResponse::Success;
    if (entered)
        PathStack.append(name);
    return entered;
}

bool PhoneFiles::ObexSetPathUp()
{
    if (plainObex()) {
        climbTo(std::max<qsizetype>(PathStack.size() - 2, 0));
        return true;
    }
    const QByteArray response = m_transport.exchange(ObexRequest::parentFolder());
    // A phone that refuses to go up stays where it is.
    if (ObexResponse::code(response) == ObexResponse::Success && !PathStack.isEmpty())
        PathStack.removeLast();
    return true;
}

std::optional<QByteArray> PhoneFiles::climbTo(qsizetype depth)
{
    const auto below = [this] { return PathStack.size() - 1; };
    if (!plainObex()) {
        while (below() > depth) {
            const qsizetype before = below();
            ObexSetPathUp();
            if (below() == before)
                return PathStack.at(before);
        }
        return std::nullopt;
    }
    const QList<QByteArray> kept = PathStack.mid(1, depth);
    if (ObexResponse::code(m_transport.exchange(ObexRequest::rootFolder())) != ObexResponse::Success)
        return PathStack.last();
    PathStack = {QByteArray(RootEntry)};
    for (const QByteArray &name : kept) {
        if (!ObexSetPath(name))
            return name;
    }
    return std::nullopt;
}

bool PhoneFiles::plainObex() const
{
    return !m_transport.checksummed();
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

bool PhoneFiles::takePart(const QByteArray &response, ObexResponse::GetDataCollector &collector,
                          PhoneOperation operation, int &packets)
{
    const auto reportBytes = [&] {
        const std::optional<quint32> announced = collector.announcedLength();
        m_events.bytesTransferred(operation, collector.receivedBytes(), announced ? qint64(*announced) : -1);
    };
    collector.addResponse(response);
    // Plain OBEX has no checksum: an answer whose headers do not parse is the line's doing.
    if (plainObex() && !ObexResponse::bodyData(response))
        m_events.lineNoiseSeen();
    const bool more = ObexResponse::code(response) == ObexResponse::Continue;
    if (++packets == 1) {
        m_events.packetReceived(operation, packets);
        reportBytes();
    } else {
        reportBytes();
        if (more)
            m_events.packetReceived(operation, packets);
    }
    // A phone that answers Continue without end is cut off once the collector sees the overrun.
    return more && !collector.overrun();
}

PhoneFiles::Collected PhoneFiles::collectParts(QByteArray response, ObexResponse::GetDataCollector &collector,
                                               PhoneOperation operation)
{
    int packets = 0;
    while (takePart(response, collector, operation, packets))
        response = RequestNextPart();
    return {response, packets};
}

FolderListing PhoneFiles::RefreshListing()
{
    FolderListing listing;
    listing.text = GetFolderListing();
    // A parent row exactly where the phone stands below its root: the root's own
    // entries do not tell (an x65 or x75 root has no Bitmap folder, and any folder may
    // hold a file named Bitmap1.bmp).
    if (PathStack.size() > 1)
        listing.rows.append(parentRow());
    listing.rows += parseListing(listing.text);
    listing.pathLine = pathLine();
    return listing;
}

std::optional<QByteArray> PhoneFiles::GetFile(const QByteArray &name)
{
    QByteArray content;
    const bool whole = GetFile(name, [&content](QByteArrayView piece) {
        // No object held in memory is larger.
        if (content.size() + piece.size() > ObexResponse::GetDataCollector::TransferLimit)
            return false;
        content.append(piece);
        return true;
    });
    return whole ? std::optional<QByteArray>(content) : std::nullopt;
}

bool PhoneFiles::GetFile(const QByteArray &name, const ObexResponse::DataSink &sink)
{
    DownloadState state = startDownload(name, sink);
    while (state == DownloadState::Open)
        state = nextDownloadPart();
    return state == DownloadState::Whole;
}

DownloadState PhoneFiles::startDownload(const QByteArray &name, const ObexResponse::DataSink &sink)
{
    m_fileMissing = false;
    const auto request = ObexRequest::getFile(name);
    if (m_openDownload || !request)
        return DownloadState::Failed;
    m_events.operationStarted(PhoneOperation::Download, 0);
    m_openDownload.emplace(
        OpenDownload{ObexResponse::GetDataCollector(ObexResponse::GetDataCollector::Transfer::File, sink), 0});
    return takeDownloadPart(m_transport.exchange(*request));
}

DownloadState PhoneFiles::nextDownloadPart()
{
    if (!m_openDownload)
        return DownloadState::Failed;
    return takeDownloadPart(RequestNextPart());
}

DownloadState PhoneFiles::takeDownloadPart(const QByteArray &response)
{
    OpenDownload &download = *m_openDownload;
    if (takePart(response, download.collector, PhoneOperation::Download, download.packets))
        return DownloadState::Open;
    m_fileMissing = download.packets == 1 && ObexResponse::code(response) == ObexResponse::NotFound;
    const bool ended = ObexResponse::code(response) == ObexResponse::Success;
    // Fewer bytes than the Length header announced, yet the phone says it is done.
    if (ended && plainObex() && !download.collector.overrun() && !download.collector.complete())
        m_events.lineNoiseSeen();
    const bool whole = ended && download.collector.complete();
    return endDownload(whole ? DownloadState::Whole : DownloadState::Failed);
}

DownloadState PhoneFiles::endDownload(DownloadState state)
{
    m_events.operationFinished(PhoneOperation::Download, m_openDownload->packets);
    m_openDownload.reset();
    return state;
}

DownloadState PhoneFiles::stopDownload()
{
    if (!m_openDownload)
        return DownloadState::Failed;
    // An answer with headers is a piece of the GET; the ABORT's own answer has none.
    const auto isPiece = [](const QByteArray &answer) { return answer.size() > 3; };
    QByteArray answer = m_transport.exchangeFirst(ObexRequest::abort());
    DownloadState state = DownloadState::Open;
    if (isPiece(answer)) {
        // The piece the phone was sending when the ABORT came; its answer to the ABORT follows.
        state = takeDownloadPart(answer);
        answer = m_transport.nextAnswer();
    }
    if (!isPiece(answer) && ObexResponse::code(answer) == ObexResponse::Success)
        return state == DownloadState::Open ? endDownload(DownloadState::Stopped) : state;
    // Refused, or the phone goes on sending: the GET is still open on the phone until its last answer.
    if (state == DownloadState::Open && isPiece(answer))
        state = takeDownloadPart(answer);
    while (state == DownloadState::Open)
        state = nextDownloadPart();
    return state;
}

bool PhoneFiles::MakeFolder(const QByteArray &name)
{
    return goesInto(ObexRequest::makeFolder(name), name);
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

bool PhoneFiles::uploadNameFits(const QByteArray &name) const
{
    if (!plainObex())
        return uploadLayout(name).has_value();
    // The Name header alone in the first packet.
    return name.size() <= ObexRequest::MaxUploadName && ObexRequest::putName(name).size() <= plainPiece() + 6;
}

int PhoneFiles::plainPiece() const
{
    // Opcode and length (3), the Body or End-of-Body header (3).
    return m_maxPacket.value_or(ObexRequest::NameRequestPacketLimit) - 6;
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
    if (!uploadNameFits(name)) {
        refuse(Refusal::UploadNameTooLong);
        return PutResult::NotSent;
    }

    QFile source(localPath);
    if (!source.open(QIODevice::ReadOnly)) {
        refuse(Refusal::SourceUnreadable);
        return PutResult::NotSent;
    }
    const qint64 sourceLength = source.size();
    if (plainObex()) {
        // A file that says it is empty may still hold bytes (files under /proc): only a
        // length or a time that moves while it is read counts as a change.
        const QDateTime modified = source.fileTime(QFileDevice::FileModificationTime);
        return sendPlain(source, name, sourceLength, [&] {
            return (sourceLength == 0 || source.pos() == sourceLength)
                && source.fileTime(QFileDevice::FileModificationTime) == modified
                && QFileInfo(localPath).size() == sourceLength;
        });
    }
    const Staging::Layout layout = *uploadLayout(name);
    QFile staging(stagingPath);
    if (!openFreshStagingFile(staging)) {
        refuse(Refusal::StagingUnwritable);
        return PutResult::NotSent;
    }
    if (!Staging::write(source, staging, layout) || !staging.flush()) {
        refuse(source.error() != QFileDevice::NoError ? Refusal::SourceUnreadable : Refusal::StagingUnwritable);
        return PutResult::NotSent;
    }
    source.close();
    return sendStaged(staging, name, sourceLength, layout);
}

PutResult PhoneFiles::putData(const QByteArray &name, const QByteArray &content)
{
    const SerialLine::QuietMonitor quietMonitor(m_link);
    if (!uploadNameFits(name)) {
        refuse(Refusal::UploadNameTooLong);
        return PutResult::NotSent;
    }
    QBuffer source;
    source.setData(content);
    if (!source.open(QIODevice::ReadOnly)) {
        refuse(Refusal::StagingUnwritable);
        return PutResult::NotSent;
    }
    if (plainObex())
        return sendPlain(source, name, content.size(), [] { return true; });
    const Staging::Layout layout = *uploadLayout(name);
    QBuffer staging;
    if (!staging.open(QIODevice::ReadWrite) || !Staging::write(source, staging, layout)) {
        refuse(Refusal::StagingUnwritable);
        return PutResult::NotSent;
    }
    return sendStaged(staging, name, content.size(), layout);
}

PutResult PhoneFiles::sendPlain(QIODevice &source, const QByteArray &name, qint64 sourceLength,
                                const std::function<bool()> &unchanged)
{
    m_events.operationStarted(PhoneOperation::Upload, sourceLength);
    // The same files are asked about as over BFB: by the length of the usual records.
    if (Staging::stagedLength(sourceLength) > Staging::QuestionLength && !m_sizeQuestionAsked
        && !m_question.confirmLargeUpload())
        return PutResult::Declined;

    const int pieceSize = plainPiece();
    // One piece read ahead, so that the last one is known before it goes.
    const auto readPiece = [&]() -> std::optional<QByteArray> {
        QByteArray piece(pieceSize, Qt::Uninitialized);
        const qint64 got = source.read(piece.data(), pieceSize);
        // A read error is no end of file.
        if (got < 0 || (got < pieceSize && !source.atEnd()))
            return std::nullopt;
        piece.truncate(got);
        return piece;
    };
    int sent = 1;
    qint64 sentBytes = 0;
    const auto reportSent = [&] {
        m_events.packetSent(PhoneOperation::Upload, sent);
        m_events.bytesTransferred(PhoneOperation::Upload, sentBytes, std::max(sourceLength, sentBytes));
    };

    std::optional<QByteArray> piece = readPiece();
    if (!piece) {
        refuse(Refusal::SourceUnreadable);
        return PutResult::NotSent;
    }
    QByteArray reply = m_transport.exchange(ObexRequest::putName(name));
    reportSent();
    if (reply != ContinueReply)
        return refusedPut(reply);
    for (;;) {
        std::optional<QByteArray> next = piece->size() < pieceSize ? QByteArray() : readPiece();
        if (!next)
            return abortUpload(Refusal::SourceUnreadable);
        // An empty file too ends with an End-of-Body: a final PUT with the Name alone
        // would delete it.
        const bool last = next->isEmpty();
        if (last && !unchanged())
            return abortUpload(Refusal::SourceChanged);
        reply = m_transport.exchange(last ? ObexRequest::putFinal(*piece) : ObexRequest::putBody(*piece));
        ++sent;
        sentBytes += piece->size();
        reportSent();
        if (last)
            break;
        if (reply != ContinueReply)
            return refusedPut(reply);
        piece = std::move(next);
    }
    m_events.operationFinished(PhoneOperation::Upload, sent);
    return ObexResponse::code(reply) == ObexResponse::Success ? PutResult::Sent : refusedPut(reply);
}

PutResult PhoneFiles::abortUpload(Refusal why)
{
    // Whatever the phone answers, the upload is over.
    m_transport.exchange(ObexRequest::abort());
    refuse(why);
    return PutResult::NotSent;
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
