#include "frmoptions.h"

#include "messagebox.h"
#include "phonecommands.h"
#include "portmapwindow.h"
#include "storedsettings.h"
#include "twips.h"
#include "wrappingcheckbox.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QMouseEvent>
#include <QPushButton>
#include <QRadioButton>

frmOptions::frmOptions(PhoneCommands &commands) : m_commands(commands)
{
    const Twips twips = setUpDialog(this, "frmOptions", tr("Options"), 4740, 4035);

    Frame1 = placedControl<QGroupBox>(this, "Frame1", twips.rect(120, 120, 1695, 1095), tr("Режим"));
    Option1 = placedControl<QRadioButton>(Frame1, "Option1", twips.rect(240, 360, 1335, 255), tr("Список"));
    Option2 = placedControl<QRadioButton>(Frame1, "Option2", twips.rect(240, 720, 1335, 255), tr("Explorer"));

    Frame2 = placedControl<QGroupBox>(this, "Frame2", twips.rect(1920, 120, 2655, 1815), tr("Доп. настройки..."));
    // The explanation and the long caption use a smaller type to fit the frame.
    QFont small = font();
    small.setPointSizeF(qMin<qreal>(small.pointSizeF(), 8));
    Check1 = placedControl<WrappingCheckBox>(Frame2, "Check1", twips.rect(120, 240, 2415, 375),
                                             tr("Отменить проверку файла на каталог"));
    Check1->setFont(small);
    Label1 = placedControl<QLabel>(Frame2, "Label1", twips.rect(120, 600, 2415, 1095),
                                   tr(" (при операциях с файлами с нестандартными расширениями (из 2 символов...))"));
    Label1->setWordWrap(true);
    Label1->setFont(small);
    Label1->setAlignment(Qt::AlignLeft | Qt::AlignTop);

    Frame3 = placedControl<QGroupBox>(this, "Frame3", twips.rect(120, 2040, 4455, 1215), tr("COM порт"));
    Label2 = placedControl<QLabel>(Frame3, "Label2", twips.rect(240, 360, 1935, 255), tr("Номер порта:"));
    Combo1 = placedControl<QComboBox>(Frame3, "Combo1", twips.rect(240, 600, 1335, 315));
    Combo1->setEditable(true);
    Check2 = placedControl<QCheckBox>(Frame3, "Check2", twips.rect(2280, 600, 1935, 315), tr("Включить RTS"));

    Command1 = placedControl<QPushButton>(this, "Command1", twips.rect(2160, 3480, 1095, 375), tr("Ok"));
    Command1->setDefault(true);
    Command1->setAutoDefault(true);
    Command2 = placedControl<QPushButton>(this, "Command2", twips.rect(3360, 3480, 1095, 375), tr("Отмена"));
    Command2->setAutoDefault(false);

    Label3 = placedControl<QLabel>(this, "Label3", twips.rect(0, 3600, 855, 495), QStringLiteral("*"));
    Label3->setToolTip(tr("Соответствие COM портов устройствам"));
    Label3->setCursor(Qt::PointingHandCursor);
    Label3->setAlignment(Qt::AlignCenter);
    Label3->installEventFilter(this);

    connect(Command1, &QPushButton::clicked, this, &frmOptions::Command1_Click);
    connect(Command2, &QPushButton::clicked, this, &QDialog::close); // Esc rejects as well
    connect(Combo1, &QComboBox::activated, this, [this] { m_portChanged = true; });
    // Closing by any path gives the main window back.
    connect(this, &QDialog::finished, this, [this] { m_commands.setMainWindowEnabled(true); });
    connect(this, &QObject::destroyed, [commands = &m_commands] { commands->setMainWindowEnabled(true); });

    // Opening reads the current state afresh.
    Check2->setChecked(m_commands.rts());
    if (m_commands.skipFolderCheck())
        Check1->setChecked(true);
    for (int number = 1; number <= 10; ++number)
        Combo1->addItem(StoredSettings::portText(number));
    Combo1->setCurrentText(StoredSettings::comport());
    if (m_commands.listView() == PhoneFileList::View::LargeIcons)
        Option2->setChecked(true);
    else
        Option1->setChecked(true);
    m_commands.setMainWindowEnabled(false);

    centreOnScreen(this);
}

frmOptions::~frmOptions()
{
    if (m_portMap)
        m_portMap->close();
}

void frmOptions::Command1_Click()
{
    m_commands.setListView(Option1->isChecked() ? PhoneFileList::View::Report : PhoneFileList::View::LargeIcons);
    m_commands.setSkipFolderCheck(Check1->isChecked());
    if (m_portChanged) {
        MessageBoxes::show(this, QMessageBox::NoIcon, QString(),
                           tr("Настройки вступят всилу только после повторного запуска программы!!!"));
        StoredSettings::saveComport(Combo1->currentText());
    }
    m_commands.setRts(Check2->isChecked());
    StoredSettings::saveRts(StoredSettings::rtsText(Check2->isChecked()));
    close();
}

bool frmOptions::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == Label3 && event->type() == QEvent::MouseButtonRelease
        && static_cast<QMouseEvent *>(event)->button() == Qt::LeftButton) {
        openPortMap();
        return true;
    }
    return QDialog::eventFilter(watched, event);
}

void frmOptions::openPortMap()
{
    if (!m_portMap) {
        m_portMap = new PortMapWindow(this);
    }
    m_portMap->show();
    m_portMap->raise();
    m_portMap->activateWindow();
}
