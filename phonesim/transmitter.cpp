#include "transmitter.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <unistd.h>

namespace phonesim {

namespace {
// Pacing wakes up for this many bytes at a time rather than for each byte.
constexpr std::size_t pacingBurst = 16;
} // namespace

Transmitter::Transmitter(int fd, unsigned baud, RequestLog &log) : fd_(fd), bytesPerSecond_(baud / 10.0), log_(log) {}

void Transmitter::send(const Bytes &data, std::optional<std::size_t> delayedByte, unsigned delayMs)
{
    if (data.empty())
        return;
    auto add = [this](Bytes bytes, unsigned delay) {
        Segment segment;
        segment.data = std::move(bytes);
        segment.delayMs = delay;
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
}

Transmitter::Wait Transmitter::pump()
{
    while (!queue_.empty()) {
        Segment &segment = queue_.front();
        auto now = Clock::now();
        if (segment.delayMs > 0) {
            if (!segment.holdUntil)
                segment.holdUntil = now + std::chrono::milliseconds(segment.delayMs);
            if (now < *segment.holdUntil)
                return {false, segment.holdUntil};
            segment.delayMs = 0;
            pacing_ = false; // the line was idle meanwhile: no credit from the pause
        }
        std::size_t remaining = segment.data.size() - segment.sent;
        std::size_t allowed = remaining;
        if (bytesPerSecond_ > 0) {
            if (!pacing_) {
                pacing_ = true;
                pacingStart_ = now;
                pacedBytes_ = 0;
            }
            double elapsed = std::chrono::duration<double>(now - pacingStart_).count();
            auto earned = std::uint64_t(elapsed * bytesPerSecond_) + 1;
            std::size_t credit = earned > pacedBytes_ ? std::size_t(earned - pacedBytes_) : 0;
            std::size_t wanted = std::min(remaining, pacingBurst);
            if (credit < wanted) {
                double due = double(pacedBytes_ + wanted - 1) / bytesPerSecond_;
                return {false,
                        pacingStart_ + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(due))};
            }
            allowed = std::min(remaining, credit);
        }
        ssize_t written = ::write(fd_, segment.data.data() + segment.sent, allowed);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK)
                return {true, std::nullopt};
            log_.line("WRITE-ERROR errno=" + std::to_string(errno));
            clear();
            return {};
        }
        log_.traceBytes("TX", segment.data.data() + segment.sent, std::size_t(written));
        segment.sent += std::size_t(written);
        pacedBytes_ += std::uint64_t(written);
        if (segment.sent == segment.data.size())
            queue_.pop_front();
    }
    pacing_ = false;
    return {};
}

} // namespace phonesim
