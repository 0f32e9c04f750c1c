#include "windowevents.h"

#include "frmprogress.h"
#include "mainwindowcontrols.h"
#include "messagebox.h"
#include "refusaltexts.h"
#include "staging.h"

#include <QLabel>
#include <QPushButton>

namespace {

const QString NoAnswerText = QStringLiteral("Не могу получить ответ от телефона...");
const QString TryAgainText = QStringLiteral("Попробуйте еще раз...");

QString kilobytes(quint32 bytes)
{
    return QString::number(bytes / 1024) + QStringLiteral("Kb");
}

StatusIcon packetIcon(PhoneOperation operation)
{
    return operation == PhoneOperation::Listing ? StatusIcon::Listing : StatusIcon::File;
}

} // namespace

WindowEvents::WindowEvents(QWidget &window, MainWindowControls &controls, std::function<void(int)> endProgram)
    : m_window(window), m_controls(controls), m_endProgram(std::move(endProgram))
{}

WindowEvents::~WindowEvents()
{
    closeProgress();
}

frmProgress *WindowEvents::progressWindow() const
{
    return m_progress;
}

frmProgress &WindowEvents::progress()
{
    if (!m_progress) {
        m_progress = new frmProgress(&m_window);
        QObject::connect(m_progress, &QDialog::finished, m_progress, [this] { closeProgress(); });
    }
    return *m_progress;
}

frmProgress &WindowEvents::showProgress()
{
    frmProgress &window = progress();
    window.show();
    window.raise();
    return window;
}

void WindowEvents::closeProgress()
{
    if (!m_progress)
        return;
    frmProgress *window = m_progress;
    m_progress = nullptr;
    QObject::disconnect(window, &QDialog::finished, nullptr, nullptr);
    window->hide();
    window->deleteLater();
}

void WindowEvents::addRow(const QString &text, StatusIcon icon)
{
    progress().addRow(text, icon);
    m_progress->repaintNow();
}

void WindowEvents::linkStateChanged(LinkState state)
{
    m_controls.Command1->setText(MainWindowControls::linkStateCaption(state));
    if (state == LinkState::Enable)
        m_controls.FileList->setAcceptFileDrops(false);
}

void WindowEvents::connectStep(ConnectStep step)
{
    switch (step) {
    case ConnectStep::Attempting:
        m_window.setVisible(false);
        break;
    case ConnectStep::PortOpened:
        showProgress().setMaximum(6);
        m_progress->repaintNow();
        break;
    case ConnectStep::Waking:
        addRow(QStringLiteral("Подключаюсь к телефону... AT"), StatusIcon::Step);
        break;
    case ConnectStep::AskingModel:
        progress().setValue(2);
        addRow(QStringLiteral("Модель телефона?"), StatusIcon::Advice);
        break;
    case ConnectStep::SwitchingToBfb:
        progress().setValue(3);
        addRow(QStringLiteral("Устанавливаем режим обмена BFB..."), StatusIcon::Step);
        break;
    case ConnectStep::SettingUpBfb:
        progress().setValue(4);
        addRow(QStringLiteral("Настройка протокола обмена данными..."), StatusIcon::Step);
        break;
    case ConnectStep::OpeningObex:
        addRow(QStringLiteral("Подключаюсь по OBEX протоколу..."), StatusIcon::Obex);
        break;
    case ConnectStep::LinkUp:
        addRow(QStringLiteral("Связь установлена..."), StatusIcon::Done);
        break;
    case ConnectStep::ListingRoot:
        progress().setValue(5);
        addRow(QStringLiteral("Получаю список папок..."), StatusIcon::Listing);
        break;
    case ConnectStep::RootListed:
        // A listing that ended early leaves its window open with a smaller maximum;
        // widen it so the final value fits.
        if (m_progress) {
            m_progress->setMaximum(6);
            m_progress->setValue(6);
        }
        break;
    case ConnectStep::Established:
        closeProgress();
        m_window.setVisible(true);
        break;
    }
}

void WindowEvents::modelReported(const QString &model)
{
    addRow(QStringLiteral("Siemens ") + model, StatusIcon::Done);
}

void WindowEvents::connectFailed(ConnectFailure failure, SerialPort::OpenError)
{
    if (failure == ConnectFailure::PortUnavailable) {
        MessageBoxes::show(&m_window, QMessageBox::Critical, QString(),
                           QStringLiteral("Не могу открыть порт, установите в НАСТРОЙКАХ необходимый номер порта!!!"));
        m_window.setVisible(true);
        return;
    }

    m_window.setVisible(true);
    m_window.setEnabled(true);
    if (m_progress) {
        m_progress->raise();
        m_progress->activateWindow();
    }
    frmProgress &window = progress();
    switch (failure) {
    case ConnectFailure::At:
        window.addRow(NoAnswerText, StatusIcon::Error);
        window.addRow(QStringLiteral("Проверьте, включен ли телефон, "), StatusIcon::Advice);
        window.addRow(QStringLiteral("правильно ли он подключен,"), StatusIcon::None);
        window.addRow(QStringLiteral("установлен ли в настройках нужный COM порт..."), StatusIcon::None);
        break;
    case ConnectFailure::Model:
        window.addRow(NoAnswerText, StatusIcon::Error);
        window.addRow(TryAgainText, StatusIcon::Advice);
        break;
    case ConnectFailure::Bfb:
        window.addRow(QStringLiteral("Не могу соединиться по BFB  протоколу..."), StatusIcon::Error);
        window.addRow(QStringLiteral("Выключите и включите телефон..."), StatusIcon::Advice);
        window.addRow(TryAgainText, StatusIcon::None);
        break;
    case ConnectFailure::PortUnavailable:
        break;
    }
    window.showCloseButton();
}

void WindowEvents::operationStarted(PhoneOperation operation, qint64 sourceBytes)
{
    switch (operation) {
    case PhoneOperation::Listing:
    case PhoneOperation::Download: {
        if (operation == PhoneOperation::Download)
            m_window.setEnabled(false);
        frmProgress &window = showProgress();
        window.setValue(1);
        window.setMaximum(3);
        addRow(operation == PhoneOperation::Listing ? QStringLiteral("Запрашиваю список файлов...")
                                                    : QStringLiteral("Запрашиваю  файл..."),
               packetIcon(operation));
        break;
    }
    case PhoneOperation::Upload: {
        frmProgress &window = progress();
        window.setMaximum(int(sourceBytes / Staging::PieceSize + 10));
        window.setValue(1);
        showProgress();
        addRow(QStringLiteral("Отправляю файл..."), StatusIcon::File);
        break;
    }
    }
}

void WindowEvents::packetReceived(PhoneOperation operation, int number)
{
    addRow(QStringLiteral("Получен пакет N") + QString::number(number), packetIcon(operation));
    if (number == 1)
        progress().setValue(2);
}

void WindowEvents::packetSent(PhoneOperation, int number)
{
    progress().setValue(number + 1);
}

void WindowEvents::operationFinished(PhoneOperation operation, int packets)
{
    switch (operation) {
    case PhoneOperation::Listing:
        closeProgress();
        break;
    case PhoneOperation::Download:
        // The transfer took several packets and has ended.
        if (packets > 1)
            progress().setValue(3);
        closeProgress();
        m_window.setEnabled(true);
        break;
    case PhoneOperation::Upload:
        // The list refresh that follows closes the window.
        break;
    }
}

void WindowEvents::memoryReported(MemoryKind kind, quint32 bytes)
{
    if (kind == MemoryKind::Total)
        m_controls.Label3->setText(QStringLiteral("Всего памяти: ") + kilobytes(bytes));
    else
        m_controls.Label4->setText(QStringLiteral("Из них свободно: ") + kilobytes(bytes));
    m_controls.fitMemoryLabels();
}

void WindowEvents::sequenceReported(int sequence)
{
    m_controls.Label5->setText(QString::number(sequence));
}

void WindowEvents::waitingBytesReported(int count)
{
    m_controls.Label1->setText(QString::number(count));
}

void WindowEvents::refused(Refusal refusal)
{
    const QMessageBox::Icon icon = refusal == Refusal::SourceMissing ? QMessageBox::NoIcon : QMessageBox::Warning;
    MessageBoxes::show(&m_window, icon, QString(), russianText(refusal));
}

bool WindowEvents::confirmLargeUpload()
{
    return MessageBoxes::askYesNo(&m_window, QMessageBox::Question, QStringLiteral("Копирование файла..."),
                                  QStringLiteral("Файл имеет длину больше 150кБ! Вы подтверждаете копирование файла?"));
}

void WindowEvents::linkLost(LinkLoss loss)
{
    const QString text = loss == LinkLoss::Timeout
        ? QStringLiteral("К сожалению, произошла ошибка ПРИЕМА ДАННЫХ - TIMEOUT. Программа будет закрыта!!! "
                         "Выключите и включите телефон!!!")
        : QStringLiteral("К сожалению, произошла серьезная ошибка ПРИЕМА ДАННЫХ!!! Программа будет закрыта!!! "
                         "Выключите и включите телефон!!!");
    MessageBoxes::show(&m_window, QMessageBox::Critical, QStringLiteral("ОШИБКА ПРИЕМА ДАННЫХ!!!"), text);
    m_endProgram(1);
}
