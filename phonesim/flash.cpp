#include "flash.h"

#include "textcodec.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace fs = std::filesystem;

namespace phonesim {

namespace {

bool lstatPath(const fs::path &path, struct stat &info)
{
    return ::lstat(path.c_str(), &info) == 0;
}

// Windows-1251 capitals to their small letters: Latin, Russian, and the other Cyrillic ones.
std::uint8_t foldCase(std::uint8_t byte)
{
    static constexpr std::pair<std::uint8_t, std::uint8_t> pairs[] = {
        {0x80, 0x90}, {0x81, 0x83}, {0x8A, 0x9A}, {0x8C, 0x9C}, {0x8D, 0x9D}, {0x8E, 0x9E}, {0x8F, 0x9F}, {0xA1, 0xA2},
        {0xA3, 0xBC}, {0xA5, 0xB4}, {0xA8, 0xB8}, {0xAA, 0xBA}, {0xAF, 0xBF}, {0xB2, 0xB3}, {0xBD, 0xBE},
    };
    if ((byte >= 'A' && byte <= 'Z') || (byte >= 0xC0 && byte <= 0xDF))
        return byte + 32;
    for (const auto &[capital, small] : pairs) {
        if (byte == capital)
            return small;
    }
    return byte;
}

// Names as the phone compares them: letter case aside, Cyrillic letters included.
bool sameIgnoringCase(const std::string &a, const std::string &b)
{
    const auto wireA = utf8ToCp1251(a);
    const auto wireB = utf8ToCp1251(b);
    if (!wireA || !wireB)
        return a == b;
    return std::equal(wireA->begin(), wireA->end(), wireB->begin(), wireB->end(),
                      [](char x, char y) { return foldCase(std::uint8_t(x)) == foldCase(std::uint8_t(y)); });
}

// The entry of folder that the phone takes for name, under its stored name; folder / name
// when there is none.
fs::path entryFor(const fs::path &folder, const std::string &name)
{
    struct stat info
    {};
    if (lstatPath(folder / name, info))
        return folder / name;
    std::error_code error;
    for (const auto &item : fs::directory_iterator(folder, error)) {
        const std::string found = item.path().filename().string();
        if (!found.starts_with(Flash::tempPrefix) && sameIgnoringCase(found, name))
            return item.path();
    }
    return folder / name;
}

bool lessIgnoringCase(const std::string &a, const std::string &b)
{
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        return foldCase(std::uint8_t(x)) < foldCase(std::uint8_t(y));
    });
}

} // namespace

Upload::~Upload()
{
    abort();
}

FlashStatus Upload::start(const fs::path &destination, const std::string &name, std::uint64_t room, bool append)
{
    abort();
    std::string pattern = (destination.parent_path() / (std::string(Flash::tempPrefix) + "upload-XXXXXX")).string();
    fd_ = ::mkstemp(pattern.data());
    if (fd_ < 0)
        return FlashStatus::Failed;
    ::fchmod(fd_, 0644);
    temp_ = pattern;
    destination_ = destination;
    name_ = name;
    written_ = 0;
    room_ = room;
    if (append) {
        // The old bytes come first; an upload that does not end leaves the file as it was.
        const int old = ::open(destination.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
        if (old < 0) {
            abort();
            return FlashStatus::Failed;
        }
        std::uint8_t buffer[65536];
        for (;;) {
            const ssize_t n = ::read(old, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR)
                continue;
            const FlashStatus status = n < 0 ? FlashStatus::Failed : write(buffer, std::size_t(n));
            if (n <= 0 || status != FlashStatus::Ok) {
                ::close(old);
                if (n == 0 && status == FlashStatus::Ok)
                    break;
                abort();
                return status;
            }
        }
    }
    return FlashStatus::Ok;
}

FlashStatus Upload::write(const std::uint8_t *data, std::size_t size)
{
    if (!active())
        return FlashStatus::Failed;
    if (written_ + size > room_) {
        abort();
        return FlashStatus::Full;
    }
    while (size > 0) {
        ssize_t n = ::write(fd_, data, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            abort();
            return FlashStatus::Failed;
        }
        data += n;
        size -= std::size_t(n);
        written_ += std::uint64_t(n);
    }
    return FlashStatus::Ok;
}

FlashStatus Upload::commit()
{
    if (!active())
        return FlashStatus::Failed;
    int fd = fd_;
    fd_ = -1;
    bool ok = ::close(fd) == 0 && ::rename(temp_.c_str(), destination_.c_str()) == 0;
    if (!ok)
        ::unlink(temp_.c_str());
    return ok ? FlashStatus::Ok : FlashStatus::Failed;
}

void Upload::abort()
{
    if (!active())
        return;
    ::close(fd_);
    fd_ = -1;
    ::unlink(temp_.c_str());
}

Flash::Flash(fs::path root, std::uint32_t totalBytes) : root_(std::move(root)), total_(totalBytes) {}

bool Flash::validName(const std::string &name)
{
    if (name.empty() || name == "." || name == ".." || name.starts_with(tempPrefix))
        return false;
    return std::none_of(name.begin(), name.end(), [](char c) {
        auto byte = std::uint8_t(c);
        return byte < 0x20 || byte == 0x7F || c == '/' || c == '\\';
    });
}

fs::path Flash::currentFolder() const
{
    fs::path folder = root_;
    for (const auto &name : path_)
        folder /= name;
    return folder;
}

std::string Flash::currentPathText() const
{
    std::string text;
    for (const auto &name : path_)
        text += "/" + name;
    return text.empty() ? "/" : text;
}

FlashStatus Flash::goUp()
{
    if (path_.empty())
        return FlashStatus::NotFound;
    path_.pop_back();
    return FlashStatus::Ok;
}

std::optional<fs::path> Flash::child(const std::string &name) const
{
    if (!validName(name))
        return std::nullopt;
    return entryFor(currentFolder(), name);
}

FlashStatus Flash::enter(const std::string &name, bool mayCreate, bool *created)
{
    if (created)
        *created = false;
    auto folder = child(name);
    if (!folder)
        return FlashStatus::BadName;
    struct stat info
    {};
    if (lstatPath(*folder, info)) {
        if (!S_ISDIR(info.st_mode))
            return mayCreate ? FlashStatus::Forbidden : FlashStatus::NotFound;
    } else {
        if (!mayCreate)
            return FlashStatus::NotFound;
        if (::mkdir(folder->c_str(), 0755) != 0)
            return FlashStatus::Failed;
        if (created)
            *created = true;
    }
    path_.push_back(folder->filename().string());
    return FlashStatus::Ok;
}

FlashStatus Flash::folderFor(const std::string &name, fs::path &folder) const
{
    if (name.empty()) {
        folder = currentFolder();
        return FlashStatus::Ok;
    }
    auto path = child(name);
    if (!path)
        return FlashStatus::BadName;
    struct stat info
    {};
    if (!lstatPath(*path, info) || !S_ISDIR(info.st_mode))
        return FlashStatus::NotFound;
    folder = *path;
    return FlashStatus::Ok;
}

std::vector<FlashEntry> Flash::list(const fs::path &folder) const
{
    std::vector<FlashEntry> entries;
    std::error_code error;
    for (const auto &item : fs::directory_iterator(folder, error)) {
        FlashEntry entry;
        entry.name = item.path().filename().string();
        if (entry.name.starts_with(tempPrefix))
            continue;
        auto wire = utf8ToCp1251(entry.name);
        struct stat info
        {};
        if (!wire || !lstatPath(item.path(), info))
            continue;
        if (!S_ISDIR(info.st_mode) && !S_ISREG(info.st_mode))
            continue;
        entry.wireName = *wire;
        entry.folder = S_ISDIR(info.st_mode);
        entry.size = entry.folder ? 0 : std::uint64_t(info.st_size);
        entry.modified = info.st_mtime;
        entries.push_back(std::move(entry));
    }
    std::sort(entries.begin(), entries.end(), [](const FlashEntry &a, const FlashEntry &b) {
        if (a.folder != b.folder)
            return a.folder;
        return lessIgnoringCase(a.wireName, b.wireName);
    });
    return entries;
}

Bytes Flash::folderListingXml(const fs::path &folder, const std::string &indent) const
{
    const std::string xml = phonesim::folderListingXml(list(folder), indent);
    return Bytes(xml.begin(), xml.end());
}

FlashStatus Flash::readFile(const std::string &name, Bytes &content) const
{
    auto path = child(name);
    if (!path)
        return FlashStatus::BadName;
    struct stat info
    {};
    if (!lstatPath(*path, info) || !S_ISREG(info.st_mode))
        return FlashStatus::NotFound;
    int fd = ::open(path->c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return FlashStatus::Failed;
    content.clear();
    std::uint8_t buffer[65536];
    for (;;) {
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            ::close(fd);
            return FlashStatus::Failed;
        }
        if (n == 0)
            break;
        content.insert(content.end(), buffer, buffer + n);
    }
    ::close(fd);
    return FlashStatus::Ok;
}

FlashStatus Flash::remove(const std::string &name)
{
    auto path = child(name);
    if (!path)
        return FlashStatus::BadName;
    struct stat info
    {};
    if (!lstatPath(*path, info) || (!S_ISDIR(info.st_mode) && !S_ISREG(info.st_mode)))
        return FlashStatus::NotFound;
    if (S_ISDIR(info.st_mode)) {
        if (::rmdir(path->c_str()) == 0)
            return FlashStatus::Ok;
        return (errno == ENOTEMPTY || errno == EEXIST) ? FlashStatus::Forbidden : FlashStatus::Failed;
    }
    return ::unlink(path->c_str()) == 0 ? FlashStatus::Ok : FlashStatus::Failed;
}

std::optional<fs::path> Flash::folderAt(const std::vector<std::string> &names) const
{
    fs::path folder = root_;
    for (const auto &name : names) {
        folder = entryFor(folder, name);
        struct stat info
        {};
        if (!lstatPath(folder, info) || !S_ISDIR(info.st_mode))
            return std::nullopt;
    }
    return folder;
}

FlashStatus Flash::move(const std::vector<std::string> &from, const std::vector<std::string> &to)
{
    if (from.empty() || to.empty() || !std::all_of(from.begin(), from.end(), validName)
        || !std::all_of(to.begin(), to.end(), validName))
        return FlashStatus::BadName;
    // A folder cannot go inside itself.
    if (to.size() > from.size() && std::equal(from.begin(), from.end(), to.begin()))
        return FlashStatus::Forbidden;
    auto sourceFolder = folderAt({from.begin(), from.end() - 1});
    auto targetFolder = folderAt({to.begin(), to.end() - 1});
    if (!sourceFolder || !targetFolder)
        return FlashStatus::NotFound;
    const fs::path source = entryFor(*sourceFolder, from.back());
    const fs::path target = *targetFolder / to.back();
    struct stat info
    {};
    if (!lstatPath(source, info) || (!S_ISDIR(info.st_mode) && !S_ISREG(info.st_mode)))
        return FlashStatus::NotFound;
    // The source under other letters is no other entry: the name changes its case.
    if (const fs::path held = entryFor(*targetFolder, to.back()); held != source && lstatPath(held, info))
        return FlashStatus::Exists;
    if (::renameat2(AT_FDCWD, source.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) != 0)
        return errno == EEXIST ? FlashStatus::Exists : FlashStatus::Failed;
    if (path_.size() >= from.size() && std::equal(from.begin(), from.end(), path_.begin())) {
        std::vector<std::string> moved = to;
        moved.insert(moved.end(), path_.begin() + std::ptrdiff_t(from.size()), path_.end());
        path_ = std::move(moved);
    }
    return FlashStatus::Ok;
}

FlashStatus Flash::startUpload(Upload &upload, const std::string &name, std::uint64_t announced, bool append)
{
    auto path = child(name);
    if (!path)
        return FlashStatus::BadName;
    std::uint64_t held = 0;
    struct stat info
    {};
    const bool exists = lstatPath(*path, info);
    if (exists) {
        if (!S_ISREG(info.st_mode))
            return FlashStatus::Forbidden;
        held = std::uint64_t(info.st_size);
    }
    // The old bytes stay (append) or make room (replace); either way they count in the upload.
    std::uint64_t room = std::uint64_t(freeBytes()) + held;
    if (announced + (append ? held : 0) > room)
        return FlashStatus::Full;
    return upload.start(*path, name, room, append && exists);
}

std::uint64_t Flash::usedBytes() const
{
    std::uint64_t used = 0;
    std::error_code error;
    fs::recursive_directory_iterator it(root_, fs::directory_options::skip_permission_denied, error);
    for (; !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
        auto status = it->symlink_status(error);
        if (!error && fs::is_regular_file(status))
            used += it->file_size(error);
        error.clear();
    }
    return used;
}

std::uint32_t Flash::freeBytes() const
{
    std::uint64_t used = usedBytes();
    return used >= total_ ? 0 : std::uint32_t(total_ - used);
}

} // namespace phonesim
