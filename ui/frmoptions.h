#pragma once

#include "portmapwindow.h"

#include <QDialog>
#include <QPointer>

class PhoneCommands;
class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QPushButton;
class QRadioButton;

// The options dialog: list view mode and SkipFolderCheck for this run, the port
// and RTS in the settings store. The main window is disabled while it is open.
class frmOptions : public QDialog
{
    Q_OBJECT

public:
    explicit frmOptions(PhoneCommands &commands);
    ~frmOptions() override;

    QGroupBox *Frame1;
    QRadioButton *Option1;
    QRadioButton *Option2;
    QGroupBox *Frame2;
    QCheckBox *Check1;
    QLabel *Label1;
    QGroupBox *Frame3;
    QLabel *Label2;
    QComboBox *Combo1;
    QCheckBox *Check2;
    QPushButton *Command1;
    QPushButton *Command2;
    QLabel *Label3;

    bool portChanged() const { return m_portChanged; }
    // The window the "*" label opens (null until then).
    PortMapWindow *portMapWindow() const { return m_portMap; }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void Command1_Click();
    void openPortMap();

    PhoneCommands &m_commands;
    bool m_portChanged = false;
    QPointer<PortMapWindow> m_portMap;
};
