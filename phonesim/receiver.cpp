#include "receiver.h"

#include <algorithm>

namespace phonesim {

namespace {
// Bytes are handed on in bursts of up to this many rather than one wake-up each.
constexpr std::size_t burst = 16;
} // namespace

Receiver::Receiver(LineRate &rate, LineNoise &noise, ByteTrace &trace, RequestLog &log)
    : rate_(rate), noise_(noise), trace_(trace), log_(log)
{}

void Receiver::arrived(const std::uint8_t *data, std::size_t size, unsigned portBaud)
{
    trace_.record(Party::Computer, data, size);
    if (!checkPortRate(portBaud))
        return;
    Bytes bytes(data, data + size);
    noise_.apply(bytes.data(), bytes.size());
    const auto now = Clock::now();
    const auto byteTime = rate_.byteTime();
    for (std::uint8_t byte : bytes) {
        lineFree_ = std::max(lineFree_, now) + byteTime;
        pending_.push_back({byte, lineFree_});
    }
}

bool Receiver::checkPortRate(unsigned portBaud)
{
    if (!portBaud)
        return true;
    // A computer that has already switched finds the phone switching with it.
    if (rate_.pending() == portBaud)
        rate_.commit();
    rate_.follow(portBaud);
    if (rate_.matches(portBaud)) {
        mismatch_.reset();
        return true;
    }
    // The phone's UART sees framing errors and nothing it can use.
    const std::pair<unsigned, unsigned> rates{rate_.baud(), portBaud};
    if (mismatch_ != rates)
        log_.line("RATE-MISMATCH phone=" + std::to_string(rates.first) + " port=" + std::to_string(rates.second)
                  + ", not understood");
    mismatch_ = rates;
    return false;
}

Bytes Receiver::take()
{
    Bytes out;
    const auto now = Clock::now();
    while (!pending_.empty() && pending_.front().due <= now) {
        out.push_back(pending_.front().byte);
        pending_.pop_front();
    }
    return out;
}

std::optional<Receiver::Clock::time_point> Receiver::nextDue() const
{
    if (pending_.empty())
        return std::nullopt;
    return pending_[std::min(pending_.size(), burst) - 1].due;
}

void Receiver::clear()
{
    pending_.clear();
    mismatch_.reset();
}

} // namespace phonesim
