#include "commandline.h"

#include "terminalevents.h"

#include <QCommandLineParser>
#include <QHash>

#include <histedit.h>

#include <iostream>
#include <memory>

const char HelpText[] =
    R"(Usage: tarvel-cli (--port N | --device PATH) [options] COMMAND [ARGUMENTS] [; COMMAND ...]
       tarvel-cli (--port N | --device PATH) [options] shell
       tarvel-cli (--port N | --device PATH) [options] -b FILE

Works with the flash memory of a Siemens phone (the x55 to x75 families) on a
serial data cable. A run connects once (about 0.6 seconds) and then runs all
its commands.

Commands:
  ls [FOLDER]                   list a phone folder (the current one by default):
                                name, size in bytes, date, time, "folder" or "file",
                                separated by tabs, one entry a line
  cd [FOLDER]                   change the current phone folder (default: root)
  pwd                           show the current phone folder
  get PHONEFILE [LOCALPATH]     copy a phone file to the PC; LOCALPATH may be a
                                folder (default: the current folder), a device or
                                FIFO to write into, or "-" for standard output
  get -r PHONEFOLDER [LOCALPATH]
                                copy a phone folder and everything in it
  put LOCALFILE [PHONEFOLDER]   copy a PC file into a phone folder (default: the
                                current one)
  put -r LOCALFOLDER [PHONEFOLDER]
                                copy a PC folder and everything in it, making
                                the folders on the phone
  rm PHONEPATH                  delete a phone file or an empty phone folder
  mkdir PHONEFOLDER             make a phone folder (an error when the name is
                                taken, in any letter case)
  mv OLD NEW                    rename or move a phone file or folder (into NEW
                                when NEW is a folder, such as / or .., keeping
                                the name)
  info                          phone model, total and free memory (asked again
                                after a change), the link mode and rate, the
                                largest packet the phone takes
  backup LOCALDIR [--delete] [--dry-run]
                                copy the whole phone into LOCALDIR; run again, it
                                copies only the files whose size or time changed.
                                It lists the files it wrote in the record
                                LOCALDIR/.tarvel-backup. --delete removes a file
                                only when the record lists it, the phone no longer
                                has it and its size and time are still those the
                                backup wrote; nothing else in LOCALDIR is deleted.
                                --dry-run lists what would be copied and deleted
                                and changes nothing. A link in LOCALDIR where a
                                phone file or folder goes is not followed: it is
                                reported and skipped
  lcd [FOLDER]                  change the current PC folder (default: home)
  lpwd                          show the current PC folder
  shell                         a prompt with line editing and history for these
                                commands (the only command of its run)
  help                          list the commands
  exit                          end the prompt or the batch

Options:
)" TARVEL_LINK_OPTIONS_HELP R"(  --verify          check every copy: get, get -r and backup read each file
                    twice and compare; put and put -r read each file back from
                    the phone and compare it with the PC file. A copy that
                    differs is made again once; then the file counts as failed
                    and nothing wrong is left under its name on either side.
                    Plain OBEX (the default link) carries no checksum: on a
                    noisy line a file can arrive damaged without a sign. BFB
                    (--link bfb) checks every packet. Transfers take about
                    twice as long
  --yes             copy files larger than 150 kB without asking
  --trace FILE      write every byte to and from the phone to FILE, with times
                    (file contents and names included), for reporting a problem
  -b, --batch FILE  run the commands of FILE, one a line ("-": standard input);
                    empty lines and lines starting with "#" are skipped
  -k, --keep-going  go on with the next command after one that failed
  -h, --help        show this help

Several commands in one run: separate them with a ";" word, quoted for the shell,
  tarvel-cli --device /dev/ttyUSB0 cd Bitmap \; get a.bmp \; put b.bmp
Options of the tool come before the first command; -r (--recursive), --delete and
--dry-run follow their command's name, and "--" ends a command's options.
Commands run in order; the first that fails ends the run unless -k is given (at
the prompt every line runs). Lines of a batch file and of the prompt are split
into words as a shell does: "Ringing tone/a.mid" or Ringing\ tone/a.mid is one
word.

Phone paths have "/" between folders and start in the current phone folder (the
root until cd changes it), or at the root with a leading "/"; "." and ".." work
as usual. Names are stored on the phone in Windows-1251. ls escapes names: a
backslash shows as \\, a tab as \t, a line feed as \n, a carriage return as \r,
any other control character (and the byte 0x98, which has no character) as \xHH.

Progress (bytes, rate, time left) goes to standard error when it is a terminal.
Files larger than 150 kB need a confirmation: asked on the terminal, or given
with --yes in scripts. A download to a file is written to a temporary file
beside it and renamed when complete, with the phone's modification time; an
existing file of that name is replaced. get -r, put -r and backup go on after a
file that fails and end with a summary on standard output: files, bytes,
seconds, failures.

Names and paths in messages show control characters as ls does. A file name
may have at most 123 characters and a folder name 122 (the longest the phone's
requests carry); a longer one is refused before anything is sent, uploads and
renames included, so that nothing is put on the phone that cannot be fetched back.

mv uses the phone's move command as SieFS uses it with Siemens phones; it is not
yet confirmed on an M55.

Words on the command line and lines of batch files and of the prompt must be
UTF-8; a name that is not is refused before anything is sent.

Exit status (of a run with several commands, a batch or the prompt: that of the
last command run, as in a shell; "exit" keeps the status of the one before it):
  0  done, every file of a tree included
  1  the phone refused (file not found, folder not entered, ...), mkdir of a
     name that is taken, a PC file could not be read or written, or a file of
     a tree failed
  2  usage error, or a word that is not UTF-8
  3  link failure: the port cannot be opened, the phone does not answer the
     connection set-up, a time-out or a broken reply
)";

const char *const CommandHelpText =
    R"(Commands (phone paths start in the current phone folder, or at the root with "/"):
  ls [FOLDER]                        list a phone folder
  cd [FOLDER]                        change the current phone folder (default: root)
  pwd                                show the current phone folder
  get [-r] PHONEPATH [LOCALPATH]     copy a phone file (-r: a folder) to the PC
  put [-r] LOCALPATH [PHONEFOLDER]   copy a PC file (-r: a folder) to the phone
  rm PHONEPATH                       delete a phone file or an empty phone folder
  mkdir PHONEFOLDER                  make a phone folder
  mv OLD NEW                         rename or move a phone file or folder
  info                               phone model, total and free memory
  backup LOCALDIR [--delete] [--dry-run]
                                     copy the whole phone into LOCALDIR, changes only;
                                     --delete: files it wrote that the phone no longer
                                     has; --dry-run: list, change nothing
  lcd [FOLDER]                       change the current PC folder (default: home)
  lpwd                               show the current PC folder
  help                               this list
  exit                               end the session
)";

namespace {

struct Spec
{
    int minimum;
    int maximum;
    bool recursive; // takes -r
    bool backupOptions; // takes --delete and --dry-run
    bool phone;
};

const QHash<QString, Spec> &specs()
{
    static const QHash<QString, Spec> table = {
        {QStringLiteral("ls"), {0, 1, false, false, true}},    {QStringLiteral("cd"), {0, 1, false, false, true}},
        {QStringLiteral("pwd"), {0, 0, false, false, false}},  {QStringLiteral("get"), {1, 2, true, false, true}},
        {QStringLiteral("put"), {1, 2, true, false, true}},    {QStringLiteral("rm"), {1, 1, false, false, true}},
        {QStringLiteral("mkdir"), {1, 1, false, false, true}}, {QStringLiteral("mv"), {2, 2, false, false, true}},
        {QStringLiteral("info"), {0, 0, false, false, true}},  {QStringLiteral("backup"), {1, 1, false, true, true}},
        {QStringLiteral("lcd"), {0, 1, false, false, false}},  {QStringLiteral("lpwd"), {0, 0, false, false, false}},
        {QStringLiteral("help"), {0, 0, false, false, false}}, {QStringLiteral("exit"), {0, 0, false, false, false}},
        {QStringLiteral("shell"), {0, 0, false, false, true}},
    };
    return table;
}

bool validate(const Command &command, QString *error)
{
    const auto spec = specs().constFind(command.name);
    if (spec == specs().constEnd()) {
        *error = QStringLiteral("unknown command \"%1\"").arg(command.name);
        return false;
    }
    if (command.recursive && !spec->recursive) {
        *error = QStringLiteral("-r is an option of get and put only");
        return false;
    }
    if ((command.deleteExtra || command.dryRun) && !spec->backupOptions) {
        *error = QStringLiteral("%1 is an option of backup only")
                     .arg(command.deleteExtra ? QStringLiteral("--delete") : QStringLiteral("--dry-run"));
        return false;
    }
    if (command.operands.size() < spec->minimum || command.operands.size() > spec->maximum) {
        *error = QStringLiteral("wrong number of arguments for \"%1\"").arg(command.name);
        return false;
    }
    return true;
}

} // namespace

int usage(const QString &problem)
{
    printError(problem);
    std::cerr << "Try 'tarvel-cli --help'." << std::endl;
    return UsageError;
}

bool needsPhone(const QString &name)
{
    const auto spec = specs().constFind(name);
    return spec != specs().constEnd() && spec->phone;
}

std::optional<Command> parseCommand(const QStringList &words, QString *error)
{
    if (words.isEmpty()) {
        *error = QStringLiteral("no command given");
        return std::nullopt;
    }
    Command command;
    command.name = words.first();
    bool options = true;
    for (const QString &word : words.mid(1)) {
        if (options && word == u"--") {
            options = false;
        } else if (options && word.startsWith(u'-') && word != u"-") {
            if (word == u"-r" || word == u"--recursive") {
                command.recursive = true;
            } else if (word == u"--delete") {
                command.deleteExtra = true;
            } else if (word == u"--dry-run") {
                command.dryRun = true;
            } else {
                *error = QStringLiteral("unknown option %1 of \"%2\" (options of the tool go before the first "
                                        "command)")
                             .arg(word, command.name);
                return std::nullopt;
            }
        } else {
            command.operands << word;
        }
    }
    if (!validate(command, error))
        return std::nullopt;
    return command;
}

std::optional<int> parseCommandLine(const QStringList &arguments, Options *options)
{
    // The commands are the parts between ";" words; the tool's options belong to the
    // first part (anywhere in it, as before several commands were possible).
    QList<QStringList> parts{{}};
    for (const QString &argument : arguments.mid(1)) {
        if (argument == u";")
            parts.append(QStringList());
        else
            parts.last().append(argument);
    }

    QCommandLineParser parser;
    parser.setOptionsAfterPositionalArgumentsMode(QCommandLineParser::ParseAsOptions);
    LinkSettings::addOptions(parser);
    const QCommandLineOption yesOption(QStringLiteral("yes"));
    const QCommandLineOption traceOption(QStringLiteral("trace"), QString(), QStringLiteral("FILE"));
    const QCommandLineOption batchOption(QStringList{QStringLiteral("b"), QStringLiteral("batch")}, QString(),
                                         QStringLiteral("FILE"));
    const QCommandLineOption keepGoingOption(QStringList{QStringLiteral("k"), QStringLiteral("keep-going")});
    const QCommandLineOption recursiveOption(QStringList{QStringLiteral("r"), QStringLiteral("recursive")});
    const QCommandLineOption deleteOption(QStringLiteral("delete"));
    const QCommandLineOption dryRunOption(QStringLiteral("dry-run"));
    const QCommandLineOption helpOption(QStringList{QStringLiteral("h"), QStringLiteral("help")});
    parser.addOptions({yesOption, traceOption, batchOption, keepGoingOption, recursiveOption, deleteOption,
                       dryRunOption, helpOption});

    if (!parser.parse(QStringList{arguments.value(0)} + parts.first()))
        return usage(parserProblem(parser));
    if (parser.isSet(helpOption)) {
        std::cout << HelpText;
        return Success;
    }

    QString problem;
    const std::optional<LinkSettings> link = LinkSettings::fromParser(parser, &problem);
    if (!link)
        return usage(problem);
    options->link = *link;
    options->yes = parser.isSet(yesOption);
    options->trace = parser.value(traceOption);
    options->keepGoing = parser.isSet(keepGoingOption);
    options->batchFile = parser.value(batchOption);

    const QStringList first = parser.positionalArguments();
    if (first.isEmpty() && parts.size() == 1) {
        if (!options->batchFile.isEmpty())
            return std::nullopt;
        return usage(QStringLiteral("no command given"));
    }
    if (!options->batchFile.isEmpty())
        return usage(QStringLiteral("give either commands or -b FILE"));

    QString error;
    for (qsizetype i = 0; i < parts.size(); ++i) {
        std::optional<Command> command;
        if (i == 0) {
            if (first.isEmpty())
                return usage(QStringLiteral("no command before \";\""));
            command = Command{first.first(), first.mid(1), parser.isSet(recursiveOption), parser.isSet(deleteOption),
                              parser.isSet(dryRunOption)};
            if (!validate(*command, &error))
                command.reset();
        } else {
            command = parseCommand(parts.at(i), &error);
        }
        if (!command)
            return usage(error);
        options->commands.append(*command);
    }
    for (const Command &command : std::as_const(options->commands)) {
        if (command.name == u"shell" && options->commands.size() > 1)
            return usage(QStringLiteral("shell is the only command of its run"));
    }
    return std::nullopt;
}

std::optional<QStringList> splitLine(const QString &line, QString *error)
{
    const std::unique_ptr<Tokenizer, void (*)(Tokenizer *)> tokenizer(tok_init(nullptr), tok_end);
    int count = 0;
    const char **words = nullptr;
    const QByteArray bytes = line.toLocal8Bit();
    if (!tokenizer || tok_str(tokenizer.get(), bytes.constData(), &count, &words) != 0) {
        *error = QStringLiteral("unfinished quote or backslash");
        return std::nullopt;
    }
    QStringList result;
    for (int i = 0; i < count; ++i)
        result << QString::fromLocal8Bit(words[i]);
    return result;
}
