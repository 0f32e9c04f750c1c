#include "frmprogress.h"

#include "twips.h"

#include <QCoreApplication>
#include <QGroupBox>
#include <QHeaderView>
#include <QProgressBar>
#include <QPushButton>
#include <QTreeWidget>

frmProgress::frmProgress(QWidget *mainWindow) : ImageList1(16, Pictures::statusPaths()), m_mainWindow(mainWindow)
{
    const Twips twips = setUpDialog(this, "frmProgress", tr("PROGRESS"), 7200, 4650);

    Frame2 = placedControl<QGroupBox>(this, "Frame2", twips.rect(120, 0, 6975, 3495));

    List = placedControl<QTreeWidget>(this, "List", twips.rect(240, 240, 6735, 3135));
    List->setColumnCount(1);
    List->setHeaderHidden(true);
    List->setRootIsDecorated(false);
    List->setIconSize(QSize(ImageList1.imageSize(), ImageList1.imageSize()));
    List->setSelectionMode(QAbstractItemView::SingleSelection);
    List->setEditTriggers(QAbstractItemView::NoEditTriggers);

    Frame1 = placedControl<QGroupBox>(this, "Frame1", twips.rect(120, 3360, 6975, 735));

    Pr = placedControl<QProgressBar>(this, "Pr", twips.rect(240, 3600, 6735, 375));
    Pr->setTextVisible(false);
    Pr->setRange(0, 100);

    Command1 = placedControl<QPushButton>(this, "Command1", twips.rect(2880, 4200, 1335, 375), tr("Закрыть"));
    connect(Command1, &QPushButton::clicked, this, [this] {
        if (m_mainWindow)
            m_mainWindow->setEnabled(true);
        close();
    });

    // The list lies over the frames: raise it and the bar above them.
    List->raise();
    Pr->raise();

    // A freshly loaded window: empty list, bar at 1, no button.
    setValue(1);
    Command1->hide();
    centreOnScreen(this);
}

void frmProgress::addRow(const QString &text, StatusIcon icon)
{
    auto *row = new QTreeWidgetItem(List, QStringList{text});
    row->setData(0, Qt::UserRole, int(icon));
    const QPixmap picture = ImageList1.picture(int(icon));
    if (!picture.isNull())
        row->setIcon(0, QIcon(picture));
    List->setCurrentItem(row);
    List->scrollToItem(row);
}

void frmProgress::setMaximum(int maximum)
{
    Pr->setMaximum(maximum);
    setValue(m_value);
}

int frmProgress::maximum() const
{
    return Pr->maximum();
}

void frmProgress::setValue(int value)
{
    m_value = value;
    Pr->setValue(qBound(Pr->minimum(), value, Pr->maximum()));
}

void frmProgress::showCloseButton()
{
    Command1->show();
}

void frmProgress::repaintNow()
{
    repaint();
    // Let the window system map and expose the window; user input stays queued.
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
}
