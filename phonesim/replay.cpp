#include "replay.h"

#include <string>

namespace phonesim {

Replay::Replay(const std::vector<TraceRecord> &records, RequestLog &log, Transmitter &transmitter)
    : log_(log), transmitter_(transmitter)
{
    for (const TraceRecord &record : records) {
        if (record.from == Party::Computer)
            append(expected_, record.bytes);
        else
            writes_.push_back({expected_.size(), record.bytes});
    }
    log_.line("REPLAY " + std::to_string(writes_.size()) + " phone writes, " + std::to_string(expected_.size())
              + " computer bytes");
}

void Replay::lineOpened()
{
    opened_ = true;
    release();
}

void Replay::receive(const std::uint8_t *data, std::size_t size)
{
    for (std::size_t i = 0; i < size; ++i, ++received_) {
        if (received_ >= expected_.size()) {
            if (!beyond_)
                log_.line("REPLAY-BEYOND byte=" + std::to_string(received_) + ": the trace holds no more");
            beyond_ = true;
        } else if (data[i] != expected_[received_] && !deviated_) {
            log_.line("REPLAY-DEVIATION byte=" + std::to_string(received_) + " got=" + hexBytes(data + i, 1)
                      + " trace=" + hexBytes(&expected_[received_], 1));
            deviated_ = true;
        }
    }
    release();
}

void Replay::release()
{
    if (!opened_)
        return;
    for (; next_ < writes_.size() && writes_[next_].after <= received_; ++next_) {
        log_.line("REPLAY-SEND " + std::to_string(next_ + 1) + "/" + std::to_string(writes_.size())
                  + " bytes=" + std::to_string(writes_[next_].bytes.size()));
        transmitter_.send(writes_[next_].bytes);
        if (next_ + 1 == writes_.size())
            log_.line("REPLAY-END");
    }
}

} // namespace phonesim
