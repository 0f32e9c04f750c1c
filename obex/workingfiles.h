#pragma once

#include <QString>

namespace WorkingFiles {

constexpr char StagingFileName[] = "temp.tmp";
// The file that marks a build's bin folder (written there by CMake, never installed).
constexpr char BuildTreeMarkerName[] = TARVEL_BUILD_TREE_MARKER;

// Where "temp.tmp" (and the window's "TempDir") live: the program's own folder in a build tree
// (the folder holds the marker) when it can be written, otherwise the per-user data
// folder "<data>/tarvel" (created on demand). An installed program never writes
// beside itself.
QString directory();
// The same choice for a given program folder.
QString directoryFor(const QString &programDirectory);

QString stagingFilePath(); // temp.tmp

} // namespace WorkingFiles
