#include "windowevents.h"

#include "frmprogress.h"
#include "mainwindowcontrols.h"
#include "messagebox.h"
#include "phonesession.h"

#include <QLabel>
#include <QPushButton>

namespace {

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
        addRow(tr("Подключаюсь к телефону... AT"), StatusIcon::Step);
        break;
    case ConnectStep::AskingModel:
        progress().setValue(2);
        addRow(tr("Модель телефона?"), StatusIcon::Advice);
        break;
    case ConnectStep::SwitchingToBfb:
        progress().setValue(3);
        addRow(tr("Устанавливаем режим обмена BFB..."), StatusIcon::Step);
        break;
    case ConnectStep::SettingUpBfb:
        progress().setValue(4);
        addRow(tr("Настройка протокола обмена данными..."), StatusIcon::Step);
        break;
    case ConnectStep::SwitchingToPlain:
        progress().setValue(4);
        addRow(tr("Устанавливаем режим обмена OBEX..."), StatusIcon::Step);
        break;
    case ConnectStep::OpeningObex:
        addRow(tr("Подключаюсь по OBEX протоколу..."), StatusIcon::Obex);
        break;
    case ConnectStep::LinkUp:
        addRow(tr("Связь установлена..."), StatusIcon::Done);
        break;
    case ConnectStep::ListingRoot:
        progress().setValue(5);
        addRow(tr("Получаю список папок..."), StatusIcon::Listing);
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

void WindowEvents::connectFailed(ConnectFailure failure, PortError)
{
    if (failure == ConnectFailure::PortUnavailable) {
        MessageBoxes::show(&m_window, QMessageBox::Critical, QString(),
                           tr("Не могу открыть порт, установите в НАСТРОЙКАХ необходимый номер порта!!!"));
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
        window.addRow(tr("Не могу получить ответ от телефона..."), StatusIcon::Error);
        window.addRow(tr("Проверьте, включен ли телефон, "), StatusIcon::Advice);
        window.addRow(tr("правильно ли он подключен,"), StatusIcon::None);
        window.addRow(tr("установлен ли в настройках нужный COM порт..."), StatusIcon::None);
        break;
    case ConnectFailure::Model:
        window.addRow(tr("Не могу получить ответ от телефона..."), StatusIcon::Error);
        window.addRow(tr("Попробуйте еще раз..."), StatusIcon::Advice);
        break;
    case ConnectFailure::Bfb:
        window.addRow(tr("Не могу соединиться по BFB  протоколу..."), StatusIcon::Error);
        window.addRow(tr("Выключите и включите телефон..."), StatusIcon::Advice);
        window.addRow(tr("Попробуйте еще раз..."), StatusIcon::None);
        break;
    case ConnectFailure::Plain:
    case ConnectFailure::InObexMode: // the window asks for BFB only never
        window.addRow(tr("Не могу соединиться по OBEX протоколу..."), StatusIcon::Error);
        window.addRow(tr("Выключите и включите телефон..."), StatusIcon::Advice);
        window.addRow(tr("Попробуйте еще раз..."), StatusIcon::None);
        break;
    case ConnectFailure::Rate:
        window.addRow(tr("Телефон не отвечает на этой скорости..."), StatusIcon::Error);
        window.addRow(tr("Попробуйте еще раз..."), StatusIcon::Advice);
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
        addRow(operation == PhoneOperation::Listing ? tr("Запрашиваю список файлов...") : tr("Запрашиваю  файл..."),
               packetIcon(operation));
        break;
    }
    case PhoneOperation::Upload: {
        frmProgress &window = progress();
        window.setMaximum(int(sourceBytes / PhoneSession::UploadPieceSize + 10));
        window.setValue(1);
        showProgress();
        addRow(tr("Отправляю файл..."), StatusIcon::File);
        break;
    }
    }
}

void WindowEvents::packetReceived(PhoneOperation operation, int number)
{
    addRow(tr("Получен пакет N%1").arg(number), packetIcon(operation));
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
        m_controls.Label3->setText(tr("Всего памяти: %1Kb").arg(bytes / 1024));
    else
        m_controls.Label4->setText(tr("Из них свободно: %1Kb").arg(bytes / 1024));
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

bool WindowEvents::confirmLargeUpload()
{
    return MessageBoxes::askYesNo(&m_window, QMessageBox::Question, tr("Копирование файла..."),
                                  tr("Файл имеет длину больше 150кБ! Вы подтверждаете копирование файла?"));
}

void WindowEvents::showLinkLost(LinkLoss loss)
{
    if (m_noiseSeen)
        MessageBoxes::show(&m_window, QMessageBox::Warning, tr("Помехи на линии!!!"),
                           tr("Ответ телефона пришёл искажённым: на линии помехи. Без BFB данные не защищены "
                              "контрольной суммой, и скопированные файлы могли прийти с ошибками. Проверьте их и "
                              "кабель!!!"));
    const QString text = loss == LinkLoss::Timeout
        ? tr("К сожалению, произошла ошибка ПРИЕМА ДАННЫХ - TIMEOUT. Программа будет закрыта!!! "
             "Выключите и включите телефон!!!")
        : tr("К сожалению, произошла серьезная ошибка ПРИЕМА ДАННЫХ!!! Программа будет закрыта!!! "
             "Выключите и включите телефон!!!");
    MessageBoxes::show(&m_window, QMessageBox::Critical, tr("ОШИБКА ПРИЕМА ДАННЫХ!!!"), text);
    m_endProgram(1);
}
