#pragma once

#include "pictures.h"

#include <QByteArray>
#include <QWidget>

class QAbstractItemView;
class QListView;
class QStackedLayout;
class QStandardItemModel;
class QTreeView;

// The phone list (`FileList`): one set of rows shown either as a report with the
// four columns "Имя файла", "Длина", "Дата", "Время" and small icons, or as large
// icons. Each row carries its text, its EntryKind (the index of its picture in both
// image lists), the name bytes as the phone sent them, and the three sub-items.
class PhoneFileList : public QWidget
{
    Q_OBJECT

public:
    enum class View {
        Report,
        LargeIcons
    };
    enum Column {
        NameColumn,
        SizeColumn,
        DateColumn,
        TimeColumn,
        ColumnCount
    };

    // largeIcons is ImageList1 (32 px), smallIcons ImageList2 (16 px).
    PhoneFileList(const ImageList &largeIcons, const ImageList &smallIcons, QWidget *parent = nullptr);

    void setView(View view);
    View view() const;

    void clear();
    void addRow(const QString &text, int kind, const QByteArray &nameBytes = {}, const QString &size = {},
                const QString &date = {}, const QString &time = {});
    int rowCount() const;
    QString rowText(int row) const;
    int rowKind(int row) const;
    QByteArray rowNameBytes(int row) const;
    QString subItem(int row, Column column) const;

    // -1 when no row is selected.
    int selectedRow() const;
    void selectRow(int row);
    // Starts the in-place editing of a row's text.
    void editRow(int row);

    QTreeView *reportView() const { return m_report; }
    QListView *iconView() const { return m_icons; }
    QAbstractItemView *currentView() const;
    QStandardItemModel *model() const { return m_model; }

    // Whether a drop of PC files is taken (only while the phone is connected).
    void setAcceptFileDrops(bool accept) { m_acceptFileDrops = accept; }
    bool acceptsFileDrops() const { return m_acceptFileDrops; }

signals:
    void rowDoubleClicked(int row);
    void rightButtonReleased(const QPoint &globalPos);
    void leftButtonPressed();
    void leftButtonReleased();
    // The pointer moved over the list; pos is relative to the list. A move with the
    // left button held does not change the selection (it may start a drag-out).
    void mouseMoved(Qt::MouseButtons buttons, const QPoint &pos);
    // PC files were dropped onto the list (a list of local paths, at least one).
    void filesDropped(const QStringList &paths);
    // The in-place edit of a row ended with a new text; the row keeps its old text.
    void renameAttempted(int row, const QString &newText);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void setUpView(QAbstractItemView *view);
    // The local paths a drag carries, or nothing when it is not a list of PC files.
    static QStringList localPaths(const class QMimeData *data);

    const ImageList &m_largeIcons;
    const ImageList &m_smallIcons;
    QStandardItemModel *m_model;
    QTreeView *m_report;
    QListView *m_icons;
    QStackedLayout *m_stack;
    bool m_acceptFileDrops = false;
};
