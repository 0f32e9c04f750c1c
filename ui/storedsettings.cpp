#include "storedsettings.h"

#include <QSettings>

namespace {
QSettings openStore()
{
    return QSettings(QSettings::NativeFormat, QSettings::UserScope, QString::fromLatin1(StoredSettings::Application),
                     QString::fromLatin1(StoredSettings::Application));
}

QString value(const char *key, const char *fallback)
{
    QSettings settings = openStore();
    settings.beginGroup(QString::fromLatin1(StoredSettings::Section));
    return settings.value(QString::fromLatin1(key), QString::fromLatin1(fallback)).toString();
}

void save(const char *key, const QString &text)
{
    QSettings settings = openStore();
    settings.beginGroup(QString::fromLatin1(StoredSettings::Section));
    settings.setValue(QString::fromLatin1(key), text);
    settings.sync();
}
} // namespace

QString StoredSettings::comport()
{
    return value(ComportKey, ComportDefault);
}

QString StoredSettings::rts()
{
    return value(RtsKey, RtsDefault);
}

void StoredSettings::saveComport(const QString &text)
{
    save(ComportKey, text);
}

void StoredSettings::saveRts(const QString &text)
{
    save(RtsKey, text);
}

QString StoredSettings::fileName()
{
    QSettings settings = openStore();
    return settings.fileName();
}

int StoredSettings::portNumberFrom(const QString &comport)
{
    if (comport.size() < 5)
        return 1;
    const QChar fifth = comport.at(4);
    if (fifth < QLatin1Char('1') || fifth > QLatin1Char('9'))
        return 1;
    return fifth.digitValue();
}

bool StoredSettings::rtsFrom(const QString &rts)
{
    if (rts.size() < 2)
        return false;
    const QChar second = rts.at(1);
    return second >= QLatin1Char('1') && second <= QLatin1Char('9');
}

QString StoredSettings::rtsText(bool raised)
{
    return QString::fromLatin1(raised ? " 1" : " 0");
}

QString StoredSettings::portText(int number)
{
    return QStringLiteral("Com %1").arg(number);
}
