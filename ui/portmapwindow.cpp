#include "portmapwindow.h"

#include "phonesession.h"

#include <QComboBox>
#include <QDir>
#include <QFileInfo>
#include <QGridLayout>
#include <QLabel>
#include <QPushButton>
#include <QSerialPortInfo>
#include <QVBoxLayout>

namespace {
QString linkPath(int port)
{
    return QDir(PhoneSession::portsFolder()).filePath(QStringLiteral("com%1").arg(port));
}
} // namespace

PortMapWindow::PortMapWindow(QWidget *parent) : QDialog(parent)
{
    setObjectName(QStringLiteral("PortMapWindow"));
    setWindowTitle(tr("COM порты"));
    setAttribute(Qt::WA_DeleteOnClose);
    setModal(false);

    auto *layout = new QVBoxLayout(this);
    m_folder = new QLabel(this);
    m_folder->setWordWrap(true);
    m_folder->setTextInteractionFlags(Qt::TextSelectableByMouse);
    layout->addWidget(m_folder);

    auto *grid = new QGridLayout;
    grid->addWidget(new QLabel(tr("Порт"), this), 0, 0);
    grid->addWidget(new QLabel(tr("Сейчас"), this), 0, 1);
    grid->addWidget(new QLabel(tr("Новое устройство"), this), 0, 2);
    for (int port = 1; port <= PortCount; ++port) {
        Row row;
        row.mapping = new QLabel(this);
        row.mapping->setTextInteractionFlags(Qt::TextSelectableByMouse);
        row.devices = new QComboBox(this);
        row.devices->setEditable(true);
        row.devices->setMinimumContentsLength(16);
        row.assign = new QPushButton(tr("Назначить"), this);
        row.reset = new QPushButton(tr("Сбросить"), this);
        row.reset->setToolTip(tr("Вернуть порт к устройству по умолчанию"));
        grid->addWidget(new QLabel(QStringLiteral("Com %1").arg(port), this), port, 0);
        grid->addWidget(row.mapping, port, 1);
        grid->addWidget(row.devices, port, 2);
        grid->addWidget(row.assign, port, 3);
        grid->addWidget(row.reset, port, 4);
        connect(row.assign, &QPushButton::clicked, this, [this, port] {
            const QString device = deviceBox(port)->currentText().trimmed();
            QString error;
            const bool ok = assign(port, device, &error);
            report(ok, ok ? tr("Com %1 теперь означает %2.").arg(port).arg(device) : error);
        });
        connect(row.reset, &QPushButton::clicked, this, [this, port] {
            QString error;
            const bool ok = unassign(port, &error);
            report(ok,
                   ok ? tr("Com %1 снова означает %2.").arg(port).arg(PhoneSession::devicePathForPort(port)) : error);
        });
        m_rows.append(row);
    }
    grid->setColumnStretch(1, 1);
    layout->addLayout(grid);

    m_status = new QLabel(this);
    m_status->setObjectName(QStringLiteral("status"));
    m_status->setWordWrap(true);
    layout->addWidget(m_status);

    auto *buttons = new QHBoxLayout;
    auto *update = new QPushButton(tr("Обновить"), this);
    auto *close = new QPushButton(tr("Закрыть"), this);
    buttons->addStretch();
    buttons->addWidget(update);
    buttons->addWidget(close);
    layout->addLayout(buttons);
    connect(update, &QPushButton::clicked, this, [this] {
        refresh();
        m_status->clear();
    });
    connect(close, &QPushButton::clicked, this, &QDialog::close);

    refresh();
}

void PortMapWindow::refresh()
{
    m_folder->setText(tr("Номер порта из настроек выбирает устройство. Назначения хранятся "
                         "как ссылки comN в папке %1. Изменения действуют при следующем "
                         "подключении к телефону.")
                          .arg(QDir::toNativeSeparators(PhoneSession::portsFolder())));
    const QStringList devices = availableDevices();
    for (int port = 1; port <= PortCount; ++port) {
        Row &row = m_rows[port - 1];
        row.mapping->setText(describe(port));
        const QString target = QFileInfo(linkPath(port)).symLinkTarget();
        row.devices->clear();
        row.devices->addItems(devices);
        row.devices->setCurrentText(target.isEmpty() ? PhoneSession::devicePathForPort(port) : target);
        row.reset->setEnabled(QFileInfo(linkPath(port)).isSymLink());
    }
}

QStringList PortMapWindow::availableDevices()
{
    QStringList devices;
    const QList<QSerialPortInfo> ports = QSerialPortInfo::availablePorts();
    for (const QSerialPortInfo &info : ports)
        devices << info.systemLocation();
    const QDir dev(QStringLiteral("/dev"));
    const QStringList adapters =
        dev.entryList({QStringLiteral("ttyUSB*"), QStringLiteral("ttyACM*")}, QDir::System | QDir::Files, QDir::Name);
    for (const QString &name : adapters)
        devices << dev.filePath(name);
    devices.removeDuplicates();
    devices.sort();
    return devices;
}

bool PortMapWindow::assign(int port, const QString &device, QString *error)
{
    if (port < 1 || port > PortCount) {
        *error = tr("Нет порта Com %1.").arg(port);
        return false;
    }
    if (device.isEmpty()) {
        *error = tr("Не выбрано устройство для Com %1.").arg(port);
        return false;
    }
    if (!QFileInfo::exists(device)) {
        *error = tr("Устройство %1 не найдено.").arg(device);
        return false;
    }
    const QString folder = PhoneSession::portsFolder();
    if (!QDir().mkpath(folder)) {
        *error = tr("Не могу создать папку %1.").arg(folder);
        return false;
    }
    const QString path = linkPath(port);
    const QFileInfo existing(path);
    if (existing.isSymLink() || existing.exists()) {
        if (!existing.isSymLink()) {
            *error = tr("%1 не является ссылкой, оставляю как есть.").arg(path);
            return false;
        }
        if (!QFile::remove(path)) {
            *error = tr("Не могу заменить ссылку %1.").arg(path);
            return false;
        }
    }
    if (!QFile::link(device, path)) {
        *error = tr("Не могу создать ссылку %1 на %2.").arg(path, device);
        return false;
    }
    return true;
}

bool PortMapWindow::unassign(int port, QString *error)
{
    const QString path = linkPath(port);
    const QFileInfo existing(path);
    if (!existing.isSymLink())
        return true;
    if (!QFile::remove(path)) {
        *error = tr("Не могу удалить ссылку %1.").arg(path);
        return false;
    }
    return true;
}

QString PortMapWindow::describe(int port)
{
    const QString path = linkPath(port);
    const QFileInfo link(path);
    if (link.isSymLink()) {
        const QString target = link.symLinkTarget();
        if (!QFileInfo::exists(target))
            return tr("%1 (устройство не подключено)").arg(target);
        return target;
    }
    const QString device = PhoneSession::devicePathForPort(port);
    if (!QFileInfo::exists(device))
        return tr("%1 (по умолчанию, нет такого устройства)").arg(device);
    return tr("%1 (по умолчанию)").arg(device);
}

void PortMapWindow::report(bool ok, const QString &text)
{
    m_status->setStyleSheet(ok ? QString() : QStringLiteral("color: #c00000;"));
    m_status->setText(text);
    refresh();
}
