#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

// Names travel to and from the phone as single-byte Windows-1251 codes.
namespace Cp1251 {

// For display. A byte without a character (0x98) shows as U+FFFD.
QString decode(const QByteArray &bytes);

// For the wire. Empty when a character has no Windows-1251 code.
std::optional<QByteArray> encode(const QString &text);

// Whether the phone takes two names for one: it compares them without regard to
// case, Cyrillic letters included.
bool sameName(const QByteArray &a, const QByteArray &b);

} // namespace Cp1251
