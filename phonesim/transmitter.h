// Everything the phone sends goes through here: queued, held back for the phone's
// answer time, written without blocking, paced to the line rate, hit by line noise on
// the way and recorded in the trace as the computer receives it. A computer whose port
// is set to another rate than the phone's reads each byte as 00, as a raw port reads a
// byte with a framing error.
#pragma once

#include "bytes.h"
#include "bytetrace.h"
#include "linerate.h"
#include "noise.h"
#include "pseudoterminal.h"
#include "requestlog.h"

#include <chrono>
#include <deque>
#include <optional>
#include <utility>

namespace phonesim {

class Transmitter
{
public:
    using Clock = std::chrono::steady_clock;

    Transmitter(const PseudoTerminal &terminal, LineRate &rate, LineNoise &noise, ByteTrace &trace, RequestLog &log);

    // Nothing goes out before latencyMs from now; delayedByte: index into data of a
    // byte held back by a further delayMs once the bytes before it have gone.
    void send(const Bytes &data, unsigned latencyMs = 0, std::optional<std::size_t> delayedByte = std::nullopt,
              unsigned delayMs = 0);
    void clear();
    bool idle() const { return queue_.empty(); }
    // When the queue last ran empty.
    Clock::time_point idleSince() const { return idleSince_; }

    struct Wait
    {
        bool writable = false; // wait until the descriptor takes more
        std::optional<Clock::time_point> until; // or until this moment
    };
    // Writes whatever may go out now and says what to wait for next.
    Wait pump();

private:
    struct Segment
    {
        Bytes data;
        std::size_t sent = 0;
        std::size_t noised = 0; // bytes that have met the line noise
        unsigned delayMs = 0;
        std::optional<Clock::time_point> holdUntil;
        std::optional<Clock::time_point> notBefore;
    };

    // What the computer's port makes of bytes sent now.
    void garbleForPort(std::uint8_t *bytes, std::size_t size);

    const PseudoTerminal &terminal_;
    LineRate &rate_;
    LineNoise &noise_;
    ByteTrace &trace_;
    RequestLog &log_;
    std::deque<Segment> queue_;
    bool pacing_ = false; // inside a run of paced bytes: lineFree_ is where the next one starts
    Clock::time_point lineFree_;
    Clock::time_point idleSince_ = Clock::now();
    std::optional<std::pair<unsigned, unsigned>> mismatch_; // phone, port: logged once
};

} // namespace phonesim
