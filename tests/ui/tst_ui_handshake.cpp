// The connect command's failures as the windows show them: a port that cannot
// be opened (and the retry after it), a silent phone, refused AT commands, a
// broken BFB set-up; and the fatal receive errors, which end the program.

#include "uitestsupport.h"

#include "frmprogress.h"

#include <QApplication>
#include <QPushButton>
#include <QTemporaryDir>

#include <cstdio>

using namespace uitest;

namespace {

// The progress window's rows as "icon:text".
const QStringList AtFailure{"4:Не могу получить ответ от телефона...", "5:Проверьте, включен ли телефон, ",
                            "0:правильно ли он подключен,", "0:установлен ли в настройках нужный COM порт..."};
const QStringList ModelFailure{"4:Не могу получить ответ от телефона...", "5:Попробуйте еще раз..."};
const QStringList BfbFailure{"4:Не могу соединиться по BFB  протоколу...", "5:Выключите и включите телефон...",
                             "0:Попробуйте еще раз..."};
// The rows of the steps, in order.
const QStringList Steps{"6:Подключаюсь к телефону... AT",
                        "5:Модель телефона?",
                        "7:Siemens M55",
                        "6:Устанавливаем режим обмена BFB...",
                        "6:Настройка протокола обмена данными...",
                        "1:Подключаюсь по OBEX протоколу..."};

// The child: connects to the phone named by TARVEL_UI_FATAL_DEVICE with short
// time-outs, prints every message box, and says when the connect returns.
int runFatalChild(int argc, char **argv)
{
    QApplication app(argc, argv);
    WindowLanguage::install();
    // The program ends inside the connect, and flushes what was printed.
    MessageBoxes::setResponder([](const MessageBoxes::Request &request) {
        std::printf("MESSAGE %d|%s|%s\n", int(request.icon), request.title.toUtf8().constData(),
                    request.text.toUtf8().constData());
        return true;
    });
    Form1 form(makeChecksum());
    aimAt(form, qEnvironmentVariable("TARVEL_UI_FATAL_DEVICE"));
    lineOf(form).setTimeoutInterval(1000);
    form.show();
    form.commands().Command1_Click();
    std::printf("CONNECT RETURNED\n");
    return 0;
}

} // namespace

class TestHandshake : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<MessageRecorder> m_messages;
    std::unique_ptr<Form1> m_form;

    // A double-click on "Mobile..." with the port standing for device.
    void connect(const QString &device)
    {
        lineOf(*m_form).setDevicePath(device);
        doubleClickMobile(*m_form);
    }

private slots:
    void init()
    {
        m_messages = std::make_unique<MessageRecorder>();
        m_form = std::make_unique<Form1>(makeChecksum());
        lineOf(*m_form).setPauseScale(0.3);
        m_form->show();
    }
    void cleanup()
    {
        m_form.reset();
        m_messages.reset();
    }

    // The port message, and the next double-click tries again.
    void portCannotBeOpened()
    {
        connect(QStringLiteral("/nonexistent/tarvel-no-such-tty"));
        QCOMPARE(m_messages->requests.size(), 1);
        QCOMPARE(m_messages->requests[0].icon, QMessageBox::Critical);
        QVERIFY(m_form->isVisible());
        QVERIFY(!m_form->events().progressWindow());
        QCOMPARE(lineOf(*m_form).linkState(), LinkState::Enable);
        // Once the port exists, the same double-click connects.
        PhoneSim phone(QStringList{});
        QVERIFY(phone.running());
        connect(phone.device);
        QCOMPARE(lineOf(*m_form).linkState(), LinkState::Disable);
        QVERIFY(m_form->controls().FileList->rowCount() > 1);
        m_form->controls().Command9->click();
    }

    // Closing the link leaves the phone as it was found, so that the next run of the
    // connect command, and the exit after it, find it as the first did. The x65 and x75
    // families take "AT^SBFB=1" and then answer no frame: the window connects them in
    // plain OBEX. A root without a Bitmap folder (Data, MMCard, ... as the recorded
    // EL71v45) has no parent row.
    void closeAndReconnect_data()
    {
        QTest::addColumn<QString>("model");
        QTest::addColumn<bool>("plain");
        QTest::newRow("M55, BFB") << "M55" << false;
        QTest::newRow("S65, plain OBEX") << "S65" << true;
        QTest::newRow("S75, plain OBEX") << "S75" << true;
    }
    void closeAndReconnect()
    {
        QFETCH(QString, model);
        QFETCH(bool, plain);
        const QString mode = plain ? QStringLiteral("PLAIN") : QStringLiteral("BFB"); // the phone's log
        QTemporaryDir flash;
        QVERIFY(writeFile(flash.filePath(QStringLiteral("a.txt")), "a"));
        QVERIFY(QDir(flash.path()).mkpath(QStringLiteral("Data")));
        PhoneSim phone;
        QVERIFY(phone.start(flash.path(), {QStringLiteral("--model"), model}));
        const QStringList rows{QStringLiteral("Data"), QStringLiteral("a.txt")};
        const QString end = mode + QStringLiteral("-END");
        PhoneController &commands = m_form->commands();
        connect(phone.device);
        QCOMPARE(lineOf(*m_form).linkState(), LinkState::Disable);
        QCOMPARE(rowTexts(m_form->controls().FileList), rows);
        QCOMPARE(phone.logLines(mode + QStringLiteral("-START")).size(), 1);
        QCOMPARE(phone.logLines(QStringLiteral("BFB-START")).isEmpty(), plain);
        commands.Command1_Click();
        QCOMPARE(lineOf(*m_form).linkState(), LinkState::Enable);
        QVERIFY(!lineOf(*m_form).isPortOpen());
        QTRY_COMPARE(phone.logLines(end).size(), 1);
        // Again on the M55 only: a plain connect waits out the BFB frame that never comes.
        if (!plain) {
            commands.Command1_Click();
            QCOMPARE(lineOf(*m_form).linkState(), LinkState::Disable);
            QCOMPARE(rowTexts(m_form->controls().FileList), rows);
        }
        m_form->controls().Command9->click();
        QTRY_COMPARE(phone.logLines(end).size(), plain ? 1 : 2);
        QVERIFY(m_messages->requests.isEmpty());
    }

    // Each failed step leaves its rows, and the window usable with the link down; a
    // progress window left open collects the next attempt below. Its button gives
    // the main window back.
    void failedSteps()
    {
        // The phone's options, the steps that pass, the failure's rows.
        const std::tuple<const char *, qsizetype, QStringList> cases[] = {
            {"--fault-on at:1 --silent-after 0", 1, AtFailure},
            {"--fault-on at:2 --garbage", 2, ModelFailure},
            {"--fault-on at:3 --garbage", 4, ModelFailure},
            {"--fault-on setup:1 --silent-after 0", 5, BfbFailure},
            {"--fault-on connect --silent-after 40", 6, BfbFailure}};
        qsizetype rowsBefore = 0;
        for (const auto &[phoneOptions, steps, failure] : cases) {
            PhoneSim phone(QString::fromLatin1(phoneOptions).split(u' '));
            QVERIFY2(phone.running(), qPrintable(phone.errors()));
            connect(phone.device);
            const QStringList rows = progressRows(*m_form);
            QCOMPARE(rows.mid(rowsBefore), Steps.mid(0, steps) + failure);
            rowsBefore = rows.size();
            QVERIFY(m_form->events().progressWindow()->Command1->isVisible());
            QVERIFY(m_form->isVisible() && m_form->isEnabled());
            QCOMPARE(lineOf(*m_form).linkState(), LinkState::Enable);
            QVERIFY(!lineOf(*m_form).isPortOpen());
            QCOMPARE(rowTexts(m_form->controls().FileList), QStringList{QStringLiteral("Mobile...")});
            QVERIFY(m_messages->requests.isEmpty());
        }
        m_form->setEnabled(false);
        m_form->events().progressWindow()->Command1->click();
        QVERIFY(!m_form->events().progressWindow());
        QVERIFY(m_form->isEnabled());
    }

    void fatalReceiveErrorsEndTheProgram_data()
    {
        QTest::addColumn<QString>("phoneOptions");
        QTest::addColumn<QString>("text");
        QTest::newRow("silence") << "--fault-on listing --silent-after 0"
                                 << QStringLiteral("К сожалению, произошла ошибка ПРИЕМА ДАННЫХ - TIMEOUT. "
                                                   "Программа будет закрыта!!! Выключите и включите телефон!!!");
        // The root listing's response (phone block 2) and its resends all arrive damaged.
        QTest::newRow("damaged blocks") << "--flip-tx 2,3,4 --resend-after 400"
                                        << QStringLiteral("К сожалению, произошла серьезная ошибка ПРИЕМА ДАННЫХ!!! "
                                                          "Программа будет закрыта!!! Выключите и включите телефон!!!");
    }
    // They end the program, so they run in a child process (this program again).
    void fatalReceiveErrorsEndTheProgram()
    {
        QFETCH(QString, phoneOptions);
        QFETCH(QString, text);
        PhoneSim phone(phoneOptions.split(u' '));
        QVERIFY(phone.running());
        QProcess child;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("TARVEL_UI_FATAL_DEVICE"), phone.device);
        child.setProcessEnvironment(environment);
        child.start(QCoreApplication::applicationFilePath(), {});
        const ProcessResult result = finishProcess(child, 30000);
        QCOMPARE(result.exitCode, 1);
        const QString expected =
            QStringLiteral("MESSAGE %1|ОШИБКА ПРИЕМА ДАННЫХ!!!|").arg(int(QMessageBox::Critical)) + text;
        QVERIFY2(result.out.contains(expected), qPrintable(result.out));
        QVERIFY2(!result.out.contains(QStringLiteral("CONNECT RETURNED")), qPrintable(result.out));
    }
};

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsSet("TARVEL_UI_FATAL_DEVICE"))
        return runFatalChild(argc, argv);
    QApplication app(argc, argv);
    if (WindowLanguage::install() != WindowLanguage::Language::Russian)
        return 1;
    TestHandshake test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_ui_handshake.moc"
