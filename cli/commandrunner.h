#pragma once

#include "commandline.h"
#include "phonepath.h"

#include <optional>

struct TreeSummary;

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

    // The command's exit status: LinkError after a fatal link error, which ends the run.
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
    // The same for a file or folder (never the root folder, which atRoot says); nothing,
    // with *status the exit status, otherwise.
    std::optional<PhonePath> entryPath(const QString &text, const QString &atRoot, int *status);
    // Prints what stopped the command, "<action>: <reason>", and returns the exit
    // status (Success for Done, LinkError after a lost link): refused is what the
    // phone's refusal of the operation itself means, target the phone path the
    // command names.
    int failed(const QString &action, const PhoneResult &result, const QString &refused = {},
               const PhonePath &target = {});
    // Why the phone did not open a folder on the way to target: missing or refused.
    QString folderProblem(const PhoneResult &result, const PhonePath &target);
    // Whether the names fit their requests; the refusal printed otherwise.
    bool foldersSendable(const PhonePath &folder);
    bool nameSendable(const PhonePath &path, PhoneSession::NameUse use);
    // The summary printed, or the lost link; the exit status.
    int treeStatus(const QString &command, const TreeSummary &summary, bool backup);

    PhoneSession &m_session;
    TerminalEvents &m_events;
    ProgressMeter &m_meter;
    const Options &m_options;
    PhonePath m_folder;
    bool m_connected = false;
    bool m_finished = false;
};
