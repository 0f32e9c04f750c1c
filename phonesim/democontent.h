// Demo flash content, generated here: pictures, tunes, a MIDlet and a few texts.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace phonesim {

// Fills root (an empty folder) with the demo folders and files, inside the first of
// rootFolders when the model has any (the others made empty beside it); false and a
// message on a file-system error.
bool seedDemoContent(const std::filesystem::path &root, const std::vector<std::string> &rootFolders,
                     std::string &error);

} // namespace phonesim
