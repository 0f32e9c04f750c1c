// The window outside a Russian locale: every text a user can read (captions,
// buttons, tooltips, menus, column headers, progress rows, message boxes; the
// options and port windows, the PC browser, the about box) is English and fits its
// control, during a session against the emulated phone too. The language follows
// the locale, and TARVEL_LANG forces either one.

#include "uitestsupport.h"

#include "form2.h"
#include "frmbrow.h"
#include "frmdrag.h"
#include "frmmkdir.h"
#include "frmoptions.h"
#include "localfiles.h"
#include "mainwindowcontrols.h"
#include "portmapwindow.h"
#include "startup.h"
#include "windowevents.h"
#include "windowlanguage.h"
#include "wrappingcheckbox.h"

#include <QAbstractItemView>
#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTreeView>

#include <cerrno>
#include <cstdio>

using namespace uitest;

namespace {

void addModelTexts(const QAbstractItemModel *model, const QModelIndex &parent, const QString &where, QStringList *texts)
{
    for (int row = 0; row < model->rowCount(parent); ++row) {
        for (int column = 0; column < model->columnCount(parent); ++column) {
            const QModelIndex index = model->index(row, column, parent);
            *texts << where + index.data(Qt::DisplayRole).toString() << where + index.data(Qt::ToolTipRole).toString();
            addModelTexts(model, index, where, texts);
        }
    }
}

// Every text of a window and its children that a user can read, as "object: text".
QStringList readableTexts(QWidget *window)
{
    QStringList texts;
    QList<QWidget *> widgets = window->findChildren<QWidget *>();
    widgets.prepend(window);
    for (QWidget *widget : widgets) {
        const QString where = widget->objectName() + QStringLiteral(": ");
        texts << where + widget->windowTitle() << where + widget->toolTip() << where + widget->statusTip()
              << where + widget->whatsThis();
        if (auto *label = qobject_cast<QLabel *>(widget))
            texts << where + label->text();
        if (auto *button = qobject_cast<QAbstractButton *>(widget))
            texts << where + button->text();
        if (auto *group = qobject_cast<QGroupBox *>(widget))
            texts << where + group->title();
        if (auto *line = qobject_cast<QLineEdit *>(widget))
            texts << where + line->text() << where + line->placeholderText();
        if (auto *combo = qobject_cast<QComboBox *>(widget)) {
            for (int i = 0; i < combo->count(); ++i)
                texts << where + combo->itemText(i);
        }
        if (auto *view = qobject_cast<QAbstractItemView *>(widget); view && view->model()) {
            const QAbstractItemModel *model = view->model();
            for (int column = 0; column < model->columnCount(); ++column)
                texts << where + model->headerData(column, Qt::Horizontal).toString();
            addModelTexts(model, QModelIndex(), where, &texts);
        }
        for (const QAction *action : widget->actions())
            texts << where + action->text() << where + action->toolTip();
    }
    return texts;
}

QStringList messageTexts(const QList<MessageBoxes::Request> &requests)
{
    QStringList texts;
    for (const MessageBoxes::Request &request : requests)
        texts << QStringLiteral("message: ") + request.title << QStringLiteral("message: ") + request.text;
    return texts;
}

QStringList russianTexts(const QStringList &texts)
{
    static const QRegularExpression cyrillic(QStringLiteral("[\\x{0400}-\\x{052F}]"));
    QStringList found = texts.filter(cyrillic);
    found.removeDuplicates();
    return found;
}

// Texts that do not fit the control that shows them, as "object: text". Windows
// laid out in twips do not grow with their texts.
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

#define VERIFY_ENGLISH(texts)                                                                                          \
    do {                                                                                                               \
        const QStringList found = russianTexts(texts);                                                                 \
        QVERIFY2(found.isEmpty(), qPrintable(found.join(QLatin1Char('\n'))));                                          \
    } while (false)

#define VERIFY_FITS(window)                                                                                            \
    do {                                                                                                               \
        const QStringList cut = cutOffTexts(window);                                                                   \
        QVERIFY2(cut.isEmpty(), qPrintable(cut.join(QLatin1Char('\n'))));                                              \
    } while (false)

// The child of forcingVariable: the main window's first texts, in the language its
// environment chooses.
int runLanguageProbe(int argc, char **argv)
{
    QApplication app(argc, argv);
    WindowLanguage::install();
    Form1 form(makeChecksum());
    std::printf("%s|%s\n", qPrintable(form.controls().Label3->text()),
                qPrintable(form.controls().Command11->toolTip()));
    return 0;
}

} // namespace

class TestEnglish : public QObject
{
    Q_OBJECT

private:
    static void setRows(Form1 &form, const QStringList &names)
    {
        form.controls().FileList->clear();
        for (const QString &name : names)
            form.controls().FileList->addRow(name, name.contains(u'.') ? 11 : 1, name.toLatin1());
    }
    static void select(Form1 &form, const QString &text)
    {
        form.controls().FileList->selectRow(findRow(form.controls().FileList, text));
    }

private slots:
    void initTestCase() { QCOMPARE(WindowLanguage::install(), WindowLanguage::Language::English); }

    void windowsWithoutPhone()
    {
        MessageRecorder messages;
        QStringList texts;
        QVERIFY(!createMainWindow([](QString *error) -> std::unique_ptr<Checksum> {
            *error = QStringLiteral("libsumlet.so: no copy found");
            return nullptr;
        }));

        Form1 form(makeChecksum());
        form.show();
        QVERIFY(QTest::qWaitForWindowExposed(&form));
        texts << readableTexts(&form);
        saveScreenshot(&form, QStringLiteral("english-form1"));
        VERIFY_FITS(&form);

        form.controls().Command10->click();
        frmOptions *options = form.commands().optionsWindow();
        QVERIFY(options);
        texts << readableTexts(options);
        saveScreenshot(options, QStringLiteral("english-frmOptions"));
        VERIFY_FITS(options);
        QTest::mouseClick(options->Label3, Qt::LeftButton);
        auto *ports = options->findChild<PortMapWindow *>();
        QVERIFY(ports);
        ports->deviceBox(1)->setCurrentText(QStringLiteral("/nonexistent/ttyUSB9"));
        ports->assignButton(1)->click();
        QVERIFY(!ports->statusLabel()->text().isEmpty());
        texts << readableTexts(ports);
        saveScreenshot(ports, QStringLiteral("english-PortMapWindow"));
        for (int port : {0, 1}) {
            QString error;
            QVERIFY(!PortMapWindow::assign(port, QString(), &error));
            texts << QStringLiteral("port window: ") + error;
        }
        // A port picked (Com 1 again, as the other tests expect) brings the restart message.
        options->Combo1->setCurrentIndex(0);
        emit options->Combo1->activated(0);
        options->Command1->click();

        form.controls().Command11->click();
        QVERIFY(form.commands().aboutWindow());
        texts << readableTexts(form.commands().aboutWindow());
        saveScreenshot(form.commands().aboutWindow(), QStringLiteral("english-Form2"));
        VERIFY_FITS(form.commands().aboutWindow());

        form.controls().Command8->setEnabled(true);
        form.controls().Command8->click();
        frmMkDir *mkDir = nullptr;
        for (QWidget *window : QApplication::topLevelWidgets()) {
            if (auto *dialog = qobject_cast<frmMkDir *>(window); dialog && dialog->isVisible())
                mkDir = dialog;
        }
        QVERIFY(mkDir);
        texts << readableTexts(mkDir);
        saveScreenshot(mkDir, QStringLiteral("english-frmMkDir"));
        VERIFY_FITS(mkDir);
        mkDir->Command2->click();

        // The refusals of the commands, and the delete question.
        setRows(form, {QStringLiteral("Misc"), QStringLiteral("abcd"), QStringLiteral("pic.bmp")});
        for (const QString &row : {QStringLiteral("Misc"), QStringLiteral("abcd")}) {
            select(form, row);
            form.commands().copyCommand();
            form.commands().moveCommand();
        }
        messages.answers = {true, false};
        form.commands().deleteCommand();
        form.commands().renameAttempted();

        for (bool moving : {false, true}) {
            select(form, QStringLiteral("pic.bmp"));
            moving ? form.commands().moveCommand() : form.commands().copyCommand();
            frmBrow *browser = form.commands().pcBrowser();
            QVERIFY(browser);
            texts << readableTexts(browser);
            saveScreenshot(browser, QStringLiteral("english-frmBrow"));
            VERIFY_FITS(browser);
            browser->close();
            QTRY_VERIFY(!form.commands().pcBrowser());
        }

        QTemporaryDir dir;
        const QString file = dir.filePath(QStringLiteral("pic.bmp"));
        QVERIFY(writeFile(file, "BM"));
        frmDrag copyWindow(file);
        copyWindow.show();
        texts << readableTexts(&copyWindow);
        saveScreenshot(&copyWindow, QStringLiteral("english-frmDrag"));
        VERIFY_FITS(&copyWindow);

        for (int error : {ENOSPC, EDQUOT, EACCES, EROFS, ENOENT, EISDIR, ENAMETOOLONG, EFBIG, EIO, EMFILE})
            texts << QStringLiteral("reason: ") + LocalFiles::reasonFor(error);
        texts << QStringLiteral("reason: ") + LocalFiles::makeFolder(file).value_or(QString());

        QCOMPARE(messages.requests.size(), 9);
        texts << messageTexts(messages.requests);
        VERIFY_ENGLISH(texts);
    }

    // Every row, label and message the phone events raise, on a main window of its own.
    void everyPhoneEvent()
    {
        MessageRecorder messages;
        QWidget window;
        MainWindowControls controls(&window);
        int ended = 0;
        WindowEvents events(window, controls, [&ended](int) { ++ended; });
        QStringList texts;
        const auto look = [&] {
            if (frmProgress *progress = events.progressWindow())
                texts << readableTexts(progress);
        };

        for (ConnectStep step :
             {ConnectStep::Attempting, ConnectStep::PortOpened, ConnectStep::Waking, ConnectStep::AskingModel,
              ConnectStep::SwitchingToBfb, ConnectStep::SettingUpBfb, ConnectStep::OpeningObex, ConnectStep::LinkUp,
              ConnectStep::ListingRoot, ConnectStep::RootListed}) {
            events.connectStep(step);
            look();
        }
        events.connectStep(ConnectStep::Established);
        for (ConnectFailure failure :
             {ConnectFailure::PortUnavailable, ConnectFailure::At, ConnectFailure::Model, ConnectFailure::Bfb})
            events.connectFailed(failure, SerialPort::OpenError::None);
        look();
        QCOMPARE(events.progressWindow()->List->topLevelItemCount(), 9);
        saveScreenshot(events.progressWindow(), QStringLiteral("english-frmProgress-failures"));
        VERIFY_FITS(events.progressWindow());
        events.closeProgress();

        for (PhoneOperation operation : {PhoneOperation::Listing, PhoneOperation::Download, PhoneOperation::Upload}) {
            events.operationStarted(operation, 200000);
            events.packetReceived(operation, 1);
            events.packetSent(operation, 1);
            look();
            events.operationFinished(operation, 2);
            events.closeProgress();
        }
        events.memoryReported(MemoryKind::Total, 16777215);
        events.memoryReported(MemoryKind::Free, 16777215);
        texts << readableTexts(&window);
        for (Refusal refusal : {Refusal::SourceMissing, Refusal::SourceUnreadable, Refusal::StagingUnwritable,
                                Refusal::StagingTooLarge, Refusal::FolderNameTooLong, Refusal::FileNameTooLong,
                                Refusal::UploadNameTooLong, Refusal::NameNotEncodable, Refusal::UnsafeLocalName})
            events.refused(refusal);
        events.confirmLargeUpload();
        events.linkLost(LinkLoss::Timeout);
        events.linkLost(LinkLoss::BadData);
        QCOMPARE(ended, 2);
        QCOMPARE(messages.requests.size(), 13);
        texts << messageTexts(messages.requests);
        VERIFY_ENGLISH(texts);
    }

    // A session against the emulated phone: failed connections, refusals, a
    // question, uploads and downloads; every window and message seen on the way.
    void sessionAgainstThePhone()
    {
        QTemporaryDir phoneRoot;
        QTemporaryDir pc;
        QVERIFY(writeFile(phoneRoot.filePath(QStringLiteral("pic.bmp")), "BM phone"));
        QVERIFY(writeFile(phoneRoot.filePath(QStringLiteral("Misc/readme.txt")), "read me"));
        QVERIFY(writeFile(pc.filePath(QStringLiteral("pic.bmp")), "BM pc"));
        QVERIFY(writeFile(pc.filePath(QStringLiteral("big.bin")), QByteArray(160 * 1024, 'x')));
        QVERIFY(QDir().mkpath(pc.filePath(QStringLiteral("work"))));
        PhoneSim phone({QStringLiteral("--root"), phoneRoot.path()});
        QVERIFY2(phone.running(), qPrintable(phone.errors()));

        MessageRecorder messages;
        Form1 form(makeChecksum());
        form.commands().setWorkingDirectory(pc.filePath(QStringLiteral("work")));
        form.commands().link().setPauseScale(0.3);
        form.show();
        QStringList texts;
        // The progress window comes and goes; look at it at every pass of the event loop.
        QTimer watch;
        QObject::connect(&watch, &QTimer::timeout, [&] {
            if (frmProgress *progress = form.events().progressWindow())
                texts << readableTexts(progress);
        });
        watch.start(0);
        const auto connect = [&form] {
            form.controls().FileList->selectRow(0);
            form.commands().openSelectedRow();
        };

        QVERIFY(mapPort(1, QStringLiteral("/nonexistent/tarvel-no-such-tty")));
        connect();
        Pty silent;
        QVERIFY(mapPort(1, silent.slavePath()));
        connect();
        QVERIFY(form.events().progressWindow());
        QVERIFY(form.events().progressWindow()->Command1->isVisible());
        VERIFY_FITS(form.events().progressWindow());
        texts << readableTexts(form.events().progressWindow());
        form.events().progressWindow()->Command1->click();
        QVERIFY(mapPort(1, phone.device));
        connect();
        QCOMPARE(form.commands().link().linkState(), LinkState::Disable);
        texts << readableTexts(&form);
        saveScreenshot(&form, QStringLiteral("english-form1-connected"));
        VERIFY_FITS(&form);

        select(form, QStringLiteral("Misc"));
        form.commands().copyCommand();
        form.commands().moveCommand();
        messages.answers = {true, false};
        form.commands().deleteCommand();
        form.commands().filesDropped({pc.filePath(QStringLiteral("pic.bmp")), pc.filePath(QStringLiteral("big.bin"))});
        form.commands().filesDropped({pc.filePath(QStringLiteral("work"))});
        messages.answers = {false};
        form.commands().filesDropped({pc.filePath(QStringLiteral("big.bin"))});

        select(form, QStringLiteral("pic.bmp"));
        form.commands().copyCommand();
        frmBrow *browser = form.commands().pcBrowser();
        QVERIFY(browser);
        QVERIFY(browser->Dir1->setPath(pc.path()));
        texts << readableTexts(browser);
        messages.answers = {false};
        browser->Command1->click();
        QTRY_VERIFY(!form.commands().pcBrowser());
        QCOMPARE(readFile(pc.filePath(QStringLiteral("pic.bmp"))), QByteArray("BM pc"));

        watch.stop();
        QCOMPARE(messages.requests.size(), 9);
        texts << messageTexts(messages.requests);
        VERIFY_ENGLISH(texts);
        form.controls().Command9->click();
    }

    void forcingVariable_data()
    {
        QTest::addColumn<QString>("locale");
        QTest::addColumn<QString>("languages");
        QTest::addColumn<QString>("forced");
        QTest::addColumn<bool>("russian");
        QTest::newRow("Russian locale") << "ru_RU.UTF-8" << QString() << QString() << true;
        QTest::newRow("Russian locale, forced en") << "ru_RU.UTF-8" << QString() << "en" << false;
        QTest::newRow("Russian locale, forced en_GB") << "ru_RU.UTF-8" << QString() << "en_GB.UTF-8" << false;
        QTest::newRow("English locale, forced ru") << "en_US.UTF-8" << QString() << "ru" << true;
        QTest::newRow("German locale") << "de_DE.UTF-8" << QString() << QString() << false;
        QTest::newRow("German, then Russian") << "de_DE.UTF-8"
                                              << "de:ru" << QString() << true;
        QTest::newRow("C locale") << "C" << QString() << QString() << false;
        QTest::newRow("Russian locale, forced nonsense") << "ru_RU.UTF-8" << QString() << "xx" << true;
    }
    void forcingVariable()
    {
        QFETCH(QString, locale);
        QFETCH(QString, languages);
        QFETCH(QString, forced);
        QFETCH(bool, russian);
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        for (const char *name : {"LANG", "LC_ALL", "LC_MESSAGES", "LANGUAGE", WindowLanguage::ForcingVariable})
            environment.remove(QString::fromLatin1(name));
        environment.insert(QStringLiteral("LC_ALL"), locale);
        if (!languages.isEmpty())
            environment.insert(QStringLiteral("LANGUAGE"), languages);
        if (!forced.isEmpty())
            environment.insert(QString::fromLatin1(WindowLanguage::ForcingVariable), forced);
        environment.insert(QStringLiteral("TARVEL_UI_LANGUAGE_PROBE"), QStringLiteral("1"));
        QProcess child;
        child.setProcessEnvironment(environment);
        child.start(QCoreApplication::applicationFilePath(), {});
        const ProcessResult result = finishProcess(child, 30000);
        QCOMPARE(result.exitCode, 0);
        const QString shown = result.out.trimmed();
        if (russian)
            QCOMPARE(shown, QStringLiteral("Всего памяти:|О программе"));
        else
            QVERIFY2(shown.size() > 1 && russianTexts({shown}).isEmpty(), qPrintable(shown));
        QCOMPARE(result.err.contains(QLatin1String(WindowLanguage::ForcingVariable)), forced == QStringLiteral("xx"));
    }
};

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsSet("TARVEL_UI_LANGUAGE_PROBE"))
        return runLanguageProbe(argc, argv);
    QApplication app(argc, argv);
    TestEnglish test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_ui_english.moc"
