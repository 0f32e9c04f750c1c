#pragma once

// Ctrl-C, a hang-up or a kill (SIGINT, SIGHUP, SIGTERM) as an event the program sees.
// The handler does only what is safe inside it: it removes a download's temporary file
// (TemporaryFiles) at once, marks the stop and writes a byte to a pipe that wakes the event loop. The
// program then leaves the phone as it found it and ends by that signal. A second such
// signal ends the program at once (the temporary file still goes).
namespace StopSignals {

// Installs the handler; a signal ignored by the caller stays ignored.
void install();
// The signal that asked for the stop, or 0.
int received();
// The pipe's read end: readable once a stop is asked for.
int wakeFd();
// After the phone was left: the signal's default action, as if it had ended the program.
void endIfReceived();

} // namespace StopSignals
