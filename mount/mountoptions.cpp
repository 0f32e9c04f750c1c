#include "mountoptions.h"

#include <QCommandLineParser>

const char MountHelpText[] =
    R"(Usage: tarvel-mount (--port N | --device PATH) [--link MODE] [--speed BAUD] [--rts] [--verify] [-o OPTIONS] [-f]
                    MOUNTPOINT

Shows the flash memory of a Siemens phone on a serial data cable as a
folder: MOUNTPOINT, an existing empty folder. Unmount with
  fusermount3 -u MOUNTPOINT
or with Ctrl-C when running with -f.

Options:
)" TARVEL_LINK_OPTIONS_HELP R"(  --verify          read every file twice and compare, and read back every file
                    written and compare it with what was sent; a copy that
                    differs is made again once, then the operation fails (EIO)
                    and nothing wrong stays under the file's name. Plain OBEX
                    (the default link) carries no checksum: on a noisy line a
                    file can arrive damaged without a sign. BFB (--link bfb)
                    checks every packet
  -o OPTIONS        mount options separated by commas; may be given more than
                    once. The mount's own:
                      cache_size=MB  what is kept of files read (default 64;
                                     0: nothing once a file is closed)
                      cache_dir=DIR  keep it in DIR for the next mount of the
                                     same phone (by default it goes at unmount)
                    and FUSE's, for example ro or allow_other
  -f                stay in the foreground; messages go to standard error
  -h, --help        show this help

It connects before mounting: when the phone does not answer, nothing is
mounted. Folder listings are kept for 2 seconds and dropped on every change
made through the mount. A read is answered as soon as its bytes have arrived,
and what was read is kept for the next open. A file written to the mount goes
to the phone once, at its last close; a failed copy leaves the phone's file as
it was and says so on standard error. Names are found in any letter case, as
the phone finds them, and must have a code in
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

namespace {

// Takes the mount's own options out of one -o value; the rest stays for FUSE.
std::optional<QString> takeCacheOptions(const QString &value, ReadCache::Settings *cache, QString *problem)
{
    QStringList rest;
    for (const QString &option : value.split(u',', Qt::SkipEmptyParts)) {
        if (option.startsWith(QLatin1String("cache_size="))) {
            bool ok = false;
            const qint64 megabytes = option.section(u'=', 1).toLongLong(&ok);
            if (!ok || megabytes < 0 || megabytes > 1024 * 1024) {
                *problem = QStringLiteral("cache_size takes a number of megabytes");
                return std::nullopt;
            }
            cache->limit = megabytes * 1024 * 1024;
        } else if (option.startsWith(QLatin1String("cache_dir="))) {
            cache->folder = option.section(u'=', 1);
            if (cache->folder.isEmpty()) {
                *problem = QStringLiteral("cache_dir needs a folder");
                return std::nullopt;
            }
        } else {
            rest << option;
        }
    }
    return rest.join(u',');
}

} // namespace

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
        QString cacheProblem;
        const std::optional<QString> rest = takeCacheOptions(value, &options.cache, &cacheProblem);
        if (!rest)
            return UsageError{cacheProblem};
        if (!rest->isEmpty())
            options.fuseOptions << *rest;
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
