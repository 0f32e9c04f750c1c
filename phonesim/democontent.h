// Demo flash content, generated here: pictures, tunes, a MIDlet and a few texts.
#pragma once

#include <filesystem>
#include <string>

namespace phonesim {

// Fills root (an empty folder) with the demo folders and files; false and a message on
// a file-system error.
bool seedDemoContent(const std::filesystem::path &root, std::string &error);

} // namespace phonesim
