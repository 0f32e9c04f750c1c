// A drop target in a process of its own, for the drag-out test: a window at the given
// place that accepts a moved URL list, asks for the list only when the drop arrives
// (after a further wait when --wait-ms is given, as a target that first asks the user
// would) and moves the dropped file into the given folder. It reports on standard
// output: "ready" once shown, "over" for each position it accepts, then "moved <path>"
// or "failed <reason>", and ends after the drop.
//
//   droptarget --place X,Y,W,H --into FOLDER [--wait-ms N]

#include <QApplication>
#include <QCommandLineParser>
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
    QCommandLineParser parser;
    parser.addOption({QStringLiteral("place"), QStringLiteral("Place and size: X,Y,W,H."), QStringLiteral("rect")});
    parser.addOption(
        {QStringLiteral("into"), QStringLiteral("Folder the dropped file is moved into."), QStringLiteral("folder")});
    parser.addOption({QStringLiteral("wait-ms"), QStringLiteral("Pause before asking for the data."),
                      QStringLiteral("ms"), QStringLiteral("0")});
    parser.process(app);
    const QStringList place = parser.value(QStringLiteral("place")).split(u',');
    if (place.size() != 4 || !parser.isSet(QStringLiteral("into")))
        parser.showHelp(2);

    DropTarget target(parser.value(QStringLiteral("into")), parser.value(QStringLiteral("wait-ms")).toInt());
    target.setWindowTitle(QStringLiteral("drop target"));
    target.setGeometry(place[0].toInt(), place[1].toInt(), place[2].toInt(), place[3].toInt());
    target.show();
    if (!QTest::qWaitForWindowExposed(&target))
        return 1;
    report(QStringLiteral("ready"));
    return app.exec();
}
