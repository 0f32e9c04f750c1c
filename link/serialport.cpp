#include "serialport.h"

#include <QFile>
#include <QFileInfo>
#include <QScopeGuard>
#include <QStandardPaths>

#include <algorithm>
#include <cerrno>
#include <iterator>

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace {

// How long write() keeps offering bytes to a driver that takes none.
constexpr int WriteStallLimitMs = 5000;

// The rates the port is set to, and their terminal speeds.
struct LineRate
{
    int baud;
    speed_t speed;
};
constexpr LineRate LineRates[] = {
    {19200, B19200}, {38400, B38400}, {57600, B57600}, {115200, B115200}, {230400, B230400}};

SerialPort::OpenError classify(int error)
{
    switch (error) {
    case ENOENT:
    case ENXIO:
    case ENODEV:
    case ENOTDIR:
        return SerialPort::OpenError::NoSuchDevice;
    case EBUSY:
    case EWOULDBLOCK:
        return SerialPort::OpenError::Busy;
    case EACCES:
    case EPERM:
    case EROFS:
        return SerialPort::OpenError::NoPermission;
    case ENOTTY:
        return SerialPort::OpenError::NotSerial;
    case EISDIR:
        return SerialPort::OpenError::IsDirectory;
    default:
        return SerialPort::OpenError::Other;
    }
}

} // namespace

SerialPort::~SerialPort()
{
    close();
}

void SerialPort::setPortNumber(int number)
{
    m_portNumber = number;
}

int SerialPort::portNumber() const
{
    return m_portNumber;
}

QString SerialPort::portsFolder()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) + QStringLiteral("/tarvel/ports");
}

QString SerialPort::devicePathForPort(int number)
{
    if (number < 1)
        return {};
    const QString link = portsFolder() + QStringLiteral("/com%1").arg(number);
    const QFileInfo info(link);
    if (info.isSymLink() || info.exists())
        return link;
    return QStringLiteral("/dev/ttyS%1").arg(number - 1);
}

void SerialPort::setDevicePath(const QString &path)
{
    m_devicePath = path;
}

QString SerialPort::devicePath() const
{
    return m_devicePath.isEmpty() ? devicePathForPort(m_portNumber) : m_devicePath;
}

QString SerialPort::openedDevicePath() const
{
    return m_openedPath;
}

void SerialPort::setRts(bool raised)
{
    m_rts = raised;
    if (isOpen())
        applyModemLines();
}

bool SerialPort::rts() const
{
    return m_rts;
}

bool SerialPort::modemLinesSupported() const
{
    return m_modemLines;
}

void SerialPort::applyModemLines()
{
    // A pseudo-terminal has no modem lines and refuses these; that is no error.
    const int dtr = TIOCM_DTR;
    const int rts = TIOCM_RTS;
    m_modemLines = ::ioctl(m_fd, TIOCMBIS, &dtr) == 0;
    if (m_modemLines)
        ::ioctl(m_fd, m_rts ? TIOCMBIS : TIOCMBIC, &rts);
}

bool SerialPort::open()
{
    close();
    const QString path = devicePath();
    m_openedPath = path;
    auto fail = [&](int error) {
        m_openError = classify(error);
        if (m_fd >= 0) {
            ::close(m_fd);
            m_fd = -1;
        }
        return false;
    };

    if (path.isEmpty())
        return fail(ENOENT);
    m_fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (m_fd < 0)
        return fail(errno);
    if (!::isatty(m_fd))
        return fail(ENOTTY);
    // Another program of ours (flock) or any other program (TIOCEXCL) is kept out.
    if (::flock(m_fd, LOCK_EX | LOCK_NB) != 0)
        return fail(errno == EWOULDBLOCK ? EBUSY : errno);
    if (::ioctl(m_fd, TIOCEXCL) != 0)
        return fail(errno);

    termios tio{};
    if (::tcgetattr(m_fd, &tio) != 0)
        return fail(errno);
    ::cfmakeraw(&tio);
    tio.c_cflag &= ~(CSIZE | PARENB | CSTOPB | CRTSCTS);
    tio.c_cflag |= CS8 | CLOCAL | CREAD;
    tio.c_iflag &= ~tcflag_t(IXON | IXOFF | IXANY);
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    // The connect procedure always starts at this rate.
    static_assert(StartBaudRate == 57600);
    ::cfsetispeed(&tio, B57600);
    ::cfsetospeed(&tio, B57600);
    if (::tcsetattr(m_fd, TCSANOW, &tio) != 0)
        return fail(errno);

    applyModemLines();
    m_openError = OpenError::None;
    if (m_trace)
        m_trace->comment(QStringLiteral("opened ") + path);
    return true;
}

SerialPort::OpenError SerialPort::openError() const
{
    return m_openError;
}

void SerialPort::close()
{
    if (m_fd < 0)
        return;
    ::ioctl(m_fd, TIOCNXCL);
    ::close(m_fd);
    m_fd = -1;
    m_modemLines = false;
    if (m_trace)
        m_trace->comment(QStringLiteral("closed"));
}

void SerialPort::handOver()
{
    if (m_fd < 0)
        return;
    ::close(m_fd);
    m_fd = -1;
    m_modemLines = false;
}

bool SerialPort::isOpen() const
{
    return m_fd >= 0;
}

bool SerialPort::setBaudRate(int baud)
{
    const auto rate = std::find_if(std::begin(LineRates), std::end(LineRates),
                                   [baud](const LineRate &known) { return known.baud == baud; });
    termios tio{};
    if (rate == std::end(LineRates) || m_fd < 0 || ::tcgetattr(m_fd, &tio) != 0)
        return false;
    ::cfsetispeed(&tio, rate->speed);
    ::cfsetospeed(&tio, rate->speed);
    return ::tcsetattr(m_fd, TCSADRAIN, &tio) == 0;
}

int SerialPort::baudRate() const
{
    termios tio{};
    if (m_fd < 0 || ::tcgetattr(m_fd, &tio) != 0)
        return 0;
    const speed_t speed = ::cfgetospeed(&tio);
    const auto rate = std::find_if(std::begin(LineRates), std::end(LineRates),
                                   [speed](const LineRate &known) { return known.speed == speed; });
    return rate == std::end(LineRates) ? 0 : rate->baud;
}

void SerialPort::setReadLength(int length)
{
    m_readLength = length;
}

int SerialPort::readLength() const
{
    return m_readLength;
}

int SerialPort::bytesWaiting() const
{
    if (m_fd < 0)
        return 0;
    int count = 0;
    if (::ioctl(m_fd, FIONREAD, &count) != 0)
        return 0;
    return count;
}

QByteArray SerialPort::read()
{
    return read(m_readLength <= SingleByte ? SingleByte : WholeQueue);
}

QByteArray SerialPort::read(int maxBytes)
{
    const int limit = qBound(0, maxBytes, WholeQueue);
    if (m_fd < 0 || limit == 0)
        return {};
    QByteArray bytes(limit, Qt::Uninitialized);
    qsizetype got = 0;
    while (got < limit) {
        const ssize_t n = ::read(m_fd, bytes.data() + got, size_t(limit - got));
        if (n > 0) {
            got += n;
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        break; // queue empty (EAGAIN), hang-up or error: what was read so far is the result
    }
    bytes.truncate(got);
    if (m_trace)
        m_trace->received(bytes);
    return bytes;
}

bool SerialPort::write(const QByteArray &bytes)
{
    if (m_fd < 0)
        return false;
    const char *data = bytes.constData();
    qsizetype left = bytes.size();
    // One trace line for the write, with what the driver took.
    const auto traced = qScopeGuard([&] {
        if (m_trace)
            m_trace->sent(bytes.left(bytes.size() - left));
    });
    while (left > 0) {
        const ssize_t n = ::write(m_fd, data, size_t(left));
        if (n > 0) {
            data += n;
            left -= n;
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
            return false;
        // The driver's transmit buffer is full: wait until it drains a little.
        pollfd p{m_fd, POLLOUT, 0};
        int ready;
        do {
            ready = ::poll(&p, 1, WriteStallLimitMs);
        } while (ready < 0 && errno == EINTR);
        if (ready <= 0 || (p.revents & (POLLERR | POLLHUP | POLLNVAL)))
            return false;
    }
    return true;
}

bool SerialPort::waitForBytes(int ms) const
{
    if (m_fd < 0)
        return false;
    pollfd p{m_fd, POLLIN, 0};
    int ready;
    do {
        ready = ::poll(&p, 1, std::max(ms, 0));
    } while (ready < 0 && errno == EINTR);
    return ready > 0;
}

bool SerialPort::hungUp() const
{
    if (m_fd < 0)
        return false;
    pollfd p{m_fd, POLLIN, 0};
    int ready;
    do {
        ready = ::poll(&p, 1, 0);
    } while (ready < 0 && errno == EINTR);
    return ready > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL));
}

bool SerialPort::startTrace(const QString &path, QString *reason)
{
    auto trace = std::make_unique<LineTrace>();
    if (!trace->open(path, reason))
        return false;
    m_trace = std::move(trace);
    return true;
}

int SerialPort::fd() const
{
    return m_fd;
}
