// The windows without a phone: start-up state, the Russian texts, options and the
// settings store, the port mapping window, the folder test and its messages, the PC
// browser, local file writes, the rename refusal and the progress window.

#include "uitestsupport.h"

#include "form2.h"
#include "frmbrow.h"
#include "frmdrag.h"
#include "frmmkdir.h"
#include "frmoptions.h"
#include "frmprogress.h"
#include "localfiles.h"
#include "portmapwindow.h"
#include "startup.h"
#include "storedsettings.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QScopeGuard>
#include <QSettings>
#include <QStandardItemModel>
#include <QTemporaryDir>
#include <QTreeView>

using namespace uitest;

class TestWindows : public QObject
{
    Q_OBJECT

private:
    static void clearSettings()
    {
        QSettings store(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("Tarvel"),
                        QStringLiteral("Tarvel"));
        store.clear();
        store.sync();
    }
    static QSettings store()
    {
        return QSettings(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("Tarvel"),
                         QStringLiteral("Tarvel"));
    }
    // Replaces the list with the given rows (text, kind).
    static void setRows(Form1 &form, const QList<QPair<QString, int>> &rows)
    {
        form.controls().FileList->clear();
        for (const auto &row : rows)
            form.controls().FileList->addRow(row.first, row.second, row.first.toLatin1());
    }
    static void select(Form1 &form, const QString &text)
    {
        const int row = findRow(form.controls().FileList, text);
        QVERIFY(row >= 0);
        form.controls().FileList->selectRow(row);
    }

    // Opens the options and changes every setting, the port to index comIndex.
    static frmOptions *changeEveryOption(Form1 &form, int comIndex)
    {
        form.show();
        form.controls().Command10->click();
        frmOptions *options = form.commands().optionsWindow();
        if (!options)
            return nullptr;
        options->Option2->setChecked(true);
        options->Check1->setChecked(true);
        options->Check2->setChecked(true);
        options->Combo1->setCurrentIndex(comIndex);
        emit options->Combo1->activated(comIndex);
        return options;
    }

private slots:
    void initTestCase() { QCOMPARE(WindowLanguage::install(), WindowLanguage::Language::Russian); }
    void init() { clearSettings(); }

    // Without the checksum component there is no link: a clear message, no window.
    void startWithoutChecksumComponent()
    {
        MessageRecorder messages;
        std::unique_ptr<Form1> form = createMainWindow([](QString *error) -> std::unique_ptr<Checksum> {
            *error = QStringLiteral("libsumlet.so: no copy found");
            return nullptr;
        });
        QVERIFY(!form);
        QCOMPARE(messages.requests.size(), 1);
        QCOMPARE(messages.requests[0].icon, QMessageBox::Critical);
        QCOMPARE(messages.requests[0].title, QStringLiteral("Tarvel"));
        QVERIFY(messages.requests[0].text.contains(QStringLiteral("libsumlet.so: no copy found")));

        form = createMainWindow([](QString *) { return makeChecksum(); });
        QVERIFY(form);
        QCOMPARE(messages.requests.size(), 1);
    }

    void startUpState()
    {
        Form1 form(makeChecksum());
        form.show();
        QVERIFY(QTest::qWaitForWindowExposed(&form));
        // Nothing that needs the phone can be started before the link is up.
        for (QPushButton *off :
             {form.controls().Command6, form.controls().Command7, form.controls().Command8, form.controls().Command3})
            QVERIFY2(!off->isEnabled(), qPrintable(off->objectName()));
        QCOMPARE(form.commands().link().linkState(), LinkState::Enable);
        QVERIFY(!form.commands().link().isPortOpen());
        // Default settings: port 1, RTS low.
        QCOMPARE(PhoneLinkTestAccess::portNumber(form.commands().link()), 1);
        QVERIFY(!form.commands().link().rts());

        // No context menu on the "Mobile..." row; the left button is tracked for the drag-out.
        form.controls().FileList->selectRow(0);
        QWidget *viewport = form.controls().FileList->currentView()->viewport();
        const QPoint onRow =
            form.controls().FileList->reportView()->visualRect(form.controls().FileList->model()->index(0, 0)).center();
        QTest::mouseClick(viewport, Qt::RightButton, {}, onRow);
        QVERIFY(!form.controls().PopUp->isVisible());
        QTest::mousePress(viewport, Qt::LeftButton, {}, onRow);
        QVERIFY(form.commands().listLeftButtonDown());
        QTest::mouseRelease(viewport, Qt::LeftButton, {}, onRow);
        QVERIFY(!form.commands().listLeftButtonDown());
        saveScreenshot(&form, QStringLiteral("form1-start"));

        // The monitor shows the bytes waiting at the port once a second.
        QTRY_COMPARE_WITH_TIMEOUT(form.controls().Label1->text(), QStringLiteral("0"), 2500);
    }

    // Every Russian text on the windows' controls, byte for byte (the messages are
    // checked where they arise).
    void russianTexts()
    {
        Form1 form(makeChecksum());
        MainWindowControls &c = form.controls();
        QStringList texts;
        for (QPushButton *button :
             {c.Command11, c.Command10, c.Command6, c.Command3, c.Command8, c.Command7, c.Command9})
            texts << button->toolTip();
        for (const QAction *entry : c.PopUp->actions())
            texts << entry->text();
        for (int column = 0; column < c.FileList->model()->columnCount(); ++column)
            texts << c.FileList->model()->headerData(column, Qt::Horizontal).toString();
        texts << c.Label3->text() << c.Label4->text();
        frmOptions options(form.commands());
        texts << options.Frame1->title() << options.Frame2->title() << options.Frame3->title() << options.Check1->text()
              << options.Label1->text() << options.Label2->text() << options.Check2->text();
        frmMkDir mkDir(form.commands());
        texts << mkDir.windowTitle() << mkDir.Label1->text() << mkDir.Command2->text();
        Form2 about;
        texts << about.windowTitle() << about.Label4->text();
        frmDrag drag(QStringLiteral("/dev/null"));
        texts << drag.windowTitle() << drag.Label1->text();
        texts << frmProgress(&form).Command1->text() << frmBrow(form.commands(), frmBrow::Mode::Copy).Command2->text();
        QCOMPARE(texts,
                 (QStringList{"О программе",
                              "Настройки",
                              "Копировать",
                              "Переместить",
                              "Новая папка",
                              "Удалить",
                              "Выход",
                              "Копировать",
                              "Переместить",
                              "Новая папка",
                              "Удалить",
                              "Имя файла",
                              "Длина",
                              "Дата",
                              "Время",
                              "Всего памяти:",
                              "Из них свободно:",
                              "Режим",
                              "Доп. настройки...",
                              "COM порт",
                              "Отменить проверку файла на каталог",
                              " (при операциях с файлами с нестандартными расширениями (из 2 символов...))",
                              "Номер порта:",
                              "Включить RTS",
                              "Создать папку",
                              "Введите название для новой папки:",
                              "Отмена",
                              "О программе...",
                              "Версия: 1.00",
                              "Копирование...",
                              "Перетащите папку в нужную директорию...",
                              "Закрыть",
                              "Отмена"}));
    }

    void optionsOkAppliesAndStores()
    {
        MessageRecorder messages;
        Form1 form(makeChecksum());
        frmOptions *options = changeEveryOption(form, 9);
        QVERIFY(options);
        options->Command1->click();

        QCOMPARE(messages.requests.size(), 1);
        QCOMPARE(messages.requests[0].icon, QMessageBox::NoIcon);
        QCOMPARE(messages.requests[0].title, QStringLiteral("Tarvel"));
        QCOMPARE(messages.requests[0].text,
                 QStringLiteral("Настройки вступят всилу только после повторного запуска программы!!!"));
        QCOMPARE(form.controls().FileList->view(), PhoneFileList::View::LargeIcons);
        QVERIFY(form.commands().skipFolderCheck());
        QVERIFY(form.commands().link().rts());
        QCOMPARE(PhoneLinkTestAccess::portNumber(form.commands().link()), 1); // the port changes at the next start
        QVERIFY(form.isEnabled());
        {
            QSettings settings = store();
            QCOMPARE(settings.value(QStringLiteral("options/comport")).toString(), QStringLiteral("Com 10"));
            QCOMPARE(settings.value(QStringLiteral("options/rts")).toString(), QStringLiteral(" 1"));
        }

        // Com 10 gives port 1 at the next start; RTS comes back from the store.
        Form1 next(makeChecksum());
        QCOMPARE(PhoneLinkTestAccess::portNumber(next.commands().link()), 1);
        QVERIFY(next.commands().link().rts());
        QVERIFY(!next.commands().skipFolderCheck());
        QCOMPARE(next.controls().FileList->view(), PhoneFileList::View::Report);
    }

    void portMapWindow()
    {
        Form1 form(makeChecksum());
        form.show();
        form.controls().Command10->click();
        frmOptions *options = form.commands().optionsWindow();
        QVERIFY(options);
        QTest::mouseClick(options->Label3, Qt::LeftButton);
        PortMapWindow *ports = options->portMapWindow();
        QVERIFY(ports && ports->isVisible());
        saveScreenshot(ports, QStringLiteral("port-map"));

        Pty line;
        ports->deviceBox(2)->setCurrentText(line.slavePath());
        ports->assignButton(2)->click();
        const QString link = SerialPort::portsFolder() + QStringLiteral("/com2");
        QCOMPARE(QFileInfo(link).symLinkTarget(), line.slavePath());
        QCOMPARE(SerialPort::devicePathForPort(2), link);
        // A device that is not there: said in the window, nothing changes.
        ports->deviceBox(2)->setCurrentText(QStringLiteral("/dev/tarvel-no-such-device"));
        ports->assignButton(2)->click();
        QVERIFY(ports->statusLabel()->text().contains(QStringLiteral("/dev/tarvel-no-such-device")));
        QCOMPARE(QFileInfo(link).symLinkTarget(), line.slavePath());
        ports->resetButton(2)->click();
        QVERIFY(!QFileInfo(link).isSymLink());
        // A ports folder that cannot be made: reported, no failure.
        QDir(SerialPort::portsFolder()).removeRecursively();
        QVERIFY(writeFile(SerialPort::portsFolder(), {}));
        ports->assignButton(3)->click();
        QVERIFY(!ports->statusLabel()->text().isEmpty());
        QFile::remove(SerialPort::portsFolder());
    }

    void folderTestMessages()
    {
        MessageRecorder messages;
        Form1 form(makeChecksum());
        // Notes the mode of a PC browser that opened, and cancels it.
        QList<frmBrow::Mode> opened;
        const auto takeBrowser = [&] {
            frmBrow *browser = form.commands().pcBrowser();
            if (!browser)
                return;
            opened << browser->mode();
            QVERIFY(browser->isVisible());
            browser->Command2->click();
            QTRY_VERIFY(!form.commands().pcBrowser());
        };
        setRows(form,
                {{QStringLiteral("Bitmap"), 7},
                 {QStringLiteral("abcd"), 1},
                 {QStringLiteral("a.bm"), 11},
                 {QStringLiteral("photo.gz"), 11},
                 {QStringLiteral("ab.bmp"), 2}});
        const QString copyRefusal = QStringLiteral("Каталоги пока не копируются, копируйте по файлам!!!");
        const QString moveShort = QStringLiteral("Каталоги пока не перемещаются, копируйте по файлам!!!");
        const QString moveNoDot = QStringLiteral("Каталоги пока не перемещаются, перемещайте по файлам!!!");

        const auto copy = &PhoneController::copyCommand;
        const auto move = &PhoneController::moveCommand;
        const QList<std::tuple<const char *, void (PhoneController::*)(), QString>> refusals{
            {"Bitmap", copy, copyRefusal},   {"abcd", copy, copyRefusal},  {"a.bm", copy, copyRefusal},
            {"photo.gz", copy, copyRefusal}, {"abcd", move, moveShort},    {"a.bm", move, moveShort},
            {"Bitmap", move, moveNoDot},     {"photo.gz", move, moveNoDot}};
        for (const auto &[name, command, text] : refusals) {
            messages.clear();
            select(form, QString::fromLatin1(name));
            (form.commands().*command)();
            takeBrowser();
            QCOMPARE(messages.requests.size(), 1);
            QCOMPARE(messages.requests[0].icon, QMessageBox::Warning);
            QCOMPARE(messages.requests[0].title, QStringLiteral("Tarvel"));
            QCOMPARE(messages.requests[0].text, text);
        }
        QVERIFY(opened.isEmpty());

        messages.clear();
        select(form, QStringLiteral("ab.bmp"));
        form.commands().copyCommand();
        takeBrowser();
        form.commands().moveCommand();
        takeBrowser();
        QVERIFY(messages.requests.isEmpty());
        QCOMPARE(opened, (QList<frmBrow::Mode>{frmBrow::Mode::Copy, frmBrow::Mode::Move}));

        // Delete only warns about a folder-shaped name, then asks; No sends nothing.
        messages.clear();
        messages.answers = {true, false};
        select(form, QStringLiteral("photo.gz"));
        form.commands().deleteCommand();
        QCOMPARE(messages.requests.size(), 2);
        QCOMPARE(messages.requests[0].icon, QMessageBox::Information);
        QCOMPARE(messages.requests[0].text,
                 QStringLiteral("Каталоги с содержимым пока не удаляются,удалите сначала все файлы из каталога..."));
        QVERIFY(messages.requests[1].yesNo);
        QCOMPARE(messages.requests[1].title, QStringLiteral("Удаление файла"));
        QCOMPARE(messages.requests[1].text,
                 QStringLiteral("Вы действительно хотите удалить файл(каталог) 'photo.gz'?"));
        QCOMPARE(form.commands().link().bfbSequence(), qint16(1));
    }

    void pcBrowserDialog()
    {
        MessageRecorder messages;
        Form1 form(makeChecksum());
        form.show();
        setRows(form, {{QStringLiteral("ab.bmp"), 2}, {QStringLiteral("a\\b.bmp"), 2}});
        QTemporaryDir pc;
        for (const char *folder : {"Alpha/Inner", "beta", ".hidden"})
            QVERIFY(QDir().mkpath(pc.filePath(QString::fromLatin1(folder))));
        const QString start = QFileInfo(pc.path()).canonicalFilePath();
        const QString previous = QDir::currentPath();
        QVERIFY(QDir::setCurrent(start));
        const auto restore = qScopeGuard([&] { QDir::setCurrent(previous); });

        select(form, QStringLiteral("ab.bmp"));
        form.commands().moveCommand();
        frmBrow *browser = form.commands().pcBrowser();
        QVERIFY(browser);
        QVERIFY(QTest::qWaitForWindowExposed(browser));
        QVERIFY(!form.isVisible());
        QVERIFY(browser->Command3->isVisible() && browser->Command3->isDefault());
        // It opens on the current folder, without hidden folders; Enter opens a folder and presses no "Ok".
        QCOMPARE(browser->Dir1->path(), start);
        QVERIFY(!browser->Dir1->rowOf(start + QStringLiteral("/.hidden")));
        browser->Dir1->setCurrentItem(browser->Dir1->rowOf(start + QStringLiteral("/Alpha")));
        QTest::keyClick(browser->Dir1, Qt::Key_Return);
        QCOMPARE(browser->Dir1->path(), start + QStringLiteral("/Alpha"));
        QVERIFY(browser->isVisible());
        QVERIFY(messages.requests.isEmpty());
        saveScreenshot(browser, QStringLiteral("frmBrow"));
        QTest::keyClick(browser, Qt::Key_Escape);
        QTRY_VERIFY(!form.commands().pcBrowser());
        QVERIFY(form.isVisible());

        // A phone name that is no plain file name never becomes a PC path.
        select(form, QStringLiteral("a\\b.bmp"));
        form.commands().copyCommand();
        browser = form.commands().pcBrowser();
        QVERIFY(browser);
        browser->Command1->click();
        QCOMPARE(messages.requests.size(), 1);
        QCOMPARE(messages.requests[0].icon, QMessageBox::Warning);
        QVERIFY(
            messages.requests[0].text.startsWith(QStringLiteral("Такое имя файла нельзя использовать на компьютере!")));
        QCOMPARE(form.commands().transferList(), QStringList{QStringLiteral("a\\b.bmp")});
        QCOMPARE(form.commands().link().bfbSequence(), qint16(1));
        QTRY_VERIFY(!form.commands().pcBrowser());
        QVERIFY(form.isVisible());
        QCOMPARE(QDir(start).entryList(QDir::Files | QDir::Hidden), QStringList());
    }

    // Downloads land whole or not at all; a replaced file keeps its permissions and
    // a symbolic link keeps pointing at the file it names.
    void localFileWrites()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("a.bin"));
        QVERIFY(!LocalFiles::writeWhole(path, QByteArray()));
        QCOMPARE(QFileInfo(path).size(), 0);

        QByteArray bytes(70000, Qt::Uninitialized);
        for (int i = 0; i < bytes.size(); ++i)
            bytes[i] = char(i * 7);
        QVERIFY(QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup));
        QVERIFY(!LocalFiles::writeWhole(path, bytes));
        const QFileDevice::Permissions ownerGroupOther(0x7077);
        QCOMPARE(QFileInfo(path).permissions() & ownerGroupOther,
                 QFileDevice::Permissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup));
        {
            QFile in(path);
            QVERIFY(in.open(QIODevice::ReadOnly));
            QCOMPARE(in.readAll(), bytes);
        }

        const QString link = dir.filePath(QStringLiteral("link.bin"));
        QVERIFY(QFile::link(path, link));
        QVERIFY(!LocalFiles::writeWhole(link, "short"));
        QVERIFY(QFileInfo(link).isSymLink());
        QCOMPARE(QFileInfo(path).size(), 5);

        // Failures name their reason; nothing is left behind.
        QCOMPARE(LocalFiles::writeWhole(dir.filePath(QStringLiteral("missing/b.bin")), "x"),
                 std::optional<QString>(QStringLiteral("папка не найдена")));
        QVERIFY(QDir().mkpath(dir.filePath(QStringLiteral("c.bin"))));
        QCOMPARE(LocalFiles::writeWhole(dir.filePath(QStringLiteral("c.bin")), "x"),
                 std::optional<QString>(QStringLiteral("на этом месте уже есть папка с таким именем")));
        QCOMPARE(LocalFiles::makeFolder(path),
                 std::optional<QString>(QStringLiteral("на этом месте уже есть файл с таким именем")));
        QVERIFY(!LocalFiles::makeFolder(dir.filePath(QStringLiteral("d/e"))));
        QVERIFY(QFileInfo(dir.filePath(QStringLiteral("d/e"))).isDir());
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden | QDir::System),
                 (QStringList{QStringLiteral("a.bin"), QStringLiteral("link.bin")}));
    }

    void renameIsRefused()
    {
        MessageRecorder messages;
        Form1 form(makeChecksum());
        form.show();
        setRows(form, {{QStringLiteral("ab.bmp"), 2}});
        form.controls().FileList->editRow(0);
        auto *editor = form.controls().FileList->reportView()->findChild<QLineEdit *>();
        QVERIFY(editor);
        editor->setText(QStringLiteral("new.bmp"));
        QTest::keyClick(editor, Qt::Key_Return);
        QTRY_COMPARE(messages.requests.size(), 1);
        QCOMPARE(messages.requests[0].text,
                 QStringLiteral("Переименовывать файлы пока нельзя, воспользуйтесь телефоном..."));
        QCOMPARE(form.controls().FileList->rowText(0), QStringLiteral("ab.bmp"));
    }

    void progressWindow()
    {
        Form1 form(makeChecksum());
        form.show();
        WindowEvents &events = form.events();
        events.operationStarted(PhoneOperation::Listing, 0);
        events.packetReceived(PhoneOperation::Listing, 1);
        frmProgress *progress = events.progressWindow();
        QVERIFY(progress && progress->isVisible() && progress->Command1->isHidden());
        QCOMPARE(progressRows(form),
                 (QStringList{QStringLiteral("2:Запрашиваю список файлов..."), QStringLiteral("2:Получен пакет N1")}));
        // A bar maximum below the value shows a full bar instead of failing.
        progress->setValue(6);
        QCOMPARE(progress->Pr->value(), progress->Pr->maximum());
        events.operationFinished(PhoneOperation::Listing, 2);
        QVERIFY(!events.progressWindow());

        // A failed connection keeps its rows and shows the button, which gives the main window back.
        events.connectStep(ConnectStep::PortOpened);
        events.connectFailed(ConnectFailure::Bfb, SerialPort::OpenError::None);
        progress = events.progressWindow();
        QVERIFY(progress->Command1->isVisible());
        saveScreenshot(progress, QStringLiteral("frmProgress"));
        form.setEnabled(false);
        progress->Command1->click();
        QVERIFY(form.isEnabled());
        QVERIFY(!events.progressWindow());
    }
};

QTEST_MAIN(TestWindows)
#include "tst_ui_windows.moc"
