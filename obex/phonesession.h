#pragma once

#include "linkchoice.h"
#include "listing.h"
#include "phoneresult.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QString>

#include <functional>
#include <memory>
#include <optional>

class Checksum;
class PhoneFiles;
struct PhoneFamily;
enum class DownloadState;
class BfbLink;
class SerialLine;
class QIODevice;

// A place on the phone: its names from the root folder down, each as the phone's
// bytes (Windows-1251); the root folder is the empty path. Typed names become phone
// names through PhoneSession::checkName, phone bytes text through PhoneSession::text.
using PhonePath = QList<QByteArray>;

// The one way from a front end to the phone: the link with its port settings, the
// connect procedure, the phone's limits and the phone's files. Connects once; the
// operations then take folders as PhonePaths, move the phone there first, and return a
// PhoneResult. A fatal link error comes back as PhoneResult::Code::LinkLost, and so does
// every operation after it until the next connect; only a stop asked for
// (setStopRequest) still throws LinkInterrupted.
class PhoneSession
{
public:
    struct Info
    {
        QString model; // "Siemens " and the model characters; empty when unknown
        std::optional<quint32> totalMemory; // bytes
        std::optional<quint32> freeMemory;
        LinkMode linkMode; // how the link came up
        int lineRate = 0; // baud
        std::optional<int> maxPacket; // the largest packet the phone takes, when it said
        // Plain OBEX: the interface the phone named, and whether the session leaves the
        // phone in OBEX mode (on USB, or found in it) until it is switched off.
        PhoneInterface phoneInterface = PhoneInterface::Unknown;
        bool foundInObex = false;
        bool leftInObex = false;
    };

    // What a name is sent for: its limit.
    enum class NameUse {
        Folder, // enter or make a folder
        File, // get or delete
        Upload, // upload, and get or delete: nothing is made that could not be fetched back
    };

    // Which listing of a folder serves. The session keeps the last listing read of each
    // folder; an operation that may change what the phone holds forgets those of the
    // folders it names (a move all of them), whatever it came to, and so does a connect.
    enum class Listing {
        Recent, // the connect procedure's root listing while nothing else was sent since
        Known, // the one kept, sent for nothing; else as Recent
        FromPhone, // always asked for
    };

    // Whether a refused delete is told from a missing name by listing the folder.
    enum class MissingCheck {
        ByListing,
        None, // the answer alone decides; nothing more is sent
    };

    // The root folder's listing, inside the connect procedure.
    using RootListed = std::function<void(const FolderListing &)>;

    // crc and the events must outlive the session. A front end hands over the parts of
    // the events it shows (ConnectEvents, TransferEvents, UploadQuestion), or one
    // listener to all of them.
    PhoneSession(Checksum &crc, ConnectEvents &connect, TransferEvents &transfer, UploadQuestion &question);
    PhoneSession(Checksum &crc, PhoneEvents &events);
    ~PhoneSession();
    PhoneSession(const PhoneSession &) = delete;
    PhoneSession &operator=(const PhoneSession &) = delete;

    // The default of the receive time-out per byte.
    static const int DefaultTimeoutMs;
    // The bytes of a PC file that one upload packet carries at most.
    static const int UploadPieceSize;
    // The longest path the move command carries, in UTF-16 units with its slashes.
    static const int MaxMovePathUnits;

    // The per-user folder of port links: a symlink "comN" there (for example
    // com1 -> /dev/ttyUSB0) maps port N to a device.
    static QString portsFolder();
    // The device port N stands for: the link "comN" in portsFolder() when present, else
    // /dev/ttyS<N-1>. Empty for numbers below 1.
    static QString devicePathForPort(int number);

    // The port and the link, before connect.
    void setPortNumber(int number);
    void setDevicePath(const QString &path);
    QString devicePath() const;
    // The device of the last port opened (a port number resolved).
    QString openedDevicePath() const;
    void setRts(bool raised);
    bool rts() const;
    // A byte trace of the line into path; false with *reason when it cannot be written.
    bool traceTo(const QString &path, QString *reason);
    // The rate the connect procedure asks the phone for: 19200, 38400, 57600 (the
    // start), 115200, or 230400 in plain OBEX; false for another rate, which leaves the
    // setting as it was (see PhoneConnector::setSpeed).
    bool setSpeed(int baud);
    // Which way the connect procedure tries first (see LinkChoice).
    void setLinkChoice(LinkChoice choice);
    // Pauses and the receive time-out (tests and the mount's tests shorten them).
    void setPauseScale(double scale);
    void setTimeoutInterval(int ms);
    // Every wait for the phone ends with LinkInterrupted once stopRequested() says so.
    void setStopRequest(std::function<bool()> stopRequested);
    bool isPortOpen() const;
    // Blocks the thread for ms milliseconds (scaled like every pause).
    void pause(int ms);
    // Verification: every download is read until two reads agree (three reads at most)
    // and every replace() is read back and compared with what was sent; a copy that
    // differs is tried once more, then the operation ends VerifyFailed with nothing
    // wrong left under its name. Plain OBEX carries no checksum; BFB checks every packet.
    void setVerify(bool verify);
    bool verifies() const;
    // Where the upload's staging file "temp.tmp" is written.
    QString workingDirectory() const;
    void setWorkingDirectory(const QString &directory);

    // The connect procedure with the root listing: Done, NotConnected (its events said
    // why) or LinkLost; while the link is up, it closes the link instead (NotConnected).
    PhoneResult connect(const RootListed &rootListed = {});
    // Leaves the phone as it was found (OBEX DISCONNECT, the start rate, AT mode) and
    // closes the port. Bounded, never throws.
    void close();
    // The same leaving in a child process that holds the port until the phone is back
    // in AT mode; returns at once (see PhoneConnector::closeInBackground).
    void closeInBackground();
    // The leaving comes next (the last operations may go first): a new session on the
    // port waits from now on.
    void markLeaving();
    Info info() const;
    // The folder the phone stands in, from the root.
    PhonePath currentFolder() const;

    // The one check of a name: whether it can go to the phone for use and come back the
    // same. Done, or NotSent with the refusal (NameNotEncodable, or a name too long).
    PhoneResult checkName(const QByteArray &name, NameUse use) const;
    // The same for a typed name, with *name its phone bytes when it passes.
    PhoneResult checkName(const QString &typed, NameUse use, QByteArray *name = nullptr) const;
    // A typed name as phone bytes: Done, or NotSent (NameNotEncodable).
    static PhoneResult encodeName(const QString &typed, QByteArray *name);
    // A typed name that can be sent for use: not empty, and passes checkName.
    bool canName(const QString &name, NameUse use) const;
    // Phone bytes (a name, a listing) as text. A byte without a character (0x98) shows
    // as U+FFFD.
    static QString text(const QByteArray &phoneBytes);
    // Whether the phone takes two names for one: it compares them without regard to
    // case, Cyrillic letters included.
    static bool sameName(const QString &a, const QString &b);
    static bool sameName(const QByteArray &a, const QByteArray &b);
    // Whether both paths fit the move command.
    static bool movePathsFit(const QList<QString> &from, const QList<QString> &to);
    // The longest PC file one upload can carry.
    static qint64 largestUpload();
    // The checks an upload of a PC file makes before anything is sent, its name's
    // checkName for Upload among them: Done, or NotSent with the refusal. *large: the upload asks the large-upload question; *phoneName:
    // the name it gets on the phone.
    PhoneResult checkUpload(const QString &localPath, bool *large, QByteArray *phoneName = nullptr) const;

    // Moves the phone into folder (Done, FolderRefused, NotSent for a name too long).
    PhoneResult enter(const PhonePath &folder);
    PhoneResult list(const PhonePath &folder, FolderListing *listing, Listing source = Listing::Recent);
    // The row of name (byte for byte) in folder's Known listing; nothing when the folder
    // holds no such entry or could not be listed.
    std::optional<ListingRow> row(const PhonePath &folder, const QByteArray &name);
    // Takes a download's data piece by piece as it arrives; false when it cannot (a full
    // disk), which stops the transfer.
    using DataSink = std::function<bool(QByteArrayView piece)>;
    // What an upload sent, opened for reading it back; nullptr when it cannot be read.
    using OpenSource = std::function<std::unique_ptr<QIODevice>()>;

    // NotFound when the phone does not hold the file, Refused when it does not deliver
    // it whole.
    PhoneResult get(const PhonePath &folder, const QByteArray &name, QByteArray *content);
    // The file handed to sink piece by piece as it arrives; Refused also when sink
    // refused a piece (the sink knows why).
    PhoneResult get(const PhonePath &folder, const QByteArray &name, const DataSink &sink);

    // The same download taken only as far as its reader needs: the GET and its first
    // answer here, one more answer for each continueDownload while downloadOpen(), and
    // stopDownload to end it early (an ABORT). Each returns what get would at the end,
    // Done while more is to come. Any other operation first reads an open download to
    // its end, sink still taking its data.
    // With verification the whole file is read, as get reads it, before sink takes it.
    PhoneResult openDownload(const PhonePath &folder, const QByteArray &name, const DataSink &sink);
    PhoneResult continueDownload();
    // Done also when the phone refused the ABORT and was read to the end; *whole: the
    // file came whole all the same.
    PhoneResult stopDownload(bool *whole = nullptr);
    bool downloadOpen() const;
    PhoneResult put(const QString &localPath, const PhonePath &folder);
    // Uploads content held in memory as folder/name.
    PhoneResult put(const PhonePath &folder, const QByteArray &name, const QByteArray &content);
    PhoneResult remove(const PhonePath &folder, const QByteArray &name, MissingCheck check = MissingCheck::ByListing);
    // Makes the folder name inside folder; the phone stays in folder.
    PhoneResult makeFolder(const PhonePath &folder, const QByteArray &name);

    // Renames or moves fromFolder/fromName to toFolder/toName with the phone's move
    // command (a folder moves with its content). Done, NotFound, Exists, Refused,
    // PathTooLong, or NotSent for a name without Windows-1251 character.
    PhoneResult move(const PhonePath &fromFolder, const QByteArray &fromName, const PhonePath &toFolder,
                     const QByteArray &toName);

    // Like move, but what stands under toName (compared as the phone compares, without
    // regard to case) is replaced and never lost: it is moved aside to a hidden name,
    // the source takes the name, then the aside is deleted; when the source cannot
    // take the name, the aside goes back. Refused when the phone refuses the move
    // command: then nothing was moved or deleted (copy and delete instead). An empty
    // folder may be replaced too.
    PhoneResult moveReplacing(const PhonePath &fromFolder, const QByteArray &fromName, const PhonePath &toFolder,
                              const QByteArray &toName);

    // Like moveReplacing, but where the phone refuses the move command a file is copied
    // instead (downloaded into a temporary file on the PC, uploaded by replace) and then
    // deleted; a folder is not copied (Refused). NotSent (CopyUnwritable) when the
    // temporary file cannot be made.
    PhoneResult moveOrCopy(const PhonePath &fromFolder, const QByteArray &fromName, const PhonePath &toFolder,
                           const QByteArray &toName);

    // Uploads so that the new bytes end up alone under the name, where the phone holds
    // it already. A family that replaces a file it is sent again (x75) gets one PUT over
    // the name; on the others, which append, it is uploaded under a hidden name first,
    // then put in place by moveReplacing. A phone that refuses moves gets a delete, then
    // the upload (OldFileLost when that upload fails). A name the folder does not hold
    // gets a plain upload; with verification the copy is read back (see setVerify), under
    // a hidden name first where moves put it in place (not on an x75).
    // names: the folder's entries, when a listing has them already (the folder is
    // listed otherwise).
    PhoneResult replace(const QString &localPath, const PhonePath &folder, const QList<QByteArray> *names = nullptr);
    // The same with the PC file sent as phoneName (Windows-1251).
    PhoneResult replace(const QString &localPath, const PhonePath &folder, const QByteArray &phoneName,
                        const QList<QByteArray> *names = nullptr);
    PhoneResult replace(const PhonePath &folder, const QByteArray &name, const QByteArray &content,
                        const QList<QByteArray> *names = nullptr);

    // Asks for the memory figures that info() gives; Refused when the phone gave
    // either no answer.
    PhoneResult readMemory();
    // The figures of info() brought up to date: asked for again only when an operation
    // since they were read may have changed them.
    PhoneResult updateMemory();

private:
    friend struct PhoneSessionTestAccess; // tests reach the link and the files below
    struct Parts;

    SerialLine &link();
    BfbLink &bfb();
    PhoneFiles &files();
    using Upload = std::function<PhoneResult(const QByteArray &phoneName)>;

    // Runs an operation; a lost link in it becomes the result of the outermost one. An
    // open download is read to its end first, unless the operation takes it on.
    enum class OpenDownload {
        Finish,
        TakeOn,
    };
    template<typename Operation>
    PhoneResult guarded(Operation operation, OpenDownload open = OpenDownload::Finish);
    // The same for an operation that may change what the phone holds.
    // It forgets the listing of folder, and those of the entry name in it and inside
    // that; without a folder, every listing.
    template<typename Operation>
    PhoneResult changing(const std::optional<PhonePath> &folder, const QByteArray &name, Operation operation);
    void forgetListings(const std::optional<PhonePath> &folder, const QByteArray &name);
    // What the open download came to, once its last answer is in.
    PhoneResult downloadEnded(DownloadState state);
    // Up to the deepest folder shared with the path, then down into the rest.
    PhoneResult goTo(const PhonePath &folder);
    // Before a request other than the listing: the phone moved into folder, where the
    // connect procedure's listing is then no longer the recent one.
    PhoneResult readyIn(const PhonePath &folder);
    // The same after checking name for use.
    PhoneResult readyFor(const PhonePath &folder, const QByteArray &name, NameUse use);
    PhoneResult replaceWith(const PhonePath &folder, const QByteArray &name, qint64 stagedLength, const Upload &upload,
                            const OpenSource &open, const QList<QByteArray> *names);
    // A download that did not come whole: NotFound when the phone said it has no such file.
    PhoneResult notDelivered() const;
    // One download, unverified: opened, then taken to its end.
    PhoneResult getOnce(const PhonePath &folder, const QByteArray &name, const DataSink &sink);
    PhoneResult startDownload(const PhonePath &folder, const QByteArray &name, const DataSink &sink);
    // Done when folder/name reads back as the source's bytes, VerifyFailed when it does not.
    PhoneResult readsBack(const PhonePath &folder, const QByteArray &name, const OpenSource &open);
    // Deletes the old file an earlier replace set aside under leftover; AsideNotDeleted
    // when the phone refuses.
    PhoneResult clearLeftover(const PhonePath &folder, const QByteArray &leftover);
    // Done when the folder holds name as an empty file, else NotFound: an empty answer to
    // a GET in plain OBEX is only a file once the listing shows one.
    PhoneResult emptyFileListed(const PhonePath &folder, const QByteArray &name);
    // The family of the phone connected, by its model or else by its CONNECT answer.
    const PhoneFamily &family() const;
    // The folder's entry names, or nothing (and *result says why) when the phone would not list it.
    std::optional<QList<QByteArray>> entryNames(const PhonePath &folder, PhoneResult *result);
    PhoneResult moveOnto(const PhonePath &fromFolder, const QByteArray &fromName, const PhonePath &toFolder,
                         const QByteArray &toName, const QByteArray &existing, const QList<QByteArray> &names);

    // The link, the connect procedure and the files, with what the session knows of them.
    std::unique_ptr<Parts> m_parts;
};
