#pragma once

#include "phonestore.h"
#include "readcache.h"

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QSet>
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
//
// Names are found in any letter case, as the phone finds them. A read is answered as
// soon as the file's bytes up to its end have arrived: the download stays open between
// reads and its bytes go into the cache, from which every read of an unchanged file is
// served. Another operation first reads an open download to its end; the last close of
// a file whose download is still open stops it. A written file goes to the phone once,
// at its last close.
class PhoneFs
{
public:
    // How long a folder listing and the memory figures are trusted; every change
    // made through the mount drops them at once. While a download is open, the
    // listings fetched last serve, so that the download goes on.
    static constexpr std::chrono::milliseconds ListingLifetime{2000};

    // cache must outlive the file system.
    PhoneFs(PhoneStoreFactory factory, ReadCache &cache);
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
    // Called on every close() of a descriptor: reports a failure already known (a write
    // past the largest upload or the phone's room), sends nothing.
    int flush(Handle handle);
    // Copies a changed file to the phone now.
    int fsync(Handle handle);
    // The last close of a descriptor: a changed file goes to the phone, a download
    // still open stops.
    int release(Handle handle);
    int mkdir(const char *path);
    int rmdir(const char *path);
    int unlink(const char *path);
    int rename(const char *from, const char *to, unsigned int flags);
    int statfs(struct statvfs *figures);
    // Modes, owners and times are not stored on the phone: accepted for existing
    // entries and left as they are.
    int acceptUnchanged(const char *path);

    // At an unmount, where no descriptor is open any more but the kernel drops the
    // releases it had not handed over yet: each descriptor is released now, and a
    // changed file goes to the phone as at its last close.
    void releaseAll();
    // At the end of the mount, before the last copies (see PhoneStore::leavingStarts).
    void leavingStarts();
    // At the end: says which files were still open with changes that never reached the phone.
    void reportUnsaved();

private:
    using Clock = std::chrono::steady_clock;

    // One open file, shared by every descriptor open on it. An unchanged file's content
    // is its cache entry, fetched as far as reads need it; once changed, the whole
    // content is in a temporary file on disk (TMPDIR), so that a large file costs no
    // memory.
    struct FileBuffer
    {
        StorePath path; // as the phone spells it
        PhoneEntry listed; // the listing's row when it was opened
        ReadCache::EntryPtr cached; // the content while unchanged
        std::unique_ptr<QTemporaryFile> content; // read and written only through its descriptor
        qint64 size = 0; // of the changed content
        bool dirty = false; // changed since it was last copied to the phone
        bool detached = false; // removed from under its descriptors: never copied
        bool onPhone = false; // the phone has a file at path
        qint64 phoneSize = 0; // of that file, which the copy replaces
        int error = 0; // a failed download: the reads keep getting it
        int writeError = 0; // a write the phone cannot take: the writes and closes get it; never copied
        std::time_t changed = 0;
    };
    // The download left open between reads.
    struct Download
    {
        ReadCache::EntryPtr entry;
        qint64 received = 0; // this GET starts at the file's first byte
        int diskError = 0; // the cache did not take a part
    };
    struct Listing
    {
        QList<PhoneEntry> entries;
        Clock::time_point fetched;
    };
    // A failed upload that may have left a partial file on the phone, under its own name
    // or, for a replace, under the hidden names the store's write goes through.
    struct UploadRepair
    {
        StorePath path;
        std::optional<PhoneEntry> before; // the phone's entry before the upload
        QSet<QString> folderBefore; // the names the folder held then
    };

    // Whether a refusal is worth a line: not for a listing, whose refusal means "not there".
    enum class Refusal {
        Report,
        Quiet,
    };

    // Runs one store call on the connection, connecting first when there is none. An
    // open download is read to its end first, unless the call takes it on.
    enum class OpenDownload {
        Finish,
        TakeOn,
    };
    template<typename Operation>
    auto onPhone(const QString &what, Operation operation, Refusal refusal = Refusal::Report,
                 OpenDownload open = OpenDownload::Finish);
    StoreResult<PhoneStore *> connection();
    void report(const QString &what, const StoreError &error, Refusal refusal);
    // Removes what failed uploads left, once a connection is there; false when the link went again.
    bool repairUploads();
    bool repairUpload(const UploadRepair &repair);
    // Whether entry is a hidden name a replace of name goes through (".~new~a.txt",
    // ".~old2~a.txt"): the tag "new" for the upload, "old" for the old file set aside.
    bool hiddenBeside(const QString &entry, const QString &name, const QString &tag) const;
    void dropCaches();

    StoreResult<QList<PhoneEntry>> listing(const StorePath &folder);
    // A path found as the phone finds it: each name in any letter case, spelt as the
    // phone spells it; a last name the folder does not hold stays as given, without entry.
    struct Found
    {
        StorePath path;
        std::optional<PhoneEntry> entry;
    };
    StoreResult<Found> resolve(const StorePath &path);
    // resolve() as an errno: 0 when found, the entry in *entry and the phone's spelling
    // in *path.
    int find(StorePath *path, PhoneEntry *entry);
    int findFolder(StorePath *path);
    // For a file or folder about to be made: a name the phone takes, in an existing
    // folder (*path spelt as the phone spells the folder).
    int checkNewName(StorePath *path, PhoneStore::NameFor use);
    bool sameName(const QString &a, const QString &b) const;
    void fillAttributes(const PhoneEntry &entry, struct stat *attributes) const;
    void fillPending(const FileBuffer &buffer, struct stat *attributes) const;

    std::shared_ptr<FileBuffer> openBuffer(const StorePath &path) const;
    // The buffer of a file being written that the listing does not show yet.
    std::shared_ptr<FileBuffer> pendingBuffer(const StorePath &path) const;
    std::shared_ptr<FileBuffer> bufferOf(Handle handle) const;
    // A new buffer for a file the phone holds, its content the cache entry.
    std::shared_ptr<FileBuffer> phoneFile(const StorePath &path, const PhoneEntry &entry);
    Handle addHandle(std::shared_ptr<FileBuffer> buffer);

    // Reads an unchanged file's download on until its entry holds until bytes (or the
    // whole file); 0 or the error its readers get.
    int fetch(FileBuffer &buffer, qint64 until);
    // One more step of the open download, or a new one for entry; 0 or the error.
    int downloadStep(const ReadCache::EntryPtr &entry);
    // Reads the open download to its end; 0 or the error.
    int finishDownload();
    // What a step came to: the entry complete, or the error its readers keep.
    int stepDone(const StoreResult<PhoneStore::ReadState> &step, const ReadCache::EntryPtr &entry);
    // From here on the file's content is the buffer's own: the whole file (keep) or nothing.
    int takeContent(FileBuffer &buffer, bool keep);
    // Makes the content file when there is none and sets its size; 0 or a negative errno.
    static int resize(FileBuffer &buffer, qint64 size);
    // Whether the file can grow to size bytes: EFBIG past the largest upload, ENOSPC past
    // the phone's free memory and the file the copy replaces; 0 when it fits or the
    // figures are not at hand (the copy then finds out).
    int checkSize(const FileBuffer &buffer, qint64 size);
    // The memory figures: the last ones while fresh or while a download is open, else asked for.
    StoreResult<MemoryFigures> memory(Refusal refusal);
    int upload(FileBuffer &buffer);
    void noteSize(const StorePath &path, qint64 size);
    // Descriptors whose file was removed or replaced keep their content but never copy it.
    void detach(const StorePath &path);
    // Descriptors follow their file (or a folder above it) to its new place.
    void retarget(const StorePath &from, const StorePath &to);
    // A change at path: its listings, memory figures and cache entries go.
    void changed(const StorePath &path);

    PhoneStoreFactory factory;
    ReadCache &cache;
    std::unique_ptr<PhoneStore> store;
    std::optional<Download> download;
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
