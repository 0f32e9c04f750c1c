// The cable's line rate, shared by both directions. An accepted speed frame switches it
// (about 100 ms after the phone's answer has left); opening the line again or leaving
// BFB framing returns it to the rate the cable started with.
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

    // A switch the phone has agreed to and makes once its answer is out.
    void schedule(unsigned baud) { pending_ = baud; }
    std::optional<unsigned> pending() const { return pending_; }
    void commit();
    void reset();

private:
    void set(unsigned baud);

    RequestLog &log_;
    const unsigned start_;
    const bool paced_;
    unsigned baud_;
    Clock::duration byteTime_{};
    std::optional<unsigned> pending_;
};

} // namespace phonesim
