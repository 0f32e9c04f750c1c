// One line per event, flushed at once, so that tests can read what the client sent
// while the phone keeps running.
#pragma once

#include "bytes.h"

#include <cstdio>
#include <string>

namespace phonesim {

class RequestLog
{
public:
    RequestLog() = default;
    ~RequestLog();
    RequestLog(const RequestLog &) = delete;
    RequestLog &operator=(const RequestLog &) = delete;

    // "-" is standard error; an empty path disables the log.
    bool open(const std::string &path, bool trace);
    void line(const std::string &text);
    void traceBytes(const char *direction, const std::uint8_t *data, std::size_t size);

private:
    std::FILE *file_ = nullptr;
    bool ownsFile_ = false;
    bool trace_ = false;
};

} // namespace phonesim
