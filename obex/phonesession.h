#pragma once

#include "chosentransport.h"
#include "handshake.h"
#include "phonefiles.h"
#include "phonelink.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <functional>
#include <optional>

class Checksum;

// One connection to the phone for many operations: the link, the connect procedure
// and the phone's files. Connects once; the operations then take folders as paths
// from the root folder (names in Windows-1251) and move the phone there first.
// A fatal link error throws LinkLost out of any call (see PhoneLink).
class PhoneSession
{
public:
    enum class Status {
        Done,
        FolderRefused, // the phone would not enter a folder of the path: refusedFolder()
        Refused, // the phone refused the operation itself
        NotSent, // stopped on the PC before anything was sent; an event said why
        NotFound, // remove: the name is missing; move: the source, or the destination's folder
        Exists, // move: the destination exists
        PathTooLong, // move: a path is too long for the move command; nothing was sent
        // replace on a phone that refuses moves: the old file was deleted and the new
        // one did not arrive
        OldFileLost,
        // replace: the new file could not take the name and the old one could not be
        // moved back: it stands under setAsideName() in the same folder
        OldSetAside,
    };

    struct Info
    {
        QString model; // "Siemens " and the model characters; empty when unknown
        std::optional<quint32> totalMemory; // bytes
        std::optional<quint32> freeMemory;
        LinkMode linkMode = LinkMode::Bfb; // how the link came up
        int lineRate = 0; // baud
        std::optional<int> maxPacket; // the largest packet the phone takes, when it said
    };

    // The root folder's listing, inside the connect procedure.
    using RootListed = std::function<void(const FolderListing &)>;

    // crc and events must outlive the session.
    PhoneSession(Checksum &crc, PhoneEvents &events);

    PhoneLink &link() { return m_link; }
    const PhoneLink &link() const { return m_link; }
    PhoneFiles &files() { return m_files; }

    // The connect procedure with the root listing; while the link is up, it closes
    // the link instead. True when the link came up.
    bool connect(const RootListed &rootListed = {});
    // The rate the connect procedure asks the phone for (see PhoneConnector::setSpeed).
    bool setSpeed(int baud) { return m_connector.setSpeed(baud); }
    // Which way the connect procedure tries first (see LinkChoice).
    void setLinkChoice(LinkChoice choice) { m_connector.setLinkChoice(choice); }
    // Leaves the phone as it was found and closes the port (see PhoneConnector::close).
    void close() { m_connector.close(); }
    Info info() const;

    // Moves the phone into folder (Done or FolderRefused).
    Status enter(const QList<QByteArray> &folder) { return goTo(folder); }
    Status list(const QList<QByteArray> &folder, FolderListing *listing);
    Status get(const QList<QByteArray> &folder, const QByteArray &name, QByteArray *content);
    Status put(const QString &localPath, const QList<QByteArray> &folder);
    // Uploads content held in memory as folder/name; NotSent when name is too long.
    Status put(const QList<QByteArray> &folder, const QByteArray &name, const QByteArray &content);
    Status remove(const QList<QByteArray> &folder, const QByteArray &name);
    // Makes the folder name inside folder; the phone stays in folder.
    Status makeFolder(const QList<QByteArray> &folder, const QByteArray &name);

    // Renames or moves fromFolder/fromName to toFolder/toName with the phone's move
    // command (a folder moves with its content). Done, NotFound, Exists, Refused,
    // PathTooLong, or NotSent for a name without Windows-1251 character.
    Status move(const QList<QByteArray> &fromFolder, const QByteArray &fromName, const QList<QByteArray> &toFolder,
                const QByteArray &toName);

    // Like move, but what stands under toName (compared as the phone compares, without
    // regard to case) is replaced and never lost: it is moved aside to a hidden name,
    // the source takes the name, then the aside is deleted; when the source cannot
    // take the name, the aside goes back. Refused when the phone refuses the move
    // command: then nothing was moved or deleted (copy and delete instead). An empty
    // folder may be replaced too.
    Status moveReplacing(const QList<QByteArray> &fromFolder, const QByteArray &fromName,
                         const QList<QByteArray> &toFolder, const QByteArray &toName);

    // Uploads so that the new bytes end up alone under the name, where the phone holds
    // it already (phones append to a file they are sent again): uploaded under a hidden
    // name first, then in place by moveReplacing. A phone that refuses moves gets a
    // delete, then the upload (OldFileLost when that upload fails). A name the folder
    // does not hold gets a plain upload. names: the folder's entries, when a listing
    // has them already (the folder is listed otherwise).
    Status replace(const QString &localPath, const QList<QByteArray> &folder, const QList<QByteArray> *names = nullptr);
    Status replace(const QList<QByteArray> &folder, const QByteArray &name, const QByteArray &content,
                   const QList<QByteArray> *names = nullptr);
    // Where OldSetAside left the old file.
    QByteArray setAsideName() const { return m_setAsideName; }

    // Asks for the memory figures that info() gives; Refused when the phone gave
    // either no answer.
    Status readMemory();

    QByteArray refusedFolder() const { return m_refusedFolder; }

private:
    // Up to the deepest folder shared with the path, then down into the rest.
    Status goTo(const QList<QByteArray> &folder);
    static Status putStatus(PutResult result);
    using Upload = std::function<PutResult(const QByteArray &phoneName)>;
    Status replaceWith(const QList<QByteArray> &folder, const QByteArray &name, qint64 stagedLength,
                       const Upload &upload, const QList<QByteArray> *names);
    // The folder's entry names, or nothing when the phone would not list it.
    std::optional<QList<QByteArray>> entryNames(const QList<QByteArray> &folder, Status *status);
    Status moveOnto(const QList<QByteArray> &fromFolder, const QByteArray &fromName, const QList<QByteArray> &toFolder,
                    const QByteArray &toName, const QByteArray &existing, const QList<QByteArray> &names);

    PhoneLink m_link;
    PhoneConnector m_connector;
    ChosenTransport m_transport{m_link, m_connector};
    PhoneFiles m_files;
    // The connect procedure's listing serves the first listing of the root.
    std::optional<FolderListing> m_freshRootListing;
    QByteArray m_refusedFolder;
    QByteArray m_setAsideName;
    // The phone answered a move with a refusal: replacing deletes, then uploads.
    bool m_movesRefused = false;
};
