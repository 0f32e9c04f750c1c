#pragma once

#include "listing.h"
#include "phoneevents.h"
#include "phoneresult.h"
#include "staging.h"

#include <QByteArray>
#include <QList>
#include <QString>

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

    // Makes the folder and enters it (PathStack follows only on success).
    bool MakeFolder(const QByteArray &name);
    // Make the folder, then step back up only if it was made.
    bool makeFolderAndReturn(const QByteArray &name);
    DeleteResult DeleteObject(const QByteArray &name);

    // Renames or moves a file or folder with the phone's move command. Both are
    // paths from the root (names in Windows-1251); the current folder stays as it is.
    MoveResult moveObject(const QList<QByteArray> &from, const QList<QByteArray> &to);

    // Uploads a PC file into the current folder under its own name, or as phoneName
    // (Windows-1251) when one is given.
    PutResult PutFile(const QString &localPath, const QByteArray &phoneName = {});
    // Uploads content held in memory into the current folder as name (Windows-1251),
    // staged in memory: the same packets as PutFile of such a file, no working file.
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

    // The records of an upload under name, cut to the phone's packet limit; nothing
    // when the name leaves no room for file bytes or passes MaxUploadName.
    std::optional<Staging::Layout> uploadLayout(const QByteArray &name) const;

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

    void refuse(Refusal why) { m_lastRefusal = why; }
    // Takes the first response and every further packet while the phone answers
    // Continue, reporting each; returns the last response and the count.
    Collected collectParts(QByteArray response, ObexResponse::GetDataCollector &collector, PhoneOperation operation);
    // The request and every response of a file download; true when it came whole.
    bool download(const QByteArray &name, ObexResponse::GetDataCollector &collector);
    // From the staged records on: the length check, the size question and the packets.
    PutResult sendStaged(QIODevice &staging, const QByteArray &name, qint64 sourceLength, Staging::Layout layout);
    PutResult sendStagingFile(QIODevice &staging, const QByteArray &name, qint64 stagingLength, Staging::Layout layout);

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
    std::optional<int> m_maxPacket;
};
