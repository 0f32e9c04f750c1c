// The computer's side of the cable on its way to the phone: each read is recorded in the
// trace as the computer sent it, then hit by line noise, and a byte reaches the phone
// only when its wire time at the current line rate has passed. Bytes sent at a rate
// the phone is not listening at never reach it.
#pragma once

#include "bytes.h"
#include "bytetrace.h"
#include "linerate.h"
#include "noise.h"
#include "requestlog.h"

#include <chrono>
#include <deque>
#include <optional>
#include <utility>

namespace phonesim {

class Receiver
{
public:
    using Clock = std::chrono::steady_clock;

    Receiver(LineRate &rate, LineNoise &noise, ByteTrace &trace, RequestLog &log);

    // portBaud: the speed the computer set on its end of the line; 0 when unknown.
    void arrived(const std::uint8_t *data, std::size_t size, unsigned portBaud);
    // The bytes that have fully arrived by now.
    Bytes take();
    std::optional<Clock::time_point> nextDue() const;
    void clear();

private:
    // False when the phone cannot understand bytes sent at portBaud.
    bool checkPortRate(unsigned portBaud);

    struct Pending
    {
        std::uint8_t byte;
        Clock::time_point due;
    };

    LineRate &rate_;
    LineNoise &noise_;
    ByteTrace &trace_;
    RequestLog &log_;
    std::deque<Pending> pending_;
    Clock::time_point lineFree_{};
    std::optional<std::pair<unsigned, unsigned>> mismatch_; // phone, port: logged once
};

} // namespace phonesim
