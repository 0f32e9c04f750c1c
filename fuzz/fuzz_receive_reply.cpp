// ReceiveReply against anything a phone might send. The bytes reach the real port
// code through a pseudo-terminal; replies are read one after another until the
// input is used up. A receive error ends only the current input (the window double
// throws from endProgram), a short input ends in the receive time-out, scaled down
// to a few milliseconds. Nothing may crash, hang, or hand back more packet bytes
// than were sent.

#include "fuzzsupport.h"

#include "checksum.h"
#include "phonelink.h"
#include "phoneui.h"

#include <QCoreApplication>

#include <cerrno>
#include <cstdint>
#include <fcntl.h>
#include <memory>
#include <poll.h>
#include <stdexcept>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace {

// The line discipline holds 4095 bytes; longer inputs would only stall the writer.
constexpr std::size_t MaxInput = 4000;
constexpr int TimeoutMs = 3;

struct LinkEnded
{
};

class SilentUi : public PhoneUi
{
public:
    void progressLoad() override {}
    void progressShow() override {}
    bool progressIsOpen() const override { return false; }
    void progressSetMaximum(int) override {}
    void progressSetValue(int) override {}
    int progressValue() const override { return 0; }
    void progressAddRow(const QString &, int) override {}
    void progressRepaint() override {}
    void progressShowCloseButton() override {}
    void progressFocus() override {}
    void progressClose() override {}
    void setMainWindowEnabled(bool) override {}
    void setMainWindowVisible(bool) override {}
    void setWaitingBytesText(const QString &) override {}
    void setSequenceText(const QString &) override {}
    void setTotalMemoryText(const QString &) override {}
    void setFreeMemoryText(const QString &) override {}
    void connectionEstablished() override {}
    void showMessage(Icon, const QString &, const QString &) override {}
    bool askYesNo(Icon, const QString &, const QString &) override { return false; }
    [[noreturn]] void endProgram(int) override { throw LinkEnded{}; }
};

// ReceiveReply computes no checksum; the link only needs an object to hold.
class UnusedChecksum : public Checksum
{
public:
    quint16 CrcCalc(const QByteArray &) override { return 0; }
    qint16 Xor(qint16 a, qint16 b) override { return qint16(a ^ b); }
};

class PhoneEnd
{
public:
    PhoneEnd()
    {
        master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0)
            throw std::runtime_error("no pseudo-terminal");
        char name[128];
        if (::ptsname_r(master, name, sizeof name) != 0)
            throw std::runtime_error("no pseudo-terminal name");
        slavePath = QString::fromLocal8Bit(name);
        termios tio{};
        ::tcgetattr(master, &tio);
        ::cfmakeraw(&tio);
        ::tcsetattr(master, TCSANOW, &tio);
        // Keeps the line up while the port is closed and lets the queue be emptied.
        keeper = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (keeper < 0)
            throw std::runtime_error("cannot open the pseudo-terminal");
        ::tcgetattr(keeper, &tio);
        ::cfmakeraw(&tio);
        ::tcsetattr(keeper, TCSANOW, &tio);
    }

    void send(const std::uint8_t *data, std::size_t size) const
    {
        std::size_t done = 0;
        while (done < size) {
            const ssize_t n = ::write(master, data + done, size - done);
            if (n > 0)
                done += std::size_t(n);
            else if (n < 0 && errno != EINTR)
                std::abort();
        }
        // Wait until the line discipline holds it all, so that the port sees it at once.
        for (int i = 0; i < 1000 && waiting() < int(size); ++i)
            ::usleep(50);
    }

    int waiting() const
    {
        int count = 0;
        return ::ioctl(keeper, FIONREAD, &count) == 0 ? count : 0;
    }

    void discardQueues() const
    {
        ::tcflush(keeper, TCIOFLUSH);
        char buffer[4096];
        pollfd p{master, POLLIN, 0};
        while (::poll(&p, 1, 0) > 0 && ::read(master, buffer, sizeof buffer) > 0) {
        }
    }

    int master = -1;
    int keeper = -1;
    QString slavePath;
};

struct Harness
{
    PhoneEnd phone;
    SilentUi ui;
    UnusedChecksum crc;
};

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    static QCoreApplication app(*argc, *argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    static Harness harness;
    if (size > MaxInput)
        size = MaxInput;

    harness.phone.discardQueues();
    // A time-out is final for a link, so every input gets a fresh one.
    auto link = std::make_unique<PhoneLink>(harness.crc, harness.ui);
    link->setTimeoutInterval(TimeoutMs);
    link->Comm1.setDevicePath(harness.phone.slavePath);
    QString reason;
    if (!link->Comm1.open(&reason)) {
        std::fprintf(stderr, "cannot open %s: %s\n", qPrintable(harness.phone.slavePath), qPrintable(reason));
        std::abort();
    }
    link->Comm1.setReadLength(SerialPort::SingleByte);
    harness.phone.send(data, size);

    std::size_t replies = 0;
    try {
        do {
            const QByteArray reply = link->ReceiveReply();
            ++replies;
            // An acknowledgement takes five bytes; a data block ten more than its packet
            // (frame header, block header, CRC).
            FUZZ_EXPECT(replies * 5 <= size);
            if (reply != PhoneLink::Acknowledge)
                FUZZ_EXPECT(std::size_t(reply.size()) + 10 <= size);
        } while (link->Comm1.bytesWaiting() > 0);
    } catch (const LinkEnded &) {
        // A receive error or time-out ended the program here: the port must be closed.
        FUZZ_EXPECT(!link->Comm1.isOpen());
    }
    link.reset();
    return 0;
}
