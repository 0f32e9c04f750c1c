#pragma once

#include "linksettings.h"
#include "readcache.h"

#include <QString>
#include <QStringList>

#include <variant>

struct MountOptions
{
    LinkSettings link;
    QStringList fuseOptions; // each as given to -o, comma-separated, the mount's own taken out
    ReadCache::Settings cache; // -o cache_size=MB, -o cache_dir=DIR
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
