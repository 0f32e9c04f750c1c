// The window outside a Russian locale: every text a user can read on every window
// and in every message box is English and fits its control. The language follows
// the locale, and TARVEL_LANG forces either one.

#include "uitestsupport.h"

#include "frmbrow.h"
#include "frmdrag.h"
#include "frmoptions.h"
#include "localfiletexts.h"
#include "mainwindowcontrols.h"
#include "portmapwindow.h"
#include "refusaltexts.h"
#include "windowevents.h"
#include "wrappingcheckbox.h"

#include <QAbstractItemView>
#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <cerrno>

using namespace uitest;

namespace {

// Every text of a window and its children that a user can read.
QStringList readableTexts(QWidget *window)
{
    QStringList texts;
    QList<QWidget *> widgets = window->findChildren<QWidget *>();
    widgets.prepend(window);
    for (QWidget *widget : widgets) {
        texts << widget->windowTitle() << widget->toolTip();
        if (auto *label = qobject_cast<QLabel *>(widget))
            texts << label->text();
        if (auto *button = qobject_cast<QAbstractButton *>(widget))
            texts << button->text();
        if (auto *group = qobject_cast<QGroupBox *>(widget))
            texts << group->title();
        if (auto *combo = qobject_cast<QComboBox *>(widget)) {
            for (int i = 0; i < combo->count(); ++i)
                texts << combo->itemText(i);
        }
        if (auto *view = qobject_cast<QAbstractItemView *>(widget); view && view->model()) {
            const QAbstractItemModel *model = view->model();
            for (int column = 0; column < model->columnCount(); ++column) {
                texts << model->headerData(column, Qt::Horizontal).toString();
                for (int row = 0; row < model->rowCount(); ++row)
                    texts << model->index(row, column).data().toString();
            }
        }
        for (const QAction *action : widget->actions())
            texts << action->text() << action->toolTip();
    }
    return texts;
}

// Texts that do not fit the control that shows them. Windows laid out in twips do
// not grow with their texts.
QStringList cutOffTexts(QWidget *window)
{
    QStringList cut;
    for (QWidget *widget : window->findChildren<QWidget *>()) {
        if (!widget->isVisibleTo(window))
            continue;
        const QFontMetrics metrics = widget->fontMetrics();
        QString text;
        bool fits = true;
        if (auto *label = qobject_cast<QLabel *>(widget)) {
            text = label->text();
            fits = label->wordWrap() ? label->heightForWidth(label->width()) <= label->height()
                                     : metrics.horizontalAdvance(text) <= label->contentsRect().width();
        } else if (auto *wrapping = qobject_cast<WrappingCheckBox *>(widget)) {
            text = wrapping->text();
            fits = wrapping->sizeHint().height() <= wrapping->height();
        } else if (auto *push = qobject_cast<QPushButton *>(widget)) {
            text = push->text();
            fits = metrics.horizontalAdvance(text) + 2 * metrics.averageCharWidth() <= push->width();
        } else if (auto *button = qobject_cast<QAbstractButton *>(widget)) {
            text = button->text();
            fits = button->sizeHint().width() <= button->width();
        } else if (auto *group = qobject_cast<QGroupBox *>(widget)) {
            text = group->title();
            fits = metrics.horizontalAdvance(text) + 4 * metrics.averageCharWidth() <= group->width();
        }
        if (!fits)
            cut << widget->objectName() + QStringLiteral(": ") + text;
    }
    return cut;
}

QStringList russianTexts(const QStringList &texts)
{
    QStringList found = texts.filter(QRegularExpression(QStringLiteral("[\\x{0400}-\\x{052F}]")));
    found.removeDuplicates();
    return found;
}

} // namespace

class TestEnglish : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QCOMPARE(WindowLanguage::install(), WindowLanguage::Language::English); }

    // Opens every window once, raises every phone event and every refusal of the
    // commands, and reads every visible window and message box on the way.
    void everyWindowAndMessage()
    {
        MessageRecorder messages;
        QStringList texts, cut;
        const auto look = [&] {
            for (QWidget *window : QApplication::topLevelWidgets()) {
                if (!window->isVisible())
                    continue;
                texts << readableTexts(window);
                cut << cutOffTexts(window);
                saveScreenshot(window, QStringLiteral("english-") + QLatin1String(window->metaObject()->className()));
            }
        };
        Form1 form(makeChecksum());
        form.show();
        QVERIFY(QTest::qWaitForWindowExposed(&form));
        PhoneController &commands = form.commands();
        commands.optionsCommand();
        QTest::mouseClick(commands.optionsWindow()->Label3, Qt::LeftButton);
        PortMapWindow *ports = commands.optionsWindow()->portMapWindow();
        ports->deviceBox(1)->setCurrentText(QStringLiteral("/nonexistent/ttyUSB9"));
        ports->assignButton(1)->click();
        commands.aboutCommand();
        commands.newFolderCommand();
        look();
        // A port picked (Com 1 again, as the other tests expect) brings the restart message.
        emit commands.optionsWindow()->Combo1->activated(0);
        commands.optionsWindow()->Command1->click();

        setRows(form, {"Misc", "abcd", "pic.bmp"}, 1);
        for (int row = 0; row < 2; ++row) {
            form.controls().FileList->selectRow(row);
            commands.copyCommand();
            commands.moveCommand();
        }
        messages.answers = {true, false};
        commands.deleteCommand();
        commands.renameAttempted();
        form.controls().FileList->selectRow(2);
        commands.copyCommand();
        look();
        commands.pcBrowser()->close();
        QTRY_VERIFY(!commands.pcBrowser());

        QTemporaryDir dir;
        QVERIFY(writeFile(dir.filePath(QStringLiteral("pic.bmp")), "BM"));
        frmDrag copyWindow(dir.filePath(QStringLiteral("pic.bmp")));
        copyWindow.show();

        // Every row, label and message the phone events raise, on a main window of its own.
        QWidget window;
        MainWindowControls controls(&window);
        WindowEvents events(window, controls, [](int) {});
        window.show();
        events.memoryReported(MemoryKind::Total, 16777215);
        events.memoryReported(MemoryKind::Free, 16777215);
        for (int step = int(ConnectStep::Attempting); step <= int(ConnectStep::RootListed); ++step)
            events.connectStep(ConnectStep(step));
        events.modelReported(QStringLiteral("M55"));
        for (ConnectFailure failure :
             {ConnectFailure::PortUnavailable, ConnectFailure::At, ConnectFailure::Model, ConnectFailure::Bfb})
            events.connectFailed(failure, PortError::None);
        for (PhoneOperation operation : {PhoneOperation::Listing, PhoneOperation::Download, PhoneOperation::Upload}) {
            events.operationStarted(operation, 200000);
            events.packetReceived(operation, 1);
        }
        look();
        for (Refusal refusal :
             {Refusal::SourceMissing, Refusal::SourceUnreadable, Refusal::SourceChanged, Refusal::StagingUnwritable,
              Refusal::StagingTooLarge, Refusal::FolderNameTooLong, Refusal::FileNameTooLong,
              Refusal::UploadNameTooLong, Refusal::NameNotEncodable, Refusal::UnsafeLocalName})
            texts << refusalText(refusal);
        events.confirmLargeUpload();
        events.showLinkLost(LinkLoss::Timeout);
        // A damaged answer in plain OBEX: a word on the noisy line first.
        events.lineNoiseSeen();
        events.showLinkLost(LinkLoss::BadData);
        for (int error : {ENOSPC, EDQUOT, EACCES, EROFS, ENOENT, EISDIR, ENAMETOOLONG, EFBIG, EIO, EMFILE})
            texts << LocalFiles::reasonFor(LocalFileError::fromErrno(error));

        QCOMPARE(messages.requests.size(), 13);
        for (const MessageBoxes::Request &request : messages.requests)
            texts << request.title << request.text;
        const QStringList found = russianTexts(texts);
        QVERIFY2(found.isEmpty(), qPrintable(found.join(QLatin1Char('\n'))));
        QVERIFY2(cut.isEmpty(), qPrintable(cut.join(QLatin1Char('\n'))));
    }

    // A forcing value that names a language wins; otherwise the first interface
    // language that is Russian or English.
    void choosingTheLanguage_data()
    {
        QTest::addColumn<QString>("forced");
        QTest::addColumn<QStringList>("uiLanguages");
        QTest::addColumn<bool>("russian");
        QTest::newRow("Russian") << QString() << QStringList{"ru-RU"} << true;
        QTest::newRow("Russian, forced en_GB") << "en_GB.UTF-8" << QStringList{"ru-RU"} << false;
        QTest::newRow("English, forced ru") << "ru" << QStringList{"en-US"} << true;
        QTest::newRow("German, then Russian") << QString() << QStringList{"de-DE", "ru"} << true;
        QTest::newRow("German") << QString() << QStringList{"de-DE"} << false;
        QTest::newRow("Russian, forced nonsense") << "xx" << QStringList{"ru-RU"} << true;
    }
    void choosingTheLanguage()
    {
        QFETCH(QString, forced);
        QFETCH(QStringList, uiLanguages);
        QFETCH(bool, russian);
        QCOMPARE(WindowLanguage::choose(forced, uiLanguages) == WindowLanguage::Language::Russian, russian);
    }
};

QTEST_MAIN(TestEnglish)
#include "tst_ui_english.moc"
