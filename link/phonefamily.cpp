#include "phonefamily.h"

#include <QList>
#include <QStringList>

#include <array>

namespace {

constexpr PhoneFamily X55{"x55/x60", false, 230400, true, false};
constexpr PhoneFamily X65{"x65", true, 115200, false, false};
constexpr PhoneFamily X75{"x75", true, 115200, false, true};

struct FamilyModels
{
    const PhoneFamily &family;
    std::array<const char *, 7> models;
};

const FamilyModels Known[] = {
    {X65, {"S65", "C65", "M65", "SL65", "CX65", "S66", "SK65"}},
    {X75, {"S75", "C75", "ME75", "SL75", "EL71", "M75", "CX75"}},
};

} // namespace

const PhoneFamily &phoneFamilyOf(const QString &model)
{
    const QString name = model.trimmed().toUpper();
    for (const FamilyModels &known : Known)
        for (const char *member : known.models)
            if (name == QLatin1String(member))
                return known.family;
    return X55;
}

const PhoneFamily &phoneFamilyOfPacket(std::optional<int> maxPacket)
{
    if (maxPacket == 1030)
        return X65;
    if (maxPacket >= 8192)
        return X75;
    return X55;
}

QString modelNameIn(const QByteArray &answer)
{
    const QList<QByteArray> lines = answer.split('\n');
    for (QByteArray line : lines) {
        line = line.trimmed();
        if (line.isEmpty() || line == "OK" || line.toUpper().startsWith("AT"))
            continue;
        return QString::fromLatin1(line);
    }
    return {};
}
