// What answers the computer on the line: the emulated phone, or a replayed trace.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>

namespace phonesim {

class Responder
{
public:
    using Clock = std::chrono::steady_clock;

    virtual ~Responder() = default;

    // Bytes from the computer that have fully arrived.
    virtual void receive(const std::uint8_t *data, std::size_t size) = 0;
    virtual void lineOpened() = 0;
    virtual void lineClosed() = 0;
    // Switched off and on again.
    virtual void powerCycle() {}
    // Timed work (resends, the speed switch); nextTimer says when it is due.
    virtual void tick(Clock::time_point) {}
    virtual std::optional<Clock::time_point> nextTimer() const { return std::nullopt; }
};

} // namespace phonesim
