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

void LineRate::commit()
{
    if (pending_)
        set(*pending_);
    pending_.reset();
}

void LineRate::reset()
{
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
