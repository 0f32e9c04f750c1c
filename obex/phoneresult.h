#pragma once

#include "phoneevents.h"

#include <QByteArray>

#include <optional>

// Why an operation did nothing: found on the PC before anything was sent, or (a
// source that changed) while it was sent, so that nothing of it was kept.
enum class Refusal {
    SourceMissing,
    SourceUnreadable,
    SourceChanged, // a plain-OBEX upload read as it goes: the file changed meanwhile
    StagingUnwritable,
    StagingTooLarge,
    CopyUnwritable, // the temporary file a copy on the phone goes through
    FolderNameTooLong, // enter or make folder: 122 characters
    FileNameTooLong, // get or delete: 123 characters
    UploadNameTooLong, // upload: 239 characters
    NameNotEncodable,
    UnsafeLocalName,
};

// What an operation of PhoneSession came to: a code and what a front end needs to
// word it (the refusal found on the PC, the folder the phone would not enter, the name
// the old file was kept under, the failed connect step, the link failure). The one way
// outcomes travel.
class PhoneResult
{
public:
    enum class Code {
        Done,
        NotSent, // stopped on the PC before anything was sent: refusal() says why, when known
        Declined, // the large-upload question was answered no; nothing was sent
        // the connect procedure failed (connectFailure() says where) or closed the link;
        // an operation without a link up (nothing was sent)
        NotConnected,
        FolderRefused, // the phone would not enter a folder of the path: name() names it
        Refused, // the phone refused the operation itself
        Full, // the phone refused an upload: its memory is full
        NotFound, // remove: the name is missing; move: the source, or the destination's folder
        Exists, // move: the destination exists
        PathTooLong, // move: a path is too long for the move command; nothing was sent
        // replace on a phone that refuses moves: the old file was deleted and the new
        // one did not arrive
        OldFileLost,
        // replace: the new file could not take the name and the old one could not be
        // moved back: it stands under name() in the same folder
        OldSetAside,
        // replace, or a move onto a name: done, but the phone refused to delete the old
        // file, which stands under name() in the same folder
        OldNotDeleted,
        // replace, or a move onto a name: nothing was done, because the phone refuses to
        // delete name(), the old file an earlier one set aside (one such file per name,
        // never more)
        AsideNotDeleted,
        // with verification: the copy did not read back the same, and not when tried again
        // either. Nothing wrong is left under its name, unless the phone refused to delete
        // the wrong copy: then name() gives it
        VerifyFailed,
        LinkLost, // the phone fell silent or broke the framing: loss(); the port is closed
    };

    PhoneResult() = default;
    PhoneResult(Code code) : m_code(code) {}

    static PhoneResult refusedOnPc(Refusal refusal)
    {
        PhoneResult result(Code::NotSent);
        result.m_refusal = refusal;
        return result;
    }
    static PhoneResult named(Code code, const QByteArray &name)
    {
        PhoneResult result(code);
        result.m_name = name;
        return result;
    }
    static PhoneResult notConnected(ConnectFailure failure, PortError portError)
    {
        PhoneResult result(Code::NotConnected);
        result.m_connectFailure = failure;
        result.m_portError = portError;
        return result;
    }
    static PhoneResult linkLost(LinkLoss loss)
    {
        PhoneResult result(Code::LinkLost);
        result.m_loss = loss;
        return result;
    }

    Code code() const { return m_code; }
    bool ok() const { return m_code == Code::Done; }
    std::optional<Refusal> refusal() const { return m_refusal; }
    // FolderRefused: the folder; OldSetAside, OldNotDeleted, AsideNotDeleted: the old
    // file's hidden name; VerifyFailed: a wrong copy left on the phone.
    QByteArray name() const { return m_name; }
    LinkLoss loss() const { return m_loss; }
    // NotConnected: the step of the connect procedure that failed (nothing when the
    // link was closed instead), and why the port did not open (PortUnavailable).
    std::optional<ConnectFailure> connectFailure() const { return m_connectFailure; }
    PortError portError() const { return m_portError; }

    friend bool operator==(const PhoneResult &result, Code code) { return result.m_code == code; }

private:
    Code m_code = Code::Done;
    std::optional<Refusal> m_refusal;
    QByteArray m_name;
    LinkLoss m_loss = LinkLoss::Timeout;
    std::optional<ConnectFailure> m_connectFailure;
    PortError m_portError = PortError::None;
};
