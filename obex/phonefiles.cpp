#include "phonefiles.h"

#include "cp1251.h"
#include "obexrequests.h"
#include "obexresponses.h"
#include "phonelink.h"
#include "staging.h"
#include "workingfiles.h"

#include <QFile>
#include <QFileInfo>

namespace {

const QByteArray ContinueReply("\x90\x00\x03", 3);

const QString RequestListingRow = QStringLiteral("Запрашиваю список файлов...");
const QString RequestFileRow = QStringLiteral("Запрашиваю  файл...");
const QString SendFileRow = QStringLiteral("Отправляю файл...");
const QString PacketRow = QStringLiteral("Получен пакет N");
const QString SizeQuestionTitle = QStringLiteral("Копирование файла...");
const QString SizeQuestion = QStringLiteral("Файл имеет длину больше 150кБ! Вы подтверждаете копирование файла?");
constexpr int ListingIcon = 2;
constexpr int FileIcon = 3;

QString kilobytes(quint32 bytes)
{
    return QString::number(bytes / 1024) + QStringLiteral("Kb");
}

// Gives the main window and Timer1 back on every way out of an upload.
class UploadGuard
{
public:
    UploadGuard(PhoneLink &guarded) : link(guarded)
    {
        link.ui().setMainWindowEnabled(false);
        link.ui().progressLoad();
        link.Timer1.stop();
    }
    ~UploadGuard()
    {
        link.Timer1.start();
        link.ui().setMainWindowEnabled(true);
    }
    UploadGuard(const UploadGuard &) = delete;
    UploadGuard &operator=(const UploadGuard &) = delete;

private:
    PhoneLink &link;
};

// The previous upload's file is deleted and a new one made; a file of its own (never
// one another upload of the window or the command-line tool still reads) is kept
// open until the upload ends. Its name goes at once, so that no copy of the user's
// file outlives the upload, however it ends (a fatal link error ends the program
// without unwinding).
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

} // namespace

PhoneFiles::PhoneFiles(PhoneLink &phoneLink) : link(phoneLink), ui(phoneLink.ui()) {}

QString PhoneFiles::pathLine() const
{
    QString line = QStringLiteral("Mobile:\\");
    for (const QByteArray &entry : pathStack)
        line += Cp1251::decode(entry) + u'\\';
    return line;
}

FolderListing PhoneFiles::enterRootAndRefresh()
{
    // A new connection always starts in the root folder.
    pathStack = {QByteArray(RootEntry)};
    return RefreshListing();
}

void PhoneFiles::refuse(ObexNotice notice)
{
    ui.showMessage(PhoneUi::Icon::Warning, QString(), russianText(notice));
}

bool PhoneFiles::nameFits(const QByteArray &name, int maxLength, ObexNotice tooLong)
{
    if (name.size() <= maxLength)
        return true;
    refuse(tooLong);
    return false;
}

std::optional<QByteArray> PhoneFiles::phoneName(const QString &typed)
{
    auto bytes = Cp1251::encode(typed);
    if (!bytes)
        refuse(ObexNotice::NameNotEncodable);
    return bytes;
}

QByteArray PhoneFiles::exchange(const QByteArray &block)
{
    link.SendPacket(block);
    const QByteArray response = link.ReceiveReply();
    link.SendAck();
    return response;
}

bool PhoneFiles::sendPrebuilt(const QByteArray &frames)
{
    link.writeFrames(frames);
    link.advanceSequence();
    return link.ReceiveReply() == PhoneLink::Acknowledge;
}

bool PhoneFiles::ObexSetPath(const QByteArray &name)
{
    if (!nameFits(name, ObexRequest::MaxSetPathName, ObexNotice::FolderNameTooLong))
        return false;
    const auto block = ObexRequest::enterFolderBlock(link.BfbSequence, name, link.Crc);
    if (!block)
        return false;
    const bool entered = ObexResponse::code(exchange(*block)) == ObexResponse::Success;
    if (entered)
        pathStack.append(name);
    return entered;
}

bool PhoneFiles::ObexSetPathUp()
{
    if (!sendPrebuilt(ObexRequest::parentFolderFrame(link.BfbSequence, link.Crc)))
        return false;
    const QByteArray response = link.ReceiveReply();
    link.SendAck();
    // A phone that refuses to go up stays where it is.
    if (ObexResponse::code(response) == ObexResponse::Success && !pathStack.isEmpty())
        pathStack.removeLast();
    return true;
}

bool PhoneFiles::RequestNextPart()
{
    if (!sendPrebuilt(ObexRequest::continuationFrame(link.BfbSequence, link.Crc)))
        link.AbortOnBadData();
    return true;
}

QByteArray PhoneFiles::GetFolderListing()
{
    ui.setSequenceText(QString::number(link.BfbSequence));
    openGetProgress(RequestListingRow, ListingIcon);

    if (!sendPrebuilt(ObexRequest::folderListingFrames(link.BfbSequence, link.Crc)))
        return {};

    ObexResponse::GetDataCollector collector(ObexResponse::GetDataCollector::Transfer::Listing);
    const QByteArray first = link.ReceiveReply();
    link.SendAck();
    collectParts(first, collector, ListingIcon);

    readMemoryFigures();
    ui.progressClose();
    return collector.complete() ? collector.data() : QByteArray();
}

void PhoneFiles::readMemoryFigures()
{
    using ObexRequest::MemoryFigure;
    // A figure the phone does not give leaves its label as it was.
    const auto totalFigure =
        ObexResponse::memoryFigure(exchange(ObexRequest::memoryBlock(link.BfbSequence, MemoryFigure::Total, link.Crc)));
    if (totalFigure) {
        total = totalFigure;
        ui.setTotalMemoryText(QStringLiteral("Всего памяти: ") + kilobytes(*total));
    }
    const auto freeFigure =
        ObexResponse::memoryFigure(exchange(ObexRequest::memoryBlock(link.BfbSequence, MemoryFigure::Free, link.Crc)));
    if (freeFigure) {
        free = freeFigure;
        ui.setFreeMemoryText(QStringLiteral("Из них свободно: ") + kilobytes(*free));
    }
}

void PhoneFiles::openGetProgress(const QString &requestRow, int icon)
{
    ui.progressShow();
    ui.progressSetValue(1);
    ui.progressSetMaximum(3);
    ui.progressAddRow(requestRow, icon);
    ui.progressRepaint();
}

QByteArray PhoneFiles::collectParts(QByteArray response, ObexResponse::GetDataCollector &collector, int icon)
{
    collector.addResponse(response);
    int packet = 1;
    ui.progressAddRow(PacketRow + QString::number(packet), icon);
    ui.progressRepaint();
    ui.progressSetValue(2);

    // A phone that answers Continue without end is cut off once the collector sees the overrun.
    while (ObexResponse::code(response) == ObexResponse::Continue && !collector.overrun()) {
        ++packet;
        RequestNextPart();
        response = link.ReceiveReply();
        link.SendAck();
        collector.addResponse(response);
        if (ObexResponse::code(response) != ObexResponse::Continue)
            break;
        ui.progressAddRow(PacketRow + QString::number(packet), icon);
        ui.progressRepaint();
    }
    return response;
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
    if (!nameFits(name, ObexRequest::MaxGetName, ObexNotice::FileNameTooLong))
        return std::nullopt;
    const auto block = ObexRequest::getFileBlock(link.BfbSequence, name, link.Crc);
    if (!block)
        return std::nullopt;

    ui.setMainWindowEnabled(false);
    openGetProgress(RequestFileRow, FileIcon);

    ObexResponse::GetDataCollector collector(ObexResponse::GetDataCollector::Transfer::File);
    const QByteArray first = exchange(*block);
    const QByteArray response = collectParts(first, collector, FileIcon);
    if (ObexResponse::code(first) == ObexResponse::Continue)
        ui.progressSetValue(3); // the transfer took several packets and has ended

    ui.progressClose();
    ui.setMainWindowEnabled(true);
    if (ObexResponse::code(response) != ObexResponse::Success || !collector.complete())
        return std::nullopt;
    return collector.data();
}

bool PhoneFiles::MakeFolder(const QByteArray &name)
{
    if (!nameFits(name, ObexRequest::MaxSetPathName, ObexNotice::FolderNameTooLong))
        return false;
    const auto block = ObexRequest::makeFolderBlock(link.BfbSequence, name, link.Crc);
    if (!block)
        return false;
    const bool made = ObexResponse::code(exchange(*block)) == ObexResponse::Success;
    if (made)
        pathStack.append(name);
    return made;
}

bool PhoneFiles::makeFolderAndReturn(const QByteArray &name)
{
    if (!MakeFolder(name))
        return false;
    ObexSetPathUp();
    return true;
}

bool PhoneFiles::DeleteObject(const QByteArray &name)
{
    if (!nameFits(name, ObexRequest::MaxGetName, ObexNotice::FileNameTooLong))
        return false;
    const auto block = ObexRequest::deleteBlock(link.BfbSequence, name, link.Crc);
    if (!block)
        return false;
    return ObexResponse::code(exchange(*block)) == ObexResponse::Success;
}

void PhoneFiles::advanceProgress()
{
    ui.progressSetValue(ui.progressValue() + 1);
}

PutResult PhoneFiles::PutFile(const QString &localPath)
{
    UploadGuard guard(link);

    const QString stagingPath = workingDirectory.isEmpty()
        ? WorkingFiles::stagingFilePath()
        : workingDirectory + u'/' + QLatin1String(WorkingFiles::StagingFileName);
    if (QFile::exists(stagingPath))
        QFile::remove(stagingPath);
    const QFileInfo sourceInfo(localPath);
    if (!sourceInfo.isFile()) {
        ui.showMessage(PhoneUi::Icon::None, QString(), russianText(ObexNotice::SourceMissing));
        return PutResult::NotSent;
    }
    const auto name = Cp1251::encode(sourceInfo.fileName());
    if (!name) {
        refuse(ObexNotice::NameNotEncodable);
        return PutResult::NotSent;
    }
    if (!nameFits(*name, ObexRequest::MaxUploadName, ObexNotice::UploadNameTooLong))
        return PutResult::NotSent;

    QFile source(localPath);
    if (!source.open(QIODevice::ReadOnly)) {
        refuse(ObexNotice::SourceUnreadable);
        return PutResult::NotSent;
    }
    const qint64 sourceLength = source.size();
    const qint64 stagingLength = Staging::stagedLength(sourceLength);
    if (stagingLength >= Staging::LengthLimit) {
        refuse(ObexNotice::StagingTooLarge);
        return PutResult::NotSent;
    }

    ui.progressSetMaximum(int(sourceLength / Staging::PieceSize + 10));
    ui.progressSetValue(1);
    QFile staging(stagingPath);
    if (!openFreshStagingFile(staging)) {
        refuse(ObexNotice::StagingUnwritable);
        return PutResult::NotSent;
    }
    if (!Staging::write(source, staging) || !staging.flush()) {
        refuse(source.error() != QFileDevice::NoError ? ObexNotice::SourceUnreadable : ObexNotice::StagingUnwritable);
        return PutResult::NotSent;
    }
    source.close();
    // The phone is told what was really staged: a source may not know its length in
    // advance (files under /proc say 0) or may change while it is read.
    const qint64 stagedLength = staging.size();
    if (stagedLength >= Staging::LengthLimit) {
        refuse(ObexNotice::StagingTooLarge);
        return PutResult::NotSent;
    }

    ui.progressShow();
    ui.progressAddRow(SendFileRow, FileIcon);
    ui.progressRepaint();

    if (stagedLength > Staging::QuestionLength
        && !ui.askYesNo(PhoneUi::Icon::Question, SizeQuestionTitle, SizeQuestion))
        return PutResult::NotSent;

    staging.seek(0);
    return sendStagingFile(staging, *name, stagedLength);
}

PutResult PhoneFiles::sendStagingFile(QFile &staging, const QByteArray &name, qint64 stagingLength)
{
    const auto first = ObexRequest::uploadFirstBlock(link.BfbSequence, name, quint32(stagingLength),
                                                     staging.read(Staging::RecordSize), link.Crc);
    if (!first)
        return PutResult::NotSent;
    link.SendPacket(*first);

    if (stagingLength <= Staging::RecordSize) {
        advanceProgress();
    } else {
        for (;;) {
            advanceProgress();
            const QByteArray reply = link.ReceiveReply();
            // The refusal is acknowledged like any response, so that the link stays in step.
            link.SendAck();
            if (reply != ContinueReply)
                return PutResult::Refused;
            if (staging.size() - staging.pos() <= Staging::RecordSize)
                break;
            link.SendPacket(
                ObexRequest::uploadBodyBlock(link.BfbSequence, staging.read(Staging::RecordSize), link.Crc));
        }
        advanceProgress();
        link.SendPacket(ObexRequest::uploadBodyBlock(link.BfbSequence, staging.readAll(), link.Crc));
    }

    link.ReceiveReply();
    link.SendAck();
    staging.close();

    const QByteArray endResponse = exchange(ObexRequest::uploadEndBlock(link.BfbSequence, link.Crc));
    return ObexResponse::code(endResponse) == ObexResponse::Success ? PutResult::Sent : PutResult::Refused;
}
