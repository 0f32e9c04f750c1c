#include "frmmkdir.h"

#include "phonecommands.h"
#include "twips.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

frmMkDir::frmMkDir(PhoneCommands &commands) : m_commands(commands)
{
    const Twips twips = setUpDialog(this, "frmMkDir", tr("Создать папку"), 4365, 1425);

    Label1 =
        placedControl<QLabel>(this, "Label1", twips.rect(120, 120, 4215, 375), tr("Введите название для новой папки:"));

    Text1 = placedControl<QLineEdit>(this, "Text1", twips.rect(120, 400, 4095, 360), QStringLiteral("NewDir"));
    QPalette grey = Text1->palette();
    grey.setColor(QPalette::Base, QColor(224, 224, 224));
    Text1->setPalette(grey);

    Command1 = placedControl<QPushButton>(this, "Command1", twips.rect(2280, 960, 975, 375), tr("Ok"));
    Command1->setDefault(true);
    Command2 = placedControl<QPushButton>(this, "Command2", twips.rect(3360, 960, 855, 375), tr("Отмена"));
    Command2->setAutoDefault(false);

    centreOnScreen(this);

    connect(Command1, &QPushButton::clicked, this, &frmMkDir::Command1_Click);
    connect(Command2, &QPushButton::clicked, this, &QDialog::close);
    connect(this, &QDialog::finished, this, [this] { m_commands.setMainWindowEnabled(true); });
}

void frmMkDir::Command1_Click()
{
    if (m_commands.busy())
        return;
    const QString name = Text1->text();
    // An entry of that name exists: the dialog stays open.
    if (m_commands.listHasEntry(name))
        return;
    // A name refused before anything was sent (no code for a character, too long)
    // leaves the dialog open for another try.
    if (m_commands.makeFolder(name))
        close();
}
