#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

// Files the windows write on the PC: downloads from the phone into a chosen folder
// or into "TempDir". A download never leaves a half-written file behind.
namespace LocalFiles {

// Writes bytes as the file at path: first into a new file beside it, which is
// synced, checked (size and every byte read back) and only then renamed over path,
// so that path holds either its old content or the whole new content. A symbolic
// link at path is followed. Returns the reason, in the window's language, when it fails; then
// nothing at path has changed.
std::optional<QString> writeWhole(const QString &path, const QByteArray &bytes);

// Creates a folder (and its parents) unless it exists; the reason when it cannot.
std::optional<QString> makeFolder(const QString &path);

// A short reason for a file-system error number, in the window's language.
QString reasonFor(int errorNumber);

} // namespace LocalFiles
