#include "twips.h"

#include <QGuiApplication>
#include <QScreen>

Twips::Twips(const QWidget *onScreen)
{
    QScreen *screen = onScreen ? onScreen->screen() : QGuiApplication::primaryScreen();
    m_dpiX = screen ? screen->logicalDotsPerInchX() : 96.0;
    m_dpiY = screen ? screen->logicalDotsPerInchY() : 96.0;
}

void placeTwips(QWidget *widget, const Twips &twips, int left, int top, int width, int height)
{
    widget->setGeometry(twips.rect(left, top, width, height));
}

void centreOnScreen(QWidget *window)
{
    QScreen *screen = window->screen() ? window->screen() : QGuiApplication::primaryScreen();
    if (!screen)
        return;
    QRect frame = window->frameGeometry();
    frame.moveCenter(screen->availableGeometry().center());
    window->move(frame.topLeft());
}
