#include "pcfolders.h"

#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QKeyEvent>
#include <QStorageInfo>
#include <QStyle>
#include <QTreeWidgetItemIterator>

#include <algorithm>

namespace PcDrives {

namespace {

constexpr int PathRole = Qt::UserRole + 1;

bool isNetworkShare(const QByteArray &type)
{
    return type == "nfs" || type == "nfs4" || type == "cifs" || type == "smb3" || type == "smbfs"
        || type.startsWith("fuse.");
}

// Disks, memory cards and USB sticks come from a /dev device; network shares and
// FUSE mounts from elsewhere. Proc, sys, tmpfs, overlay and the like are neither.
bool isUserVolume(const QStorageInfo &volume)
{
    if (!volume.isValid() || !volume.isReady() || volume.isReadOnly())
        return false;
    const QString root = volume.rootPath();
    if (!QFileInfo(root).isDir() || !QFileInfo(root).isWritable())
        return false; // bind-mounted single files, folders of other users
    for (const char *system : {"/proc", "/sys", "/dev", "/run", "/boot", "/snap", "/var/lib"}) {
        const QString prefix = QString::fromLatin1(system);
        if (root == prefix || root.startsWith(prefix + u'/'))
            return root.startsWith(QStringLiteral("/run/media/"));
    }
    return volume.device().startsWith("/dev/") || isNetworkShare(volume.fileSystemType());
}

QString cleanPath(const QString &path)
{
    return QDir::cleanPath(QFileInfo(path).absoluteFilePath());
}

bool holds(const QString &root, const QString &path)
{
    return root == QStringLiteral("/") || path == root || path.startsWith(root + u'/');
}

} // namespace

QList<Drive> drives()
{
    QList<Drive> list{{QStringLiteral("/"), QStringLiteral("/")}};
    const QString home = cleanPath(QDir::homePath());
    if (home != QStringLiteral("/") && QFileInfo(home).isDir())
        list.append({home, QCoreApplication::translate("PcDrives", "%1  (домашняя папка)").arg(home)});
    QList<Drive> volumes;
    for (const QStorageInfo &volume : QStorageInfo::mountedVolumes()) {
        if (!isUserVolume(volume))
            continue;
        const QString root = cleanPath(volume.rootPath());
        const bool known = std::any_of(list.cbegin(), list.cend(), [&](const Drive &d) { return d.root == root; })
            || std::any_of(volumes.cbegin(), volumes.cend(), [&](const Drive &d) { return d.root == root; });
        if (known)
            continue;
        const QString name = volume.displayName();
        volumes.append({root, name.isEmpty() || name == root ? root : root + QStringLiteral("  [") + name + u']'});
    }
    std::sort(volumes.begin(), volumes.end(), [](const Drive &a, const Drive &b) { return a.root < b.root; });
    list += volumes;
    return list;
}

int driveHolding(const QList<Drive> &list, const QString &path)
{
    const QString folder = cleanPath(path);
    int best = 0;
    for (int i = 0; i < list.size(); ++i) {
        if (holds(list[i].root, folder) && list[i].root.size() > list[best].root.size())
            best = i;
    }
    return best;
}

} // namespace PcDrives

FolderList::FolderList(QWidget *parent) : QTreeWidget(parent)
{
    setHeaderHidden(true);
    setColumnCount(1);
    setRootIsDecorated(false);
    setItemsExpandable(false);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setIndentation(12);
    connect(this, &QTreeWidget::itemDoubleClicked, this, [this](QTreeWidgetItem *item) { open(item); });
}

bool FolderList::setPath(const QString &root, const QString &path)
{
    const QString folder = QDir::cleanPath(QFileInfo(path).absoluteFilePath());
    const QString top = QDir::cleanPath(QFileInfo(root).absoluteFilePath());
    const bool under = top == QStringLiteral("/") || folder == top || folder.startsWith(top + u'/');
    if (!under || !QFileInfo(folder).isDir() || !QDir(folder).isReadable())
        return false;
    const bool changed = folder != m_path;
    m_root = top;
    m_path = folder;
    fill();
    if (changed)
        emit pathChanged(m_path);
    return true;
}

void FolderList::refresh()
{
    // A folder removed meanwhile: show the nearest one that is still there.
    QString folder = m_path;
    while (!QFileInfo(folder).isDir() && folder != m_root && folder != QStringLiteral("/"))
        folder = QFileInfo(folder).path();
    if (folder != m_path && setPath(folder))
        return;
    fill();
}

QTreeWidgetItem *FolderList::rowOf(const QString &folder) const
{
    for (QTreeWidgetItemIterator it(const_cast<FolderList *>(this)); *it; ++it) {
        if ((*it)->data(0, PcDrives::PathRole).toString() == folder)
            return *it;
    }
    return nullptr;
}

void FolderList::fill()
{
    clear();
    QStyle *style = this->style();
    const QIcon openIcon = style->standardIcon(QStyle::SP_DirOpenIcon);
    const QIcon closedIcon = style->standardIcon(QStyle::SP_DirClosedIcon);

    // The chain from the root down to the open folder, each one level deeper.
    QStringList chain{m_path};
    while (chain.first() != m_root && chain.first() != QStringLiteral("/"))
        chain.prepend(QFileInfo(chain.first()).path());
    QTreeWidgetItem *parent = nullptr;
    for (const QString &folder : chain) {
        const QString text = parent ? QFileInfo(folder).fileName() : folder;
        auto *item = parent ? new QTreeWidgetItem(parent, {text}) : new QTreeWidgetItem(this, {text});
        item->setIcon(0, openIcon);
        item->setData(0, PcDrives::PathRole, folder);
        item->setToolTip(0, folder);
        parent = item;
    }
    QTreeWidgetItem *current = parent;
    const QStringList children =
        QDir(m_path).entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name | QDir::IgnoreCase | QDir::LocaleAware);
    for (const QString &name : children) {
        auto *item = new QTreeWidgetItem(current, {name});
        item->setIcon(0, closedIcon);
        const QString folder = m_path == QStringLiteral("/") ? m_path + name : m_path + u'/' + name;
        item->setData(0, PcDrives::PathRole, folder);
        item->setToolTip(0, folder);
    }
    expandAll();
    setCurrentItem(current);
    scrollToItem(current);
}

void FolderList::open(QTreeWidgetItem *item)
{
    if (!item)
        return;
    if (!setPath(item->data(0, PcDrives::PathRole).toString()))
        refresh();
}

void FolderList::keyPressEvent(QKeyEvent *event)
{
    // Enter opens the row, as a double-click does, and does not reach the dialog's buttons.
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        open(currentItem());
        event->accept();
        return;
    }
    QTreeWidget::keyPressEvent(event);
}
