#include "linksettings.h"

#include "phonesession.h"

#include <QCommandLineParser>
#include <QFileInfo>
#include <QStringList>

#include <algorithm>
#include <iterator>

namespace {

const QString PortOption = QStringLiteral("port");
const QString DeviceOption = QStringLiteral("device");
const QString SpeedOption = QStringLiteral("speed");
const QString LinkOption = QStringLiteral("link");
const QString RtsOption = QStringLiteral("rts");
const QString VerifyOption = QStringLiteral("verify");

// "19200, 38400, 57600, 115200 or 230400"
QString ratesInWords()
{
    QStringList rates;
    for (const int rate : LinkSettings::Rates)
        rates << QString::number(rate);
    const QString last = rates.takeLast();
    return rates.join(QStringLiteral(", ")) + QStringLiteral(" or ") + last;
}

} // namespace

void LinkSettings::addOptions(QCommandLineParser &parser)
{
    parser.addOptions({
        QCommandLineOption(PortOption, QString(), QStringLiteral("N")),
        QCommandLineOption(DeviceOption, QString(), QStringLiteral("PATH")),
        QCommandLineOption(SpeedOption, QString(), QStringLiteral("BAUD")),
        QCommandLineOption(LinkOption, QString(), QStringLiteral("MODE")),
        QCommandLineOption(RtsOption),
        QCommandLineOption(VerifyOption),
    });
}

std::optional<LinkSettings> LinkSettings::fromParser(const QCommandLineParser &parser, QString *problem)
{
    const auto refuse = [problem](const QString &text) -> std::optional<LinkSettings> {
        *problem = text;
        return std::nullopt;
    };
    LinkSettings settings;
    if (parser.isSet(PortOption) == parser.isSet(DeviceOption))
        return refuse(QStringLiteral("give either --port N or --device PATH"));
    if (parser.isSet(PortOption)) {
        bool ok = false;
        settings.port = parser.value(PortOption).toInt(&ok);
        if (!ok || settings.port < 1 || settings.port > 9)
            return refuse(QStringLiteral("--port takes a number from 1 to 9"));
    } else {
        const QString device = parser.value(DeviceOption);
        if (device.isEmpty())
            return refuse(QStringLiteral("--device needs a path"));
        // A link stays a link, followed at each opening.
        settings.device = QFileInfo(device).absoluteFilePath();
    }
    if (parser.isSet(LinkOption)) {
        const std::optional<LinkChoice> choice = linkChoiceNamed(parser.value(LinkOption));
        if (!choice)
            return refuse(QStringLiteral("--link takes auto, obex or bfb"));
        settings.choice = *choice;
    }
    if (parser.isSet(SpeedOption)) {
        bool ok = false;
        settings.speed = parser.value(SpeedOption).toInt(&ok);
        if (!ok || std::find(std::begin(Rates), std::end(Rates), settings.speed) == std::end(Rates))
            return refuse(QStringLiteral("--speed takes ") + ratesInWords());
        if (settings.speed == PlainOnlyRate && settings.choice == LinkChoice::BfbOnly)
            return refuse(
                QStringLiteral("--speed %1 works in plain OBEX only, not with --link bfb").arg(PlainOnlyRate));
    }
    settings.rts = parser.isSet(RtsOption);
    settings.verify = parser.isSet(VerifyOption);
    return settings;
}

QString parserProblem(const QCommandLineParser &parser)
{
    QString text = parser.errorText();
    if (text.endsWith(u'.'))
        text.chop(1);
    if (!text.isEmpty())
        text[0] = text[0].toLower();
    return text;
}

void LinkSettings::applyTo(PhoneSession &session) const
{
    if (device.isEmpty())
        session.setPortNumber(port);
    else
        session.setDevicePath(device);
    session.setRts(rts);
    session.setSpeed(speed);
    session.setLinkChoice(choice);
    session.setVerify(verify);
}
