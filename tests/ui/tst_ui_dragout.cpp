// A phone file dragged out of the window onto a drop target in another process, on a
// private X server (the offscreen platform has no drag and drop between processes).
// The pointer is driven with xdotool as a person would: press on the file, out over the
// list's edge, release, then drag the copy window's picture onto the target. The target
// asks for the URL list only in its drop handler, at once or a second later, and moves
// the file away; it must be the phone's, byte for byte.

#include "uitestsupport.h"

#include "frmdrag.h"

#include <QApplication>
#include <QLabel>
#include <QStandardItemModel>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTreeView>
#include <QWindow>

#include <cstdio>
#include <functional>

using namespace uitest;

namespace {

constexpr int SkipExitCode = 77;
// The target's place (X,Y,W,H) and its middle.
const QString TargetPlace = QStringLiteral("640,360,300,300");
const QPoint TargetCenter(790, 510);
const QString FileName = QStringLiteral("note.txt");

// Runs xdotool commands one after another, each once its condition holds. It works
// from timer ticks, so it goes on while the drag runs its own event loop.
class Pointer
{
public:
    struct Step
    {
        std::function<bool()> ready;
        std::function<QString()> command; // xdotool's arguments, separated by spaces
    };

    Pointer(const QString &xdotool, QList<Step> steps) : m_xdotool(xdotool), m_steps(std::move(steps))
    {
        QObject::connect(&m_tick, &QTimer::timeout, [this] { next(); });
        m_tick.start(10);
    }
    ~Pointer()
    {
        m_tick.stop();
        m_run.waitForFinished(5000);
    }

    qsizetype stepsDone() const { return m_done; }
    QString failure() const { return m_failure; }

private:
    void next()
    {
        if (m_run.state() != QProcess::NotRunning)
            return;
        if (m_started > m_done) {
            if (m_run.exitStatus() != QProcess::NormalExit || m_run.exitCode() != 0) {
                m_failure =
                    QStringLiteral("xdotool %1: %2")
                        .arg(m_run.arguments().join(u' '), QString::fromLocal8Bit(m_run.readAllStandardError()));
                m_tick.stop();
                return;
            }
            m_done = m_started;
        }
        if (m_started == m_steps.size() || !m_steps[m_started].ready())
            return;
        m_run.start(m_xdotool, m_steps[m_started++].command().split(u' '));
    }

    QString m_xdotool;
    QList<Step> m_steps;
    QTimer m_tick;
    QProcess m_run;
    qsizetype m_started = 0;
    qsizetype m_done = 0;
    QString m_failure;
};

QString moveTo(const QPoint &point)
{
    return QStringLiteral("mousemove %1 %2").arg(point.x()).arg(point.y());
}

} // namespace

class TestDragOut : public QObject
{
    Q_OBJECT

public:
    explicit TestDragOut(QString xdotool) : m_xdotool(std::move(xdotool)) {}

private:
    QString m_xdotool;
    QTemporaryDir m_pc; // the phone's flash memory in root/, the working folder in work/
    PhoneSim m_phone;
    std::unique_ptr<MessageRecorder> m_messages;
    std::unique_ptr<Form1> m_form;
    QByteArray m_content;

    PhoneFileList *list() const { return m_form->controls().FileList; }

private slots:
    void initTestCase()
    {
        m_content = randomBytes(5000, 24);
        m_content[0] = '\0';
        QVERIFY(writeFile(m_pc.filePath(QStringLiteral("root/") + FileName), m_content));
        QVERIFY(QDir().mkpath(m_pc.filePath(QStringLiteral("work"))));
        QVERIFY(m_phone.start(m_pc.filePath(QStringLiteral("root"))));

        m_messages = std::make_unique<MessageRecorder>();
        m_form = std::make_unique<Form1>(makeChecksum());
        m_form->commands().setWorkingDirectory(m_pc.filePath(QStringLiteral("work")));
        aimAt(*m_form, m_phone.device);
        m_form->move(0, 0);
        m_form->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_form.get()));
        doubleClickMobile(*m_form);
        QVERIFY2(lineOf(*m_form).linkState() == LinkState::Disable, qPrintable(progressRows(*m_form).join(u'\n')));
        QVERIFY(findRow(list(), FileName) >= 0);
    }

    void cleanupTestCase() { m_form.reset(); }

    void lateReadingTargetGetsThePhonesFile_data()
    {
        QTest::addColumn<int>("waitMs");
        QTest::newRow("reads at the drop") << 0;
        QTest::newRow("reads a second after the drop") << 1000;
    }

    void lateReadingTargetGetsThePhonesFile()
    {
        QFETCH(int, waitMs);
        m_messages->clear();
        const QString desk = m_pc.filePath(QStringLiteral("desk%1").arg(waitMs));
        QVERIFY(QDir().mkpath(desk));

        QProcess target;
        QStringList said;
        QObject::connect(&target, &QProcess::readyReadStandardOutput, [&] {
            while (target.canReadLine())
                said << QString::fromUtf8(target.readLine()).trimmed();
        });
        target.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        target.start(QStringLiteral(TARVEL_DROPTARGET), {TargetPlace, desk, QString::number(waitMs)});
        QVERIFY(QTest::qWaitFor([&] { return said.contains(QStringLiteral("ready")); }, 20000));

        const auto onRow = [&] {
            QTreeView *report = list()->reportView();
            const QRect row = report->visualRect(list()->model()->index(findRow(list(), FileName), 0));
            return report->viewport()->mapToGlobal(row.center());
        };
        const auto mainWindowShown = [&] {
            return !m_form->commands().copyWindow() && m_form->windowHandle()->isExposed();
        };
        const auto copyWindowShown = [&] {
            frmDrag *copy = m_form->commands().copyWindow();
            return copy && copy->windowHandle() && copy->windowHandle()->isExposed();
        };
        const auto overCount = [&] { return said.count(QStringLiteral("over")); };
        qsizetype overBeforeLastMove = 0;
        const Pointer pointer(
            m_xdotool,
            {{mainWindowShown, [&] { return moveTo(onRow()) + QStringLiteral(" mousedown 1"); }},
             // Just inside the list's left edge: out of its middle, where a drag-out starts.
             {[&] { return m_form->commands().listLeftButtonDown(); },
              [&] { return moveTo(QPoint(list()->mapToGlobal(QPoint(0, 0)).x() + 2, onRow().y())); }},
             {copyWindowShown, [] { return QStringLiteral("mouseup 1"); }},
             {copyWindowShown,
              [&] {
                  QLabel *picture = m_form->commands().copyWindow()->Image1;
                  return moveTo(picture->mapToGlobal(picture->rect().center()))
                      + QStringLiteral(" mousedown 1 mousemove_relative 8 8");
              }},
             {[&] { return m_form->commands().copyWindow() && m_form->commands().copyWindow()->DragStarted; },
              [&] { return moveTo(TargetCenter); }},
             // The source sends a new position only once the target has answered the last:
             // an answer to the second means it knows the first was accepted.
             {[&] { return overCount() >= 1; },
              [&] {
                  overBeforeLastMove = overCount();
                  return QStringLiteral("mousemove_relative 5 5");
              }},
             {[&] { return overCount() > overBeforeLastMove; }, [] { return QStringLiteral("mouseup 1"); }}});
        // Should a step hang, even inside the drag's own event loop, the drag is given up.
        bool gaveUp = false;
        QTimer::singleShot(30000, &target, [&] {
            gaveUp = true;
            QProcess::startDetached(m_xdotool, QStringLiteral("key Escape mouseup 1").split(u' '));
            target.kill();
        });
        const bool ended = QTest::qWaitFor([&] { return target.state() == QProcess::NotRunning; }, 40000);
        QVERIFY2(pointer.failure().isEmpty(), qPrintable(pointer.failure()));
        QVERIFY2(ended && !gaveUp,
                 qPrintable(QStringLiteral("pointer steps done: %1, target said: %2")
                                .arg(QString::number(pointer.stepsDone()), said.join(u' '))));
        QVERIFY2(m_messages->requests.isEmpty(), qPrintable(m_messages->requests.value(0).text));
        const QString moved = QDir(desk).filePath(FileName);
        QCOMPARE(said.value(said.size() - 1), QStringLiteral("moved ") + moved);
        QCOMPARE(target.exitCode(), 0);
        QVERIFY(readFile(moved) == m_content);
        QVERIFY(!QFileInfo::exists(QDir(m_form->commands().dragOutDirectory()).filePath(FileName)));
        // The copy window closes after the drop and the main window comes back.
        QVERIFY(QTest::qWaitFor(mainWindowShown, 5000));
    }
};

int main(int argc, char **argv)
{
    // ctest runs this under xvfb-run, on a private X server; without one it is skipped.
    const QString xdotool = QStandardPaths::findExecutable(QStringLiteral("xdotool"));
    if (xdotool.isEmpty() || qEnvironmentVariableIsEmpty("DISPLAY")) {
        std::puts("SKIP: the drag-out test runs under xvfb-run with xdotool (tools/deps.sh installs them)");
        return SkipExitCode;
    }
    qputenv("QT_QPA_PLATFORM", "xcb");
    QApplication::setAttribute(Qt::AA_Use96Dpi, true);
    QApplication app(argc, argv);
    TestDragOut test(xdotool);
    return QTest::qExec(&test, argc, argv);
}

#include "tst_ui_dragout.moc"
