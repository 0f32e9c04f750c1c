#pragma once

#include "linkchoice.h"

#include <QString>

#include <optional>

class PhoneSession;
class QCommandLineParser;

// Which serial line the phone is on and how to drive it: the options --port, --device,
// --speed, --link and --rts of tarvel-cli and tarvel-mount, and --verify: every copy read
// again and compared.
struct LinkSettings
{
    // The rates --speed takes; the first connection step always runs at 57600.
    static constexpr int Rates[] = {19200, 38400, 57600, 115200, PlainOnlyRate};
    static constexpr int DefaultRate = 57600;

    int port = 0; // 1..9, or 0 when a device is named
    // A serial device path instead of a port number, made absolute: the program may
    // change its current folder (lcd, a daemon) before it opens the device.
    QString device;
    int speed = DefaultRate;
    LinkChoice choice = LinkChoice::PlainFirst;
    bool rts = false;
    bool verify = false;

    // Adds the six options to parser.
    static void addOptions(QCommandLineParser &parser);
    // The settings the parsed options give; nothing, with *problem set, for a usage error.
    static std::optional<LinkSettings> fromParser(const QCommandLineParser &parser, QString *problem);
    // Hands the settings to a session, before it connects.
    void applyTo(PhoneSession &session) const;
};

// What the parser found wrong with a command line, in the programs' style: lower case,
// no full stop ("unknown option 'x'").
QString parserProblem(const QCommandLineParser &parser);

// The lines of the link options in a program's --help, at the help's usual columns.
#define TARVEL_LINK_OPTIONS_HELP                                                                                       \
    "  --port N          serial port number 1..9, as in the window's options\n"                                        \
    "                    (the link ~/.config/tarvel/ports/comN, else /dev/ttyS<N-1>)\n"                                \
    "  --device PATH     serial device to use instead of a port number\n"                                              \
    "  --rts             raise the RTS line while the port is open\n"                                                  \
    "  --link MODE       how OBEX travels on the cable: auto (the default) tries plain\n"                              \
    "                    OBEX (AT^SQWE=3, every Siemens phone with a file system)\n"                                   \
    "                    and falls back to BFB when the phone refuses it; obex or\n"                                   \
    "                    bfb use that mode only\n"                                                                     \
    "  --speed BAUD      line rate: 19200, 38400, 57600 (the default), 115200 or\n"                                    \
    "                    230400. In plain OBEX the AT commands run at that rate\n"                                     \
    "                    (230400: x55/x60 phones only; x65 and x75 stop at 115200).\n"                                 \
    "                    In BFB mode it is asked for after the set-up (230400 not\n"                                   \
    "                    possible); a phone that does not confirm it stays at 57600,\n"                                \
    "                    with a note\n"
