#include "temporaryfiles.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>

#include <unistd.h>

namespace TemporaryFiles {

namespace {

struct Entry
{
    char path[PATH_MAX];
    // 0 free, 1 being filled, 2 guarded: the handler reads only a complete path.
    std::atomic<int> state{0};
};
Entry guarded[Capacity];
static_assert(std::atomic<int>::is_always_lock_free);

void onSignal(int signal)
{
    removeAllNow();
    ::signal(signal, SIG_DFL);
    ::raise(signal);
}

} // namespace

int guard(const QByteArray &path)
{
    if (path.size() >= PATH_MAX)
        return -1;
    for (int index = 0; index < Capacity; ++index) {
        int expected = 0;
        if (!guarded[index].state.compare_exchange_strong(expected, 1))
            continue;
        std::memcpy(guarded[index].path, path.constData(), size_t(path.size()) + 1);
        guarded[index].state.store(2);
        return index;
    }
    return -1;
}

void release(int slot)
{
    if (slot >= 0 && slot < Capacity)
        guarded[slot].state.store(0);
}

void removeAllNow()
{
    const int savedErrno = errno;
    for (Entry &entry : guarded) {
        if (entry.state.load() == 2)
            ::unlink(entry.path);
    }
    errno = savedErrno;
}

void removeOnSignals()
{
    struct sigaction action
    {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction previous
        {};
        ::sigaction(signal, nullptr, &previous);
        if (previous.sa_handler == SIG_DFL)
            ::sigaction(signal, &action, nullptr);
    }
}

} // namespace TemporaryFiles
