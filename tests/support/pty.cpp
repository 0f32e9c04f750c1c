#include "pty.h"

#include <QElapsedTimer>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

Pty::Pty()
{
    m_master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (m_master < 0 || ::grantpt(m_master) != 0 || ::unlockpt(m_master) != 0)
        throw std::runtime_error("no pseudo-terminal");
    char name[128];
    if (::ptsname_r(m_master, name, sizeof name) != 0)
        throw std::runtime_error("no pseudo-terminal name");
    m_slavePath = QString::fromLocal8Bit(name);
    termios tio{};
    ::tcgetattr(m_master, &tio);
    ::cfmakeraw(&tio);
    ::tcsetattr(m_master, TCSANOW, &tio);
    // Keeps the slave side from hanging up while the port is closed between tests,
    // and lets the queue be measured and emptied.
    m_keeper = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (m_keeper < 0)
        throw std::runtime_error("cannot open the pseudo-terminal");
    // Raw before the program opens the port and after it closes it: no echo, no lines.
    ::tcgetattr(m_keeper, &tio);
    ::cfmakeraw(&tio);
    ::tcsetattr(m_keeper, TCSANOW, &tio);
}

Pty::~Pty()
{
    dropKeeper();
    closeMaster();
}

void Pty::send(const QByteArray &bytes) const
{
    send(reinterpret_cast<const std::uint8_t *>(bytes.constData()), std::size_t(bytes.size()));
}

void Pty::send(const std::uint8_t *data, std::size_t size) const
{
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = ::write(m_master, data + done, size - done);
        if (n > 0)
            done += std::size_t(n);
        else if (n < 0 && errno != EINTR && errno != EAGAIN)
            throw std::runtime_error("pty write failed");
    }
}

QByteArray Pty::receive(int count, int timeoutMs) const
{
    QByteArray got;
    QElapsedTimer clock;
    clock.start();
    while (got.size() < count) {
        const int left = timeoutMs - int(clock.elapsed());
        if (left <= 0)
            break;
        pollfd p{m_master, POLLIN, 0};
        if (::poll(&p, 1, left) <= 0)
            continue;
        char buffer[4096];
        const ssize_t n = ::read(m_master, buffer, std::min<size_t>(sizeof buffer, size_t(count - got.size())));
        if (n > 0)
            got.append(buffer, n);
    }
    return got;
}

QByteArray Pty::drain(int quietMs) const
{
    QByteArray got;
    for (;;) {
        pollfd p{m_master, POLLIN, 0};
        if (::poll(&p, 1, quietMs) <= 0)
            return got;
        char buffer[4096];
        const ssize_t n = ::read(m_master, buffer, sizeof buffer);
        if (n <= 0)
            return got;
        got.append(buffer, n);
    }
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
    if (m_master >= 0)
        ::close(m_master);
    m_master = -1;
}

void Pty::dropKeeper()
{
    if (m_keeper >= 0)
        ::close(m_keeper);
    m_keeper = -1;
}
