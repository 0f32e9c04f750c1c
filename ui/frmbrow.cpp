#include "frmbrow.h"

#include "localfiletexts.h"
#include "localnames.h"
#include "messagebox.h"
#include "phonecommands.h"
#include "phonesession.h"
#include "refusaltexts.h"
#include "twips.h"

#include <QCloseEvent>
#include <QComboBox>
#include <QDir>
#include <QFileInfo>
#include <QPushButton>
#include <QStyle>

frmBrow::frmBrow(PhoneCommands &commands, Mode mode) : m_commands(commands), m_mode(mode)
{
    const Twips twips = setUpDialog(this, "frmBrow", tr("PC Browser"), 3945, 4110);

    Drive1 = placedControl<QComboBox>(this, "Drive1", twips.rect(0, 0, 3975, 315));
    Dir1 = placedControl<FolderList>(this, "Dir1", twips.rect(0, 315, 3975, 3240));

    Command1 = placedControl<QPushButton>(this, "Command1", twips.rect(1680, 3650, 1095, 375), tr("Ok"));
    Command3 = placedControl<QPushButton>(this, "Command3", twips.rect(1560, 3650, 1095, 375), tr("Ok"));
    Command2 = placedControl<QPushButton>(this, "Command2", twips.rect(2880, 3650, 975, 375), tr("Отмена"));
    Command2->setAutoDefault(false);

    // Only one "Ok" is shown; Enter presses it. Esc cancels (QDialog).
    QPushButton *ok = mode == Mode::Copy ? Command1 : Command3;
    QPushButton *other = mode == Mode::Copy ? Command3 : Command1;
    other->hide();
    other->setAutoDefault(false);
    ok->setDefault(true);

    // The lists open on the process's current folder and its drive.
    m_drives = PcDrives::drives();
    const QStyle *style = this->style();
    for (const PcDrives::Drive &drive : m_drives)
        Drive1->addItem(
            style->standardIcon(drive.root == QDir::homePath() ? QStyle::SP_DirHomeIcon : QStyle::SP_DriveHDIcon),
            drive.label, drive.root);
    const QString start = QDir::currentPath();
    const int startDrive = PcDrives::driveHolding(m_drives, start);
    m_driveFolders.insert(m_drives[startDrive].root, start);
    Drive1->setCurrentIndex(startDrive);
    Drive1_Change(startDrive);

    centreOnScreen(this);

    connect(Drive1, &QComboBox::activated, this, &frmBrow::Drive1_Change);
    connect(Dir1, &FolderList::pathChanged, this,
            [this](const QString &path) { m_driveFolders.insert(Dir1->root(), path); });
    connect(Command1, &QPushButton::clicked, this, &frmBrow::Command1_Click);
    connect(Command3, &QPushButton::clicked, this, &frmBrow::Command3_Click);
    connect(Command2, &QPushButton::clicked, this, &QDialog::close);
}

// A drive opens on the folder last shown on it, at first on its root.
void frmBrow::Drive1_Change(int index)
{
    if (index < 0 || index >= m_drives.size())
        return;
    const QString root = m_drives[index].root;
    if (!Dir1->setPath(root, m_driveFolders.value(root, root)) && !Dir1->setPath(root, root))
        Dir1->clear();
}

void frmBrow::closeEvent(QCloseEvent *event)
{
    // The running transfer ends the dialog itself.
    if (m_transferring) {
        event->ignore();
        return;
    }
    QDialog::closeEvent(event);
}

void frmBrow::say(const QString &text)
{
    MessageBoxes::show(isVisible() ? this : nullptr, QMessageBox::Warning, QString(), text);
}

bool frmBrow::downloadToPc(bool moving, QByteArray *phoneName)
{
    const std::optional<PhoneCommands::Entry> entry = m_commands.selectedEntry();
    if (!entry)
        return false;
    const QString &text = entry->text;
    const QByteArray &name = entry->name;
    *phoneName = name;
    m_commands.chooseForTransfer(text);

    // The phone names the file; it must not name a place outside the chosen folder.
    const std::optional<QString> localName = safeLocalName(PhoneSession::text(name));
    if (!localName) {
        say(refusalText(Refusal::UnsafeLocalName) + QStringLiteral("\n'") + text + u'\'');
        return false;
    }

    // The download comes first, into a hidden file beside the destination; a file the
    // phone does not deliver changes nothing on the PC.
    const QString destination = localFilePath(Dir1->path(), *localName);
    const auto writeFailed = [&](const LocalFileError &error) {
        say(tr("Не удалось записать файл '%1': %2.")
                .arg(QDir::toNativeSeparators(destination), LocalFiles::reasonFor(error))
            + (moving ? tr(" Файл в телефоне не удалён.") : QString()));
        return false;
    };
    LocalFileError openError;
    const std::unique_ptr<LocalFileWriter> writer = LocalFileWriter::open(destination, &openError);
    const bool delivered = m_commands.fetchFile(
        name, writer.get(), this,
        moving ? tr("Телефон не отдал файл '%1'! Файл не перемещён и остался в телефоне.").arg(text)
               : tr("Телефон не отдал файл '%1'! Файл не скопирован.").arg(text));
    if (writer && writer->error())
        return writeFailed(*writer->error());
    if (!delivered)
        return false;

    if (QFileInfo(destination).isFile()
        && !MessageBoxes::askYesNo(this, QMessageBox::Question, tr("Подтверждение..."),
                                   tr("Файл '%1' уже существует. Заменить его?").arg(text)))
        return false;

    if (!writer)
        return writeFailed(openError);
    if (!writer->commit())
        return writeFailed(*writer->error());
    return true;
}

void frmBrow::Command1_Click()
{
    runTransfer([this] {
        QByteArray name;
        downloadToPc(false, &name);
    });
}

void frmBrow::Command3_Click()
{
    runTransfer([this] {
        // The phone's file goes only once the PC holds all of it.
        QByteArray name;
        if (downloadToPc(true, &name)) {
            hide();
            m_commands.deleteMovedFile(name);
        }
    });
}

void frmBrow::runTransfer(const std::function<void()> &transfer)
{
    if (m_commands.busy() || m_transferring)
        return;
    m_commands.runExchange([&] {
        m_transferring = true;
        setEnabled(false);
        transfer();
        setEnabled(true);
        m_transferring = false;
    });
    close();
}
