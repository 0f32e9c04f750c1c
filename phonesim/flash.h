// The phone's flash memory: a host folder. Keeps the OBEX session's current folder and
// never lets a name from the wire reach outside the root. Names from the wire find an
// entry without regard to letter case (Windows-1251 letters too); entries keep the
// case they were made with.
#pragma once

#include "bytes.h"
#include "folderlisting.h"

#include <cstdint>
#include <ctime>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace phonesim {

enum class FlashStatus {
    Ok,
    NotFound,
    Forbidden,
    BadName,
    Full,
    Exists,
    Failed
};

// An upload in progress: written to a hidden file beside its destination and renamed
// over it only when complete, so an aborted upload leaves nothing behind.
class Upload
{
public:
    Upload() = default;
    ~Upload();
    Upload(const Upload &) = delete;
    Upload &operator=(const Upload &) = delete;

    bool active() const { return fd_ >= 0; }
    const std::string &name() const { return name_; }
    std::uint64_t written() const { return written_; }

    // append: the destination's bytes come first (a phone that appends to a file it is sent again).
    FlashStatus start(const std::filesystem::path &destination, const std::string &name, std::uint64_t room,
                      bool append);
    FlashStatus write(const std::uint8_t *data, std::size_t size);
    FlashStatus commit();
    void abort();

private:
    int fd_ = -1;
    std::filesystem::path temp_;
    std::filesystem::path destination_;
    std::string name_;
    std::uint64_t written_ = 0;
    std::uint64_t room_ = 0;
};

class Flash
{
public:
    Flash(std::filesystem::path root, std::uint32_t totalBytes);

    static constexpr const char *tempPrefix = ".phonesim-";

    // Wire names arrive decoded to UTF-8; these are the ones the phone refuses.
    static bool validName(const std::string &name);

    const std::filesystem::path &root() const { return root_; }
    std::filesystem::path currentFolder() const;
    std::string currentPathText() const; // "/" or "/Bitmap/Sub", for messages
    bool atRoot() const { return path_.empty(); }

    void goRoot() { path_.clear(); }
    FlashStatus goUp();
    FlashStatus enter(const std::string &name, bool mayCreate, bool *created = nullptr);

    // A child of the current folder (or of a subfolder given by name).
    std::optional<std::filesystem::path> child(const std::string &name) const;
    FlashStatus folderFor(const std::string &name, std::filesystem::path &folder) const;

    std::vector<FlashEntry> list(const std::filesystem::path &folder) const;
    // indent: before each entry (three spaces on the x55-x65 phones, none on the x75).
    Bytes folderListingXml(const std::filesystem::path &folder, const std::string &indent) const;

    FlashStatus readFile(const std::string &name, Bytes &content) const;
    FlashStatus remove(const std::string &name);
    // Renames or moves a file or folder; both given as names from the root. The current
    // folder, when it was moved, stays current under its new name.
    FlashStatus move(const std::vector<std::string> &from, const std::vector<std::string> &to);
    FlashStatus startUpload(Upload &upload, const std::string &name, std::uint64_t announced, bool append);

    std::uint32_t totalBytes() const { return total_; }
    std::uint64_t usedBytes() const;
    std::uint32_t freeBytes() const;

private:
    // The real folder (no symbolic link on the way) of the names from the root.
    std::optional<std::filesystem::path> folderAt(const std::vector<std::string> &names) const;

    std::filesystem::path root_;
    std::vector<std::string> path_;
    std::uint32_t total_;
};

} // namespace phonesim
