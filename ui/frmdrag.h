#pragma once

#include <QString>
#include <QTimer>
#include <QWidget>

class QLabel;
class QMimeData;

// The copy window of a drag-out: its picture offers the file downloaded into
// "TempDir" to the desktop, for moving only. It closes 100 ms after the drag ends.
class frmDrag : public QWidget
{
    Q_OBJECT

public:
    // The drag offers one file and lets the drop target move it, nothing else.
    static constexpr Qt::DropActions DragActions = Qt::MoveAction;

    explicit frmDrag(const QString &filePath);

    // What the picture's drag carries: the file as a one-entry URL list.
    static QMimeData *dragData(const QString &filePath);

    QString filePath() const { return m_filePath; }

    QLabel *Label1;
    QLabel *Image1;
    QTimer Timer1;
    bool ImageButtonDown = false;
    bool DragStarted = false;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void startDrag();
    void Timer1_Timer();

    QString m_filePath;
};
