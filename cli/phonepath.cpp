#include "phonepath.h"

#include "linktexts.h"

#include <algorithm>
#include <iterator>
#include <utility>

std::optional<PhonePath> resolvePhonePath(const PhonePath &current, const QString &text, QString *error)
{
    PhonePath path = text.startsWith(u'/') ? PhonePath() : current;
    for (const QString &part : text.split(u'/', Qt::SkipEmptyParts)) {
        if (part == u".")
            continue;
        if (part == u"..") {
            if (path.isEmpty()) {
                *error = QStringLiteral("\"..\" above the phone's root folder is not allowed: %1").arg(text);
                return std::nullopt;
            }
            path.removeLast();
            continue;
        }
        if (part.contains(u'\\')) {
            *error = QStringLiteral("use \"/\" between phone folders: %1").arg(text);
            return std::nullopt;
        }
        QByteArray name;
        if (!PhoneSession::encodeName(part, &name).ok()) {
            *error = part + QStringLiteral(": ") + refusalText(Refusal::NameNotEncodable);
            return std::nullopt;
        }
        path.append(name);
    }
    return path;
}

QString displayPath(const PhonePath &path)
{
    QString text;
    for (const QByteArray &name : path)
        text += u'/' + PhoneSession::text(name);
    return text.isEmpty() ? QStringLiteral("/") : text;
}

QString escapedName(const QByteArray &name)
{
    static constexpr std::pair<char, const char *> Escapes[] = {
        {'\\', "\\\\"}, {'\t', "\\t"}, {'\n', "\\n"}, {'\r', "\\r"}};
    QString text;
    for (const char c : name) {
        const auto byte = quint8(c);
        const auto escape = std::find_if(std::begin(Escapes), std::end(Escapes),
                                         [c](const std::pair<char, const char *> &known) { return known.first == c; });
        if (escape != std::end(Escapes))
            text += QLatin1StringView(escape->second);
        // 0x98 is the one Windows-1251 byte without a character.
        else if (byte < 0x20 || byte == 0x7F || byte == 0x98)
            text += QStringLiteral("\\x") + QString::number(byte, 16).toUpper().rightJustified(2, u'0');
        else
            text += PhoneSession::text(QByteArray(1, c));
    }
    return text;
}
