#pragma once

#include "commandline.h"

#include <QList>
#include <QString>

class CommandRunner;

// The commands of the command line, in order: the first failure ends them unless
// keepGoing. The exit status of the first command that failed; a link failure
// always ends the run.
int runCommands(CommandRunner &runner, const QList<Command> &commands, bool keepGoing);

// The commands of a batch file ("-": standard input), one a line; empty lines and
// lines starting with "#" are skipped. Every line is read and checked before the
// first runs: a line that is no command is a usage error and nothing runs.
std::optional<QList<Command>> readBatch(const QString &file, int *status);

// The prompt: connects, then reads lines with line editing and history (libedit)
// when standard input is a terminal, plain lines otherwise, until "exit" or the end
// of the input. Every line runs; the exit status is that of the first that failed.
int runShell(CommandRunner &runner);
