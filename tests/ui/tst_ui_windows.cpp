// The windows without a phone: start without the checksum component, options and
// the settings store, the port mapping, the folder test and its refusals,
// unsafe names from the phone, the rename refusal and the progress bar.

#include "uitestsupport.h"

#include "frmbrow.h"
#include "frmoptions.h"
#include "portmapwindow.h"
#include "startup.h"
#include "storedsettings.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QTemporaryDir>
#include <QTreeView>

using namespace uitest;

class TestWindows : public QObject
{
    Q_OBJECT

private:
    static void select(Form1 &form, const QString &text)
    {
        form.controls().FileList->selectRow(findRow(form.controls().FileList, text));
    }

private slots:
    void initTestCase() { QCOMPARE(WindowLanguage::install(), WindowLanguage::Language::Russian); }
    void init() { QFile::remove(StoredSettings::fileName()); }

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
        QVERIFY(messages.requests[0].text.contains(QStringLiteral("libsumlet.so: no copy found")));
        QVERIFY(createMainWindow([](QString *) { return makeChecksum(); }));
    }

    // View, folder check and RTS apply at once; the port only at the next start.
    void optionsOkAppliesAndStores()
    {
        MessageRecorder messages;
        Form1 form(makeChecksum());
        form.show();
        form.controls().Command10->click();
        frmOptions *options = form.commands().optionsWindow();
        QVERIFY(options);
        options->Option2->setChecked(true);
        options->Check1->setChecked(true);
        options->Check2->setChecked(true);
        options->Combo1->setCurrentIndex(9);
        emit options->Combo1->activated(9);
        options->Command1->click();

        QCOMPARE(messages.requests.size(), 1); // the restart message
        QCOMPARE(form.controls().FileList->view(), PhoneFileList::View::LargeIcons);
        QVERIFY(form.commands().skipFolderCheck());
        QVERIFY(lineOf(form).rts());
        QCOMPARE(LinkTestAccess::portNumber(lineOf(form)), 1); // until the next start
        QCOMPARE(StoredSettings::comport(), QStringLiteral("Com 10"));
        QCOMPARE(StoredSettings::rts(), QStringLiteral(" 1"));

        // RTS comes back from the store at the next start.
        Form1 next(makeChecksum());
        QVERIFY(lineOf(next).rts());
    }

    void portMapping()
    {
        Pty line;
        QString error;
        QVERIFY(PortMapWindow::assign(2, line.slavePath(), &error));
        const QString link = SerialPort::portsFolder() + QStringLiteral("/com2");
        QCOMPARE(QFileInfo(link).symLinkTarget(), line.slavePath());
        // A device that is not there: said, nothing changes.
        QVERIFY(!PortMapWindow::assign(2, QStringLiteral("/dev/tarvel-no-such-device"), &error));
        QVERIFY(error.contains(QStringLiteral("/dev/tarvel-no-such-device")));
        QCOMPARE(QFileInfo(link).symLinkTarget(), line.slavePath());
        QVERIFY(PortMapWindow::unassign(2, &error));
        QVERIFY(!QFileInfo(link).isSymLink());
        // A ports folder that cannot be made: reported, no failure.
        QDir(SerialPort::portsFolder()).removeRecursively();
        QVERIFY(writeFile(SerialPort::portsFolder(), {}));
        error.clear();
        QVERIFY(!PortMapWindow::assign(3, line.slavePath(), &error));
        QVERIFY(!error.isEmpty());
        QFile::remove(SerialPort::portsFolder());
    }

    // A row counts as a file only with a dot fourth from the end; folders are refused.
    void folderTestMessages()
    {
        MessageRecorder messages;
        Form1 form(makeChecksum());
        setRows(form, {"Bitmap", "abcd", "a.bm", "photo.gz", "ab.bmp"});
        const QString copyRefusal = QStringLiteral("Каталоги пока не копируются, копируйте по файлам!!!");
        const QString moveShort = QStringLiteral("Каталоги пока не перемещаются, копируйте по файлам!!!");
        const QString moveNoDot = QStringLiteral("Каталоги пока не перемещаются, перемещайте по файлам!!!");
        const auto copy = &PhoneController::copyCommand;
        const auto move = &PhoneController::moveCommand;
        const QList<std::tuple<const char *, void (PhoneController::*)(), QString>> refusals{
            {"Bitmap", copy, copyRefusal},   {"abcd", copy, copyRefusal},   {"a.bm", copy, copyRefusal},
            {"photo.gz", copy, copyRefusal}, {"abcd", move, moveShort},     {"a.bm", move, moveShort},
            {"Bitmap", move, moveNoDot},     {"photo.gz", move, moveNoDot}, {"ab.bmp", copy, QString()},
            {"ab.bmp", move, QString()}};
        for (const auto &[name, command, text] : refusals) {
            messages.clear();
            select(form, QString::fromLatin1(name));
            (form.commands().*command)();
            // A file opens the PC browser instead.
            QCOMPARE(bool(form.commands().pcBrowser()), text.isEmpty());
            if (frmBrow *browser = form.commands().pcBrowser()) {
                browser->Command2->click();
                QTRY_VERIFY(!form.commands().pcBrowser());
            }
            QCOMPARE(messages.requests.size(), text.isEmpty() ? 0 : 1);
            QCOMPARE(messages.requests.value(0).text, text);
        }
    }

    void unsafePhoneName()
    {
        MessageRecorder messages;
        Form1 form(makeChecksum());
        form.show();
        setRows(form, {"a\\b.bmp"});
        QTemporaryDir pc;
        // A phone name that is no plain file name never becomes a PC path.
        select(form, QStringLiteral("a\\b.bmp"));
        form.commands().copyCommand();
        frmBrow *browser = form.commands().pcBrowser();
        QVERIFY(browser && browser->Dir1->setPath(pc.path()));
        browser->Command1->click();
        QCOMPARE(messages.requests.size(), 1);
        QCOMPARE(messages.requests[0].icon, QMessageBox::Warning);
        QCOMPARE(PhoneSessionTestAccess::bfb(form.commands().session()).bfbSequence(), qint16(1));
        QTRY_VERIFY(!form.commands().pcBrowser());
        QVERIFY(form.isVisible());
        QCOMPARE(QDir(pc.path()).entryList(QDir::Files | QDir::Hidden), QStringList());
    }

    void renameIsRefused()
    {
        MessageRecorder messages;
        Form1 form(makeChecksum());
        form.show();
        setRows(form, {"ab.bmp"});
        form.controls().FileList->editRow(0);
        auto *editor = form.controls().FileList->reportView()->findChild<QLineEdit *>();
        QVERIFY(editor);
        editor->setText(QStringLiteral("new.bmp"));
        QTest::keyClick(editor, Qt::Key_Return);
        QTRY_COMPARE(messages.requests.size(), 1);
        QCOMPARE(form.controls().FileList->rowText(0), QStringLiteral("ab.bmp"));
    }

    // A bar maximum below the value shows a full bar instead of failing. (The texts of the
    // events are the translation test's: a changed text has no English.)
    void progressPastItsMaximum()
    {
        Form1 form(makeChecksum());
        form.show();
        WindowEvents &events = form.events();
        events.operationStarted(PhoneOperation::Listing, 0);
        events.packetReceived(PhoneOperation::Listing, 1);
        events.progressWindow()->setValue(6);
        QCOMPARE(events.progressWindow()->Pr->value(), events.progressWindow()->Pr->maximum());
    }
};

QTEST_MAIN(TestWindows)
#include "tst_ui_windows.moc"
