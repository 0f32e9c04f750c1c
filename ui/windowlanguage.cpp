#include "windowlanguage.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>

#include <optional>

namespace WindowLanguage {

namespace {

std::optional<Language> languageOf(const QString &name)
{
    if (name.isEmpty())
        return std::nullopt;
    switch (QLocale(name).language()) {
    case QLocale::Russian:
        return Language::Russian;
    case QLocale::English:
        return Language::English;
    default:
        return std::nullopt;
    }
}

bool installTranslation(const QString &fileName, const QString &folder)
{
    auto *translator = new QTranslator(QCoreApplication::instance());
    if (translator->load(fileName, folder) && QCoreApplication::installTranslator(translator))
        return true;
    delete translator;
    return false;
}

} // namespace

Language choose(const QString &forced, const QStringList &uiLanguages)
{
    if (const std::optional<Language> language = languageOf(forced))
        return *language;
    for (const QString &name : uiLanguages) {
        if (const std::optional<Language> language = languageOf(name))
            return *language;
    }
    return Language::English;
}

Language install()
{
    const QString forced = qEnvironmentVariable(ForcingVariable).trimmed();
    if (!forced.isEmpty() && !languageOf(forced))
        qWarning("%s=%s names neither ru nor en; the locale decides the language", ForcingVariable, qPrintable(forced));
    const Language language = choose(forced, QLocale::system().uiLanguages());
    if (language == Language::English) {
        // Built into the program; Qt's own button texts are English already.
        if (!installTranslation(QStringLiteral("tarvel_en"), QStringLiteral(":/i18n")))
            qWarning("the built-in English translation cannot be loaded");
    } else {
        // Optional: Debian's qt6-translations-l10n has it.
        installTranslation(QStringLiteral("qtbase_ru"), QLibraryInfo::path(QLibraryInfo::TranslationsPath));
    }
    return language;
}

} // namespace WindowLanguage
