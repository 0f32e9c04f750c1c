#include "phonefilelist.h"

#include <QDropEvent>
#include <QHeaderView>
#include <QListView>
#include <QMetaProperty>
#include <QMimeData>
#include <QMouseEvent>
#include <QStackedLayout>
#include <QStandardItemModel>
#include <QStyledItemDelegate>
#include <QTreeView>

namespace {

constexpr int KindRole = Qt::UserRole + 1;
constexpr int NameBytesRole = Qt::UserRole + 2;

// Lets the user edit a row's text in place but never writes the edit back: renaming
// on the phone is not offered, and the owner is told so it can say so.
class RenameRefusingDelegate : public QStyledItemDelegate
{
public:
    RenameRefusingDelegate(PhoneFileList *list) : QStyledItemDelegate(list), m_list(list) {}

    void setModelData(QWidget *editor, QAbstractItemModel *, const QModelIndex &index) const override
    {
        const QByteArray property = editor->metaObject()->userProperty().name();
        const QString text = editor->property(property.constData()).toString();
        emit m_list->renameAttempted(index.row(), text);
    }

private:
    PhoneFileList *m_list;
};

} // namespace

PhoneFileList::PhoneFileList(const ImageList &largeIcons, const ImageList &smallIcons, QWidget *parent)
    : QWidget(parent)
    , m_largeIcons(largeIcons)
    , m_smallIcons(smallIcons)
    , m_model(new QStandardItemModel(0, ColumnCount, this))
    , m_report(new QTreeView(this))
    , m_icons(new QListView(this))
    , m_stack(new QStackedLayout(this))
{
    m_model->setHorizontalHeaderLabels({tr("Имя файла"), tr("Длина"), tr("Дата"), tr("Время")});

    m_report->setObjectName(QStringLiteral("FileListReport"));
    m_report->setRootIsDecorated(false);
    m_report->setItemsExpandable(false);
    m_report->setUniformRowHeights(true);
    m_report->setAllColumnsShowFocus(true);
    m_report->setIconSize(QSize(smallIcons.imageSize(), smallIcons.imageSize()));

    m_icons->setObjectName(QStringLiteral("FileListIcons"));
    m_icons->setViewMode(QListView::IconMode);
    m_icons->setMovement(QListView::Static);
    m_icons->setResizeMode(QListView::Adjust);
    m_icons->setWordWrap(true);
    m_icons->setIconSize(QSize(largeIcons.imageSize(), largeIcons.imageSize()));
    m_icons->setGridSize(QSize(largeIcons.imageSize() * 3, largeIcons.imageSize() * 2 + 8));

    for (QAbstractItemView *view :
         {static_cast<QAbstractItemView *>(m_report), static_cast<QAbstractItemView *>(m_icons)})
        setUpView(view);
    m_icons->setSelectionModel(m_report->selectionModel());

    m_stack->setContentsMargins(0, 0, 0, 0);
    m_stack->addWidget(m_report);
    m_stack->addWidget(m_icons);
    m_stack->setCurrentWidget(m_report);
}

void PhoneFileList::setUpView(QAbstractItemView *view)
{
    view->setModel(m_model);
    view->setItemDelegate(new RenameRefusingDelegate(this));
    view->setSelectionMode(QAbstractItemView::SingleSelection);
    view->setSelectionBehavior(QAbstractItemView::SelectRows);
    view->setEditTriggers(QAbstractItemView::SelectedClicked | QAbstractItemView::EditKeyPressed);
    view->setContextMenuPolicy(Qt::NoContextMenu);
    view->viewport()->installEventFilter(this);
    view->viewport()->setAcceptDrops(true);
    connect(view, &QAbstractItemView::doubleClicked, this, [this](const QModelIndex &index) {
        if (index.isValid())
            emit rowDoubleClicked(index.row());
    });
}

void PhoneFileList::setView(View view)
{
    m_stack->setCurrentWidget(view == View::Report ? static_cast<QWidget *>(m_report) : m_icons);
}

PhoneFileList::View PhoneFileList::view() const
{
    return m_stack->currentWidget() == m_report ? View::Report : View::LargeIcons;
}

QAbstractItemView *PhoneFileList::currentView() const
{
    return view() == View::Report ? static_cast<QAbstractItemView *>(m_report) : m_icons;
}

void PhoneFileList::clear()
{
    m_model->removeRows(0, m_model->rowCount());
}

void PhoneFileList::addRow(const QString &text, int kind, const QByteArray &nameBytes, const QString &size,
                           const QString &date, const QString &time)
{
    QIcon icon;
    icon.addPixmap(m_smallIcons.picture(kind));
    icon.addPixmap(m_largeIcons.picture(kind));

    auto *name = new QStandardItem(icon, text);
    name->setData(kind, KindRole);
    name->setData(nameBytes, NameBytesRole);
    name->setEditable(true);
    QList<QStandardItem *> row{name};
    for (const QString &value : {size, date, time}) {
        auto *item = new QStandardItem(value);
        item->setEditable(false);
        row.append(item);
    }
    m_model->appendRow(row);
}

int PhoneFileList::rowCount() const
{
    return m_model->rowCount();
}

QString PhoneFileList::rowText(int row) const
{
    return m_model->index(row, NameColumn).data(Qt::DisplayRole).toString();
}

int PhoneFileList::rowKind(int row) const
{
    return m_model->index(row, NameColumn).data(KindRole).toInt();
}

QByteArray PhoneFileList::rowNameBytes(int row) const
{
    return m_model->index(row, NameColumn).data(NameBytesRole).toByteArray();
}

QString PhoneFileList::subItem(int row, Column column) const
{
    return m_model->index(row, column).data(Qt::DisplayRole).toString();
}

int PhoneFileList::selectedRow() const
{
    const QModelIndexList rows = m_report->selectionModel()->selectedRows();
    return rows.isEmpty() ? -1 : rows.first().row();
}

void PhoneFileList::selectRow(int row)
{
    const QModelIndex index = m_model->index(row, NameColumn);
    m_report->selectionModel()->setCurrentIndex(index, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
}

void PhoneFileList::editRow(int row)
{
    QAbstractItemView *view = currentView();
    const QModelIndex index = m_model->index(row, NameColumn);
    view->setCurrentIndex(index);
    view->edit(index);
}

QStringList PhoneFileList::localPaths(const QMimeData *data)
{
    if (!data || !data->hasUrls())
        return {};
    QStringList paths;
    for (const QUrl &url : data->urls()) {
        if (!url.isLocalFile())
            return {};
        paths << url.toLocalFile();
    }
    return paths;
}

bool PhoneFileList::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == m_report->viewport() || watched == m_icons->viewport()) {
        auto *viewport = static_cast<QWidget *>(watched);
        switch (event->type()) {
        case QEvent::DragEnter:
        case QEvent::DragMove: {
            auto *drag = static_cast<QDropEvent *>(event);
            if (m_acceptFileDrops && !localPaths(drag->mimeData()).isEmpty()) {
                drag->setDropAction(Qt::CopyAction);
                drag->accept();
            } else {
                drag->ignore();
            }
            return true;
        }
        case QEvent::Drop: {
            auto *drop = static_cast<QDropEvent *>(event);
            const QStringList paths = localPaths(drop->mimeData());
            if (!m_acceptFileDrops || paths.isEmpty()) {
                drop->ignore();
                return true;
            }
            drop->setDropAction(Qt::CopyAction);
            drop->accept();
            emit filesDropped(paths);
            return true;
        }
        case QEvent::DragLeave:
            return true;
        case QEvent::MouseMove: {
            auto *mouse = static_cast<QMouseEvent *>(event);
            emit mouseMoved(mouse->buttons(), viewport->mapTo(this, mouse->position().toPoint()));
            // No drag-selection: the row pressed stays the selected one.
            if (mouse->buttons() & Qt::LeftButton)
                return true;
            break;
        }
        default:
            break;
        }
        if (event->type() == QEvent::MouseButtonPress) {
            if (static_cast<QMouseEvent *>(event)->button() == Qt::LeftButton)
                emit leftButtonPressed();
        } else if (event->type() == QEvent::MouseButtonRelease) {
            auto *mouse = static_cast<QMouseEvent *>(event);
            if (mouse->button() == Qt::LeftButton)
                emit leftButtonReleased();
            else if (mouse->button() == Qt::RightButton)
                emit rightButtonReleased(mouse->globalPosition().toPoint());
        }
    }
    return QWidget::eventFilter(watched, event);
}
