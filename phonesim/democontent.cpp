#include "democontent.h"

#include "bytes.h"

#include <array>
#include <cmath>
#include <ctime>
#include <fcntl.h>
#include <functional>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace phonesim {

namespace {

struct Rgb
{
    std::uint8_t r, g, b;
};

void putLe16(Bytes &out, unsigned value)
{
    out.push_back(std::uint8_t(value));
    out.push_back(std::uint8_t(value >> 8));
}

void putLe32(Bytes &out, std::uint32_t value)
{
    putLe16(out, value & 0xFFFF);
    putLe16(out, value >> 16);
}

// Uncompressed 24-bit Windows bitmap, rows bottom-up, each padded to 4 bytes.
Bytes makeBitmap(int width, int height, const std::function<Rgb(int x, int y)> &pixel)
{
    const std::uint32_t rowSize = (std::uint32_t(width) * 3 + 3) & ~3u;
    const std::uint32_t imageSize = rowSize * std::uint32_t(height);
    Bytes out;
    out.push_back('B');
    out.push_back('M');
    putLe32(out, 54 + imageSize);
    putLe32(out, 0);
    putLe32(out, 54);
    putLe32(out, 40);
    putLe32(out, std::uint32_t(width));
    putLe32(out, std::uint32_t(height));
    putLe16(out, 1);
    putLe16(out, 24);
    putLe32(out, 0);
    putLe32(out, imageSize);
    putLe32(out, 2835);
    putLe32(out, 2835);
    putLe32(out, 0);
    putLe32(out, 0);
    for (int y = height - 1; y >= 0; --y) {
        std::size_t rowStart = out.size();
        for (int x = 0; x < width; ++x) {
            Rgb c = pixel(x, y);
            out.push_back(c.b);
            out.push_back(c.g);
            out.push_back(c.r);
        }
        out.resize(rowStart + rowSize, 0);
    }
    return out;
}

std::uint8_t clampByte(double value)
{
    return std::uint8_t(std::lround(std::fmin(255.0, std::fmax(0.0, value))));
}

Bytes logoPicture()
{
    // Phone-screen sized: a blue-to-cyan gradient with a yellow disc and its shadow.
    return makeBitmap(101, 80, [](int x, int y) {
        double dx = x - 50.0, dy = y - 38.0;
        double distance = std::sqrt(dx * dx + dy * dy);
        if (distance < 22)
            return Rgb{255, clampByte(230 - distance * 3), 40};
        double sx = x - 54.0, sy = y - 43.0;
        bool shadow = std::sqrt(sx * sx + sy * sy) < 22;
        Rgb sky{clampByte(20 + y), clampByte(60 + 2.2 * y), clampByte(160 + y)};
        if (shadow)
            return Rgb{std::uint8_t(sky.r / 2), std::uint8_t(sky.g / 2), std::uint8_t(sky.b / 2)};
        return sky;
    });
}

Bytes sunsetPicture()
{
    return makeBitmap(64, 48, [](int x, int y) {
        double sx = x - 32.0, sy = y - 34.0;
        if (y < 34 && std::sqrt(sx * sx + sy * sy) < 12)
            return Rgb{255, 200, 60};
        if (y >= 34)
            return Rgb{20, clampByte(40 + (y - 34) * 4), clampByte(90 + (y - 34) * 6)};
        return Rgb{clampByte(250 - y * 2), clampByte(120 - y * 3), clampByte(60 + y * 4)};
    });
}

Bytes checkerPicture(int size, Rgb a, Rgb b)
{
    return makeBitmap(size, size, [a, b](int x, int y) { return ((x / 4 + y / 4) % 2) ? a : b; });
}

void putVariableLength(Bytes &out, std::uint32_t value)
{
    std::array<std::uint8_t, 4> groups{};
    int count = 0;
    do {
        groups[count++] = value & 0x7F;
        value >>= 7;
    } while (value != 0);
    while (count-- > 0)
        out.push_back(std::uint8_t(groups[count] | (count > 0 ? 0x80 : 0)));
}

// Standard MIDI file, format 0, one track: tempo, instrument, then the notes as
// (key, length in eighths); key 0 is a rest.
Bytes makeMelody(std::uint8_t instrument, unsigned microsecondsPerQuarter,
                 const std::vector<std::pair<std::uint8_t, unsigned>> &notes)
{
    const unsigned eighth = 48; // ticks, with 96 ticks per quarter note
    Bytes track;
    track.insert(track.end(), {0x00, 0xFF, 0x51, 0x03});
    track.push_back(std::uint8_t(microsecondsPerQuarter >> 16));
    track.push_back(std::uint8_t(microsecondsPerQuarter >> 8));
    track.push_back(std::uint8_t(microsecondsPerQuarter));
    track.insert(track.end(), {0x00, 0xC0, instrument});
    unsigned pendingRest = 0;
    for (auto [key, length] : notes) {
        if (key == 0) {
            pendingRest += length * eighth;
            continue;
        }
        putVariableLength(track, pendingRest);
        track.insert(track.end(), {0x90, key, 0x64});
        putVariableLength(track, length * eighth);
        track.insert(track.end(), {0x80, key, 0x40});
        pendingRest = 0;
    }
    putVariableLength(track, pendingRest);
    track.insert(track.end(), {0xFF, 0x2F, 0x00});

    Bytes out;
    append(out, std::string_view("MThd"));
    put32(out, 6);
    put16(out, 0);
    put16(out, 1);
    put16(out, 96);
    append(out, std::string_view("MTrk"));
    put32(out, std::uint32_t(track.size()));
    append(out, track);
    return out;
}

std::uint32_t crc32(const Bytes &data)
{
    std::uint32_t crc = 0xFFFFFFFFu;
    for (std::uint8_t byte : data) {
        crc ^= byte;
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1) ? (crc >> 1) ^ 0xEDB88320u : crc >> 1;
    }
    return ~crc;
}

// What an entry's local header and its central directory record share, from the
// version needed to extract to the length of the extra field: stored, no flags.
void putEntryFields(Bytes &out, unsigned dosTime, unsigned dosDate, std::uint32_t crc, std::size_t size,
                    std::size_t nameSize)
{
    putLe16(out, 10);
    putLe16(out, 0);
    putLe16(out, 0);
    putLe16(out, dosTime);
    putLe16(out, dosDate);
    putLe32(out, crc);
    putLe32(out, std::uint32_t(size));
    putLe32(out, std::uint32_t(size));
    putLe16(out, unsigned(nameSize));
    putLe16(out, 0);
}

// A zip archive with stored (uncompressed) entries.
Bytes makeZip(const std::vector<std::pair<std::string, std::string>> &entries)
{
    const unsigned dosTime = (15 << 11) | (30 << 5) | (4 / 2);
    const unsigned dosDate = ((2003 - 1980) << 9) | (4 << 5) | 12;
    Bytes out, directory;
    for (const auto &[name, text] : entries) {
        Bytes data(text.begin(), text.end());
        std::uint32_t crc = crc32(data);
        std::uint32_t offset = std::uint32_t(out.size());
        putLe32(out, 0x04034B50);
        putEntryFields(out, dosTime, dosDate, crc, data.size(), name.size());
        append(out, name);
        append(out, data);

        putLe32(directory, 0x02014B50);
        putLe16(directory, 20);
        putEntryFields(directory, dosTime, dosDate, crc, data.size(), name.size());
        putLe16(directory, 0);
        putLe16(directory, 0);
        putLe16(directory, 0);
        putLe32(directory, 0);
        putLe32(directory, offset);
        append(directory, name);
    }
    std::uint32_t directoryOffset = std::uint32_t(out.size());
    append(out, directory);
    putLe32(out, 0x06054B50);
    putLe16(out, 0);
    putLe16(out, 0);
    putLe16(out, unsigned(entries.size()));
    putLe16(out, unsigned(entries.size()));
    putLe32(out, std::uint32_t(directory.size()));
    putLe32(out, directoryOffset);
    putLe16(out, 0);
    return out;
}

const char *midletAttributes = "MIDlet-1: Snake, /snake.png, Snake\r\n"
                               "MIDlet-Name: Snake\r\n"
                               "MIDlet-Vendor: Tarvel\r\n"
                               "MIDlet-Version: 1.0\r\n"
                               "MicroEdition-Configuration: CLDC-1.0\r\n"
                               "MicroEdition-Profile: MIDP-1.0\r\n";

class Seeder
{
public:
    explicit Seeder(const fs::path &root) : root_(root)
    {
        struct tm start
        {};
        start.tm_year = 2003 - 1900;
        start.tm_mon = 3;
        start.tm_mday = 12;
        start.tm_hour = 15;
        start.tm_min = 30;
        start.tm_sec = 5;
        start.tm_isdst = -1;
        stamp_ = std::mktime(&start);
    }

    void folder(const std::string &path)
    {
        fs::create_directories(root_ / path, error_);
        if (!error_)
            folders_.push_back(path);
    }

    void file(const std::string &path, const Bytes &content)
    {
        if (error_)
            return;
        fs::path full = root_ / path;
        int fd = ::open(full.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        bool ok = fd >= 0 && ::write(fd, content.data(), content.size()) == ssize_t(content.size());
        if (fd >= 0)
            ok = ::close(fd) == 0 && ok;
        if (!ok) {
            error_ = std::error_code(errno, std::generic_category());
            return;
        }
        setTime(full);
    }

    void file(const std::string &path, std::string_view text) { file(path, Bytes(text.begin(), text.end())); }

    // Folders get their dates last, since adding files would change them.
    bool finish(std::string &message)
    {
        for (const auto &path : folders_)
            setTime(root_ / path);
        if (error_)
            message = error_.message();
        return !error_;
    }

private:
    void setTime(const fs::path &path)
    {
        // Spread over days and hours, as files collected on a phone would be.
        stamp_ += 86400 * 3 + 3671;
        struct timespec times[2] = {{stamp_, 0}, {stamp_, 0}};
        ::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW);
    }

    fs::path root_;
    std::vector<std::string> folders_;
    std::time_t stamp_;
    std::error_code error_;
};

} // namespace

bool seedDemoContent(const fs::path &root, const std::vector<std::string> &rootFolders, std::string &error)
{
    for (const std::string &name : rootFolders) {
        std::error_code made;
        if (!fs::create_directories(root / name, made) && made) {
            error = made.message();
            return false;
        }
    }
    Seeder seed(rootFolders.empty() ? root : root / rootFolders.front());
    for (const char *name : {"Animation", "Bitmap", "Data", "Internet", "java", "Misc", "Misc/Архив", "Ringing tone",
                             "Sms", "Sms/Входящие", "Video"})
        seed.folder(name);

    seed.file("Bitmap/logo.bmp", logoPicture());
    seed.file("Bitmap/sunset.bmp", sunsetPicture());
    seed.file("Bitmap/Рисунок.bmp", checkerPicture(32, {200, 30, 30}, {250, 250, 250}));
    seed.file("Animation/flag.bmx", checkerPicture(16, {30, 60, 200}, {240, 240, 60}));

    // Ode to Joy and a folk-like tune in a minor key.
    seed.file("Ringing tone/melody.mid",
              makeMelody(10, 500000,
                         {{64, 2},
                          {64, 2},
                          {65, 2},
                          {67, 2},
                          {67, 2},
                          {65, 2},
                          {64, 2},
                          {62, 2},
                          {60, 2},
                          {60, 2},
                          {62, 2},
                          {64, 2},
                          {64, 3},
                          {62, 1},
                          {62, 4}}));
    seed.file("Ringing tone/Мелодия.mid",
              makeMelody(73, 400000,
                         {{69, 2},
                          {72, 2},
                          {71, 1},
                          {69, 1},
                          {67, 2},
                          {69, 4},
                          {0, 2},
                          {64, 2},
                          {65, 2},
                          {67, 2},
                          {65, 1},
                          {64, 1},
                          {62, 2},
                          {64, 4}}));

    Bytes jar = makeZip({{"META-INF/MANIFEST.MF", std::string("Manifest-Version: 1.0\r\n") + midletAttributes + "\r\n"},
                         {"readme.txt", "Snake for Siemens M55: eat the dots, avoid the walls.\r\n"}});
    seed.file("java/Snake.jar", jar);
    seed.file("java/Snake.jad",
              std::string(midletAttributes) + "MIDlet-Jar-Size: " + std::to_string(jar.size())
                  + "\r\nMIDlet-Jar-URL: Snake.jar\r\n");

    seed.file("Internet/bookmarks.txt", std::string_view("Siemens WAP\r\nhttp://wap.siemens-mobile.com/\r\n"));
    seed.file("Misc/readme.txt", std::string_view("Demo flash memory of the emulated Siemens M55.\r\n"));
    seed.file("Misc/Заметка.txt", std::string_view("Купить хлеб и молоко.\r\n"));
    seed.file("Misc/Архив/old.txt", std::string_view("An old note kept in the archive.\r\n"));
    seed.file("Sms/Входящие/sms001.txt", std::string_view("Meet at 7 pm at the station.\r\n"));

    // Enough entries that the listing takes several response packets.
    for (int i = 1; i <= 60; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "Data/record%02d.dat", i);
        std::string content =
            "Record " + std::to_string(i) + ": " + std::string(std::size_t(i * 7), char('A' + i % 26)) + "\r\n";
        seed.file(name, content);
    }
    return seed.finish(error);
}

} // namespace phonesim
