// phonesim: an emulated Siemens M55, S65 or S75 on a pseudo-terminal.
#include "bytetrace.h"
#include "democontent.h"
#include "flash.h"
#include "linerate.h"
#include "noise.h"
#include "options.h"
#include "phone.h"
#include "pseudoterminal.h"
#include "receiver.h"
#include "replay.h"
#include "requestlog.h"
#include "transmitter.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <memory>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace phonesim;

namespace {

int fail(const std::string &message)
{
    std::fprintf(stderr, "phonesim: %s\n", message.c_str());
    return 1;
}

// Removes what the phone made for itself when it ends, however it ends.
struct Cleanup
{
    fs::path demoRoot;
    fs::path link;
    std::string device;

    ~Cleanup()
    {
        std::error_code error;
        if (!link.empty() && fs::is_symlink(link, error) && fs::read_symlink(link, error) == device)
            fs::remove(link, error);
        if (!demoRoot.empty())
            fs::remove_all(demoRoot, error);
    }
};

int run(const Options &options)
{
    Cleanup cleanup;
    std::optional<std::vector<TraceRecord>> replayed;
    fs::path root;
    if (!options.replay.empty()) {
        std::string error;
        if (!(replayed = readTrace(options.replay, error)))
            return fail("--replay: " + error);
    } else if (options.root.empty()) {
        const char *tmp = std::getenv("TMPDIR");
        std::string pattern = (fs::path(tmp && *tmp ? tmp : "/tmp") / "phonesim-XXXXXX").string();
        if (!::mkdtemp(pattern.data()))
            return fail("cannot make a temporary folder: " + std::string(std::strerror(errno)));
        root = pattern;
        cleanup.demoRoot = root;
        std::string error;
        if (!seedDemoContent(root, options.model.rootFolders, error))
            return fail("cannot write the demo content: " + error);
    } else {
        std::error_code error;
        root = fs::canonical(options.root, error);
        if (error || !fs::is_directory(root))
            return fail("--root " + options.root + " is not a folder");
    }

    RequestLog log;
    if (!log.open(options.log))
        return fail("cannot write the log " + options.log + ": " + std::strerror(errno));
    ByteTrace trace;
    if (!options.trace.empty() && !trace.open(options.trace))
        return fail("cannot write the trace " + options.trace + ": " + std::strerror(errno));

    // Termination and the power switch arrive through a descriptor, so the one wait
    // below covers them.
    sigset_t signals;
    sigemptyset(&signals);
    for (int signal : {SIGTERM, SIGINT, SIGHUP, SIGUSR1})
        sigaddset(&signals, signal);
    sigprocmask(SIG_BLOCK, &signals, nullptr);
    int signalFd = ::signalfd(-1, &signals, SFD_CLOEXEC | SFD_NONBLOCK);
    std::signal(SIGPIPE, SIG_IGN);
    // Waits end within a microsecond of their deadline rather than the default 50.
    ::prctl(PR_SET_TIMERSLACK, 1000UL);

    PseudoTerminal terminal;
    std::string error;
    if (signalFd < 0 || !terminal.open(error))
        return fail(error.empty() ? "cannot watch for signals" : error);
    cleanup.device = terminal.devicePath();

    if (!options.link.empty()) {
        std::error_code linkError;
        fs::path link = options.link;
        if (fs::is_symlink(link, linkError))
            fs::remove(link, linkError);
        fs::create_symlink(terminal.devicePath(), link, linkError);
        if (linkError)
            return fail("cannot make the link " + options.link + ": " + linkError.message());
        cleanup.link = link;
    }

    // The cable: one line rate, noise in each direction, pacing both ways.
    LineRate rate(options.baud, log);
    LineNoise noiseRx("rx", options.faults.noiseRx, options.faults.seed, 1, log);
    LineNoise noiseTx("tx", options.faults.noiseTx, options.faults.seed, 2, log);
    Receiver receiver(rate, noiseRx, trace, log);
    Transmitter transmitter(terminal, rate, noiseTx, trace, log);

    std::unique_ptr<Flash> flash;
    std::unique_ptr<Responder> responder;
    if (replayed) {
        responder = std::make_unique<Replay>(*replayed, log, transmitter);
    } else {
        flash = std::make_unique<Flash>(root, options.memory);
        responder = std::make_unique<Phone>(options, *flash, log, transmitter, rate);
    }

    std::printf("%s\n", terminal.devicePath().c_str());
    std::fflush(stdout);

    for (;;) {
        if (Bytes arrived = receiver.take(); !arrived.empty())
            responder->receive(arrived.data(), arrived.size());
        responder->tick(Transmitter::Clock::now());
        Transmitter::Wait wait = transmitter.pump();
        std::optional<Transmitter::Clock::time_point> until = wait.until;
        for (auto due : {receiver.nextDue(), responder->nextTimer()})
            if (due && (!until || *due < *until))
                until = due;
        // The wait ends at the deadline to the nanosecond: rounding it to whole
        // milliseconds made every answer and every last burst up to 1 ms late.
        struct timespec timeout
        {};
        if (until) {
            const auto left = std::max(std::chrono::nanoseconds::zero(),
                                       std::chrono::ceil<std::chrono::nanoseconds>(*until - Transmitter::Clock::now()));
            timeout.tv_sec = std::time_t(left.count() / 1000000000);
            timeout.tv_nsec = long(left.count() % 1000000000);
        }
        struct pollfd fds[3] = {
            {signalFd, POLLIN, 0},
            {terminal.watch(), POLLIN, 0},
            {terminal.master(), short(POLLIN | (wait.writable ? POLLOUT : 0)), 0},
        };
        if (::ppoll(fds, 3, until ? &timeout : nullptr, nullptr) < 0 && errno != EINTR)
            return fail(std::string("ppoll: ") + std::strerror(errno));
        if (fds[0].revents & POLLIN) {
            struct signalfd_siginfo info
            {};
            const bool signalled = ::read(signalFd, &info, sizeof info) == ssize_t(sizeof info);
            if (signalled && info.ssi_signo != SIGUSR1)
                break;
            if (signalled) {
                // Off and on: whatever was on the wire is lost.
                log.line("POWER-CYCLE");
                transmitter.clear();
                receiver.clear();
                responder->powerCycle();
            }
        }
        // Opens and closes first: bytes of a new client always follow its open. The
        // phone is not told: what is on the wire goes on, into the void while no
        // client has the line open.
        auto changes = terminal.readClientChanges();
        if (changes.lastClosed) {
            log.line("CLOSE");
            terminal.discardUnread();
            responder->lineClosed();
        }
        if (changes.firstOpened) {
            log.line("OPEN");
            responder->lineOpened();
        }
        if (fds[2].revents & POLLIN) {
            std::uint8_t buffer[4096];
            ssize_t size = ::read(terminal.master(), buffer, sizeof buffer);
            if (size > 0)
                receiver.arrived(buffer, std::size_t(size), terminal.clientBaud());
        }
    }
    log.line("EXIT");
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    ParseResult parsed = parseOptions(argc, argv);
    if (!parsed.options)
        return parsed.exitCode;
    return run(*parsed.options);
}
