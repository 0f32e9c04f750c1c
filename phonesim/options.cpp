#include "options.h"

#include <charconv>
#include <cstdio>
#include <cstring>
#include <string_view>

namespace phonesim {

namespace {

bool parseNumber(std::string_view text, std::uint64_t &value, int base = 10)
{
    if (base == 16 && (text.starts_with("0x") || text.starts_with("0X")))
        text.remove_prefix(2);
    if (text.empty())
        return false;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    return error == std::errc() && end == text.data() + text.size();
}

bool parseResponseCode(std::string_view text, int &code)
{
    std::uint64_t value;
    if (!parseNumber(text, value, 16) || value < 0x80 || value > 0xFF)
        return false;
    code = int(value);
    return true;
}

bool parseDelay(std::string_view text, Damage &damage)
{
    std::uint64_t index = 0, ms;
    auto colon = text.find(':');
    if (colon != std::string_view::npos) {
        if (!parseNumber(text.substr(0, colon), index))
            return false;
        text = text.substr(colon + 1);
    }
    if (!parseNumber(text, ms) || ms > 3600000)
        return false;
    damage.delayedByte = index;
    damage.delayMs = unsigned(ms);
    return true;
}

} // namespace

const char *helpText()
{
    return R"(Usage: phonesim [options]

An emulated Siemens M55 on a pseudo-terminal: AT commands, BFB framing and an OBEX
file-system server whose flash memory is a folder of this computer. The device path
(for example /dev/pts/5) is printed as the first line on standard output; the phone
serves any number of connections until SIGTERM or SIGINT.

Options:
  --root DIR          Flash memory: the folder DIR (folders, files, sizes and dates
                      are the real ones). Without it a temporary folder with demo
                      content is made and removed at exit.
  --link PATH         Also make PATH a symbolic link to the device; removed at exit.
  --model NAME        Model named by AT+CGMM (default M55).
  --memory BYTES      Total flash memory reported (default 1572864); free memory is
                      the total less the size of all files under the root.
  --baud N            Pace everything the phone sends to N baud, 10 bits a byte
                      (57600 gives 5760 bytes/s). Default: no pacing.
  --packet N          Largest OBEX packet the phone sends and accepts, announced in
                      its CONNECT answer (255 to 65535, default 1024). Responses are
                      also kept within the client's own announced maximum; a longer
                      request is refused with CD. For obexftp 0.24 use 440 or less:
                      it wants a whole response in one read of 500 bytes.
  --frame N           Largest payload of a BFB frame the phone sends (5 to 255,
                      default 32). The last frame of a block always holds both CRC
                      bytes.
  --empty-final       A GET answered in several packets puts all data in Body
                      headers of 0x90 responses and ends with an empty End-of-Body
                      in the final 0xA0 response. Default: the final response
                      carries the last data in its End-of-Body.
  --log FILE          Write one line per event (see below) to FILE, flushed at
                      once; "-" writes to standard error.
  --trace             Also log every byte in both directions ("RX ..." / "TX ...").
  --help              Show this text.

Fault options (for tests). The damage options act on the reply to ONE exchange,
chosen with --fault-on; each fires once:
  --fault-on SEL      The exchange to damage: KIND[:N] is the N-th exchange of that
                      kind since the phone started (N defaults to 1); a bare number N
                      is the N-th OBEX request (the CONNECT is 1). Kinds: at (AT
                      command line), setup (BFB set-up frame), block (BFB data block),
                      obex (any OBEX request), connect, disconnect, setpath (enter a
                      folder, parent or root), mkdir (SETPATH that may create),
                      listing, memory, get (file or other object), continue (bare
                      GET for the next packet), put (any upload packet), delete,
                      abort, other. Default: 1 (the CONNECT).
  --silent-after N    Send only the first N bytes of the reply (link acknowledgement
                      included), then stay silent until the line is closed and
                      opened again.
  --garbage           Send garbage of the same length instead of the response (for AT
                      commands and set-up frames: instead of the whole reply).
  --no-ack            Withhold the link acknowledgement of the data block; the
                      response is still sent.
  --bad-crc           Send the response block with a wrong CRC.
  --delay-byte [I:]MS Hold byte I of the reply (0-based, link acknowledgement
                      included; default 0) back for MS milliseconds.
Refusals act on every request of their kind, answered with the OBEX response code
CODE given in hex (for example C3 Forbidden, C1 Unauthorized, C4 Not Found):
  --refuse-setpath CODE  entering a folder, going to the parent or the root
  --refuse-mkdir CODE    creating a folder (SETPATH with flags 00 on a new name)
  --refuse-delete CODE   deleting a file or folder
  --refuse-put CODE      the first packet of an upload

Behaviour:
  AT mode echoes each command line up to and including its CR (an LF is not echoed)
  and answers "OK" or "ERROR" between CR LF pairs. Known commands (any case): AT, ATZ,
  ATE0, ATE1, AT+CGMM/+GMM, AT+CGMI/+GMI, AT+CGMR/+GMR, AT+CGSN/+GSN, AT^SIFS,
  AT^SBFB=?, AT^SBFB=0, AT^SBFB=1 (answers OK, then BFB framing). In BFB mode a
  set-up frame of type 02 is answered with a type-02 frame [byte, AA], a speed frame
  (type 01) is echoed, and an AT command in a type-06 frame is answered in a type-06
  frame (AT^SBFB=0 leaves BFB framing). Text starting with a letter, or the line being
  opened again, also brings the phone back to AT mode.
  Every data block with a good CRC that holds one whole OBEX packet is acknowledged
  with 16 02 14 01 FE and answered with one response block, written together with the
  acknowledgement. A block with a bad CRC is dropped without acknowledgement or answer,
  as a phone drops a corrupted block; so is a block whose length disagrees with its
  packet's (obexftp follows each packet with such blocks repeating its tail). Each
  response waits until the client has acknowledged the previous one.
  Names on the wire are 16-bit units: units below 0x100 are Windows-1251 bytes, larger
  units UTF-16; listings carry names in Windows-1251. Names that are empty, ".", "..",
  or hold "/", "\" or control characters are refused with C0 Bad Request.

Log lines (one event each; names in UTF-8; hex in capitals). Request fields come in
the order flags, name, type, length, appparam, body, eob, extra; absent headers are
left out, an empty Name header shows as "name=":
  OPEN | CLOSE                      the line was opened / the last client closed it
  AT <command line>                 an AT command line (printable characters)
  BFB-START | BFB-END               BFB framing switched on / off
  BFB-SETUP type=02 data=14         a set-up frame; type 01 adds speed=57600,
                                    type 06 adds at=<command>
  TEXT <line>                       a line without an AT command (echoed only)
  BAD-FRAME ... | BAD-BLOCK ...     framing errors, bytes skipped
  BAD-PACKET ... dropped            a block not holding one whole OBEX packet
  BAD-CRC seq=NN got=XXXX want=XXXX a dropped data block
  ACK                               the client acknowledged a response
  CONNECT version=10 flags=00 maxlen=4006 target=6B01CB31...
  DISCONNECT | ABORT
  SETPATH flags=02 name=Bitmap      (no name= when the request has no Name header)
  GET type=x-obex/folder-listing
  GET name=pic.bmp
  GET appparam=32:01                (GET-PART for a non-final GET packet)
  CONTINUE                          a bare GET for the next response packet
  PUT name=a.txt length=6 body=3 extra=3   a non-final upload packet; body= counts
                                    the Body data bytes, extra= the bytes after the
                                    last header (the program's three zero bytes)
  PUT-FINAL eob=0                   the final upload packet
  DELETE name=a.txt                 a final PUT with a Name and no body
  OBEX opcode=XX len=N              any other request
  RSP code=A0 len=N                 the response sent
  FAULT <damage> on <kind:N>        a fault option fired
  EXIT                              the phone was told to stop
)";
}

ParseResult parseOptions(int argc, char **argv)
{
    Options options;
    auto fail = [](const std::string &message) {
        std::fprintf(stderr, "phonesim: %s\nTry 'phonesim --help'.\n", message.c_str());
        return ParseResult{std::nullopt, 2};
    };
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        std::string value;
        bool hasInlineValue = false;
        if (auto eq = arg.find('='); arg.starts_with("--") && eq != std::string::npos) {
            value = arg.substr(eq + 1);
            arg = arg.substr(0, eq);
            hasInlineValue = true;
        }
        auto needValue = [&]() -> bool {
            if (hasInlineValue)
                return true;
            if (i + 1 >= argc)
                return false;
            value = argv[++i];
            return true;
        };
        auto noValue = [&]() { return !hasInlineValue; };
        std::uint64_t number = 0;

        if (arg == "--help" || arg == "-h") {
            std::fputs(helpText(), stdout);
            return {std::nullopt, 0};
        } else if (arg == "--root" || arg == "--link" || arg == "--model" || arg == "--log") {
            if (!needValue() || value.empty())
                return fail(arg + " needs a value");
            if (arg == "--root")
                options.root = value;
            else if (arg == "--link")
                options.link = value;
            else if (arg == "--model")
                options.model = value;
            else
                options.log = value;
        } else if (arg == "--memory") {
            if (!needValue() || !parseNumber(value, number) || number > 0xFFFFFFFFu)
                return fail("--memory needs a byte count up to 4294967295");
            options.memory = std::uint32_t(number);
        } else if (arg == "--baud") {
            if (!needValue() || !parseNumber(value, number) || number > 4000000)
                return fail("--baud needs a rate in baud (0 for no pacing)");
            options.baud = unsigned(number);
        } else if (arg == "--packet") {
            if (!needValue() || !parseNumber(value, number) || number < 255 || number > 65535)
                return fail("--packet needs a size from 255 to 65535");
            options.packet = unsigned(number);
        } else if (arg == "--frame") {
            if (!needValue() || !parseNumber(value, number) || number < 5 || number > 255)
                return fail("--frame needs a size from 5 to 255");
            options.frame = unsigned(number);
        } else if (arg == "--trace" && noValue()) {
            options.trace = true;
        } else if (arg == "--empty-final" && noValue()) {
            options.emptyFinal = true;
        } else if (arg == "--fault-on") {
            std::optional<Selector> selector;
            if (!needValue() || !(selector = Selector::parse(value)))
                return fail("--fault-on needs KIND[:N] or N (see --help)");
            options.faults.on = *selector;
        } else if (arg == "--silent-after") {
            if (!needValue() || !parseNumber(value, number))
                return fail("--silent-after needs a byte count");
            options.faults.damage.silentAfter = std::size_t(number);
        } else if (arg == "--garbage" && noValue()) {
            options.faults.damage.garbage = true;
        } else if (arg == "--no-ack" && noValue()) {
            options.faults.damage.withholdAck = true;
        } else if (arg == "--bad-crc" && noValue()) {
            options.faults.damage.badCrc = true;
        } else if (arg == "--delay-byte") {
            if (!needValue() || !parseDelay(value, options.faults.damage))
                return fail("--delay-byte needs [INDEX:]MILLISECONDS");
        } else if (arg == "--refuse-setpath" || arg == "--refuse-mkdir" || arg == "--refuse-delete"
                   || arg == "--refuse-put") {
            int code;
            if (!needValue() || !parseResponseCode(value, code))
                return fail(arg + " needs an OBEX response code in hex, 80 to FF");
            if (arg == "--refuse-setpath")
                options.faults.refuseSetpath = code;
            else if (arg == "--refuse-mkdir")
                options.faults.refuseMkdir = code;
            else if (arg == "--refuse-delete")
                options.faults.refuseDelete = code;
            else
                options.faults.refusePut = code;
        } else {
            return fail("unknown option " + std::string(argv[i]));
        }
    }
    return {options, 0};
}

} // namespace phonesim
