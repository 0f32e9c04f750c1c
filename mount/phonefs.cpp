#include "phonefs.h"

#include <QDir>
#include <QSet>
#include <QStringDecoder>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <type_traits>
#include <unistd.h>

namespace {

// The phone path of a FUSE path; nothing when the path is not UTF-8.
std::optional<StorePath> phonePath(const char *path)
{
    QStringDecoder decoder(QStringDecoder::Utf8);
    const QString text = decoder.decode(QByteArrayView(path));
    if (decoder.hasError())
        return std::nullopt;
    return text.split(u'/', Qt::SkipEmptyParts);
}

QString shown(const StorePath &path)
{
    return path.isEmpty() ? QStringLiteral("the root folder") : path.join(u'/');
}

StorePath parentOf(const StorePath &path)
{
    return path.mid(0, path.size() - 1);
}

bool startsWith(const StorePath &path, const StorePath &prefix)
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

PhoneFs::PhoneFs(PhoneStoreFactory storeFactory, ReadCache &readCache)
    : factory(std::move(storeFactory)), cache(readCache), mountTime(std::time(nullptr))
{}

PhoneFs::~PhoneFs()
{
    // Unmounted while a file was still being read: the phone is told, before the store leaves it.
    if (download && store)
        (void)store->stopRead();
}

bool PhoneFs::connectFirst()
{
    auto made = factory();
    if (!made.ok()) {
        mountMessage(QStringLiteral("cannot connect to the phone: ") + made.error().message);
        return false;
    }
    store = std::move(made.value());
    fileSizeLimit = store->maxFileSize();
    cache.setPhone(store->identity());
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
        // Another phone on the same cable keeps nothing of the first one's.
        cache.setPhone(store->identity());
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
auto PhoneFs::onPhone(const QString &what, Operation operation, Refusal refusal, OpenDownload open)
{
    using Result = std::invoke_result_t<Operation, PhoneStore &>;
    StoreResult<PhoneStore *> connected = connection();
    if (!connected.ok())
        return Result(connected.error());
    // One request at a time: what the open download still brings goes into the cache.
    if (open == OpenDownload::Finish && download) {
        finishDownload();
        if (!store)
            return Result(StoreError{StoreFailure::LinkLost, QStringLiteral("the link to the phone is lost")});
    }
    Result result = operation(*store);
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
        download.reset();
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
        if (refusal == Refusal::Report)
            mountMessage(QStringLiteral("%1 failed: the phone refused%2").arg(what, reason));
        break;
    case StoreFailure::Full:
        mountMessage(QStringLiteral("%1 failed: the phone is full").arg(what));
        break;
    case StoreFailure::NameNotSendable:
        mountMessage(QStringLiteral("%1 failed: the name cannot be sent to the phone%2").arg(what, reason));
        break;
    }
}

bool PhoneFs::repairUploads()
{
    // Nothing else goes while a download is open; its end comes first.
    while (!repairs.isEmpty() && !download) {
        const UploadRepair repair = repairs.first();
        if (!repairUpload(repair))
            return false;
        repairs.removeFirst();
        changed(repair.path);
    }
    return true;
}

bool PhoneFs::repairUpload(const UploadRepair &repair)
{
    const StorePath folder = parentOf(repair.path);
    const QString name = repair.path.last();
    const QString shownPath = shown(repair.path);
    // false when the link went; a refusal is said and the repair goes on.
    const auto step = [&](const QString &what, const StoreResult<> &result, const QString &done) {
        if (result.ok())
            mountMessage(done);
        else
            report(what, result.error(), Refusal::Report);
        return result.ok() || result.error().failure != StoreFailure::LinkLost;
    };
    auto entries = store->list(folder);
    if (!entries.ok() && entries.error().failure == StoreFailure::LinkLost) {
        report(QStringLiteral("checking %1 after a failed copy").arg(shownPath), entries.error(), Refusal::Report);
        return false;
    }
    const QList<PhoneEntry> none;
    const QList<PhoneEntry> &rows = entries.ok() ? entries.value() : none;
    const auto left = std::find_if(rows.begin(), rows.end(), [&](const PhoneEntry &e) { return e.name == name; });
    // The file the phone had before the upload, as it was then.
    const auto old = [&](const PhoneEntry &e) {
        return repair.before && e.isFolder == repair.before->isFolder && e.size == repair.before->size
            && e.modified == repair.before->modified;
    };
    // Unchanged under its name, or still not there.
    bool unchanged = left == rows.end() ? !repair.before : old(*left);
    // The upload under a hidden name is the replace's own when the folder did not hold the
    // name before; the old file set aside is told by its size and date.
    const auto upload = std::find_if(rows.begin(), rows.end(), [&](const PhoneEntry &e) {
        return !e.isFolder && !repair.folderBefore.contains(e.name)
            && hiddenBeside(e.name, name, QStringLiteral("new"));
    });
    const auto aside = std::find_if(rows.begin(), rows.end(), [&](const PhoneEntry &e) {
        return !unchanged && old(e) && hiddenBeside(e.name, name, QStringLiteral("old"));
    });
    if (aside != rows.end()) {
        // The link went while the new file took the name: the old one goes back.
        const auto moved = store->move(folder + StorePath{aside->name}, repair.path);
        if (!step(QStringLiteral("putting the old %1 back").arg(shownPath), moved,
                  QStringLiteral("put the old %1 back in its place on the phone").arg(shownPath)))
            return false;
        unchanged = moved.ok();
    } else if (left != rows.end() && !left->isFolder && !unchanged) {
        if (!step(QStringLiteral("removing the incomplete copy of %1").arg(shownPath), store->remove(repair.path),
                  QStringLiteral("removed the incomplete copy of %1 from the phone").arg(shownPath)))
            return false;
    }
    // Beside the old file, or where there was none, the upload under the hidden name is no
    // file of the user's.
    if (upload != rows.end() && unchanged) {
        if (!step(QStringLiteral("removing the incomplete copy of %1").arg(shownPath),
                  store->remove(folder + StorePath{upload->name}),
                  QStringLiteral("removed the incomplete copy of %1 from the phone").arg(shownPath)))
            return false;
    }
    return true;
}

bool PhoneFs::hiddenBeside(const QString &entry, const QString &name, const QString &tag) const
{
    const QString start = QStringLiteral(".~") + tag;
    if (!entry.startsWith(start))
        return false;
    const qsizetype end = entry.indexOf(u'~', start.size());
    if (end < 0)
        return false;
    const QStringView number = QStringView(entry).mid(start.size(), end - start.size());
    return std::all_of(number.begin(), number.end(), [](QChar c) { return c.isDigit(); })
        && sameName(entry.mid(end + 1), name);
}

void PhoneFs::dropCaches()
{
    listings.clear();
    memoryFigures.reset();
}

void PhoneFs::changed(const StorePath &path)
{
    dropCaches();
    cache.drop(path);
}

StoreResult<QList<PhoneEntry>> PhoneFs::listing(const StorePath &folder)
{
    const QString key = folder.join(u'/');
    const auto cached = listings.constFind(key);
    if (cached != listings.constEnd() && (download || Clock::now() - cached->fetched < ListingLifetime))
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
    cache.listed(folder, fresh.entries);
    listings.insert(key, fresh);
    return fresh.entries;
}

bool PhoneFs::sameName(const QString &a, const QString &b) const
{
    return a == b || (store && store->sameName(a, b));
}

StoreResult<PhoneFs::Found> PhoneFs::resolve(const StorePath &path)
{
    Found found;
    if (path.isEmpty()) {
        found.entry = PhoneEntry{QString(), true, 0, std::nullopt};
        return found;
    }
    for (qsizetype i = 0; i < path.size(); ++i) {
        const bool last = i + 1 == path.size();
        auto entries = listing(found.path);
        if (!entries.ok() && entries.error().failure != StoreFailure::Refused)
            return entries.error();
        // A folder the phone will not open holds nothing.
        const QList<PhoneEntry> rows = entries.ok() ? entries.value() : QList<PhoneEntry>();
        // The name as given first; then in other letter case, as the phone finds it.
        auto match = std::find_if(rows.begin(), rows.end(), [&](const PhoneEntry &e) { return e.name == path.at(i); });
        if (match == rows.end())
            match = std::find_if(rows.begin(), rows.end(),
                                 [&](const PhoneEntry &e) { return sameName(e.name, path.at(i)); });
        if (match == rows.end() || (!last && !match->isFolder)) {
            found.path += path.mid(i);
            // A file being written that the phone does not have yet.
            if (last) {
                for (const auto &[handle, buffer] : handles) {
                    if (!buffer->detached && !buffer->onPhone && parentOf(buffer->path) == parentOf(found.path)
                        && sameName(buffer->path.last(), path.last()))
                        found.path = buffer->path;
                }
            }
            return found;
        }
        found.path.append(match->name);
        if (last)
            found.entry = *match;
    }
    return found;
}

int PhoneFs::find(StorePath *path, PhoneEntry *entry)
{
    auto found = resolve(*path);
    if (!found.ok())
        return -errnoFor(found.error(), ENOENT);
    *path = found.value().path;
    if (!found.value().entry)
        return -ENOENT;
    *entry = *found.value().entry;
    return 0;
}

int PhoneFs::findFolder(StorePath *path)
{
    PhoneEntry entry;
    if (const int error = find(path, &entry))
        return error;
    return entry.isFolder ? 0 : -ENOTDIR;
}

int PhoneFs::checkNewName(StorePath *path, PhoneStore::NameFor use)
{
    auto connected = connection();
    if (!connected.ok())
        return -EIO;
    if (!connected.value()->canName(path->last(), use)) {
        mountMessage(QStringLiteral("the phone cannot take the name \"%1\": a character has no code in its code page, "
                                    "or the name is too long")
                         .arg(path->last()));
        return -EINVAL;
    }
    StorePath folder = parentOf(*path);
    if (const int error = findFolder(&folder))
        return error;
    *path = folder + StorePath{path->last()};
    return 0;
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

std::shared_ptr<PhoneFs::FileBuffer> PhoneFs::openBuffer(const StorePath &path) const
{
    for (const auto &[handle, buffer] : handles) {
        if (!buffer->detached && buffer->path == path)
            return buffer;
    }
    return nullptr;
}

std::shared_ptr<PhoneFs::FileBuffer> PhoneFs::pendingBuffer(const StorePath &path) const
{
    auto buffer = openBuffer(path);
    return buffer && (buffer->dirty || !buffer->onPhone) ? buffer : nullptr;
}

std::shared_ptr<PhoneFs::FileBuffer> PhoneFs::bufferOf(Handle handle) const
{
    const auto found = handles.find(handle);
    return found == handles.end() ? nullptr : found->second;
}

std::shared_ptr<PhoneFs::FileBuffer> PhoneFs::phoneFile(const StorePath &path, const PhoneEntry &entry)
{
    auto buffer = std::make_shared<FileBuffer>();
    buffer->path = path;
    buffer->listed = entry;
    buffer->onPhone = true;
    buffer->phoneSize = entry.size;
    buffer->cached = cache.entry(path, entry);
    return buffer;
}

PhoneFs::Handle PhoneFs::addHandle(std::shared_ptr<FileBuffer> buffer)
{
    const Handle handle = nextHandle++;
    handles.emplace(handle, std::move(buffer));
    return handle;
}

void PhoneFs::detach(const StorePath &path)
{
    for (auto &[handle, buffer] : handles) {
        if (buffer->path == path)
            buffer->detached = true;
    }
}

void PhoneFs::retarget(const StorePath &from, const StorePath &to)
{
    for (auto &[handle, buffer] : handles) {
        if (!buffer->detached && startsWith(buffer->path, from))
            buffer->path = to + buffer->path.mid(from.size());
    }
}

int PhoneFs::fetch(FileBuffer &buffer, qint64 until)
{
    const ReadCache::EntryPtr entry = buffer.cached;
    while (!buffer.error && !entry->complete() && entry->held() < until) {
        if (const int error = downloadStep(entry))
            return error;
    }
    return buffer.error;
}

int PhoneFs::downloadStep(const ReadCache::EntryPtr &entry)
{
    const QString what = QStringLiteral("reading %1").arg(shown(entry->path()));
    if (download && download->entry == entry) {
        return stepDone(
            onPhone(
                what, [](PhoneStore &phone) { return phone.readMore(); }, Refusal::Report, OpenDownload::TakeOn),
            entry);
    }
    // No offsets: a new download brings the file from its first byte.
    const auto receive = [this](QByteArrayView part) {
        Download &open = *download;
        if (!cache.write(*open.entry, open.received, part)) {
            open.diskError = errno != 0 ? -errno : -EIO;
            return false;
        }
        open.received += part.size();
        return true;
    };
    return stepDone(onPhone(what,
                            [&](PhoneStore &phone) {
                                download = Download{entry, 0, 0};
                                return phone.startRead(entry->path(), receive);
                            }),
                    entry);
}

int PhoneFs::finishDownload()
{
    while (download) {
        if (const int error = downloadStep(download->entry))
            return error;
    }
    return 0;
}

int PhoneFs::stepDone(const StoreResult<PhoneStore::ReadState> &step, const ReadCache::EntryPtr &entry)
{
    if (step.ok() && step.value() == PhoneStore::ReadState::More)
        return 0;
    const int diskError = download ? download->diskError : 0;
    download.reset();
    if (step.ok()) {
        if (step.value() == PhoneStore::ReadState::Whole) {
            cache.complete(*entry);
            noteSize(entry->path(), entry->held());
        }
        return 0;
    }
    // The kernel retries a failed read-ahead on its own; the application must see the
    // failure, not a second download. A new open() starts afresh.
    const int error = diskError != 0 ? diskError : -errnoFor(step.error(), EACCES);
    cache.drop(entry->path());
    for (auto &[handle, buffer] : handles) {
        if (buffer->cached == entry) {
            buffer->error = error;
            buffer->detached = true;
        }
    }
    return error;
}

int PhoneFs::takeContent(FileBuffer &buffer, bool keep)
{
    if (!buffer.cached)
        return buffer.content || !keep ? 0 : resize(buffer, 0);
    if (keep) {
        if (const int error = fetch(buffer, std::numeric_limits<qint64>::max()))
            return error;
    }
    if (const int error = resize(buffer, 0))
        return error;
    ReadCache::EntryPtr entry = std::exchange(buffer.cached, nullptr);
    for (qint64 offset = 0; keep && offset < entry->held();) {
        char chunk[65536];
        const qint64 got = cache.read(*entry, chunk, sizeof chunk, offset);
        if (got <= 0 || ::pwrite(buffer.content->handle(), chunk, size_t(got), off_t(offset)) != got) {
            buffer.cached = std::move(entry);
            return got < 0 ? int(got) : -EIO;
        }
        offset += got;
        buffer.size = offset;
    }
    cache.release(std::move(entry));
    return 0;
}

int PhoneFs::checkSize(const FileBuffer &buffer, qint64 size)
{
    if (size > fileSizeLimit)
        return -EFBIG;
    // The figures are the flash memory's, not those of the x65 and x75 phones' memory card.
    if (sameName(buffer.path.value(0), QStringLiteral("MMCard")))
        return 0;
    // Not worth a connection, nor the end of another file's download.
    if (!store || (download && !memoryFigures))
        return 0;
    const auto figures = memory(Refusal::Quiet);
    if (!figures.ok())
        return 0;
    // The file it replaces counts as room: a phone that replaces over the name frees it
    // first. Where the old file stands until the new one is whole, the copy finds out.
    const qint64 room = qint64(figures.value().free) + (buffer.onPhone ? buffer.phoneSize : 0);
    return size > room ? -ENOSPC : 0;
}

StoreResult<MemoryFigures> PhoneFs::memory(Refusal refusal)
{
    if (!memoryFigures || (!download && Clock::now() - memoryFigures->second >= ListingLifetime)) {
        auto read = onPhone(
            QStringLiteral("reading the memory figures"), [](PhoneStore &phone) { return phone.memory(); }, refusal);
        if (!read.ok())
            return read.error();
        memoryFigures.emplace(read.value(), Clock::now());
    }
    return memoryFigures->first;
}

int PhoneFs::resize(FileBuffer &buffer, qint64 size)
{
    if (!buffer.content) {
        auto content = std::make_unique<QTemporaryFile>(QDir::tempPath() + QStringLiteral("/tarvel-mount-XXXXXX"));
        if (!content->open())
            return -EIO;
        buffer.content = std::move(content);
    }
    if (::ftruncate(buffer.content->handle(), off_t(size)) != 0)
        return -errno;
    buffer.size = size;
    return 0;
}

// The kernel believes the size it was last told; a listing that was wrong about it
// must not cut the file short.
void PhoneFs::noteSize(const StorePath &path, qint64 size)
{
    const auto folder = listings.find(parentOf(path).join(u'/'));
    if (folder != listings.end()) {
        for (PhoneEntry &entry : folder->entries) {
            if (entry.name == path.last() && !entry.isFolder)
                entry.size = size;
        }
    }
    for (auto &[handle, buffer] : handles) {
        if (buffer->path == path)
            buffer->listed.size = size;
    }
}

int PhoneFs::upload(FileBuffer &buffer)
{
    if (!buffer.dirty || buffer.detached || buffer.writeError)
        return buffer.writeError;
    if (const int error = takeContent(buffer, true))
        return buffer.writeError = error;
    buffer.dirty = false;
    // From a failure on, the descriptors' writes and closes report it.
    auto before = resolve(buffer.path);
    if (!before.ok()) {
        buffer.detached = true;
        return buffer.writeError = -errnoFor(before.error(), EACCES);
    }
    // Taken from the listing resolve() fetched: what a broken replace adds is told from it.
    QSet<QString> folderBefore;
    if (const auto folder = listing(parentOf(buffer.path)); folder.ok()) {
        for (const PhoneEntry &entry : folder.value())
            folderBefore.insert(entry.name);
    }
    auto written =
        onPhone(QStringLiteral("copying %1 to the phone").arg(shown(buffer.path)),
                [&buffer](PhoneStore &phone) { return phone.write(buffer.path, buffer.content->fileName()); });
    changed(buffer.path);
    if (!written.ok()) {
        // The descriptor's content is not on the phone and never will be from here.
        buffer.detached = true;
        if (written.error().failure != StoreFailure::NameNotSendable) {
            repairs.append(UploadRepair{buffer.path, before.value().entry, folderBefore});
            if (store)
                repairUploads();
        }
        return buffer.writeError = -errnoFor(written.error(), EACCES);
    }
    buffer.onPhone = true;
    buffer.phoneSize = buffer.size;
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
        // The file as it was opened: a download under way needs no listing.
        if (buffer && !buffer->detached && buffer->cached) {
            fillAttributes(buffer->listed, attributes);
            return 0;
        }
    }
    const auto target = phonePath(path);
    if (!target)
        return -ENOENT;
    StorePath found = *target;
    PhoneEntry entry;
    const int error = find(&found, &entry);
    if (const auto pending = pendingBuffer(found)) {
        fillPending(*pending, attributes);
        return 0;
    }
    if (error)
        return error;
    fillAttributes(entry, attributes);
    return 0;
}

int PhoneFs::readdir(const char *path, const DirectoryFiller &add)
{
    const auto target = phonePath(path);
    if (!target)
        return -ENOENT;
    StorePath folder = *target;
    if (const int error = findFolder(&folder))
        return error;
    auto entries = listing(folder);
    if (!entries.ok())
        return -errnoFor(entries.error(), ENOENT);

    struct stat attributes;
    fillAttributes(PhoneEntry{QString(), true, 0, std::nullopt}, &attributes);
    add(QByteArrayLiteral("."), attributes);
    add(QByteArrayLiteral(".."), attributes);
    QSet<QString> names;
    for (const PhoneEntry &entry : entries.value()) {
        const auto pending = pendingBuffer(folder + StorePath{entry.name});
        if (pending)
            fillPending(*pending, &attributes);
        else
            fillAttributes(entry, &attributes);
        add(entry.name.toUtf8(), attributes);
        names.insert(entry.name);
    }
    // Files being written that the phone does not have yet.
    for (const auto &[handle, buffer] : handles) {
        if (!buffer->detached && !buffer->onPhone && parentOf(buffer->path) == folder
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
    StorePath found = *target;
    PhoneEntry entry;
    const int error = find(&found, &entry);
    auto buffer = openBuffer(found);
    if (!buffer) {
        if (error)
            return error;
        if (entry.isFolder)
            return -EISDIR;
        buffer = phoneFile(found, entry);
    }
    if ((flags & O_TRUNC) && (flags & O_ACCMODE) != O_RDONLY) {
        if (const int truncated = takeContent(*buffer, false))
            return truncated;
        if (const int emptied = resize(*buffer, 0))
            return emptied;
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
    StorePath found = *target;
    PhoneEntry entry;
    const int error = find(&found, &entry);
    if (error != 0 && error != -ENOENT)
        return error;
    // A name the phone holds in any letter case, or a file being written, is there already.
    if (error == 0 || openBuffer(found)) {
        if (flags & O_EXCL)
            return -EEXIST;
        if (error == 0 && entry.isFolder)
            return -EISDIR;
        return open(path, flags, handle);
    }
    if (const int checked = checkNewName(&found, PhoneStore::NameFor::File))
        return checked;
    // Nothing reaches the phone before the file is closed.
    auto buffer = std::make_shared<FileBuffer>();
    buffer->path = found;
    buffer->dirty = true;
    buffer->changed = std::time(nullptr);
    if (const int made = resize(*buffer, 0))
        return made;
    *handle = addHandle(std::move(buffer));
    return 0;
}

int PhoneFs::read(Handle handle, char *data, size_t size, off_t offset)
{
    const auto buffer = bufferOf(handle);
    if (!buffer)
        return -EBADF;
    if (offset < 0)
        return 0;
    if (buffer->cached) {
        // Answered once the bytes up to the read's end are in, never later.
        if (const int error = fetch(*buffer, qint64(offset) + qint64(size)))
            return error;
        return int(cache.read(*buffer->cached, data, qint64(size), offset));
    }
    if (offset >= buffer->size)
        return 0;
    const size_t count = size_t(std::min<qint64>(qint64(size), buffer->size - offset));
    const ssize_t got = ::pread(buffer->content->handle(), data, count, offset);
    return got < 0 ? -errno : int(got);
}

int PhoneFs::write(Handle handle, const char *data, size_t size, off_t offset)
{
    const auto buffer = bufferOf(handle);
    if (!buffer)
        return -EBADF;
    if (offset < 0)
        return -EINVAL;
    if (buffer->writeError)
        return buffer->writeError;
    const qint64 end = qint64(offset) + qint64(size);
    if (end > (buffer->cached ? buffer->listed.size : buffer->size)) {
        // Nothing of it goes to the phone: the descriptors keep the failure.
        if (const int error = checkSize(*buffer, end))
            return buffer->writeError = error;
    }
    if (const int error = takeContent(*buffer, true))
        return error;
    const ssize_t written = ::pwrite(buffer->content->handle(), data, size, offset);
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
    std::shared_ptr<FileBuffer> buffer;
    StorePath found;
    if (handle) {
        buffer = bufferOf(*handle);
    } else if (const auto target = phonePath(path)) {
        found = *target;
        PhoneEntry entry;
        const int error = find(&found, &entry);
        buffer = openBuffer(found);
        // A file that no descriptor holds open is changed and copied back at once.
        if (!buffer) {
            if (error)
                return error;
            if (entry.isFolder)
                return -EISDIR;
            buffer = phoneFile(found, entry);
            if (const int tooLarge = checkSize(*buffer, size))
                return tooLarge;
            if (const int changedError = takeContent(*buffer, size > 0))
                return changedError;
            if (const int resized = resize(*buffer, size))
                return resized;
            buffer->dirty = true;
            return upload(*buffer);
        }
    } else {
        return -ENOENT;
    }
    if (!buffer)
        return -EBADF;
    if (buffer->writeError)
        return buffer->writeError;
    if (const int error = checkSize(*buffer, size))
        return buffer->writeError = error;
    if (const int error = takeContent(*buffer, size > 0))
        return error;
    if (const int error = resize(*buffer, size))
        return error;
    buffer->dirty = true;
    buffer->changed = std::time(nullptr);
    return 0;
}

int PhoneFs::flush(Handle handle)
{
    const auto buffer = bufferOf(handle);
    return buffer ? buffer->writeError : -EBADF;
}

int PhoneFs::fsync(Handle handle)
{
    const auto buffer = bufferOf(handle);
    return buffer ? upload(*buffer) : -EBADF;
}

int PhoneFs::release(Handle handle)
{
    const auto found = handles.find(handle);
    if (found == handles.end())
        return 0;
    std::shared_ptr<FileBuffer> buffer = found->second;
    handles.erase(found);
    if (buffer.use_count() > 1)
        return 0;
    if (buffer->cached) {
        // Closed before its end: the phone stops sending; what arrived stays cached. A file
        // removed or replaced while open may still share the entry with its successor.
        const bool shared = std::any_of(handles.begin(), handles.end(),
                                        [&](const auto &open) { return open.second->cached == buffer->cached; });
        if (download && download->entry == buffer->cached && !shared) {
            const ReadCache::EntryPtr entry = buffer->cached;
            stepDone(onPhone(
                         QStringLiteral("stopping the download of %1").arg(shown(entry->path())),
                         [](PhoneStore &phone) { return phone.stopRead(); }, Refusal::Report, OpenDownload::TakeOn),
                     entry);
        }
        cache.release(std::exchange(buffer->cached, nullptr));
    }
    // The last close: the file goes to the phone now, whatever was written after close()
    // through a memory mapping included.
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
    StorePath found = *target;
    PhoneEntry entry;
    const int error = find(&found, &entry);
    // In any letter case, as the phone sees it.
    if (error == 0 || pendingBuffer(found))
        return -EEXIST;
    if (error != -ENOENT)
        return error;
    if (const int checked = checkNewName(&found, PhoneStore::NameFor::Folder))
        return checked;
    auto made = onPhone(QStringLiteral("making the folder %1").arg(shown(found)),
                        [&](PhoneStore &phone) { return phone.makeFolder(found); });
    changed(found);
    return made.ok() ? 0 : -errnoFor(made.error(), EACCES);
}

int PhoneFs::rmdir(const char *path)
{
    const auto target = phonePath(path);
    if (!target)
        return -ENOENT;
    if (target->isEmpty())
        return -EBUSY;
    StorePath found = *target;
    PhoneEntry entry;
    if (const int error = find(&found, &entry))
        return error;
    if (!entry.isFolder)
        return -ENOTDIR;
    auto inside = listing(found);
    if (!inside.ok())
        return -errnoFor(inside.error(), ENOENT);
    const bool writingInside = std::any_of(handles.begin(), handles.end(), [&](const auto &open) {
        return !open.second->detached && startsWith(open.second->path, found);
    });
    if (!inside.value().isEmpty() || writingInside)
        return -ENOTEMPTY;
    auto removed = onPhone(QStringLiteral("removing the folder %1").arg(shown(found)),
                           [&](PhoneStore &phone) { return phone.remove(found); });
    changed(found);
    return removed.ok() ? 0 : -errnoFor(removed.error(), EACCES);
}

int PhoneFs::unlink(const char *path)
{
    const auto target = phonePath(path);
    if (!target)
        return -ENOENT;
    StorePath found = *target;
    PhoneEntry entry;
    const int error = find(&found, &entry);
    const auto pending = pendingBuffer(found);
    if (pending && !pending->onPhone) {
        detach(found);
        return 0;
    }
    if (error)
        return error;
    if (entry.isFolder)
        return -EISDIR;
    auto removed = onPhone(QStringLiteral("removing %1").arg(shown(found)),
                           [&](PhoneStore &phone) { return phone.remove(found); });
    changed(found);
    if (!removed.ok())
        return -errnoFor(removed.error(), EACCES);
    detach(found);
    return 0;
}

int PhoneFs::rename(const char *from, const char *to, unsigned int flags)
{
    if (flags & RENAME_EXCHANGE)
        return -EINVAL;
    const auto sourcePath = phonePath(from);
    if (!sourcePath)
        return -ENOENT;
    const auto targetPath = phonePath(to);
    if (!targetPath)
        return -EINVAL;
    if (sourcePath->isEmpty() || targetPath->isEmpty())
        return -EBUSY;
    StorePath source = *sourcePath;
    PhoneEntry moving{source.last(), false, 0, std::nullopt};
    const int sourceError = find(&source, &moving);
    // A file written but not closed yet is only given its future name.
    const auto pending = pendingBuffer(source);
    const bool pendingOnly = pending && !pending->onPhone;
    if (sourceError && !pendingOnly)
        return sourceError;
    StorePath target = *targetPath;
    PhoneEntry existing;
    const int found = find(&target, &existing);
    if (found != 0 && found != -ENOENT)
        return found;
    // The same entry in other letter case: the phone renames it through a hidden name.
    const bool caseOnly = target == source;
    if (caseOnly) {
        if (targetPath->last() == source.last())
            return 0;
        target = parentOf(source) + StorePath{targetPath->last()};
    }
    if (startsWith(target, source))
        return -EINVAL;
    if (const int error =
            checkNewName(&target, moving.isFolder ? PhoneStore::NameFor::Folder : PhoneStore::NameFor::File))
        return error;

    if (!pendingOnly) {
        // Checked before anything at the target is removed.
        auto connected = connection();
        if (!connected.ok())
            return -EIO;
        if (!connected.value()->canMove(source, target)) {
            mountMessage(QStringLiteral("the phone cannot move %1 to %2: a path is too long for its move command")
                             .arg(shown(source), shown(target)));
            return -EINVAL;
        }
    }

    if (found == 0 && !caseOnly) {
        if (flags & RENAME_NOREPLACE)
            return -EEXIST;
        if (moving.isFolder && !existing.isFolder)
            return -ENOTDIR;
        if (!moving.isFolder && existing.isFolder)
            return -EISDIR;
        if (existing.isFolder) {
            auto inside = listing(target);
            if (!inside.ok())
                return -errnoFor(inside.error(), ENOENT);
            if (!inside.value().isEmpty())
                return -ENOTEMPTY;
        }
    } else if (!caseOnly && pendingBuffer(target)) {
        if (flags & RENAME_NOREPLACE)
            return -EEXIST;
    }

    // A file only written so far replaces what stands at the target when it is copied.
    if (!pendingOnly) {
        auto moved = onPhone(QStringLiteral("moving %1 to %2").arg(shown(source), shown(target)),
                             [&](PhoneStore &phone) { return phone.move(source, target); });
        changed(source);
        changed(target);
        if (!moved.ok())
            return -errnoFor(moved.error(), EACCES);
    }
    if (!caseOnly)
        detach(target);
    retarget(source, target);
    return 0;
}

int PhoneFs::statfs(struct statvfs *figures)
{
    // As the listings: the figures last read serve while a download is open.
    const auto read = memory(Refusal::Report);
    if (!read.ok())
        return -errnoFor(read.error(), EIO);
    *figures = {};
    // Counted in single bytes, so that the phone's figures show exactly.
    figures->f_bsize = 512;
    figures->f_frsize = 1;
    figures->f_blocks = read.value().total;
    figures->f_bfree = read.value().free;
    figures->f_bavail = read.value().free;
    figures->f_namemax = 255;
    return 0;
}

int PhoneFs::acceptUnchanged(const char *path)
{
    const auto target = phonePath(path);
    if (!target)
        return -ENOENT;
    StorePath found = *target;
    PhoneEntry entry;
    const int error = find(&found, &entry);
    return pendingBuffer(found) ? 0 : error;
}

void PhoneFs::releaseAll()
{
    while (!handles.empty())
        release(handles.begin()->first);
}

void PhoneFs::leavingStarts()
{
    if (store)
        store->leavingStarts();
}

void PhoneFs::reportUnsaved()
{
    QSet<const FileBuffer *> seen;
    for (const auto &[handle, buffer] : handles) {
        if (buffer->dirty && !buffer->detached && !buffer->writeError && !seen.contains(buffer.get())) {
            seen.insert(buffer.get());
            mountMessage(QStringLiteral("%1 was still open for writing and was not copied to the phone")
                             .arg(shown(buffer->path)));
        }
    }
}
