#include "pictures.h"

#include <QPainter>
#include <QSvgRenderer>

ImageList::ImageList(int size, const QStringList &resourcePaths) : m_size(size)
{
    for (const QString &path : resourcePaths)
        m_pictures.append(Pictures::render(path, size));
}

QPixmap ImageList::picture(int index) const
{
    if (index < 1 || index > m_pictures.size())
        return {};
    return m_pictures.at(index - 1);
}

namespace Pictures {

QStringList entryKindPaths()
{
    static const char *const names[] = {
        "kind01-folder",
        "kind02-bmp",
        "kind03-mid",
        "kind04-jar",
        "kind05-jad",
        "kind06-bmx",
        "kind07-bitmap-folder",
        "kind08-ringing-tone-folder",
        "kind09-java-folder",
        "kind10-animation-folder",
        "kind11-file",
        "kind12-sms-folder",
        "kind13-internet-folder",
        "kind14-parent",
        "kind15-phone",
    };
    QStringList paths;
    for (const char *name : names)
        paths << QStringLiteral(":/icons/%1.svg").arg(QLatin1String(name));
    return paths;
}

QStringList statusPaths()
{
    static const char *const names[] = {
        "status1-obex",     "status2-listing", "status3-transfer", "status4-error",
        "status5-question", "status6-step",    "status7-ok",
    };
    QStringList paths;
    for (const char *name : names)
        paths << QStringLiteral(":/icons/%1.svg").arg(QLatin1String(name));
    return paths;
}

QIcon button(Button which)
{
    const char *name = "button-about";
    switch (which) {
    case Button::About:
        name = "button-about";
        break;
    case Button::Options:
        name = "button-options";
        break;
    case Button::Copy:
        name = "button-copy";
        break;
    case Button::Move:
        name = "button-move";
        break;
    case Button::NewFolder:
        name = "button-new-folder";
        break;
    case Button::Delete:
        name = "button-delete";
        break;
    case Button::Exit:
        name = "button-exit";
        break;
    }
    const QString path = QStringLiteral(":/icons/%1.svg").arg(QLatin1String(name));
    QIcon icon;
    for (int size : {16, 20, 24, 32, 48})
        icon.addPixmap(render(path, size));
    return icon;
}

QString dragFilePath()
{
    return QStringLiteral(":/icons/drag-file.svg");
}

QString programIconPath()
{
    return QStringLiteral(":/icons/tarvel.svg");
}

QIcon programIcon()
{
    QIcon icon;
    for (int size : {16, 24, 32, 48, 64, 128, 256})
        icon.addPixmap(render(programIconPath(), size));
    return icon;
}

QPixmap render(const QString &resourcePath, int size)
{
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QSvgRenderer renderer(resourcePath);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    renderer.render(&painter);
    return pixmap;
}

} // namespace Pictures
