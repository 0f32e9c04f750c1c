#include "twips.h"

#include <QGuiApplication>
#include <QScreen>

Twips::Twips(const QWidget *onScreen)
{
    QScreen *screen = onScreen ? onScreen->screen() : QGuiApplication::primaryScreen();
    m_dpiX = screen ? screen->logicalDotsPerInchX() : 96.0;
    m_dpiY = screen ? screen->logicalDotsPerInchY() : 96.0;
}

Twips setUpDialog(QWidget *dialog, const char *objectName, const QString &title, int width, int height)
{
    dialog->setObjectName(QString::fromLatin1(objectName));
    dialog->setWindowTitle(title);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    const Twips twips(dialog);
    dialog->setFixedSize(twips.size(width, height));
    return twips;
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
