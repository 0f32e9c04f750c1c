#pragma once

#include <QRect>
#include <QWidget>

#include <utility>

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

// Names a dialog or tool window, captions it and fixes its size in twips; it frees
// itself when it closes. The Twips returned lays out its controls.
Twips setUpDialog(QWidget *dialog, const char *objectName, const QString &title, int width, int height);

// Creates a control named objectName on parent; args are what the control's
// constructor takes before the parent (a caption, say).
template<class Control, class... Args>
Control *namedControl(QWidget *parent, const char *objectName, Args &&...args)
{
    auto *control = new Control(std::forward<Args>(args)..., parent);
    control->setObjectName(QString::fromLatin1(objectName));
    return control;
}

// The same, placed at geometry (in pixels: Twips::rect).
template<class Control, class... Args>
Control *placedControl(QWidget *parent, const char *objectName, const QRect &geometry, Args &&...args)
{
    Control *control = namedControl<Control>(parent, objectName, std::forward<Args>(args)...);
    control->setGeometry(geometry);
    return control;
}

// Moves a top-level window to the middle of its screen.
void centreOnScreen(QWidget *window);
