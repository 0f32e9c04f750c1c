#include "pseudoterminal.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/inotify.h>
#include <termios.h>
#include <unistd.h>

#include <utility>

namespace phonesim {

namespace {

// The common rates a client may set, by their terminal speeds.
constexpr std::pair<speed_t, unsigned> clientRates[] = {{B9600, 9600},   {B19200, 19200},   {B38400, 38400},
                                                        {B57600, 57600}, {B115200, 115200}, {B230400, 230400}};

} // namespace

PseudoTerminal::~PseudoTerminal()
{
    for (int fd : {watch_, slave_, master_})
        if (fd >= 0)
            ::close(fd);
}

bool PseudoTerminal::open(std::string &error)
{
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0) {
        error = std::string("cannot open a pseudo-terminal: ") + std::strerror(errno);
        return false;
    }
    char name[128];
    if (::ptsname_r(master_, name, sizeof name) != 0) {
        error = std::string("cannot name the pseudo-terminal: ") + std::strerror(errno);
        return false;
    }
    path_ = name;
    slave_ = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave_ < 0) {
        error = "cannot open " + path_ + ": " + std::strerror(errno);
        return false;
    }
    struct termios settings
    {};
    if (::tcgetattr(slave_, &settings) == 0) {
        ::cfmakeraw(&settings);
        ::cfsetispeed(&settings, B57600);
        ::cfsetospeed(&settings, B57600);
        settings.c_cflag |= CLOCAL | CREAD;
        ::tcsetattr(slave_, TCSANOW, &settings);
    }
    // Set up after our own open, so that only clients are counted.
    watch_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (watch_ >= 0 && ::inotify_add_watch(watch_, name, IN_OPEN | IN_CLOSE) < 0) {
        ::close(watch_);
        watch_ = -1;
    }
    return true;
}

PseudoTerminal::ClientChanges PseudoTerminal::readClientChanges()
{
    ClientChanges changes;
    if (watch_ < 0)
        return changes;
    alignas(struct inotify_event) char buffer[4096];
    for (;;) {
        ssize_t size = ::read(watch_, buffer, sizeof buffer);
        if (size <= 0)
            break;
        for (char *p = buffer; p < buffer + size;) {
            auto *event = reinterpret_cast<struct inotify_event *>(p);
            if (event->mask & IN_OPEN) {
                if (clients_++ == 0)
                    changes.firstOpened = true;
            }
            if ((event->mask & IN_CLOSE) && clients_ > 0) {
                if (--clients_ == 0)
                    changes.lastClosed = true;
            }
            p += sizeof(struct inotify_event) + event->len;
        }
    }
    return changes;
}

void PseudoTerminal::discardUnread()
{
    ::tcflush(slave_, TCIFLUSH);
}

unsigned PseudoTerminal::clientBaud() const
{
    // The master shows the settings the client made on its end.
    struct termios settings
    {};
    if (::tcgetattr(master_, &settings) != 0)
        return 0;
    const speed_t speed = ::cfgetospeed(&settings);
    for (const auto &[known, baud] : clientRates)
        if (known == speed)
            return baud;
    return 0;
}

} // namespace phonesim
