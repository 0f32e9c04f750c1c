#include "handshake.h"

namespace {

// Small icons of the progress window.
constexpr int IconNone = 0;
constexpr int IconObex = 1;
constexpr int IconListing = 2;
constexpr int IconError = 4;
constexpr int IconAdvice = 5;
constexpr int IconStep = 6;
constexpr int IconDone = 7;

constexpr int AtReplyPauseMs = 500;
constexpr int FramePauseMs = 600;
constexpr int SetupReplyMinimum = 4;

const QString PortErrorText =
    QStringLiteral("Не могу открыть порт, установите в НАСТРОЙКАХ необходимый номер порта!!!");
const QString NoAnswerText = QStringLiteral("Не могу получить ответ от телефона...");
const QString TryAgainText = QStringLiteral("Попробуйте еще раз...");

} // namespace

PhoneConnector::PhoneConnector(PhoneLink &link) : m_link(link) {}

void PhoneConnector::addRow(const QString &text, int icon)
{
    m_link.ui().progressAddRow(text, icon);
    m_link.ui().progressRepaint();
}

QByteArray PhoneConnector::command(const QByteArray &text)
{
    m_link.Comm1.write(text + "\r\n");
    m_link.pause(AtReplyPauseMs);
    return m_link.Comm1.read();
}

void PhoneConnector::closeLink()
{
    m_link.setLinkState(QString::fromLatin1(PhoneLink::LinkEnable));
    m_link.Comm1.close();
    // Nothing to monitor any more on a closed port.
    m_link.Timer2.stop();
}

void PhoneConnector::run(const ListRoot &listRoot)
{
    PhoneLink &link = m_link;
    PhoneUi &ui = link.ui();
    SerialPort &port = link.Comm1;

    link.BfbSequence = 1;
    if (link.linkState() != QLatin1String(PhoneLink::LinkEnable)) {
        closeLink();
        return;
    }

    ui.setMainWindowVisible(false);
    link.setLinkState(QString::fromLatin1(PhoneLink::LinkDisable));

    if (!port.open()) {
        // Missing, busy or forbidden alike: say so and let the next double-click retry.
        ui.showMessage(PhoneUi::Icon::Critical, QString(), PortErrorText);
        ui.setMainWindowVisible(true);
        link.setLinkState(QString::fromLatin1(PhoneLink::LinkEnable));
        return;
    }

    ui.progressShow();
    ui.progressSetMaximum(6);
    port.setReadLength(SerialPort::WholeQueue);
    ui.progressRepaint();
    link.pause(1000);

    addRow(QStringLiteral("Подключаюсь к телефону... AT"), IconStep);
    link.pause(2000);
    if (!command("at").contains("OK")) {
        ConnectError(QString::fromLatin1(StepAt));
        return;
    }

    ui.progressSetValue(2);
    addRow(QStringLiteral("Модель телефона?"), IconAdvice);
    const QByteArray model = command("at+CGMM");
    if (!model.contains("OK")) {
        ConnectError(QString::fromLatin1(StepModel));
        return;
    }
    // Characters 11 to 13 of whatever was read; shown only, any model is accepted.
    addRow(QStringLiteral("Siemens ") + QString::fromLatin1(model.mid(10, 3)), IconDone);

    ui.progressSetValue(3);
    addRow(QStringLiteral("Устанавливаем режим обмена BFB..."), IconStep);
    if (!command("AT^SBFB=1").contains("OK")) {
        ConnectError(QString::fromLatin1(StepModel));
        return;
    }

    ui.progressSetValue(4);
    addRow(QStringLiteral("Настройка протокола обмена данными..."), IconStep);

    port.write(SetupFrame);
    link.pause(FramePauseMs);
    if (port.bytesWaiting() < SetupReplyMinimum) {
        ConnectError(QString::fromLatin1(StepBfb));
        return;
    }
    port.read();

    port.write(SpeedFrame);
    link.pause(FramePauseMs);
    if (!port.read().contains("57600")) {
        ConnectError(QString::fromLatin1(StepBfb));
        return;
    }

    port.write(SifsFrame);
    link.pause(FramePauseMs);
    if (!port.read().contains("OK")) {
        ConnectError(QString::fromLatin1(StepBfb));
        return;
    }

    addRow(QStringLiteral("Подключаюсь по OBEX протоколу..."), IconObex);
    port.write(ConnectFrames);
    link.pause(FramePauseMs);
    if (port.bytesWaiting() < ConnectReplyMinimum) {
        link.pause(FramePauseMs);
        if (port.bytesWaiting() < ConnectReplyMinimum) {
            ConnectError(QString::fromLatin1(StepBfb));
            return;
        }
    }
    port.read();

    addRow(QStringLiteral("Связь установлена..."), IconDone);
    port.setReadLength(SerialPort::SingleByte);
    link.SendAck();

    ui.progressSetValue(5);
    addRow(QStringLiteral("Получаю список папок..."), IconListing);
    link.Timer2.start();
    listRoot();

    // A listing that ended early leaves its window open with a smaller maximum;
    // widen it so the final value fits, then finish as usual.
    if (ui.progressIsOpen()) {
        ui.progressSetMaximum(6);
        ui.progressSetValue(6);
    }
    link.pause(1000);
    if (ui.progressIsOpen())
        ui.progressClose();

    ui.setMainWindowVisible(true);
    ui.connectionEstablished();
}

void PhoneConnector::ConnectError(const QString &step)
{
    PhoneUi &ui = m_link.ui();
    ui.setMainWindowVisible(true);
    ui.setMainWindowEnabled(true);
    ui.progressFocus();

    if (step == QLatin1String(StepAt)) {
        ui.progressAddRow(NoAnswerText, IconError);
        ui.progressAddRow(QStringLiteral("Проверьте, включен ли телефон, "), IconAdvice);
        ui.progressAddRow(QStringLiteral("правильно ли он подключен,"), IconNone);
        ui.progressAddRow(QStringLiteral("установлен ли в настройках нужный COM порт..."), IconNone);
    } else if (step == QLatin1String(StepModel)) {
        ui.progressAddRow(NoAnswerText, IconError);
        ui.progressAddRow(TryAgainText, IconAdvice);
    } else if (step == QLatin1String(StepBfb)) {
        ui.progressAddRow(QStringLiteral("Не могу соединиться по BFB  протоколу..."), IconError);
        ui.progressAddRow(QStringLiteral("Выключите и включите телефон..."), IconAdvice);
        ui.progressAddRow(TryAgainText, IconNone);
    }

    ui.progressShowCloseButton();
    m_link.Comm1.close();
    m_link.setLinkState(QString::fromLatin1(PhoneLink::LinkEnable));
}
