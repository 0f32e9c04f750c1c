#pragma once

#include "linkchoice.h"

#include <QString>
#include <QStringList>

#include <variant>

// Which serial line the phone is on and how to drive it.
struct LinkSettings
{
    int port = 0; // 1..9, or 0 when a device is named
    QString device; // a serial device path instead of a port number
    int speed = 57600; // bits per second (see tarvel-cli --speed)
    LinkChoice choice = LinkChoice::PlainFirst; // --link
    bool rts = false;
    // --verify: every copy read back and compared (plain OBEX carries no checksum).
    bool verify = false;
};

struct MountOptions
{
    LinkSettings link;
    QStringList fuseOptions; // each as given to -o, comma-separated
    bool foreground = false;
    QString mountPoint;
};

struct ShowHelp
{};

struct UsageError
{
    QString problem;
};

using CommandLine = std::variant<MountOptions, ShowHelp, UsageError>;

// arguments as in QCoreApplication::arguments(), the program path first.
CommandLine parseCommandLine(const QStringList &arguments);

extern const char MountHelpText[];
