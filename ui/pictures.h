#pragma once

#include <QIcon>
#include <QPixmap>
#include <QString>
#include <QVector>

// The small icons of the status rows: indices into the window's ImageList1.
enum class StatusIcon {
    None = 0,
    Obex = 1, // opening the OBEX connection
    Listing = 2, // listing requests
    File = 3, // file transfers and their packets
    Error = 4, // a failed connection step
    Advice = 5, // the model question, advice after an error
    Step = 6, // connection steps
    Done = 7, // the link is up, the phone model
};

// A list of pictures of one size, addressed by index from 1, like the image lists
// the windows draw their rows from.
class ImageList
{
public:
    ImageList() = default;
    // Renders each picture of the resource paths at size x size pixels.
    ImageList(int size, const QStringList &resourcePaths);

    int imageSize() const { return m_size; }
    int count() const { return int(m_pictures.size()); }
    // Index 1..count(); a null pixmap for anything else (a row without a picture).
    QPixmap picture(int index) const;

private:
    int m_size = 0;
    QVector<QPixmap> m_pictures;
};

// The program's own pictures, drawn as SVG and kept in its resources.
namespace Pictures {

// Pictures of the phone list rows, in EntryKind order 1..15.
QStringList entryKindPaths();
// Status row pictures of the progress window, in StatusIcon order 1..7.
QStringList statusPaths();

enum class Button {
    About,
    Options,
    Copy,
    Move,
    NewFolder,
    Delete,
    Exit
};
QIcon button(Button which);

// The copy window's picture, the source of the drag to the desktop (48 x 48).
QString dragFilePath();

QString programIconPath();
QIcon programIcon();
QPixmap render(const QString &resourcePath, int size);

} // namespace Pictures
