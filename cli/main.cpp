// tarvel-cli: the phone's file system from the command line, for scripts and backups.

#include "commandline.h"
#include "commandloop.h"
#include "commandrunner.h"
#include "pcfiletexts.h"
#include "phonesession.h"
#include "progress.h"
#include "stopsignals.h"
#include "sumletcontrol.h"
#include "terminalevents.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <unistd.h>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("tarvel-cli"));

    // Qt reads the words as UTF-8: any other byte would come back as another name.
    for (int i = 1; i < argc; ++i) {
        if (!QByteArrayView(argv[i]).isValidUtf8()) {
            printError(notUtf8Problem(argv[i]));
            return UsageError;
        }
    }
    Options options;
    if (const std::optional<int> status = parseCommandLine(QCoreApplication::arguments(), &options))
        return *status;
    const bool shell = options.commands.size() == 1 && options.commands.first().name == u"shell";
    QList<Command> commands = options.commands;
    if (!options.batchFile.isEmpty()) {
        int status = Success;
        const std::optional<QList<Command>> batch = readBatch(options.batchFile, &status);
        if (!batch)
            return status;
        commands = *batch;
    }

    QString componentError;
    const auto crc = SumletControl::create(&componentError);
    if (!crc) {
        printError(QStringLiteral("cannot load the checksum component: ") + componentError);
        return Refused;
    }

    ProgressMeter meter(::isatty(STDERR_FILENO));
    TerminalEvents events(::isatty(STDERR_FILENO), meter);
    events.setAnswer(options.yes ? TerminalEvents::Answer::Yes : TerminalEvents::Answer::Ask);
    // Standard input that carries the commands answers no questions.
    events.setQuestionsAllowed(options.batchFile != u"-" && !(shell && !::isatty(STDIN_FILENO)));
    PhoneSession session(*crc, events, events, events);
    options.link.applyTo(session);
    events.setVerifying(options.link.verify);
    QString traceError;
    if (!options.trace.isEmpty() && !session.traceTo(options.trace, &traceError)) {
        printError(QStringLiteral("cannot write the trace %1: %2").arg(options.trace, traceError));
        return Refused;
    }

    // A signal stops the exchange under way at its next wait for the phone; the
    // phone is then left as it was found before the signal ends the program.
    StopSignals::install();
    QSocketNotifier stopNotifier(StopSignals::wakeFd(), QSocketNotifier::Read);
    QObject::connect(&stopNotifier, &QSocketNotifier::activated, &stopNotifier,
                     [&stopNotifier] { stopNotifier.setEnabled(false); });
    session.setStopRequest([] { return StopSignals::received() != 0; });

    CommandRunner runner(session, events, meter, options);
    int status = Success;
    try {
        status = shell ? runShell(runner) : runCommands(runner, commands, options.keepGoing);
    } catch (const LinkInterrupted &) {
        status = LinkError;
    }
    session.setStopRequest({});
    // The answer is out: the phone is left while the user has the prompt back.
    session.closeInBackground();
    StopSignals::endIfReceived();
    return status;
}
