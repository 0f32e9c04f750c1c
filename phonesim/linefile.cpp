#include "linefile.h"

namespace phonesim {

void LineFile::Closer::operator()(std::FILE *file) const
{
    if (file != stderr)
        std::fclose(file);
}

bool LineFile::open(const std::string &path)
{
    if (path.empty())
        return true;
    file_.reset(path == "-" ? stderr : std::fopen(path.c_str(), "w"));
    return isOpen();
}

void LineFile::line(const std::string &text)
{
    if (!file_)
        return;
    std::fputs(text.c_str(), file_.get());
    std::fputc('\n', file_.get());
    std::fflush(file_.get());
}

} // namespace phonesim
