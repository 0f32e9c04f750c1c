#include "localnames.h"

#include "cp1251.h"

bool isPlainFileName(const QByteArray &phoneName)
{
    return !phoneName.isEmpty() && phoneName != "." && phoneName != ".." && !phoneName.contains('/')
        && !phoneName.contains('\\') && !phoneName.contains('\0');
}

std::optional<QString> safeLocalName(const QByteArray &phoneName)
{
    if (!isPlainFileName(phoneName))
        return std::nullopt;
    return Cp1251::decode(phoneName);
}

QString localFilePath(const QString &folder, const QString &localName)
{
    if (folder.isEmpty())
        return QStringLiteral("./") + localName;
    return folder.endsWith(u'/') ? folder + localName : folder + u'/' + localName;
}
