#include "leaver.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <utility>

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

QString markPathFor(dev_t device)
{
    QString folder = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (folder.isEmpty() || !QFileInfo(folder).isDir())
        folder = QStringLiteral("/tmp");
    return QStringLiteral("%1/tarvel-leaving-%2.%3").arg(folder).arg(major(device)).arg(minor(device));
}

int openMark(const QString &path, int flags)
{
    return ::open(QFile::encodeName(path).constData(), flags | O_NOFOLLOW | O_CLOEXEC, 0644);
}

// Closes every descriptor from 3 up but those in keep.
void closeAllBut(std::vector<int> keep)
{
    std::sort(keep.begin(), keep.end());
    unsigned from = STDERR_FILENO + 1;
    for (const int fd : keep) {
        if (fd < int(from))
            continue;
        if (unsigned(fd) > from)
            ::close_range(from, unsigned(fd) - 1, 0);
        from = unsigned(fd) + 1;
    }
    ::close_range(from, ~0U, 0);
}

// What the child leaves the phone with: no terminal, no signal from one, no stream of the program's.
void detach()
{
    ::setsid();
    for (const int signal : {SIGINT, SIGHUP, SIGQUIT, SIGPIPE, SIGTSTP, SIGTTIN, SIGTTOU})
        ::signal(signal, SIG_IGN);
    ::signal(SIGTERM, SIG_DFL);
    const int null = ::open("/dev/null", O_RDWR);
    if (null < 0)
        return;
    for (const int stream : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO})
        ::dup2(null, stream);
    if (null > STDERR_FILENO)
        ::close(null);
}

} // namespace

QString Leaver::markPath(const QString &devicePath)
{
    struct stat info
    {};
    if (::stat(QFile::encodeName(devicePath).constData(), &info) != 0 || !S_ISCHR(info.st_mode))
        return {};
    return markPathFor(info.st_rdev);
}

int Leaver::takeMark(int portFd)
{
    struct stat info
    {};
    if (::fstat(portFd, &info) != 0 || !S_ISCHR(info.st_mode))
        return -1;
    const QString path = markPathFor(info.st_rdev);
    int fd = openMark(path, O_RDWR | O_CREAT);
    if (fd < 0)
        fd = openMark(path, O_RDONLY); // another user's: a lock needs no write
    if (fd < 0)
        return -1;
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

bool Leaver::runInChild(int markFd, std::vector<int> keep, const std::function<void()> &leave)
{
    // What the program wrote goes once, from the program.
    std::fflush(nullptr);
    // Twice: the leaver is nobody's child to wait for, so a program that lives on leaves
    // no zombie behind.
    const pid_t child = ::fork();
    if (child == 0) {
        const pid_t leaver = ::fork();
        if (leaver == 0) {
            detach();
            keep.push_back(markFd);
            closeAllBut(std::move(keep));
            // Who holds the port, for a user who wonders.
            if (markFd >= 0 && ::ftruncate(markFd, 0) == 0)
                ::dprintf(markFd, "%d\n", int(::getpid()));
            try {
                leave();
            } catch (...) {
            }
            ::_exit(0);
        }
        ::_exit(leaver > 0 ? 0 : 1);
    }
    if (markFd >= 0)
        ::close(markFd);
    if (child < 0)
        return false;
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

Leaver::Wait Leaver::waitForRelease(const QString &devicePath, int capMs, int slowMs, const std::function<void()> &slow,
                                    const std::function<bool()> &stopRequested)
{
    const QString path = markPath(devicePath);
    const int mark = path.isEmpty() ? -1 : openMark(path, O_RDONLY);
    if (mark < 0)
        return Wait::Free;
    // Woken when a holder closes the file: the leaver at its end.
    const int watch = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    if (watch < 0 || ::inotify_add_watch(watch, QFile::encodeName(path).constData(), IN_CLOSE) < 0) {
        ::close(mark);
        if (watch >= 0)
            ::close(watch);
        return Wait::Free;
    }
    const QDeadlineTimer cap(capMs);
    const QDeadlineTimer slowAt(slowMs);
    bool told = false;
    Wait result = Wait::Free;
    while (::flock(mark, LOCK_SH | LOCK_NB) != 0) {
        if (stopRequested && stopRequested()) {
            result = Wait::Stopped;
            break;
        }
        if (cap.hasExpired()) {
            result = Wait::TooLong;
            break;
        }
        if (!told && slowAt.hasExpired()) {
            told = true;
            slow();
        }
        const qint64 wait = told ? cap.remainingTime() : std::min(cap.remainingTime(), slowAt.remainingTime());
        pollfd p{watch, POLLIN, 0};
        if (::poll(&p, 1, int(wait)) > 0) {
            char events[4096];
            while (::read(watch, events, sizeof events) > 0) {
            }
        }
    }
    ::close(watch);
    ::close(mark);
    return result;
}
