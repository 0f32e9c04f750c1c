// CPU time the program uses while ReadByte waits for a phone that says nothing.
// The port is a pseudo-terminal whose master end stays silent (or, with
// --hangup, is closed: a phone or adapter that went away, which ends the wait at
// once). A silent wait ends with the receive time-out after the given number of
// seconds (default 10).
//
//   wait_cpu [--hangup] [seconds]

#include "linkaccess.h"
#include "pty.h"
#include "serialline.h"
#include "sumletcontrol.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QStringList>

#include <cstdio>
#include <sys/resource.h>

namespace {

// Only the monitors' ticks are counted; they tick as in the program.
class MonitorCount : public PhoneEvents
{
public:
    int monitorTicks = 0;

    void waitingBytesReported(int) override { ++monitorTicks; }
};

double cpuSeconds()
{
    rusage usage{};
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

    Pty phone;
    MonitorCount events;
    SerialLine link(events, events);
    if (!LinkTestAccess::openAsConnected(link, phone.slavePath(), &error)) {
        std::fprintf(stderr, "open: %s\n", qPrintable(error));
        return 1;
    }
    link.setTimeoutInterval(seconds * 1000);
    if (hangup) {
        phone.dropKeeper();
        phone.closeMaster();
    }

    QElapsedTimer wall;
    const double cpuBefore = cpuSeconds();
    wall.start();
    try {
        link.ReadByte();
        std::fprintf(stderr, "unexpected byte from a silent peer\n");
        return 1;
    } catch (const LinkLost &) {
    }
    const double cpu = cpuSeconds() - cpuBefore;
    const double elapsed = double(wall.elapsed()) / 1000.0;

    std::printf("peer: %s\n", hangup ? "hung up" : "silent");
    std::printf("wait: %.2f s (ended by the receive time-out: %s)\n", elapsed, link.timedOut() ? "yes" : "no");
    std::printf("cpu:  %.3f s user+system (%.3f%% of one core), monitor ticks %d\n", cpu,
                elapsed > 0 ? 100.0 * cpu / elapsed : 0.0, events.monitorTicks);
    return 0;
}
