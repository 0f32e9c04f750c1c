#pragma once

#include "linkchoice.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

enum ExitCode {
    Success = 0,
    Refused = 1, // the phone refused, or a local file problem
    UsageError = 2,
    LinkError = 3, // port, handshake, time-out or broken framing
};

// One command with its arguments: from the command line, a batch file or the prompt.
struct Command
{
    QString name;
    QStringList operands;
    bool recursive = false; // get -r, put -r
    bool deleteExtra = false; // backup --delete
    bool dryRun = false; // backup --dry-run
};

// The tool's options and the commands given on the command line.
struct Options
{
    int port = 0; // 0: --device names the port
    QString device;
    bool rts = false;
    bool yes = false;
    bool verify = false; // --verify: every copy read again and compared
    int speed = 57600;
    LinkChoice link = LinkChoice::PlainFirst; // --link
    QString trace; // --trace FILE: every byte of the line; empty: none
    QString batchFile; // -b FILE; "-" is standard input; empty: no batch
    bool keepGoing = false; // -k: a failed command does not end a batch
    QList<Command> commands; // separated by ";" words
};

extern const char *const HelpText;
// The commands of the prompt and of batch files, for "help".
extern const char *const CommandHelpText;

// Prints the problem and the hint to --help; the usage exit status.
int usage(const QString &problem);

// The exit status when the run ends here (help, usage error).
std::optional<int> parseCommandLine(const QStringList &arguments, Options *options);

// A command from its words (name first); *error says what is wrong otherwise.
// Options of a command follow its name: -r, --recursive, --delete, --dry-run; "--" ends them.
std::optional<Command> parseCommand(const QStringList &words, QString *error);

// The words of a line as a shell splits them: quotes ('...', "...") and backslashes
// keep spaces in a word. Nothing, with *error set, for an unfinished quote.
std::optional<QStringList> splitLine(const QString &line, QString *error);

// Whether a command needs the phone (all but the local ones: pwd, lcd, lpwd, help, exit).
bool needsPhone(const QString &name);
