// The connect command's failures as the windows show them: a port that cannot
// be opened (and the retry after it), a silent phone, refused AT commands, a
// broken BFB set-up; and the fatal receive errors, which end the program. Those
// run in a child process (this program again), since they end it.

#include "uitestsupport.h"

#include "frmprogress.h"

#include <QApplication>
#include <QLabel>
#include <QPushButton>
#include <QTreeWidget>

#include <cstdio>

using namespace uitest;

namespace {

const QString NoAnswer = QStringLiteral("Не могу получить ответ от телефона...");
const QString TryAgain = QStringLiteral("Попробуйте еще раз...");
const QString Wake = QStringLiteral("Подключаюсь к телефону... AT");
const QString Model = QStringLiteral("Модель телефона?");
const QString Bfb = QStringLiteral("Устанавливаем режим обмена BFB...");
const QString Setup = QStringLiteral("Настройка протокола обмена данными...");
const QString Obex = QStringLiteral("Подключаюсь по OBEX протоколу...");
const QString PortMessage = QStringLiteral("Не могу открыть порт, установите в НАСТРОЙКАХ необходимый номер порта!!!");

QString row(int icon, const QString &text)
{
    return QString::number(icon) + QLatin1Char(':') + text;
}

const QStringList AtFailure{row(4, NoAnswer), row(5, QStringLiteral("Проверьте, включен ли телефон, ")),
                            row(0, QStringLiteral("правильно ли он подключен,")),
                            row(0, QStringLiteral("установлен ли в настройках нужный COM порт..."))};
const QStringList ModelFailure{row(4, NoAnswer), row(5, TryAgain)};
const QStringList BfbFailure{row(4, QStringLiteral("Не могу соединиться по BFB  протоколу...")),
                             row(5, QStringLiteral("Выключите и включите телефон...")), row(0, TryAgain)};

// The child: connects to the phone named by TARVEL_UI_FATAL_DEVICE with short
// time-outs, prints every message box, and says when the connect returns.
int runFatalChild(int argc, char **argv)
{
    QApplication app(argc, argv);
    WindowLanguage::install();
    MessageRecorder messages;
    messages.onMessage = [](const MessageBoxes::Request &request) {
        std::printf("MESSAGE %d|%s|%s\n", int(request.icon), request.title.toUtf8().constData(),
                    request.text.toUtf8().constData());
        std::fflush(stdout);
    };
    Form1 form(makeChecksum());
    form.commands().link().setPauseScale(0.3);
    form.commands().link().setTimeoutInterval(1000);
    form.commands().link().setDevicePath(qEnvironmentVariable("TARVEL_UI_FATAL_DEVICE"));
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

    void connect()
    {
        m_form->controls().FileList->selectRow(0);
        m_form->commands().openSelectedRow();
    }
    // After a failed attempt: the main window usable, the link down, the rows kept.
    void checkFailedAttempt(const QStringList &expectedTail)
    {
        const QStringList rows = progressRows(*m_form);
        QVERIFY2(rows.size() >= expectedTail.size(), qPrintable(rows.join(QLatin1Char('\n'))));
        QCOMPARE(rows.mid(rows.size() - expectedTail.size()), expectedTail);
        QVERIFY(m_form->events().progressWindow()->Command1->isVisible());
        QVERIFY(m_form->isVisible());
        QVERIFY(m_form->isEnabled());
        QCOMPARE(m_form->commands().link().linkState(), LinkState::Enable);
        QCOMPARE(m_form->controls().Command1->text(), QStringLiteral("enable"));
        QVERIFY(!m_form->commands().link().isPortOpen());
        QCOMPARE(m_form->controls().FileList->rowCount(), 1);
        QCOMPARE(m_form->controls().FileList->rowText(0), QStringLiteral("Mobile..."));
        QVERIFY(!m_form->controls().Command6->isEnabled());
        QVERIFY(m_messages->requests.isEmpty());
    }
    void dismissProgress()
    {
        m_form->setEnabled(false);
        m_form->events().progressWindow()->Command1->click();
        QVERIFY(!m_form->events().progressWindow());
        QVERIFY(m_form->isEnabled());
    }

private slots:
    void init()
    {
        m_messages = std::make_unique<MessageRecorder>();
        m_form = std::make_unique<Form1>(makeChecksum());
        m_form->commands().link().setPauseScale(0.3);
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
        QVERIFY(mapPort(1, QStringLiteral("/nonexistent/tarvel-no-such-tty")));
        for (int attempt = 1; attempt <= 2; ++attempt) {
            connect();
            QCOMPARE(m_messages->requests.size(), attempt);
            const MessageBoxes::Request &request = m_messages->requests.last();
            QCOMPARE(request.icon, QMessageBox::Critical);
            QCOMPARE(request.title, QStringLiteral("Tarvel"));
            QCOMPARE(request.text, PortMessage);
            QVERIFY(m_form->isVisible());
            QVERIFY(!m_form->events().progressWindow());
            QCOMPARE(m_form->commands().link().linkState(), LinkState::Enable);
            QVERIFY(!m_form->commands().link().isPortOpen());
        }
        // Once the port exists, the same double-click connects.
        PhoneSim phone(QStringList{});
        QVERIFY(phone.running());
        QVERIFY(mapPort(1, phone.device));
        connect();
        QCOMPARE(m_form->commands().link().linkState(), LinkState::Disable);
        QCOMPARE(m_form->controls().Capt->text(), QStringLiteral("Mobile:\\Root\\"));
        QVERIFY(m_form->controls().FileList->rowCount() > 1);
        saveScreenshot(m_form.get(), QStringLiteral("form1-demo-content"));
        m_form->controls().Command9->click();
    }

    void silentPhone()
    {
        Pty line; // a phone that stays silent
        QVERIFY(mapPort(1, line.slavePath()));
        connect();
        QCOMPARE(progressRows(*m_form), QStringList{row(6, Wake)} + AtFailure);
        checkFailedAttempt(AtFailure);
        saveScreenshot(m_form->events().progressWindow(), QStringLiteral("frmProgress-at-failure"));
        dismissProgress();
    }

    // Each refused step leaves its rows; a window left open collects the next attempt below.
    void refusedSteps()
    {
        struct Case
        {
            QStringList phoneOptions;
            QStringList rows;
            QStringList failure;
        };
        const QString model = row(7, QStringLiteral("Siemens M55"));
        const Case cases[] = {
            {{QStringLiteral("--fault-on"), QStringLiteral("at:2"), QStringLiteral("--garbage")},
             QStringList{row(6, Wake), row(5, Model)} + ModelFailure,
             ModelFailure},
            {{QStringLiteral("--fault-on"), QStringLiteral("at:3"), QStringLiteral("--garbage")},
             QStringList{row(6, Wake), row(5, Model), model, row(6, Bfb)} + ModelFailure,
             ModelFailure},
            {{QStringLiteral("--fault-on"), QStringLiteral("setup:1"), QStringLiteral("--silent-after"),
              QStringLiteral("0")},
             QStringList{row(6, Wake), row(5, Model), model, row(6, Bfb), row(6, Setup)} + BfbFailure,
             BfbFailure},
            {{QStringLiteral("--fault-on"), QStringLiteral("connect"), QStringLiteral("--silent-after"),
              QStringLiteral("40")},
             QStringList{row(6, Wake), row(5, Model), model, row(6, Bfb), row(6, Setup), row(1, Obex)} + BfbFailure,
             BfbFailure},
        };
        qsizetype rowsBefore = 0;
        for (const Case &step : cases) {
            PhoneSim phone(step.phoneOptions);
            QVERIFY2(phone.running(), qPrintable(phone.errors()));
            QVERIFY(mapPort(1, phone.device));
            connect();
            const QStringList rows = progressRows(*m_form);
            QCOMPARE(rows.mid(rowsBefore), step.rows);
            checkFailedAttempt(step.failure);
            rowsBefore = rows.size();
        }
        saveScreenshot(m_form->events().progressWindow(), QStringLiteral("frmProgress-failures"));
        dismissProgress();
    }

    void fatalReceiveErrorsEndTheProgram_data()
    {
        QTest::addColumn<QStringList>("phoneOptions");
        QTest::addColumn<QString>("text");
        QTest::newRow("silence") << QStringList{QStringLiteral("--fault-on"), QStringLiteral("listing"),
                                                QStringLiteral("--silent-after"), QStringLiteral("0")}
                                 << QStringLiteral("К сожалению, произошла ошибка ПРИЕМА ДАННЫХ - TIMEOUT. "
                                                   "Программа будет закрыта!!! Выключите и включите телефон!!!");
        // The root listing's response (phone block 2) and its resends all arrive damaged.
        QTest::newRow("damaged blocks") << QStringList{QStringLiteral("--flip-tx"), QStringLiteral("2,3,4"),
                                                       QStringLiteral("--resend-after"), QStringLiteral("400")}
                                        << QStringLiteral("К сожалению, произошла серьезная ошибка ПРИЕМА ДАННЫХ!!! "
                                                          "Программа будет закрыта!!! Выключите и включите телефон!!!");
    }
    void fatalReceiveErrorsEndTheProgram()
    {
        QFETCH(QStringList, phoneOptions);
        QFETCH(QString, text);
        PhoneSim phone(phoneOptions);
        QVERIFY(phone.running());
        QProcess child;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("TARVEL_UI_FATAL_DEVICE"), phone.device);
        child.setProcessEnvironment(environment);
        child.start(QCoreApplication::applicationFilePath(), {});
        QVERIFY(child.waitForFinished(30000));
        const QString output = QString::fromUtf8(child.readAllStandardOutput());
        QCOMPARE(child.exitStatus(), QProcess::NormalExit);
        QCOMPARE(child.exitCode(), 1);
        const QString expected =
            QStringLiteral("MESSAGE %1|ОШИБКА ПРИЕМА ДАННЫХ!!!|").arg(int(QMessageBox::Critical)) + text;
        QVERIFY2(output.contains(expected), qPrintable(output));
        QVERIFY2(!output.contains(QStringLiteral("CONNECT RETURNED")), qPrintable(output));
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
