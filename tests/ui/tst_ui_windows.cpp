// The windows without a phone: start-up state, layout, pictures, the folder test
// and its messages, the rename refusal, options and the settings store, the port
// mapping window, the progress window and the about box, the PC browser and the
// drag-out copy window.

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

#include <QAbstractItemView>
#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDrag>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QScopeGuard>
#include <QSettings>
#include <QStandardItemModel>
#include <QTemporaryDir>
#include <QTreeView>
#include <QTreeWidget>

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

        QCOMPARE(form.windowTitle(), QStringLiteral("Tarvel"));
        QCOMPARE(form.controls().FileList->rowCount(), 1);
        QCOMPARE(form.controls().FileList->rowText(0), QStringLiteral("Mobile..."));
        QCOMPARE(form.controls().FileList->rowKind(0), 15);
        QCOMPARE(form.controls().FileList->view(), PhoneFileList::View::Report);
        QCOMPARE(form.controls().Capt->text(), QString());
        QCOMPARE(form.controls().Label3->text(), QStringLiteral("Всего памяти:"));
        QCOMPARE(form.controls().Label4->text(), QStringLiteral("Из них свободно:"));

        for (QPushButton *off :
             {form.controls().Command6, form.controls().Command7, form.controls().Command8, form.controls().Command3})
            QVERIFY2(!off->isEnabled(), qPrintable(off->objectName()));
        for (QPushButton *on : {form.controls().Command9, form.controls().Command10, form.controls().Command11})
            QVERIFY2(on->isEnabled(), qPrintable(on->objectName()));

        QVERIFY(form.controls().Command1->isHidden());
        QCOMPARE(form.controls().Command1->text(), QStringLiteral("enable"));
        QCOMPARE(form.commands().link().linkState(), LinkState::Enable);
        for (QWidget *hidden :
             {static_cast<QWidget *>(form.controls().Label1), static_cast<QWidget *>(form.controls().Label5),
              static_cast<QWidget *>(form.controls().Text2)})
            QVERIFY(hidden->isHidden());
        QVERIFY(!form.commands().link().isPortOpen());
        // Default settings: port 1, RTS low.
        QCOMPARE(PhoneLinkTestAccess::portNumber(form.commands().link()), 1);
        QVERIFY(!form.commands().link().rts());

        // No context menu on the "Mobile..." row.
        form.controls().FileList->selectRow(0);
        QWidget *viewport = form.controls().FileList->currentView()->viewport();
        const QPoint onRow =
            form.controls().FileList->reportView()->visualRect(form.controls().FileList->model()->index(0, 0)).center();
        QTest::mouseClick(viewport, Qt::RightButton, {}, onRow);
        QVERIFY(!form.controls().PopUp->isVisible());

        // The left button is tracked for the drag-out.
        QTest::mousePress(viewport, Qt::LeftButton, {}, onRow);
        QVERIFY(form.commands().listLeftButtonDown());
        QTest::mouseRelease(viewport, Qt::LeftButton, {}, onRow);
        QVERIFY(!form.commands().listLeftButtonDown());

        saveScreenshot(&form, QStringLiteral("form1-start"));

        // The monitor shows the bytes waiting at the port once a second.
        QTRY_COMPARE_WITH_TIMEOUT(form.controls().Label1->text(), QStringLiteral("0"), 2500);
    }

    // The texts a user reads: button tips, the context menu, the column headers.
    void controlTexts()
    {
        Form1 form(makeChecksum());
        const QList<QPair<QPushButton *, const char *>> buttons = {
            {form.controls().Command11, "О программе"}, {form.controls().Command10, "Настройки"},
            {form.controls().Command6, "Копировать"},   {form.controls().Command3, "Переместить"},
            {form.controls().Command8, "Новая папка"},  {form.controls().Command7, "Удалить"},
            {form.controls().Command9, "Выход"},
        };
        for (const auto &[button, tip] : buttons) {
            QCOMPARE(button->toolTip(), QString::fromUtf8(tip));
            QVERIFY(!button->icon().isNull());
        }
        QStringList menu;
        for (const QAction *entry : form.controls().PopUp->actions())
            menu << entry->text();
        QCOMPARE(menu, QStringList({"Копировать", "Переместить", "Новая папка", "Удалить"}));
        QStringList headers;
        for (int column = 0; column < form.controls().FileList->model()->columnCount(); ++column)
            headers << form.controls().FileList->model()->headerData(column, Qt::Horizontal).toString();
        QCOMPARE(headers, QStringList({"Имя файла", "Длина", "Дата", "Время"}));
        form.controls().FileList->setView(PhoneFileList::View::LargeIcons);
        QCOMPARE(form.controls().FileList->currentView()->iconSize(), QSize(32, 32));
    }

    // Fifteen row pictures and seven status pictures, each distinct, at both sizes.
    void pictures()
    {
        Form1 form(makeChecksum());
        for (int kind = 1; kind <= 15; ++kind) {
            const QImage large = form.controls().ImageList1.picture(kind).toImage();
            QCOMPARE(large.size(), QSize(32, 32));
            QCOMPARE(form.controls().ImageList2.picture(kind).toImage().size(), QSize(16, 16));
            for (int other = 1; other < kind; ++other)
                QVERIFY2(form.controls().ImageList1.picture(other).toImage() != large,
                         qPrintable(QString::number(kind)));
        }
        QVERIFY(form.controls().ImageList1.picture(0).isNull());
        QVERIFY(form.controls().ImageList1.picture(16).isNull());

        frmProgress progress(&form);
        QCOMPARE(progress.ImageList1.count(), 7);
        for (int icon = 1; icon <= 7; ++icon)
            for (int other = 1; other < icon; ++other)
                QVERIFY(progress.ImageList1.picture(icon).toImage() != progress.ImageList1.picture(other).toImage());
    }

    void storedPortAndRtsAtStartUp_data()
    {
        QTest::addColumn<QString>("comport");
        QTest::addColumn<QString>("rts");
        QTest::addColumn<int>("port");
        QTest::addColumn<bool>("raised");
        QTest::newRow("com 3, rts on") << "Com 3"
                                       << " 1" << 3 << true;
        QTest::newRow("com 9") << "Com 9"
                               << " 0" << 9 << false;
        QTest::newRow("com 10 reads its fifth character") << "Com 10"
                                                          << " 0" << 1 << false;
        QTest::newRow("digit and more") << "Com 12"
                                        << " 1" << 1 << true;
        QTest::newRow("too short") << "Com"
                                   << "" << 1 << false;
        QTest::newRow("not a digit") << "Com x"
                                     << " x" << 1 << false;
        QTest::newRow("zero") << "Com 0"
                              << "10" << 1 << false;
    }
    void storedPortAndRtsAtStartUp()
    {
        QFETCH(QString, comport);
        QFETCH(QString, rts);
        {
            QSettings settings = store();
            settings.setValue(QStringLiteral("options/comport"), comport);
            settings.setValue(QStringLiteral("options/rts"), rts);
        }
        Form1 form(makeChecksum());
        QTEST(PhoneLinkTestAccess::portNumber(form.commands().link()), "port");
        QTEST(form.commands().link().rts(), "raised");
    }

    void settingsStoreLocation()
    {
        const QString expected = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation)
            + QStringLiteral("/Tarvel/Tarvel.conf");
        QCOMPARE(StoredSettings::fileName(), expected);
        StoredSettings::saveRts(QStringLiteral(" 1"));
        QFile file(expected);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray content = file.readAll();
        QVERIFY2(content.contains("[options]"), content.constData());
        QCOMPARE(StoredSettings::rts(), QStringLiteral(" 1"));
    }

    void optionsOkWithoutPortChange()
    {
        MessageRecorder messages;
        Form1 form(makeChecksum());
        form.show();
        form.controls().Command10->click();
        frmOptions *options = form.commands().optionsWindow();
        QVERIFY(options);
        QVERIFY(options->isVisible());
        QVERIFY(!form.isEnabled());
        QCOMPARE(options->windowTitle(), QStringLiteral("Options"));
        QCOMPARE(options->Combo1->count(), 10);
        for (int i = 0; i < 10; ++i)
            QCOMPARE(options->Combo1->itemText(i), QStringLiteral("Com %1").arg(i + 1));
        QCOMPARE(options->Combo1->currentText(), QStringLiteral("Com 1"));
        QVERIFY(options->Option1->isChecked());
        QVERIFY(!options->Check1->isChecked());
        QVERIFY(!options->Check2->isChecked());
        QVERIFY(options->Command1->isDefault());
        QCOMPARE(options->Frame1->title(), QStringLiteral("Режим"));
        QCOMPARE(options->Frame2->title(), QStringLiteral("Доп. настройки..."));
        QCOMPARE(options->Frame3->title(), QStringLiteral("COM порт"));
        QCOMPARE(options->Check1->text(), QStringLiteral("Отменить проверку файла на каталог"));
        QCOMPARE(options->Label1->text(),
                 QStringLiteral(" (при операциях с файлами с нестандартными расширениями (из 2 символов...))"));
        QCOMPARE(options->Label2->text(), QStringLiteral("Номер порта:"));
        QCOMPARE(options->Check2->text(), QStringLiteral("Включить RTS"));
        QCOMPARE(options->Label3->text(), QStringLiteral("*"));
        saveScreenshot(options, QStringLiteral("frmOptions"));

        options->Command1->click();
        QVERIFY(messages.requests.isEmpty());
        QVERIFY(form.isEnabled());
        QTRY_VERIFY(!form.commands().optionsWindow());
        QSettings settings = store();
        QCOMPARE(settings.value(QStringLiteral("options/rts")).toString(), QStringLiteral(" 0"));
        QVERIFY(!settings.contains(QStringLiteral("options/comport")));
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

        // Reopening shows the current state.
        QTRY_VERIFY(!form.commands().optionsWindow());
        form.controls().Command10->click();
        options = form.commands().optionsWindow();
        QVERIFY(options);
        QVERIFY(options->Option2->isChecked());
        QVERIFY(options->Check1->isChecked());
        QVERIFY(options->Check2->isChecked());
        QCOMPARE(options->Combo1->currentText(), QStringLiteral("Com 10"));
        options->Command2->click();

        // Com 10 gives port 1 at the next start; RTS comes back from the store.
        Form1 next(makeChecksum());
        QCOMPARE(PhoneLinkTestAccess::portNumber(next.commands().link()), 1);
        QVERIFY(next.commands().link().rts());
        QVERIFY(!next.commands().skipFolderCheck());
        QCOMPARE(next.controls().FileList->view(), PhoneFileList::View::Report);
    }

    void optionsCancelKeepsEverything()
    {
        MessageRecorder messages;
        Form1 form(makeChecksum());
        frmOptions *options = changeEveryOption(form, 4);
        QVERIFY(options);
        options->Command2->click();

        QVERIFY(messages.requests.isEmpty());
        QCOMPARE(form.controls().FileList->view(), PhoneFileList::View::Report);
        QVERIFY(!form.commands().skipFolderCheck());
        QVERIFY(!form.commands().link().rts());
        QVERIFY(form.isEnabled());
        QSettings settings = store();
        QVERIFY(!settings.contains(QStringLiteral("options/comport")));
        QVERIFY(!settings.contains(QStringLiteral("options/rts")));

        // The close box gives the main window back as well.
        QTRY_VERIFY(!form.commands().optionsWindow());
        form.controls().Command10->click();
        QVERIFY(!form.isEnabled());
        form.commands().optionsWindow()->close();
        QVERIFY(form.isEnabled());
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
        QVERIFY(ports);
        QVERIFY(ports->isVisible());
        QVERIFY(ports->mappingLabel(1)->text().startsWith(QStringLiteral("/dev/ttyS0")));

        Pty line; // a phone that stays silent
        QVERIFY(!line.slavePath().isEmpty());
        ports->deviceBox(2)->setCurrentText(line.slavePath());
        ports->assignButton(2)->click();
        const QString link = SerialPort::portsFolder() + QStringLiteral("/com2");
        QCOMPARE(QFileInfo(link).symLinkTarget(), line.slavePath());
        QCOMPARE(ports->mappingLabel(2)->text(), line.slavePath());
        QCOMPARE(SerialPort::devicePathForPort(2), link);
        saveScreenshot(ports, QStringLiteral("port-map"));

        // A device that is not there: said in the window, nothing changes.
        ports->deviceBox(2)->setCurrentText(QStringLiteral("/dev/tarvel-no-such-device"));
        ports->assignButton(2)->click();
        QVERIFY(ports->statusLabel()->text().contains(QStringLiteral("/dev/tarvel-no-such-device")));
        QCOMPARE(QFileInfo(link).symLinkTarget(), line.slavePath());

        // A ports folder that cannot be made: reported, no failure.
        const QString folder = SerialPort::portsFolder();
        QDir(folder).removeRecursively();
        {
            QFile blocker(folder);
            QVERIFY(blocker.open(QIODevice::WriteOnly));
        }
        ports->deviceBox(3)->setCurrentText(line.slavePath());
        ports->assignButton(3)->click();
        QVERIFY(!ports->statusLabel()->text().isEmpty());
        QFile::remove(folder);

        ports->deviceBox(3)->setCurrentText(line.slavePath());
        ports->assignButton(3)->click();
        QCOMPARE(ports->mappingLabel(3)->text(), line.slavePath());
        ports->resetButton(3)->click();
        QVERIFY(!QFileInfo(folder + QStringLiteral("/com3")).isSymLink());
        QVERIFY(ports->mappingLabel(3)->text().startsWith(QStringLiteral("/dev/ttyS2")));

        // The options dialog deletes itself on closing, and the port window with it.
        const QPointer<PortMapWindow> portsGuard(ports);
        options->Command2->click();
        QTRY_VERIFY(!portsGuard || !portsGuard->isVisible());
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

        // With the check switched off, every row passes.
        form.commands().setSkipFolderCheck(true);
        opened.clear();
        messages.clear();
        messages.answers = {false};
        for (const char *name : {"photo.gz", "abcd"}) {
            select(form, QString::fromLatin1(name));
            form.commands().copyCommand();
            takeBrowser();
            form.commands().moveCommand();
            takeBrowser();
        }
        select(form, QStringLiteral("abcd"));
        form.commands().deleteCommand();
        QCOMPARE(opened.size(), 4);
        QCOMPARE(messages.requests.size(), 1);
        QVERIFY(messages.requests[0].yesNo);

        // No row selected: nothing to act on.
        form.controls().FileList->reportView()->selectionModel()->clearSelection();
        messages.clear();
        form.commands().copyCommand();
        form.commands().moveCommand();
        form.commands().deleteCommand();
        QVERIFY(messages.requests.isEmpty());
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
        QCOMPARE(browser->windowTitle(), QStringLiteral("PC Browser"));
        QCOMPARE(browser->Command1->text(), QStringLiteral("Ok"));
        QCOMPARE(browser->Command3->text(), QStringLiteral("Ok"));
        QCOMPARE(browser->Command2->text(), QStringLiteral("Отмена"));
        QVERIFY(browser->Command3->isVisible());
        QVERIFY(!browser->Command1->isVisible());
        QVERIFY(browser->Command3->isDefault());

        // The drives: the file-system root, the home folder, then writable volumes.
        const QList<PcDrives::Drive> &drives = browser->drives();
        QCOMPARE(browser->Drive1->count(), drives.size());
        QCOMPARE(drives.value(0).root, QStringLiteral("/"));
        QCOMPARE(drives.value(1).root, QDir::cleanPath(QDir::homePath()));
        for (const PcDrives::Drive &drive : drives) {
            QVERIFY2(QFileInfo(drive.root).isDir(), qPrintable(drive.root));
            for (const char *system : {"/proc", "/sys", "/dev"})
                QVERIFY2(!drive.root.startsWith(QLatin1String(system)), qPrintable(drive.root));
        }
        // It opens on the current folder, on the drive that holds it.
        QCOMPARE(browser->Dir1->path(), start);
        QCOMPARE(browser->Drive1->currentIndex(), PcDrives::driveHolding(drives, start));
        QVERIFY(browser->Dir1->rowOf(start + QStringLiteral("/Alpha")));
        QVERIFY(browser->Dir1->rowOf(start + QStringLiteral("/beta")));
        QVERIFY(!browser->Dir1->rowOf(start + QStringLiteral("/.hidden")));

        // A double-click opens a folder; Enter opens one too and presses no "Ok".
        QTreeWidget *dir = browser->Dir1;
        QTreeWidgetItem *alpha = browser->Dir1->rowOf(start + QStringLiteral("/Alpha"));
        const QPoint onAlpha = dir->visualItemRect(alpha).center();
        QTest::mouseClick(dir->viewport(), Qt::LeftButton, {}, onAlpha);
        QTest::mouseDClick(dir->viewport(), Qt::LeftButton, {}, onAlpha);
        QCOMPARE(browser->Dir1->path(), start + QStringLiteral("/Alpha"));
        dir->setCurrentItem(browser->Dir1->rowOf(start + QStringLiteral("/Alpha/Inner")));
        QTest::keyClick(dir, Qt::Key_Return);
        QCOMPARE(browser->Dir1->path(), start + QStringLiteral("/Alpha/Inner"));
        QVERIFY(browser->isVisible());
        QVERIFY(messages.requests.isEmpty());
        saveScreenshot(browser, QStringLiteral("frmBrow"));

        // Another drive opens on its root; coming back shows the folder left there.
        const int homeDrive = 1;
        const int startDrive = browser->Drive1->currentIndex();
        if (startDrive != homeDrive) {
            emit browser->Drive1->activated(homeDrive);
            QCOMPARE(browser->Dir1->path(), drives[homeDrive].root);
            emit browser->Drive1->activated(startDrive);
            QCOMPARE(browser->Dir1->path(), start + QStringLiteral("/Alpha/Inner"));
        }

        QTest::keyClick(browser, Qt::Key_Escape);
        QTRY_VERIFY(!form.commands().pcBrowser());
        QVERIFY(form.isVisible());

        // A phone name that is no plain file name never becomes a PC path.
        select(form, QStringLiteral("a\\b.bmp"));
        form.commands().copyCommand();
        browser = form.commands().pcBrowser();
        QVERIFY(browser);
        QVERIFY(browser->Command1->isVisible());
        QVERIFY(!browser->Command3->isVisible());
        QVERIFY(browser->Command1->isDefault());
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

    void copyWindow()
    {
        QTemporaryDir dir;
        const QString file = dir.filePath(QStringLiteral("pic.bmp"));
        {
            QFile out(file);
            QVERIFY(out.open(QIODevice::WriteOnly));
            out.write("BM");
        }
        QPointer<frmDrag> window = new frmDrag(file);
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window));
        QCOMPARE(window->windowTitle(), QStringLiteral("Копирование..."));
        QCOMPARE(window->windowFlags() & Qt::WindowType_Mask, Qt::Tool);
        QCOMPARE(window->Label1->text(), QStringLiteral("Перетащите папку в нужную директорию..."));
        QCOMPARE(window->Image1->pixmap().size(), QSize(48, 48));
        QCOMPARE(window->Timer1.interval(), 100);
        QVERIFY(!window->Timer1.isActive());
        saveScreenshot(window, QStringLiteral("frmDrag"));

        // The drag carries the file as a one-entry URL list.
        std::unique_ptr<QMimeData> data(frmDrag::dragData(file));
        QVERIFY(data->hasFormat(QStringLiteral("text/uri-list")));
        QCOMPARE(data->urls(), QList<QUrl>{QUrl::fromLocalFile(file)});

        // A move with the button held starts the drag only after a press on the picture.
        const QPoint centre = window->Image1->rect().center();
        QMouseEvent early(QEvent::MouseMove, centre, window->Image1->mapToGlobal(centre), Qt::NoButton, Qt::LeftButton,
                          Qt::NoModifier);
        QApplication::sendEvent(window->Image1, &early);
        QVERIFY(!window->DragStarted);
        QTest::mousePress(window->Image1, Qt::LeftButton, {}, centre);
        QVERIFY(window->ImageButtonDown);
        const QPoint away = centre + QPoint(20, 20);
        QMouseEvent move(QEvent::MouseMove, away, window->Image1->mapToGlobal(away), Qt::NoButton, Qt::LeftButton,
                         Qt::NoModifier);
        QApplication::sendEvent(window->Image1, &move);
        // Without a desktop the drag ends at once, as a cancelled one does.
        QVERIFY(window->DragStarted);
        auto *drag = window->findChild<QDrag *>();
        QVERIFY(drag);
        QCOMPARE(drag->supportedActions(), Qt::DropActions(Qt::MoveAction));
        QCOMPARE(drag->defaultAction(), Qt::MoveAction);
        QCOMPARE(drag->mimeData()->urls(), QList<QUrl>{QUrl::fromLocalFile(file)});
        QVERIFY(window->Timer1.isActive());
        QTRY_VERIFY(!window);
        QVERIFY(QFile::exists(file));
    }

    void popUpOnPhoneRows()
    {
        Form1 form(makeChecksum());
        form.show();
        QVERIFY(QTest::qWaitForWindowExposed(&form));
        setRows(form, {{QStringLiteral("Bitmap"), 7}, {QStringLiteral("ab.bmp"), 2}});
        select(form, QStringLiteral("ab.bmp"));
        const QPoint onRow =
            form.controls().FileList->reportView()->visualRect(form.controls().FileList->model()->index(1, 0)).center();
        QTest::mouseClick(form.controls().FileList->reportView()->viewport(), Qt::RightButton, {}, onRow);
        QTRY_VERIFY(form.controls().PopUp->isVisible());
        form.controls().PopUp->hide();
    }

    void renameIsRefused()
    {
        MessageRecorder messages;
        Form1 form(makeChecksum());
        form.show();
        QVERIFY(QTest::qWaitForWindowExposed(&form));
        setRows(form, {{QStringLiteral("ab.bmp"), 2}});
        form.controls().FileList->editRow(0);
        auto *editor = form.controls().FileList->reportView()->findChild<QLineEdit *>();
        QVERIFY(editor);
        editor->setText(QStringLiteral("new.bmp"));
        QTest::keyClick(editor, Qt::Key_Return);
        QTRY_COMPARE(messages.requests.size(), 1);
        QCOMPARE(messages.requests[0].icon, QMessageBox::Information);
        QCOMPARE(messages.requests[0].title, QStringLiteral("Tarvel"));
        QCOMPARE(messages.requests[0].text,
                 QStringLiteral("Переименовывать файлы пока нельзя, воспользуйтесь телефоном..."));
        QCOMPARE(form.controls().FileList->rowText(0), QStringLiteral("ab.bmp"));
    }

    void progressWindow()
    {
        Form1 form(makeChecksum());
        form.show();
        WindowEvents &events = form.events();
        QVERIFY(!events.progressWindow());
        events.operationStarted(PhoneOperation::Listing, 0);
        frmProgress *progress = events.progressWindow();
        QVERIFY(progress);
        QVERIFY(progress->isVisible());
        QCOMPARE(progress->windowTitle(), QStringLiteral("PROGRESS"));
        QCOMPARE(progressRows(form), QStringList{QStringLiteral("2:Запрашиваю список файлов...")});
        QCOMPARE(progress->Pr->value(), 1);
        QCOMPARE(progress->Pr->maximum(), 3);
        QVERIFY(progress->Command1->isHidden());
        QCOMPARE(progress->Command1->text(), QStringLiteral("Закрыть"));

        events.packetReceived(PhoneOperation::Listing, 1);
        events.packetReceived(PhoneOperation::Listing, 2);
        QCOMPARE(progress->Pr->value(), 2);
        QCOMPARE(progressRows(form).mid(1),
                 (QStringList{QStringLiteral("2:Получен пакет N1"), QStringLiteral("2:Получен пакет N2")}));
        QCOMPARE(progress->List->currentItem(), progress->List->topLevelItem(2));
        QVERIFY(!progress->List->topLevelItem(0)->icon(0).isNull());
        // A bar maximum below the value shows a full bar instead of failing.
        progress->setValue(6);
        QCOMPARE(progress->Pr->value(), 3);
        QCOMPARE(progress->value(), 6);
        events.operationFinished(PhoneOperation::Listing, 2);
        QVERIFY(!events.progressWindow());

        // A failed connection keeps its rows and shows the button, which gives the
        // main window back; a row without an icon has none.
        events.connectStep(ConnectStep::PortOpened);
        events.connectFailed(ConnectFailure::Bfb, SerialPort::OpenError::None);
        progress = events.progressWindow();
        QVERIFY(progress->Command1->isVisible());
        QCOMPARE(progressRows(form).size(), 3);
        QVERIFY(progress->List->topLevelItem(2)->icon(0).isNull());
        saveScreenshot(progress, QStringLiteral("frmProgress"));
        form.setEnabled(false);
        progress->Command1->click();
        QVERIFY(form.isEnabled());
        QVERIFY(!events.progressWindow());

        // Opened afresh: empty, bar at 1, no button.
        events.operationStarted(PhoneOperation::Download, 0);
        QCOMPARE(events.progressWindow()->List->topLevelItemCount(), 1);
        QCOMPARE(events.progressWindow()->value(), 1);
        QVERIFY(events.progressWindow()->Command1->isHidden());
        QVERIFY(!form.isEnabled());
        events.operationFinished(PhoneOperation::Download, 3);
        QVERIFY(!events.progressWindow());
        QVERIFY(form.isEnabled());
    }

    void aboutBox()
    {
        Form1 form(makeChecksum());
        form.show();
        form.controls().Command11->click();
        form.controls().Command11->click();
        int shown = 0;
        for (QWidget *window : QApplication::topLevelWidgets())
            shown += qobject_cast<Form2 *>(window) && window->isVisible() ? 1 : 0;
        QCOMPARE(shown, 1);
        Form2 *about = form.commands().aboutWindow();
        QVERIFY(about);
        QCOMPARE(about->windowTitle(), QStringLiteral("О программе..."));
        QCOMPARE(about->Label2->text(), QStringLiteral("Tarvel"));
        QCOMPARE(about->Label4->text(), QStringLiteral("Версия: 1.00"));
        QVERIFY(about->Label3->text().contains(QStringLiteral("M50/M55")));
        QVERIFY(!about->Image1->pixmap().isNull());
        QVERIFY(form.isEnabled());
        saveScreenshot(about, QStringLiteral("Form2"));
        about->Command1->click();
        QVERIFY(!about->isVisible());
    }

    void newFolderDialogOpensAndCancels()
    {
        Form1 form(makeChecksum());
        form.show();
        form.controls().Command8->setEnabled(true);
        form.controls().Command8->click();
        auto *dialog = qobject_cast<QDialog *>(QApplication::activeModalWidget());
        Q_UNUSED(dialog);
        QDialog *mkDir = nullptr;
        for (QWidget *window : QApplication::topLevelWidgets())
            if (window->objectName() == QStringLiteral("frmMkDir") && window->isVisible())
                mkDir = qobject_cast<QDialog *>(window);
        QVERIFY(mkDir);
        QVERIFY(!form.isEnabled());
        QCOMPARE(mkDir->windowTitle(), QStringLiteral("Создать папку"));
        QCOMPARE(mkDir->findChild<QLineEdit *>(QStringLiteral("Text1"))->text(), QStringLiteral("NewDir"));
        saveScreenshot(mkDir, QStringLiteral("frmMkDir"));
        auto *dialog2 = qobject_cast<frmMkDir *>(mkDir);
        QVERIFY(dialog2);
        QCOMPARE(dialog2->Label1->text(), QStringLiteral("Введите название для новой папки:"));
        QCOMPARE(dialog2->Text1->palette().color(QPalette::Base), QColor(224, 224, 224));
        QCOMPARE(dialog2->Command1->text(), QStringLiteral("Ok"));
        QCOMPARE(dialog2->Command2->text(), QStringLiteral("Отмена"));
        QVERIFY(dialog2->Command1->isDefault());
        mkDir->findChild<QPushButton *>(QStringLiteral("Command2"))->click();
        QVERIFY(form.isEnabled());

        // Esc and the close box give the main window back as well.
        for (bool escape : {true, false}) {
            form.controls().Command8->click();
            QVERIFY(!form.isEnabled());
            QPointer<frmMkDir> open;
            for (QWidget *window : QApplication::topLevelWidgets())
                if (auto *candidate = qobject_cast<frmMkDir *>(window); candidate && candidate->isVisible())
                    open = candidate;
            QVERIFY(open);
            if (escape)
                QTest::keyClick(open, Qt::Key_Escape);
            else
                open->close();
            QVERIFY(form.isEnabled());
            QTRY_VERIFY(!open);
        }
    }

    void exitClosesTheWindow()
    {
        Form1 form(makeChecksum());
        form.show();
        form.controls().Command11->click();
        QVERIFY(form.commands().aboutWindow());
        form.controls().Command9->click();
        QVERIFY(!form.isVisible());
        QVERIFY(!form.commands().link().isPortOpen());
        QTRY_VERIFY(!form.commands().aboutWindow());
    }
};

QTEST_MAIN(TestWindows)
#include "tst_ui_windows.moc"
