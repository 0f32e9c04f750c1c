#define FUSE_USE_VERSION 35
#include <fuse.h>

#include "fusemount.h"
#include "phonefs.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

#include <cerrno>
#include <cstdio>
#include <exception>
#include <new>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

enum ExitCode {
    Unmounted = 0,
    MountFailed = 1,
    UsageFailure = 2,
    NoPhone = 3,
};

PhoneFs &phoneFs()
{
    return *static_cast<PhoneFs *>(fuse_get_context()->private_data);
}

// No exception may cross the C library's frames: the mount would die with it.
template<typename Call>
int guarded(Call call)
{
    try {
        return call();
    } catch (const std::bad_alloc &) {
        return -ENOMEM;
    } catch (const std::exception &error) {
        mountMessage(QStringLiteral("unexpected failure: ") + QString::fromLocal8Bit(error.what()));
        return -EIO;
    }
}

void *init(fuse_conn_info *connection, fuse_config *config)
{
    // The kernel asks every time and the answers come from the mount's own short-lived
    // listings, so that a file a failed copy took away never lingers in a kernel cache.
    config->entry_timeout = 0;
    config->attr_timeout = 0;
    config->negative_timeout = 0;
    // Unlinking an open file removes it at once, instead of a rename on the phone.
    config->hard_remove = 1;
    // open() with O_TRUNC arrives as one request, not as a truncate and an open.
    if (connection->capable & FUSE_CAP_ATOMIC_O_TRUNC)
        connection->want |= FUSE_CAP_ATOMIC_O_TRUNC;
    // Every page read ahead costs the line time of its bytes: a program that reads the
    // start of a file would wait for four times as much as it asked for.
    connection->max_readahead = 0;
    return fuse_get_context()->private_data;
}

int getattr(const char *path, struct stat *attributes, fuse_file_info *file)
{
    return guarded([&] { return phoneFs().getattr(path, attributes, file ? &file->fh : nullptr); });
}

int readdir(const char *path, void *buffer, fuse_fill_dir_t fill, off_t, fuse_file_info *, fuse_readdir_flags)
{
    return guarded([&] {
        return phoneFs().readdir(path, [&](const QByteArray &name, const struct stat &attributes) {
            fill(buffer, name.constData(), &attributes, 0, fuse_fill_dir_flags(0));
        });
    });
}

int open(const char *path, fuse_file_info *file)
{
    return guarded([&] { return phoneFs().open(path, file->flags, &file->fh); });
}

int create(const char *path, mode_t, fuse_file_info *file)
{
    return guarded([&] { return phoneFs().create(path, file->flags, &file->fh); });
}

int read(const char *, char *buffer, size_t size, off_t offset, fuse_file_info *file)
{
    return guarded([&] { return phoneFs().read(file->fh, buffer, size, offset); });
}

int write(const char *, const char *data, size_t size, off_t offset, fuse_file_info *file)
{
    return guarded([&] { return phoneFs().write(file->fh, data, size, offset); });
}

int truncate(const char *path, off_t size, fuse_file_info *file)
{
    return guarded([&] { return phoneFs().truncate(path, size, file ? &file->fh : nullptr); });
}

int flush(const char *, fuse_file_info *file)
{
    return guarded([&] { return phoneFs().flush(file->fh); });
}

int fsync(const char *, int, fuse_file_info *file)
{
    return guarded([&] { return phoneFs().fsync(file->fh); });
}

int release(const char *, fuse_file_info *file)
{
    return guarded([&] { return phoneFs().release(file->fh); });
}

int mkdir(const char *path, mode_t)
{
    return guarded([&] { return phoneFs().mkdir(path); });
}

int rmdir(const char *path)
{
    return guarded([&] { return phoneFs().rmdir(path); });
}

int unlink(const char *path)
{
    return guarded([&] { return phoneFs().unlink(path); });
}

int rename(const char *from, const char *to, unsigned int flags)
{
    return guarded([&] { return phoneFs().rename(from, to, flags); });
}

int statfs(const char *, struct statvfs *figures)
{
    return guarded([&] { return phoneFs().statfs(figures); });
}

int chmod(const char *path, mode_t, fuse_file_info *)
{
    return guarded([&] { return phoneFs().acceptUnchanged(path); });
}

int chown(const char *path, uid_t, gid_t, fuse_file_info *)
{
    return guarded([&] { return phoneFs().acceptUnchanged(path); });
}

int utimens(const char *path, const struct timespec[2], fuse_file_info *)
{
    return guarded([&] { return phoneFs().acceptUnchanged(path); });
}

fuse_operations makeOperations()
{
    fuse_operations operations{};
    operations.init = init;
    operations.getattr = getattr;
    operations.readdir = readdir;
    operations.open = open;
    operations.create = create;
    operations.read = read;
    operations.write = write;
    operations.truncate = truncate;
    operations.flush = flush;
    operations.fsync = fsync;
    operations.release = release;
    operations.mkdir = mkdir;
    operations.rmdir = rmdir;
    operations.unlink = unlink;
    operations.rename = rename;
    operations.statfs = statfs;
    operations.chmod = chmod;
    operations.chown = chown;
    operations.utimens = utimens;
    return operations;
}

const fuse_operations Operations = makeOperations();

// Into the background like every FUSE daemon, but keeping standard error, where
// the lines about lost links and refusals go.
bool daemonize()
{
    const int keptError = ::dup(STDERR_FILENO);
    const bool done = fuse_daemonize(0) == 0;
    if (keptError >= 0) {
        ::dup2(keptError, STDERR_FILENO);
        ::close(keptError);
    }
    return done;
}

// The kernel also ends the connection while the folder stays mounted (umount -f, the
// connection's abort file): the folder then answers ENOTCONN, where after an unmount it
// is the PC's own again.
bool connectionCut(const QByteArray &mountPath)
{
    struct stat attributes;
    return ::stat(mountPath.constData(), &attributes) != 0 && errno == ENOTCONN;
}

} // namespace

int runTarvelMount(int argc, char *argv[], const PhoneBackend &backend)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("tarvel-mount"));

    const CommandLine command = parseCommandLine(QCoreApplication::arguments());
    if (std::holds_alternative<ShowHelp>(command)) {
        std::fputs(MountHelpText, stdout);
        return Unmounted;
    }
    if (const auto *usage = std::get_if<UsageError>(&command)) {
        mountMessage(usage->problem);
        std::fputs("Try 'tarvel-mount --help'.\n", stderr);
        return UsageFailure;
    }
    const MountOptions &options = std::get<MountOptions>(command);
    const QFileInfo mountPoint(options.mountPoint);
    if (!mountPoint.isDir()) {
        mountMessage(QStringLiteral("the mount point %1 is not a folder").arg(options.mountPoint));
        return MountFailed;
    }
    // What it holds would be hidden while the phone is mounted over it.
    if (!QDir(options.mountPoint).isEmpty(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System)) {
        mountMessage(QStringLiteral("the mount point %1 is not empty").arg(options.mountPoint));
        return MountFailed;
    }
    // Absolute, because the daemon leaves the current folder before it unmounts.
    const QByteArray mountPath = mountPoint.canonicalFilePath().toLocal8Bit();

    // libfuse checks the -o options before the phone is woken.
    QList<QByteArray> arguments{QByteArray(argv[0]), QByteArrayLiteral("-o"),
                                QByteArrayLiteral("fsname=tarvel,subtype=tarvel,default_permissions")};
    for (const QString &fuseOption : options.fuseOptions)
        arguments << QByteArrayLiteral("-o") << fuseOption.toLocal8Bit();
    std::vector<char *> argumentPointers;
    for (QByteArray &argument : arguments)
        argumentPointers.push_back(argument.data());
    fuse_args fuseArguments = FUSE_ARGS_INIT(int(argumentPointers.size()), argumentPointers.data());

    ReadCache cache(options.cache);
    QString cacheProblem;
    if (!cache.open(&cacheProblem)) {
        mountMessage(cacheProblem);
        return MountFailed;
    }
    PhoneFs fileSystem(backend(options.link), cache);
    fuse *session = fuse_new(&fuseArguments, &Operations, sizeof Operations, &fileSystem);
    fuse_opt_free_args(&fuseArguments);
    if (!session) {
        std::fputs("Try 'tarvel-mount --help'.\n", stderr);
        return UsageFailure;
    }
    if (!fileSystem.connectFirst()) {
        fuse_destroy(session);
        return NoPhone;
    }
    if (fuse_mount(session, mountPath.constData()) != 0) {
        fuse_destroy(session);
        return MountFailed;
    }
    if (!options.foreground && !daemonize()) {
        fuse_unmount(session);
        fuse_destroy(session);
        return MountFailed;
    }

    // One thread serves every request: the link waits for the phone in this thread's event loop.
    fuse_session *requests = fuse_get_session(session);
    fuse_set_signal_handlers(requests);
    const int served = fuse_loop(session);
    fileSystem.leavingStarts();
    // A signal ends the loop with its number: a file being written may only be between
    // two closes, and the phone keeps its old one. 0 is the kernel's end of the
    // connection: an unmount happens once no descriptor is open (a lazy one at the last
    // close), but drops the releases the kernel still held. Until those copies are done
    // a signal changes nothing.
    if (served == 0 && !connectionCut(mountPath))
        fileSystem.releaseAll();
    fuse_remove_signal_handlers(requests);
    fileSystem.reportUnsaved();
    fuse_unmount(session);
    fuse_destroy(session);
    return served < 0 ? MountFailed : Unmounted;
}
