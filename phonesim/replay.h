// Answers the computer from a recorded byte trace instead of emulating the phone: the
// phone's writes go out in their recorded order, each once the computer has sent as
// many bytes as it had sent before that write in the trace. Bytes are matched by count,
// not by time; a computer that sends other bytes is still answered (the first
// difference is logged), one that sends fewer waits for the rest, and one that sends
// more than the trace holds gets nothing more.
#pragma once

#include "bytetrace.h"
#include "requestlog.h"
#include "responder.h"
#include "transmitter.h"

#include <vector>

namespace phonesim {

class Replay : public Responder
{
public:
    Replay(const std::vector<TraceRecord> &records, RequestLog &log, Transmitter &transmitter);

    void receive(const std::uint8_t *data, std::size_t size) override;
    void lineOpened() override;
    void lineClosed() override {}

private:
    void release();

    struct Write
    {
        std::size_t after; // computer bytes before it in the trace
        Bytes bytes;
    };

    RequestLog &log_;
    Transmitter &transmitter_;
    std::vector<Write> writes_;
    Bytes expected_; // everything the computer sent in the trace
    std::size_t received_ = 0;
    std::size_t next_ = 0;
    bool opened_ = false;
    bool deviated_ = false;
    bool beyond_ = false;
};

} // namespace phonesim
