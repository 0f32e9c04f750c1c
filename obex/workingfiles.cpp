#include "workingfiles.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>
#include <QTemporaryFile>

namespace WorkingFiles {

namespace {

// Permission bits say little for root or on read-only mounts: try a real file.
bool canCreateFilesIn(const QString &directory)
{
    if (directory.isEmpty() || !QFileInfo(directory).isDir())
        return false;
    QTemporaryFile probe(directory + QStringLiteral("/.tarvel-write-test-XXXXXX"));
    return probe.open();
}

} // namespace

QString directoryFor(const QString &programDirectory)
{
    if (QFileInfo::exists(programDirectory + u'/' + QLatin1String(BuildTreeMarkerName))
        && canCreateFilesIn(programDirectory))
        return programDirectory;
    const QString userDirectory =
        QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + QStringLiteral("/tarvel");
    QDir().mkpath(userDirectory);
    return userDirectory;
}

QString directory()
{
    return directoryFor(QCoreApplication::applicationDirPath());
}

QString stagingFilePath()
{
    return directory() + u'/' + QLatin1String(StagingFileName);
}

} // namespace WorkingFiles
