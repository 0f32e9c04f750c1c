#include "stopsignals.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <iterator>

#include <fcntl.h>
#include <unistd.h>

namespace StopSignals {

namespace {

constexpr int Signals[] = {SIGINT, SIGTERM, SIGHUP};
char temporaryPath[PATH_MAX];
volatile sig_atomic_t armed = 0;
volatile sig_atomic_t stopSignal = 0;
int wakePipe[2] = {-1, -1};

void onSignal(int signal)
{
    const int savedErrno = errno;
    if (armed)
        ::unlink(temporaryPath);
    if (stopSignal != 0) {
        ::signal(signal, SIG_DFL);
        ::raise(signal);
    } else {
        stopSignal = signal;
        if (wakePipe[1] >= 0) {
            const char byte = 1;
            [[maybe_unused]] const ssize_t written = ::write(wakePipe[1], &byte, 1);
        }
    }
    errno = savedErrno;
}

} // namespace

void install()
{
    if (wakePipe[0] < 0 && ::pipe2(wakePipe, O_CLOEXEC | O_NONBLOCK) != 0)
        wakePipe[0] = wakePipe[1] = -1;
    struct sigaction action
    {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    for (const int signal : Signals) {
        struct sigaction previous
        {};
        ::sigaction(signal, nullptr, &previous);
        if (previous.sa_handler != SIG_IGN)
            ::sigaction(signal, &action, nullptr);
    }
}

int received()
{
    return stopSignal;
}

int wakeFd()
{
    return wakePipe[0];
}

void endIfReceived()
{
    if (stopSignal == 0)
        return;
    ::signal(stopSignal, SIG_DFL);
    ::raise(stopSignal);
}

bool armTemporaryFile(const QByteArray &path)
{
    if (armed || path.size() >= qsizetype(sizeof temporaryPath))
        return false;
    std::memcpy(temporaryPath, path.constData(), size_t(path.size()) + 1);
    armed = 1;
    return true;
}

void disarmTemporaryFile()
{
    armed = 0;
}

} // namespace StopSignals
