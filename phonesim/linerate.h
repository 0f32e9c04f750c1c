// The phone's line rate. In AT mode the phone follows whatever rate the computer
// talks at; in BFB mode it listens and speaks only at its own rate: the start rate
// from AT^SBFB=1 on (switched once the OK has left), or what an accepted speed frame
// set (about 100 ms after the phone's answer has left). In plain OBEX mode it keeps
// the rate the AT commands used. A power cycle returns it to
// the start rate in AT mode; closing and opening the line change nothing.
#pragma once

#include "requestlog.h"

#include <chrono>
#include <optional>

namespace phonesim {

class LineRate
{
public:
    using Clock = std::chrono::steady_clock;

    // baud 0: no pacing; the phone still keeps a nominal rate of 57600.
    LineRate(unsigned baud, RequestLog &log);

    bool paced() const { return paced_; }
    unsigned baud() const { return baud_; }
    unsigned startBaud() const { return start_; }
    // Wire time of one byte (start bit, 8 data bits, stop bit); zero without pacing.
    Clock::duration byteTime() const { return byteTime_; }

    // Whether bytes between the phone and a port set to portBaud are understood both
    // ways (0: the port's rate is not known, taken as matching).
    bool matches(unsigned portBaud) const { return anyRate_ || !portBaud || portBaud == baud_; }
    // In AT mode the phone takes up the rate the computer talks at.
    void follow(unsigned portBaud);

    // BFB framing starts (at the start rate, once the OK has left), plain OBEX starts
    // (at the rate of the AT commands), or either ends.
    void startBfb();
    void startPlain();
    void backToAt();

    // A switch the phone has agreed to and makes once its answer is out.
    void schedule(unsigned baud) { pending_ = baud; }
    std::optional<unsigned> pending() const { return pending_; }
    void commit();
    // Power on: AT mode at the start rate.
    void reset();

private:
    void set(unsigned baud);

    RequestLog &log_;
    const unsigned start_;
    const bool paced_;
    bool anyRate_ = true;
    unsigned baud_;
    Clock::duration byteTime_{};
    std::optional<unsigned> pending_;
};

} // namespace phonesim
