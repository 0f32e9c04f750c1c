// The phone's side of the serial line: AT commands, BFB framing, data blocks and their
// acknowledgements, with the OBEX server behind them.
#pragma once

#include "bytes.h"
#include "faults.h"
#include "flash.h"
#include "obexserver.h"
#include "options.h"
#include "requestlog.h"
#include "transmitter.h"

#include <deque>
#include <string>

namespace phonesim {

class Phone
{
public:
    Phone(const Options &options, Flash &flash, RequestLog &log, Transmitter &transmitter);

    void receive(const std::uint8_t *data, std::size_t size);
    // A client opened the line, or the last one closed it: the phone starts afresh in
    // AT mode, as after plugging the cable in again.
    void restart();

private:
    enum class Mode {
        At,
        Bfb
    };

    void atByte(std::uint8_t byte);
    void atLine();
    // Answer text (between CR LF pairs) of one AT command; sets the mode switches.
    std::string atAnswer(const std::string &command, bool &startBfb, bool &endBfb);

    void bfbByte(std::uint8_t byte);
    void frameReceived(std::uint8_t type, const Bytes &payload);
    void setupFrame(std::uint8_t type, const Bytes &payload);
    void dataPayload(const Bytes &payload);
    void blockReceived();
    void clientAcknowledged();

    void reply(Bytes ack, Bytes response, const Damage &damage, bool expectsAck);
    Bytes frame(std::uint8_t type, const Bytes &payload) const;
    Bytes responseFrames(const Bytes &packet, bool badCrc);
    void logFault(const Damage &damage);

    const Options &options_;
    RequestLog &log_;
    Transmitter &transmitter_;
    FaultPlan faults_;
    ObexServer server_;

    Mode mode_ = Mode::At;
    bool echo_ = true;
    bool silent_ = false;
    bool skipping_ = false; // inside a run of bytes that start no frame
    bool lineFeedDue_ = false; // the LF after the CR of AT^SBFB=1 arrives in BFB mode
    Bytes line_;
    Bytes frame_;
    Bytes block_;
    std::uint8_t sequence_ = 0;

    // A response goes out right behind the link acknowledgement of its request, or,
    // while the client has not yet acknowledged the previous response, once it has.
    void releaseResponses();
    bool awaitingAck_ = false;
    struct Held
    {
        Bytes response;
        Damage damage;
    };
    std::deque<Held> outbox_;
};

} // namespace phonesim
