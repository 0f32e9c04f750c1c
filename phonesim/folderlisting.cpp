#include "folderlisting.h"

#include <ctime>

namespace phonesim {

namespace {

void appendXmlEscaped(std::string &out, const std::string &text)
{
    for (char c : text) {
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '"':
            out += "&quot;";
            break;
        case '\'':
            out += "&apos;";
            break;
        default:
            out += c;
        }
    }
}

// "20030412T153005" in local time, as a phone stamps files.
std::string obexTimestamp(std::time_t time)
{
    struct tm local
    {};
    localtime_r(&time, &local);
    char text[32];
    std::strftime(text, sizeof text, "%Y%m%dT%H%M%S", &local);
    return text;
}

} // namespace

std::string folderListingXml(const std::vector<FlashEntry> &entries, const std::string &indent)
{
    std::string xml = "<?xml version=\"1.0\"?>\r\n"
                      "<!DOCTYPE folder-listing SYSTEM \"obex-folder-listing.dtd\">\r\n"
                      "<folder-listing version=\"1.0\">\r\n";
    for (const FlashEntry &entry : entries) {
        xml += indent;
        xml += entry.folder ? "<folder name=\"" : "<file name=\"";
        appendXmlEscaped(xml, entry.wireName);
        xml += "\"";
        if (!entry.folder)
            xml += " size=\"" + std::to_string(entry.size) + "\"";
        xml += " modified=\"" + obexTimestamp(entry.modified) + "\"/>\r\n";
    }
    xml += "</folder-listing>\r\n";
    return xml;
}

} // namespace phonesim
