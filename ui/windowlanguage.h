#pragma once

#include <QString>
#include <QStringList>

// The window's texts are written in Russian; an English translation is built into
// the program. Russian users see the texts as written, everyone else English.
namespace WindowLanguage {

enum class Language {
    Russian,
    English
};

// Forces either language whatever the locale: "ru" or "en" (a locale name such as
// en_GB.UTF-8 works too).
constexpr char ForcingVariable[] = "TARVEL_LANG";

// A forcing value that names Russian or English wins. Otherwise the first of the
// user's interface languages (in order of preference) that is Russian or English;
// English when none is.
Language choose(const QString &forced, const QStringList &uiLanguages);

// Chooses from the forcing variable and the locale, and installs the translations
// of that language into the application (which must exist): the program's English
// one, and Qt's own for its standard buttons where the system has them. Call once,
// before any window is made. A forcing value that names neither language is
// reported and ignored.
Language install();

} // namespace WindowLanguage
