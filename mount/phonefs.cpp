#include "phonefs.h"

#include <QDir>
#include <QSet>
#include <QStringDecoder>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <type_traits>
#include <unistd.h>

namespace {

// The phone path of a FUSE path; nothing when the path is not UTF-8.
std::optional<PhonePath> phonePath(const char *path)
{
    QStringDecoder decoder(QStringDecoder::Utf8);
    const QString text = decoder.decode(QByteArrayView(path));
    if (decoder.hasError())
        return std::nullopt;
    return text.split(u'/', Qt::SkipEmptyParts);
}

QString shown(const PhonePath &path)
{
    return path.isEmpty() ? QStringLiteral("the root folder") : path.join(u'/');
}

PhonePath parentOf(const PhonePath &path)
{
    return path.mid(0, path.size() - 1);
}

bool startsWith(const PhonePath &path, const PhonePath &prefix)
{
    return path.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), path.begin());
}

// A listing row that can stand in a POSIX folder.
bool usableName(const QString &name)
{
    return !name.isEmpty() && name != u"." && name != u".." && !name.contains(u'/') && !name.contains(QChar(0));
}

int errnoFor(const StoreError &error, int refused)
{
    switch (error.failure) {
    case StoreFailure::Refused:
        return refused;
    case StoreFailure::NameNotSendable:
        return EINVAL;
    case StoreFailure::LinkLost:
        return EIO;
    case StoreFailure::MovesRefused:
        // mv and other tools then copy and delete.
        return EXDEV;
    case StoreFailure::Full:
        return ENOSPC;
    case StoreFailure::Damaged:
        return EIO;
    }
    return EIO;
}

void setTimes(struct stat *attributes, std::time_t time)
{
    attributes->st_mtim.tv_sec = time;
    attributes->st_atim.tv_sec = time;
    attributes->st_ctim.tv_sec = time;
}

} // namespace

void mountMessage(const QString &line)
{
    std::fputs((QStringLiteral("tarvel-mount: ") + line + u'\n').toLocal8Bit().constData(), stderr);
    std::fflush(stderr);
}

PhoneFs::PhoneFs(PhoneStoreFactory storeFactory) : factory(std::move(storeFactory)), mountTime(std::time(nullptr)) {}

PhoneFs::~PhoneFs() = default;

bool PhoneFs::connectFirst()
{
    auto made = factory();
    if (!made.ok()) {
        mountMessage(QStringLiteral("cannot connect to the phone: ") + made.error().message);
        return false;
    }
    store = std::move(made.value());
    fileSizeLimit = store->maxFileSize();
    return true;
}

StoreResult<PhoneStore *> PhoneFs::connection()
{
    if (!store) {
        auto made = factory();
        if (!made.ok()) {
            const QString problem = made.error().message;
            // A file manager keeps asking while the phone is away: one line per new reason.
            if (problem != lastConnectProblem)
                mountMessage(QStringLiteral("cannot connect to the phone: ") + problem);
            lastConnectProblem = problem;
            linkDown = true;
            return StoreError{StoreFailure::LinkLost, problem};
        }
        store = std::move(made.value());
        fileSizeLimit = store->maxFileSize();
        lastConnectProblem.clear();
        if (linkDown)
            mountMessage(QStringLiteral("connected to the phone again"));
        linkDown = false;
    }
    if (!repairUploads())
        return StoreError{StoreFailure::LinkLost, QStringLiteral("the link to the phone is lost")};
    return store.get();
}

template<typename Operation>
auto PhoneFs::onPhone(const QString &what, Operation operation, Refusal refusal)
{
    using Result = std::invoke_result_t<Operation, PhoneStore &>;
    StoreResult<PhoneStore *> connected = connection();
    if (!connected.ok())
        return Result(connected.error());
    Result result = operation(*connected.value());
    if (!result.ok())
        report(what, result.error(), refusal);
    return result;
}

void PhoneFs::report(const QString &what, const StoreError &error, Refusal refusal)
{
    const QString reason = error.message.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(error.message);
    switch (error.failure) {
    case StoreFailure::LinkLost:
        store.reset();
        dropCaches();
        linkDown = true;
        mountMessage(QStringLiteral("%1 failed, the link to the phone is lost%2; the next operation connects again")
                         .arg(what, reason));
        break;
    case StoreFailure::Damaged:
        mountMessage(QStringLiteral("%1 failed%2").arg(what, reason));
        break;
    case StoreFailure::Refused:
    case StoreFailure::MovesRefused:
    case StoreFailure::Full:
        if (refusal == Refusal::Report)
            mountMessage(QStringLiteral("%1 failed: the phone refused%2").arg(what, reason));
        break;
    case StoreFailure::NameNotSendable:
        mountMessage(QStringLiteral("%1 failed: the name cannot be sent to the phone%2").arg(what, reason));
        break;
    }
}

bool PhoneFs::repairUploads()
{
    while (!repairs.isEmpty()) {
        const UploadRepair repair = repairs.first();
        const QString name = repair.path.last();
        auto entries = store->list(parentOf(repair.path));
        if (!entries.ok() && entries.error().failure == StoreFailure::LinkLost) {
            report(QStringLiteral("checking %1 after a failed copy").arg(shown(repair.path)), entries.error(),
                   Refusal::Report);
            return false;
        }
        const QList<PhoneEntry> none;
        const QList<PhoneEntry> &rows = entries.ok() ? entries.value() : none;
        const auto left = std::find_if(rows.begin(), rows.end(), [&](const PhoneEntry &e) { return e.name == name; });
        // What stands there unchanged since before the upload is the file the phone already had.
        const bool unchanged = left != rows.end() && repair.before && left->isFolder == repair.before->isFolder
            && left->size == repair.before->size && left->modified == repair.before->modified;
        if (left != rows.end() && !left->isFolder && !unchanged) {
            auto removed = store->remove(repair.path);
            if (!removed.ok() && removed.error().failure == StoreFailure::LinkLost) {
                report(QStringLiteral("removing the incomplete copy of %1").arg(shown(repair.path)), removed.error(),
                       Refusal::Report);
                return false;
            }
            if (removed.ok())
                mountMessage(
                    QStringLiteral("removed the incomplete copy of %1 from the phone").arg(shown(repair.path)));
            else
                report(QStringLiteral("removing the incomplete copy of %1").arg(shown(repair.path)), removed.error(),
                       Refusal::Report);
        }
        repairs.removeFirst();
        dropCaches();
    }
    return true;
}

void PhoneFs::dropCaches()
{
    listings.clear();
    memoryFigures.reset();
}

StoreResult<QList<PhoneEntry>> PhoneFs::listing(const PhonePath &folder)
{
    const QString key = folder.join(u'/');
    const auto cached = listings.constFind(key);
    if (cached != listings.constEnd() && Clock::now() - cached->fetched < ListingLifetime)
        return cached->entries;
    auto listed = onPhone(
        QStringLiteral("listing %1").arg(shown(folder)), [&folder](PhoneStore &phone) { return phone.list(folder); },
        Refusal::Quiet);
    if (!listed.ok())
        return listed.error();
    Listing fresh{{}, Clock::now()};
    QSet<QString> names;
    for (const PhoneEntry &entry : listed.value()) {
        if (usableName(entry.name) && !names.contains(entry.name)) {
            names.insert(entry.name);
            fresh.entries.append(entry);
        }
    }
    listings.insert(key, fresh);
    return fresh.entries;
}

StoreResult<std::optional<PhoneEntry>> PhoneFs::lookup(const PhonePath &path)
{
    if (path.isEmpty())
        return std::optional<PhoneEntry>(PhoneEntry{QString(), true, 0, std::nullopt});
    auto entries = listing(parentOf(path));
    if (!entries.ok()) {
        // A folder the phone will not open holds nothing.
        if (entries.error().failure == StoreFailure::Refused)
            return std::optional<PhoneEntry>();
        return entries.error();
    }
    for (const PhoneEntry &entry : entries.value()) {
        if (entry.name == path.last())
            return std::optional<PhoneEntry>(entry);
    }
    return std::optional<PhoneEntry>();
}

int PhoneFs::find(const PhonePath &path, PhoneEntry *entry)
{
    auto found = lookup(path);
    if (!found.ok())
        return -errnoFor(found.error(), ENOENT);
    if (!found.value())
        return -ENOENT;
    *entry = *found.value();
    return 0;
}

int PhoneFs::findFolder(const PhonePath &path)
{
    PhoneEntry entry;
    if (const int error = find(path, &entry))
        return error;
    return entry.isFolder ? 0 : -ENOTDIR;
}

int PhoneFs::checkNewName(const PhonePath &path)
{
    auto connected = connection();
    if (!connected.ok())
        return -EIO;
    if (!connected.value()->canName(path.last())) {
        mountMessage(QStringLiteral("the phone cannot take the name \"%1\": a character has no code in its code page, "
                                    "or the name is too long")
                         .arg(path.last()));
        return -EINVAL;
    }
    return findFolder(parentOf(path));
}

void PhoneFs::fillAttributes(const PhoneEntry &entry, struct stat *attributes) const
{
    *attributes = {};
    attributes->st_mode = entry.isFolder ? S_IFDIR | 0755 : S_IFREG | 0644;
    attributes->st_nlink = entry.isFolder ? 2 : 1;
    attributes->st_uid = ::getuid();
    attributes->st_gid = ::getgid();
    attributes->st_size = entry.isFolder ? 0 : entry.size;
    attributes->st_blksize = 512;
    attributes->st_blocks = (attributes->st_size + 511) / 512;
    const bool dated = entry.modified && entry.modified->isValid();
    setTimes(attributes, dated ? std::time_t(entry.modified->toSecsSinceEpoch()) : mountTime);
}

void PhoneFs::fillPending(const FileBuffer &buffer, struct stat *attributes) const
{
    fillAttributes(PhoneEntry{buffer.path.last(), false, buffer.size, std::nullopt}, attributes);
    setTimes(attributes, buffer.changed);
}

std::shared_ptr<PhoneFs::FileBuffer> PhoneFs::openBuffer(const PhonePath &path) const
{
    for (const auto &[handle, buffer] : handles) {
        if (!buffer->detached && buffer->path == path)
            return buffer;
    }
    return nullptr;
}

std::shared_ptr<PhoneFs::FileBuffer> PhoneFs::pendingBuffer(const PhonePath &path) const
{
    auto buffer = openBuffer(path);
    return buffer && (buffer->dirty || !buffer->onPhone) ? buffer : nullptr;
}

std::shared_ptr<PhoneFs::FileBuffer> PhoneFs::bufferOf(Handle handle) const
{
    const auto found = handles.find(handle);
    return found == handles.end() ? nullptr : found->second;
}

PhoneFs::Handle PhoneFs::addHandle(std::shared_ptr<FileBuffer> buffer)
{
    const Handle handle = nextHandle++;
    handles.emplace(handle, std::move(buffer));
    return handle;
}

void PhoneFs::detach(const PhonePath &path)
{
    for (auto &[handle, buffer] : handles) {
        if (buffer->path == path)
            buffer->detached = true;
    }
}

void PhoneFs::retarget(const PhonePath &from, const PhonePath &to)
{
    for (auto &[handle, buffer] : handles) {
        if (!buffer->detached && startsWith(buffer->path, from))
            buffer->path = to + buffer->path.mid(from.size());
    }
}

int PhoneFs::load(FileBuffer &buffer)
{
    if (buffer.loaded)
        return 0;
    if (buffer.loadError)
        return buffer.loadError;
    // One download per open file: every later read of it is served from the cache.
    if (const int error = resize(buffer, 0))
        return error;
    int cacheError = 0;
    auto result = onPhone(QStringLiteral("reading %1").arg(shown(buffer.path)), [&](PhoneStore &phone) {
        return phone.read(buffer.path, [&](QByteArrayView part) {
            if (::pwrite(buffer.cache->handle(), part.data(), size_t(part.size()), off_t(buffer.size)) != part.size()) {
                cacheError = errno != 0 ? errno : EIO;
                return false;
            }
            buffer.size += part.size();
            return true;
        });
    });
    if (!result.ok()) {
        // The kernel retries a failed read-ahead on its own; the application must see the
        // failure, not a second download. A new open() starts afresh.
        buffer.loadError = cacheError != 0 ? -cacheError : -errnoFor(result.error(), EACCES);
        buffer.detached = true;
        resize(buffer, 0);
        return buffer.loadError;
    }
    buffer.loaded = true;
    noteSize(buffer.path, buffer.size);
    return 0;
}

int PhoneFs::resize(FileBuffer &buffer, qint64 size)
{
    if (!buffer.cache) {
        auto cache = std::make_unique<QTemporaryFile>(QDir::tempPath() + QStringLiteral("/tarvel-mount-XXXXXX"));
        if (!cache->open())
            return -EIO;
        buffer.cache = std::move(cache);
    }
    if (::ftruncate(buffer.cache->handle(), off_t(size)) != 0)
        return -errno;
    buffer.size = size;
    return 0;
}

// The kernel believes the size it was last told; a listing that was wrong about it
// must not cut the file short.
void PhoneFs::noteSize(const PhonePath &path, qint64 size)
{
    const auto folder = listings.find(parentOf(path).join(u'/'));
    if (folder == listings.end())
        return;
    for (PhoneEntry &entry : folder->entries) {
        if (entry.name == path.last() && !entry.isFolder)
            entry.size = size;
    }
}

int PhoneFs::upload(FileBuffer &buffer)
{
    if (!buffer.dirty || buffer.detached)
        return 0;
    buffer.dirty = false;
    if (!buffer.cache) {
        if (const int error = resize(buffer, 0))
            return error;
    }
    auto before = lookup(buffer.path);
    if (!before.ok()) {
        buffer.detached = true;
        return -errnoFor(before.error(), EACCES);
    }
    auto written = onPhone(QStringLiteral("copying %1 to the phone").arg(shown(buffer.path)),
                           [&buffer](PhoneStore &phone) { return phone.write(buffer.path, buffer.cache->fileName()); });
    dropCaches();
    if (!written.ok()) {
        // The descriptor's content is not on the phone and never will be from here.
        buffer.detached = true;
        if (written.error().failure != StoreFailure::NameNotSendable) {
            repairs.append(UploadRepair{buffer.path, before.value()});
            if (store)
                repairUploads();
        }
        return -errnoFor(written.error(), EACCES);
    }
    buffer.onPhone = true;
    return 0;
}

int PhoneFs::getattr(const char *path, struct stat *attributes, const Handle *handle)
{
    if (handle) {
        const auto buffer = bufferOf(*handle);
        if (buffer && !buffer->detached && (buffer->dirty || !buffer->onPhone)) {
            fillPending(*buffer, attributes);
            return 0;
        }
    }
    const auto target = phonePath(path);
    if (!target)
        return -ENOENT;
    if (const auto pending = pendingBuffer(*target)) {
        fillPending(*pending, attributes);
        return 0;
    }
    PhoneEntry entry;
    if (const int error = find(*target, &entry))
        return error;
    fillAttributes(entry, attributes);
    return 0;
}

int PhoneFs::readdir(const char *path, const DirectoryFiller &add)
{
    const auto folder = phonePath(path);
    if (!folder)
        return -ENOENT;
    if (const int error = findFolder(*folder))
        return error;
    auto entries = listing(*folder);
    if (!entries.ok())
        return -errnoFor(entries.error(), ENOENT);

    struct stat attributes;
    fillAttributes(PhoneEntry{QString(), true, 0, std::nullopt}, &attributes);
    add(QByteArrayLiteral("."), attributes);
    add(QByteArrayLiteral(".."), attributes);
    QSet<QString> names;
    for (const PhoneEntry &entry : entries.value()) {
        const auto pending = pendingBuffer(*folder + PhonePath{entry.name});
        if (pending)
            fillPending(*pending, &attributes);
        else
            fillAttributes(entry, &attributes);
        add(entry.name.toUtf8(), attributes);
        names.insert(entry.name);
    }
    // Files being written that the phone does not have yet.
    for (const auto &[handle, buffer] : handles) {
        if (!buffer->detached && !buffer->onPhone && parentOf(buffer->path) == *folder
            && !names.contains(buffer->path.last())) {
            fillPending(*buffer, &attributes);
            add(buffer->path.last().toUtf8(), attributes);
            names.insert(buffer->path.last());
        }
    }
    return 0;
}

int PhoneFs::open(const char *path, int flags, Handle *handle)
{
    const auto target = phonePath(path);
    if (!target)
        return -ENOENT;
    auto buffer = openBuffer(*target);
    if (!buffer) {
        PhoneEntry entry;
        if (const int error = find(*target, &entry))
            return error;
        if (entry.isFolder)
            return -EISDIR;
        buffer = std::make_shared<FileBuffer>();
        buffer->path = *target;
        buffer->onPhone = true;
    }
    if ((flags & O_TRUNC) && (flags & O_ACCMODE) != O_RDONLY) {
        if (const int error = resize(*buffer, 0))
            return error;
        buffer->loaded = true;
        buffer->dirty = true;
        buffer->changed = std::time(nullptr);
    }
    *handle = addHandle(std::move(buffer));
    return 0;
}

int PhoneFs::create(const char *path, int flags, Handle *handle)
{
    const auto target = phonePath(path);
    if (!target)
        return -EINVAL;
    if (target->isEmpty())
        return -EISDIR;
    if (openBuffer(*target))
        return open(path, flags, handle);
    PhoneEntry entry;
    const int found = find(*target, &entry);
    if (found == 0)
        return entry.isFolder ? -EISDIR : open(path, flags, handle);
    if (found != -ENOENT)
        return found;
    if (const int error = checkNewName(*target))
        return error;
    // Nothing reaches the phone before the file is closed.
    auto buffer = std::make_shared<FileBuffer>();
    buffer->path = *target;
    buffer->loaded = true;
    buffer->dirty = true;
    buffer->changed = std::time(nullptr);
    *handle = addHandle(std::move(buffer));
    return 0;
}

int PhoneFs::read(Handle handle, char *data, size_t size, off_t offset)
{
    const auto buffer = bufferOf(handle);
    if (!buffer)
        return -EBADF;
    if (const int error = load(*buffer))
        return error;
    if (offset < 0 || offset >= buffer->size)
        return 0;
    const size_t count = size_t(std::min<qint64>(qint64(size), buffer->size - offset));
    const ssize_t got = ::pread(buffer->cache->handle(), data, count, offset);
    return got < 0 ? -errno : int(got);
}

int PhoneFs::write(Handle handle, const char *data, size_t size, off_t offset)
{
    const auto buffer = bufferOf(handle);
    if (!buffer)
        return -EBADF;
    if (offset < 0)
        return -EINVAL;
    if (offset + qint64(size) > fileSizeLimit)
        return -EFBIG;
    if (const int error = load(*buffer))
        return error;
    if (!buffer->cache) {
        if (const int error = resize(*buffer, 0))
            return error;
    }
    const ssize_t written = ::pwrite(buffer->cache->handle(), data, size, offset);
    if (written < 0)
        return -errno;
    buffer->size = std::max(buffer->size, qint64(offset) + qint64(written));
    buffer->dirty = true;
    buffer->changed = std::time(nullptr);
    return int(size);
}

int PhoneFs::truncate(const char *path, off_t size, const Handle *handle)
{
    if (size < 0)
        return -EINVAL;
    if (size > fileSizeLimit)
        return -EFBIG;
    std::shared_ptr<FileBuffer> buffer;
    if (handle) {
        buffer = bufferOf(*handle);
    } else if (const auto target = phonePath(path)) {
        buffer = openBuffer(*target);
    } else {
        return -ENOENT;
    }
    // A file that no descriptor holds open is changed and copied back at once.
    const bool closed = !buffer;
    if (closed) {
        const auto target = phonePath(path);
        PhoneEntry entry;
        if (const int error = find(*target, &entry))
            return error;
        if (entry.isFolder)
            return -EISDIR;
        buffer = std::make_shared<FileBuffer>();
        buffer->path = *target;
        buffer->onPhone = true;
    }
    if (size == 0)
        buffer->loaded = true;
    else if (const int error = load(*buffer))
        return error;
    if (const int error = resize(*buffer, size))
        return error;
    buffer->dirty = true;
    buffer->changed = std::time(nullptr);
    return closed ? upload(*buffer) : 0;
}

int PhoneFs::flush(Handle handle)
{
    const auto buffer = bufferOf(handle);
    return buffer ? upload(*buffer) : -EBADF;
}

int PhoneFs::release(Handle handle)
{
    const auto found = handles.find(handle);
    if (found == handles.end())
        return 0;
    const std::shared_ptr<FileBuffer> buffer = found->second;
    handles.erase(found);
    // Changes made after the last close() (through a memory mapping) still go.
    if (buffer.use_count() == 1)
        upload(*buffer);
    return 0;
}

int PhoneFs::mkdir(const char *path)
{
    const auto target = phonePath(path);
    if (!target)
        return -EINVAL;
    if (target->isEmpty())
        return -EEXIST;
    if (const int error = checkNewName(*target))
        return error;
    PhoneEntry entry;
    const int found = find(*target, &entry);
    if (found == 0 || pendingBuffer(*target))
        return -EEXIST;
    if (found != -ENOENT)
        return found;
    auto made = onPhone(QStringLiteral("making the folder %1").arg(shown(*target)),
                        [&](PhoneStore &phone) { return phone.makeFolder(*target); });
    dropCaches();
    return made.ok() ? 0 : -errnoFor(made.error(), EACCES);
}

int PhoneFs::rmdir(const char *path)
{
    const auto target = phonePath(path);
    if (!target)
        return -ENOENT;
    if (target->isEmpty())
        return -EBUSY;
    PhoneEntry entry;
    if (const int error = find(*target, &entry))
        return error;
    if (!entry.isFolder)
        return -ENOTDIR;
    auto inside = listing(*target);
    if (!inside.ok())
        return -errnoFor(inside.error(), ENOENT);
    const bool writingInside = std::any_of(handles.begin(), handles.end(), [&](const auto &open) {
        return !open.second->detached && startsWith(open.second->path, *target);
    });
    if (!inside.value().isEmpty() || writingInside)
        return -ENOTEMPTY;
    auto removed = onPhone(QStringLiteral("removing the folder %1").arg(shown(*target)),
                           [&](PhoneStore &phone) { return phone.remove(*target); });
    dropCaches();
    return removed.ok() ? 0 : -errnoFor(removed.error(), EACCES);
}

int PhoneFs::unlink(const char *path)
{
    const auto target = phonePath(path);
    if (!target)
        return -ENOENT;
    const auto pending = pendingBuffer(*target);
    if (pending && !pending->onPhone) {
        detach(*target);
        return 0;
    }
    PhoneEntry entry;
    if (const int error = find(*target, &entry))
        return error;
    if (entry.isFolder)
        return -EISDIR;
    auto removed = onPhone(QStringLiteral("removing %1").arg(shown(*target)),
                           [&](PhoneStore &phone) { return phone.remove(*target); });
    dropCaches();
    if (!removed.ok())
        return -errnoFor(removed.error(), EACCES);
    detach(*target);
    return 0;
}

int PhoneFs::rename(const char *from, const char *to, unsigned int flags)
{
    if (flags & RENAME_EXCHANGE)
        return -EINVAL;
    const auto source = phonePath(from);
    if (!source)
        return -ENOENT;
    const auto target = phonePath(to);
    if (!target)
        return -EINVAL;
    if (source->isEmpty() || target->isEmpty())
        return -EBUSY;
    if (*source == *target)
        return 0;
    if (startsWith(*target, *source))
        return -EINVAL;
    if (const int error = checkNewName(*target))
        return error;

    // A file written but not closed yet is only given its future name.
    const auto pending = pendingBuffer(*source);
    const bool pendingOnly = pending && !pending->onPhone;
    PhoneEntry moving{source->last(), false, 0, std::nullopt};
    if (!pendingOnly) {
        if (const int error = find(*source, &moving))
            return error;
        // Checked before anything at the target is removed.
        auto connected = connection();
        if (!connected.ok())
            return -EIO;
        if (!connected.value()->canMove(*source, *target)) {
            mountMessage(QStringLiteral("the phone cannot move %1 to %2: a path is too long for its move command")
                             .arg(shown(*source), shown(*target)));
            return -EINVAL;
        }
    }

    PhoneEntry existing;
    const int found = find(*target, &existing);
    if (found != 0 && found != -ENOENT)
        return found;
    if (found == 0) {
        if (flags & RENAME_NOREPLACE)
            return -EEXIST;
        if (moving.isFolder && !existing.isFolder)
            return -ENOTDIR;
        if (!moving.isFolder && existing.isFolder)
            return -EISDIR;
        if (existing.isFolder) {
            auto inside = listing(*target);
            if (!inside.ok())
                return -errnoFor(inside.error(), ENOENT);
            if (!inside.value().isEmpty())
                return -ENOTEMPTY;
        }
    } else if (pendingBuffer(*target)) {
        if (flags & RENAME_NOREPLACE)
            return -EEXIST;
    }

    // A file only written so far replaces what stands at the target when it is copied.
    if (!pendingOnly) {
        auto moved = onPhone(QStringLiteral("moving %1 to %2").arg(shown(*source), shown(*target)),
                             [&](PhoneStore &phone) { return phone.move(*source, *target); });
        dropCaches();
        if (!moved.ok())
            return -errnoFor(moved.error(), EACCES);
    }
    detach(*target);
    retarget(*source, *target);
    return 0;
}

int PhoneFs::statfs(struct statvfs *figures)
{
    if (!memoryFigures || Clock::now() - memoryFigures->second >= ListingLifetime) {
        auto read =
            onPhone(QStringLiteral("reading the memory figures"), [](PhoneStore &phone) { return phone.memory(); });
        if (!read.ok())
            return -errnoFor(read.error(), EIO);
        memoryFigures.emplace(read.value(), Clock::now());
    }
    *figures = {};
    // Counted in single bytes, so that the phone's figures show exactly.
    figures->f_bsize = 512;
    figures->f_frsize = 1;
    figures->f_blocks = memoryFigures->first.total;
    figures->f_bfree = memoryFigures->first.free;
    figures->f_bavail = memoryFigures->first.free;
    figures->f_namemax = 255;
    return 0;
}

int PhoneFs::acceptUnchanged(const char *path)
{
    const auto target = phonePath(path);
    if (!target)
        return -ENOENT;
    if (pendingBuffer(*target))
        return 0;
    PhoneEntry entry;
    return find(*target, &entry);
}

void PhoneFs::reportUnsaved()
{
    QSet<const FileBuffer *> seen;
    for (const auto &[handle, buffer] : handles) {
        if (buffer->dirty && !buffer->detached && !seen.contains(buffer.get())) {
            seen.insert(buffer.get());
            mountMessage(QStringLiteral("%1 was still open for writing and was not copied to the phone")
                             .arg(shown(buffer->path)));
        }
    }
}
