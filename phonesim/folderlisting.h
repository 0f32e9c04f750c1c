// The folder listing as the phone writes it (x-obex/folder-listing).
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

namespace phonesim {

struct FlashEntry
{
    std::string name; // UTF-8, as on the host
    std::string wireName; // Windows-1251
    bool folder = false;
    std::uint64_t size = 0;
    std::time_t modified = 0;
};

// The entries in their order, names with XML character references, CRLF line ends;
// indent before each entry (three spaces on the x55-x65 phones, none on the x75).
std::string folderListingXml(const std::vector<FlashEntry> &entries, const std::string &indent);

} // namespace phonesim
