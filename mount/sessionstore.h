#pragma once

// The phone on the serial link: a PhoneStore over one PhoneSession per connection.

#include "mountoptions.h"
#include "phonestore.h"

#include <QString>

#include <chrono>
#include <memory>
#include <optional>

class Checksum;

// Makes connections to the phone that link names. After a failed attempt the
// next ones within RetryPause fail at once with the same reason, so that a
// missing phone costs one connect procedure (up to 8 s) per RetryPause, not one
// per operation. A connection lost after it was made is tried again at once.
class SessionConnector
{
public:
    static constexpr std::chrono::milliseconds RetryPause{10000};

    // crc must outlive the connector and every store it makes. timeScale shortens
    // the link's pauses and time-out and the retry pause (1 outside the tests).
    SessionConnector(const LinkSettings &link, Checksum &crc, double timeScale = 1.0);

    StoreResult<std::unique_ptr<PhoneStore>> connect();

private:
    using Clock = std::chrono::steady_clock;

    LinkSettings link;
    Checksum &crc;
    double timeScale;
    std::optional<Clock::time_point> retryAt;
    QString lastProblem;
    bool noiseNoted = false; // the noisy line is told of once per mount
};
