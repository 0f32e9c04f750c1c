#include "transmitter.h"

#include <algorithm>
#include <cerrno>
#include <string>
#include <unistd.h>

namespace phonesim {

namespace {
// Pacing wakes up for this many bytes at a time rather than for each byte.
constexpr std::size_t pacingBurst = 16;
} // namespace

Transmitter::Transmitter(const PseudoTerminal &terminal, LineRate &rate, LineNoise &noise, ByteTrace &trace,
                         RequestLog &log)
    : terminal_(terminal), rate_(rate), noise_(noise), trace_(trace), log_(log)
{}

void Transmitter::send(const Bytes &data, unsigned latencyMs, std::optional<std::size_t> delayedByte, unsigned delayMs)
{
    if (data.empty())
        return;
    std::optional<Clock::time_point> notBefore;
    if (latencyMs > 0)
        notBefore = Clock::now() + std::chrono::milliseconds(latencyMs);
    auto add = [&](Bytes bytes, unsigned delay) {
        Segment segment;
        segment.data = std::move(bytes);
        segment.delayMs = delay;
        segment.notBefore = std::exchange(notBefore, std::nullopt);
        queue_.push_back(std::move(segment));
    };
    if (delayedByte && *delayedByte < data.size()) {
        auto split = data.begin() + std::ptrdiff_t(*delayedByte);
        if (*delayedByte > 0)
            add(Bytes(data.begin(), split), 0);
        add(Bytes(split, data.end()), delayMs);
    } else {
        add(data, 0);
    }
}

void Transmitter::clear()
{
    queue_.clear();
    pacing_ = false;
    idleSince_ = Clock::now();
}

Transmitter::Wait Transmitter::pump()
{
    while (!queue_.empty()) {
        Segment &segment = queue_.front();
        const auto now = Clock::now();
        if (segment.notBefore && now < *segment.notBefore) {
            pacing_ = false; // the line is idle meanwhile
            return {false, segment.notBefore};
        }
        if (segment.delayMs > 0) {
            if (!segment.holdUntil)
                segment.holdUntil = now + std::chrono::milliseconds(segment.delayMs);
            if (now < *segment.holdUntil)
                return {false, segment.holdUntil};
            segment.delayMs = 0;
            pacing_ = false; // the line was idle meanwhile: no credit from the pause
        }
        const std::size_t remaining = segment.data.size() - segment.sent;
        std::size_t allowed = remaining;
        const auto byteTime = rate_.byteTime();
        if (byteTime > Clock::duration::zero()) {
            // The first byte of a run goes out at once; later ones when their turn on
            // the wire has come, a burst at a time.
            const bool runStarts = !pacing_;
            if (runStarts) {
                pacing_ = true;
                lineFree_ = std::max(lineFree_, now);
            }
            const std::size_t wanted = std::min(remaining, pacingBurst);
            const auto burstDue = lineFree_ + byteTime * std::ptrdiff_t(wanted - 1);
            if (const auto due = runStarts ? lineFree_ : burstDue; due > now)
                return {false, due};
            allowed = std::min<std::size_t>(remaining, std::size_t((now - lineFree_) / byteTime) + 1);
        }
        if (segment.noised < segment.sent + allowed) {
            noise_.apply(segment.data.data() + segment.noised, segment.sent + allowed - segment.noised);
            segment.noised = segment.sent + allowed;
        }
        std::uint8_t *wire = segment.data.data() + segment.sent;
        garbleForPort(wire, allowed);
        // With no client on the line the bytes are lost, as on a cable nobody listens to.
        const ssize_t written =
            terminal_.clientPresent() ? ::write(terminal_.master(), wire, allowed) : ssize_t(allowed);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                pacing_ = false;
                return {true, std::nullopt};
            }
            log_.line("WRITE-ERROR errno=" + std::to_string(errno));
            clear();
            return {};
        }
        if (terminal_.clientPresent())
            trace_.record(Party::Phone, wire, std::size_t(written));
        segment.sent += std::size_t(written);
        lineFree_ += byteTime * std::ptrdiff_t(written);
        if (segment.sent == segment.data.size()) {
            queue_.pop_front();
            if (queue_.empty())
                idleSince_ = Clock::now();
        }
    }
    pacing_ = false;
    return {};
}

void Transmitter::garbleForPort(std::uint8_t *bytes, std::size_t size)
{
    const unsigned portBaud = terminal_.clientBaud();
    if (rate_.matches(portBaud)) {
        mismatch_.reset();
        return;
    }
    const std::pair<unsigned, unsigned> rates{rate_.baud(), portBaud};
    if (mismatch_ != rates)
        log_.line("RATE-MISMATCH phone=" + std::to_string(rates.first) + " port=" + std::to_string(rates.second)
                  + ", read as 00");
    mismatch_ = rates;
    std::fill(bytes, bytes + size, std::uint8_t(0));
}

} // namespace phonesim
