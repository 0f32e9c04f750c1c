#pragma once

#include "localfilewriter.h"

#include <QString>

#include <optional>

// The English of what goes wrong with files on the PC.

// "No space left on device"
QString writeReason(const LocalFileError &error);
// "cannot write PATH: No space left on device"
QString writeProblem(const QString &path, const LocalFileError &error);

// Why a PC path is no file to upload ("... is a FIFO (named pipe)", "... is a folder"),
// or nothing for a regular file (links followed).
std::optional<QString> uploadSourceProblem(const QString &path);

// The system's reason for the last failed call (errno), in English.
QString systemError(int error);
