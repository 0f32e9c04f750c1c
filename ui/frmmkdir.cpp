#include "frmmkdir.h"

#include "phonecommands.h"
#include "twips.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

frmMkDir::frmMkDir(PhoneCommands &commands) : m_commands(commands)
{
    setObjectName(QStringLiteral("frmMkDir"));
    setWindowTitle(QStringLiteral("Создать папку"));
    setAttribute(Qt::WA_DeleteOnClose);
    setModal(false);

    const Twips twips(this);
    setFixedSize(twips.size(4365, 1425));

    Label1 = new QLabel(QStringLiteral("Введите название для новой папки:"), this);
    Label1->setObjectName(QStringLiteral("Label1"));
    placeTwips(Label1, twips, 120, 120, 4215, 375);

    Text1 = new QLineEdit(QStringLiteral("NewDir"), this);
    Text1->setObjectName(QStringLiteral("Text1"));
    QPalette grey = Text1->palette();
    grey.setColor(QPalette::Base, QColor(224, 224, 224));
    Text1->setPalette(grey);
    placeTwips(Text1, twips, 120, 400, 4095, 360);

    Command1 = new QPushButton(QStringLiteral("Ok"), this);
    Command1->setObjectName(QStringLiteral("Command1"));
    Command1->setDefault(true);
    placeTwips(Command1, twips, 2280, 960, 975, 375);
    Command2 = new QPushButton(QStringLiteral("Отмена"), this);
    Command2->setObjectName(QStringLiteral("Command2"));
    Command2->setAutoDefault(false);
    placeTwips(Command2, twips, 3360, 960, 855, 375);

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
