// A drop target in a process of its own, for the drag-out test: a window at the given
// place that accepts a moved URL list, asks for the list only when the drop arrives
// (after a further wait when WAIT_MS is not 0, as a target that first asks the user
// would) and moves the dropped file into the given folder. It reports on standard
// output: "ready" once shown, "over" for each position it accepts, then "moved <path>"
// or "failed <reason>", and ends after the drop.
//
//   droptarget X,Y,W,H FOLDER WAIT_MS

#include <QApplication>
#include <QDir>
#include <QDragMoveEvent>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QMimeData>
#include <QRect>
#include <QTest>
#include <QTimer>
#include <QUrl>
#include <QWidget>

#include <cstdio>

namespace {

void report(const QString &line)
{
    std::fputs(qPrintable(line + u'\n'), stdout);
    std::fflush(stdout);
}

class DropTarget : public QWidget
{
public:
    DropTarget(QString folder, int waitMs) : m_folder(std::move(folder)), m_waitMs(waitMs) { setAcceptDrops(true); }

protected:
    void dragEnterEvent(QDragEnterEvent *event) override { acceptMove(event); }
    void dragMoveEvent(QDragMoveEvent *event) override { acceptMove(event); }

    void dropEvent(QDropEvent *event) override
    {
        if (m_waitMs > 0) {
            QEventLoop pause;
            QTimer::singleShot(m_waitMs, &pause, &QEventLoop::quit);
            pause.exec();
        }
        // The first time anything asks the source for the data.
        const QList<QUrl> urls = event->mimeData()->urls();
        if (urls.size() != 1 || !urls.first().isLocalFile()) {
            finish(QStringLiteral("failed no single file URL in '%1'")
                       .arg(QString::fromUtf8(event->mimeData()->data(QStringLiteral("text/uri-list")))));
            return;
        }
        const QString source = urls.first().toLocalFile();
        const QString destination = QDir(m_folder).filePath(QFileInfo(source).fileName());
        if (!QFile::rename(source, destination)) {
            finish(QStringLiteral("failed cannot move '%1'").arg(source));
            return;
        }
        event->setDropAction(Qt::MoveAction);
        event->accept();
        finish(QStringLiteral("moved ") + destination);
    }

private:
    void acceptMove(QDragMoveEvent *event)
    {
        // Only the list of formats is looked at here, never the data.
        if (!event->mimeData()->hasFormat(QStringLiteral("text/uri-list"))
            || !(event->possibleActions() & Qt::MoveAction)) {
            event->ignore();
            return;
        }
        event->setDropAction(Qt::MoveAction);
        event->accept();
        report(QStringLiteral("over"));
    }

    void finish(const QString &line)
    {
        report(line);
        // Ends once the source has been told the drop is done.
        QTimer::singleShot(0, qApp, [ok = line.startsWith(QLatin1String("moved"))] { qApp->exit(ok ? 0 : 1); });
    }

    QString m_folder;
    int m_waitMs;
};

} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    const QStringList arguments = QApplication::arguments();
    const QStringList place = arguments.value(1).split(u',');
    if (arguments.size() != 4 || place.size() != 4) {
        report(QStringLiteral("failed usage: droptarget X,Y,W,H FOLDER WAIT_MS"));
        return 2;
    }
    DropTarget target(arguments[2], arguments[3].toInt());
    target.setGeometry(place[0].toInt(), place[1].toInt(), place[2].toInt(), place[3].toInt());
    target.show();
    if (!QTest::qWaitForWindowExposed(&target))
        return 1;
    report(QStringLiteral("ready"));
    return app.exec();
}
