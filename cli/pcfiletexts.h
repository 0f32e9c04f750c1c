#pragma once

#include "localfilewriter.h"

#include <QByteArray>
#include <QList>
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

// The names in a PC folder that are not valid UTF-8, the character set names on the PC
// are read in: such a file cannot be named to the system again.
QList<QByteArray> namesNotUtf8(const QString &folder);
// "NAME: not valid UTF-8 ...", the name shown as UTF-8 where it is and \xHH elsewhere.
QString notUtf8Problem(const QByteArray &name);
