#include "localnames.h"

std::optional<QString> safeLocalName(const QString &name)
{
    if (name.isEmpty() || name == u"." || name == u".." || name.contains(u'/') || name.contains(u'\\')
        || name.contains(QChar(0)))
        return std::nullopt;
    return name;
}

QString localFilePath(const QString &folder, const QString &localName)
{
    if (folder.isEmpty())
        return QStringLiteral("./") + localName;
    return folder.endsWith(u'/') ? folder + localName : folder + u'/' + localName;
}
