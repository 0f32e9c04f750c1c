#include "stopsignals.h"

#include "temporaryfiles.h"

#include <cerrno>
#include <csignal>

#include <fcntl.h>
#include <unistd.h>

namespace StopSignals {

namespace {

constexpr int Signals[] = {SIGINT, SIGTERM, SIGHUP};
volatile sig_atomic_t stopSignal = 0;
int wakePipe[2] = {-1, -1};

void onSignal(int signal)
{
    const int savedErrno = errno;
    TemporaryFiles::removeAllNow();
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

} // namespace StopSignals
