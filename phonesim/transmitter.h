// Everything the phone sends goes through here: queued, written without blocking, and
// paced to the configured line rate so that transfers last as long as on a cable.
#pragma once

#include "bytes.h"
#include "requestlog.h"

#include <chrono>
#include <deque>
#include <optional>

namespace phonesim {

class Transmitter
{
public:
    using Clock = std::chrono::steady_clock;

    Transmitter(int fd, unsigned baud, RequestLog &log);

    // delayedByte: index into data of a byte held back by delayMs before it is sent.
    void send(const Bytes &data, std::optional<std::size_t> delayedByte = std::nullopt, unsigned delayMs = 0);
    void clear();
    bool idle() const { return queue_.empty(); }

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
        unsigned delayMs = 0;
        std::optional<Clock::time_point> holdUntil;
    };

    int fd_;
    double bytesPerSecond_;
    RequestLog &log_;
    std::deque<Segment> queue_;
    bool pacing_ = false;
    Clock::time_point pacingStart_;
    std::uint64_t pacedBytes_ = 0;
};

} // namespace phonesim
