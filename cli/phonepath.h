#pragma once

#include "phonesession.h"

#include <QString>

#include <optional>

// text resolved against the current folder: "/" between names, a leading "/" starts
// at the root, "." and ".." as usual. Nothing, with *error set, for a name without
// Windows-1251 characters, a backslash, or ".." above the root.
std::optional<PhonePath> resolvePhonePath(const PhonePath &current, const QString &text, QString *error);

// "/" and the names joined by "/": "/Bitmap/a.bmp"; "/" for the root.
QString displayPath(const PhonePath &path);

// A phone name for a terminal line: backslash escapes for a backslash (\\), tab (\t),
// line feed (\n), carriage return (\r) and any other control character or byte
// without a character (\xHH).
QString escapedName(const QByteArray &name);
