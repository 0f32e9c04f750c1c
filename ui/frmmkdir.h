#pragma once

#include <QDialog>

class PhoneCommands;
class QLabel;
class QLineEdit;
class QPushButton;

// The new-folder dialog: asks for a name and creates that folder in the current
// phone folder. The main window is disabled while it is open.
class frmMkDir : public QDialog
{
    Q_OBJECT

public:
    explicit frmMkDir(PhoneCommands &commands);

    QLabel *Label1;
    QLineEdit *Text1;
    QPushButton *Command1;
    QPushButton *Command2;

private:
    void Command1_Click();

    PhoneCommands &m_commands;
};
