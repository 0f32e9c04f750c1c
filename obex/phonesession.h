#pragma once

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
        NotFound, // move: the source, or the destination's folder, is missing
        Exists, // move: the destination exists
        PathTooLong, // move: a path is too long for the move command; nothing was sent
    };

    struct Info
    {
        QString model; // "Siemens " and the model characters; empty when unknown
        std::optional<quint32> totalMemory; // bytes
        std::optional<quint32> freeMemory;
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

    // Asks for the memory figures that info() gives; Refused when the phone gave
    // either no answer.
    Status readMemory();

    QByteArray refusedFolder() const { return m_refusedFolder; }

private:
    // Up to the deepest folder shared with the path, then down into the rest.
    Status goTo(const QList<QByteArray> &folder);
    static Status putStatus(PutResult result);

    PhoneLink m_link;
    PhoneConnector m_connector;
    PhoneFiles m_files;
    // The connect procedure's listing serves the first listing of the root.
    std::optional<FolderListing> m_freshRootListing;
    QByteArray m_refusedFolder;
};
