#pragma once

#include <QString>
#include <QStringList>
#include <QTreeWidget>

// The PC side of the PC browser dialog: the "drives" of a Linux desktop and a
// folder list in the manner of a classic folder list box.
namespace PcDrives {

struct Drive
{
    QString root; // the folder the drive's folder list starts at
    QString label; // what the drive list shows
};

// "/" first, then the home folder, then every mounted volume the user can write to
// (ready, writable, a disk or a network share; no system or pseudo file systems).
QList<Drive> drives();

// The drive whose root holds path (the longest such root), as an index of list.
int driveHolding(const QList<Drive> &list, const QString &path);

} // namespace PcDrives

// Shows the folders from a drive root down to the current folder, then the current
// folder's subfolders. A double-click or Enter opens a row; the open folder is the
// list's path.
class FolderList : public QTreeWidget
{
    Q_OBJECT

public:
    explicit FolderList(QWidget *parent = nullptr);

    QString path() const { return m_path; }
    QString root() const { return m_root; }
    // The list starts at root and shows path (which must lie under root). False, and
    // nothing changed, when path is not a folder that can be listed.
    bool setPath(const QString &root, const QString &path);
    bool setPath(const QString &path) { return setPath(m_root, path); }
    // Lists the current folder again.
    void refresh();
    // The row of a folder shown, or nullptr.
    QTreeWidgetItem *rowOf(const QString &folder) const;

signals:
    void pathChanged(const QString &path);

protected:
    void keyPressEvent(QKeyEvent *event) override;

private:
    void open(QTreeWidgetItem *item);
    void fill();

    QString m_root;
    QString m_path;
};
