#pragma once

#include <QFont>
#include <QFontMetricsF>
#include <QRect>

namespace sumlet {

// The dialogs are laid out in dialog units: a quarter of the font's average
// character width horizontally, an eighth of its height vertically.
class DialogUnits
{
public:
    explicit DialogUnits(const QFont &font)
    {
        const QFontMetricsF metrics(font);
        const QString alphabet = QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz");
        baseX = (metrics.horizontalAdvance(alphabet) / 26.0 + 1.0) / 2.0;
        baseY = metrics.height();
    }

    int x(int units) const { return qRound(units * baseX / 4.0); }
    int y(int units) const { return qRound(units * baseY / 8.0); }
    QSize size(int width, int height) const { return QSize(x(width), y(height)); }
    QRect rect(int left, int top, int width, int height) const { return QRect(x(left), y(top), x(width), y(height)); }

private:
    qreal baseX = 6;
    qreal baseY = 13;
};

// "MS Sans Serif" 8 point, or the nearest sans-serif face the system has.
inline QFont dialogFont()
{
    QFont font;
    font.setFamilies(
        {QStringLiteral("MS Sans Serif"), QStringLiteral("Microsoft Sans Serif"), QStringLiteral("Sans Serif")});
    font.setPointSize(8);
    return font;
}

} // namespace sumlet
