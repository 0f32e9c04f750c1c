#pragma once

#include "listing.h"
#include "phoneevents.h"
#include "phoneresult.h"
#include "staging.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <functional>
#include <optional>

#include "obexresponses.h"

class ObexTransport;
class SerialLine;
class QIODevice;

enum class PutResult {
    Sent, // the phone accepted the whole file
    NotSent, // stopped on the PC before anything was sent (takeRefusal() says why)
    Declined, // the large-upload question was answered no
    Refused, // the phone refused a packet or the file
    Full, // the phone answered a packet with Database Full
};

// What a deletion did.
enum class DeleteResult {
    Deleted,
    NotSent, // the name is too long for the request
    NotFound, // C4
    Refused, // any other answer
};

// What the phone's move command did.
enum class MoveResult {
    Moved,
    NotSent, // a path is the root folder, or a name has no character (takeRefusal() says)
    PathTooLong, // a path passes ObexRequest::MaxMovePathUnits; nothing was sent
    NotFound, // C4: the source, or the folder of the destination, is missing
    DestinationExists, // CC
    Refused, // any other answer
};

// Where a download taken one answer at a time stands (PhoneFiles::startDownload).
enum class DownloadState {
    Open, // more is to come: nextDownloadPart
    Whole, // the phone delivered the file whole
    Stopped, // ended by an ABORT before its last answer
    Failed, // the phone did not deliver it (an error answer, more than announced, a sink that refused)
};

// A PC file that passed the checks an upload makes before it stages anything.
struct UploadSource
{
    QByteArray phoneName; // the file's name in Windows-1251
    qint64 stagedLength; // what the Length header will announce
};

// The checks an upload makes before anything is staged or sent: the source is a
// file, its name has Windows-1251 codes and fits the first packet, and its staged
// length fits the Length header. Nothing when one fails; *refusal says which.
std::optional<UploadSource> inspectUploadSource(const QString &localPath, Refusal *refusal);

// The phone's file system as seen over OBEX. Owns PathStack, which always names
// the phone's current folder; every request reaches the phone through the transport.
// Names are the phone's own bytes (Windows-1251).
class PhoneFiles
{
public:
    static constexpr char RootEntry[] = "Root";

    // link: its monitor. All four must outlive the files.
    PhoneFiles(SerialLine &link, ObexTransport &transport, TransferEvents &events, UploadQuestion &question);

    const QList<QByteArray> &pathStack() const { return PathStack; }
    // "Mobile:\" and every PathStack entry followed by a backslash.
    QString pathLine() const;

    // The end of the connect procedure: the phone stands in its root folder.
    FolderListing enterRootAndRefresh();

    // Into a child folder; PathStack grows only when the phone agrees.
    bool ObexSetPath(const QByteArray &name);
    // To the parent folder; PathStack shrinks only when the phone agrees. True once the
    // answer is read (a link that fails throws LinkLost instead).
    bool ObexSetPathUp();
    // Back up to depth entries below the root; nothing once there, else the folder the
    // phone would not leave or enter again. In BFB one parent SETPATH per level; in plain
    // OBEX, where no recording shows a parent SETPATH, to the root and down again.
    std::optional<QByteArray> climbTo(qsizetype depth);

    // The listing text of the current folder; also reads the memory figures.
    QByteArray GetFolderListing();
    // The bare continuation request; the phone's answer (a link that fails throws LinkLost).
    QByteArray RequestNextPart();
    FolderListing RefreshListing();

    // The content of a file in the current folder, or nothing when the phone
    // does not deliver it whole.
    std::optional<QByteArray> GetFile(const QByteArray &name);
    // The same download handed to sink piece by piece as it arrives; true when the
    // phone delivered the file whole and sink took every piece.
    bool GetFile(const QByteArray &name, const ObexResponse::DataSink &sink);
    // Whether the phone answered the last download's request with Not Found.
    bool fileWasMissing() const { return m_fileMissing; }

    // The same download taken as far as its reader needs: the GET and its first answer
    // here, each further answer through nextDownloadPart while the state is Open, sink
    // taking the data as it arrives. One at a time, and nothing else is sent while it
    // is open: it ends by its last answer or by stopDownload.
    DownloadState startDownload(const QByteArray &name, const ObexResponse::DataSink &sink);
    DownloadState nextDownloadPart();
    // Ends an open download with an ABORT. A phone may answer with the piece it was
    // sending before its answer to the ABORT: that piece is the file's next data, and
    // sink takes it. A phone that refuses the ABORT is read on to the end. Whole when
    // the file came whole all the same.
    DownloadState stopDownload();
    bool downloadOpen() const { return m_openDownload.has_value(); }

    // Makes the folder and enters it (PathStack follows only on success).
    bool MakeFolder(const QByteArray &name);
    // Make the folder, then step back up only if it was made.
    bool makeFolderAndReturn(const QByteArray &name);
    DeleteResult DeleteObject(const QByteArray &name);

    // Renames or moves a file or folder with the phone's move command. Both are
    // paths from the root (names in Windows-1251); the current folder stays as it is.
    MoveResult moveObject(const QList<QByteArray> &from, const QList<QByteArray> &to);

    // Uploads a PC file into the current folder under its own name, or as phoneName
    // (Windows-1251) when one is given. Over BFB the file is staged first; in plain OBEX
    // it is read as it goes, and a file that changes meanwhile is not finished (the
    // upload is aborted, NotSent with Refusal::SourceChanged).
    PutResult PutFile(const QString &localPath, const QByteArray &phoneName = {});
    // Uploads content held in memory into the current folder as name (Windows-1251):
    // the same packets as PutFile of such a file, no working file.
    PutResult putData(const QByteArray &name, const QByteArray &content);

    // The largest packet the phone's CONNECT answer announced, for the requests that
    // fill packets; nothing keeps the program's own sizes.
    void setPhoneMaxPacket(std::optional<int> size) { m_maxPacket = size; }
    std::optional<int> phoneMaxPacket() const { return m_maxPacket; }

    // While set, uploads do not ask the size question: it was asked already.
    void setSizeQuestionAsked(bool asked) { m_sizeQuestionAsked = asked; }

    // Where the staging file "temp.tmp" is written; WorkingFiles::directory() unless set.
    void setWorkingDirectory(const QString &directory) { m_workingDirectory = directory; }

    // Why the last upload or move stopped on the PC before anything was sent; cleared
    // by reading it. Names too long for a request are the caller's to check: such a
    // request is not sent and reports nothing.
    std::optional<Refusal> takeRefusal();

    // The records of a staged (BFB) upload under name, cut to the phone's packet limit;
    // nothing when the name leaves no room for file bytes or passes MaxUploadName.
    std::optional<Staging::Layout> uploadLayout(const QByteArray &name) const;
    // Whether an upload under name can be sent on this link.
    bool uploadNameFits(const QByteArray &name) const;
    // The bytes of a PC file that one plain-OBEX upload packet carries: the phone's
    // packet (255 when it announced none) less the opcode, the length and the header.
    int plainPiece() const;

    // Asks for the total and free memory; true when the phone gave both figures.
    bool readMemoryFigures();
    // Figures of the last successful memory queries, in bytes.
    std::optional<quint32> totalMemory() const { return m_total; }
    std::optional<quint32> freeMemory() const { return m_free; }

private:
    struct Collected
    {
        QByteArray lastResponse;
        int packets;
    };
    struct OpenDownload
    {
        ObexResponse::GetDataCollector collector;
        int packets = 0;
    };

    void refuse(Refusal why) { m_lastRefusal = why; }
    // Sends a request that puts the phone into the folder name (SETPATH, or making it);
    // PathStack follows on success. False for no request (a name too long).
    bool goesInto(const std::optional<QByteArray> &request, const QByteArray &name);
    // Takes one response of a GET into collector and reports it (packets counts them);
    // true while the phone answers Continue and the collector takes more.
    bool takePart(const QByteArray &response, ObexResponse::GetDataCollector &collector, PhoneOperation operation,
                  int &packets);
    // Takes the first response and every further packet while the phone answers
    // Continue, reporting each; returns the last response and the count.
    Collected collectParts(QByteArray response, ObexResponse::GetDataCollector &collector, PhoneOperation operation);
    // The open download takes response: Open while more is to come, else its end.
    DownloadState takeDownloadPart(const QByteArray &response);
    DownloadState endDownload(DownloadState state);
    // From the staged records on: the length check, the size question and the packets.
    PutResult sendStaged(QIODevice &staging, const QByteArray &name, qint64 sourceLength, Staging::Layout layout);
    PutResult sendStagingFile(QIODevice &staging, const QByteArray &name, qint64 stagingLength, Staging::Layout layout);
    // Plain OBEX: the packets read from source as they go. unchanged: whether the source
    // is still what it was when the upload started.
    PutResult sendPlain(QIODevice &source, const QByteArray &name, qint64 sourceLength,
                        const std::function<bool()> &unchanged);
    // Ends an upload that cannot be finished with an ABORT; NotSent with why.
    PutResult abortUpload(Refusal why);
    bool plainObex() const;

    SerialLine &m_link;
    ObexTransport &m_transport;
    TransferEvents &m_events;
    UploadQuestion &m_question;
    QList<QByteArray> PathStack;
    QString m_workingDirectory;
    bool m_sizeQuestionAsked = false;
    std::optional<quint32> m_total;
    std::optional<quint32> m_free;
    std::optional<Refusal> m_lastRefusal;
    bool m_fileMissing = false;
    std::optional<OpenDownload> m_openDownload;
    std::optional<int> m_maxPacket;
};
