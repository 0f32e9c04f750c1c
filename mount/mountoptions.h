#pragma once

#include "linksettings.h"

#include <QString>
#include <QStringList>

#include <variant>

struct MountOptions
{
    LinkSettings link;
    QStringList fuseOptions; // each as given to -o, comma-separated
    bool foreground = false;
    QString mountPoint;
};

struct ShowHelp
{};

struct UsageError
{
    QString problem;
};

using CommandLine = std::variant<MountOptions, ShowHelp, UsageError>;

// arguments as in QCoreApplication::arguments(), the program path first.
CommandLine parseCommandLine(const QStringList &arguments);

extern const char MountHelpText[];
