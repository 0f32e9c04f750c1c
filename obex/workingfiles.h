#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

namespace WorkingFiles {

constexpr char StagingFileName[] = "temp.tmp";
constexpr char DragOutDirectoryName[] = "TempDir";
// The file that marks a build's bin folder (written there by CMake, never installed).
constexpr char BuildTreeMarkerName[] = TARVEL_BUILD_TREE_MARKER;

// Where "temp.tmp" and "TempDir" live: the program's own folder in a build tree
// (the folder holds the marker) when it can be written, otherwise the per-user data
// folder "<data>/tarvel" (created on demand). An installed program never writes
// beside itself.
QString directory();
// The same choice for a given program folder.
QString directoryFor(const QString &programDirectory);

QString stagingFilePath(); // temp.tmp
QString dragOutDirectoryPath(); // TempDir

} // namespace WorkingFiles

// A phone name usable as one component of a PC path: not empty, not "." or "..",
// no "/", "\" or NUL byte.
bool isPlainFileName(const QByteArray &phoneName);

// The PC file name for a phone name, or nothing when it is not a plain file name.
std::optional<QString> safeLocalName(const QByteArray &phoneName);

// The path of a file named localName inside folder. Joined by hand: QDir::filePath
// takes a name that starts with ':' for a Qt resource and drops the folder.
QString localFilePath(const QString &folder, const QString &localName);
