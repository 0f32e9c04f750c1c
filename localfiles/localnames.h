#pragma once

#include <QString>

#include <optional>

// The PC file name for a phone name (as text), or nothing when it cannot be one
// component of a PC path: empty, "." or "..", or with a "/", "\" or NUL in it.
std::optional<QString> safeLocalName(const QString &name);

// The path of a file named localName inside folder. Joined by hand: QDir::filePath
// takes a name that starts with ':' for a Qt resource and drops the folder.
QString localFilePath(const QString &folder, const QString &localName);
