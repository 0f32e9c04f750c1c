// The main window against the emulated phone: one connection, then browsing,
// the busy guard, delete, new folder, views and exit. The phone's flash memory
// is a folder made here, so every row, size and date is known.

#include "uitestsupport.h"

#include "frmoptions.h"
#include "frmprogress.h"
#include "storedsettings.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QLabel>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QStandardItemModel>
#include <QTemporaryDir>
#include <QTimer>
#include <QTreeView>

#include <fcntl.h>

#include <sys/stat.h>

using namespace uitest;

namespace {

constexpr quint32 TotalMemory = 1572864; // 1536 Kb
const QDateTime Modified(QDate(2003, 4, 12), QTime(15, 30, 5));

struct Expected
{
    const char *name;
    int kind;
    const char *size;
};

// In listing order: folders, then files, each sorted by the phone.
const Expected RootRows[] = {
    {"Animation", 10, ""},    {"Bitmap", 7, ""},         {"Internet", 13, ""},      {"java", 9, ""},
    {"Misc", 1, ""},          {"Ringing tone", 8, ""},   {"Sms", 12, ""},           {"game.jad", 5, "120b"},
    {"game.jar", 4, "3000b"}, {"logo.bmx", 6, "700b"},   {"photo.gz", 11, "2048b"}, {"pic.bmp", 2, "1536b"},
    {"tune.mid", 3, "400b"},  {"Письмо.txt", 11, "10b"},
};

} // namespace

class TestPhone : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_root;
    std::unique_ptr<PhoneSim> m_phone;
    std::unique_ptr<MessageRecorder> m_messages;
    std::unique_ptr<Form1> m_form;

    QString rootPath(const QString &relative) const { return m_root.filePath(relative); }

    void makeFile(const QString &relative, int size)
    {
        QFile file(rootPath(relative));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(QByteArray(size, 'x'));
        file.close();
        QVERIFY(file.open(QIODevice::ReadWrite));
        QVERIFY(file.setFileTime(Modified, QFileDevice::FileModificationTime));
    }
    void makeFolder(const QString &relative) { QVERIFY(QDir().mkpath(rootPath(relative))); }
    // Folders get the same modification time as the files.
    void dateFolders()
    {
        const timespec times[2] = {{Modified.toSecsSinceEpoch(), 0}, {Modified.toSecsSinceEpoch(), 0}};
        for (const char *folder :
             {"Bitmap/Sub", "Animation", "Bitmap", "Internet", "java", "Misc", "Ringing tone", "Sms"})
            QCOMPARE(
                utimensat(AT_FDCWD, QFile::encodeName(rootPath(QString::fromLatin1(folder))).constData(), times, 0), 0);
    }
    void openRow(const QString &text)
    {
        const int row = findRow(m_form->controls().FileList, text);
        QVERIFY2(row >= 0, qPrintable(text));
        m_form->controls().FileList->selectRow(row);
        m_form->commands().openSelectedRow();
    }
    static quint32 usedBytes()
    {
        quint32 used = 0;
        for (const Expected &row : RootRows)
            used += QByteArray(row.size).chopped(qMin<int>(1, int(qstrlen(row.size)))).toUInt();
        return used;
    }

private slots:
    void initTestCase()
    {
        QCOMPARE(WindowLanguage::install(), WindowLanguage::Language::Russian);
        QVERIFY(m_root.isValid());
        for (const char *folder : {"Animation", "Bitmap/Sub", "Internet", "java", "Misc", "Ringing tone", "Sms"})
            makeFolder(QString::fromLatin1(folder));
        for (const Expected &row : RootRows) {
            if (row.size[0])
                makeFile(QString::fromUtf8(row.name), QByteArray(row.size).chopped(1).toInt());
        }
        m_phone = std::make_unique<PhoneSim>(QStringList{QStringLiteral("--root"), m_root.path(),
                                                         QStringLiteral("--memory"), QString::number(TotalMemory)});
        QVERIFY2(m_phone->running(), qPrintable(m_phone->errors()));
        // Bitmap/ gets its file after the memory figure has been noted: the phone counts all files.
        makeFile(QStringLiteral("Bitmap/logo.bmp"), 54);
        dateFolders();
        QVERIFY(mapPort(1, m_phone->device));

        m_messages = std::make_unique<MessageRecorder>();
        m_form = std::make_unique<Form1>(makeChecksum());
        m_form->commands().link().setPauseScale(0.3);
        m_form->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_form.get()));
    }

    void cleanupTestCase()
    {
        m_form.reset();
        m_messages.reset();
        m_phone.reset();
    }

    void connectShowsTheRoot()
    {
        PhoneFileList *list = m_form->controls().FileList;
        QTreeView *report = list->reportView();
        const QPoint onMobile = report->visualRect(list->model()->index(0, 0)).center();
        // A real double-click: press and release, then the double-click event.
        QTest::mouseClick(report->viewport(), Qt::LeftButton, {}, onMobile);
        QTest::mouseDClick(report->viewport(), Qt::LeftButton, {}, onMobile);

        QVERIFY2(m_messages->requests.isEmpty(), qPrintable(m_messages->requests.value(0).text));
        QVERIFY2(m_form->commands().link().linkState() == LinkState::Disable,
                 qPrintable(progressRows(*m_form).join(QLatin1Char('\n'))));
        QCOMPARE(m_form->controls().Command1->text(), QStringLiteral("Disable"));
        QVERIFY(m_form->isVisible());
        QVERIFY(m_form->isEnabled());
        QVERIFY(!m_form->events().progressWindow());
        QVERIFY(m_form->commands().link().isPortOpen());
        QVERIFY(PhoneLinkTestAccess::connectedMonitorRunning(m_form->commands().link()));
        QVERIFY(!m_form->commands().dragOutActive());
        for (QPushButton *on : {m_form->controls().Command6, m_form->controls().Command7, m_form->controls().Command8,
                                m_form->controls().Command9, m_form->controls().Command3, m_form->controls().Command10,
                                m_form->controls().Command11})
            QVERIFY2(on->isEnabled(), qPrintable(on->objectName()));

        QCOMPARE(m_form->controls().Capt->text(), QStringLiteral("Mobile:\\Root\\"));
        QCOMPARE(m_form->commands().files().PathStack(), QList<QByteArray>{"Root"});
        QCOMPARE(list->rowCount(), int(std::size(RootRows)));
        for (int row = 0; row < list->rowCount(); ++row) {
            const Expected &expected = RootRows[row];
            QCOMPARE(list->rowText(row), QString::fromUtf8(expected.name));
            QCOMPARE(list->rowKind(row), expected.kind);
            QCOMPARE(list->subItem(row, PhoneFileList::SizeColumn), QString::fromLatin1(expected.size));
            QCOMPARE(list->subItem(row, PhoneFileList::DateColumn), QStringLiteral("12.04.2003"));
            QCOMPARE(list->subItem(row, PhoneFileList::TimeColumn), QStringLiteral("15:30"));
        }
        // The phone's bytes for a Cyrillic name are Windows-1251.
        QCOMPARE(list->rowNameBytes(findRow(list, QStringLiteral("Письмо.txt"))),
                 QByteArray("\xCF\xE8\xF1\xFC\xEC\xEE.txt"));

        QCOMPARE(m_form->controls().Label3->text(), QStringLiteral("Всего памяти: 1536Kb"));
        const quint32 freeBytes = TotalMemory - usedBytes() - 54;
        QCOMPARE(m_form->controls().Label4->text(), QStringLiteral("Из них свободно: %1Kb").arg(freeBytes / 1024));
        QVERIFY(m_form->controls().Text2->toPlainText().contains(QStringLiteral("folder-listing")));
        QVERIFY(!m_form->controls().Label5->text().isEmpty());
        saveScreenshot(m_form.get(), QStringLiteral("form1-connected"));
    }

    void enterFolderAndGoBack()
    {
        openRow(QStringLiteral("Bitmap"));
        QCOMPARE(m_form->controls().Capt->text(), QStringLiteral("Mobile:\\Root\\Bitmap\\"));
        PhoneFileList *list = m_form->controls().FileList;
        QCOMPARE(rowTexts(list),
                 (QStringList{QStringLiteral("../          "), QStringLiteral("Sub"), QStringLiteral("logo.bmp")}));

        openRow(QStringLiteral("Sub"));
        QCOMPARE(m_form->controls().Capt->text(), QStringLiteral("Mobile:\\Root\\Bitmap\\Sub\\"));
        QCOMPARE(rowTexts(list), QStringList{QStringLiteral("../          ")});

        // A file row does nothing.
        openRow(QStringLiteral("../          "));
        const qint16 sequence = m_form->commands().link().bfbSequence();
        openRow(QStringLiteral("logo.bmp"));
        QCOMPARE(m_form->commands().link().bfbSequence(), sequence);
        QCOMPARE(m_form->controls().Capt->text(), QStringLiteral("Mobile:\\Root\\Bitmap\\"));

        openRow(QStringLiteral("../          "));
        QCOMPARE(m_form->controls().Capt->text(), QStringLiteral("Mobile:\\Root\\"));
        QCOMPARE(list->rowCount(), int(std::size(RootRows)));
        QVERIFY(m_messages->requests.isEmpty());
    }

    // The listing yields to the event loop while it waits for the phone; commands
    // arriving meanwhile must not start a second exchange.
    void commandsWaitForTheRunningExchange()
    {
        // Should a command slip through, its question is answered No so the test ends quickly.
        m_messages->answers = {false, false};
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
        QVERIFY(!m_form->commands().busy());
        QVERIFY(m_messages->requests.isEmpty());
        QCOMPARE(m_form->controls().Capt->text(), QStringLiteral("Mobile:\\Root\\Misc\\"));
        QCOMPARE(m_form->commands().link().linkState(), LinkState::Disable);
        QVERIFY(m_form->isEnabled());
        openRow(QStringLiteral("../          "));
        QCOMPARE(m_form->controls().Capt->text(), QStringLiteral("Mobile:\\Root\\"));
    }

    void deleteAnsweredNoThenYes()
    {
        PhoneFileList *list = m_form->controls().FileList;
        m_messages->clear();
        m_messages->answers = {false};
        list->selectRow(findRow(list, QStringLiteral("tune.mid")));
        const qint16 sequence = m_form->commands().link().bfbSequence();
        m_form->controls().Command7->click();
        QCOMPARE(m_messages->requests.size(), 1);
        QVERIFY(m_messages->requests[0].yesNo);
        QCOMPARE(m_form->commands().link().bfbSequence(), sequence);
        QVERIFY(QFile::exists(rootPath(QStringLiteral("tune.mid"))));

        m_messages->clear();
        list->selectRow(findRow(list, QStringLiteral("tune.mid")));
        m_form->controls().Command7->click();
        QCOMPARE(m_messages->requests.size(), 1);
        QVERIFY(!QFile::exists(rootPath(QStringLiteral("tune.mid"))));
        QCOMPARE(findRow(list, QStringLiteral("tune.mid")), -1);
        QCOMPARE(list->rowCount(), int(std::size(RootRows)) - 1);
        QCOMPARE(m_form->controls().Capt->text(), QStringLiteral("Mobile:\\Root\\"));

        // The context menu entry runs the same command: an empty folder goes after the warning.
        m_messages->clear();
        list->selectRow(findRow(list, QStringLiteral("Sms")));
        m_form->controls().De->trigger();
        QTRY_COMPARE(m_messages->requests.size(), 2);
        QCOMPARE(m_messages->requests[0].icon, QMessageBox::Information);
        QTRY_VERIFY(!QFileInfo::exists(rootPath(QStringLiteral("Sms"))));
        QTRY_COMPARE(findRow(list, QStringLiteral("Sms")), -1);
    }

    void exitEndsTheWindow()
    {
        m_form->controls().Command9->click();
        QVERIFY(!m_form->isVisible());
        QVERIFY(!m_form->commands().link().isPortOpen());
        QVERIFY(m_messages->requests.isEmpty() || m_messages->requests.size() == 2);
    }
};

QTEST_MAIN(TestPhone)
#include "tst_ui_phone.moc"
