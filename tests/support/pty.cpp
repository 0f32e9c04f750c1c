#include "pty.h"

#include <QDeadlineTimer>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

// Raw: no echo, no lines.
static void makeRaw(int fd)
{
    termios tio{};
    ::tcgetattr(fd, &tio);
    ::cfmakeraw(&tio);
    ::tcsetattr(fd, TCSANOW, &tio);
}

static void closeOnce(int &fd)
{
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

// Appends at most most bytes that come within waitMs; what read() gave, 0 after a quiet wait.
static ssize_t readSome(int fd, QByteArray &got, std::size_t most, int waitMs)
{
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, waitMs) <= 0)
        return 0;
    char buffer[4096];
    const ssize_t n = ::read(fd, buffer, std::min(sizeof buffer, most));
    if (n > 0)
        got.append(buffer, n);
    return n;
}

Pty::Pty()
{
    m_master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (m_master < 0 || ::grantpt(m_master) != 0 || ::unlockpt(m_master) != 0)
        throw std::runtime_error("no pseudo-terminal");
    char name[128];
    if (::ptsname_r(m_master, name, sizeof name) != 0)
        throw std::runtime_error("no pseudo-terminal name");
    m_slavePath = QString::fromLocal8Bit(name);
    makeRaw(m_master);
    // Keeps the slave side from hanging up while the port is closed between tests,
    // and lets the queue be measured and emptied.
    m_keeper = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (m_keeper < 0)
        throw std::runtime_error("cannot open the pseudo-terminal");
    // Raw before the program opens the port and after it closes it.
    makeRaw(m_keeper);
}

Pty::~Pty()
{
    dropKeeper();
    closeMaster();
}

void Pty::send(const QByteArray &bytes) const
{
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(m_master, bytes.constData() + done, std::size_t(bytes.size() - done));
        if (n > 0)
            done += n;
        else if (n < 0 && errno != EINTR && errno != EAGAIN)
            throw std::runtime_error("pty write failed");
    }
}

QByteArray Pty::receive(int count, int timeoutMs) const
{
    QByteArray got;
    QDeadlineTimer deadline(timeoutMs);
    while (got.size() < count && !deadline.hasExpired())
        readSome(m_master, got, std::size_t(count - got.size()), int(deadline.remainingTime()));
    return got;
}

QByteArray Pty::drain(int quietMs) const
{
    QByteArray got;
    while (readSome(m_master, got, 4096, quietMs) > 0) {
    }
    return got;
}

int Pty::waiting() const
{
    int count = 0;
    return ::ioctl(m_keeper, FIONREAD, &count) == 0 ? count : 0;
}

void Pty::discardQueues() const
{
    ::tcflush(m_keeper, TCIOFLUSH);
    drain(0);
}

void Pty::closeMaster()
{
    closeOnce(m_master);
}

void Pty::dropKeeper()
{
    closeOnce(m_keeper);
}
