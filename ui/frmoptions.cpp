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
    setObjectName(QStringLiteral("frmOptions"));
    setWindowTitle(QStringLiteral("Options"));
    setAttribute(Qt::WA_DeleteOnClose);
    setModal(false);

    const Twips twips(this);
    setFixedSize(twips.size(4740, 4035));

    Frame1 = new QGroupBox(QStringLiteral("Режим"), this);
    Frame1->setObjectName(QStringLiteral("Frame1"));
    placeTwips(Frame1, twips, 120, 120, 1695, 1095);
    Option1 = new QRadioButton(QStringLiteral("Список"), Frame1);
    Option1->setObjectName(QStringLiteral("Option1"));
    placeTwips(Option1, twips, 240, 360, 1335, 255);
    Option2 = new QRadioButton(QStringLiteral("Explorer"), Frame1);
    Option2->setObjectName(QStringLiteral("Option2"));
    placeTwips(Option2, twips, 240, 720, 1335, 255);

    Frame2 = new QGroupBox(QStringLiteral("Доп. настройки..."), this);
    Frame2->setObjectName(QStringLiteral("Frame2"));
    placeTwips(Frame2, twips, 1920, 120, 2655, 1815);
    // The explanation and the long caption use a smaller type to fit the frame.
    QFont small = font();
    small.setPointSizeF(qMin<qreal>(small.pointSizeF(), 8));
    Check1 = new WrappingCheckBox(QStringLiteral("Отменить проверку файла на каталог"), Frame2);
    Check1->setObjectName(QStringLiteral("Check1"));
    Check1->setFont(small);
    placeTwips(Check1, twips, 120, 240, 2415, 375);
    Label1 = new QLabel(QStringLiteral(" (при операциях с файлами с нестандартными расширениями (из 2 символов...))"),
                        Frame2);
    Label1->setObjectName(QStringLiteral("Label1"));
    Label1->setWordWrap(true);
    Label1->setFont(small);
    Label1->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    placeTwips(Label1, twips, 120, 600, 2415, 1095);

    Frame3 = new QGroupBox(QStringLiteral("COM порт"), this);
    Frame3->setObjectName(QStringLiteral("Frame3"));
    placeTwips(Frame3, twips, 120, 2040, 4455, 1215);
    Label2 = new QLabel(QStringLiteral("Номер порта:"), Frame3);
    Label2->setObjectName(QStringLiteral("Label2"));
    placeTwips(Label2, twips, 240, 360, 1935, 255);
    Combo1 = new QComboBox(Frame3);
    Combo1->setObjectName(QStringLiteral("Combo1"));
    Combo1->setEditable(true);
    placeTwips(Combo1, twips, 240, 600, 1335, 315);
    Check2 = new QCheckBox(QStringLiteral("Включить RTS"), Frame3);
    Check2->setObjectName(QStringLiteral("Check2"));
    placeTwips(Check2, twips, 2280, 600, 1935, 315);

    Command1 = new QPushButton(QStringLiteral("Ok"), this);
    Command1->setObjectName(QStringLiteral("Command1"));
    placeTwips(Command1, twips, 2160, 3480, 1095, 375);
    Command1->setDefault(true);
    Command1->setAutoDefault(true);
    Command2 = new QPushButton(QStringLiteral("Отмена"), this);
    Command2->setObjectName(QStringLiteral("Command2"));
    placeTwips(Command2, twips, 3360, 3480, 1095, 375);
    Command2->setAutoDefault(false);

    Label3 = new QLabel(QStringLiteral("*"), this);
    Label3->setObjectName(QStringLiteral("Label3"));
    Label3->setToolTip(QStringLiteral("Соответствие COM портов устройствам"));
    Label3->setCursor(Qt::PointingHandCursor);
    Label3->setAlignment(Qt::AlignCenter);
    placeTwips(Label3, twips, 0, 3600, 855, 495);
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
                           QStringLiteral("Настройки вступят всилу только после повторного запуска программы!!!"));
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
