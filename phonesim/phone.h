// The phone's side of the serial line: AT commands, BFB framing, data blocks and their
// acknowledgements with resends and repeats, speed frames, and plain OBEX packets
// (AT^SQWE=3), with the one OBEX server behind both framings.
#pragma once

#include "bytes.h"
#include "faults.h"
#include "flash.h"
#include "linerate.h"
#include "noise.h"
#include "obexserver.h"
#include "options.h"
#include "requestlog.h"
#include "responder.h"
#include "transmitter.h"

#include <deque>
#include <string>

namespace phonesim {

class Phone : public Responder
{
public:
    Phone(const Options &options, Flash &flash, RequestLog &log, Transmitter &transmitter, LineRate &rate);

    void receive(const std::uint8_t *data, std::size_t size) override;
    // Closing and opening the line tell the phone nothing: it keeps its mode, its rate,
    // its link and a block it is still sending. Only a stall (--silent-after) ends, and
    // a "+++" whose guard second is not over yet counts for nothing (the cable's DTR
    // drops at the close, and no recording shows what a phone makes of it).
    void lineOpened() override;
    void lineClosed() override;
    // Switched off and on: AT mode at the start rate, the flash memory kept.
    void powerCycle() override;
    void tick(Clock::time_point now) override;
    std::optional<Clock::time_point> nextTimer() const override;

private:
    enum class Mode {
        At,
        Bfb,
        Plain
    };
    // The mode an AT command switches to.
    enum class Switch {
        None,
        Bfb,
        At,
        Plain
    };

    void startBfb();
    void endBfb(const std::string &why);
    // Sequence numbers and acknowledgements start afresh for a new link.
    void startLink();

    void atByte(std::uint8_t byte);
    void atLine();
    // Answer text (between CR LF pairs) of one AT command; sets the mode switch.
    std::string atAnswer(const std::string &command, Switch &to);
    // ATQ0 V1 E0 and the like: basic commands in a row; false when one is not known.
    bool basicCommands(const std::string &commands);

    void startPlain();
    void endPlain(const std::string &why);
    // quiet: the byte came after at least the escape guard time of silence.
    void plainByte(std::uint8_t byte, bool quiet);
    void plainPacket(const Bytes &packet);
    std::optional<Clock::time_point> escapeDue() const { return escapeDue_; }

    // The OBEX server's answer to one request packet, logged; damage gains the
    // exchange's faults.
    Bytes serve(const Bytes &packet, Damage &damage);
    // The server's second answer to the same request, logged.
    std::optional<Bytes> followUp();

    void bfbByte(std::uint8_t byte);
    // Bytes that start no frame or packet: a run of them is logged once, at its start.
    void skipFrom(const std::string &logLine);
    void frameReceived(std::uint8_t type, const Bytes &payload);
    void setupFrame(std::uint8_t type, const Bytes &payload);
    Bytes speedAnswer(const Bytes &payload, std::string &logText);
    void dataPayload(const Bytes &payload);
    void blockReceived();
    void clientAcknowledged();
    void dropIncomplete();

    // A response goes out right behind the link acknowledgement of its request, or,
    // while the client has not yet acknowledged the previous block, once it has.
    void respond(const Bytes &packet, const Damage &damage);
    void transmitBlock(Bytes ack, const Bytes &packet, const Damage &damage, unsigned latencyMs);
    void releaseResponses();
    void resendOrGiveUp();
    std::optional<Clock::time_point> resendDue() const;
    std::optional<Clock::time_point> switchDue() const;
    std::optional<Clock::time_point> staleDue() const;

    // latencyMs: the phone's answer time, from now to the first byte.
    void reply(Bytes ack, Bytes response, const Damage &damage, unsigned latencyMs);
    Bytes frame(std::uint8_t type, const Bytes &payload) const;
    Bytes cutIntoFrames(const Bytes &block) const;
    void flipBit(Bytes &block, const char *fault, unsigned number);
    void logFault(const Damage &damage);

    const Options &options_;
    RequestLog &log_;
    Transmitter &transmitter_;
    LineRate &rate_;
    FaultPlan faults_;
    FaultOptions blockFaults_; // the block-numbered faults still to fire
    SeededRandom flipChoice_;
    ObexServer server_;

    Mode mode_ = Mode::At;
    bool echo_ = true;
    bool silent_ = false;
    bool skipping_ = false; // inside a run of bytes that start no frame
    bool lineFeedDue_ = false; // the LF after the CR of AT^SBFB=1 or AT^SQWE=3 arrives in the new mode
    // A model that answers no BFB frame took AT^SBFB=1: what is no AT command is ignored.
    bool bfbIgnored_ = false;
    Bytes line_;
    Bytes frame_;
    Bytes block_;
    Bytes packet_; // a plain OBEX packet coming in
    bool disconnected_ = false; // a DISCONNECT came since plain mode started
    bool deaf_ = false; // took +++ on a USB interface for a packet: hears nothing until switched off
    unsigned pluses_ = 0; // of the +++ escape, after the guard time of silence
    std::optional<Clock::time_point> escapeDue_; // back to AT mode unless more bytes come
    Clock::time_point lastByte_; // from the computer, in BFB or plain mode

    // The link: block numbers on the wire, the phone's own sequence numbers, the last
    // client block accepted (a block carrying its number again is a repeat), and the
    // phone block waiting for the client's acknowledgement.
    unsigned clientBlocks_ = 0;
    unsigned phoneBlocks_ = 0;
    std::uint8_t sequence_ = 0;
    std::optional<std::uint8_t> lastAccepted_;
    struct Outstanding
    {
        Bytes block; // as first built, before any damage
        std::uint8_t sequence = 0;
        unsigned number = 0; // of its latest transmission
        unsigned resends = 0;
    };
    std::optional<Outstanding> outstanding_;
    struct Held
    {
        Bytes packet;
        Damage damage;
    };
    std::deque<Held> outbox_;
};

} // namespace phonesim
