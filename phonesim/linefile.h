// A file written a line at a time, each line flushed at once, so that a reader (a
// test) sees it while the phone keeps running.
#pragma once

#include <cstdio>
#include <memory>
#include <string>

namespace phonesim {

class LineFile
{
public:
    // "-" is standard error; an empty path opens nothing and every line is dropped.
    bool open(const std::string &path);
    bool isOpen() const { return file_ != nullptr; }
    // text without its line end.
    void line(const std::string &text);

private:
    struct Closer
    {
        void operator()(std::FILE *file) const;
    };
    std::unique_ptr<std::FILE, Closer> file_;
};

} // namespace phonesim
