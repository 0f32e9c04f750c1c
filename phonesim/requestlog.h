// One line per event, flushed at once, so that tests can read what the client sent
// while the phone keeps running.
#pragma once

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
    bool open(const std::string &path);
    void line(const std::string &text);

private:
    std::FILE *file_ = nullptr;
    bool ownsFile_ = false;
};

} // namespace phonesim
