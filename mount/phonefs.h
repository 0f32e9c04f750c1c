#pragma once

#include "phonestore.h"

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QString>
#include <QTemporaryFile>

#include <chrono>
#include <cstdint>
#include <ctime>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <sys/stat.h>
#include <sys/statvfs.h>

// One line on standard error, behind the program's name.
void mountMessage(const QString &line);

// The phone's flash as a POSIX file system, one call per FUSE request. Paths are
// the FUSE ones ("/" or "/Bitmap/pic.bmp", UTF-8); results are 0 or a negative
// errno, read and write return byte counts. Everything runs on one thread, so at
// most one operation is on the wire at a time.
class PhoneFs
{
public:
    // How long a folder listing and the memory figures are trusted; every change
    // made through the mount drops them at once.
    static constexpr std::chrono::milliseconds ListingLifetime{2000};

    explicit PhoneFs(PhoneStoreFactory factory);
    ~PhoneFs();
    PhoneFs(const PhoneFs &) = delete;
    PhoneFs &operator=(const PhoneFs &) = delete;

    // The connection made before mounting; false, after saying why, when there is none.
    bool connectFirst();

    using Handle = std::uint64_t;
    using DirectoryFiller = std::function<void(const QByteArray &name, const struct stat &attributes)>;

    int getattr(const char *path, struct stat *attributes, const Handle *handle);
    int readdir(const char *path, const DirectoryFiller &add);
    int open(const char *path, int flags, Handle *handle);
    int create(const char *path, int flags, Handle *handle);
    int read(Handle handle, char *buffer, size_t size, off_t offset);
    int write(Handle handle, const char *data, size_t size, off_t offset);
    int truncate(const char *path, off_t size, const Handle *handle);
    // Copies a changed file to the phone; called on every close() of a descriptor.
    int flush(Handle handle);
    int release(Handle handle);
    int mkdir(const char *path);
    int rmdir(const char *path);
    int unlink(const char *path);
    int rename(const char *from, const char *to, unsigned int flags);
    int statfs(struct statvfs *figures);
    // Modes, owners and times are not stored on the phone: accepted for existing
    // entries and left as they are.
    int acceptUnchanged(const char *path);

    // At unmount: says which files were still open with changes that never reached the phone.
    void reportUnsaved();

private:
    using Clock = std::chrono::steady_clock;

    // The content of one open file, shared by every descriptor open on it. It is kept
    // in a temporary file on disk (TMPDIR), so that a large file costs no memory.
    struct FileBuffer
    {
        PhonePath path;
        std::unique_ptr<QTemporaryFile> cache; // read and written only through its descriptor
        qint64 size = 0;
        bool loaded = false; // the cache holds the whole file
        bool dirty = false; // changed since it was last copied to the phone
        bool detached = false; // removed from under its descriptors: never copied
        bool onPhone = false; // the phone has a file at path
        int loadError = 0; // a failed download: the descriptors keep getting it
        std::time_t changed = 0;
    };
    struct Listing
    {
        QList<PhoneEntry> entries;
        Clock::time_point fetched;
    };
    // A failed upload that may have left a partial file on the phone.
    struct UploadRepair
    {
        PhonePath path;
        std::optional<PhoneEntry> before; // the phone's entry before the upload
    };

    // Whether a refusal is worth a line: not for a listing, whose refusal means "not there".
    enum class Refusal {
        Report,
        Quiet,
    };

    // Runs one store call on the connection, connecting first when there is none.
    template<typename Operation>
    auto onPhone(const QString &what, Operation operation, Refusal refusal = Refusal::Report);
    StoreResult<PhoneStore *> connection();
    void report(const QString &what, const StoreError &error, Refusal refusal);
    // Removes what failed uploads left, once a connection is there; false when the link went again.
    bool repairUploads();
    void dropCaches();

    StoreResult<QList<PhoneEntry>> listing(const PhonePath &folder);
    // The entry at path from its folder's listing; nothing when there is none.
    StoreResult<std::optional<PhoneEntry>> lookup(const PhonePath &path);
    // lookup() as an errno: 0 when found, the entry in *entry.
    int find(const PhonePath &path, PhoneEntry *entry);
    int findFolder(const PhonePath &path);
    // For a file or folder about to be made: a name the phone takes, in an existing folder.
    int checkNewName(const PhonePath &path);
    void fillAttributes(const PhoneEntry &entry, struct stat *attributes) const;
    void fillPending(const FileBuffer &buffer, struct stat *attributes) const;

    std::shared_ptr<FileBuffer> openBuffer(const PhonePath &path) const;
    // The buffer of a file being written that the listing does not show yet.
    std::shared_ptr<FileBuffer> pendingBuffer(const PhonePath &path) const;
    std::shared_ptr<FileBuffer> bufferOf(Handle handle) const;
    Handle addHandle(std::shared_ptr<FileBuffer> buffer);
    int load(FileBuffer &buffer);
    // Makes the cache file when there is none and sets its size; 0 or a negative errno.
    static int resize(FileBuffer &buffer, qint64 size);
    int upload(FileBuffer &buffer);
    void noteSize(const PhonePath &path, qint64 size);
    // Descriptors whose file was removed or replaced keep their content but never copy it.
    void detach(const PhonePath &path);
    // Descriptors follow their file (or a folder above it) to its new place.
    void retarget(const PhonePath &from, const PhonePath &to);

    PhoneStoreFactory factory;
    std::unique_ptr<PhoneStore> store;
    bool linkDown = false;
    QString lastConnectProblem;
    qint64 fileSizeLimit = 0;
    QHash<QString, Listing> listings; // by folder path joined with "/"
    std::optional<std::pair<MemoryFigures, Clock::time_point>> memoryFigures;
    std::map<Handle, std::shared_ptr<FileBuffer>> handles;
    Handle nextHandle = 1;
    QList<UploadRepair> repairs;
    const std::time_t mountTime;
};
