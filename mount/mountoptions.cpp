#include "mountoptions.h"

#include <QCommandLineParser>

const char MountHelpText[] =
    R"(Usage: tarvel-mount (--port N | --device PATH) [--link MODE] [--speed BAUD] [--rts] [-o OPTIONS] [-f] MOUNTPOINT

Shows the flash memory of a Siemens phone on a serial data cable as a
folder: MOUNTPOINT, an existing empty folder. Unmount with
  fusermount3 -u MOUNTPOINT
or with Ctrl-C when running with -f.

Options:
)" TARVEL_LINK_OPTIONS_HELP R"(  -o OPTIONS        FUSE mount options separated by commas, for example ro or
                    allow_other; may be given more than once
  -f                stay in the foreground; messages go to standard error
  -h, --help        show this help

It connects before mounting: when the phone does not answer, nothing is
mounted. Folder listings are kept for 2 seconds and dropped on every change
made through the mount. A file written to the mount goes to the phone once,
when it is closed; close() reports a failed copy. Names must have a code in
Windows-1251, the phone's code page; other names are refused (EINVAL). A
lost link fails the operation in progress (EIO) with a line on standard
error; the next operation connects again. After a failed connection attempt
operations fail at once (EIO) for 10 seconds, then the next one tries again.

Exit status:
  0  unmounted
  1  the folder could not be mounted
  2  usage error
  3  no connection to the phone
)";

CommandLine parseCommandLine(const QStringList &arguments)
{
    QCommandLineParser parser;
    parser.setOptionsAfterPositionalArgumentsMode(QCommandLineParser::ParseAsOptions);
    LinkSettings::addOptions(parser);
    const QCommandLineOption fuseOption(QStringLiteral("o"), QString(), QStringLiteral("OPTIONS"));
    const QCommandLineOption foregroundOption(QStringLiteral("f"));
    const QCommandLineOption helpOption(QStringList{QStringLiteral("h"), QStringLiteral("help")});
    parser.addOptions({fuseOption, foregroundOption, helpOption});

    if (!parser.parse(arguments))
        return UsageError{parserProblem(parser)};
    if (parser.isSet(helpOption))
        return ShowHelp{};

    MountOptions options;
    QString problem;
    const std::optional<LinkSettings> link = LinkSettings::fromParser(parser, &problem);
    if (!link)
        return UsageError{problem};
    options.link = *link;
    for (const QString &value : parser.values(fuseOption)) {
        if (value.isEmpty())
            return UsageError{QStringLiteral("-o needs options")};
        options.fuseOptions << value;
    }
    options.foreground = parser.isSet(foregroundOption);

    const QStringList positional = parser.positionalArguments();
    if (positional.isEmpty())
        return UsageError{QStringLiteral("no mount point given")};
    if (positional.size() > 1)
        return UsageError{QStringLiteral("give one mount point, not %1 arguments").arg(positional.size())};
    options.mountPoint = positional.first();
    return options;
}
