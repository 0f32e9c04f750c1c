#pragma once

#include "pictures.h"

#include <QDialog>
#include <QPointer>

class QGroupBox;
class QProgressBar;
class QPushButton;
class QTreeWidget;

// The progress window: the running log of a phone operation, status rows with
// small icons (newest at the bottom, selected) and a bar. Its "Закрыть" button is
// shown only after a failed handshake; it gives the main window back.
class frmProgress : public QDialog
{
    Q_OBJECT

public:
    // mainWindow is enabled again by "Закрыть".
    explicit frmProgress(QWidget *mainWindow);

    // Selects the new row.
    void addRow(const QString &text, StatusIcon icon);
    void setMaximum(int maximum);
    // Values beyond the maximum show a full bar.
    void setValue(int value);
    int value() const { return m_value; }
    int maximum() const;
    void showCloseButton();
    // Paints now: the phone operations pause the thread right after adding a row.
    void repaintNow();

    QGroupBox *Frame1;
    QGroupBox *Frame2;
    QTreeWidget *List;
    QProgressBar *Pr;
    QPushButton *Command1;
    ImageList ImageList1;

private:
    QPointer<QWidget> m_mainWindow;
    int m_value = 1;
};
