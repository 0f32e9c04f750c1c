#pragma once

#include "commandline.h"
#include "phonefolders.h"
#include "phonepath.h"

#include <optional>

class PhoneSession;
class ProgressMeter;
class TerminalEvents;

// Runs the commands of one run over one connection: each command first checks what
// it can on the PC, then wakes the phone if it needs it and nobody has yet, then
// does its work. Keeps the current phone folder.
class CommandRunner
{
public:
    CommandRunner(PhoneSession &session, TerminalEvents &events, ProgressMeter &meter, const Options &options);

    // The command's exit status. A fatal link error passes through as LinkLost.
    int run(const Command &command);
    // Connects unless connected; the exit status of a failed connection.
    int connect();
    bool connected() const { return m_connected; }
    // "exit" was run.
    bool finished() const { return m_finished; }
    QString phoneFolder() const { return displayPath(m_folder); }

private:
    int ls(const Command &command);
    int cd(const Command &command);
    int get(const Command &command);
    int getTree(const Command &command);
    int put(const Command &command);
    int putTree(const Command &command);
    int remove(const Command &command);
    int makeFolder(const Command &command);
    int move(const Command &command);
    int info();
    int backup(const Command &command);
    int changeLocalFolder(const Command &command);

    // The operand as a phone path; prints the problem otherwise.
    std::optional<PhonePath> phonePath(const QString &text);
    // Prints what a refusal means; the exit status.
    int outcome(PhoneSession::Status status, const QString &refusal);
    // Why a replacing upload of what (into folder) failed, in words.
    QString replaceFailure(PhoneSession::Status status, const QString &what, const PhonePath &folder) const;

    PhoneSession &m_session;
    TerminalEvents &m_events;
    ProgressMeter &m_meter;
    const Options &m_options;
    PhoneFolders m_phone;
    PhonePath m_folder;
    bool m_connected = false;
    bool m_finished = false;
};
