#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

// A phone name usable as one component of a PC path: not empty, not "." or "..",
// no "/", "\" or NUL byte.
bool isPlainFileName(const QByteArray &phoneName);

// The PC file name for a phone name, or nothing when it is not a plain file name.
std::optional<QString> safeLocalName(const QByteArray &phoneName);

// The path of a file named localName inside folder. Joined by hand: QDir::filePath
// takes a name that starts with ':' for a Qt resource and drops the folder.
QString localFilePath(const QString &folder, const QString &localName);
