#include "linerate.h"

#include <string>

namespace phonesim {

namespace {
constexpr unsigned nominalBaud = 57600;
}

LineRate::LineRate(unsigned baud, RequestLog &log)
    : log_(log), start_(baud ? baud : nominalBaud), paced_(baud != 0), baud_(start_)
{
    set(start_);
}

void LineRate::follow(unsigned portBaud)
{
    if (anyRate_ && portBaud)
        set(portBaud);
}

void LineRate::startBfb()
{
    anyRate_ = false;
    pending_.reset();
    if (baud_ != start_)
        schedule(start_);
}

void LineRate::startPlain()
{
    anyRate_ = false;
    pending_.reset();
}

void LineRate::backToAt()
{
    anyRate_ = true;
    pending_.reset();
}

void LineRate::commit()
{
    if (pending_)
        set(*pending_);
    pending_.reset();
}

void LineRate::reset()
{
    anyRate_ = true;
    pending_.reset();
    set(start_);
}

void LineRate::set(unsigned baud)
{
    if (baud != baud_)
        log_.line("RATE " + std::to_string(baud));
    baud_ = baud;
    byteTime_ = paced_ ? std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(10.0 / baud))
                       : Clock::duration::zero();
}

} // namespace phonesim
