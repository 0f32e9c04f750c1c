// The main window against the emulated phone, over one connection: the root
// listing, browsing, the busy guard, new folder, delete, copy and move to the PC
// through the PC browser, and the drop of a PC file onto the list. The phone's
// flash memory is a folder made here; its log tells what reached the phone, and
// files are compared byte for byte.

#include "uitestsupport.h"

#include "frmbrow.h"
#include "frmmkdir.h"

#include <QApplication>
#include <QDirIterator>
#include <QDropEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMimeData>
#include <QPushButton>
#include <QRegularExpression>
#include <QStandardItemModel>
#include <QTemporaryDir>
#include <QTreeView>

#include <fcntl.h>

#include <sys/stat.h>

using namespace uitest;

namespace {

const QDateTime Modified(QDate(2003, 4, 12), QTime(15, 30, 5));
const QString Parent = QStringLiteral("../          ");

QByteArray contentWithExtremes(int size, quint32 seed)
{
    QByteArray bytes = randomBytes(size, seed);
    bytes[0] = '\0';
    bytes[size - 1] = char(0xFF);
    return bytes;
}

// The root's files in listing order, with their sizes; the folders come first.
const QList<QPair<const char *, int>> RootFiles = {
    {"game.jad", 120}, {"game.jar", 3000}, {"logo.bmx", 700},  {"photo.gz", 2048},
    {"pic.bmp", 1536}, {"tune.mid", 400},  {"Письмо.txt", 10},
};

} // namespace

class TestPhone : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_pc; // the phone's flash memory in root/, PC folders beside it
    PhoneSim m_phone;
    std::unique_ptr<MessageRecorder> m_messages;
    std::unique_ptr<Form1> m_form;
    QHash<QString, QByteArray> m_content;
    QDateTime m_binStagingTime;

    QString phonePath(const QString &relative) const { return m_pc.filePath(QStringLiteral("root/") + relative); }
    QString pcPath(const QString &relative) const { return m_pc.filePath(relative); }
    PhoneFileList *list() const { return m_form->controls().FileList; }
    QString caption() const { return m_form->controls().Capt->text(); }

    // The requests since mark (acknowledgements, responses and continuations left
    // out: the phone logs them when it reads them).
    QStringList requestsSince(qsizetype mark) const
    {
        return m_phone.logLines().mid(mark).filter(QRegularExpression(QStringLiteral("^(?!ACK|RSP|CONTINUE)")));
    }
    qsizetype logMark() const { return m_phone.logLines().size(); }

    void openRow(const QString &text)
    {
        const int row = findRow(list(), text);
        QVERIFY2(row >= 0, qPrintable(text));
        list()->selectRow(row);
        m_form->commands().openSelectedRow();
    }

    // Opens the PC browser for a row with the copy or move button, on folder; null if any step fails.
    frmBrow *openBrowser(const QString &text, bool moving, const QString &folder)
    {
        list()->selectRow(findRow(list(), text));
        (moving ? m_form->controls().Command3 : m_form->controls().Command6)->click();
        frmBrow *browser = m_form->commands().pcBrowser();
        if (!browser || m_form->isVisible() || !browser->Dir1->setPath(folder))
            return nullptr;
        return browser;
    }
    // Presses the browser's copy or move button; true once the main window is back.
    bool confirm(frmBrow *browser, bool moving)
    {
        (moving ? browser->Command3 : browser->Command1)->click();
        return QTest::qWaitFor([&] { return !m_form->commands().pcBrowser() && m_form->isVisible(); }, 3000);
    }

private slots:
    void initTestCase()
    {
        QCOMPARE(WindowLanguage::install(), WindowLanguage::Language::Russian);
        QVERIFY(writeFile(phonePath(QStringLiteral("Misc/readme.txt")), "read me"));
        // A folder Bitmap makes no root of the folder that holds it; a root listing has one.
        for (const char *folder : {"Misc/Bitmap", "Misc/Old", "Bitmap"})
            QVERIFY(QDir().mkpath(phonePath(QString::fromLatin1(folder))));
        quint32 seed = 1;
        for (const auto &[file, size] : RootFiles) {
            const QString name = QString::fromUtf8(file);
            m_content.insert(name, contentWithExtremes(size, seed++));
            QVERIFY(writeFile(phonePath(name), m_content[name]));
            const timespec times[2] = {{Modified.toSecsSinceEpoch(), 0}, {Modified.toSecsSinceEpoch(), 0}};
            QCOMPARE(utimensat(AT_FDCWD, QFile::encodeName(phonePath(name)).constData(), times, 0), 0);
        }
        QVERIFY(QDir().mkpath(pcPath(QStringLiteral("work"))));
        m_binStagingTime = QFileInfo(tarvelBinDir() + QStringLiteral("/temp.tmp")).lastModified();
        QVERIFY(m_phone.start(pcPath(QStringLiteral("root"))));

        m_messages = std::make_unique<MessageRecorder>();
        m_form = std::make_unique<Form1>(makeChecksum());
        // The working files of this run stay in its own folder, not beside the program.
        m_form->commands().setWorkingDirectory(pcPath(QStringLiteral("work")));
        aimAt(*m_form, m_phone.device);
        m_form->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_form.get()));
    }

    void cleanupTestCase()
    {
        m_form->controls().Command9->click();
        QVERIFY(!m_form->isVisible());
        QVERIFY(!lineOf(*m_form).isPortOpen());
        m_form.reset();
        // Nothing of this run beside the program.
        QCOMPARE(QFileInfo(tarvelBinDir() + QStringLiteral("/temp.tmp")).lastModified(), m_binStagingTime);
    }

    void init() { m_messages->clear(); }

    void connectShowsTheRoot()
    {
        QVERIFY(!list()->acceptsFileDrops());
        // A real double-click on "Mobile...": press and release, then the double-click event.
        QTreeView *report = list()->reportView();
        const QPoint onMobile = report->visualRect(list()->model()->index(0, 0)).center();
        QTest::mouseClick(report->viewport(), Qt::LeftButton, {}, onMobile);
        QTest::mouseDClick(report->viewport(), Qt::LeftButton, {}, onMobile);

        QVERIFY2(m_messages->requests.isEmpty(), qPrintable(m_messages->requests.value(0).text));
        QVERIFY2(lineOf(*m_form).linkState() == LinkState::Disable,
                 qPrintable(progressRows(*m_form).join(QLatin1Char('\n'))));
        QVERIFY(list()->acceptsFileDrops());
        QCOMPARE(caption(), QStringLiteral("Mobile:\\Root\\"));
        QStringList rows{QStringLiteral("Bitmap"), QStringLiteral("Misc")};
        for (const auto &file : RootFiles)
            rows << QString::fromUtf8(file.first);
        QCOMPARE(rowTexts(list()), rows);
        const int pic = findRow(list(), QStringLiteral("pic.bmp"));
        QCOMPARE(list()->subItem(pic, PhoneFileList::SizeColumn), QStringLiteral("1536b"));
        QCOMPARE(list()->subItem(pic, PhoneFileList::DateColumn), QStringLiteral("12.04.2003"));
        QCOMPARE(list()->subItem(pic, PhoneFileList::TimeColumn), QStringLiteral("15:30"));
        // The phone's bytes for a Cyrillic name are Windows-1251.
        QCOMPARE(list()->rowNameBytes(findRow(list(), QStringLiteral("Письмо.txt"))),
                 QByteArray("\xCF\xE8\xF1\xFC\xEC\xEE.txt"));

        qint64 used = 0;
        for (QDirIterator files(phonePath({}), QDir::Files, QDirIterator::Subdirectories); files.hasNext();)
            used += QFileInfo(files.next()).size();
        QCOMPARE(m_form->controls().Label3->text(), QStringLiteral("Всего памяти: 1536Kb"));
        QCOMPARE(m_form->controls().Label4->text(),
                 QStringLiteral("Из них свободно: %1Kb").arg((1572864 - used) / 1024));
    }

    // The listing yields to the event loop while it waits for the phone; commands
    // arriving meanwhile must not start a second exchange.
    void commandsWaitForTheRunningExchange()
    {
        // Should a command slip through, its question is answered No so the test ends quickly.
        m_messages->answers = {false, false};
        const qsizetype mark = logMark();
        QVERIFY(whileBusy(
            *m_form,
            [&] {
                m_form->commands().openSelectedRow();
                m_form->commands().deleteCommand();
                m_form->commands().Command1_Click();
                m_form->controls().Command8->click();
            },
            [&] { openRow(QStringLiteral("Misc")); }));
        m_messages->answers.clear();
        QVERIFY(m_messages->requests.isEmpty());
        QCOMPARE(caption(), QStringLiteral("Mobile:\\Root\\Misc\\"));
        QCOMPARE(rowTexts(list()).value(0), Parent);
        // One step down, then the listing.
        QCOMPARE(requestsSince(mark).mid(0, 2),
                 (QStringList{"SETPATH flags=02 name=Misc", "GET type=x-obex/folder-listing"}));
        QCOMPARE(lineOf(*m_form).linkState(), LinkState::Disable);
        QVERIFY(m_form->isEnabled());
    }

    // In Misc, left by the test before.
    void newFolder()
    {
        m_form->controls().Command8->click();
        frmMkDir *dialog = nullptr;
        for (QWidget *window : QApplication::topLevelWidgets()) {
            if (auto *mkDir = qobject_cast<frmMkDir *>(window); mkDir && mkDir->isVisible())
                dialog = mkDir;
        }
        QVERIFY(dialog);
        QPointer<frmMkDir> guard(dialog);

        // Existing entries, compared exactly, and names that cannot be sent: nothing
        // reaches the phone, the dialog stays for another try.
        const qsizetype mark = logMark();
        for (const QString &name : {QStringLiteral("Old"), QStringLiteral("readme.txt"), Parent, QStringLiteral("日記"),
                                    QString(123, u'n')}) {
            dialog->Text1->setText(name);
            dialog->Command1->click();
            QVERIFY(dialog->isVisible());
            QVERIFY(!m_form->isEnabled());
        }
        QCOMPARE(m_messages->requests.size(), 2);
        QCOMPARE(requestsSince(mark), QStringList());

        // A name that differs in case only is sent, in the folder shown; the phone takes
        // it for the folder it has.
        dialog->Text1->setText(QStringLiteral("old"));
        dialog->Command1->click();
        QTRY_VERIFY(!guard);
        QVERIFY(m_form->isEnabled());
        QVERIFY(!QFileInfo::exists(phonePath(QStringLiteral("Misc/old"))));
        QVERIFY(findRow(list(), QStringLiteral("Old")) >= 0);
        QCOMPARE(caption(), QStringLiteral("Mobile:\\Root\\Misc\\"));
        QCOMPARE(requestsSince(mark).value(0), QStringLiteral("SETPATH flags=00 name=old"));
        const qsizetype up = logMark();
        openRow(Parent);
        QCOMPARE(caption(), QStringLiteral("Mobile:\\Root\\"));
        // One step up, then the listing.
        QCOMPARE(requestsSince(up).mid(0, 2), (QStringList{"SETPATH flags=03", "GET type=x-obex/folder-listing"}));
    }

    // A folder-shaped name is warned about first; No sends nothing.
    void deleteAnsweredNoThenYes()
    {
        const qint16 sequence = PhoneSessionTestAccess::bfb(m_form->commands().session()).bfbSequence();
        for (bool yes : {false, true}) {
            m_messages->clear();
            m_messages->answers = {true, yes}; // the folder warning, then the question
            list()->selectRow(findRow(list(), QStringLiteral("photo.gz")));
            m_form->controls().Command7->click();
            QCOMPARE(m_messages->requests.size(), 2);
            QVERIFY(m_messages->requests[1].text.contains(QStringLiteral("'photo.gz'")));
            QCOMPARE(QFile::exists(phonePath(QStringLiteral("photo.gz"))), !yes);
            QCOMPARE(findRow(list(), QStringLiteral("photo.gz")) >= 0, !yes);
            if (!yes)
                QCOMPARE(PhoneSessionTestAccess::bfb(m_form->commands().session()).bfbSequence(), sequence);
        }
        QCOMPARE(caption(), QStringLiteral("Mobile:\\Root\\"));
    }

    // Copy and move to a PC folder. When the phone does not deliver the file (gone
    // behind its back), the PC cannot take it or the user keeps the PC file that is
    // there, nothing usable is written and the phone keeps the file. The download
    // always comes first.
    void copyAndMove_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("moving");
        QTest::addColumn<QString>("fault");
        QTest::addColumn<QString>("message"); // <folder> stands for the destination
        const QString notWritten =
            QStringLiteral("Не удалось записать файл '<folder>/game.jad': %1. Файл в телефоне не удалён.");
        QTest::newRow("copy") << "pic.bmp" << false << QString() << QString();
        QTest::newRow("copy, Cyrillic name") << "Письмо.txt" << false << QString() << QString();
        QTest::newRow("move") << "tune.mid" << true << QString() << QString();
        const QString replace = QStringLiteral("Файл 'logo.bmx' уже существует. Заменить его?");
        QTest::newRow("copy over a file, kept") << "logo.bmx" << false << "exists, no" << replace;
        QTest::newRow("copy over a file, replaced") << "logo.bmx" << false << "exists, yes" << replace;
        QTest::newRow("copy, gone") << "game.jar" << false << "gone"
                                    << "Телефон не отдал файл 'game.jar'! Файл не скопирован.";
        QTest::newRow("move, gone") << "game.jar" << true << "gone"
                                    << "Телефон не отдал файл 'game.jar'! Файл не перемещён и остался в телефоне.";
        // Each reason the PC gives: tst_localfiles.
        QTest::newRow("move, folder removed") << "game.jad" << true << "removed" << notWritten.arg("папка не найдена");
    }
    void copyAndMove()
    {
        QFETCH(QString, name);
        QFETCH(bool, moving);
        QFETCH(QString, fault);
        QFETCH(QString, message);
        const QString folder = pcPath(QStringLiteral("to/") + QLatin1String(QTest::currentDataTag()));
        const QString target = folder + u'/' + name;
        QVERIFY(QDir().mkpath(folder));
        const QByteArray before = fault == QLatin1String("gone") ? QByteArray("earlier") : QByteArray(6000, 'o');
        if (fault == QLatin1String("gone") || fault.startsWith(QLatin1String("exists")))
            QVERIFY(writeFile(target, before));
        if (fault == QLatin1String("gone"))
            QVERIFY(QFile::rename(phonePath(name), pcPath(QStringLiteral("aside"))));
        if (fault.startsWith(QLatin1String("exists")))
            m_messages->answers = {fault.endsWith(QLatin1String("yes"))};
        frmBrow *browser = openBrowser(name, moving, folder);
        QVERIFY(browser);
        if (fault == QLatin1String("removed"))
            QVERIFY(QDir(folder).removeRecursively());
        const qsizetype mark = logMark();
        QVERIFY(confirm(browser, moving));
        if (fault == QLatin1String("gone"))
            QVERIFY(QFile::rename(pcPath(QStringLiteral("aside")), phonePath(name)));

        QCOMPARE(m_messages->requests.size(), message.isEmpty() ? 0 : 1);
        QCOMPARE(m_messages->requests.value(0).text, message.replace(QStringLiteral("<folder>"), folder));
        const QStringList requests = requestsSince(mark);
        QVERIFY(requests.contains(QStringLiteral("GET name=") + name));
        const bool moved = moving && message.isEmpty();
        QCOMPARE(QFile::exists(phonePath(name)), !moved);
        QCOMPARE(findRow(list(), name) >= 0, !moved);
        QCOMPARE(requests.filter(QRegularExpression(QStringLiteral("^DELETE"))).isEmpty(), !moved);
        // The PC file, whole, and no unfinished files beside it.
        const bool written = fault.isEmpty() || fault == QLatin1String("exists, yes");
        const bool fileThere = fault != QLatin1String("removed");
        QCOMPARE(QDir(folder).entryList(QDir::Files | QDir::Hidden), fileThere ? QStringList{name} : QStringList());
        if (fileThere)
            QCOMPARE(readFile(target), written ? m_content[name] : before);
        if (written)
            QCOMPARE(QFileInfo(target).permissions() & QFile::ReadOther,
                     QFileInfo(folder).permissions() & QFile::ReadOther);
        if (moved) {
            const qsizetype del = requests.indexOf(QStringLiteral("DELETE name=") + name);
            QVERIFY(del > requests.indexOf(QStringLiteral("GET name=") + name));
            QCOMPARE(requests.value(del + 1), QStringLiteral("GET type=x-obex/folder-listing"));
        }
    }

    void dropOneFile()
    {
        const QString source = pcPath(QStringLiteral("upload/drop.txt"));
        const QByteArray bytes = contentWithExtremes(1200, 99);
        QVERIFY(writeFile(source, bytes));
        // A drop of the file's URL, as the desktop delivers it.
        QMimeData data;
        data.setUrls({QUrl::fromLocalFile(source)});
        QWidget *viewport = list()->reportView()->viewport();
        const QPoint at = viewport->rect().center();
        QDragEnterEvent enter(at, Qt::CopyAction, &data, Qt::NoButton, Qt::NoModifier);
        QApplication::sendEvent(viewport, &enter);
        QVERIFY(enter.isAccepted());
        QDropEvent drop(QPointF(at), Qt::CopyAction, &data, Qt::NoButton, Qt::NoModifier);
        QApplication::sendEvent(viewport, &drop);
        QTRY_VERIFY(findRow(list(), QStringLiteral("drop.txt")) >= 0);
        QVERIFY2(m_messages->requests.isEmpty(), qPrintable(m_messages->requests.value(0).text));
        QCOMPARE(readFile(phonePath(QStringLiteral("drop.txt"))), bytes);
        QVERIFY(!QFile::exists(pcPath(QStringLiteral("work/temp.tmp"))));
        QVERIFY(m_form->isEnabled());

        // More than one file, or no file at all: a message and nothing sent.
        const qsizetype mark = logMark();
        m_form->commands().filesDropped({source, source});
        m_form->commands().filesDropped({pcPath(QStringLiteral("upload"))});
        QCOMPARE(m_messages->requests.size(), 2);
        QCOMPARE(m_messages->requests[0].text,
                 QStringLiteral("Сейчас можно копировать только 1 файл за одну операцию!!!"));
        QCOMPARE(m_messages->requests[1].text, QStringLiteral("Нет такого файла!!!"));
        QCOMPARE(requestsSince(mark), QStringList());

        // The phone appends to a name it holds, in any letter case: a drop of such a
        // name, asked nothing, leaves the new bytes alone under it.
        m_messages->clear();
        const QString again = pcPath(QStringLiteral("upload/DROP.TXT"));
        QVERIFY(writeFile(again, "new bytes"));
        m_form->commands().filesDropped({again});
        QTRY_VERIFY(findRow(list(), QStringLiteral("DROP.TXT")) >= 0);
        QVERIFY(m_messages->requests.isEmpty());
        QCOMPARE(readFile(phonePath(QStringLiteral("DROP.TXT"))), QByteArray("new bytes"));
        QVERIFY(!QFile::exists(phonePath(QStringLiteral("drop.txt"))));
        QCOMPARE(QDir(phonePath(QString())).entryList(QDir::Files | QDir::Hidden).filter(QStringLiteral(".~")),
                 QStringList());
    }

    // A phone that refuses to move gets a delete, then the upload; when that upload
    // fails (no room for the new file), the window says that the old file is gone.
    void dropOnAPhoneThatRefusesMoves()
    {
        const QString flash = pcPath(QStringLiteral("refusing"));
        QVERIFY(writeFile(flash + QStringLiteral("/a.txt"), "old"));
        PhoneSim phone;
        QVERIFY(phone.start(flash, {"--refuse-move", "C3", "--memory", "4000"}));
        Form1 form(makeChecksum());
        form.commands().setWorkingDirectory(pcPath(QStringLiteral("work")));
        aimAt(form, phone.device);
        form.show();
        doubleClickMobile(form);
        QVERIFY(form.controls().FileList->acceptsFileDrops());

        QVERIFY(writeFile(pcPath(QStringLiteral("small/a.txt")), "new"));
        form.commands().filesDropped({pcPath(QStringLiteral("small/a.txt"))});
        QCOMPARE(readFile(flash + QStringLiteral("/a.txt")), QByteArray("new"));
        QVERIFY(m_messages->requests.isEmpty());

        QVERIFY(writeFile(pcPath(QStringLiteral("large/a.txt")), QByteArray(5000, 'x')));
        form.commands().filesDropped({pcPath(QStringLiteral("large/a.txt"))});
        QCOMPARE(m_messages->requests.size(), 1);
        QCOMPARE(m_messages->requests[0].text,
                 QStringLiteral("Старый файл удалён, а новый не записан! Скопируйте файл ещё раз."));
        QVERIFY(!QFile::exists(flash + QStringLiteral("/a.txt")));
        form.controls().Command9->click();
    }
};

QTEST_MAIN(TestPhone)
#include "tst_ui_phone.moc"
