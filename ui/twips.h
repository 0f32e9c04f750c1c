#pragma once

#include <QRect>
#include <QWidget>

// Window geometry is laid out in twips (1440 to the inch) and turned into pixels at
// the screen's logical resolution, so the windows keep their proportions on any screen.
class Twips
{
public:
    static constexpr int PerInch = 1440;

    // The resolution of the screen the widget is on (the primary screen before it is shown).
    explicit Twips(const QWidget *onScreen = nullptr);
    Twips(qreal dpiX, qreal dpiY) : m_dpiX(dpiX), m_dpiY(dpiY) {}

    int x(int twips) const { return toPixels(twips, m_dpiX); }
    int y(int twips) const { return toPixels(twips, m_dpiY); }
    QRect rect(int left, int top, int width, int height) const { return QRect(x(left), y(top), x(width), y(height)); }
    QSize size(int width, int height) const { return QSize(x(width), y(height)); }

    // Pixels back to twips (mouse positions, window sizes).
    int toTwipsX(int pixels) const { return toTwips(pixels, m_dpiX); }
    int toTwipsY(int pixels) const { return toTwips(pixels, m_dpiY); }

    static int toPixels(int twips, qreal dpi) { return qRound(twips * dpi / PerInch); }
    static int toTwips(int pixels, qreal dpi) { return qRound(pixels * PerInch / dpi); }

private:
    qreal m_dpiX;
    qreal m_dpiY;
};

// Places a child widget at a rectangle given in twips.
void placeTwips(QWidget *widget, const Twips &twips, int left, int top, int width, int height);
// Moves a top-level window to the middle of its screen.
void centreOnScreen(QWidget *window);
