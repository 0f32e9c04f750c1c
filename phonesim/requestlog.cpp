#include "requestlog.h"

namespace phonesim {

RequestLog::~RequestLog()
{
    if (ownsFile_)
        std::fclose(file_);
}

bool RequestLog::open(const std::string &path)
{
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

} // namespace phonesim
