// CPU time the program uses while ReadByte waits for a phone that says nothing.
// The port is a pseudo-terminal whose master end stays silent (or, with
// --hangup, is closed: a phone or adapter that went away). The wait ends with
// the receive time-out after the given number of seconds (default 10).
//
//   wait_cpu [--hangup] [seconds]

#include "phonelink.h"
#include "phoneui.h"
#include "sumletcontrol.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QStringList>

#include <cstdio>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <unistd.h>

namespace {

struct WaitEnded
{
};

// Only the end of the program matters here; the monitors tick as in the program.
class QuietUi : public PhoneUi
{
public:
    int monitorTicks = 0;
    QString message;

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
    void setWaitingBytesText(const QString &) override { ++monitorTicks; }
    void setSequenceText(const QString &) override {}
    void setTotalMemoryText(const QString &) override {}
    void setFreeMemoryText(const QString &) override {}
    void connectionEstablished() override {}
    void showMessage(Icon, const QString &, const QString &text) override { message = text; }
    bool askYesNo(Icon, const QString &, const QString &) override { return false; }
    [[noreturn]] void endProgram(int) override { throw WaitEnded {}; }
};

double cpuSeconds()
{
    rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    auto seconds = [](const timeval &t) { return double(t.tv_sec) + double(t.tv_usec) / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QStringList args = app.arguments().mid(1);
    const bool hangup = args.removeAll(QStringLiteral("--hangup")) > 0;
    const int seconds = args.isEmpty() ? 10 : args.first().toInt();
    if (seconds <= 0) {
        std::fprintf(stderr, "usage: wait_cpu [--hangup] [seconds]\n");
        return 2;
    }

    QString error;
    auto crc = SumletControl::create(&error);
    if (!crc) {
        std::fprintf(stderr, "checksum component: %s\n", qPrintable(error));
        return 1;
    }

    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    char name[128];
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0 || ptsname_r(master, name, sizeof name) != 0) {
        std::perror("pseudo-terminal");
        return 1;
    }

    QuietUi ui;
    PhoneLink link(*crc, ui);
    link.Comm1.setDevicePath(QString::fromLocal8Bit(name));
    if (!link.Comm1.open(&error)) {
        std::fprintf(stderr, "open: %s\n", qPrintable(error));
        return 1;
    }
    link.Comm1.setReadLength(SerialPort::SingleByte);
    link.setTimeoutInterval(seconds * 1000);
    if (hangup)
        ::close(master);

    QElapsedTimer wall;
    const double cpuBefore = cpuSeconds();
    wall.start();
    try {
        link.ReadByte();
        std::fprintf(stderr, "unexpected byte from a silent peer\n");
        return 1;
    } catch (const WaitEnded &) {
    }
    const double cpu = cpuSeconds() - cpuBefore;
    const double elapsed = double(wall.elapsed()) / 1000.0;

    std::printf("peer: %s\n", hangup ? "hung up" : "silent");
    std::printf("wait: %.2f s (ended by the receive time-out: %s)\n", elapsed,
                link.timedOut() ? "yes" : "no");
    std::printf("cpu:  %.3f s user+system (%.3f%% of one core), monitor ticks %d\n", cpu,
                100.0 * cpu / elapsed, ui.monitorTicks);
    return 0;
}
