// File transfers in the window against the emulated phone, over one connection:
// the new-folder dialog, copy and move to the PC through the PC browser, and the
// drop of a PC file onto the list. The phone's log tells what reached it; files are
// compared byte for byte.

#include "uitestsupport.h"

#include "frmbrow.h"
#include "frmmkdir.h"

#include <QApplication>
#include <QComboBox>
#include <QDropEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMimeData>
#include <QPushButton>
#include <QRandomGenerator>
#include <QTemporaryDir>

using namespace uitest;

namespace {

QByteArray contentWithExtremes(int size, quint32 seed)
{
    QRandomGenerator generator(seed);
    QByteArray bytes(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        bytes[i] = char(generator.bounded(256));
    // Both extremes somewhere in every file.
    if (size >= 2) {
        bytes[0] = '\0';
        bytes[size - 1] = char(0xFF);
    }
    return bytes;
}

// Files on the phone at the start, by name.
const QList<QPair<const char *, int>> PhoneFilesAtStart = {
    {"pic.bmp", 1536},  {"song.mid", 5000}, {"photo.bmp", 2000}, {"gone.bmp", 700},
    {"tune.mid", 3000}, {"lost.bmp", 800},  {"keep.bmp", 1200},  {"Письмо.txt", 10},
};

} // namespace

class TestTransfers : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_root; // the phone's flash memory
    QTemporaryDir m_pc; // PC folders: destinations, sources, the working folder
    QString m_log;
    std::unique_ptr<PhoneSim> m_phone;
    std::unique_ptr<MessageRecorder> m_messages;
    std::unique_ptr<Form1> m_form;
    QHash<QString, QByteArray> m_content;
    QDateTime m_binStagingTime;

    QString phonePath(const QString &relative) const { return m_root.filePath(relative); }
    QString pcPath(const QString &relative) const { return m_pc.filePath(relative); }

    static frmMkDir *shownNewFolderDialog()
    {
        for (QWidget *window : QApplication::topLevelWidgets()) {
            if (auto *mkDir = qobject_cast<frmMkDir *>(window); mkDir && mkDir->isVisible())
                return mkDir;
        }
        return nullptr;
    }
    QStringList log() const
    {
        QFile file(m_log);
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()).split(u'\n', Qt::SkipEmptyParts)
                                              : QStringList();
    }
    int logMark() const { return int(log().size()); }
    QStringList logSince(int mark) const { return log().mid(mark); }
    // The requests of the log since mark (CONTINUE, ACK and responses left out: the
    // phone logs the acknowledgement of an exchange when it reads it, which may be
    // after the program has gone on).
    QStringList requestsSince(int mark) const
    {
        QStringList requests;
        for (const QString &line : logSince(mark)) {
            if (!line.startsWith(QLatin1String("ACK")) && !line.startsWith(QLatin1String("RSP"))
                && !line.startsWith(QLatin1String("CONTINUE")))
                requests << line;
        }
        return requests;
    }
    static bool anyStartsWith(const QStringList &lines, const QString &prefix)
    {
        return std::any_of(lines.cbegin(), lines.cend(), [&](const QString &l) { return l.startsWith(prefix); });
    }

    void select(const QString &text)
    {
        const int row = findRow(m_form->controls().FileList, text);
        QVERIFY2(row >= 0, qPrintable(text));
        m_form->controls().FileList->selectRow(row);
    }
    void openRow(const QString &text)
    {
        select(text);
        m_form->commands().openSelectedRow();
    }

    // Opens the PC browser for a row with the main window's copy or move button,
    // then the file-system root's drive and the folder; null if any step fails.
    frmBrow *openBrowser(const QString &text, bool moving, const QString &folder)
    {
        const int row = findRow(m_form->controls().FileList, text);
        if (row < 0)
            return nullptr;
        m_form->controls().FileList->selectRow(row);
        (moving ? m_form->controls().Command3 : m_form->controls().Command6)->click();
        frmBrow *browser = m_form->commands().pcBrowser();
        if (!browser || !browser->isVisible() || m_form->isVisible()
            || browser->mode() != (moving ? frmBrow::Mode::Move : frmBrow::Mode::Copy))
            return nullptr;
        emit browser->Drive1->activated(0);
        if (!browser->Dir1->setPath(folder) || browser->Dir1->path() != QDir::cleanPath(folder))
            return nullptr;
        return browser;
    }
    // The window is back once the dialog has closed, by whatever path.
    bool browserClosed()
    {
        return QTest::qWaitFor([&] { return !m_form->commands().pcBrowser() && m_form->isVisible(); }, 3000);
    }

    QWidget *listViewport() const { return m_form->controls().FileList->reportView()->viewport(); }
    // A drop of URLs onto the list, as the desktop delivers it; true when taken.
    bool dropUrls(const QList<QUrl> &urls)
    {
        QMimeData data;
        data.setUrls(urls);
        QWidget *viewport = listViewport();
        const QPoint at = viewport->rect().center();
        QDragEnterEvent enter(at, Qt::CopyAction | Qt::MoveAction, &data, Qt::NoButton, Qt::NoModifier);
        QApplication::sendEvent(viewport, &enter);
        if (!enter.isAccepted())
            return false;
        QDropEvent drop(QPointF(at), Qt::CopyAction | Qt::MoveAction, &data, Qt::NoButton, Qt::NoModifier);
        QApplication::sendEvent(viewport, &drop);
        return drop.isAccepted();
    }

private slots:
    void initTestCase()
    {
        QCOMPARE(WindowLanguage::install(), WindowLanguage::Language::Russian);
        QVERIFY(m_root.isValid());
        QVERIFY(m_pc.isValid());
        quint32 seed = 1;
        for (const auto &file : PhoneFilesAtStart) {
            const QString name = QString::fromUtf8(file.first);
            m_content.insert(name, contentWithExtremes(file.second, seed++));
            QVERIFY(writeFile(phonePath(name), m_content[name]));
        }
        QVERIFY(QDir().mkpath(phonePath(QStringLiteral("Misc/Old"))));
        QVERIFY(writeFile(phonePath(QStringLiteral("Misc/readme.txt")), "read me"));
        QVERIFY(QDir().mkpath(pcPath(QStringLiteral("work"))));
        m_binStagingTime = QFileInfo(tarvelBinDir() + QStringLiteral("/temp.tmp")).lastModified();

        m_log = pcPath(QStringLiteral("phone.log"));
        m_phone = std::make_unique<PhoneSim>(
            QStringList{QStringLiteral("--root"), m_root.path(), QStringLiteral("--log"), m_log});
        QVERIFY2(m_phone->running(), qPrintable(m_phone->errors()));
        QVERIFY(mapPort(1, m_phone->device));

        m_messages = std::make_unique<MessageRecorder>();
        m_form = std::make_unique<Form1>(makeChecksum());
        // The working files of this run stay in its own folder, not beside the program.
        m_form->commands().setWorkingDirectory(pcPath(QStringLiteral("work")));
        m_form->commands().link().setPauseScale(0.3);
        m_form->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_form.get()));
        QVERIFY(!m_form->controls().FileList->acceptsFileDrops());
        m_form->commands().Command1_Click();
        QVERIFY2(m_messages->requests.isEmpty(), qPrintable(m_messages->requests.value(0).text));
        QCOMPARE(m_form->controls().Capt->text(), QStringLiteral("Mobile:\\Root\\"));
        QVERIFY(!m_form->commands().dragOutActive());
        QVERIFY(m_form->controls().FileList->acceptsFileDrops());
    }

    void cleanupTestCase()
    {
        m_form.reset();
        m_messages.reset();
        m_phone.reset();
        // Nothing of this run beside the program.
        QVERIFY(!QFileInfo::exists(tarvelBinDir() + QStringLiteral("/TempDir/pic.bmp")));
        QCOMPARE(QFileInfo(tarvelBinDir() + QStringLiteral("/temp.tmp")).lastModified(), m_binStagingTime);
    }

    void init() { m_messages->clear(); }

    void newFolder()
    {
        openRow(QStringLiteral("Misc"));
        QCOMPARE(m_form->controls().Capt->text(), QStringLiteral("Mobile:\\Root\\Misc\\"));
        m_form->controls().Command8->click();
        QVERIFY(!m_form->isEnabled());
        frmMkDir *dialog = shownNewFolderDialog();
        QVERIFY(dialog);
        QPointer<frmMkDir> guard(dialog);

        // Existing entries, compared exactly: nothing reaches the phone, the dialog stays.
        int mark = logMark();
        for (const char *name : {"Old", "readme.txt", "../          "}) {
            dialog->Text1->setText(QString::fromLatin1(name));
            dialog->Command1->click();
            QVERIFY(dialog->isVisible());
        }
        QCOMPARE(requestsSince(mark), QStringList());
        QVERIFY(m_messages->requests.isEmpty());

        // Names that cannot be sent are refused with a message; the dialog stays for another try.
        for (const QString &name : QStringList{QStringLiteral("日記"), QString(123, u'n')}) {
            dialog->Text1->setText(name);
            dialog->Command1->click();
            QVERIFY(dialog->isVisible());
            QVERIFY(!m_form->isEnabled());
        }
        QCOMPARE(m_messages->requests.size(), 2);
        QCOMPARE(m_messages->requests[0].text,
                 QStringLiteral("В имени есть символы, которые телефон не понимает! Переименуйте файл или папку."));
        QCOMPARE(m_messages->requests[1].text,
                 QStringLiteral("Слишком длинное имя папки! Допустимо не более 122 символов."));
        QCOMPARE(requestsSince(mark), QStringList());
        m_messages->clear();

        // A name that differs in case only is made, in the folder shown.
        dialog->Text1->setText(QStringLiteral("old"));
        dialog->Command1->click();
        QTRY_VERIFY(!guard);
        QVERIFY(m_form->isEnabled());
        QVERIFY(QFileInfo(phonePath(QStringLiteral("Misc/old"))).isDir());
        QVERIFY(findRow(m_form->controls().FileList, QStringLiteral("old")) >= 0);
        QVERIFY(findRow(m_form->controls().FileList, QStringLiteral("Old")) >= 0);
        QCOMPARE(m_form->controls().Capt->text(), QStringLiteral("Mobile:\\Root\\Misc\\"));
        QCOMPARE(m_form->commands().files().PathStack(), (QList<QByteArray>{"Root", "Misc"}));
        QCOMPARE(requestsSince(mark).value(0), QStringLiteral("SETPATH flags=00 name=old"));
        openRow(QStringLiteral("../          "));
        QCOMPARE(m_form->controls().Capt->text(), QStringLiteral("Mobile:\\Root\\"));
    }

    void copyToPcFolder()
    {
        const QString folder = pcPath(QStringLiteral("copies"));
        QVERIFY(QDir().mkpath(folder + QStringLiteral("/sub")));
        for (const QString &name : QStringList{QStringLiteral("song.mid"), QStringLiteral("Письмо.txt")}) {
            frmBrow *browser = openBrowser(name, false, folder);
            QVERIFY(browser);
            const int mark = logMark();
            browser->Command1->click();
            QVERIFY(browserClosed());
            QVERIFY2(m_messages->requests.isEmpty(), qPrintable(m_messages->requests.value(0).text));
            QCOMPARE(readFile(folder + u'/' + name), m_content[name]);
            QVERIFY(QFile::exists(phonePath(name)));
            QVERIFY(!anyStartsWith(requestsSince(mark), QStringLiteral("DELETE")));
            QCOMPARE(m_form->commands().transferList(), QStringList{name});
        }
        QCOMPARE(QFileInfo(folder + QStringLiteral("/song.mid")).permissions() & QFile::ReadOther,
                 QFileInfo(folder + QStringLiteral("/sub")).permissions() & QFile::ReadOther);
        // No unfinished files left beside the copies.
        QCOMPARE(QDir(folder).entryList(QDir::Files | QDir::Hidden).size(), 2);
    }

    void replaceAnsweredNoThenYes()
    {
        const QString folder = pcPath(QStringLiteral("replace"));
        QVERIFY(QDir().mkpath(folder));
        const QString target = folder + QStringLiteral("/photo.bmp");
        const QByteArray old(6000, 'o'); // longer than the phone's file
        QVERIFY(writeFile(target, old));

        frmBrow *browser = openBrowser(QStringLiteral("photo.bmp"), false, folder);
        QVERIFY(browser);
        m_messages->answers = {false};
        int mark = logMark();
        browser->Command1->click();
        QVERIFY(browserClosed());
        QCOMPARE(m_messages->requests.size(), 1);
        const MessageBoxes::Request question = m_messages->requests[0];
        QCOMPARE(question.icon, QMessageBox::Question);
        QVERIFY(question.yesNo);
        QCOMPARE(question.title, QStringLiteral("Подтверждение..."));
        QCOMPARE(question.text, QStringLiteral("Файл 'photo.bmp' уже существует. Заменить его?"));
        // The download came first and is dropped.
        QVERIFY(requestsSince(mark).contains(QStringLiteral("GET name=photo.bmp")));
        QCOMPARE(readFile(target), old);

        m_messages->clear();
        browser = openBrowser(QStringLiteral("photo.bmp"), false, folder);
        QVERIFY(browser);
        browser->Command1->click();
        QVERIFY(browserClosed());
        QCOMPARE(m_messages->requests.size(), 1);
        QCOMPARE(readFile(target), m_content[QStringLiteral("photo.bmp")]);
        QCOMPARE(QDir(folder).entryList(QDir::Files | QDir::Hidden), QStringList{QStringLiteral("photo.bmp")});
    }

    // The phone does not deliver the file (gone behind its back): the PC file stays, and a
    // move deletes nothing on the phone.
    void downloadFails_data()
    {
        QTest::addColumn<bool>("moving");
        QTest::addColumn<QString>("text");
        QTest::newRow("copy") << false << QStringLiteral("Телефон не отдал файл 'gone.bmp'! Файл не скопирован.");
        QTest::newRow("move") << true
                              << QStringLiteral(
                                     "Телефон не отдал файл 'gone.bmp'! Файл не перемещён и остался в телефоне.");
    }
    void downloadFails()
    {
        QFETCH(bool, moving);
        QFETCH(QString, text);
        const QString folder = pcPath(moving ? QStringLiteral("failed-move") : QStringLiteral("failed-copy"));
        QVERIFY(QDir().mkpath(folder));
        const QString target = folder + QStringLiteral("/gone.bmp");
        QVERIFY(writeFile(target, "earlier"));
        const QString aside = pcPath(QStringLiteral("gone.bmp.aside"));
        QVERIFY(QFile::rename(phonePath(QStringLiteral("gone.bmp")), aside));
        frmBrow *browser = openBrowser(QStringLiteral("gone.bmp"), moving, folder);
        QVERIFY(browser);
        const int mark = logMark();
        (moving ? browser->Command3 : browser->Command1)->click();
        QVERIFY(browserClosed());
        QVERIFY(QFile::rename(aside, phonePath(QStringLiteral("gone.bmp"))));
        QVERIFY(anyStartsWith(logSince(mark), QStringLiteral("RSP code=C4")));
        QVERIFY(!anyStartsWith(requestsSince(mark), QStringLiteral("DELETE")));
        QCOMPARE(m_messages->requests.size(), 1);
        QCOMPARE(m_messages->requests[0].icon, QMessageBox::Warning);
        QCOMPARE(m_messages->requests[0].text, text);
        QCOMPARE(readFile(target), QByteArray("earlier"));
        QCOMPARE(QDir(folder).entryList(QDir::Files | QDir::Hidden), QStringList{QStringLiteral("gone.bmp")});
        QVERIFY(findRow(m_form->controls().FileList, QStringLiteral("gone.bmp")) >= 0);
    }

    void moveToPcFolder()
    {
        const QString folder = pcPath(QStringLiteral("moved"));
        QVERIFY(QDir().mkpath(folder));
        frmBrow *browser = openBrowser(QStringLiteral("tune.mid"), true, folder);
        QVERIFY(browser);
        const int mark = logMark();
        browser->Command3->click();
        QVERIFY(browserClosed());
        QVERIFY2(m_messages->requests.isEmpty(), qPrintable(m_messages->requests.value(0).text));
        QCOMPARE(readFile(folder + QStringLiteral("/tune.mid")), m_content[QStringLiteral("tune.mid")]);
        QVERIFY(!QFile::exists(phonePath(QStringLiteral("tune.mid"))));
        QCOMPARE(findRow(m_form->controls().FileList, QStringLiteral("tune.mid")), -1);
        const QStringList requests = requestsSince(mark);
        const int get = int(requests.indexOf(QStringLiteral("GET name=tune.mid")));
        const int del = int(requests.indexOf(QStringLiteral("DELETE name=tune.mid")));
        QVERIFY(get >= 0);
        QVERIFY(del > get);
        QCOMPARE(requests.value(del + 1), QStringLiteral("GET type=x-obex/folder-listing"));
    }

    // The PC cannot take the file: nothing usable is written and the phone keeps it.
    void moveWhoseWriteFails_data()
    {
        QTest::addColumn<QString>("blocker");
        QTest::addColumn<QString>("reason");
        QTest::newRow("folder removed") << QStringLiteral("removed") << QStringLiteral("папка не найдена");
        QTest::newRow("a folder of that name")
            << QStringLiteral("folder") << QStringLiteral("на этом месте уже есть папка с таким именем");
    }
    void moveWhoseWriteFails()
    {
        QFETCH(QString, blocker);
        QFETCH(QString, reason);
        const QString folder = pcPath(QStringLiteral("blocked-") + blocker);
        QVERIFY(QDir().mkpath(folder));
        if (blocker == QLatin1String("folder"))
            QVERIFY(QDir().mkpath(folder + QStringLiteral("/keep.bmp/inside")));
        frmBrow *browser = openBrowser(QStringLiteral("keep.bmp"), true, folder);
        QVERIFY(browser);
        if (blocker == QLatin1String("removed"))
            QVERIFY(QDir(folder).removeRecursively());
        const int mark = logMark();
        browser->Command3->click();
        QVERIFY(browserClosed());
        QVERIFY(requestsSince(mark).contains(QStringLiteral("GET name=keep.bmp")));
        QVERIFY(!anyStartsWith(requestsSince(mark), QStringLiteral("DELETE")));
        QCOMPARE(m_messages->requests.size(), 1);
        const MessageBoxes::Request failure = m_messages->requests[0];
        QCOMPARE(failure.icon, QMessageBox::Warning);
        QCOMPARE(failure.text,
                 QStringLiteral("Не удалось записать файл '%1/keep.bmp': %2. Файл в телефоне не удалён.")
                     .arg(folder, reason));
        QCOMPARE(readFile(phonePath(QStringLiteral("keep.bmp"))), m_content[QStringLiteral("keep.bmp")]);
        QVERIFY(findRow(m_form->controls().FileList, QStringLiteral("keep.bmp")) >= 0);
        if (blocker == QLatin1String("folder")) {
            QVERIFY(QFileInfo(folder + QStringLiteral("/keep.bmp/inside")).isDir());
            QCOMPARE(QDir(folder).entryList(QDir::Files | QDir::Hidden), QStringList());
        } else {
            QVERIFY(!QFileInfo::exists(folder));
        }
    }

    void dropOneFile()
    {
        const QString source = pcPath(QStringLiteral("upload/drop.txt"));
        QVERIFY(QDir().mkpath(pcPath(QStringLiteral("upload"))));
        const QByteArray bytes = contentWithExtremes(1200, 99);
        QVERIFY(writeFile(source, bytes));
        // A drag that carries no PC file is not taken.
        QMimeData text;
        text.setText(QStringLiteral("hello"));
        QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, &text, Qt::NoButton, Qt::NoModifier);
        QApplication::sendEvent(listViewport(), &enter);
        QVERIFY(!enter.isAccepted());

        QVERIFY(dropUrls({QUrl::fromLocalFile(source)}));
        QTRY_VERIFY(findRow(m_form->controls().FileList, QStringLiteral("drop.txt")) >= 0);
        QVERIFY2(m_messages->requests.isEmpty(), qPrintable(m_messages->requests.value(0).text));
        QCOMPARE(readFile(phonePath(QStringLiteral("drop.txt"))), bytes);
        QVERIFY(!QFile::exists(pcPath(QStringLiteral("work/temp.tmp"))));
        QVERIFY(m_form->isEnabled());

        // More than one file, or no file at all: a message and nothing sent.
        const int mark = logMark();
        m_form->commands().filesDropped({source, source});
        m_form->commands().filesDropped({pcPath(QStringLiteral("upload"))});
        QCOMPARE(m_messages->requests.size(), 2);
        QCOMPARE(m_messages->requests[0].text,
                 QStringLiteral("Сейчас можно копировать только 1 файл за одну операцию!!!"));
        QCOMPARE(m_messages->requests[1].text, QStringLiteral("Нет такого файла!!!"));
        QCOMPARE(requestsSince(mark), QStringList());
    }
};

QTEST_MAIN(TestTransfers)
#include "tst_ui_transfers.moc"
