#include "requestlog.h"

#include <chrono>

namespace phonesim {

RequestLog::~RequestLog()
{
    if (ownsFile_)
        std::fclose(file_);
}

bool RequestLog::open(const std::string &path, bool trace)
{
    trace_ = trace;
    if (path.empty())
        return true;
    if (path == "-") {
        file_ = stderr;
        return true;
    }
    file_ = std::fopen(path.c_str(), "w");
    ownsFile_ = file_ != nullptr;
    return file_ != nullptr;
}

void RequestLog::line(const std::string &text)
{
    if (!file_)
        return;
    std::fputs(text.c_str(), file_);
    std::fputc('\n', file_);
    std::fflush(file_);
}

void RequestLog::traceBytes(const char *direction, const std::uint8_t *data, std::size_t size)
{
    if (!trace_ || size == 0)
        return;
    static const auto start = std::chrono::steady_clock::now();
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
    line(std::string(direction) + " @" + std::to_string(ms) + " " + hexBytes(data, size));
}

} // namespace phonesim
