#include "frmdrag.h"

#include "pictures.h"
#include "twips.h"

#include <QCoreApplication>
#include <QDrag>
#include <QLabel>
#include <QMimeData>
#include <QMouseEvent>
#include <QPointer>
#include <QUrl>

frmDrag::frmDrag(const QString &filePath) : QWidget(nullptr, Qt::Tool), m_filePath(filePath)
{
    const Twips twips = setUpDialog(this, "frmDrag", tr("Копирование..."), 1890, 2130);

    Label1 = placedControl<QLabel>(this, "Label1", twips.rect(120, 120, 1695, 615),
                                   tr("Перетащите папку в нужную директорию..."));
    Label1->setWordWrap(true);
    Label1->setAlignment(Qt::AlignLeft | Qt::AlignTop);

    Image1 = placedControl<QLabel>(this, "Image1", twips.rect(240, 720, 1320, 1320));
    Image1->setPixmap(Pictures::render(Pictures::dragFilePath(), 48));
    Image1->setAlignment(Qt::AlignCenter);
    Image1->setCursor(Qt::OpenHandCursor);
    Image1->setToolTip(filePath);
    Image1->installEventFilter(this);

    Timer1.setInterval(100);
    Timer1.setSingleShot(false);
    connect(&Timer1, &QTimer::timeout, this, &frmDrag::Timer1_Timer);
}

QMimeData *frmDrag::dragData(const QString &filePath)
{
    auto *data = new QMimeData;
    data->setUrls({QUrl::fromLocalFile(filePath)});
    return data;
}

bool frmDrag::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == Image1) {
        if (event->type() == QEvent::MouseButtonPress) {
            ImageButtonDown = true;
        } else if (event->type() == QEvent::MouseMove) {
            const auto *mouse = static_cast<QMouseEvent *>(event);
            if ((mouse->buttons() & Qt::LeftButton) && ImageButtonDown && !DragStarted)
                startDrag();
        }
    }
    return QWidget::eventFilter(watched, event);
}

void frmDrag::startDrag()
{
    DragStarted = true;
    // Qt deletes the drag itself once the drop target is done with it, which on X11 can
    // be well after exec() returns: a target may ask for the data only at the drop, or
    // later still. Its parent outlives this window, which closes 100 ms after the drop
    // and must not take the drag's data with it.
    auto *drag = new QDrag(QCoreApplication::instance());
    drag->setMimeData(dragData(m_filePath));
    drag->setPixmap(Image1->pixmap());
    drag->setHotSpot(QPoint(Image1->pixmap().width() / 2, Image1->pixmap().height() / 2));
    const QPointer<frmDrag> window(this);
    // Returns at the drop or when the user gives up.
    drag->exec(DragActions, Qt::MoveAction);
    if (window)
        Timer1.start();
}

void frmDrag::Timer1_Timer()
{
    Timer1.stop();
    DragStarted = false;
    ImageButtonDown = false;
    close();
}
