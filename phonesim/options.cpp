#include "options.h"

#include <charconv>
#include <cstdio>
#include <cstdlib>
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

// A bit error rate from 0 to 1, as 0.001 or 1e-3.
bool parseRate(const std::string &text, double &rate)
{
    char *end = nullptr;
    rate = std::strtod(text.c_str(), &end);
    return !text.empty() && end == text.c_str() + text.size() && rate >= 0 && rate <= 1;
}

// "3" or "3,7,7": block numbers from 1.
bool parseBlocks(std::string_view text, BlockNumbers &numbers)
{
    for (;;) {
        const auto comma = text.find(',');
        std::uint64_t number;
        if (!parseNumber(text.substr(0, comma), number) || number == 0 || number > 0xFFFFFFFFu)
            return false;
        numbers.insert(unsigned(number));
        if (comma == std::string_view::npos)
            return true;
        text.remove_prefix(comma + 1);
    }
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

std::string helpText()
{
    return R"(Usage: phonesim [options]

An emulated Siemens M55, S65 or S75 on a pseudo-terminal: AT commands, BFB framing
or plain OBEX (AT^SQWE=3), and an OBEX file-system server whose flash memory is a
folder of this computer. The device path (for example /dev/pts/5) is printed as the
first line on standard output; the phone serves any number of connections until
SIGTERM or SIGINT. SIGUSR1 switches the phone off and on: AT mode at the start rate,
link and OBEX state cleared, the flash memory kept (POWER-CYCLE in the log).

Options:
  --root DIR          Flash memory: the folder DIR (folders, files, sizes and dates
                      are the real ones). Without it a temporary folder with demo
                      content is made and removed at exit.
  --link PATH         Also make PATH a symbolic link to the device; removed at exit.
  --model NAME        The recorded family the phone behaves as (default M55):
                      M55  x55/x60 (M56, C60, CF62 recorded): BFB and plain OBEX,
                           474-byte packets, an existing name appended to, a
                           missing folder or file to delete answered C3, OK to +++;
                      C60  x55/x60 as recorded (C60, A56): as M55, but a GET of a
                           missing file answered with an empty file, GET pieces
                           ending with an empty End-of-Body, a 00 byte on opening,
                           listings indented; nine recorded root folders, the demo
                           content in Pictures;
                      S65  x65 (S66, SL65): plain OBEX only (AT^SBFB=1 gets OK, no
                           BFB frame an answer), 1030-byte packets, GET pieces of
                           1024 bytes ending with an empty End-of-Body, appends,
                           C3, ERROR to AT at 230400, a 00 byte 140 ms after the
                           port opens, listings indented by three spaces, silent
                           to +++; demo root folders Data and MMCard;
                      S75  x75 (S75, EL71): as S65, but 8208-byte packets, a file
                           in one answer up to that, an existing name replaced,
                           missing ones answered C4, the CONNECT answered after
                           160 ms and the first DISCONNECT after 170, listings
                           not indented; demo root folders Data, Cache, Config and
                           MMCard.
                      The name is also the answer to AT+CGMM. --packet,
                      --overwrite and --empty-final set their figure over the
                      model's.
  --interface IF      The interface the phone is reached on, answered to AT^SIFS
                      ("^SIFS: WIRE", "USB", "BLUE" or "IRDA"; default wire, the
                      DCA-500 and DCA-510 serial cables). usb: a DCA-540 cable,
                      which cannot end plain OBEX: no 00 byte when the port opens,
                      and a +++ in plain OBEX, taken as the start of a packet of
                      0x2B2B bytes, is a FAULT that leaves the phone deaf until it
                      is switched off (SIGUSR1).
  --memory BYTES      Total flash memory reported (default 1572864); free memory is
                      the total less the size of all files under the root.
  --baud N            The cable's line rate, pacing both directions at 10 bits a byte
                      (57600 gives 5760 bytes/s): the phone acts on a byte from the
                      computer only when its wire time has passed, and sends at that
                      pace. Default: no pacing (the phone still keeps a nominal rate
                      of 57600 and answers speed frames).
  --packet N          Largest OBEX packet the phone accepts, announced in its CONNECT
                      answer (255 to 65535, default the model's: 474 as the recorded
                      M56, C60 and CF62); a longer request is refused with CD. GET
                      answers carry N - 18 data bytes in the first packet and N - 9
                      in the next on an M55 (456, then 465 at 474, as recorded), and
                      fill the packet on an S65 or S75, within the client's own
                      announced maximum. For obexftp 0.24 use 440 or less: it wants
                      a whole response in one read of 500 bytes.
  --overwrite MODE    What a PUT of a name the folder holds already does (names are
                      compared without regard to letter case, Windows-1251 letters
                      included; the stored case stays): append (as the recorded x55,
                      x60 and x65 phones) adds the new bytes to the end of the file;
                      replace (as the x75 family) replaces it. Default: the model's.
  --frame N           Largest payload of a BFB frame the phone sends (5 to 255,
                      default 32).
  --cut MODE          How the phone cuts its blocks into frames of --frame bytes:
                      blind     every --frame bytes whatever the fields, as the
                                program cuts its own blocks: the block header, or
                                one or both CRC bytes, may travel in a frame of
                                their own;
                      crc-last  the same, but a last frame that would hold only the
                                last CRC byte takes one byte more from the frame
                                before, so both CRC bytes travel in the last frame.
                      Default: )"
        + std::string(defaultCut == Cut::Blind ? "blind" : "crc-last") + R"(.
  --resend-after MS   When the client's link acknowledgement of a phone block has not
                      come MS milliseconds after the block's last byte left, send the
                      block again, same sequence number (default 3000; 0: never).
  --resends N         Send one block again at most N times (default 3); then the
                      phone gives it up (GIVE-UP in the log) and goes on.
  --at-latency MS     The phone's answer time to an AT command, on its own or in a
                      type-06 frame: from the command's end to the first byte of
                      the echo and answer (default 40, about what the recorded
                      phones take; 0: at once).
  --obex-latency MS   The phone's answer time to a data block (link acknowledgement
                      and response), the ping and other set-up frames (default 5;
                      the recorded phones take 2 to 8; 0: at once).
  --empty-final       A GET answered in several packets puts all data in Body
                      headers of 0x90 responses and ends with an empty End-of-Body
                      in the final 0xA0 response, as the recorded phones do. Default
                      on an M55: the final response carries the last data in its
                      End-of-Body.
  --log FILE          Write one line per event (see below) to FILE, flushed at
                      once; "-" writes to standard error.
  --trace FILE        Write every byte of both directions to FILE, one line per read
                      or write (see "Byte traces"); "-" writes to standard error.
  --replay FILE       Do not emulate the phone: answer from the byte trace FILE (see
                      "Byte traces"); --root is not used.
  --abort-get MODE    How an ABORT in the middle of a GET is answered (no recording
                      shows one; idle, the recorded phones answer A0 00 03):
                      at-once  A0 00 03 at once, the GET is over (the default);
                      finish   first the GET answer the phone was sending (the
                               next piece, as for a continuation), then A0 00 03;
                      refuse   D1 Not Implemented, and the GET goes on: the next
                               continuation gets the next piece.
  --refuse-speed      Refuse speed frames for any rate but the start rate.
  --refuse-plain      Answer AT^SQWE=3 with ERROR, as a phone without plain OBEX on
                      its cable, for which a client falls back to BFB.
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
                      move, abort, other. Default: 1 (the CONNECT).
  --silent-after N    Send only the first N bytes of the reply (link acknowledgement
                      included), then stay silent until the line is opened again
                      (the phone keeps its mode).
  --garbage           Send garbage of the same length instead of the response (for AT
                      commands and set-up frames: instead of the whole reply).
  --no-ack            Withhold the link acknowledgement of the data block; the
                      response is still sent.
  --bad-crc           Send the response block with a wrong CRC (its first sending
                      only; a resend is sound).
  --delay-byte [I:]MS Hold byte I of the reply (0-based, link acknowledgement
                      included; default 0) back for MS milliseconds.
Refusals act on every request of their kind, answered with the OBEX response code
CODE given in hex (for example C3 Forbidden, C1 Unauthorized, C4 Not Found):
  --refuse-setpath CODE  entering a folder, going to the parent or the root
  --refuse-mkdir CODE    creating a folder (SETPATH with flags 00 on a new name)
  --refuse-delete CODE   deleting a file or folder
  --refuse-put CODE      the first packet of an upload
  --refuse-move CODE     the move command

Line faults (for tests), repeatable exactly from the seed. Block numbers N count the
data blocks on the wire in one direction since phonesim started, from 1: the client's
as the phone assembles them (repeats included; its CONNECT is block 1), the phone's
as it sends them (resends included; its CONNECT answer is block 1). N[,N...] is a
list; a number listed twice fires twice. Each fault that fires is logged (FAULT ...).
  --seed N            Seed of every random choice (default 1).
  --noise-rx RATE     Flip bits of everything the client sends, at the bit error rate
                      RATE (0 to 1, for example 1e-4).
  --noise-tx RATE     The same for everything the phone sends.
  --flip-rx N[,N...]  Flip one bit (chosen from the seed) of the packet or CRC of the
                      client's block N: its CRC fails and the phone drops it
                      without acknowledgement.
  --flip-tx N[,N...]  Flip one bit of the packet or CRC of the phone's block N.
  --lose-rx-block N[,N...]  The client's block N never reaches the phone.
  --lose-tx-ack N[,N...]    The phone's link acknowledgement of the client's block N
                      is lost; the response still follows.
  --lose-rx-ack N[,N...]    The client's link acknowledgement of the phone's block N
                      is lost: the phone sends that block again after --resend-after.

Behaviour:
  AT mode echoes each command line up to and including its CR (an LF is not echoed)
  and answers "OK" or "ERROR" between CR LF pairs. Known commands (any case): AT, ATZ,
  ATE0, ATE1 (and Q0, V1 in a row: ATQ0 V1 E0), AT+CGMM/+GMM, AT+CGMI/+GMI,
  AT+CGMR/+GMR, AT+CGSN/+GSN, AT^SIFS, AT^SBFB=?, AT^SBFB=0, AT^SBFB=1 (answers OK,
  then BFB framing; an S65 or S75 then answers no frame and ignores what is no AT
  command line), AT^SQWE=0, AT^SQWE=3 (answers OK within 7 ms, then plain OBEX).
  Plain OBEX: each packet its opcode or response code and 16-bit big-endian length,
  nothing around it, at the rate the AT commands used, served as in BFB mode but
  parsed as a careful OBEX server does: a header shorter than 3 bytes, bytes after
  the last header (the three zero bytes BFB uploads carry after a Body), a Body
  beyond the Length header and a Length that differs from the bytes that came are
  answered C0 Bad Request, nothing of the request is stored (an upload running is
  dropped) and a FAULT careful line is logged; in BFB mode such uploads are taken
  as they come. Bytes
  that start no request (CONNECT, DISCONNECT, PUT, GET, SETPATH, ABORT) are skipped
  up to one that may (BAD-PACKET skipping), a packet left unfinished for 1 s is
  dropped, and ABORT FF 00 03 is answered A0 00 03, so a client can find a phone
  left in plain mode. After at least 1 s of silence, "+++" (no CR) and another second
  of silence take the phone back to AT mode; an M55 then answers OK. A line closed
  within that second leaves the phone in plain mode (ESCAPE-LOST). In BFB mode a
  set-up frame of type 02 is answered with a type-02 frame [byte, AA] (SieFS's ping
  02 01 03 14 gets 02 02 00 14 AA; in AT mode it is no command and gets nothing), a
  speed frame (type 01) as below, and an AT command in a type-06 frame is answered
  in a type-06 frame: AT^SBFB=0 (06 0A 0C "at^sbfb=0" 0D, any case) is answered
  06 06 00 0D 0A "OK" 0D 0A and returns the phone to AT mode, its OBEX connection
  ended. An OBEX DISCONNECT ends the OBEX connection, not BFB mode. Text in BFB mode
  ("at", "AT^SBFB=0" as a line) starts no frame and is ignored (BAD-FRAME skipping).
  The phone is never switched off: closing and opening the line tell it nothing. It
  keeps its mode, its rate, its OBEX connection and a block it is still sending; a
  client that goes mid-exchange leaves it sending its last block again (--resends
  times, into the void while no client has the line open), then idle in BFB mode,
  ready for a ping; plain mode is kept as well. Only SIGUSR1 brings it back to AT
  mode at the start rate.
  Line rates: in AT mode the phone answers at whatever rate the client's port is set
  to (an S65 or S75 answers ERROR at 230400). In BFB mode it listens and speaks only
  at its own rate: the start rate (--baud, or 57600) from AT^SBFB=1 on (once the OK
  has left), or what an accepted speed frame set; in plain mode at the rate of
  AT^SQWE=3. Bytes the client sends at another rate are not understood
  (RATE-MISMATCH in the log), and a client whose port is set to another rate reads
  each byte the phone sends as 00, as a raw port reads a byte with a framing error.
  The pseudo-terminal carries the rate the client set on its end.
  Speed frames: the phone knows exactly four, each payload 0xC0, the rate in ASCII
  digits and three check bytes:
    19200   01 09 08 C0 "19200" CE 4D CF     38400   01 09 08 C0 "38400" CC 4B CF
    57600   01 09 08 C0 "57600" CA 89 CF     115200  01 0A 0B C0 "115200" 0D D2 2B
  It accepts one by answering the same frame with its fourth byte 0xCC instead of
  0xC0, and switches its rate (and the pacing of --baud) about 100 ms after that
  answer has left. Any other type-01 frame, and with --refuse-speed a frame for
  another rate than the start rate, is echoed unchanged and the rate stays.
  Every data block with a good CRC that holds one whole OBEX packet is acknowledged
  with 16 02 14 01 FE and answered with one response block, written together with the
  acknowledgement. A block with a bad CRC is dropped without acknowledgement or answer,
  as a phone drops a corrupted block, and so is a block whose length disagrees with
  its packet's (obexftp follows each packet with such blocks repeating its tail). A
  block carrying the sequence number of the block accepted just before is a repeat
  whose acknowledgement was lost: it is acknowledged again and not executed. The last
  accepted number is forgotten when BFB framing starts, and a CONNECT in a block
  with command byte 02 and sequence number 0 always starts a new link (the phone's
  numbering too). A frame or block left
  unfinished for 1 s is dropped. Each response waits until the client has
  acknowledged the previous phone block; an unacknowledged block is sent again (see
  --resend-after). The phone's blocks carry sequence numbers from 0, command byte 02
  for 0 and 03 after.
  The move command (known from SieFS on Siemens phones, not yet confirmed on an M55):
  a final PUT (82) whose only header is an application parameter header (4C) holding
  tag 34 with the four bytes "move", tag 35 with the source path and tag 36 with the
  destination path, each tag followed by a one-byte length, each path as 16-bit
  big-endian units without a terminator, from the root: /Sub/a.txt. It renames or
  moves a file or folder and answers A0; C4 when the source or the destination's folder is missing, CC when the
  destination exists, C3 for a folder into itself, C0 for a path that is not from
  the root or holds an empty, ".", ".." or unsafe name. Other application parameters
  in a PUT are answered D1.
  Names on the wire are 16-bit units: units below 0x100 are Windows-1251 bytes, larger
  units UTF-16; listings carry names in Windows-1251. Names that are empty, ".", "..",
  or hold "/", "\" or control characters are refused with C0 Bad Request.

Byte traces (--trace writes, --replay reads; tarvel-cli and the window write the
same format). One line per read or write of the line, as the client's port sees it:
    PC 0 61 74 0D 0A
    PHONE 12 61 74 0D 0D 0A 4F 4B 0D 0A
  the party that sent the bytes (PC: the computer, PHONE: the phone), milliseconds
  since the trace began (a whole number, never decreasing), then each byte as two hex
  digits; single spaces between the fields. Lines starting with "#" and empty lines
  are comments. phonesim records the computer's bytes as they were written (before
  --noise-rx) and its own as they reach the computer (after --noise-tx).
  --replay sends the PHONE records in order, each once the client has sent as many
  bytes as the PC records before it hold: matched by count, not by time (--baud still
  paces). A client that deviates is still answered: the first byte that differs from
  the trace is logged (REPLAY-DEVIATION), a client that sends fewer bytes waits for the
  rest, and bytes beyond the trace (REPLAY-BEYOND) get no answer. Opening and closing
  the line do not restart the replay.

Log lines (one event each; names in UTF-8; hex in capitals). Request fields come in
the order flags, name, type, length, appparam, body, eob, extra; absent headers are
left out, an empty Name header shows as "name=":
  OPEN | CLOSE                      the line was opened / the last client closed it
  AT <command line>                 an AT command line (printable characters)
  BFB-START | BFB-END [reason]      BFB framing switched on / off
  BFB-IGNORED, no frame is answered AT^SBFB=1 on an S65 or S75
  PLAIN-START | PLAIN-END +++       plain OBEX switched on / off
  ESCAPE-LOST ...                   the line closed within the guard second after +++
  PING                              SieFS's ping, answered in BFB mode
  POWER-CYCLE                       the phone was switched off and on (SIGUSR1)
  LINK-START                        a CONNECT started a new link in BFB mode
  BFB-SETUP type=02 data=14         a set-up frame; type 01 adds speed=57600,
                                    type 06 adds at=<command>
  SPEED 115200 accepted | SPEED 115200 refused | SPEED refused: not a known ...
  RATE 115200                       the phone's line rate changed
  RATE-MISMATCH phone=115200 port=57600, not understood | ..., read as 00
                                    in BFB mode, the client's port is set to
                                    another rate: its bytes are lost / the phone's
                                    reach it as 00
  TEXT <line>                       a line without an AT command (echoed only)
  BAD-FRAME ... | BAD-BLOCK ...     framing errors, bytes skipped or dropped
  BAD-PACKET ... dropped            a block not holding one whole OBEX packet
  BAD-PACKET skipping from XX | BAD-PACKET length XX XX XX | BAD-PACKET incomplete,
  N bytes dropped                   plain OBEX: bytes that start no packet, a
                                    length under 3, a packet left unfinished
  BAD-CRC seq=NN got=XXXX want=XXXX a dropped data block
  REPEAT seq=NN, acknowledged again a repeated client block
  ACK                               the client acknowledged a phone block
  RESEND seq=NN try=K block=N       a phone block sent again
  GIVE-UP seq=NN after K resends    a phone block never acknowledged
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
  MOVE from=/a.txt to=/Sub/b.txt    the move command
  OBEX opcode=XX len=N              any other request
  RSP code=A0 len=N                 the response sent
  FAULT <damage> on <kind:N>        a damage option fired
  FAULT careful: <what>             plain OBEX: a request a careful server refuses
  FAULT +++ on a USB interface ...  plain OBEX on --interface usb: deaf until SIGUSR1
  FAULT noise-rx byte=B bit=I       line noise flipped bit I (0: least significant)
                                    of byte B (from 0) of that direction
  FAULT flip-tx block=N seq=NN bit=I  bit I, counted from the block's first byte
  FAULT lose-rx-block block=N seq=NN | FAULT lose-tx-ack ... | FAULT lose-rx-ack ...
  REPLAY ... | REPLAY-SEND k/n bytes=K | REPLAY-END | REPLAY-DEVIATION byte=B got=XX
  trace=YY | REPLAY-BEYOND byte=B   replaying a trace
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
    const Model *model = &defaultModel();
    std::optional<unsigned> packet;
    std::optional<Overwrite> overwrite;
    bool emptyFinal = false;
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
            std::fputs(helpText().c_str(), stdout);
            return {std::nullopt, 0};
        } else if (arg == "--root" || arg == "--link" || arg == "--model" || arg == "--log" || arg == "--trace"
                   || arg == "--replay") {
            // "--trace --log x" must not take "--log" for a file name.
            if (!needValue() || value.empty() || (value.starts_with("--") && !hasInlineValue))
                return fail(arg + " needs a value");
            if (arg == "--root")
                options.root = value;
            else if (arg == "--link")
                options.link = value;
            else if (arg == "--model" && !(model = findModel(value)))
                return fail("--model needs one of " + modelNames());
            else if (arg == "--log")
                options.log = value;
            else if (arg == "--trace")
                options.trace = value;
            else if (arg == "--replay")
                options.replay = value;
        } else if (arg == "--interface") {
            if (!needValue() || (value != "wire" && value != "usb" && value != "blue" && value != "irda"))
                return fail("--interface needs wire, usb, blue or irda");
            options.interface = value == "usb" ? Interface::Usb
                : value == "blue"              ? Interface::Blue
                : value == "irda"              ? Interface::Irda
                                               : Interface::Wire;
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
            packet = unsigned(number);
        } else if (arg == "--overwrite") {
            if (!needValue() || (value != "append" && value != "replace"))
                return fail("--overwrite needs append or replace");
            overwrite = value == "append" ? Overwrite::Append : Overwrite::Replace;
        } else if (arg == "--frame") {
            if (!needValue() || !parseNumber(value, number) || number < 5 || number > 255)
                return fail("--frame needs a size from 5 to 255");
            options.frame = unsigned(number);
        } else if (arg == "--cut") {
            if (!needValue() || (value != "blind" && value != "crc-last"))
                return fail("--cut needs blind or crc-last");
            options.cut = value == "blind" ? Cut::Blind : Cut::CrcLast;
        } else if (arg == "--resend-after") {
            if (!needValue() || !parseNumber(value, number) || number > 3600000)
                return fail("--resend-after needs milliseconds (0 for never)");
            options.resendAfterMs = unsigned(number);
        } else if (arg == "--resends") {
            if (!needValue() || !parseNumber(value, number) || number > 1000)
                return fail("--resends needs a count up to 1000");
            options.resends = unsigned(number);
        } else if (arg == "--at-latency" || arg == "--obex-latency") {
            if (!needValue() || !parseNumber(value, number) || number > 60000)
                return fail(arg + " needs milliseconds up to 60000");
            (arg == "--at-latency" ? options.atLatencyMs : options.obexLatencyMs) = unsigned(number);
        } else if (arg == "--seed") {
            if (!needValue() || !parseNumber(value, number))
                return fail("--seed needs a whole number");
            options.faults.seed = number;
        } else if (arg == "--noise-rx" || arg == "--noise-tx") {
            double rate;
            if (!needValue() || !parseRate(value, rate))
                return fail(arg + " needs a bit error rate from 0 to 1");
            (arg == "--noise-rx" ? options.faults.noiseRx : options.faults.noiseTx) = rate;
        } else if (arg == "--flip-rx" || arg == "--flip-tx" || arg == "--lose-rx-block" || arg == "--lose-tx-ack"
                   || arg == "--lose-rx-ack") {
            auto &faults = options.faults;
            BlockNumbers &numbers = arg == "--flip-rx" ? faults.flipRx
                : arg == "--flip-tx"                   ? faults.flipTx
                : arg == "--lose-rx-block"             ? faults.loseRxBlock
                : arg == "--lose-tx-ack"               ? faults.loseTxAck
                                                       : faults.loseRxAck;
            if (!needValue() || !parseBlocks(value, numbers))
                return fail(arg + " needs block numbers from 1, as N or N,N,...");
        } else if (arg == "--abort-get") {
            if (!needValue() || (value != "at-once" && value != "finish" && value != "refuse"))
                return fail("--abort-get needs at-once, finish or refuse");
            options.abortGet = value == "at-once" ? AbortGet::AtOnce
                : value == "finish"               ? AbortGet::Finish
                                                  : AbortGet::Refuse;
        } else if (arg == "--refuse-speed" && noValue()) {
            options.faults.refuseSpeed = true;
        } else if (arg == "--refuse-plain" && noValue()) {
            options.faults.refusePlain = true;
        } else if (arg == "--empty-final" && noValue()) {
            emptyFinal = true;
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
                   || arg == "--refuse-put" || arg == "--refuse-move") {
            int code;
            if (!needValue() || !parseResponseCode(value, code))
                return fail(arg + " needs an OBEX response code in hex, 80 to FF");
            if (arg == "--refuse-setpath")
                options.faults.refuseSetpath = code;
            else if (arg == "--refuse-mkdir")
                options.faults.refuseMkdir = code;
            else if (arg == "--refuse-delete")
                options.faults.refuseDelete = code;
            else if (arg == "--refuse-put")
                options.faults.refusePut = code;
            else
                options.faults.refuseMove = code;
        } else {
            return fail("unknown option " + std::string(argv[i]));
        }
    }
    // Explicit figures win over the model's, wherever they stand on the line.
    options.model = *model;
    if (packet) {
        options.model.packet = *packet;
        options.model.fixedPiece = 0;
    }
    if (overwrite)
        options.model.overwrite = *overwrite;
    if (emptyFinal)
        options.model.listingEndsEmpty = options.model.fileEndsEmpty = true;
    return {options, 0};
}

} // namespace phonesim
