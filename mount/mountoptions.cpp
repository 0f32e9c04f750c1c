#include "mountoptions.h"

#include <QCommandLineParser>
#include <QFileInfo>

#include <algorithm>
#include <iterator>

const char MountHelpText[] =
    R"(Usage: tarvel-mount (--port N | --device PATH) [--link MODE] [--speed RATE] [--rts] [--verify] [-o OPTIONS] [-f]
                   MOUNTPOINT

Shows the flash memory of a Siemens phone on a serial data cable as a
folder: MOUNTPOINT, an existing empty folder. Unmount with
  fusermount3 -u MOUNTPOINT
or with Ctrl-C when running with -f.

Options:
  --port N        serial port number 1..9, as in the program's options
                  (the link ~/.config/tarvel/ports/comN, else /dev/ttyS<N-1>)
  --device PATH   serial device to use instead of a port number
  --link MODE     auto (the default): plain OBEX (AT^SQWE=3), BFB when the
                  phone refuses it; obex or bfb: that mode only
  --speed RATE    line rate: 19200, 38400, 57600 (the default), 115200, or
                  230400 in plain OBEX (x55/x60 phones only)
  --rts           raise the RTS line while the port is open
  --verify        read every file twice and compare, and read back every file
                  written and compare it with what was sent; a copy that
                  differs is made again once, then the operation fails (EIO)
                  and nothing wrong stays under the file's name. Plain OBEX
                  (the default link) carries no checksum: on a noisy line a
                  file can arrive damaged without a sign. BFB (--link bfb)
                  checks every packet
  -o OPTIONS      FUSE mount options separated by commas, for example ro or
                  allow_other; may be given more than once
  -f              stay in the foreground; messages go to standard error
  -h, --help      show this help

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

namespace {

constexpr int Speeds[] = {19200, 38400, 57600, 115200, PlainOnlyRate};

} // namespace

CommandLine parseCommandLine(const QStringList &arguments)
{
    QCommandLineParser parser;
    parser.setOptionsAfterPositionalArgumentsMode(QCommandLineParser::ParseAsOptions);
    const QCommandLineOption portOption(QStringLiteral("port"), QString(), QStringLiteral("N"));
    const QCommandLineOption deviceOption(QStringLiteral("device"), QString(), QStringLiteral("PATH"));
    const QCommandLineOption speedOption(QStringLiteral("speed"), QString(), QStringLiteral("RATE"));
    const QCommandLineOption linkOption(QStringLiteral("link"), QString(), QStringLiteral("MODE"));
    const QCommandLineOption rtsOption(QStringLiteral("rts"));
    const QCommandLineOption verifyOption(QStringLiteral("verify"));
    const QCommandLineOption fuseOption(QStringLiteral("o"), QString(), QStringLiteral("OPTIONS"));
    const QCommandLineOption foregroundOption(QStringLiteral("f"));
    const QCommandLineOption helpOption(QStringList{QStringLiteral("h"), QStringLiteral("help")});
    parser.addOptions({portOption, deviceOption, linkOption, speedOption, rtsOption, verifyOption, fuseOption,
                       foregroundOption, helpOption});

    if (!parser.parse(arguments))
        return UsageError{parser.errorText()};
    if (parser.isSet(helpOption))
        return ShowHelp{};

    MountOptions options;
    if (parser.isSet(portOption) == parser.isSet(deviceOption))
        return UsageError{QStringLiteral("give either --port N or --device PATH")};
    if (parser.isSet(portOption)) {
        bool ok = false;
        options.link.port = parser.value(portOption).toInt(&ok);
        if (!ok || options.link.port < 1 || options.link.port > 9)
            return UsageError{QStringLiteral("--port takes a number from 1 to 9")};
    } else {
        const QString device = parser.value(deviceOption);
        if (device.isEmpty())
            return UsageError{QStringLiteral("--device needs a path")};
        // Absolute, because every new connection opens it again and the daemon leaves
        // the current folder; a link stays a link, followed at each connection.
        options.link.device = QFileInfo(device).absoluteFilePath();
    }
    if (parser.isSet(linkOption)) {
        const std::optional<LinkChoice> choice = linkChoiceNamed(parser.value(linkOption));
        if (!choice)
            return UsageError{QStringLiteral("--link takes auto, obex or bfb")};
        options.link.choice = *choice;
    }
    if (parser.isSet(speedOption)) {
        bool ok = false;
        options.link.speed = parser.value(speedOption).toInt(&ok);
        if (!ok || std::find(std::begin(Speeds), std::end(Speeds), options.link.speed) == std::end(Speeds))
            return UsageError{QStringLiteral("--speed takes 19200, 38400, 57600, 115200 or 230400")};
        if (options.link.speed == PlainOnlyRate && options.link.choice == LinkChoice::BfbOnly)
            return UsageError{QStringLiteral("--speed 230400 works in plain OBEX only, not with --link bfb")};
    }
    options.link.rts = parser.isSet(rtsOption);
    options.link.verify = parser.isSet(verifyOption);
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
